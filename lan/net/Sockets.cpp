#include "Sockets.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <stdexcept>

namespace lan {

WinsockSession::WinsockSession()
{
    WSADATA data{};
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0)
        throw std::runtime_error("Winsock can't start: " + ErrorText(error));
}

WinsockSession::~WinsockSession()
{
    WSACleanup();
}

void Socket::reset(SOCKET adopted) noexcept
{
    const SOCKET old = std::exchange(value_, adopted);
    if (old != INVALID_SOCKET)
        closesocket(old);
}

SocketEvent::SocketEvent() : value_(WSACreateEvent())
{
    if (value_ == WSA_INVALID_EVENT)
        throw std::runtime_error("can't create a socket event: " + ErrorText(WSAGetLastError()));
}

SocketEvent::~SocketEvent()
{
    WSACloseEvent(value_);
}

std::string ErrorText(int error)
{
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text) {
        result.assign(text, length);
        LocalFree(text);
        while (!result.empty() &&
               (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.'))
            result.pop_back();
    }
    if (result.empty()) {
        // Wine has no text for Winsock's codes; these are the ones a listener meets.
        switch (error) {
        case WSAEADDRINUSE: result = "the port is in use (by another program, or another copy of this one)"; break;
        case WSAEACCES: result = "permission denied (ports below 1024 may need administrator rights)"; break;
        case WSAEADDRNOTAVAIL: result = "the address is not one of this machine's"; break;
        case WSAEMFILE:
        case WSAENOBUFS: result = "out of sockets or buffer space"; break;
        default: return "error " + std::to_string(error);
        }
    }
    result += " (" + std::to_string(error) + ")";
    return result;
}

std::string Ipv4Text(std::uint32_t address)
{
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::optional<std::uint32_t> ParseIpv4(std::string_view text)
{
    std::uint32_t address = 0;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == end || *at != '.')
                return std::nullopt;
            ++at;
        }
        // One to three digits, no sign, no leading zeros that could read as octal elsewhere.
        const char* digits = at;
        while (at != end && *at >= '0' && *at <= '9' && at - digits < 4)
            ++at;
        const auto count = at - digits;
        if (count == 0 || count > 3 || (count > 1 && *digits == '0'))
            return std::nullopt;
        unsigned value = 0;
        std::from_chars(digits, at, value);
        if (value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (at != end)
        return std::nullopt;
    return address;
}

std::string PeerText(const sockaddr_in& address)
{
    return Ipv4Text(ntohl(address.sin_addr.s_addr)) + ':' + std::to_string(ntohs(address.sin_port));
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

namespace {

// Bound so that no other program can bind the same port while we hold it (SO_REUSEADDR would let one).
Socket BindExclusive(int type, int protocol, std::uint32_t address, std::uint16_t port, std::string& error)
{
    Socket socket(::socket(AF_INET, type, protocol));
    if (!socket) {
        error = ErrorText(WSAGetLastError());
        return {};
    }
    const BOOL on = TRUE;
    if (setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) ==
        SOCKET_ERROR) {
        error = "SO_EXCLUSIVEADDRUSE: " + ErrorText(WSAGetLastError());
        return {};
    }
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        error = ErrorText(WSAGetLastError());
        return {};
    }
    return socket;
}
} // namespace

Socket ListenTcp(std::uint32_t address, std::uint16_t port, std::string& error)
{
    Socket socket = BindExclusive(SOCK_STREAM, IPPROTO_TCP, address, port, error);
    if (socket && listen(socket.get(), SOMAXCONN) == SOCKET_ERROR) {
        error = ErrorText(WSAGetLastError());
        return {};
    }
    return socket;
}

Socket BindUdp(std::uint32_t address, std::uint16_t port, std::string& error)
{
    return BindExclusive(SOCK_DGRAM, IPPROTO_UDP, address, port, error);
}

std::uint16_t LocalPort(SOCKET socket) noexcept
{
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        return 0;
    return ntohs(local.sin_port);
}

bool PrepareConnection(SOCKET socket, DWORD sendTimeoutMs, std::string& error)
{
    // An accepted socket inherits the listener's event selection and non-blocking mode.
    u_long blocking = 0;
    if (WSAEventSelect(socket, nullptr, 0) == SOCKET_ERROR || ioctlsocket(socket, FIONBIO, &blocking) == SOCKET_ERROR) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    const BOOL on = TRUE;
    if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR) {
        error = "TCP_NODELAY: " + ErrorText(WSAGetLastError());
        return false;
    }
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
                   sizeof sendTimeoutMs) == SOCKET_ERROR) {
        error = "SO_SNDTIMEO: " + ErrorText(WSAGetLastError());
        return false;
    }
    // Windows sends ten probes, Linux (under Wine) nine: about 50 s from the last sign of life.
    tcp_keepalive keepAlive{};
    keepAlive.onoff = 1;
    keepAlive.keepalivetime = kKeepAliveIdleMs;
    keepAlive.keepaliveinterval = kKeepAliveIntervalMs;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr) ==
        SOCKET_ERROR) {
        error = "SIO_KEEPALIVE_VALS: " + ErrorText(WSAGetLastError());
        return false;
    }
    return true;
}

bool SendAll(SOCKET socket, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int sent = send(socket, bytes.data(), chunk, 0);
        if (sent == SOCKET_ERROR || sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

int ReceiveSome(SOCKET socket, char* buffer, std::size_t size) noexcept
{
    const int received = recv(socket, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    return received == SOCKET_ERROR ? -1 : received;
}

} // namespace lan

namespace lan {

int ReadableNow(SOCKET socket) noexcept
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval now{0, 0};
    const int ready = select(0, &readable, nullptr, nullptr, &now);
    return ready == SOCKET_ERROR ? -1 : ready > 0 ? 1 : 0;
}

bool PeerGone(SOCKET socket) noexcept
{
    const int ready = ReadableNow(socket);
    if (ready != 1)
        return ready < 0;
    char byte = 0;
    const int peeked = recv(socket, &byte, 1, MSG_PEEK);
    if (peeked > 0)
        return false;
    if (peeked == 0)
        return true;
    const int error = WSAGetLastError();
    return error != WSAEWOULDBLOCK && error != WSAEINTR && error != WSAEINPROGRESS;
}

} // namespace lan
