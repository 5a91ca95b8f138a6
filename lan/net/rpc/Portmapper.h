// The portmapper (program 100000, version 2) for the programs this process serves, so that VXI-11
// clients find the core channel from port 111: Windows has none of its own. Other programs can't
// register with it.
#pragma once

#include "ClientNetworks.h"
#include "OncRpc.h"
#include "Sockets.h"
#include "TcpListener.h"

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class Log;

namespace lan {

namespace portmap {
constexpr std::uint32_t kProgram = 100000;
constexpr std::uint32_t kVersion = 2;
constexpr std::uint16_t kPort = 111;
enum Procedure : std::uint32_t { kNull = 0, kSet = 1, kUnset = 2, kGetPort = 3, kDump = 4, kCallIt = 5 };
enum Protocol : std::uint32_t { kTcp = 6, kUdp = 17 };
} // namespace portmap

struct PortMapping {
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t protocol = portmap::kTcp;
    std::uint32_t port = 0;
};

class PortmapperProgram : public RpcProgram {
public:
    explicit PortmapperProgram(std::vector<PortMapping> mappings) : mappings_(std::move(mappings)) {}

    std::uint32_t Program() const noexcept override { return portmap::kProgram; }
    std::uint32_t Version() const noexcept override { return portmap::kVersion; }
    // SET and UNSET answer false; GETPORT the port or 0; DUMP every mapping; CALLIT isn't offered.
    ProcedureOutcome Call(std::uint32_t procedure, XdrReader& arguments, XdrWriter& results) override;

private:
    const std::vector<PortMapping> mappings_;
};

// Serves one program's calls on a TCP connection (records up to `maxRecord` bytes). Nothing it does
// waits for the instrument.
std::unique_ptr<Connection> MakeRpcConnection(RpcProgram& program, std::size_t maxRecord);

// The portmapper over UDP: one call a datagram, answered from a thread of its own. Datagrams from
// outside --allow are dropped (the first few logged).
class UdpRpcServer {
public:
    UdpRpcServer(Log& log, std::vector<ClientNetwork> allow, RpcProgram& program);
    UdpRpcServer(const UdpRpcServer&) = delete;
    UdpRpcServer& operator=(const UdpRpcServer&) = delete;
    ~UdpRpcServer(); // Stop()s

    // Serves on `socket` (bound already). Throws std::system_error or std::runtime_error.
    void Start(Socket socket);
    void Stop();

private:
    void Loop();

    Log& log_;
    const std::vector<ClientNetwork> allow_;
    RpcProgram& program_;
    Socket socket_;
    std::unique_ptr<SocketEvent> readEvent_;
    std::unique_ptr<SocketEvent> stopEvent_;
    std::thread thread_;
    int refusalsLogged_ = 0;
};

} // namespace lan
