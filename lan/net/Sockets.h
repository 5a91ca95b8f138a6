// Winsock for the transports: the library's start-up, owners for sockets and events, listeners bound
// the way a server's must be (no other program can take the port), sending a whole buffer, and
// addresses as the log writes them.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace lan {

// WSAStartup for the lifetime of the object; every socket call needs one alive.
class WinsockSession {
public:
    WinsockSession(); // throws std::runtime_error with the reason
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession();
};

// One socket, closed with its owner.
class Socket {
public:
    Socket() = default;
    explicit Socket(SOCKET adopted) noexcept : value_(adopted) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : value_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Socket() { reset(); }

    SOCKET get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != INVALID_SOCKET; }
    SOCKET release() noexcept { return std::exchange(value_, INVALID_SOCKET); }
    void reset(SOCKET adopted = INVALID_SOCKET) noexcept;

private:
    SOCKET value_ = INVALID_SOCKET;
};

// A manual-reset Winsock event.
class SocketEvent {
public:
    SocketEvent(); // throws std::runtime_error
    SocketEvent(const SocketEvent&) = delete;
    SocketEvent& operator=(const SocketEvent&) = delete;
    ~SocketEvent();

    WSAEVENT get() const noexcept { return value_; }

private:
    WSAEVENT value_;
};

// The system's text for a Winsock (or Windows) error code, without its line end.
std::string ErrorText(int error);

// "a.b.c.d" from an address in host byte order, and back (nullopt unless four decimal bytes).
std::string Ipv4Text(std::uint32_t address);
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
// "a.b.c.d:port"
std::string PeerText(const sockaddr_in& address);
// An IPv4 socket address from address and port in host byte order.
sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) noexcept;

// A TCP listener on address:port (host byte order; port 0 takes an ephemeral one), bound exclusively.
// An empty socket, with the reason in `error`, when it can't be had.
Socket ListenTcp(std::uint32_t address, std::uint16_t port, std::string& error);
// A UDP socket bound exclusively to address:port.
Socket BindUdp(std::uint32_t address, std::uint16_t port, std::string& error);
// The port a socket is bound to (host byte order), 0 on failure.
std::uint16_t LocalPort(SOCKET socket) noexcept;

// Readies an accepted socket for the thread that serves it: blocking, without the listener's event
// selection, no Nagle delay, a send timeout (a send that can't finish in time fails, and the connection
// must end), and keep-alive probes after 30 s of silence, 2 s apart, so that a host that vanished
// without closing is found out within a minute. False, with the reason, when the system refuses one.
constexpr DWORD kKeepAliveIdleMs = 30000;
constexpr DWORD kKeepAliveIntervalMs = 2000;
bool PrepareConnection(SOCKET socket, DWORD sendTimeoutMs, std::string& error);

// Sends every byte (in as few sends as the system allows; one for what fits its buffers).
// False when the connection failed or a send outlasted the socket's send timeout (the connection has to
// end then: what part of the bytes went is unknown).
bool SendAll(SOCKET socket, std::string_view bytes) noexcept;

// recv() into `buffer`: the count received, 0 when the peer closed, -1 on error.
int ReceiveSome(SOCKET socket, char* buffer, std::size_t size) noexcept;

} // namespace lan

namespace lan {

// Whether the peer has gone, asked without waiting or taking a byte: it closed its side (the end of the
// stream is next), the connection was reset or given up by keep-alive, or the socket failed. Bytes
// waiting to be read mean it is there.
bool PeerGone(SOCKET socket) noexcept;

// Whether a receive would return at once (bytes, the peer's close or an error), asked without waiting:
// 1 yes, 0 no, -1 the socket failed.
int ReadableNow(SOCKET socket) noexcept;

} // namespace lan
