// ONC RPC version 2 as a server sees it: records on a TCP stream (record marking), calls read and
// checked, procedures dispatched to the programs served, and every kind of reply.
#pragma once

#include "Sockets.h"
#include "Xdr.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lan {

namespace rpc {
constexpr std::uint32_t kVersion = 2;
// Sizes the protocol puts a ceiling on: a credential or verifier's body.
constexpr std::size_t kMaxAuthBody = 400;

enum AcceptStatus : std::uint32_t {
    kSuccess = 0,
    kProgramUnavailable = 1,
    kProgramMismatch = 2,
    kProcedureUnavailable = 3,
    kGarbageArguments = 4,
    kSystemError = 5,
};
enum RejectStatus : std::uint32_t { kRpcMismatch = 0, kAuthError = 1 };
enum AuthStatus : std::uint32_t { kBadCredential = 1, kRejectedCredential = 2 };
enum AuthFlavor : std::uint32_t { kAuthNone = 0, kAuthSys = 1 };
} // namespace rpc

// Reassembles records from a TCP stream: each fragment has a four-byte header, its top bit set on the
// record's last fragment, the rest its length. A record longer than `maxRecord` or made of more than
// `maxFragments` fragments is refused before its bytes are kept (the connection has to go then).
class RecordAssembler {
public:
    enum class Status { NeedMore, Record, TooLong, TooManyFragments };

    RecordAssembler(std::size_t maxRecord, std::size_t maxFragments) noexcept
        : maxRecord_(maxRecord), maxFragments_(maxFragments)
    {
    }

    // Takes bytes from the front of `bytes` until a record is complete (Record: fetch it with
    // TakeRecord(), then feed the rest) or `bytes` runs out (NeedMore). After an error it stays failed.
    Status Feed(std::string_view& bytes);
    std::string TakeRecord();

private:
    std::size_t maxRecord_;
    std::size_t maxFragments_;
    Status failed_ = Status::NeedMore;
    std::uint32_t header_ = 0; // the fragment header read so far
    std::size_t headerBytes_ = 0;
    std::size_t fragmentLeft_ = 0; // bytes of the current fragment still to come (after its header)
    bool inFragment_ = false;
    bool lastFragment_ = false;
    std::size_t fragments_ = 0;
    std::string record_;
};

// A reply as one record: a single last fragment.
std::string FrameRecord(std::string_view message);

enum class ProcedureOutcome { Done, Unavailable, GarbageArguments, SystemError };

// One program and version served. Procedure 0 (NULL) is answered by the dispatcher.
class RpcProgram {
public:
    virtual ~RpcProgram() = default;
    virtual std::uint32_t Program() const noexcept = 0;
    virtual std::uint32_t Version() const noexcept = 0;
    // Reads the arguments from `arguments` and, when Done, writes the results to `results`.
    virtual ProcedureOutcome Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results) = 0;
};

// The reply to one call message: successful, or PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL,
// GARBAGE_ARGS, SYSTEM_ERR, RPC_MISMATCH or AUTH_ERROR as the call deserves. nullopt when the message
// deserves no reply: not a call, or too short to hold the transaction id.
std::optional<std::string> AnswerCall(std::string_view message, std::span<RpcProgram* const> programs);

// Replies built alone (for tests and for the dispatcher).
std::string AcceptedReply(std::uint32_t xid, rpc::AcceptStatus status, std::string_view results = {});
std::string ProgramMismatchReply(std::uint32_t xid, std::uint32_t low, std::uint32_t high);
std::string RpcMismatchReply(std::uint32_t xid);
std::string AuthErrorReply(std::uint32_t xid, rpc::AuthStatus status);

// Answers the calls arriving on a TCP connection, in order, each reply sent whole, until the peer
// closes or the connection fails. Throws std::runtime_error when the peer breaks the record rules (the
// connection must go then: the stream can't be resynchronised).
void ServeRecords(SOCKET socket, std::size_t maxRecord, std::span<RpcProgram* const> programs);

} // namespace lan
