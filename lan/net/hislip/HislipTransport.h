// HiSLIP (IVI-6.1) on one TCP port: a connection is a session's synchronous channel when its first
// message is Initialize, its asynchronous one when it is AsyncInitialize (see HislipSessions.h). The
// synchronous channel carries program messages in (Data, DataEND) and responses out (as DataEND as soon
// as they exist, in synchronized mode); the asynchronous one device clear, the status byte, the locks,
// remote/local and service requests. Each message type is served by one handler from its channel's table.
#pragma once

#include "HislipMessage.h"
#include "HislipSessions.h"
#include "TcpListener.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class Log;

namespace lan {

namespace hislip {
// The newest version served; a client proposing a later one is answered with this.
constexpr std::uint16_t kHighestVersion = Version(1, 1);
constexpr std::uint16_t kLowestVersion = Version(1, 0);
// HiSLIP's own port, which resource strings leave out.
constexpr std::uint16_t kStandardPort = 4880;
// The only sub-address served.
constexpr const char* kSubAddress = "hislip0";
// The two characters answered as the server's vendor id.
constexpr std::uint16_t kVendorId = 'V' << 8 | 'N';
// The largest message taken (its payload): a longer write comes as several Data messages, each streamed
// to the instrument as it arrives.
constexpr std::uint64_t kMaxMessageSize = 1u << 20;
// The payloads that are kept whole (the sub-address, a lock's key, an error's text) are at most this.
constexpr std::uint64_t kMaxShortPayload = 256;
// The smallest message size a client may ask for: responses are cut into pieces no shorter.
constexpr std::uint64_t kMinClientMessage = 256;
// A lock's release waits up to this for the messages sent before it to run.
constexpr std::chrono::milliseconds kReleaseWait = std::chrono::seconds(5);
// A lock wait as the client asks for it, up to this.
constexpr std::chrono::milliseconds kMaxLockTimeout = std::chrono::minutes(10);
} // namespace hislip

struct HislipContext {
    Log& log;
    hislip::Registry& sessions;
};

std::unique_ptr<Connection> MakeHislipConnection(HislipContext& context, const std::string& peer);

// The VISA resource string of the server on `host`: "TCPIP::<host>::hislip0::INSTR", with ",<port>" after
// the sub-address when the port isn't HiSLIP's own (4880).
std::string HislipResource(const std::string& host, std::uint16_t port);

} // namespace lan
