#include "RawSocketTransport.h"

#include "Instrument.h"

#include <mutex>
#include <vector>

namespace lan {

namespace {
class RawSocketConnection : public Connection {
public:
    RawSocketConnection(Instrument& instrument, std::string peer) : instrument_(instrument), peer_(std::move(peer)) {}

    void Serve(SOCKET socket) override
    {
        const SessionId id = instrument_.Open({peer_, Transport::RawSocket}, Delivery::Stream);
        {
            std::lock_guard lock(mutex_);
            id_ = id;
            if (interrupted_) {
                instrument_.Close(id);
                return;
            }
        }
        std::vector<char> buffer(16 * 1024);
        for (;;) {
            const int received = ReceiveSome(socket, buffer.data(), buffer.size());
            if (received <= 0)
                break;
            if (instrument_.Input(id, std::string_view(buffer.data(), static_cast<std::size_t>(received)), false) ==
                WaitResult::NoSession)
                break;
            const ReadResult responses = instrument_.WaitForResponses(id);
            if (responses.status == WaitResult::NoSession)
                break;
            if (!responses.data.empty() && !SendAll(socket, responses.data))
                break;
        }
        instrument_.Close(id);
    }

    void Interrupt() override
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        if (id_ != 0)
            instrument_.Close(id_);
    }

private:
    Instrument& instrument_;
    const std::string peer_;
    std::mutex mutex_;
    SessionId id_ = 0;
    bool interrupted_ = false;
};
} // namespace

std::unique_ptr<Connection> MakeRawSocketConnection(Instrument& instrument, const std::string& peer)
{
    return std::make_unique<RawSocketConnection>(instrument, peer);
}

} // namespace lan
