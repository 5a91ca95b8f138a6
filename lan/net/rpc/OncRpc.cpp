#include "OncRpc.h"

#include <algorithm>
#include <stdexcept>
#include <vector>
#include <utility>

namespace lan {

namespace {
constexpr std::uint32_t kCall = 0;
constexpr std::uint32_t kReply = 1;
constexpr std::uint32_t kAccepted = 0;
constexpr std::uint32_t kDenied = 1;
constexpr std::uint32_t kLastFragment = 0x80000000u;

XdrWriter ReplyHeader(std::uint32_t xid, std::uint32_t replyStatus)
{
    XdrWriter writer;
    writer.Uint32(xid);
    writer.Uint32(kReply);
    writer.Uint32(replyStatus);
    return writer;
}

XdrWriter AcceptedHeader(std::uint32_t xid, rpc::AcceptStatus status)
{
    XdrWriter writer = ReplyHeader(xid, kAccepted);
    writer.Uint32(rpc::kAuthNone); // our verifier: none
    writer.Opaque({});
    writer.Uint32(status);
    return writer;
}
} // namespace

RecordAssembler::Status RecordAssembler::Feed(std::string_view& bytes)
{
    if (failed_ != Status::NeedMore)
        return failed_;
    while (!bytes.empty()) {
        if (!inFragment_) {
            while (headerBytes_ < 4 && !bytes.empty()) {
                header_ = header_ << 8 | static_cast<unsigned char>(bytes.front());
                ++headerBytes_;
                bytes.remove_prefix(1);
            }
            if (headerBytes_ < 4)
                break;
            headerBytes_ = 0;
            const std::uint32_t header = std::exchange(header_, 0);
            lastFragment_ = (header & kLastFragment) != 0;
            fragmentLeft_ = header & ~kLastFragment;
            if (++fragments_ > maxFragments_)
                return failed_ = Status::TooManyFragments;
            if (fragmentLeft_ > maxRecord_ - record_.size())
                return failed_ = Status::TooLong;
            inFragment_ = true;
        }
        const std::size_t take = std::min(fragmentLeft_, bytes.size());
        record_.append(bytes.data(), take);
        fragmentLeft_ -= take;
        bytes.remove_prefix(take);
        if (fragmentLeft_ == 0) {
            inFragment_ = false;
            if (lastFragment_)
                return Status::Record;
        }
    }
    return Status::NeedMore;
}

std::string RecordAssembler::TakeRecord()
{
    fragments_ = 0;
    lastFragment_ = false;
    return std::exchange(record_, {});
}

std::string FrameRecord(std::string_view message)
{
    XdrWriter header;
    header.Uint32(kLastFragment | static_cast<std::uint32_t>(message.size()));
    std::string record = header.Take();
    record.append(message);
    return record;
}

std::string AcceptedReply(std::uint32_t xid, rpc::AcceptStatus status, std::string_view results)
{
    std::string reply = AcceptedHeader(xid, status).Take();
    reply.append(results);
    return reply;
}

std::string ProgramMismatchReply(std::uint32_t xid, std::uint32_t low, std::uint32_t high)
{
    XdrWriter writer = AcceptedHeader(xid, rpc::kProgramMismatch);
    writer.Uint32(low);
    writer.Uint32(high);
    return writer.Take();
}

std::string RpcMismatchReply(std::uint32_t xid)
{
    XdrWriter writer = ReplyHeader(xid, kDenied);
    writer.Uint32(rpc::kRpcMismatch);
    writer.Uint32(rpc::kVersion);
    writer.Uint32(rpc::kVersion);
    return writer.Take();
}

std::string AuthErrorReply(std::uint32_t xid, rpc::AuthStatus status)
{
    XdrWriter writer = ReplyHeader(xid, kDenied);
    writer.Uint32(rpc::kAuthError);
    writer.Uint32(status);
    return writer.Take();
}

std::optional<std::string> AnswerCall(std::string_view message, std::span<RpcProgram* const> programs)
{
    XdrReader reader(message);
    const std::uint32_t xid = reader.Uint32();
    const std::uint32_t type = reader.Uint32();
    if (!reader.Ok() || type != kCall)
        return std::nullopt;
    if (reader.Uint32() != rpc::kVersion)
        return reader.Ok() ? std::optional(RpcMismatchReply(xid)) : std::nullopt;
    const std::uint32_t program = reader.Uint32();
    const std::uint32_t version = reader.Uint32();
    const std::uint32_t procedure = reader.Uint32();
    const std::uint32_t credentialFlavor = reader.Uint32();
    reader.Opaque(rpc::kMaxAuthBody);
    reader.Uint32(); // the verifier's flavor: nothing here is checked against it
    reader.Opaque(rpc::kMaxAuthBody);
    if (!reader.Ok())
        return AuthErrorReply(xid, rpc::kBadCredential);
    if (credentialFlavor != rpc::kAuthNone && credentialFlavor != rpc::kAuthSys)
        return AuthErrorReply(xid, rpc::kRejectedCredential);

    RpcProgram* served = nullptr;
    std::uint32_t low = 0xFFFFFFFFu;
    std::uint32_t high = 0;
    for (RpcProgram* candidate : programs) {
        if (candidate->Program() != program)
            continue;
        low = std::min(low, candidate->Version());
        high = std::max(high, candidate->Version());
        if (candidate->Version() == version)
            served = candidate;
    }
    if (!served) {
        if (high == 0)
            return AcceptedReply(xid, rpc::kProgramUnavailable);
        return ProgramMismatchReply(xid, low, high);
    }
    if (procedure == 0)
        return AcceptedReply(xid, rpc::kSuccess);

    XdrWriter results;
    switch (served->Call(procedure, reader, results)) {
    case ProcedureOutcome::Done: return AcceptedReply(xid, rpc::kSuccess, results.Bytes());
    case ProcedureOutcome::Unavailable: return AcceptedReply(xid, rpc::kProcedureUnavailable);
    case ProcedureOutcome::GarbageArguments: return AcceptedReply(xid, rpc::kGarbageArguments);
    case ProcedureOutcome::SystemError: break;
    }
    return AcceptedReply(xid, rpc::kSystemError);
}

namespace {
constexpr std::size_t kMaxFragments = 1024;
}

void ServeRecords(SOCKET socket, std::size_t maxRecord, std::span<RpcProgram* const> programs)
{
    RecordAssembler assembler(maxRecord, kMaxFragments);
    std::vector<char> buffer(16 * 1024);
    for (;;) {
        const int received = ReceiveSome(socket, buffer.data(), buffer.size());
        if (received <= 0)
            return;
        std::string_view bytes(buffer.data(), static_cast<std::size_t>(received));
        for (;;) {
            const RecordAssembler::Status status = assembler.Feed(bytes);
            if (status == RecordAssembler::Status::NeedMore)
                break;
            if (status == RecordAssembler::Status::TooLong)
                throw std::runtime_error("a record over " + std::to_string(maxRecord) + " bytes");
            if (status == RecordAssembler::Status::TooManyFragments)
                throw std::runtime_error("a record in over " + std::to_string(kMaxFragments) + " fragments");
            const std::optional<std::string> reply = AnswerCall(assembler.TakeRecord(), programs);
            if (reply && !SendAll(socket, FrameRecord(*reply)))
                return;
        }
    }
}

} // namespace lan
