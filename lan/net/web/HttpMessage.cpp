#include "HttpMessage.h"

#include "Sockets.h"
#include "Text.h"

#include <algorithm>
#include <cctype>

namespace http {

using text::Lower;
using text::Trim;

namespace {

// RFC 9110's token characters: what a method and a header name are made of.
bool IsToken(std::string_view text)
{
    static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || kSpecials.find(static_cast<char>(c)) != std::string_view::npos;
    });
}

// The head's end: the blank line after the headers ("\r\n\r\n", or bare line feeds as some tools send).
std::size_t HeadEnd(const std::string& buffer, std::size_t& separator)
{
    const std::size_t crlf = buffer.find("\r\n\r\n");
    const std::size_t lf = buffer.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        separator = 4;
        return crlf;
    }
    separator = 2;
    return lf;
}

} // namespace

const std::string* Request::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return &value;
    return nullptr;
}

bool Request::KeepAlive() const
{
    if (minorVersion == 0)
        return false;
    const std::string* connection = Header("connection");
    return !connection || Lower(*connection).find("close") == std::string::npos;
}

int ParseHead(std::string_view head, Request& request)
{
    request = Request{};
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    }
    if (lines.empty())
        return 400;

    // request-line = method SP request-target SP HTTP-version
    const std::string_view line = lines.front();
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string_view::npos || first == last)
        return 400;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    if (!IsToken(method) || target.empty() || target.front() != '/' ||
        target.find_first_of(" \t") != std::string_view::npos)
        return 400;
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1.")
        return version.substr(0, 5) == "HTTP/" ? 505 : 400;
    if (version[7] != '0' && version[7] != '1')
        return 505;
    request.method = method;
    request.path = target.substr(0, target.find('?'));
    request.minorVersion = version[7] - '0';

    if (lines.size() - 1 > kMaxHeaders)
        return 431;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view field = lines[i];
        const std::size_t colon = field.find(':');
        // No name, white space before the colon, or an obsolete folded line: malformed.
        if (colon == std::string_view::npos || !IsToken(field.substr(0, colon)))
            return 400;
        request.headers.emplace_back(Lower(field.substr(0, colon)), std::string(Trim(field.substr(colon + 1))));
    }
    if (request.minorVersion == 1 && !request.Header("host"))
        return 400; // HTTP/1.1 requires it
    if (request.Header("transfer-encoding"))
        return 501;
    return 0;
}

bool WaitReadable(SOCKET socket, std::chrono::milliseconds timeout)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    const long long ms = std::max<long long>(0, timeout.count());
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

bool RequestReader::Fill(std::chrono::steady_clock::time_point deadline, bool& timedOut)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(socket_, left)) {
        timedOut = true;
        return false;
    }
    char chunk[4096];
    const int received = lan::ReceiveSome(socket_, chunk, sizeof chunk);
    if (received <= 0)
        return false;
    buffer_.append(chunk, static_cast<std::size_t>(received));
    return true;
}

int RequestReader::Next(Request& request, std::chrono::milliseconds idle, std::chrono::milliseconds whole)
{
    bool timedOut = false;
    // Blank lines between requests are allowed (RFC 9112, 2.2).
    const auto skipBlankLines = [this] {
        buffer_.erase(0, std::min(buffer_.find_first_not_of("\r\n"), buffer_.size()));
    };
    skipBlankLines();
    if (buffer_.empty()) {
        if (!Fill(std::chrono::steady_clock::now() + idle, timedOut))
            return -1; // a client that went quiet between requests is closed without an answer
        skipBlankLines();
    }
    const auto deadline = std::chrono::steady_clock::now() + whole;
    std::size_t separator = 0;
    std::size_t end = HeadEnd(buffer_, separator);
    while (end == std::string::npos) {
        if (buffer_.size() > kMaxHeadBytes)
            return 431;
        if (!Fill(deadline, timedOut))
            return timedOut ? 408 : -1;
        end = HeadEnd(buffer_, separator);
    }
    if (end > kMaxHeadBytes)
        return 431;
    if (const int status = ParseHead(std::string_view(buffer_).substr(0, end), request))
        return status;
    buffer_.erase(0, end + separator);

    std::size_t length = 0;
    if (const std::string* value = request.Header("content-length")) {
        if (value->empty() || value->size() > 9 || value->find_first_not_of("0123456789") != std::string::npos)
            return 400;
        for (const auto& [name, other] : request.headers)
            if (name == "content-length" && other != *value)
                return 400;
        length = std::stoul(*value);
    }
    if (length > kMaxBodyBytes)
        return 413;
    while (buffer_.size() < length)
        if (!Fill(deadline, timedOut))
            return timedOut ? 408 : -1;
    request.body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return 0;
}

std::string_view Reason(int status) noexcept
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    }
    return "Unknown";
}

namespace {
std::string Head(int status, std::string_view contentType, const Headers& extra, bool close)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + ' ' + std::string(Reason(status)) + "\r\n";
    head += "Server: vornlan\r\n";
    if (!contentType.empty())
        head += "Content-Type: " + std::string(contentType) + "\r\n";
    // The page needs nothing from elsewhere and runs no script but its own file.
    head += "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
            "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "X-Frame-Options: DENY\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "Cache-Control: no-store\r\n";
    for (const auto& [name, value] : extra)
        head += name + ": " + value + "\r\n";
    if (close)
        head += "Connection: close\r\n";
    return head;
}
} // namespace

std::string Response(int status, std::string_view contentType, std::string_view body, const Headers& extra,
                     bool close, bool head)
{
    std::string response = Head(status, contentType, extra, close);
    response += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    if (!head)
        response += body;
    return response;
}

std::string StreamHead(std::string_view contentType)
{
    return Head(200, contentType, {}, true) + "\r\n";
}

} // namespace http
