#include "WebSite.h"

#include "EventLog.h"
#include "HttpMessage.h"
#include "Instrument.h"
#include "Sockets.h"
#include "TcpListener.h"
#include "TrafficHistory.h"
#include "WebAssets.h"
#include "WebText.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#ifndef VORNLAN_VERSION
#define VORNLAN_VERSION "development build"
#endif

using namespace std::chrono_literals;
using http::Request;

namespace {

constexpr auto kIdleTimeout = 30s;    // between requests on a kept connection
constexpr auto kRequestTimeout = 10s; // from a request's first byte to its last
constexpr auto kCommandTimeout = 10s; // a console command waiting for the module
constexpr auto kIdentityTimeout = 3s;
constexpr auto kIdentityLifetime = 60s;
constexpr auto kHeartbeat = 15s;
constexpr std::size_t kMaxConsoles = 8; // pages whose console is live; the least recently used goes first

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string NewToken()
{
    unsigned char bytes[16] = {};
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return {}; // no token: no console, rather than a guessable one
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

bool SameToken(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || a.empty())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::optional<std::uint32_t> PeerAddress(const std::string& peer)
{
    return lan::ParseIpv4(std::string_view(peer).substr(0, peer.rfind(':')));
}

std::uint32_t LocalAddress(SOCKET socket)
{
    sockaddr_in address{};
    int size = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohl(address.sin_addr.s_addr);
}

// *IDN?'s four fields.
struct Identity {
    std::string manufacturer, model, serial, firmware;
    bool known = false;
};

Identity ParseIdentity(const std::string& reply)
{
    Identity identity;
    std::vector<std::string> fields(1);
    for (const char c : reply) {
        if (c == ',')
            fields.emplace_back();
        else if (c != '\n' && c != '\r')
            fields.back() += c;
    }
    if (fields.size() < 4 || reply.empty())
        return identity;
    identity = {web::AnsiToUtf8(fields[0]), web::AnsiToUtf8(fields[1]), web::AnsiToUtf8(fields[2]),
                web::AnsiToUtf8(fields[3]), true};
    return identity;
}

const char* OutcomeName(UnitRecord::Outcome outcome)
{
    switch (outcome) {
    case UnitRecord::Outcome::Sent: return "sent";
    case UnitRecord::Outcome::Answered: return "answered";
    case UnitRecord::Outcome::Rejected: return "rejected";
    case UnitRecord::Outcome::Failed: return "failed";
    }
    return "?";
}

std::string UnitsJson(const std::vector<UnitRecord>& units)
{
    std::string json = "[";
    for (const UnitRecord& unit : units) {
        if (json.size() > 1)
            json += ',';
        json += "{\"unit\":" + web::JsonString(web::AnsiToUtf8(unit.unit)) + ",\"outcome\":\"" +
                OutcomeName(unit.outcome) + "\",\"detail\":" + web::JsonString(web::AnsiToUtf8(unit.detail)) + '}';
    }
    return json + ']';
}

std::string ResponseText(std::string response)
{
    if (!response.empty() && response.back() == '\n')
        response.pop_back();
    return web::AnsiToUtf8(response);
}

std::string EntryJson(const TrafficEntry& entry)
{
    return "{\"id\":" + std::to_string(entry.sequence) + ",\"time\":" + std::to_string(entry.unixMillis) +
           ",\"session\":" + std::to_string(entry.session) + ",\"client\":" + web::JsonString(entry.client) +
           ",\"transport\":" + web::JsonString(entry.transport) +
           ",\"message\":" + web::JsonString(web::AnsiToUtf8(entry.message)) +
           ",\"response\":" + web::JsonString(ResponseText(entry.record.response)) +
           ",\"units\":" + UnitsJson(entry.record.units) + '}';
}

std::string ClientsJson(const std::vector<ClientSnapshot>& clients)
{
    std::string json = "[";
    for (const ClientSnapshot& c : clients) {
        if (json.size() > 1)
            json += ',';
        json += "{\"session\":" + std::to_string(c.id) + ",\"client\":" + web::JsonString(c.client.peer) +
                ",\"transport\":" + web::JsonString(TransportName(c.client.transport)) +
                ",\"since\":" + std::to_string(c.sinceUnixMillis) + ",\"lock\":" + (c.holdsLock ? "true" : "false") +
                '}';
    }
    return json + ']';
}

// A page's template with its slots filled: {{name}} takes the text escaped, {{name*}} one list item per
// text. Nothing else reaches the page, so whatever the module or a client said is shown as text.
std::string FillTemplate(std::string_view page, const std::map<std::string, std::vector<std::string>>& slots)
{
    std::string filled;
    for (;;) {
        const std::size_t open = page.find("{{");
        const std::size_t close = open == std::string_view::npos ? open : page.find("}}", open);
        if (close == std::string_view::npos) {
            filled += page;
            return filled;
        }
        filled += page.substr(0, open);
        std::string name(page.substr(open + 2, close - open - 2));
        const bool list = !name.empty() && name.back() == '*';
        if (list)
            name.pop_back();
        const auto slot = slots.find(name);
        if (slot != slots.end()) {
            for (std::size_t i = 0; i < slot->second.size(); ++i) {
                const std::string text = web::EscapeMarkup(slot->second[i]);
                filled += list ? "<li>" + text + "</li>" : (i ? ", " : "") + text;
            }
        }
        page.remove_prefix(close + 2);
    }
}

} // namespace

// A page's console: one more client of the instrument, with its own error queue, opened at its first
// command.
struct Console {
    std::string token;
    std::mutex mutex; // one command at a time
    SessionId session = 0;
};

struct WebSite::State {
    State(Instrument& instrument, TrafficHistory& history, EventLog& log, WebSettings settings)
        : instrument(instrument), history(history), log(log), settings(std::move(settings))
    {
        if (this->settings.local.empty())
            this->settings.local.push_back(*ParseClientNetwork("127.0.0.0/8"));
        LearnOwnNames();
    }

    Instrument& instrument;
    TrafficHistory& history;
    EventLog& log;
    WebSettings settings;

    std::string hostName;             // as the system spells it
    std::set<std::string> names;      // this machine's names, lower case: what a Host may say
    std::set<std::uint32_t> addresses; // and its addresses

    std::mutex mutex;
    std::vector<std::string> resources;
    std::vector<std::string> ports;
    std::list<std::shared_ptr<Console>> consoles; // most recently used first

    std::mutex identityMutex;
    Identity identity;
    std::chrono::steady_clock::time_point identityTime;

    void LearnOwnNames();
    bool HostIsOurs(const Request& request, std::uint32_t local) const;
    bool IsLocal(std::uint32_t address) const { return Admits(settings.local, address); }
    Identity CurrentIdentity();
    std::shared_ptr<Console> NewConsole();
    std::shared_ptr<Console> FindConsole(const std::string& token);

    std::string WelcomePage(bool local);
    std::string IdentificationDocument(const Request& request, std::uint32_t local);
    // The console's answer: a status and a JSON body.
    std::pair<int, std::string> Command(const Request& request, const std::string& peer);
    void StreamEvents(SOCKET socket, const Request& request, const std::atomic<bool>& stop);
};

void WebSite::State::LearnOwnNames()
{
    names.insert("localhost");
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        hostName = name;
        names.insert(Lower(name));
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
            for (const addrinfo* a = found; a; a = a->ai_next) {
                if (a->ai_canonname)
                    names.insert(Lower(a->ai_canonname));
                if (a->ai_family == AF_INET)
                    addresses.insert(ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr));
            }
            freeaddrinfo(found);
        }
    }
    if (const auto listen = lan::ParseIpv4(settings.listenAddress); listen && *listen != 0)
        addresses.insert(*listen);
}

bool WebSite::State::HostIsOurs(const Request& request, std::uint32_t local) const
{
    const std::string* host = request.Header("host");
    if (!host)
        return true; // HTTP/1.0 without one: nothing named, nothing misdirected
    std::string name = Lower(*host);
    const std::size_t colon = name.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = name.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        name.erase(colon);
    }
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (const auto address = lan::ParseIpv4(name))
        return *address == local || (*address >> 24) == 127 || addresses.count(*address) != 0;
    // A name this machine doesn't have may be another site's, made to point here (DNS rebinding).
    return names.count(name) != 0;
}

Identity WebSite::State::CurrentIdentity()
{
    std::lock_guard lock(identityMutex);
    const auto now = std::chrono::steady_clock::now();
    if (identity.known && now - identityTime < kIdentityLifetime)
        return identity;
    // Asked as a client of its own, for the moment of the question; a module locked by another client
    // or too busy to answer in time leaves the last answer (or none) in place.
    const SessionId session = instrument.Open({"vornlan web page", Transport::Web}, Delivery::Stream);
    instrument.Input(session, "*IDN?", true);
    const ReadResult reply = instrument.WaitForResponses(session, kIdentityTimeout);
    instrument.Close(session);
    if (reply.status == WaitResult::Done) {
        const Identity fresh = ParseIdentity(reply.data);
        if (fresh.known) {
            identity = fresh;
            identityTime = now;
        }
    }
    return identity;
}

std::shared_ptr<Console> WebSite::State::NewConsole()
{
    auto console = std::make_shared<Console>();
    console->token = NewToken();
    if (console->token.empty())
        return nullptr;
    std::vector<std::shared_ptr<Console>> evicted;
    {
        std::lock_guard lock(mutex);
        consoles.push_front(console);
        while (consoles.size() > kMaxConsoles) {
            evicted.push_back(consoles.back());
            consoles.pop_back();
        }
    }
    // Outside the list's lock: an evicted page's command may still be running.
    for (const auto& oldest : evicted) {
        std::lock_guard busy(oldest->mutex);
        if (oldest->session != 0)
            instrument.Close(std::exchange(oldest->session, 0));
    }
    return console;
}

std::shared_ptr<Console> WebSite::State::FindConsole(const std::string& token)
{
    std::lock_guard lock(mutex);
    const auto it = std::find_if(consoles.begin(), consoles.end(),
                                 [&](const std::shared_ptr<Console>& c) { return SameToken(c->token, token); });
    if (it == consoles.end())
        return nullptr;
    consoles.splice(consoles.begin(), consoles, it);
    return consoles.front();
}

std::string WebSite::State::WelcomePage(bool local)
{
    const Identity id = CurrentIdentity();
    const std::string unknown = "unknown (the module did not answer *IDN?)";
    std::vector<std::string> shownAddresses;
    for (const std::uint32_t a : addresses)
        shownAddresses.push_back(lan::Ipv4Text(a));
    std::string token;
    if (local)
        if (const auto console = NewConsole())
            token = console->token;
    std::map<std::string, std::vector<std::string>> slots{
        {"manufacturer", {id.known ? id.manufacturer : unknown}},
        {"model", {id.known ? id.model : unknown}},
        {"serial", {id.known ? id.serial : unknown}},
        {"firmware", {id.known ? id.firmware : unknown}},
        {"title", {id.known ? id.model : std::string("Vorn module")}},
        {"version", {VORNLAN_VERSION}},
        {"host", {hostName.empty() ? settings.listenAddress : hostName}},
        {"listen", {settings.listenAddress}},
        {"addresses", shownAddresses},
        {"token", {token}},
        {"console", {token.empty() ? "read-only" : "live"}},
    };
    {
        std::lock_guard lock(mutex);
        slots["resources"] = resources;
        slots["ports"] = ports;
    }
    return FillTemplate(web::Asset("page.html"), slots);
}

std::string WebSite::State::IdentificationDocument(const Request& request, std::uint32_t local)
{
    const Identity id = CurrentIdentity();
    const auto element = [](const char* name, const std::string& text) {
        return std::string("  <") + name + '>' + web::EscapeMarkup(text) + "</" + name + ">\n";
    };
    std::string host = request.Header("host") ? *request.Header("host") : lan::Ipv4Text(local);
    const std::string page = "http://" + host + "/";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\" "
                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    xml += element("Manufacturer", id.manufacturer);
    xml += element("Model", id.model);
    xml += element("SerialNumber", id.serial);
    xml += element("FirmwareRevision", id.firmware);
    xml += element("ManufacturerDescription", "Electronic calibration module served to the network by vornlan");
    xml += element("HomepageURL", page);
    xml += element("UserDescription", (id.known ? id.model : std::string("Vorn module")) + " on " +
                                          (hostName.empty() ? lan::Ipv4Text(local) : hostName));
    xml += element("IdentificationURL", page + "lxi/identification");
    xml += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LAN\" IPType=\"IPv4\" "
           "InterfaceName=\"vornlan\">\n";
    {
        std::lock_guard lock(mutex);
        for (const std::string& resource : resources)
            xml += "  " + element("InstrumentAddressString", resource);
    }
    xml += "  " + element("Hostname", hostName.empty() ? lan::Ipv4Text(local) : hostName);
    xml += "  " + element("IPAddress", lan::Ipv4Text(local));
    xml += "  </Interface>\n</LXIDevice>\n";
    return xml;
}

std::pair<int, std::string> WebSite::State::Command(const Request& request, const std::string& peer)
{
    const auto failure = [](int status, const std::string& why) {
        return std::pair{status, "{\"error\":" + web::JsonString(why) + '}'};
    };
    // Refusals of who is asking are logged; a wrong message is only answered.
    const auto refuse = [&](int status, const std::string& why) {
        log.Line("web: refused a command from " + peer + ": " + why);
        return failure(status, why);
    };
    const auto address = PeerAddress(peer);
    if (!address || !IsLocal(*address))
        return refuse(403, "commands are taken only from this machine; the page is read-only from " +
                               peer.substr(0, peer.rfind(':')));
    const std::string* token = request.Header("x-vorn-token");
    const std::shared_ptr<Console> console = token ? FindConsole(*token) : nullptr;
    if (!console)
        return refuse(403, "the command carries no token of a page this program served; reload the page");
    const std::string* origin = request.Header("origin");
    const std::string* host = request.Header("host");
    if (!origin || !host || Lower(*origin) != "http://" + Lower(*host))
        return refuse(403, "the command did not come from this program's page");

    std::string message = request.body;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    if (message.empty())
        return failure(400, "no program message to send");
    if (message.find_first_of("\r\n") != std::string::npos)
        return failure(400, "one program message at a time: no line breaks");
    const auto ansi = web::Utf8ToAnsi(message);
    if (!ansi)
        return failure(400, "the message holds characters the module's code page can't carry");

    std::lock_guard busy(console->mutex);
    if (console->session == 0 || !instrument.IsOpen(console->session)) {
        console->session = instrument.Open({peer, Transport::Web}, Delivery::Stream);
        log.Line("client " + peer + " connected (web console)");
    }
    const SessionId session = console->session;
    if (instrument.WaitUntilUnlocked(session, false, 0ms) == WaitResult::Locked) {
        std::string holder = "another client";
        for (const ClientSnapshot& c : instrument.Clients())
            if (c.holdsLock)
                holder = c.client.peer + " (" + TransportName(c.client.transport) + ')';
        return failure(409, "the module is locked by " + holder);
    }
    const std::uint64_t before = history.Last();
    instrument.Input(session, *ansi, true);
    const ReadResult reply = instrument.WaitForResponses(session, kCommandTimeout);
    if (reply.status != WaitResult::Done) {
        instrument.Clear(session);
        return failure(504, "the module did not finish the message within 10 s; what had not run was withdrawn");
    }
    std::string units = "[]";
    for (const TrafficEntry& entry : history.Since(before))
        if (entry.session == session)
            units = UnitsJson(entry.record.units);
    return std::pair{200, "{\"response\":" + web::JsonString(ResponseText(reply.data)) + ",\"units\":" + units + '}'};
}

void WebSite::State::StreamEvents(SOCKET socket, const Request& request, const std::atomic<bool>& stop)
{
    if (!lan::SendAll(socket, http::StreamHead("text/event-stream; charset=utf-8") + "retry: 3000\n\n"))
        return;
    std::uint64_t after = 0;
    if (const std::string* last = request.Header("last-event-id"))
        if (!last->empty() && last->size() < 19 && last->find_first_not_of("0123456789") == std::string::npos)
            after = std::stoull(*last);
    std::string clientsSent;
    auto lastSend = std::chrono::steady_clock::now();
    while (!stop) {
        std::string events;
        for (const TrafficEntry& entry : history.Since(after)) {
            events += "id: " + std::to_string(entry.sequence) + "\nevent: traffic\ndata: " + EntryJson(entry) + "\n\n";
            after = entry.sequence;
        }
        const std::string clients = ClientsJson(instrument.Clients());
        if (clients != clientsSent) {
            events += "event: clients\ndata: " + clients + "\n\n";
            clientsSent = clients;
        }
        const auto now = std::chrono::steady_clock::now();
        if (events.empty() && now - lastSend >= kHeartbeat)
            events = ": still here\n\n";
        if (!events.empty()) {
            if (!lan::SendAll(socket, events))
                return;
            lastSend = now;
        }
        // A browser that went away shows as the end of its side of the connection.
        if (http::WaitReadable(socket, 0ms)) {
            char discard[512];
            if (lan::ReceiveSome(socket, discard, sizeof discard) <= 0)
                return;
        }
        history.WaitForNewer(after, 1s);
    }
}

WebSite::WebSite(Instrument& instrument, TrafficHistory& history, EventLog& log, WebSettings settings)
    : state_(std::make_unique<State>(instrument, history, log, std::move(settings)))
{
}

WebSite::~WebSite()
{
    for (const auto& console : state_->consoles)
        if (console->session != 0)
            state_->instrument.Close(console->session);
}

void WebSite::SetResources(std::vector<std::string> resources, std::vector<std::string> ports)
{
    std::lock_guard lock(state_->mutex);
    state_->resources = std::move(resources);
    state_->ports = std::move(ports);
}

void WebSite::Wake()
{
    state_->history.Wake();
}

void WebSite::Serve(SOCKET socket, const std::string& peer, const std::atomic<bool>& stop)
{
    State& s = *state_;
    const std::uint32_t local = LocalAddress(socket);
    const bool fromLocal = [&] {
        const auto address = PeerAddress(peer);
        return address && s.IsLocal(*address);
    }();
    // A socket that can't send within this time has a reader that stopped reading.
    const DWORD sendTimeout = 10000;
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout);

    http::RequestReader reader(socket);
    while (!stop) {
        Request request;
        const int status = reader.Next(request, kIdleTimeout, kRequestTimeout);
        if (status < 0)
            return;
        if (status > 0) {
            const std::string why(http::Reason(status));
            lan::SendAll(socket, http::Response(status, "text/plain; charset=utf-8", why + '\n', {}, true));
            return;
        }
        const bool keep = request.KeepAlive();
        const bool head = request.method == "HEAD";
        const auto answer = [&](int code, std::string_view type, std::string_view body, const http::Headers& extra = {}) {
            return lan::SendAll(socket, http::Response(code, type, body, extra, !keep, head)) && keep;
        };
        if (!s.HostIsOurs(request, local)) {
            s.log.Line("web: refused a request from " + peer + " for another host's name");
            lan::SendAll(socket, http::Response(421, "text/plain; charset=utf-8",
                                                "This server answers to this machine's names and addresses only.\n",
                                                {}, true, head));
            return;
        }

        struct Route {
            const char* path;
            const char* methods; // "Allow" for 405
        };
        static constexpr Route kRoutes[] = {
            {"/", "GET, HEAD"},           {"/lxi", "GET, HEAD"},         {"/lxi/identification", "GET, HEAD"},
            {"/vornlan.js", "GET, HEAD"}, {"/vornlan.css", "GET, HEAD"}, {"/events", "GET"},
            {"/console", "POST"},
        };
        const Route* route = nullptr;
        for (const Route& r : kRoutes)
            if (request.path == r.path)
                route = &r;
        if (!route) {
            if (!answer(404, "text/plain; charset=utf-8", "Not found.\n"))
                return;
            continue;
        }
        const std::string allowed = route->methods;
        if ((", " + allowed + ",").find(" " + request.method + ",") == std::string::npos) {
            if (!answer(405, "text/plain; charset=utf-8", "Method not allowed.\n", {{"Allow", allowed}}))
                return;
            continue;
        }

        bool kept = false;
        const std::string path = request.path;
        if (path == "/" || path == "/lxi") {
            kept = answer(200, "text/html; charset=utf-8", s.WelcomePage(fromLocal));
        } else if (path == "/lxi/identification") {
            kept = answer(200, "text/xml; charset=utf-8", s.IdentificationDocument(request, local));
        } else if (path == "/vornlan.js") {
            kept = answer(200, "text/javascript; charset=utf-8", web::Asset("vornlan.js"));
        } else if (path == "/vornlan.css") {
            kept = answer(200, "text/css; charset=utf-8", web::Asset("vornlan.css"));
        } else if (path == "/events") {
            s.StreamEvents(socket, request, stop);
        } else if (path == "/console") {
            const auto [code, body] = s.Command(request, peer);
            kept = answer(code, "application/json", body);
        }
        if (!kept)
            return;
    }
}

namespace lan {

namespace {
class WebConnection : public Connection {
public:
    WebConnection(WebSite& site, std::string peer) : site_(site), peer_(std::move(peer)) {}
    void Serve(SOCKET socket) override { site_.Serve(socket, peer_, stop_); }
    void Interrupt() override
    {
        stop_ = true;
        site_.Wake();
    }

private:
    WebSite& site_;
    const std::string peer_;
    std::atomic<bool> stop_{false};
};
} // namespace

std::unique_ptr<Connection> MakeWebConnection(WebSite& site, const std::string& peer)
{
    return std::make_unique<WebConnection>(site, peer);
}

} // namespace lan
