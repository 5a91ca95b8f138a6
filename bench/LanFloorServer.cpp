// The floor for vornlan's round trips: a Winsock server built the same way (a thread per connection,
// blocking calls) that does nothing but answer each line with the same reply. What vornlan costs
// beyond this is its own work; the rest is Wine's sockets.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {
constexpr char kReply[] = "VORN,EC-2P Null Module,0,0\n";

void Serve(SOCKET client)
{
    char buffer[4096];
    for (;;) {
        const int received = recv(client, buffer, sizeof buffer, 0);
        if (received <= 0)
            break;
        for (int i = 0; i < received; ++i)
            if (buffer[i] == '\n' && send(client, kReply, sizeof kReply - 1, 0) <= 0)
                break;
    }
    closesocket(client);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: lan_floor_server PORT\n");
        return 2;
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
        std::fprintf(stderr, "lan_floor_server: cannot listen (%d)\n", WSAGetLastError());
        return 1;
    }
    for (;;) {
        const SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            break;
        const BOOL noDelay = TRUE;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        std::thread(Serve, client).detach();
    }
    return 0;
}
