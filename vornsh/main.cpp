// vornsh: calls any method of the Vornlink automation server by name, from the command line, at a
// prompt or from a file of steps, and says plainly what happened.
#include "ConsoleText.h"
#include "DisplayText.h"
#include "MethodCall.h"
#include "MethodCatalog.h"
#include "Options.h"
#include "Session.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <optional>

using Microsoft::WRL::ComPtr;

namespace {
constexpr wchar_t kProgId[] = L"VornDriver.clsVornlink";
constexpr int kUsageExit = 3;
constexpr int kAutomationExit = 2;

// COM for this thread, from the first line of main to the last; objects are released before it ends.
class ComApartment {
public:
    ComApartment() noexcept : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};

// The program's arguments as the system received them, without the program's name: wide, so that no
// code page stands between the user and the server.
std::vector<std::wstring> CommandLineArguments()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> words;
    for (int i = 1; arguments && i < count; ++i)
        words.emplace_back(arguments[i]);
    LocalFree(arguments);
    return words;
}

HRESULT CreateServer(ComPtr<IDispatch>& server)
{
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&server));
    return hr;
}

int Run(const Options& options, const TextOutput& out, const TextOutput& err)
{
    // A steps file that can't be opened is the user's mistake: found out before the server is touched.
    // "-f -" is standard input, read as steps even from a console.
    const bool stepsFromInput = options.stepsFile && *options.stepsFile == L"-";
    std::optional<FileHandle> stepsFile;
    if (options.stepsFile && !stepsFromInput) {
        stepsFile.emplace(OpenForReading(*options.stepsFile));
        if (!stepsFile->valid()) {
            const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
            err.WriteLine(ShownAsTyped(L"usage error: cannot open " + *options.stepsFile + L": " + SystemMessage(error)));
            return kUsageExit;
        }
    }

    const ComApartment com;
    ComPtr<IDispatch> server;
    HRESULT hr = FAILED(com.result()) ? com.result() : CreateServer(server);
    if (FAILED(hr)) {
        err.WriteLine(Describe({hr,
                                {},
                                L"cannot create " + std::wstring(kProgId) + L" (" + SystemMessage(hr) +
                                    L"): is Vornlink.dll registered (regsvr32 Vornlink.dll)?"}));
        return kAutomationExit;
    }
    MethodCatalog catalog;
    hr = catalog.Load(server.Get());
    if (FAILED(hr)) {
        err.WriteLine(Describe({hr, {}, L"cannot read the methods from the server's type library"}));
        return kAutomationExit;
    }

    const bool oneShot = !options.command.empty();
    LineInput input(stepsFile ? stepsFile->get() : GetStdHandle(STD_INPUT_HANDLE));
    const bool interactive = !oneShot && !options.stepsFile && input.IsConsole();
    Session session(server.Get(), catalog, out, err, {options.check, oneShot || interactive ? L"" : L"  "});
    if (oneShot) {
        session.Run(options.command);
        return session.ExitCode();
    }
    LineMode mode;
    mode.stopOnError = options.stopOnError;
    if (interactive) {
        out.WriteLine(L"vornsh: " + std::wstring(kProgId) + L", " + std::to_wstring(catalog.Methods().size()) +
                      L" methods; help lists them, quit ends");
        mode.prompt = L"vorn> ";
    } else {
        mode.echo = true;
        mode.summary = true;
    }
    return RunLines(session, input, out, mode);
}
} // namespace

int main()
{
    const TextOutput out(GetStdHandle(STD_OUTPUT_HANDLE));
    const TextOutput err(GetStdHandle(STD_ERROR_HANDLE));
    const ParsedOptions parsed = ParseOptions(CommandLineArguments());
    if (parsed.error) {
        err.WriteLine(ShownAsTyped(L"usage error: " + *parsed.error));
        err.Write(kUsage);
        return kUsageExit;
    }
    if (parsed.options.showUsage) {
        out.Write(kUsage);
        return 0;
    }
    int code = Run(parsed.options, out, err);
    // Output lost is a failure of the run, whatever the steps did.
    if (out.Failure() != 0) {
        err.WriteLine(L"vornsh: standard output could not be written (" +
                      SystemMessage(HRESULT_FROM_WIN32(out.Failure())) + L"); the run stopped there");
        code = std::max(code, kAutomationExit);
    }
    if (err.Failure() != 0)
        code = std::max(code, kAutomationExit);
    return code;
}
