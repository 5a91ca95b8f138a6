// Accepting TCP connections for one transport: the --allow check, the budget of connections every
// transport shares, a thread per connection, and a Stop() that ends them all.
#pragma once

#include "ClientNetworks.h"
#include "Sockets.h"

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Log;

namespace lan {

// At most `limit` connections at once, over every listener that shares the budget.
class ConnectionBudget {
public:
    explicit ConnectionBudget(int limit) noexcept : limit_(limit) {}
    bool TryTake() noexcept;
    void Give() noexcept;
    int InUse() const noexcept;
    int Limit() const noexcept { return limit_; }

private:
    const int limit_;
    mutable std::mutex mutex_;
    int inUse_ = 0;
};

// What a transport does with one connection.
class Connection {
public:
    virtual ~Connection() = default;
    // On the connection's own thread, until the connection ends: the peer closed, an error, a
    // violation of the protocol, or Stop() (which shuts the socket down). The listener closes it.
    virtual void Serve(SOCKET socket) = 0;
    // From Stop(), on another thread, while Serve() may run: end any wait Serve() is in that the
    // socket's shutdown can't end (a session's wait in the instrument).
    virtual void Interrupt() = 0;
};

class TcpListener {
public:
    // Makes the connection's handler; the peer is "a.b.c.d:port".
    using Factory = std::function<std::unique_ptr<Connection>(const std::string& peer)>;

    // `name` goes into the log lines: "client 127.0.0.1:50112 connected (raw socket)".
    TcpListener(Log& log, std::string name, std::vector<ClientNetwork> allow, ConnectionBudget& budget,
                Factory factory);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    ~TcpListener(); // Stop()s

    // A send that can't finish within this time (the reader stopped reading) fails, and every transport
    // then ends its connection. Before Start(); 10 s unless set.
    void SetSendTimeout(DWORD milliseconds);

    // Accepts on `listener` (listening already) from a thread of its own. Throws std::system_error or
    // std::runtime_error when that thread or its events can't be had.
    void Start(Socket listener);
    // Closes the listener, shuts every connection down, interrupts its handler and joins its thread.
    void Stop();

    // Connections whose thread hasn't been joined yet, finished or not.
    std::size_t ThreadsHeld() const;

private:
    // How long a connection may wait in the backlog when no FD_ACCEPT comes for it.
    static constexpr DWORD kBacklogRetryMs = 500;
    static constexpr int kMaxGoneInARow = 4096;
    static constexpr DWORD kDefaultSendTimeoutMs = 10000;

    struct Client {
        std::string peer;
        Socket socket; // guarded by mutex_: closed by the connection's thread when it ends
        std::unique_ptr<Connection> handler;
        std::thread thread;
        bool finished = false; // guarded by mutex_
    };

    void AcceptLoop();
    // Accepts every connection waiting; false when Stop() was asked meanwhile.
    bool AcceptBacklog();
    void Admit(Socket socket, const sockaddr_in& peer);
    void Run(Client& client);
    void Reap();

    Log& log_;
    const std::string name_;
    const std::vector<ClientNetwork> allow_;
    ConnectionBudget& budget_;
    const Factory factory_;
    DWORD sendTimeoutMs_ = kDefaultSendTimeoutMs;

    Socket listener_;
    std::unique_ptr<SocketEvent> acceptEvent_;
    std::unique_ptr<SocketEvent> stopEvent_;
    std::unique_ptr<SocketEvent> reapEvent_; // a connection's thread has ended
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::list<Client> clients_;
};

} // namespace lan
