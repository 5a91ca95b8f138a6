// Calls as an RPC client sends them and replies as it reads them, in process or over loopback.
#pragma once

#include "OncRpc.h"
#include "Sockets.h"
#include "Xdr.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#include <string>
#include <string_view>

namespace test {

// A call message: header with AUTH_NONE (or the credential given), then the arguments.
inline std::string CallMessage(std::uint32_t xid, std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                               std::string_view arguments = {}, std::uint32_t credentialFlavor = 0,
                               std::string_view credential = {})
{
    lan::XdrWriter writer;
    writer.Uint32(xid);
    writer.Uint32(0); // CALL
    writer.Uint32(2); // RPC version
    writer.Uint32(program);
    writer.Uint32(version);
    writer.Uint32(procedure);
    writer.Uint32(credentialFlavor);
    writer.Opaque(credential);
    writer.Uint32(0);
    writer.Opaque({});
    std::string message = writer.Take();
    message.append(arguments);
    return message;
}

// Builds arguments word by word: Words({1, 2, 3}).
inline std::string Words(std::initializer_list<std::uint32_t> words)
{
    lan::XdrWriter writer;
    for (const std::uint32_t word : words)
        writer.Uint32(word);
    return writer.Take();
}

// A successful reply's results, after checking its header; nullopt (with a test failure) otherwise.
inline std::optional<std::string> SuccessResults(const std::optional<std::string>& reply, std::uint32_t xid)
{
    if (!reply) {
        ADD_FAILURE() << "no reply";
        return std::nullopt;
    }
    lan::XdrReader reader(*reply);
    EXPECT_EQ(reader.Uint32(), xid);
    EXPECT_EQ(reader.Uint32(), 1u); // REPLY
    EXPECT_EQ(reader.Uint32(), 0u); // MSG_ACCEPTED
    reader.Uint32();                // verifier
    reader.Opaque(400);
    const std::uint32_t status = reader.Uint32();
    if (!reader.Ok() || status != 0) {
        ADD_FAILURE() << "accept status " << status;
        return std::nullopt;
    }
    return reply->substr(reply->size() - reader.Remaining());
}

// A blocking client of one TCP port on 127.0.0.1.
class Client {
public:
    explicit Client(std::uint16_t port)
    {
        socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        // A test that goes wrong must not hang: no read waits longer than this.
        const DWORD timeout = 20000;
        setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    }

    bool Connected() const { return connected_; }
    SOCKET get() const { return socket_.get(); }
    void Close() { socket_.reset(); }

    bool Send(std::string_view bytes) { return lan::SendAll(socket_.get(), bytes); }

    // The next record, or nullopt when the server closed the connection (or the read timed out).
    std::optional<std::string> ReceiveRecord()
    {
        lan::RecordAssembler assembler(16 * 1024 * 1024, 1 << 16);
        for (;;) {
            if (!pending_.empty()) {
                std::string_view bytes = pending_;
                const auto status = assembler.Feed(bytes);
                pending_.erase(0, pending_.size() - bytes.size());
                if (status == lan::RecordAssembler::Status::Record)
                    return assembler.TakeRecord();
                if (status != lan::RecordAssembler::Status::NeedMore)
                    return std::nullopt;
            }
            char buffer[4096];
            const int received = lan::ReceiveSome(socket_.get(), buffer, sizeof buffer);
            if (received <= 0)
                return std::nullopt;
            pending_.append(buffer, static_cast<std::size_t>(received));
        }
    }

    // Sends a call as one record and returns the reply's results (nullopt on any failure).
    std::optional<std::string> Call(std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                                    std::string_view arguments)
    {
        const std::uint32_t xid = ++xid_;
        if (!Send(lan::FrameRecord(CallMessage(xid, program, version, procedure, arguments))))
            return std::nullopt;
        return SuccessResults(ReceiveRecord(), xid);
    }

    // Whether the server has closed the connection (reads to its end, within the read timeout).
    bool ClosedByServer()
    {
        char buffer[4096];
        for (int i = 0; i < 10000; ++i) {
            const int received = lan::ReceiveSome(socket_.get(), buffer, sizeof buffer);
            if (received == 0)
                return true;
            if (received < 0)
                return WSAGetLastError() != WSAETIMEDOUT;
        }
        return false;
    }

private:
    lan::Socket socket_;
    bool connected_ = false;
    std::string pending_;
    std::uint32_t xid_ = 100;
};

// A client's interrupt server on 127.0.0.1: accepts connections one after another and keeps the calls
// they carry, and whether the last connection has ended. It answers nothing (the calls are one-way).
class InterruptServer {
public:
    struct Call {
        std::uint32_t program = 0;
        std::uint32_t version = 0;
        std::uint32_t procedure = 0;
        std::string arguments;
    };

    InterruptServer()
    {
        std::string error;
        listener_ = lan::ListenTcp(INADDR_LOOPBACK, 0, error);
        EXPECT_TRUE(listener_) << error;
        port_ = lan::LocalPort(listener_.get());
        thread_ = std::thread([this] { Serve(); });
    }
    InterruptServer(const InterruptServer&) = delete;
    InterruptServer& operator=(const InterruptServer&) = delete;
    ~InterruptServer() { Stop(); }

    std::uint16_t Port() const { return port_; }
    // Closes the listener and the connection: the server is gone.
    void Stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        if (thread_.joinable())
            thread_.join();
        listener_.reset();
    }

    // Waits until `count` calls have come (false after a few seconds).
    bool WaitForCalls(std::size_t count, DWORD waitMs = 5000)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return calls_.size() >= count; });
    }
    // Waits until `count` connections have been accepted and every one has ended.
    bool WaitForEnded(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return ended_ >= count; });
    }
    std::vector<Call> Calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t Accepted()
    {
        std::lock_guard lock(mutex_);
        return accepted_;
    }

private:
    void Serve()
    {
        for (;;) {
            // A blocking accept isn't sure to end when another thread closes the listener: look often.
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_.get(), &readable);
            timeval step{0, 50000};
            const int ready = select(0, &readable, nullptr, nullptr, &step);
            {
                std::lock_guard lock(mutex_);
                if (stopping_ || ready == SOCKET_ERROR)
                    return;
            }
            if (ready == 0)
                continue;
            lan::Socket connection(accept(listener_.get(), nullptr, nullptr));
            if (!connection)
                return;
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
                ++accepted_;
                changed_.notify_all();
            }
            Take(connection.get());
            std::lock_guard lock(mutex_);
            ++ended_;
            changed_.notify_all();
        }
    }
    void Take(SOCKET socket)
    {
        lan::RecordAssembler assembler(4096, 16);
        char buffer[1024];
        for (;;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval step{0, 50000};
            const int ready = select(0, &readable, nullptr, nullptr, &step);
            {
                std::lock_guard lock(mutex_);
                if (stopping_ || ready == SOCKET_ERROR)
                    return;
            }
            if (ready == 0)
                continue;
            const int received = lan::ReceiveSome(socket, buffer, sizeof buffer);
            if (received <= 0)
                return;
            std::string_view bytes(buffer, static_cast<std::size_t>(received));
            while (!bytes.empty()) {
                const auto status = assembler.Feed(bytes);
                if (status == lan::RecordAssembler::Status::NeedMore)
                    break;
                if (status != lan::RecordAssembler::Status::Record)
                    return;
                const std::string record = assembler.TakeRecord();
                lan::XdrReader reader(record);
                reader.Uint32(); // xid
                Call call;
                const bool isCall = reader.Uint32() == 0 && reader.Uint32() == 2;
                call.program = reader.Uint32();
                call.version = reader.Uint32();
                call.procedure = reader.Uint32();
                reader.Uint32();
                reader.Opaque(400);
                reader.Uint32();
                reader.Opaque(400);
                EXPECT_TRUE(isCall && reader.Ok()) << "not a call";
                call.arguments = record.substr(record.size() - reader.Remaining());
                std::lock_guard lock(mutex_);
                calls_.push_back(std::move(call));
                changed_.notify_all();
            }
        }
    }

    lan::Socket listener_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::size_t accepted_ = 0;
    std::size_t ended_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace test
