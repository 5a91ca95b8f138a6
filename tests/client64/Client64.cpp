// A 64-bit client of the 32-bit server. A 64-bit process can't load Vornlink.dll, so COM starts the
// class in the system surrogate (dllhost.exe, enabled by the AppID's DllSurrogate value) and every call
// crosses processes through the type-library marshaler: IDispatch calls as well as vtable calls.
//
// Run in a folder holding Vorn.dll (the surrogate inherits the current folder and the environment),
// with VORN_SIM_LOG naming the simulated module's traffic record. Prints one line per failed check
// and "PASS: <n> checks" at the end; the exit code is the number of failed checks.
#include <windows.h>
#include <oleauto.h>

#include <comutil.h>
#include <wrl/client.h>

#include "VornDriver.h"
#include "support/Arguments.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using vorn::test::ByRef;

using Microsoft::WRL::ComPtr;

namespace {

int checks = 0;
int failures = 0;
std::string group;

void Check(bool ok, const std::string& what)
{
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAIL [%s] %s\n", group.c_str(), what.c_str());
        std::fflush(stdout);
    }
}

// Text for messages: ASCII as is, a run of U+0000 as \0{count}, anything else as ?.
std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (size_t at = 0; at < text.size();) {
        if (text[at] == L'\0') {
            const size_t end = text.find_first_not_of(L'\0', at);
            const size_t run = (end == std::wstring::npos ? text.size() : end) - at;
            narrow += "\\0{" + std::to_string(run) + "}";
            at += run;
        } else {
            narrow += text[at] < 0x80 ? static_cast<char>(text[at]) : '?';
            ++at;
        }
    }
    return narrow;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void CheckHr(HRESULT actual, HRESULT expected, const std::string& what)
{
    Check(actual == expected, what + ": expected " + Hex(expected) + ", got " + Hex(actual));
}

void CheckText(const std::wstring& actual, const std::wstring& expected, const std::string& what)
{
    Check(actual == expected, what + ": expected \"" + Narrow(expected) + "\", got \"" + Narrow(actual) + "\"");
}

void CheckNumber(long actual, long expected, const std::string& what)
{
    Check(actual == expected, what + ": expected " + std::to_string(expected) + ", got " + std::to_string(actual));
}

// A BSTR's whole text, U+0000 characters included.
std::wstring Text(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// The string as an [in, out] argument. (_bstr_t::GetAddress would free the text before the call.)
BSTR* InOut(_bstr_t& text)
{
    return &text.GetBSTR();
}

// A query reply as the server returns it: the module's text, then U+0000 up to 257 characters.
std::wstring Reply(const std::wstring& text)
{
    return text + std::wstring(257 - text.size(), L'\0');
}

// The command lines the simulated module received since the last call, read from its traffic record.
std::vector<std::string> TakeSent()
{
    std::vector<std::string> sent;
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("VORN_SIM_LOG", path, MAX_PATH))
        return sent;
    {
        std::ifstream log(path);
        for (std::string line; std::getline(log, line);) {
            if (line.compare(0, 2, "> ") == 0)
                sent.push_back(line.substr(2));
        }
    }
    DeleteFileA(path);
    return sent;
}

void CheckSent(const std::vector<std::string>& expected, const std::string& what)
{
    const std::vector<std::string> sent = TakeSent();
    auto join = [](const std::vector<std::string>& lines) {
        std::string joined;
        for (const std::string& line : lines)
            joined += (joined.empty() ? "" : " | ") + line;
        return joined;
    };
    Check(sent == expected, what + ": module received [" + join(sent) + "], expected [" + join(expected) + "]");
}

// IDispatch::Invoke as a late-bound client makes it: arguments given in declaration order.
struct Invocation {
    HRESULT hr = E_FAIL;
    _variant_t result;
    EXCEPINFO error = {};

    Invocation() = default;
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;
    ~Invocation()
    {
        SysFreeString(error.bstrSource);
        SysFreeString(error.bstrDescription);
        SysFreeString(error.bstrHelpFile);
    }
};

void Invoke(IDispatch* object, DISPID id, std::vector<VARIANT> arguments, Invocation& call)
{
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS parameters = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT badArgument = 0;
    call.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &call.result, &call.error,
                             &badArgument);
}

void CheckResultCode(const Invocation& call, long expected, const std::string& what)
{
    CheckHr(call.hr, S_OK, what);
    Check(V_VT(&call.result) == VT_I4,
          what + ": result type " + std::to_string(V_VT(&call.result)) + ", expected VT_I4");
    if (V_VT(&call.result) == VT_I4)
        CheckNumber(V_I4(&call.result), expected, what + " result");
}

void ThroughIDispatch(IDispatch* vorn)
{
    group = "IDispatch";
    UINT count = 0;
    CheckHr(vorn->GetTypeInfoCount(&count), S_OK, "GetTypeInfoCount");
    CheckNumber(static_cast<long>(count), 1, "type information count");
    for (auto [name, expected] : {std::pair{L"CONFIG", 0x60030001L}, std::pair{L"SENS_CORR_COLL_SAVE", 0x6003000BL},
                                  std::pair{L"CMD_IDN", 0x60030012L}}) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        CheckHr(vorn->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK, Narrow(name) + " lookup");
        CheckNumber(id, expected, Narrow(name) + " dispatch identifier");
    }

    short board = 1, number = 7, address = 16, port = 1;
    {
        Invocation call;
        Invoke(vorn, 0x60030001, {ByRef(&board), ByRef(&number), ByRef(&address), ByRef(&port)}, call);
        CheckResultCode(call, 0, "CONFIG 1,7,16,1");
        Check(board == 1 && number == 7 && address == 16 && port == 1, "CONFIG arguments unchanged");
        CheckSent({"VORN:CONFIG 1,7,16,1"}, "CONFIG 1,7,16,1");
    }
    {
        address = 33;
        Invocation call;
        Invoke(vorn, 0x60030001, {ByRef(&board), ByRef(&number), ByRef(&address), ByRef(&port)}, call);
        CheckResultCode(call, -1, "CONFIG VNAAddress 33");
        CheckSent({}, "CONFIG VNAAddress 33");
    }
    {
        _bstr_t method(L" full ");
        Invocation call;
        Invoke(vorn, 0x60030008, {ByRef(InOut(method))}, call);
        CheckResultCode(call, 0, "SENS_CORR_COLL_METH ' full '");
        CheckText(Text(method), L"FULL", "strMethod written back");
        CheckSent({"SENS:CORR:COLL:METH FULL"}, "SENS_CORR_COLL_METH ' full '");
    }
    {
        _bstr_t reply(L"previous text");
        Invocation call;
        Invoke(vorn, 0x60030011, {ByRef(InOut(reply))}, call);
        CheckResultCode(call, 0, "SYST_ERR");
        CheckText(Text(reply), Reply(L"+0,\"No error\""), "SYST_ERR reply");
        CheckSent({"SYST:ERR?"}, "SYST_ERR");
    }
    {
        _bstr_t query(L"?");
        Invocation call;
        Invoke(vorn, 0x60030004, {ByRef(InOut(query))}, call);
        CheckResultCode(call, -1, "VORN_FINT '?' without strReturn");
        CheckSent({}, "VORN_FINT '?' without strReturn");
    }
    {
        _bstr_t query(L" ? ");
        _bstr_t reply;
        Invocation call;
        Invoke(vorn, 0x60030004, {ByRef(InOut(query)), ByRef(InOut(reply))}, call);
        CheckResultCode(call, 0, "VORN_FINT ' ? ' with strReturn");
        CheckText(Text(query), L"?", "strOnOff written back");
        CheckText(Text(reply), Reply(L"1"), "VORN_FINT reply");
        CheckSent({"VORN:FINT?"}, "VORN_FINT ' ? ' with strReturn");
    }
    {
        _bstr_t version;
        Invocation call;
        Invoke(vorn, 0x60030000, {ByRef(InOut(version))}, call);
        CheckHr(call.hr, S_OK, "SPI_VERSION");
        Check(V_VT(&call.result) == VT_EMPTY, "SPI_VERSION result is VT_EMPTY");
        CheckText(Text(version), L"01.002", "SPI_VERSION text");
        CheckSent({}, "SPI_VERSION");
    }
    {
        // An overflow raised in the server reaches this process with its description.
        _bstr_t averages(L"40000");
        Invocation call;
        Invoke(vorn, 0x60030005, {ByRef(InOut(averages))}, call);
        CheckHr(call.hr, DISP_E_EXCEPTION, "VORN_IAV 40000");
        Check(FAILED(call.error.scode), "VORN_IAV 40000: a failure code in EXCEPINFO, got " + Hex(call.error.scode));
        const std::wstring description = Text(call.error.bstrDescription);
        Check(!description.empty(), "VORN_IAV 40000: a description in EXCEPINFO");
        std::printf("VORN_IAV 40000 raised %s: %s\n", Hex(call.error.scode).c_str(), Narrow(description).c_str());
        CheckSent({}, "VORN_IAV 40000");
    }
}

void ThroughVtable(IDispatch* object)
{
    group = "vtable";
    ComPtr<_clsVornlink> vorn;
    CheckHr(object->QueryInterface(IID_PPV_ARGS(&vorn)), S_OK, "QueryInterface _clsVornlink");
    if (!vorn)
        return;
    long result = 99;

    short board = 2, number = 0, address = 32, port = 4;
    CheckHr(vorn->CONFIG(&board, &number, &address, &port, &result), S_OK, "CONFIG 2,0,32,4");
    CheckNumber(result, 0, "CONFIG 2,0,32,4 result");
    CheckSent({"VORN:CONFIG 2,0,32,4"}, "CONFIG 2,0,32,4");

    double delay = 2.5;
    short measure = 3;
    CheckHr(vorn->VORN_DELAY(&delay, &measure, &result), S_OK, "VORN_DELAY 2.5, 3");
    CheckNumber(result, 0, "VORN_DELAY result");
    CheckSent({"VORN:DELAY 2.5,3"}, "VORN_DELAY 2.5, 3");

    _bstr_t module(L" b");
    CheckHr(vorn->SENS_CORR_COLL_ACQ(InOut(module), &result), S_OK, "SENS_CORR_COLL_ACQ ' b'");
    CheckNumber(result, 0, "SENS_CORR_COLL_ACQ result");
    CheckText(Text(module), L"B", "strModule written back");
    CheckSent({"SENS:CORR:COLL:ACQ B"}, "SENS_CORR_COLL_ACQ ' b'");

    _bstr_t identity;
    CheckHr(vorn->CMD_IDN(InOut(identity), &result), S_OK, "CMD_IDN");
    CheckNumber(result, 0, "CMD_IDN result");
    CheckText(Text(identity), Reply(L"VORN,EC-2P Simulated Module,SIM00001,01.002"), "CMD_IDN reply");
    CheckSent({"*IDN?"}, "CMD_IDN");

    _bstr_t averages(L"?"), reply(L"previous text");
    CheckHr(vorn->VORN_IAV(InOut(averages), InOut(reply), &result), S_OK, "VORN_IAV '?'");
    CheckNumber(result, 0, "VORN_IAV '?' result");
    CheckText(Text(reply), Reply(L"1"), "VORN_IAV reply");
    CheckSent({"VORN:IAV?"}, "VORN_IAV '?'");

    // An omitted strReturn is a null pointer in the vtable, which the marshaler refuses for an [in, out]
    // parameter: across processes only late-bound callers can leave it out (see ThroughIDispatch).
    averages = L"?";
    CheckHr(vorn->VORN_IAV(InOut(averages), nullptr, &result), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER),
            "VORN_IAV '?' with a null strReturn");
    CheckSent({}, "VORN_IAV '?' with a null strReturn");

    // Across processes only the HRESULT of a raised error arrives; its description stays behind.
    averages = L"-40000";
    result = 99;
    const HRESULT overflow = vorn->VORN_IAV(InOut(averages), InOut(reply), &result);
    Check(FAILED(overflow), "VORN_IAV -40000 failed, got " + Hex(overflow));
    CheckSent({}, "VORN_IAV -40000");

    CheckHr(vorn->VORN_CLEAN(&result), S_OK, "VORN_CLEAN after an error");
    CheckNumber(result, 0, "VORN_CLEAN result");
    CheckSent({"VORN:CLEAN"}, "VORN_CLEAN after an error");
}

} // namespace

int main()
{
    static_assert(sizeof(void*) == 8, "this client must be built for 64-bit Windows");
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::printf("FAIL CoInitializeEx\n");
        return 100;
    }
    TakeSent();
    {
        group = "creation";
        CLSID clsid = {};
        CheckHr(CLSIDFromProgID(L"VornDriver.clsVornlink", &clsid), S_OK, "CLSIDFromProgID");
        Check(IsEqualCLSID(clsid, __uuidof(clsVornlink)), "the ProgID names the class clsVornlink");

        // The 32-bit DLL can't be loaded here; the class is registered for 32-bit processes only.
        ComPtr<IDispatch> inProcess;
        CheckHr(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&inProcess)), REGDB_E_CLASSNOTREG,
                "in-process creation in a 64-bit process");

        ComPtr<IDispatch> vorn;
        CheckHr(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&vorn)), S_OK,
                "creation in the surrogate");
        if (vorn) {
            ThroughIDispatch(vorn.Get());
            ThroughVtable(vorn.Get());
        }
    }
    CoUninitialize();
    if (failures == 0)
        std::printf("PASS: %d checks\n", checks);
    else
        std::printf("FAILED: %d of %d checks\n", failures, checks);
    return failures;
}
