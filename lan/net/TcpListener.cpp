#include "TcpListener.h"

#include "Log.h"

#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace lan {

bool ConnectionBudget::TryTake() noexcept
{
    std::lock_guard lock(mutex_);
    if (inUse_ >= limit_)
        return false;
    ++inUse_;
    return true;
}

void ConnectionBudget::Give() noexcept
{
    std::lock_guard lock(mutex_);
    if (inUse_ > 0)
        --inUse_;
}

int ConnectionBudget::InUse() const noexcept
{
    std::lock_guard lock(mutex_);
    return inUse_;
}

TcpListener::TcpListener(Log& log, std::string name, std::vector<ClientNetwork> allow, ConnectionBudget& budget,
                         Factory factory)
    : log_(log), name_(std::move(name)), allow_(std::move(allow)), budget_(budget), factory_(std::move(factory))
{
}

TcpListener::~TcpListener()
{
    Stop();
}

void TcpListener::SetSendTimeout(DWORD milliseconds)
{
    if (acceptThread_.joinable())
        throw std::logic_error("the send timeout is set before the listener starts");
    sendTimeoutMs_ = milliseconds;
}

void TcpListener::Start(Socket listener)
{
    if (acceptThread_.joinable())
        throw std::logic_error("the listener runs already");
    acceptEvent_ = std::make_unique<SocketEvent>();
    stopEvent_ = std::make_unique<SocketEvent>();
    reapEvent_ = std::make_unique<SocketEvent>();
    // Waiting on the listener's event and ours lets Stop() end the accept loop without closing a socket
    // another thread is blocked in.
    if (WSAEventSelect(listener.get(), acceptEvent_->get(), FD_ACCEPT) == SOCKET_ERROR)
        throw std::runtime_error("can't watch the " + name_ + " listener: " + ErrorText(WSAGetLastError()));
    listener_ = std::move(listener);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void TcpListener::Stop()
{
    if (acceptThread_.joinable()) {
        WSASetEvent(stopEvent_->get());
        acceptThread_.join();
    }
    listener_.reset();

    // The accept thread was the only other one removing clients: from here the list only shrinks in
    // this function, and the handlers stay alive until their threads are joined below.
    std::list<Client> stopping;
    {
        std::lock_guard lock(mutex_);
        for (Client& client : clients_) {
            if (client.finished)
                continue;
            // The shutdown makes every later read or write on the socket fail; cancelling ends the one in
            // progress, which a shutdown alone leaves blocked under Wine. The socket stays open until its
            // thread is done with it, so its handle can't be reused under that thread.
            shutdown(client.socket.get(), SD_BOTH);
            CancelIoEx(reinterpret_cast<HANDLE>(client.socket.get()), nullptr);
        }
        stopping.splice(stopping.end(), clients_);
    }
    for (Client& client : stopping) {
        try {
            client.handler->Interrupt();
        } catch (const std::exception& e) {
            log_.Line("client " + client.peer + ": can't end its wait: " + e.what());
        }
    }
    for (Client& client : stopping) {
        if (client.thread.joinable())
            client.thread.join();
    }
}

std::size_t TcpListener::ThreadsHeld() const
{
    std::lock_guard lock(mutex_);
    return clients_.size();
}

void TcpListener::AcceptLoop()
{
    const WSAEVENT events[] = {stopEvent_->get(), acceptEvent_->get(), reapEvent_->get()};
    for (;;) {
        // FD_ACCEPT is only the prompt way to learn of a connection, not the only one: Wine signals it
        // again only after its own accept(2) succeeds, so a connection can wait in the backlog with no
        // event to come. The backlog is tried after every wait, the event's or the timeout's.
        const DWORD which = WSAWaitForMultipleEvents(3, events, FALSE, kBacklogRetryMs, FALSE);
        if (which == WSA_WAIT_EVENT_0)
            break;
        if (which == WSA_WAIT_FAILED) {
            log_.Line("the " + name_ + " listener can't wait for connections: " + ErrorText(WSAGetLastError()));
            Sleep(kBacklogRetryMs);
            continue;
        }
        if (which == WSA_WAIT_EVENT_0 + 2)
            WSAResetEvent(reapEvent_->get());
        WSANETWORKEVENTS happened{};
        WSAEnumNetworkEvents(listener_.get(), acceptEvent_->get(), &happened);
        Reap();
        if (!AcceptBacklog())
            break;
    }
}

bool TcpListener::AcceptBacklog()
{
    // Connections found gone, in a row: bounded, should a system report the same one again and again.
    int gone = 0;
    for (;;) {
        sockaddr_in peer{};
        int length = sizeof peer;
        Socket socket(accept(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length));
        if (socket) {
            gone = 0;
            Admit(std::move(socket), peer);
            continue;
        }
        const int error = WSAGetLastError();
        switch (error) {
        case WSAEWOULDBLOCK:
            return true;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENOTCONN:
            // The peer left (often with a reset) before the connection was taken: that one is gone,
            // the next may be fine. Wine reports it as "not connected": its accept() asks the peer's
            // address of a connection that has none left.
            if (++gone < kMaxGoneInARow)
                continue;
            return true;
        default:
            // Out of sockets or memory: say so, and give the system a moment rather than spin. The
            // backlog is tried again after the wait.
            log_.Line("cannot accept a " + name_ + " connection: " + ErrorText(error));
            const WSAEVENT stop = stopEvent_->get();
            return WSAWaitForMultipleEvents(1, &stop, FALSE, 200, FALSE) != WSA_WAIT_EVENT_0;
        }
    }
}

void TcpListener::Admit(Socket socket, const sockaddr_in& peer)
{
    const std::string peerText = PeerText(peer);
    if (!Admits(allow_, ntohl(peer.sin_addr.s_addr))) {
        log_.Line("client " + peerText + " refused: not in --allow");
        return;
    }
    if (!budget_.TryTake()) {
        log_.Line("client " + peerText + " refused: too many clients (" + std::to_string(budget_.Limit()) + ")");
        return;
    }
    std::string error;
    if (!PrepareConnection(socket.get(), sendTimeoutMs_, error)) {
        log_.Line("client " + peerText + " dropped: " + error);
        budget_.Give();
        return;
    }

    std::unique_ptr<Connection> handler;
    try {
        handler = factory_(peerText);
    } catch (const std::exception& e) {
        log_.Line("client " + peerText + " refused: " + e.what());
        budget_.Give();
        return;
    }
    std::lock_guard lock(mutex_);
    Client& client = clients_.emplace_back();
    client.peer = peerText;
    client.socket = std::move(socket);
    client.handler = std::move(handler);
    // Said before the thread starts, so that its "left" can't come first.
    log_.Line("client " + peerText + " connected (" + name_ + ")");
    try {
        client.thread = std::thread([this, &client] { Run(client); });
    } catch (const std::system_error& e) {
        clients_.pop_back();
        budget_.Give();
        log_.Line("client " + peerText + " dropped: no thread for it: " + e.what());
    }
}

void TcpListener::Run(Client& client)
{
    SOCKET socket;
    {
        std::lock_guard lock(mutex_);
        socket = client.socket.get();
    }
    std::string failure;
    try {
        client.handler->Serve(socket);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    {
        std::lock_guard lock(mutex_);
        client.socket.reset();
        client.finished = true;
    }
    budget_.Give();
    if (!failure.empty())
        log_.Line("client " + client.peer + " dropped: " + failure);
    log_.Line("client " + client.peer + " left (" + name_ + ")");
    WSASetEvent(reapEvent_->get());
}

void TcpListener::Reap()
{
    std::list<Client> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto at = clients_.begin(); at != clients_.end();) {
            const auto next = std::next(at);
            if (at->finished)
                finished.splice(finished.end(), clients_, at);
            at = next;
        }
    }
    for (Client& client : finished)
        client.thread.join();
}

} // namespace lan
