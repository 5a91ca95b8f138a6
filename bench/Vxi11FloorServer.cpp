// The floor for vornlan's VXI-11 round trips: a do-nothing core channel on vornlan's own record marking
// and call dispatch (lan/net/rpc), a thread per connection with blocking calls, that answers
// create_link, device_write and device_read at once (every read gets the same reply). What vornlan
// costs beyond this is its instrument; what the client's RPC layer and Wine's sockets cost is in both.
#include "OncRpc.h"
#include "Sockets.h"
#include "Xdr.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <thread>

namespace {
constexpr char kReply[] = "VORN,EC-2P Null Module,0,0\n";
constexpr std::uint32_t kCoreProgram = 0x0607AF;
constexpr std::uint32_t kCreateLink = 10;
constexpr std::uint32_t kDeviceWrite = 11;
constexpr std::uint32_t kDeviceRead = 12;
constexpr std::uint32_t kDestroyLink = 23;
constexpr std::uint32_t kEndReason = 0x04;

class NullCoreChannel : public lan::RpcProgram {
public:
    std::uint32_t Program() const noexcept override { return kCoreProgram; }
    std::uint32_t Version() const noexcept override { return 1; }
    lan::ProcedureOutcome Call(std::uint32_t procedure, lan::XdrReader& arguments, lan::XdrWriter& results) override
    {
        switch (procedure) {
        case kCreateLink:
            results.Uint32(0);         // no error
            results.Uint32(1);         // the link
            results.Uint32(0);         // no abort channel
            results.Uint32(64 * 1024); // largest write taken
            return lan::ProcedureOutcome::Done;
        case kDeviceWrite: {
            arguments.Uint32(); // link
            arguments.Uint32(); // io timeout
            arguments.Uint32(); // lock timeout
            arguments.Uint32(); // flags
            const std::string_view data = arguments.Opaque(64 * 1024);
            if (!arguments.Ok())
                return lan::ProcedureOutcome::GarbageArguments;
            results.Uint32(0);
            results.Uint32(static_cast<std::uint32_t>(data.size()));
            return lan::ProcedureOutcome::Done;
        }
        case kDeviceRead:
            results.Uint32(0);
            results.Uint32(kEndReason);
            results.Opaque(std::string_view(kReply, sizeof kReply - 1));
            return lan::ProcedureOutcome::Done;
        case kDestroyLink:
            results.Uint32(0);
            return lan::ProcedureOutcome::Done;
        default:
            return lan::ProcedureOutcome::Unavailable;
        }
    }
};

void Serve(SOCKET client, NullCoreChannel& channel)
{
    const lan::Socket owned(client);
    lan::RpcProgram* const programs[] = {&channel};
    try {
        lan::ServeRecords(owned.get(), 64 * 1024 + 4096, programs);
    } catch (const std::exception&) {
        // A client that broke the record rules: its connection ends, as in vornlan.
    }
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: vxi11_floor_server PORT\n");
        return 2;
    }
    try {
        const lan::WinsockSession winsock;
        std::string error;
        const lan::Socket listener =
            lan::ListenTcp(INADDR_LOOPBACK, static_cast<std::uint16_t>(std::atoi(argv[1])), error);
        if (!listener) {
            std::fprintf(stderr, "vxi11_floor_server: cannot listen: %s\n", error.c_str());
            return 1;
        }
        NullCoreChannel channel;
        for (;;) {
            const SOCKET client = accept(listener.get(), nullptr, nullptr);
            if (client == INVALID_SOCKET)
                continue; // gone before it was taken
            const BOOL noDelay = TRUE;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
            std::thread(Serve, client, std::ref(channel)).detach();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vxi11_floor_server: %s\n", e.what());
        return 1;
    }
}
