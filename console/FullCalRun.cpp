#include "FullCalRun.h"

#include "AppFramework.h"
#include "AutomationString.h"
#include "DispatchDriver.h"
#include "RunSettings.h"

#include <windows.h>
#include <objbase.h>
#include <ole2.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <string>

namespace {
// Dispatch identifiers of the clsVornlink methods this program calls.
constexpr DISPID kConfig = 0x60030001;
constexpr DISPID kVornClean = 0x60030007;
constexpr DISPID kSensCorrCollMeth = 0x60030008;
constexpr DISPID kSensCorrCollAcq = 0x6003000A;
constexpr DISPID kSensCorrCollSave = 0x6003000B;

void ShowError(const char* text)
{
    MessageBoxA(nullptr, text, "ERROR", MB_OK);
}

void UpperCaseInPlace(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// A stage fails when its call fails (no object, or the server raised an error) or returns a nonzero result.
void ReportIfFailed(const InvokeResult& result, const char* message)
{
    if (!result.Succeeded() || result.value != 0)
        ShowError(message);
}

InvokeResult CallWithText(const DispatchDriver& vornlink, DISPID id, BstrSlot& slot)
{
    const std::array args{ByRef(slot.Get())};
    return vornlink.InvokeMethod(id, args);
}
} // namespace

int RunFullCal(int argc, char** argv, ConsoleApp& app, DispatchDriver& vornlink)
{
    std::fputs("Vorn Module Full 2-Port Cal in Progress\n", stdout);
    std::fflush(stdout);

    if (!app.Init(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_HIDE)) {
        std::fputs("Fatal Error: MFC initialization failed\n", stderr);
        return 1;
    }

    HRESULT hr = CoInitialize(nullptr);
    if (hr != S_OK && hr != S_FALSE)
        ShowError("Cannot Initialize Component Object Model(COM) library");
    hr = OleInitialize(nullptr);
    if (hr != S_OK && hr != S_FALSE)
        ShowError("Cannot Initialize OLE library");
    if (FAILED(vornlink.CreateDispatch(L"VornDriver.clsVornlink")))
        ShowError("Cannot Create IDispatch object for VornDriver.clsVornlink");

    RunSettings settings = ParseRunSettings(argc, argv);
    if (settings.modulePortRefused)
        std::fputs("Module port refused: /e: takes one single-byte character (A or B)\n", stderr);
    if (settings.calRegisterRefused)
        std::fputs("Register refused: /c: takes one single-byte character\n", stderr);

    std::printf("\nConfiguring Vorn module:\n\tVNA address - %d\n\tGPIB type - %s\n\tprinter port - LPT%d\n\n",
                DisplayedAddress(settings), settings.boardName.c_str(), settings.printerPort);

    {
        const std::array args{ByRef(settings.boardType), ByRef(settings.boardNumber), ByRef(settings.analyzerAddress),
                              ByRef(settings.printerPort)};
        ReportIfFailed(vornlink.InvokeMethod(kConfig, args), "CONFIG returned an error");
    }
    {
        BstrSlot method = MakeAutomationString(settings.method);
        UpperCaseInPlace(settings.method);
        ReportIfFailed(CallWithText(vornlink, kSensCorrCollMeth, method), "SENS_CORR_COLL_METH returned an error");
    }
    {
        BstrSlot port = MakeAutomationString(settings.modulePort);
        UpperCaseInPlace(settings.modulePort);
        std::printf("\nInitiating %s 2-port CAL at port '%s'\n", settings.method.c_str(), settings.modulePort.c_str());
        ReportIfFailed(CallWithText(vornlink, kSensCorrCollAcq, port), "SENS_CORR_COLL_ACQ returned an error");
    }
    {
        BstrSlot calRegister = MakeAutomationString(settings.calRegister);
        std::printf("\nSaving CAL data in register #%s\n\n", settings.calRegister.c_str());
        ReportIfFailed(CallWithText(vornlink, kSensCorrCollSave, calRegister), "SENS_CORR_COLL_SAVE returned an error");
    }
    ReportIfFailed(vornlink.InvokeMethod(kVornClean, {}), "VORN_CLEAN returned an error");
    return 0;
}
