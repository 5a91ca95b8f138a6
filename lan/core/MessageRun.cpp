#include "MessageRun.h"

#include "CodePage.h"
#include "Text.h"

#include <variant>

using Outcome = UnitRecord::Outcome;

std::string UnitRun::UnitText() const
{
    return unit_ ? text::Bounded(unit_->text) : std::string();
}

bool UnitRun::Reject(ScpiError error, std::string_view detail)
{
    status_.PushError(error, detail);
    record_.units.push_back({UnitText(), Outcome::Rejected, ErrorEntry(error, detail)});
    return EventBit(error) != esr::kCommandError;
}

bool UnitRun::Reject(ScpiError error)
{
    return Reject(error, unit_ ? std::string_view(unit_->text) : std::string_view());
}

bool UnitRun::Fail(const AutomationError& error)
{
    const bool overflow = ErrorNumber(error.code) == 6;
    const ScpiError number = overflow ? ScpiError::DataOutOfRange : ScpiError::ExecutionError;
    const std::string detail = codepage::ToAnsi(Describe(error));
    status_.PushError(number, detail);
    record_.units.push_back({UnitText(), Outcome::Failed, ErrorEntry(number, detail)});
    return true;
}

bool UnitRun::Answer(std::string response)
{
    record_.units.push_back({UnitText(), Outcome::Answered, text::Bounded(response)});
    responses_.push_back(std::move(response));
    return true;
}

bool UnitRun::Done()
{
    record_.units.push_back({UnitText(), Outcome::Answered, {}});
    return true;
}

bool UnitRun::Sent(std::string reply, bool isResponse)
{
    record_.units.push_back({UnitText(), Outcome::Sent, text::Bounded(reply)});
    if (isResponse)
        responses_.push_back(std::move(reply));
    return true;
}

bool UnitRun::NoParameters()
{
    return unit_->parameters.empty() || Reject(ScpiError::ParameterNotAllowed);
}

MessageRecord RunProgramMessage(std::string_view message, ClientStatus& status, ModuleLink& module)
{
    MessageRecord record;
    UnitRun run(status, module, record);
    std::vector<std::string> path;
    for (const auto& parsed : ParseProgramMessage(message)) {
        if (const auto* failure = std::get_if<ParseFailure>(&parsed)) {
            run.SetUnit(nullptr);
            run.Reject(failure->error, failure->detail);
            break;
        }
        const ProgramUnit& unit = std::get<ProgramUnit>(parsed);
        run.SetUnit(&unit);
        const CommandEntry* command = ResolveHeader(unit, path);
        if (!command) {
            run.Reject(ScpiError::UndefinedHeader);
            break;
        }
        const bool goOn = command->kind == CommandKind::Common ? RunCommonCommand(run, command->common)
                                                                : RunModuleCommand(run, *command);
        if (!goOn)
            break;
    }
    const std::vector<std::string> responses = run.TakeResponses();
    for (size_t n = 0; n < responses.size(); ++n)
        record.response += (n ? ";" : "") + responses[n];
    if (!responses.empty())
        record.response += '\n';
    return record;
}
