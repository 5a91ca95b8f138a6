// vornlan against do-nothing servers speaking the same protocols, measured in one run by one client: a
// query's round trip over the raw socket (against lan_floor_server), over VXI-11 (against
// vxi11_floor_server, on the same RPC layer) and over HiSLIP (against the raw socket's and its floor),
// four clients together, vornlan's commit charge over connection churn with and without a message per connection, and whether every listening port (raw,
// VXI-11 core and abort, portmapper, HiSLIP, HTTP) still takes clients after a long run of connect/close cycles,
// some of them reset before they're accepted. Prints figures; asserts nothing.
//
// lan_bench [CYCLES]: connect/close cycles per run (default 10^5).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr u_short kFloorPort = 15100;
constexpr u_short kRawPort = 15101;
constexpr u_short kVxi11Port = 15102; // its abort channel takes the next port
constexpr u_short kAbortPort = 15103;
constexpr u_short kVxi11FloorPort = 15104;
constexpr u_short kHttpPort = 15105;
constexpr u_short kHislipPort = 15106;
constexpr u_short kPortmapperPort = 111;

constexpr std::uint32_t kCoreProgram = 0x0607AF;
constexpr std::uint32_t kAbortProgram = 0x0607B0;
constexpr std::uint32_t kPortmapperProgram = 100000;

// A socket closed with its owner.
class Connection {
public:
    explicit Connection(u_short port, DWORD receiveTimeout = 10000) : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
            return;
        }
        const BOOL noDelay = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        // A server that stopped answering must not hang the bench.
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveTimeout),
                   sizeof receiveTimeout);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    bool Open() const { return socket_ != INVALID_SOCKET; }
    SOCKET get() const { return socket_; }
    // Closing with a reset (SO_LINGER 0), as a killed program's connection ends.
    void Reset()
    {
        const linger reset{1, 0};
        setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    }

private:
    SOCKET socket_;
};

bool SendAll(SOCKET s, const char* data, int size)
{
    for (int sent = 0; sent < size;) {
        const int n = send(s, data + sent, size - sent, 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
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
    if (!SendAll(s, kQuery, sizeof kQuery - 1))
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

// A minimal ONC RPC client: enough for VXI-11's create_link, write and read, and any program's NULL call.
class RpcClient {
public:
    explicit RpcClient(u_short port) : connection_(port) {}
    bool Open() const { return connection_.Open(); }

    // Procedure 0 of any program: answered by the RPC layer alone.
    bool Null(std::uint32_t program, std::uint32_t version)
    {
        Begin(program, version, 0);
        std::vector<std::uint32_t> reply;
        return Call(reply);
    }
    bool CreateLink()
    {
        Begin(kCoreProgram, 1, 10);
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
        Begin(kCoreProgram, 1, 11); // device_write
        Put(link_);
        Put(10000);
        Put(10000);
        Put(8); // END
        PutBytes("*IDN?\n", 6);
        std::vector<std::uint32_t> reply;
        if (!Call(reply) || reply.empty() || reply[0] != 0)
            return false;
        Begin(kCoreProgram, 1, 12); // device_read
        Put(link_);
        Put(20480);
        Put(10000);
        Put(10000);
        Put(0);
        Put(0);
        return Call(reply) && reply.size() >= 2 && reply[0] == 0 && (reply[1] & 4) != 0;
    }

private:
    void Begin(std::uint32_t program, std::uint32_t version, std::uint32_t procedure)
    {
        call_.clear();
        for (const std::uint32_t word : {++xid_, 0u, 2u, program, version, procedure, 0u, 0u, 0u, 0u})
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
    // The reply's words after the accepted-reply header (xid, type, state, verifier, accept state); false
    // unless the call was accepted and succeeded.
    bool Call(std::vector<std::uint32_t>& reply)
    {
        const std::uint32_t mark = htonl(0x80000000u | static_cast<std::uint32_t>(call_.size() * 4));
        std::vector<std::uint32_t> record{mark};
        record.insert(record.end(), call_.begin(), call_.end());
        if (!SendAll(connection_.get(), reinterpret_cast<const char*>(record.data()),
                     static_cast<int>(record.size() * 4)))
            return false;
        std::uint32_t header = 0;
        if (!ReceiveExactly(connection_.get(), reinterpret_cast<char*>(&header), 4))
            return false;
        const std::uint32_t length = ntohl(header) & 0x7FFFFFFFu;
        if (length % 4 != 0 || length < 24 || length > 65536)
            return false;
        std::vector<std::uint32_t> words(length / 4);
        if (!ReceiveExactly(connection_.get(), reinterpret_cast<char*>(words.data()), static_cast<int>(length)))
            return false;
        if (ntohl(words[0]) != xid_ || ntohl(words[2]) != 0 || ntohl(words[5]) != 0)
            return false;
        reply.clear();
        for (size_t i = 6; i < words.size(); ++i)
            reply.push_back(ntohl(words[i]));
        return true;
    }

    Connection connection_;
    std::vector<std::uint32_t> call_;
    std::uint32_t xid_ = 0;
    std::uint32_t link_ = 0;
};

// A minimal HiSLIP client: a session's two connections, a query as one DataEND and its response.
class HislipClient {
public:
    explicit HislipClient(u_short port) : sync_(port), async_(port)
    {
        if (!sync_.Open() || !async_.Open())
            return;
        static constexpr char kSubAddress[] = "hislip0";
        std::uint32_t parameter = 0;
        if (!Send(sync_.get(), 0, 0, 0x01000000u, kSubAddress, sizeof kSubAddress - 1) ||
            !Receive(sync_.get(), 1, parameter))
            return;
        if (!Send(async_.get(), 17, 0, parameter & 0xFFFF, nullptr, 0) || !Receive(async_.get(), 18, parameter))
            return;
        open_ = true;
    }
    bool Open() const { return open_; }

    bool Query()
    {
        static constexpr char kQuery[] = "*IDN?\n";
        const std::uint32_t id = messageId_;
        messageId_ += 2;
        std::uint32_t parameter = 0;
        return Send(sync_.get(), 7, 0, id, kQuery, sizeof kQuery - 1) && Receive(sync_.get(), 7, parameter) &&
               parameter == id;
    }

private:
    // Header and payload in one send, as a client that cares for latency does.
    static bool Send(SOCKET s, std::uint8_t type, std::uint8_t control, std::uint32_t parameter, const char* payload,
                     std::uint32_t size)
    {
        char message[64] = {'H', 'S', static_cast<char>(type), static_cast<char>(control)};
        for (int i = 0; i < 4; ++i)
            message[4 + i] = static_cast<char>(parameter >> (24 - 8 * i));
        for (int i = 0; i < 8; ++i)
            message[8 + i] = static_cast<char>(i < 4 ? 0 : size >> (56 - 8 * i));
        std::memcpy(message + 16, payload, size);
        return SendAll(s, message, static_cast<int>(16 + size));
    }
    // The next message, which must be of `type`; its payload is read and dropped. Read as a client that
    // cares for latency reads: all that has come at once, not the header and then the payload.
    static bool Receive(SOCKET s, std::uint8_t type, std::uint32_t& parameter)
    {
        unsigned char message[512];
        std::size_t got = 0;
        std::size_t size = 16;
        while (got < size) {
            const int n = recv(s, reinterpret_cast<char*>(message) + got, static_cast<int>(sizeof message - got), 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
            if (got >= 16 && size == 16) {
                if (message[0] != 'H' || message[1] != 'S' || message[2] != type || message[8] || message[9] ||
                    message[10] || message[11])
                    return false;
                std::uint32_t length = 0;
                for (int i = 12; i < 16; ++i)
                    length = length << 8 | message[i];
                if (length > sizeof message - 16)
                    return false;
                size = 16 + length;
            }
        }
        parameter = static_cast<std::uint32_t>(message[4]) << 24 | message[5] << 16 | message[6] << 8 | message[7];
        return got == size; // one message at a time: nothing comes unasked
    }

    Connection sync_;
    Connection async_;
    bool open_ = false;
    std::uint32_t messageId_ = 0xFFFFFF00;
};

bool HttpGet(u_short port)
{
    const Connection c(port);
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    char head[9] = {};
    return c.Open() && SendAll(c.get(), request.data(), static_cast<int>(request.size())) &&
           ReceiveExactly(c.get(), head, 8) && std::strncmp(head, "HTTP/1.1", 8) == 0;
}

template <typename Body>
double MicrosecondsEach(int count, Body body)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!body())
            return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

// Queries per second with `clients` connections querying at once.
double Throughput(u_short port, int clients, int perClient)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            const Connection s(port);
            for (int i = 0; i < perClient; ++i)
                if (!s.Open() || !RawQuery(s.get())) {
                    ++failures;
                    break;
                }
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
            WaitForSingleObject(info.hProcess, 5000);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
};

// Starts a program; with `output`, its standard output and error go to that file (vornlan's log lines
// would otherwise fill the bench's output).
bool Start(Process& process, const std::wstring& commandLine, const std::wstring& folder,
           const std::wstring& output = {})
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = file;
        startup.hStdError = file;
    }
    std::wstring line = commandLine;
    const bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, file != INVALID_HANDLE_VALUE,
                                        CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process.info) != 0;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return started;
}

bool WaitForPort(u_short port)
{
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (Connection(port).Open())
            return true;
        Sleep(100);
    }
    return false;
}

// Whether nothing listens on 127.0.0.1:port (TCP) right now.
bool PortFree(u_short port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return free;
}

double BytesCommitted(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process, &counters, sizeof counters);
    return static_cast<double>(counters.PagefileUsage); // PrivateUsage reads 0 under Wine
}

// A port served by a transport, and how to tell it answers.
struct Port {
    const char* name;
    u_short port;
    std::function<bool()> answers;
};

// `cycles` connect/close cycles on `port`, every fourth closed with a reset, `each` run on every
// connection before it closes (nothing when empty). Every 1000 cycles, and at the end, the port must
// still answer; a failed connect or answer ends the run. The cycles done; `stoppedAt` the cycle where
// the port stopped taking clients (0: it never did).
struct Churn {
    int done = 0;
    int stoppedAt = 0;
    double seconds = 0;
};

// The port answers: a few tries, since a burst of closed connections may still hold every slot of
// vornlan's --max-clients for a moment.
bool StillAnswers(const Port& port)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (port.answers())
            return true;
        Sleep(20);
    }
    return false;
}

Churn RunChurn(const Port& port, int cycles, const std::function<bool(SOCKET)>& each = {})
{
    Churn churn;
    const auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        Connection c(port.port);
        if (!c.Open() || (each && !each(c.get()))) {
            churn.stoppedAt = i + 1;
            break;
        }
        if (i % 4 == 3)
            c.Reset();
        churn.done = i + 1;
        if (i % 1000 == 999 && !StillAnswers(port)) {
            churn.stoppedAt = i + 1;
            break;
        }
    }
    if (churn.stoppedAt == 0 && !StillAnswers(port))
        churn.stoppedAt = churn.done;
    churn.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return churn;
}

void PrintChurn(const char* name, const Churn& churn)
{
    if (churn.stoppedAt == 0)
        std::printf("  %-16s %7d cycles in %5.0f s (%4.0f a second): answered throughout\n", name, churn.done,
                    churn.seconds, churn.done / churn.seconds);
    else
        std::printf("  %-16s STOPPED taking clients after %d cycles (%.0f s)\n", name, churn.stoppedAt,
                    churn.seconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring bin(path);
    bin.resize(bin.rfind(L'\\'));
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring logPath = std::wstring(temp) + L"lan_bench_vornlan.log";

    // The portmapper's port is fixed; where another program holds it (another vornlan, rpcbind), it's
    // left out of the run and said so.
    const bool portmapper = PortFree(kPortmapperPort);
    Process floor, vxi11Floor, lan;
    if (!Start(floor, L"\"" + bin + L"\\lan_floor_server.exe\" " + std::to_wstring(kFloorPort), bin) ||
        !Start(vxi11Floor, L"\"" + bin + L"\\vxi11_floor_server.exe\" " + std::to_wstring(kVxi11FloorPort), bin) ||
        !Start(lan,
               L"\"" + bin + L"\\vornlan.exe\" --raw-port " + std::to_wstring(kRawPort) + L" --vxi11-port " +
                   std::to_wstring(kVxi11Port) + L" --http-port " + std::to_wstring(kHttpPort) +
                   L" --hislip-port " + std::to_wstring(kHislipPort) +
                   (portmapper ? L"" : L" --no-portmapper") + L" --max-clients 64",
               bin + L"\\null-module", logPath) ||
        !WaitForPort(kFloorPort) || !WaitForPort(kVxi11FloorPort) || !WaitForPort(kRawPort) ||
        !WaitForPort(kVxi11Port) || !WaitForPort(kHttpPort) || !WaitForPort(kHislipPort)) {
        std::fprintf(stderr, "lan_bench: the floor servers or vornlan did not start\n");
        return 1;
    }

    // Floor and vornlan alternate in rounds, so that a burst of other work on the machine weighs on both.
    constexpr int kRounds = 6;
    constexpr int kQueries = 500; // a round's
    const Connection floorRaw(kFloorPort), lanRaw(kRawPort);
    RpcClient floorVxi11(kVxi11FloorPort), lanVxi11(kVxi11Port);
    HislipClient lanHislip(kHislipPort);
    if (!floorVxi11.CreateLink() || !lanVxi11.CreateLink() || !RawQuery(floorRaw.get()) || !RawQuery(lanRaw.get()) ||
        !floorVxi11.Query() || !lanVxi11.Query() || !lanHislip.Open() || !lanHislip.Query()) {
        std::fprintf(stderr, "lan_bench: a server did not answer\n");
        return 1;
    }
    double sum[5] = {};
    for (int round = 0; round < kRounds; ++round) {
        sum[0] += MicrosecondsEach(kQueries, [&] { return RawQuery(floorRaw.get()); });
        sum[1] += MicrosecondsEach(kQueries, [&] { return RawQuery(lanRaw.get()); });
        sum[2] += MicrosecondsEach(kQueries, [&] { return floorVxi11.Query(); });
        sum[3] += MicrosecondsEach(kQueries, [&] { return lanVxi11.Query(); });
        sum[4] += MicrosecondsEach(kQueries, [&] { return lanHislip.Query(); });
    }
    for (double& each : sum)
        each /= kRounds;
    std::printf("vornlan, a query's round trip with the do-nothing module (%d queries each, one client, "
                "alternating in %d rounds):\n",
                kQueries * kRounds, kRounds);
    std::printf("  raw floor (do-nothing Winsock server)        %8.1f us\n", sum[0]);
    std::printf("  raw socket                                   %8.1f us  %.2fx its floor (target at most 1.3x)\n",
                sum[1], sum[1] / sum[0]);
    std::printf("  VXI-11 floor (do-nothing core channel)       %8.1f us\n", sum[2]);
    std::printf("  VXI-11 (device_write + device_read)          %8.1f us  %.2fx its floor (target at most 1.3x)\n",
                sum[3], sum[3] / sum[2]);
    std::printf("  HiSLIP (DataEND in, DataEND out)             %8.1f us  %.2fx the raw socket (target at most 1.1x), "
                "%.2fx the raw floor\n",
                sum[4], sum[4] / sum[1], sum[4] / sum[0]);

    // HiSLIP against the raw socket query by query, in turn, so that the machine's bursts of other work
    // fall on both alike; medians, which a burst doesn't move.
    {
        constexpr int kPairs = 3000;
        std::vector<double> floorTimes, rawTimes, hislipTimes;
        for (int i = 0; i < kPairs; ++i) {
            floorTimes.push_back(MicrosecondsEach(1, [&] { return RawQuery(floorRaw.get()); }));
            rawTimes.push_back(MicrosecondsEach(1, [&] { return RawQuery(lanRaw.get()); }));
            hislipTimes.push_back(MicrosecondsEach(1, [&] { return lanHislip.Query(); }));
        }
        const auto median = [](std::vector<double>& times) {
            std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
            return times[times.size() / 2];
        };
        const double floorMedian = median(floorTimes), rawMedian = median(rawTimes),
                     hislipMedian = median(hislipTimes);
        std::printf("  query by query in turn, medians of %d: raw floor %.1f us, raw socket %.1f us, HiSLIP %.1f us "
                    "(%.2fx the raw socket, target at most 1.1x)\n",
                    kPairs, floorMedian, rawMedian, hislipMedian, hislipMedian / rawMedian);
    }

    const double one = Throughput(kRawPort, 1, 2000);
    const double four = Throughput(kRawPort, 4, 500);
    std::printf("  raw socket, queries per second: one client %.0f, four together %.0f (%.2fx; target at least 0.9x)\n",
                one, four, four / one);
    std::fflush(stdout);

    const Port raw{"raw socket", kRawPort, [] {
                       const Connection c(kRawPort);
                       return c.Open() && RawQuery(c.get());
                   }};
    const Port ports[] = {
        raw,
        {"VXI-11 core", kVxi11Port, [] { return RpcClient(kVxi11Port).Null(kCoreProgram, 1); }},
        {"VXI-11 abort", kAbortPort, [] { return RpcClient(kAbortPort).Null(kAbortProgram, 1); }},
        {"portmapper (TCP)", kPortmapperPort, [] { return RpcClient(kPortmapperPort).Null(kPortmapperProgram, 2); }},
        {"HiSLIP", kHislipPort, [] { return HislipClient(kHislipPort).Query(); }},
        {"HTTP", kHttpPort, [] { return HttpGet(kHttpPort); }},
    };

    // Memory: a warm-up first (the heap and the threads' stacks grow once to what bursts need), then
    // the growth over the cycles, with and without a query on each connection.
    RunChurn(raw, 10000);
    RunChurn(raw, 10000, RawQuery);
    Sleep(1000);
    const double start = BytesCommitted(lan.info.hProcess);
    const Churn bare = RunChurn(raw, cycles);
    Sleep(1000);
    const double afterBare = BytesCommitted(lan.info.hProcess);
    const Churn queried = RunChurn(raw, cycles, RawQuery);
    Sleep(1000);
    const double afterQueried = BytesCommitted(lan.info.hProcess);
    std::printf("vornlan's commit charge over connect/close cycles on the raw socket, after %d of each as a warm-up:\n",
                10000);
    std::printf("  at the start                 %8.2f MB\n", start / (1024 * 1024));
    std::printf("  %d connect/close         %+8.1f KB, %+6.1f bytes a connection\n", bare.done,
                (afterBare - start) / 1024, (afterBare - start) / std::max(1, bare.done));
    std::printf("  %d with a query each     %+8.1f KB, %+6.1f bytes a connection\n", queried.done,
                (afterQueried - afterBare) / 1024, (afterQueried - afterBare) / std::max(1, queried.done));

    // The other ports' runs go on at once, a client thread each, as clients of several transports would.
    std::printf("every port after %d connect/close cycles, every fourth closed with a reset, answering every 1000 "
                "(the ports after the raw socket at once):\n",
                cycles);
    PrintChurn(raw.name, bare);
    PrintChurn("raw, with query", queried);
    std::vector<Churn> churns(std::size(ports));
    std::vector<std::thread> runs;
    for (std::size_t i = 1; i < std::size(ports); ++i)
        if (ports[i].port != kPortmapperPort || portmapper)
            runs.emplace_back([&, i] { churns[i] = RunChurn(ports[i], cycles); });
    for (std::thread& run : runs)
        run.join();
    for (std::size_t i = 1; i < std::size(ports); ++i) {
        if (ports[i].port == kPortmapperPort && !portmapper)
            std::printf("  %-16s not measured: another program holds port 111\n", ports[i].name);
        else
            PrintChurn(ports[i].name, churns[i]);
    }
    std::printf("(vornlan's log of this run: %ls)\n", logPath.c_str());
    return 0;
}
