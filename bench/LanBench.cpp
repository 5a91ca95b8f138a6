// vornlan's round trips against the floor, measured in one run by one client: the do-nothing Winsock
// server (lan_floor_server) and vornlan over the do-nothing module, a query at a time over the raw
// socket and over VXI-11 (two calls per query), four clients together, and vornlan's memory over many
// queries and connections. Prints figures; asserts nothing.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr u_short kFloorPort = 15100;
constexpr u_short kRawPort = 15101;
constexpr u_short kVxi11Port = 15102;

SOCKET Connect(u_short port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    const BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return s;
}

bool ReceiveExactly(SOCKET s, char* data, int size)
{
    for (int got = 0; got < size;) {
        const int n = recv(s, data + got, size - got, 0);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

// One line sent, one line read.
bool RawQuery(SOCKET s)
{
    static constexpr char kQuery[] = "*IDN?\n";
    if (send(s, kQuery, sizeof kQuery - 1, 0) <= 0)
        return false;
    char buffer[512];
    for (int got = 0; got < static_cast<int>(sizeof buffer);) {
        const int n = recv(s, buffer + got, static_cast<int>(sizeof buffer) - got, 0);
        if (n <= 0)
            return false;
        got += n;
        if (buffer[got - 1] == '\n')
            return true;
    }
    return false;
}

// A minimal ONC RPC client for VXI-11's core channel: enough to create a link, write and read.
class Vxi11Client {
public:
    explicit Vxi11Client(u_short port) : socket_(Connect(port)) {}
    ~Vxi11Client()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    bool CreateLink()
    {
        Begin(10);
        Put(1234);
        Put(0);
        Put(10000);
        PutBytes("inst0", 5);
        std::vector<std::uint32_t> reply;
        if (!Call(reply) || reply.size() < 4 || reply[0] != 0)
            return false;
        link_ = reply[1];
        return true;
    }
    bool Query()
    {
        Begin(11); // device_write
        Put(link_);
        Put(10000);
        Put(10000);
        Put(8); // END
        PutBytes("*IDN?\n", 6);
        std::vector<std::uint32_t> reply;
        if (!Call(reply) || reply.empty() || reply[0] != 0)
            return false;
        Begin(12); // device_read
        Put(link_);
        Put(20480);
        Put(10000);
        Put(10000);
        Put(0);
        Put(0);
        return Call(reply) && reply.size() >= 2 && reply[0] == 0 && (reply[1] & 4) != 0;
    }
    bool Open() const { return socket_ != INVALID_SOCKET; }

private:
    void Begin(std::uint32_t procedure)
    {
        call_.clear();
        for (const std::uint32_t word : {++xid_, 0u, 2u, 0x0607AFu, 1u, procedure, 0u, 0u, 0u, 0u})
            Put(word);
    }
    void Put(std::uint32_t word) { call_.push_back(htonl(word)); }
    void PutBytes(const char* data, std::uint32_t size)
    {
        Put(size);
        for (std::uint32_t i = 0; i < size; i += 4) {
            std::uint32_t word = 0;
            std::memcpy(&word, data + i, std::min<std::uint32_t>(4, size - i));
            call_.push_back(word);
        }
    }
    // The reply's words after the accepted-reply header (xid, type, state, verifier, accept state).
    bool Call(std::vector<std::uint32_t>& reply)
    {
        const std::uint32_t mark = htonl(0x80000000u | static_cast<std::uint32_t>(call_.size() * 4));
        std::vector<std::uint32_t> record{mark};
        record.insert(record.end(), call_.begin(), call_.end());
        if (send(socket_, reinterpret_cast<const char*>(record.data()), static_cast<int>(record.size() * 4), 0) <= 0)
            return false;
        std::uint32_t header = 0;
        if (!ReceiveExactly(socket_, reinterpret_cast<char*>(&header), 4))
            return false;
        const std::uint32_t length = ntohl(header) & 0x7FFFFFFFu;
        if (length % 4 != 0 || length < 24 || length > 65536)
            return false;
        std::vector<std::uint32_t> words(length / 4);
        if (!ReceiveExactly(socket_, reinterpret_cast<char*>(words.data()), static_cast<int>(length)))
            return false;
        reply.clear();
        for (size_t i = 6; i < words.size(); ++i)
            reply.push_back(ntohl(words[i]));
        return true;
    }

    SOCKET socket_;
    std::vector<std::uint32_t> call_;
    std::uint32_t xid_ = 0;
    std::uint32_t link_ = 0;
};

template <typename Body>
double MicrosecondsEach(int count, Body body)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!body())
            return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

double RawRoundTrip(u_short port, int count)
{
    const SOCKET s = Connect(port);
    if (s == INVALID_SOCKET)
        return -1;
    RawQuery(s);
    const double each = MicrosecondsEach(count, [&] { return RawQuery(s); });
    closesocket(s);
    return each;
}

// Queries per second with `clients` connections querying at once.
double Throughput(u_short port, int clients, int perClient)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            const SOCKET s = Connect(port);
            for (int i = 0; i < perClient; ++i)
                if (s == INVALID_SOCKET || !RawQuery(s)) {
                    ++failures;
                    break;
                }
            closesocket(s);
        });
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failures ? -1 : clients * perClient / seconds;
}

struct Process {
    PROCESS_INFORMATION info{};
    ~Process()
    {
        if (info.hProcess) {
            TerminateProcess(info.hProcess, 0);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
};

bool Start(Process& process, const std::wstring& commandLine, const std::wstring& folder)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring line = commandLine;
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder.c_str(),
                          &startup, &process.info) != 0;
}

bool WaitForPort(u_short port)
{
    for (int attempt = 0; attempt < 300; ++attempt) {
        const SOCKET s = Connect(port);
        if (s != INVALID_SOCKET) {
            closesocket(s);
            return true;
        }
        Sleep(100);
    }
    return false;
}

double MegabytesCommitted(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process, &counters, sizeof counters);
    return counters.PagefileUsage / (1024.0 * 1024.0); // PrivateUsage reads 0 under Wine
}

} // namespace

int main()
{
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring bin(path);
    bin.resize(bin.rfind(L'\\'));

    Process floor, lan;
    if (!Start(floor, L"\"" + bin + L"\\lan_floor_server.exe\" " + std::to_wstring(kFloorPort), bin) ||
        !Start(lan,
               L"\"" + bin + L"\\vornlan.exe\" --raw-port " + std::to_wstring(kRawPort) + L" --vxi11-port " +
                   std::to_wstring(kVxi11Port) + L" --no-portmapper --max-clients 64",
               bin + L"\\null-module") ||
        !WaitForPort(kFloorPort) || !WaitForPort(kRawPort) || !WaitForPort(kVxi11Port)) {
        std::fprintf(stderr, "lan_bench: the floor server or vornlan did not start\n");
        return 1;
    }

    constexpr int kQueries = 3000;
    const double floorRaw = RawRoundTrip(kFloorPort, kQueries);
    const double lanRaw = RawRoundTrip(kRawPort, kQueries);
    Vxi11Client vxi11(kVxi11Port);
    vxi11.CreateLink();
    vxi11.Query();
    const double lanVxi11 = MicrosecondsEach(kQueries, [&] { return vxi11.Query(); });
    std::printf("vornlan, a query's round trip with the do-nothing module (%d queries, one client):\n", kQueries);
    std::printf("  floor (do-nothing Winsock server)  %8.1f us\n", floorRaw);
    std::printf("  raw socket                         %8.1f us  %.2fx the floor (target at most 1.3x)\n", lanRaw,
                lanRaw / floorRaw);
    std::printf("  VXI-11 (write + read)              %8.1f us  %.2fx twice the floor (target at most 1.3x)\n",
                lanVxi11, lanVxi11 / (2 * floorRaw));

    const double one = Throughput(kRawPort, 1, 2000);
    const double four = Throughput(kRawPort, 4, 500);
    std::printf("  raw socket, queries per second: one client %.0f, four together %.0f (%.2fx; target at least 0.9x)\n",
                one, four, four / one);

    const double before = MegabytesCommitted(lan.info.hProcess);
    const SOCKET s = Connect(kRawPort);
    for (int i = 0; i < 100000 && RawQuery(s); ++i) {
    }
    closesocket(s);
    const double afterQueries = MegabytesCommitted(lan.info.hProcess);
    for (int i = 0; i < 10000; ++i) {
        const SOCKET c = Connect(kRawPort);
        if (c != INVALID_SOCKET)
            closesocket(c);
    }
    Sleep(500);
    const double afterConnections = MegabytesCommitted(lan.info.hProcess);
    std::printf("  vornlan's committed memory: %.1f MB, after 10^5 queries %.1f MB, after 10^4 connect/close %.1f MB\n",
                before, afterQueries, afterConnections);
    return 0;
}
