#include "Portmapper.h"

#include "Log.h"

#include <stdexcept>
#include <string>

namespace lan {

namespace {
PortMapping ReadMapping(XdrReader& arguments) noexcept
{
    PortMapping mapping;
    mapping.program = arguments.Uint32();
    mapping.version = arguments.Uint32();
    mapping.protocol = arguments.Uint32();
    mapping.port = arguments.Uint32();
    return mapping;
}

// A portmapper call is a few words; anything beyond one of these is not one.
constexpr int kMaxDatagram = 2048;
// Refused datagrams logged before falling silent: a flood of them must not flood the log.
constexpr int kRefusalsLogged = 20;
} // namespace

ProcedureOutcome PortmapperProgram::Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results)
{
    switch (procedure) {
    case portmap::kSet:
    case portmap::kUnset:
        ReadMapping(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        results.Bool(false);
        return ProcedureOutcome::Done;
    case portmap::kGetPort: {
        const PortMapping wanted = ReadMapping(arguments);
        if (!arguments.Ok())
            return ProcedureOutcome::GarbageArguments;
        std::uint32_t port = 0;
        for (const PortMapping& mapping : mappings_) {
            if (mapping.program == wanted.program && mapping.version == wanted.version &&
                mapping.protocol == wanted.protocol)
                port = mapping.port;
        }
        results.Uint32(port);
        return ProcedureOutcome::Done;
    }
    case portmap::kDump:
        for (const PortMapping& mapping : mappings_) {
            results.Bool(true);
            results.Uint32(mapping.program);
            results.Uint32(mapping.version);
            results.Uint32(mapping.protocol);
            results.Uint32(mapping.port);
        }
        results.Bool(false);
        return ProcedureOutcome::Done;
    default: return ProcedureOutcome::Unavailable;
    }
}

namespace {
class RpcConnection : public Connection {
public:
    RpcConnection(RpcProgram& program, std::size_t maxRecord) : program_(program), maxRecord_(maxRecord) {}

    void Serve(SOCKET socket) override
    {
        RpcProgram* const programs[] = {&program_};
        ServeRecords(socket, maxRecord_, programs);
    }

    void Interrupt() override {}

private:
    RpcProgram& program_;
    const std::size_t maxRecord_;
};
} // namespace

std::unique_ptr<Connection> MakeRpcConnection(RpcProgram& program, std::size_t maxRecord)
{
    return std::make_unique<RpcConnection>(program, maxRecord);
}

UdpRpcServer::UdpRpcServer(Log& log, std::vector<ClientNetwork> allow, RpcProgram& program)
    : log_(log), allow_(std::move(allow)), program_(program)
{
}

UdpRpcServer::~UdpRpcServer()
{
    Stop();
}

void UdpRpcServer::Start(Socket socket)
{
    if (thread_.joinable())
        throw std::logic_error("the UDP server runs already");
    readEvent_ = std::make_unique<SocketEvent>();
    stopEvent_ = std::make_unique<SocketEvent>();
    if (WSAEventSelect(socket.get(), readEvent_->get(), FD_READ) == SOCKET_ERROR)
        throw std::runtime_error("can't watch the UDP socket: " + ErrorText(WSAGetLastError()));
    socket_ = std::move(socket);
    thread_ = std::thread([this] { Loop(); });
}

void UdpRpcServer::Stop()
{
    if (thread_.joinable()) {
        WSASetEvent(stopEvent_->get());
        thread_.join();
    }
    socket_.reset();
}

void UdpRpcServer::Loop()
{
    RpcProgram* const programs[] = {&program_};
    const WSAEVENT events[] = {stopEvent_->get(), readEvent_->get()};
    char buffer[kMaxDatagram];
    for (;;) {
        const DWORD which = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
        if (which != WSA_WAIT_EVENT_0 + 1)
            return;
        WSANETWORKEVENTS happened{};
        WSAEnumNetworkEvents(socket_.get(), readEvent_->get(), &happened);
        // The socket is non-blocking (event selection): read until nothing is left.
        for (;;) {
            if (WSAWaitForMultipleEvents(1, &events[0], FALSE, 0, FALSE) == WSA_WAIT_EVENT_0)
                return;
            sockaddr_in peer{};
            int peerLength = sizeof peer;
            const int received =
                recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
            if (received == SOCKET_ERROR) {
                const int error = WSAGetLastError();
                if (error == WSAEWOULDBLOCK)
                    break;
                // An oversized datagram is cut and dropped; an ICMP answer to an earlier reply shows up
                // here as a reset. Neither concerns the next caller.
                if (error == WSAEMSGSIZE || error == WSAECONNRESET)
                    continue;
                log_.Line("portmapper over UDP: " + ErrorText(error));
                break;
            }
            if (!Admits(allow_, ntohl(peer.sin_addr.s_addr))) {
                if (refusalsLogged_ < kRefusalsLogged) {
                    ++refusalsLogged_;
                    log_.Line("client " + PeerText(peer) + " refused: not in --allow (portmapper over UDP)" +
                              (refusalsLogged_ == kRefusalsLogged ? "; further refused datagrams go unlogged" : ""));
                }
                continue;
            }
            const std::optional<std::string> reply =
                AnswerCall(std::string_view(buffer, static_cast<std::size_t>(received)), programs);
            if (reply && sendto(socket_.get(), reply->data(), static_cast<int>(reply->size()), 0,
                                reinterpret_cast<const sockaddr*>(&peer), peerLength) == SOCKET_ERROR) {
                const int error = WSAGetLastError();
                if (error != WSAEWOULDBLOCK)
                    log_.Line("portmapper over UDP: no reply to " + PeerText(peer) + ": " + ErrorText(error));
            }
        }
    }
}

} // namespace lan
