#include "CommandSet.h"

#include "CommandLink.h"
#include "Numbers.h"
#include "ResourceOwners.h"

#include <string>

namespace vorn {

namespace {

void SendWithArgument(Method method, std::wstring_view argument)
{
    const std::wstring_view header = Spec(method).header;
    std::wstring command;
    command.reserve(header.size() + argument.size());
    command.append(header).append(argument);
    SendCommand(command);
}

// The query line, then the reply into the caller's string, with nothing in between.
void Query(std::wstring_view queryLine, BSTR* reply)
{
    SendCommand(queryLine);
    Replace(reply, ReadReply());
}

bool InRange(short value, short low, short high)
{
    return value >= low && value <= high;
}

} // namespace

void SpiVersion(BSTR* version)
{
    Replace(version, UniqueBstr::Copy(kInterfaceVersion));
}

LONG FixedCommand(Method method)
{
    SendCommand(Spec(method).header);
    return kDone;
}

LONG FixedQuery(Method method, BSTR* reply)
{
    Query(Spec(method).header, reply);
    return kDone;
}

LONG KeywordCommand(Method method, BSTR* argument)
{
    const MethodSpec& spec = Spec(method);
    Normalise(argument, spec.normalisation);
    if (!MatchesKeyword(View(*argument), spec.keywords))
        return kRejected;
    SendWithArgument(method, View(*argument));
    return kDone;
}

LONG Config(short boardType, short boardNumber, short vnaAddress, short printerPort)
{
    if (!InRange(boardType, 1, 2) || !InRange(boardNumber, 0, 8) || !InRange(vnaAddress, 1, 32) ||
        !InRange(printerPort, 1, 4))
        return kRejected;
    std::wstring numbers;
    for (short value : {boardType, boardNumber, vnaAddress, printerPort}) {
        if (!numbers.empty())
            numbers += L',';
        AppendInt16(numbers, value);
    }
    SendWithArgument(Method::CONFIG, numbers);
    return kDone;
}

LONG VornDelay(double adapterDelayInSeconds, short measureDelay)
{
    std::wstring numbers;
    AppendDouble(numbers, adapterDelayInSeconds);
    numbers += L',';
    AppendInt16(numbers, measureDelay);
    SendWithArgument(Method::VORN_DELAY, numbers);
    return kDone;
}

LONG VornFint(BSTR* strOnOff, BSTR* strReturn)
{
    const MethodSpec& spec = Spec(Method::VORN_FINT);
    Normalise(strOnOff, spec.normalisation);
    const std::wstring_view setting = View(*strOnOff);
    if (MatchesKeyword(setting, spec.keywords)) {
        SendWithArgument(Method::VORN_FINT, setting);
        return kDone;
    }
    if (setting == kQueryWord && strReturn) {
        Query(spec.queryHeader, strReturn);
        return kDone;
    }
    return kRejected;
}

LONG VornIav(BSTR strAvg, BSTR* strReturn)
{
    if (const auto averages = ReadInt16(strAvg, L"the number of averages")) {
        std::wstring number;
        AppendInt16(number, *averages);
        SendWithArgument(Method::VORN_IAV, number);
        return kDone;
    }
    if (View(strAvg) == kQueryWord && strReturn) {
        Query(Spec(Method::VORN_IAV).queryHeader, strReturn);
        return kDone;
    }
    return kRejected;
}

LONG SensCorrCollSave(BSTR* strCalSet)
{
    Normalise(strCalSet, Spec(Method::SENS_CORR_COLL_SAVE).normalisation);
    if (!IsNumeric(*strCalSet))
        return kRejected;
    SendWithArgument(Method::SENS_CORR_COLL_SAVE, View(*strCalSet));
    return kDone;
}

} // namespace vorn
