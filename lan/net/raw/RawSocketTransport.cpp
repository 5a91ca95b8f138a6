#include "RawSocketTransport.h"

#include "Instrument.h"

#include <chrono>
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
        // Every wait of the session watches the socket: a client that has gone leaves nothing queued
        // behind another's lock.
        ProbedPresence presence([socket] { return PeerGone(socket); });
        std::vector<char> buffer(16 * 1024);
        for (bool serving = true; serving;) {
            const int received = ReceiveSome(socket, buffer.data(), buffer.size());
            if (received <= 0)
                break;
            std::string_view bytes(buffer.data(), static_cast<std::size_t>(received));
            // What the session's queue has no room for waits here, and nothing more is read meanwhile:
            // TCP's own flow control holds a client that sends faster than the module answers.
            while (serving) {
                const InputResult taken = instrument_.Input(id, bytes, false, std::chrono::milliseconds(0), nullptr);
                if (taken.status != WaitResult::Done && taken.status != WaitResult::TimedOut) {
                    serving = false;
                    break;
                }
                bytes.remove_prefix(taken.taken);
                const ReadResult responses = instrument_.WaitForResponses(id, presence);
                if (responses.status == WaitResult::NoSession || responses.status == WaitResult::Aborted) {
                    serving = false;
                    break;
                }
                // A client that only closed its side still gets what its messages answered.
                if (!responses.data.empty() && !SendAll(socket, responses.data))
                    serving = false;
                if (responses.status == WaitResult::Gone)
                    serving = false;
                if (bytes.empty())
                    break;
            }
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
