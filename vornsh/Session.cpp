#include "Session.h"

#include "ArgumentValues.h"
#include "DisplayText.h"
#include "MethodCall.h"
#include "Words.h"

#include <algorithm>

namespace {
// A module that never answers error 0 must not keep vornsh reading for ever.
constexpr int kErrorQueueReads = 32;
constexpr wchar_t kErrorQueueQuery[] = L"SYST_ERR";

std::wstring ResultMeaning(long result)
{
    switch (result) {
    case 0: return L"result 0: sent";
    case -1: return L"result -1: an argument was rejected, nothing sent";
    default: return L"result " + std::to_wstring(result);
    }
}

// The error number at the front of an error queue entry such as +0,"No error".
std::optional<long long> ErrorQueueNumber(std::wstring_view entry)
{
    const size_t start = entry.find_first_not_of(L' ');
    if (start == std::wstring_view::npos)
        return std::nullopt;
    entry.remove_prefix(start);
    return ReadInteger(entry.substr(0, entry.find(L',')));
}

// The server raises 453 naming GetQueryResponse only after SendScpiCommand has taken the query's line:
// the line reached the module and its reply was lost.
bool FailedAfterSending(const AutomationError& error)
{
    return ErrorNumber(error.code) == 453 && error.description.find(L"GetQueryResponse") != std::wstring::npos;
}

bool IsQuit(std::wstring_view word)
{
    return SameWord(word, L"quit") || SameWord(word, L"exit");
}

bool IsHelp(std::wstring_view word)
{
    return SameWord(word, L"help") || word == L"?";
}
} // namespace

int ExitCode(StepStatus status) noexcept
{
    switch (status) {
    case StepStatus::Rejected:
    case StepStatus::ModuleError: return 1;
    case StepStatus::AutomationError: return 2;
    case StepStatus::UsageError: return 3;
    default: return 0;
    }
}

Session::Session(IDispatch* server, const MethodCatalog& catalog, const TextOutput& out, const TextOutput& err,
                 SessionSettings settings)
    : server_(server), catalog_(catalog), out_(out), err_(err), settings_(std::move(settings))
{
}

StepStatus Session::Run(std::span<const std::wstring> words)
{
    if (words.empty())
        return StepStatus::Nothing;
    if (IsQuit(words[0]))
        return StepStatus::Quit;
    StepStatus status = StepStatus::Nothing;
    if (IsHelp(words[0])) {
        status = Help(words.subspan(1));
        if (status == StepStatus::UsageError)
            ++helpRefused_;
    } else {
        ++steps_;
        status = Step(words);
    }
    worst_ = std::max(worst_, ::ExitCode(status));
    return status;
}

bool Session::OutputLost() const noexcept
{
    return out_.Failure() != 0 || err_.Failure() != 0;
}

StepStatus Session::Step(std::span<const std::wstring> words)
{
    const MethodInfo* method = catalog_.Find(words[0]);
    if (!method)
        return Count(UsageError(L"unknown method " + words[0] + L"; help lists the methods", nullptr), false);
    if (settings_.check && !catalog_.Find(kErrorQueueQuery))
        return Count(UsageError(L"--check needs the method SYST_ERR, which the server lacks", nullptr), false);
    std::vector<std::wstring> arguments(words.size() - 1);
    for (size_t a = 0; a < arguments.size(); ++a) {
        if (const auto error = ArgumentText(words[a + 1], arguments[a])) {
            const std::wstring name =
                a < method->parameters.size() ? method->parameters[a].name : L"argument " + std::to_wstring(a + 1);
            return Count(UsageError(name + L": " + *error, method), false);
        }
    }
    bool sent = false;
    StepStatus status = Call(*method, arguments, sent);
    Count(status, sent);
    if (settings_.check && (status == StepStatus::Sent || status == StepStatus::Rejected)) {
        const StepStatus checked = CheckErrorQueue();
        if (checked == StepStatus::AutomationError && sent)
            ++failedAfterSending_;
        status = std::max(status, checked);
    }
    return status;
}

StepStatus Session::Count(StepStatus status, bool sent)
{
    if (sent) {
        ++sent_;
        if (status == StepStatus::AutomationError)
            ++failedAfterSending_;
    } else if (status == StepStatus::Rejected) {
        ++rejected_;
    } else if (status == StepStatus::AutomationError) {
        ++automationErrors_;
    } else if (status == StepStatus::UsageError) {
        ++usageErrors_;
    }
    return status;
}

StepStatus Session::Call(const MethodInfo& method, std::span<const std::wstring> arguments, bool& sent)
{
    sent = false;
    CallArguments values;
    if (const auto error = values.Convert(method, arguments))
        return UsageError(*error, &method);
    const CallOutcome outcome = CallMethod(server_, method, values);
    if (outcome.result)
        Report(ResultMeaning(*outcome.result));
    for (const WrittenBack& string : outcome.strings)
        Report(string.parameter + L" = " + Escaped(UpToFirstZero(string.text)));
    if (outcome.error) {
        ReportError(Describe(*outcome.error));
        sent = FailedAfterSending(*outcome.error);
        return StepStatus::AutomationError;
    }
    if (outcome.result.value_or(0) != 0)
        return StepStatus::Rejected;
    sent = true;
    return StepStatus::Sent;
}

StepStatus Session::CheckErrorQueue()
{
    const MethodInfo* query = catalog_.Find(kErrorQueueQuery);
    if (!query)
        return UsageError(L"--check needs the method SYST_ERR, which the server lacks", nullptr);
    StepStatus found = StepStatus::Sent;
    for (int read = 0; read < kErrorQueueReads; ++read) {
        CallArguments none;
        if (const auto error = none.Convert(*query, {}))
            return UsageError(*error, query);
        const CallOutcome outcome = CallMethod(server_, *query, none);
        if (outcome.error) {
            ReportError(Describe(*outcome.error));
            return StepStatus::AutomationError;
        }
        const std::wstring_view entry =
            outcome.strings.empty() ? std::wstring_view() : UpToFirstZero(outcome.strings.front().text);
        const auto number = ErrorQueueNumber(entry);
        if (number == 0 && outcome.result.value_or(0) == 0)
            return found;
        ++moduleErrors_;
        found = StepStatus::ModuleError;
        if (!number || outcome.result.value_or(0) != 0) {
            Report(L"module error queue not readable: " + ResultMeaning(outcome.result.value_or(0)) + L", reply \"" +
                   Escaped(entry) + L"\"");
            return StepStatus::ModuleError;
        }
        Report(L"module error " + Escaped(entry));
    }
    Report(L"module error queue not empty after " + std::to_wstring(kErrorQueueReads) + L" reads");
    return StepStatus::ModuleError;
}

StepStatus Session::UsageError(const std::wstring& what, const MethodInfo* method)
{
    ReportError(L"usage error: " + what);
    if (method)
        ReportError(L"usage: " + Signature(*method));
    return StepStatus::UsageError;
}

StepStatus Session::Help(std::span<const std::wstring> words)
{
    if (words.size() > 1)
        return UsageError(L"help takes at most one method's name", nullptr);
    if (words.size() == 1 && !catalog_.Find(words[0]))
        return UsageError(L"unknown method " + words[0] + L"; help lists the methods", nullptr);
    if (words.empty()) {
        out_.WriteLine(L"methods (help METHOD shows one):");
        for (const MethodInfo& method : catalog_.Methods())
            out_.WriteLine(L"  " + Signature(method));
        out_.WriteLine(L"text parameters left out at the end are passed as empty strings; replies come back in them");
        out_.WriteLine(L"also: help [METHOD], quit");
        return StepStatus::Nothing;
    }
    const MethodInfo& method = *catalog_.Find(words[0]);
    out_.WriteLine(Signature(method));
    out_.WriteLine(method.hasResult ? L"  returns 0 when sent, -1 when an argument was rejected (nothing sent)"
                                    : L"  returns no result code");
    out_.WriteLine(L"  " + (method.help.empty() ? std::wstring(L"(no help text in the type library)")
                                                : ShownAsTyped(method.help)));
    return StepStatus::Nothing;
}

// Messages quote what the user typed and what the server said: no control character in them reaches
// the terminal as such.
void Session::Report(const std::wstring& line) const
{
    out_.WriteLine(settings_.indent + ShownAsTyped(line));
}

void Session::ReportError(const std::wstring& line) const
{
    err_.WriteLine(settings_.indent + ShownAsTyped(line));
}

std::wstring Session::Summary() const
{
    std::wstring text = std::to_wstring(steps_) + (steps_ == 1 ? L" step" : L" steps") + L": sent " +
                        std::to_wstring(sent_);
    if (failedAfterSending_ != 0)
        text += L" (" + std::to_wstring(failedAfterSending_) + L" failed after sending)";
    text += L", rejected " + std::to_wstring(rejected_) + L", automation errors " + std::to_wstring(automationErrors_) +
            L", usage errors " + std::to_wstring(usageErrors_);
    if (settings_.check)
        text += L", module errors " + std::to_wstring(moduleErrors_);
    if (helpRefused_ != 0)
        text += L"; help refused " + std::to_wstring(helpRefused_);
    return text + L"; exit code " + std::to_wstring(worst_);
}

namespace {
int Finish(const Session& session, const TextOutput& out, const LineMode& mode)
{
    if (mode.summary)
        out.WriteLine(session.Summary());
    return session.ExitCode();
}
} // namespace

int RunLines(Session& session, LineInput& input, const TextOutput& out, const LineMode& mode)
{
    std::wstring line;
    for (;;) {
        if (mode.prompt)
            out.Write(mode.prompt);
        // Output nobody reads (a closed pipe) stops the run: no step is run whose outcome can't be shown.
        if (session.OutputLost())
            return session.ExitCode();
        if (!input.ReadLine(line))
            break;
        const std::vector<std::wstring> words = SplitWords(line);
        // Blank lines and comments are the file's own layout: only steps are echoed.
        if (mode.echo && !words.empty())
            out.WriteLine(L"> " + ShownAsTyped(line));
        if (session.OutputLost())
            return session.ExitCode();
        const StepStatus status = session.Run(words);
        if (status == StepStatus::Quit)
            return Finish(session, out, mode);
        if (mode.stopOnError && ExitCode(status) != 0) {
            out.WriteLine(L"stopped after a step that did not succeed");
            return Finish(session, out, mode);
        }
    }
    // The input ended in the middle of the prompt's line.
    if (mode.prompt)
        out.Write(L"\n");
    return Finish(session, out, mode);
}
