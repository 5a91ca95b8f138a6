// The IEEE 488.2 common commands, answered from the client's own status. Messages run one after another,
// so *OPC, *OPC? and *WAI find everything before them finished.
#include "MessageRun.h"

#include <variant>

namespace {

// A mask parameter: one number from 0 to 255.
bool SetMask(UnitRun& run, void (ClientStatus::*set)(std::uint8_t))
{
    const ProgramUnit& unit = *run.Unit();
    if (unit.parameters.empty())
        return run.Reject(ScpiError::MissingParameter);
    if (unit.parameters.size() > 1)
        return run.Reject(ScpiError::ParameterNotAllowed);
    const auto value = ReadInteger16(unit.parameters[0]);
    if (const auto* failure = std::get_if<ScpiError>(&value))
        return run.Reject(*failure);
    if (std::get<long>(value) < 0 || std::get<long>(value) > 255)
        return run.Reject(ScpiError::DataOutOfRange);
    (run.Status().*set)(static_cast<std::uint8_t>(std::get<long>(value)));
    return run.Done();
}

} // namespace

bool RunCommonCommand(UnitRun& run, CommonCommand command)
{
    using enum CommonCommand;
    ClientStatus& status = run.Status();
    if (command == EventEnable)
        return SetMask(run, &ClientStatus::SetEventEnable);
    if (command == ServiceEnable)
        return SetMask(run, &ClientStatus::SetServiceEnable);
    if (!run.NoParameters())
        return false;
    switch (command) {
    case ClearStatus:
        status.ClearStatus();
        return EmptyModuleErrorQueue(run);
    case EventEnableQuery: return run.Answer(std::to_string(status.EventEnable()));
    case ServiceEnableQuery: return run.Answer(std::to_string(status.ServiceEnable()));
    case EventStatusQuery: return run.Answer(std::to_string(status.TakeEventStatus()));
    case StatusByteQuery: return run.Answer(std::to_string(status.StatusByte()));
    case OperationComplete:
        status.OperationComplete();
        return run.Done();
    case OperationCompleteQuery: return run.Answer("1");
    case Wait: return run.Done();
    case SelfTestQuery: return run.Answer("1"); // not zero: no self-test was run, the module has none
    case Reset: return run.Reject(ScpiError::ExecutionError, "the module has no reset; nothing was sent");
    case None:
    case EventEnable:
    case ServiceEnable: break;
    }
    return run.Reject(ScpiError::UndefinedHeader);
}
