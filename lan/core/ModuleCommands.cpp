// The module's commands: each unit becomes one call of the server's method, with the unit's parameters
// checked against the method's as the type library gives them. SYSTem:ERRor? answers the client's own
// errors before asking the module.
#include "MessageRun.h"

#include "CodePage.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <variant>

std::variant<long, ScpiError> ReadInteger16(const ProgramParameter& parameter)
{
    if (parameter.kind != ProgramParameter::Kind::Number)
        return ScpiError::DataTypeError;
    const double value = std::nearbyint(*ParseDecimal(parameter.text));
    if (value < -32768.0 || value > 32767.0)
        return ScpiError::DataOutOfRange;
    return static_cast<long>(value);
}

namespace {

bool Query(UnitRun& run, vorn::Method method, std::vector<std::wstring> words, size_t replyParameter)
{
    if (!run.NoParameters())
        return false;
    const ModuleCall call = run.Module().Call(method, words, replyParameter);
    if (call.error)
        return run.Fail(*call.error);
    if (call.result == -1)
        return run.Reject(ScpiError::IllegalParameterValue);
    return run.Sent(codepage::ToAnsi(call.reply), true);
}

bool Set(UnitRun& run, vorn::Method method)
{
    const ProgramUnit& unit = *run.Unit();
    std::optional<AutomationError> error;
    const MethodInfo* info = run.Module().Describe(method, error);
    if (!info)
        return run.Fail(*error);
    std::vector<const Parameter*> required;
    for (const Parameter& parameter : info->parameters)
        if (!parameter.optional)
            required.push_back(&parameter);
    if (unit.parameters.size() < required.size())
        return run.Reject(ScpiError::MissingParameter);
    if (unit.parameters.size() > required.size())
        return run.Reject(ScpiError::ParameterNotAllowed);

    std::vector<std::wstring> words;
    for (size_t p = 0; p < required.size(); ++p) {
        const ProgramParameter& given = unit.parameters[p];
        switch (required[p]->type) {
        case VT_I2: {
            const auto value = ReadInteger16(given);
            if (const auto* failure = std::get_if<ScpiError>(&value))
                return run.Reject(*failure);
            words.push_back(std::to_wstring(std::get<long>(value)));
            break;
        }
        case VT_R8: {
            if (given.kind != ProgramParameter::Kind::Number)
                return run.Reject(ScpiError::DataTypeError);
            // Seventeen digits carry the double exactly; the arguments read a point in any locale.
            wchar_t text[40];
            std::swprintf(text, 40, L"%.17g", *ParseDecimal(given.text));
            words.emplace_back(text);
            break;
        }
        default: words.push_back(codepage::FromAnsi(given.text)); break;
        }
    }
    const ModuleCall call = run.Module().Call(method, words, std::nullopt);
    if (call.error)
        return run.Fail(*call.error);
    if (call.result == -1)
        return run.Reject(ScpiError::IllegalParameterValue);
    return run.Sent({}, false);
}

} // namespace

bool EmptyModuleErrorQueue(UnitRun& run)
{
    for (int read = 0; read < kMaxModuleErrorReads; ++read) {
        const ModuleCall call = run.Module().Call(vorn::Method::SYST_ERR, std::vector<std::wstring>{L""}, 0);
        if (call.error)
            return run.Fail(*call.error);
        const std::string reply = codepage::ToAnsi(call.reply);
        char* end = nullptr;
        const long number = std::strtol(reply.c_str(), &end, 10);
        if (end != reply.c_str() && number == 0)
            return run.Done();
    }
    return run.Reject(ScpiError::ExecutionError, "the module's error queue did not empty");
}

bool RunModuleCommand(UnitRun& run, const CommandEntry& command)
{
    switch (command.kind) {
    case CommandKind::Identify: {
        const bool goOn = Query(run, vorn::Method::CMD_IDN, {L""}, 0);
        if (const UnitRecord& last = run.LastUnit(); last.outcome == UnitRecord::Outcome::Sent)
            run.NoteIdentity(last.detail);
        return goOn;
    }
    case CommandKind::SystemError:
        if (!run.NoParameters())
            return false;
        if (auto own = run.Status().PopError())
            return run.Answer(*own);
        return Query(run, vorn::Method::SYST_ERR, {L""}, 0);
    case CommandKind::ModuleQuery: return Query(run, command.method, {std::wstring(vorn::kQueryWord)}, 1);
    case CommandKind::ModuleSet: return Set(run, command.method);
    case CommandKind::Common: break;
    }
    return run.Reject(ScpiError::UndefinedHeader);
}
