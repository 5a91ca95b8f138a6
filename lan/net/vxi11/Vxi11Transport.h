// VXI-11 over ONC RPC: the core channel (links, writes, reads, status byte, clear, the lock) and the
// abort channel, each on a TCP listener of its own. A link is a session with on-read delivery; its id
// is the session's id. Links live with the connection that created them, and every wait a call makes
// watches that connection: a client that has gone loses its links at once.
#pragma once

#include "OncRpc.h"
#include "OneWayCaller.h"
#include "TcpListener.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Instrument.h"

namespace lan {

namespace vxi11 {
constexpr std::uint32_t kCoreProgram = 0x0607AF;
constexpr std::uint32_t kAbortProgram = 0x0607B0;
constexpr std::uint32_t kVersion = 1;
// The client's interrupt program, which device_intr_srq calls (one-way) with the handle it enabled.
constexpr std::uint32_t kInterruptProgram = 0x0607B1;
constexpr std::uint32_t kDeviceIntrSrq = 30;
constexpr std::size_t kMaxSrqHandle = 40;
// create_intr_chan's address families
constexpr std::uint32_t kFamilyTcp = 0;

// The procedures served
constexpr std::uint32_t kDeviceAbort = 1; // abort channel
constexpr std::uint32_t kCreateLink = 10;
constexpr std::uint32_t kDeviceWrite = 11;
constexpr std::uint32_t kDeviceRead = 12;
constexpr std::uint32_t kDeviceReadStb = 13;
constexpr std::uint32_t kDeviceTrigger = 14;
constexpr std::uint32_t kDeviceClear = 15;
constexpr std::uint32_t kDeviceRemote = 16;
constexpr std::uint32_t kDeviceLocal = 17;
constexpr std::uint32_t kDeviceLock = 18;
constexpr std::uint32_t kDeviceUnlock = 19;
constexpr std::uint32_t kDeviceEnableSrq = 20;
constexpr std::uint32_t kDeviceDocmd = 22;
constexpr std::uint32_t kDestroyLink = 23;
constexpr std::uint32_t kCreateIntrChan = 25;
constexpr std::uint32_t kDestroyIntrChan = 26;

// Errors a reply carries
constexpr std::uint32_t kNoError = 0;
constexpr std::uint32_t kSyntaxError = 1;
constexpr std::uint32_t kDeviceNotAccessible = 3;
constexpr std::uint32_t kInvalidLink = 4;
constexpr std::uint32_t kParameterError = 5;
constexpr std::uint32_t kChannelNotEstablished = 6;
constexpr std::uint32_t kNotSupported = 8;
constexpr std::uint32_t kOutOfResources = 9;
constexpr std::uint32_t kLockedByAnother = 11;
constexpr std::uint32_t kNoLockHeld = 12;
constexpr std::uint32_t kIoTimeout = 15;
constexpr std::uint32_t kAborted = 23;
constexpr std::uint32_t kChannelAlreadyEstablished = 29;

// Operation flags
constexpr std::uint32_t kWaitLock = 0x01;
constexpr std::uint32_t kEndFlag = 0x08;
constexpr std::uint32_t kTermCharSet = 0x80;
// Why a read ended (reason bits)
constexpr std::uint32_t kRequestCount = 0x01;
constexpr std::uint32_t kTermCharReason = 0x02;
constexpr std::uint32_t kEndReason = 0x04;

// The largest device_write we take, announced in create_link's reply.
constexpr std::uint32_t kMaxRecvSize = 64 * 1024;
// The most a device_read returns at once, whatever it asks for; the client reads on for the rest.
constexpr std::size_t kMaxReadSize = 256 * 1024;
// A record holds one call: a device_write's data plus headers and credentials.
constexpr std::size_t kMaxRecord = kMaxRecvSize + 4096;
constexpr std::size_t kMaxLinksPerConnection = 16;
// A client's lock_timeout and io_timeout are taken up to this: a wait of 49 days is no wait anyone means.
constexpr std::chrono::milliseconds kMaxTimeout = std::chrono::minutes(10);
// The interrupt channel's connect and each of its sends give up after this: a client's interrupt server
// that has gone holds nothing for longer.
constexpr std::chrono::milliseconds kInterruptTimeout = std::chrono::seconds(2);
// The only device served.
constexpr const char* kDeviceName = "inst0";
} // namespace vxi11

// The links open over every connection with the host and connection that created each, so that the
// abort channel (another connection) aborts a link for its own client only.
class LinkRegistry {
public:
    // Numbers the connections of both channels in the order they were accepted.
    std::uint64_t NextConnection() noexcept { return ++connections_; }

    void Add(SessionId id, std::string host, std::uint64_t connection);
    void Remove(SessionId id);
    bool Contains(SessionId id) const;
    // Whether an abort connection from `host`, numbered `connection`, may abort the link: it comes from
    // the link's host, made after the core connection that created the link.
    bool MayAbort(SessionId id, const std::string& host, std::uint64_t connection) const;

private:
    struct Owner {
        std::string host;
        std::uint64_t connection = 0;
    };
    std::atomic<std::uint64_t> connections_{0};
    mutable std::mutex mutex_;
    std::map<SessionId, Owner> links_;
};

struct Vxi11Context {
    Instrument& instrument;
    LinkRegistry& links;
    std::uint16_t abortPort = 0;
    Log* log = nullptr; // what the interrupt channels say
};

// A core connection's interrupt channel, shared with the service request handlers of its links (which
// the instrument may call once more after a link has closed).
class InterruptChannel {
public:
    // Made by create_intr_chan; false when one is already there.
    bool Open(Log* log, const OneWayCaller::Target& target);
    // Gone with destroy_intr_chan or the connection; false when there was none. Waits for a connect or
    // send in progress (bounded by kInterruptTimeout).
    bool Close();
    // device_intr_srq with the handle device_enable_srq gave; dropped when there is no channel.
    void RequestService(const std::string& handle);

private:
    std::mutex mutex_;
    std::shared_ptr<OneWayCaller> caller_;
};

// The core program for one connection, which owns its links.
class CoreChannel : public RpcProgram {
public:
    CoreChannel(Vxi11Context& context, std::string peer);
    CoreChannel(const CoreChannel&) = delete;
    CoreChannel& operator=(const CoreChannel&) = delete;
    ~CoreChannel() override; // CloseAll()s

    std::uint32_t Program() const noexcept override { return vxi11::kCoreProgram; }
    std::uint32_t Version() const noexcept override { return vxi11::kVersion; }
    ProcedureOutcome Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results) override;

    // Closes every link (their sessions' waits end, their lock is released). With `forGood`, links
    // created later are refused (the connection is being stopped).
    void CloseAll(bool forGood);

    // What the calls' waits watch (the connection's socket); none: they wait as asked.
    void Watch(ClientPresence* presence) noexcept { presence_ = presence; }

private:
    bool Owns(SessionId id) const;
    // A wait's outcome, closing every link when it says the client has gone.
    WaitResult Noted(WaitResult result);
    std::uint32_t CreateLink(XdrReader& arguments, XdrWriter& results);
    void Write(XdrReader& arguments, XdrWriter& results);
    void Read(XdrReader& arguments, XdrWriter& results);
    std::uint32_t DestroyLink(SessionId id);
    std::uint32_t CreateInterruptChannel(XdrReader& arguments);
    std::uint32_t EnableServiceRequests(SessionId link, bool enable, std::string_view handle);

    Vxi11Context& context_;
    const std::shared_ptr<InterruptChannel> interrupts_ = std::make_shared<InterruptChannel>();
    const std::string peer_;
    const std::uint64_t connection_;
    ClientPresence* presence_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<SessionId> links_;
    bool closed_ = false;
};

// The abort channel: device_abort, for a link of the caller's own (see LinkRegistry::MayAbort). One
// serves every connection.
class AbortChannel {
public:
    AbortChannel(Instrument& instrument, LinkRegistry& links) : instrument_(instrument), links_(links) {}

    LinkRegistry& Links() noexcept { return links_; }
    // device_abort's error for an abort connection from `host` numbered `connection`.
    std::uint32_t Abort(SessionId link, const std::string& host, std::uint64_t connection);

private:
    Instrument& instrument_;
    LinkRegistry& links_;
};

// The abort program as one abort connection serves it.
class AbortProgram : public RpcProgram {
public:
    AbortProgram(AbortChannel& channel, std::string host, std::uint64_t connection)
        : channel_(channel), host_(std::move(host)), connection_(connection)
    {
    }
    std::uint32_t Program() const noexcept override { return vxi11::kAbortProgram; }
    std::uint32_t Version() const noexcept override { return vxi11::kVersion; }
    ProcedureOutcome Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results) override;

private:
    AbortChannel& channel_;
    const std::string host_;
    const std::uint64_t connection_;
};

// "a.b.c.d" of "a.b.c.d:port".
std::string PeerHost(const std::string& peer);

std::unique_ptr<Connection> MakeCoreConnection(Vxi11Context& context, const std::string& peer);
std::unique_ptr<Connection> MakeAbortConnection(AbortChannel& channel);

} // namespace lan
