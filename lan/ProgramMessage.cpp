#include "ProgramMessage.h"

#include "CommandTable.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <variant>

namespace {

using Outcome = UnitRecord::Outcome;

// A numeric parameter read as a 16-bit integer: rounded to the nearest, a half to the even neighbour,
// as the server rounds.
std::variant<long, ScpiError> ReadInteger16(const ProgramParameter& parameter)
{
    if (parameter.kind != ProgramParameter::Kind::Number)
        return ScpiError::DataTypeError;
    const double value = std::nearbyint(*ParseDecimal(parameter.text));
    if (value < -32768.0 || value > 32767.0)
        return ScpiError::DataOutOfRange;
    return static_cast<long>(value);
}

class UnitRun {
public:
    UnitRun(ClientStatus& status, ModuleLink& module, MessageRecord& record)
        : status_(status), module_(module), record_(record)
    {
    }

    // False when the rest of the message is to be dropped.
    bool Run(const ProgramUnit& unit, const CommandEntry& command)
    {
        unit_ = &unit;
        switch (command.kind) {
        case CommandKind::Common: return Common(unit, command.pattern);
        case CommandKind::Identify: return NoParameters() && Query(vorn::Method::CMD_IDN, {L""}, 0);
        case CommandKind::SystemError:
            if (!NoParameters())
                return false;
            if (auto own = status_.PopError())
                return Answer(*own);
            return Query(vorn::Method::SYST_ERR, {L""}, 0);
        case CommandKind::ModuleQuery:
            return NoParameters() && Query(command.method, {std::wstring(vorn::kQueryWord)}, 1);
        case CommandKind::ModuleSet: return Set(unit, command.method);
        }
        return false;
    }

    // A command error leaves the parser nowhere to go on from, so the rest of the message is dropped;
    // after an execution error the next unit runs, as instruments do ("...;:SYST:ERR?" then reports it).
    bool Reject(ScpiError error, std::string_view detail)
    {
        const std::string entry = ErrorEntry(error, detail);
        status_.PushError(error, detail);
        record_.units.push_back({unit_ ? unit_->text : std::string(), Outcome::Rejected, entry});
        return EventBit(error) != esr::kCommandError;
    }

    void SetUnit(const ProgramUnit* unit) { unit_ = unit; }

private:
    bool NoParameters()
    {
        return unit_->parameters.empty() || Reject(ScpiError::ParameterNotAllowed, unit_->text);
    }

    bool Answer(std::string response)
    {
        record_.units.push_back({unit_->text, Outcome::Answered, response});
        responses_.push_back(std::move(response));
        return true;
    }

    bool Fail(const AutomationError& error)
    {
        // An overflow the server raised is a number out of its range; anything else is the server's
        // own failure, told in its words.
        const bool overflow = ErrorNumber(error.code) == 6;
        const ScpiError number = overflow ? ScpiError::DataOutOfRange : ScpiError::ExecutionError;
        const std::string detail = ToNetwork(Describe(error));
        status_.PushError(number, detail);
        record_.units.push_back({unit_->text, Outcome::Failed, ErrorEntry(number, detail)});
        return true;
    }

    bool Query(vorn::Method method, std::vector<std::wstring> words, size_t replyParameter)
    {
        const ModuleCall call = module_.Call(method, words, replyParameter);
        if (call.error)
            return Fail(*call.error);
        if (call.result == -1)
            return Reject(ScpiError::IllegalParameterValue, unit_->text);
        std::string reply = ToNetwork(call.reply);
        record_.units.push_back({unit_->text, Outcome::Sent, reply});
        responses_.push_back(std::move(reply));
        return true;
    }

    bool Set(const ProgramUnit& unit, vorn::Method method)
    {
        std::optional<AutomationError> error;
        const MethodInfo* info = module_.Describe(method, error);
        if (!info)
            return Fail(*error);
        std::vector<const Parameter*> required;
        for (const Parameter& parameter : info->parameters)
            if (!parameter.optional)
                required.push_back(&parameter);
        if (unit.parameters.size() < required.size())
            return Reject(ScpiError::MissingParameter, unit.text);
        if (unit.parameters.size() > required.size())
            return Reject(ScpiError::ParameterNotAllowed, unit.text);

        std::vector<std::wstring> words;
        for (size_t p = 0; p < required.size(); ++p) {
            const ProgramParameter& given = unit.parameters[p];
            switch (required[p]->type) {
            case VT_I2: {
                const auto value = ReadInteger16(given);
                if (const auto* failure = std::get_if<ScpiError>(&value))
                    return Reject(*failure, unit.text);
                words.push_back(std::to_wstring(std::get<long>(value)));
                break;
            }
            case VT_R8: {
                if (given.kind != ProgramParameter::Kind::Number)
                    return Reject(ScpiError::DataTypeError, unit.text);
                // Seventeen digits carry the double exactly; the arguments read a point in any locale.
                wchar_t text[40];
                std::swprintf(text, 40, L"%.17g", *ParseDecimal(given.text));
                words.emplace_back(text);
                break;
            }
            default: words.push_back(FromNetwork(given.text)); break;
            }
        }
        const ModuleCall call = module_.Call(method, words, std::nullopt);
        if (call.error)
            return Fail(*call.error);
        if (call.result == -1)
            return Reject(ScpiError::IllegalParameterValue, unit.text);
        record_.units.push_back({unit.text, Outcome::Sent, {}});
        return true;
    }

    bool Mask(void (ClientStatus::*set)(std::uint8_t))
    {
        if (unit_->parameters.empty())
            return Reject(ScpiError::MissingParameter, unit_->text);
        if (unit_->parameters.size() > 1)
            return Reject(ScpiError::ParameterNotAllowed, unit_->text);
        const auto value = ReadInteger16(unit_->parameters[0]);
        if (const auto* failure = std::get_if<ScpiError>(&value))
            return Reject(*failure, unit_->text);
        if (std::get<long>(value) < 0 || std::get<long>(value) > 255)
            return Reject(ScpiError::DataOutOfRange, unit_->text);
        (status_.*set)(static_cast<std::uint8_t>(std::get<long>(value)));
        record_.units.push_back({unit_->text, Outcome::Answered, {}});
        return true;
    }

    bool Done()
    {
        record_.units.push_back({unit_->text, Outcome::Answered, {}});
        return true;
    }

    // The module's queue read until it says 0, at most kMaxModuleErrorReads times.
    bool EmptyModuleQueue()
    {
        for (int read = 0; read < kMaxModuleErrorReads; ++read) {
            const ModuleCall call = module_.Call(vorn::Method::SYST_ERR, std::vector<std::wstring>{L""}, 0);
            if (call.error)
                return Fail(*call.error);
            const std::string reply = ToNetwork(call.reply);
            char* end = nullptr;
            const long number = std::strtol(reply.c_str(), &end, 10);
            if (end != reply.c_str() && number == 0)
                return Done();
        }
        return Reject(ScpiError::ExecutionError, "the module's error queue did not empty");
    }

    bool Common(const ProgramUnit& unit, std::string_view name)
    {
        if (name == "*ESE")
            return Mask(&ClientStatus::SetEventEnable);
        if (name == "*SRE")
            return Mask(&ClientStatus::SetServiceEnable);
        if (!NoParameters())
            return false;
        if (name == "*CLS") {
            status_.ClearStatus();
            return EmptyModuleQueue();
        }
        if (name == "*ESE?")
            return Answer(std::to_string(status_.EventEnable()));
        if (name == "*SRE?")
            return Answer(std::to_string(status_.ServiceEnable()));
        if (name == "*ESR?")
            return Answer(std::to_string(status_.TakeEventStatus()));
        if (name == "*STB?")
            return Answer(std::to_string(status_.StatusByte()));
        if (name == "*OPC") {
            // Messages run one after another: everything before this one has finished.
            status_.OperationComplete();
            return Done();
        }
        if (name == "*OPC?")
            return Answer("1");
        if (name == "*WAI")
            return Done();
        if (name == "*TST?")
            return Answer("1"); // not zero: no self-test was run, the module has none
        if (name == "*RST")
            return Reject(ScpiError::ExecutionError, "the module has no reset; nothing was sent");
        return Reject(ScpiError::UndefinedHeader, unit.text);
    }

public:
    std::vector<std::string> responses_;

private:
    ClientStatus& status_;
    ModuleLink& module_;
    MessageRecord& record_;
    const ProgramUnit* unit_ = nullptr;
};

} // namespace

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
            run.Reject(ScpiError::UndefinedHeader, unit.text);
            break;
        }
        if (!run.Run(unit, *command))
            break;
    }
    for (size_t n = 0; n < run.responses_.size(); ++n)
        record.response += (n ? ";" : "") + run.responses_[n];
    if (!run.responses_.empty())
        record.response += '\n';
    return record;
}

std::wstring FromNetwork(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    return text;
}

std::string ToNetwork(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}
