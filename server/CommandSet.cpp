#include "CommandSet.h"

#include "CommandLink.h"
#include "Numbers.h"
#include "ResourceOwners.h"

#include <array>
#include <memory_resource>
#include <string>

namespace vorn {

namespace {

// One command line: its header, then the argument text. Built on the stack unless the argument
// is long.
class CommandLine {
public:
    explicit CommandLine(Method method) { text_.append(Entry(method).header); }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    std::pmr::wstring& text() noexcept { return text_; }
    void Send() const { SendCommand(text_); }

private:
    std::array<std::byte, 256> stack_;
    std::pmr::monotonic_buffer_resource memory_{stack_.data(), stack_.size()};
    std::pmr::wstring text_{&memory_};
};

void SendWithArgument(Method method, std::wstring_view argument)
{
    CommandLine command(method);
    command.text().append(argument);
    command.Send();
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
    SendCommand(Entry(method).header);
    return kDone;
}

LONG FixedQuery(Method method, BSTR* reply)
{
    Query(Entry(method).header, reply);
    return kDone;
}

LONG KeywordCommand(Method method, BSTR* argument)
{
    const MethodEntry& entry = Entry(method);
    Normalise(argument, entry.normalisation);
    if (!MatchesKeyword(View(*argument), entry.keywords))
        return kRejected;
    SendWithArgument(method, View(*argument));
    return kDone;
}

LONG Config(short boardType, short boardNumber, short vnaAddress, short printerPort)
{
    if (!InRange(boardType, 1, 2) || !InRange(boardNumber, 0, 8) || !InRange(vnaAddress, 1, 32) ||
        !InRange(printerPort, 1, 4))
        return kRejected;
    CommandLine command(Method::CONFIG);
    AppendInt16(command.text(), boardType);
    for (short value : {boardNumber, vnaAddress, printerPort}) {
        command.text() += L',';
        AppendInt16(command.text(), value);
    }
    command.Send();
    return kDone;
}

LONG VornDelay(double adapterDelayInSeconds, short measureDelay)
{
    CommandLine command(Method::VORN_DELAY);
    AppendDouble(command.text(), adapterDelayInSeconds);
    command.text() += L',';
    AppendInt16(command.text(), measureDelay);
    command.Send();
    return kDone;
}

LONG VornFint(BSTR* strOnOff, BSTR* strReturn)
{
    const MethodEntry& entry = Entry(Method::VORN_FINT);
    Normalise(strOnOff, entry.normalisation);
    const std::wstring_view setting = View(*strOnOff);
    if (MatchesKeyword(setting, entry.keywords)) {
        SendWithArgument(Method::VORN_FINT, setting);
        return kDone;
    }
    if (setting == kQueryWord && strReturn) {
        Query(entry.queryHeader, strReturn);
        return kDone;
    }
    return kRejected;
}

LONG VornIav(BSTR strAvg, BSTR* strReturn)
{
    if (const auto averages = ReadInt16(strAvg, L"the number of averages")) {
        CommandLine command(Method::VORN_IAV);
        AppendInt16(command.text(), *averages);
        command.Send();
        return kDone;
    }
    if (View(strAvg) == kQueryWord && strReturn) {
        Query(Entry(Method::VORN_IAV).queryHeader, strReturn);
        return kDone;
    }
    return kRejected;
}

LONG SensCorrCollSave(BSTR* strCalSet)
{
    Normalise(strCalSet, Entry(Method::SENS_CORR_COLL_SAVE).normalisation);
    if (!IsNumeric(*strCalSet))
        return kRejected;
    SendWithArgument(Method::SENS_CORR_COLL_SAVE, View(*strCalSet));
    return kDone;
}

} // namespace vorn
