#include "Options.h"

const wchar_t* const kUsage =
    L"usage: vornsh [--check] [--stop-on-error] [-f FILE] [METHOD [ARG...]]\n"
    L"  METHOD ARG...     call one method of VornDriver.clsVornlink and show what came back\n"
    L"  (no METHOD)       a prompt when standard input is a console, else steps from standard input\n"
    L"  -f FILE           steps from FILE (- for standard input): one command per line, # starts a comment\n"
    L"  --check           after each step, read the module's error queue (SYST_ERR) and show its errors\n"
    L"  --stop-on-error   stop the steps at the first one that did not succeed\n"
    L"  help [METHOD]     the methods, or one method's parameters and help text; quit ends a session\n"
    L"exit code: 0 all sent, 1 an argument rejected or a module error, 2 an automation error, 3 a usage error\n";

ParsedOptions ParseOptions(const std::vector<std::wstring>& arguments)
{
    ParsedOptions parsed;
    Options& options = parsed.options;
    size_t at = 0;
    for (; at < arguments.size(); ++at) {
        const std::wstring& word = arguments[at];
        if (word == L"--") {
            ++at;
            break;
        }
        if (word == L"--check") {
            options.check = true;
        } else if (word == L"--stop-on-error") {
            options.stopOnError = true;
        } else if (word == L"-f" || word == L"--file") {
            if (++at == arguments.size()) {
                parsed.error = word + L" needs a file name";
                return parsed;
            }
            options.stepsFile = arguments[at];
        } else if (word == L"-h" || word == L"--help" || word == L"/?" || word == L"-?") {
            options.showUsage = true;
        } else if (word.size() > 1 && word[0] == L'-' && (word[1] < L'0' || word[1] > L'9')) {
            parsed.error = L"unknown option " + word;
            return parsed;
        } else {
            break;
        }
    }
    options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
    if (options.stepsFile && !options.command.empty())
        parsed.error = L"-f and a METHOD exclude each other";
    return parsed;
}
