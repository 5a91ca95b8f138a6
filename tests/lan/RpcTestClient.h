// Calls as an RPC client sends them and replies as it reads them, in process or over loopback.
#pragma once

#include "OncRpc.h"
#include "Sockets.h"
#include "Xdr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
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

} // namespace test
