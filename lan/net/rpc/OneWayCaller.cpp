#include "OneWayCaller.h"

#include "Log.h"
#include "OncRpc.h"
#include "Xdr.h"

#include <algorithm>

namespace lan {

std::string CallMessage(std::uint32_t xid, std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                        std::string_view arguments)
{
    XdrWriter writer;
    writer.Uint32(xid);
    writer.Uint32(0); // CALL
    writer.Uint32(rpc::kVersion);
    writer.Uint32(program);
    writer.Uint32(version);
    writer.Uint32(procedure);
    writer.Uint32(rpc::kAuthNone);
    writer.Opaque({});
    writer.Uint32(rpc::kAuthNone);
    writer.Opaque({});
    std::string message = writer.Take();
    message.append(arguments);
    return message;
}

namespace {
// Stop() is looked at this often while a connect waits.
constexpr auto kStep = std::chrono::milliseconds(100);

// Whether the peer closed or failed; bytes it sent (replies a one-way call doesn't want) are dropped.
bool ClosedByPeer(SOCKET socket) noexcept
{
    for (;;) {
        const int ready = ReadableNow(socket);
        if (ready != 1)
            return ready < 0;
        char buffer[512];
        if (ReceiveSome(socket, buffer, sizeof buffer) <= 0)
            return true;
    }
}
} // namespace

OneWayCaller::OneWayCaller(Log* log, Target target, std::chrono::milliseconds timeout)
    : log_(log), target_(target), timeout_(timeout), thread_([this] { Run(); })
{
}

OneWayCaller::~OneWayCaller()
{
    Stop();
}

bool OneWayCaller::Post(std::uint32_t procedure, std::string arguments)
{
    std::lock_guard lock(mutex_);
    if (stopping_ || queued_.size() >= kMaxQueued)
        return false;
    queued_.emplace_back(procedure, std::move(arguments));
    changed_.notify_all();
    return true;
}

void OneWayCaller::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_.clear();
        changed_.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void OneWayCaller::Note(const std::string& what)
{
    if (!log_)
        return;
    try {
        log_->Line("interrupt channel to " + Ipv4Text(target_.address) + ':' + std::to_string(target_.port) + ": " +
                   what);
    } catch (...) {
        // Nowhere to say it; the channel goes on.
    }
}

bool OneWayCaller::Connect(std::string& error)
{
    Socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(socket.get(), FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(target_.address);
    address.sin_port = htons(target_.port);
    if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                error = "stopped";
                return false;
            }
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket.get(), &writable);
        FD_SET(socket.get(), &failed);
        const auto step = std::chrono::duration_cast<std::chrono::microseconds>(kStep);
        timeval wait{0, static_cast<long>(step.count())};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == SOCKET_ERROR) {
            error = ErrorText(WSAGetLastError());
            return false;
        }
        if (ready > 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "no connection within " + std::to_string(timeout_.count()) + " ms";
            return false;
        }
    }
    int failure = 0;
    int length = sizeof failure;
    if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) == SOCKET_ERROR)
        failure = WSAGetLastError();
    if (failure != 0) {
        error = ErrorText(failure);
        return false;
    }
    // Blocking from here, each send bounded by the timeout.
    nonBlocking = 0;
    const DWORD sendTimeout = static_cast<DWORD>(timeout_.count());
    const BOOL noDelay = TRUE;
    if (ioctlsocket(socket.get(), FIONBIO, &nonBlocking) == SOCKET_ERROR ||
        setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                   sizeof sendTimeout) == SOCKET_ERROR ||
        setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay) ==
            SOCKET_ERROR) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    connection_ = std::move(socket);
    return true;
}

void OneWayCaller::Run()
{
    bool connecting = true; // the channel is made at once, as a client expects
    for (;;) {
        std::pair<std::uint32_t, std::string> call;
        bool sending = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || connecting || !queued_.empty(); });
            if (stopping_)
                break;
            if (!queued_.empty()) {
                call = std::move(queued_.front());
                queued_.pop_front();
                sending = true;
            }
        }
        connecting = false;
        if (connection_ && ClosedByPeer(connection_.get())) {
            connection_.reset();
            Note("closed by the client");
        }
        std::string error;
        if (!connection_ && !Connect(error)) {
            Note((sending ? "a call was dropped: " : "not connected: ") + error);
            continue;
        }
        if (!sending)
            continue;
        const std::string record =
            FrameRecord(CallMessage(++xid_, target_.program, target_.version, call.first, call.second));
        if (!SendAll(connection_.get(), record)) {
            connection_.reset();
            Note("a call was dropped: the client took it too slowly or has gone");
        }
    }
    connection_.reset();
}

} // namespace lan
