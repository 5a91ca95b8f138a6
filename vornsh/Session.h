// Runs vornsh's commands against one server object: a method call, help or quit, one command at a time,
// and keeps the tally that decides the exit code.
#pragma once

#include "ConsoleText.h"
#include "MethodCatalog.h"

#include <span>
#include <string>
#include <vector>

// Ordered by severity; the exit code is that of the worst step.
enum class StepStatus {
    Nothing,         // a blank line, a comment, help
    Sent,            // exit code 0
    Rejected,        // 1: the server refused an argument (or, with --check, the module reported an error)
    ModuleError,     // 1
    AutomationError, // 2
    UsageError,      // 3
    Quit,
};

int ExitCode(StepStatus status) noexcept;

struct SessionSettings {
    bool check = false;
    std::wstring indent; // before each line that reports an outcome
};

class Session {
public:
    Session(IDispatch* server, const MethodCatalog& catalog, const TextOutput& out, const TextOutput& err,
            SessionSettings settings);

    StepStatus Run(std::span<const std::wstring> words);
    int ExitCode() const noexcept { return worst_; }
    // "6 steps: sent 5, rejected 1, automation errors 0, usage errors 0, module errors 1; exit code 1".
    // Each step is counted once: sent, rejected, automation error or usage error. A step that failed
    // after its command line went out (a query whose reply was lost) is sent, and also named as failed:
    // "sent 5 (1 failed after sending)". Help lines are no steps; a refused one is named apart.
    std::wstring Summary() const;
    // A write to standard output or error failed: the outcome of a step could not be shown.
    bool OutputLost() const noexcept;

private:
    StepStatus Step(std::span<const std::wstring> words);
    StepStatus Call(const MethodInfo& method, std::span<const std::wstring> arguments, bool& sent);
    StepStatus CheckErrorQueue();
    StepStatus UsageError(const std::wstring& what, const MethodInfo* method);
    StepStatus Help(std::span<const std::wstring> words);
    StepStatus Count(StepStatus status, bool sent);
    void Report(const std::wstring& line) const;
    void ReportError(const std::wstring& line) const;

    IDispatch* server_;
    const MethodCatalog& catalog_;
    const TextOutput& out_;
    const TextOutput& err_;
    SessionSettings settings_;
    int worst_ = 0;
    int steps_ = 0;
    int sent_ = 0;
    int rejected_ = 0;
    int automationErrors_ = 0;
    int usageErrors_ = 0;
    int moduleErrors_ = 0;
    int failedAfterSending_ = 0;
    int helpRefused_ = 0;
};

struct LineMode {
    const wchar_t* prompt = nullptr; // interactive: shown before each line
    bool echo = false;               // steps: each line shown before its outcome
    bool stopOnError = false;
    bool summary = false;
};

// Runs commands line by line until the input ends or quit; returns the exit code.
int RunLines(Session& session, LineInput& input, const TextOutput& out, const LineMode& mode);
