// HTTP/1.1 for the web page, as little as it needs and bounded everywhere: a request's head is read up to
// a limit (431 beyond it), its body up to another (413), a client that is slow to send either times out
// (408), anything malformed is 400, and every answer then closes the connection.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace http {

inline constexpr std::size_t kMaxHeadBytes = 8 * 1024; // request line and headers
inline constexpr std::size_t kMaxBodyBytes = 16 * 1024;
inline constexpr std::size_t kMaxHeaders = 64;

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string path; // the target without its query
    int minorVersion = 1;
    Headers headers; // names in lower case, values trimmed
    std::string body;

    // The first header of that (lower-case) name; nullptr without one.
    const std::string* Header(std::string_view name) const;
    // HTTP/1.1 keeps the connection unless told to close; this server closes every HTTP/1.0 one.
    bool KeepAlive() const;
};

// The head without its blank line: 0 when it is a request this server can read, else the status to
// answer (400 malformed, 501 a transfer coding, 505 another HTTP version).
int ParseHead(std::string_view head, Request& request);

// Reads one request after another from a connection; bytes of the next request (pipelined) are kept.
class RequestReader {
public:
    explicit RequestReader(SOCKET socket) : socket_(socket) {}

    // 0 with `request` filled; -1 when the connection closed or failed between requests (nothing to
    // answer); else the status to answer before closing. `idle` bounds the wait for a request's first
    // byte, `whole` the time from that byte to its end.
    int Next(Request& request, std::chrono::milliseconds idle, std::chrono::milliseconds whole);

private:
    // Reads more into buffer_; false on close, error or the deadline.
    bool Fill(std::chrono::steady_clock::time_point deadline, bool& timedOut);

    SOCKET socket_;
    std::string buffer_;
};

// A whole response: status line, the headers every answer carries (length, no caching, no sniffing, no
// framing, a strict content policy), `extra`, and the body unless `head` (a HEAD request).
std::string Response(int status, std::string_view contentType, std::string_view body, const Headers& extra = {},
                     bool close = false, bool head = false);
// The head of a response whose body runs until the connection closes (an event stream).
std::string StreamHead(std::string_view contentType);
// The reason phrase: "Not Found".
std::string_view Reason(int status) noexcept;

// Whether the socket becomes readable within `timeout`.
bool WaitReadable(SOCKET socket, std::chrono::milliseconds timeout);

} // namespace http
