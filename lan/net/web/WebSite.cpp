#include "WebSite.h"

#include "Consoles.h"
#include "EventStream.h"
#include "HttpMessage.h"
#include "Instrument.h"
#include "Log.h"
#include "Pages.h"
#include "ServerNames.h"
#include "SlimSync.h"
#include "Sockets.h"
#include "TcpListener.h"
#include "TrafficHistory.h"
#include "WebAssets.h"
#include "WebText.h"

#include <chrono>
#include <mutex>

using namespace std::chrono_literals;
using http::Request;

namespace {

constexpr auto kIdleTimeout = 30s;    // between requests on a kept connection
constexpr auto kRequestTimeout = 10s; // from a request's first byte to its last
constexpr auto kIdentityWait = 3s;    // the one page load a minute that may ask the module

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

struct Route {
    const char* path;
    const char* methods; // "Allow" for 405
};
constexpr Route kRoutes[] = {
    {"/", "GET, HEAD"},           {"/lxi", "GET, HEAD"},         {"/lxi/identification", "GET, HEAD"},
    {"/vornlan.js", "GET, HEAD"}, {"/vornlan.css", "GET, HEAD"}, {"/events", "GET"},
    {"/console", "POST"},
};

} // namespace

struct WebSite::State {
    State(Instrument& instrument, TrafficHistory& history, Log& log, WebSettings settings)
        : instrument(instrument), history(history), log(log), settings(std::move(settings)),
          names(this->settings.listenAddress), consoles(instrument, log)
    {
        if (this->settings.local.empty())
            this->settings.local.push_back(*ParseClientNetwork("127.0.0.0/8"));
    }

    Instrument& instrument;
    TrafficHistory& history;
    Log& log;
    WebSettings settings;
    const ServerNames names;
    Consoles consoles;

    SlimMutex mutex;
    std::vector<std::string> resources;
    std::vector<std::string> ports;

    bool IsLocal(std::uint32_t address) const { return Admits(settings.local, address); }

    PageFacts Facts()
    {
        PageFacts facts;
        facts.identity = instrument.Identity(kIdentityWait);
        facts.hostName = names.HostName();
        facts.listenAddress = settings.listenAddress;
        facts.addresses = names.AddressTexts();
        std::lock_guard lock(mutex);
        facts.resources = resources;
        facts.ports = ports;
        return facts;
    }
};

WebSite::WebSite(Instrument& instrument, TrafficHistory& history, Log& log, WebSettings settings)
    : state_(std::make_unique<State>(instrument, history, log, std::move(settings)))
{
}

WebSite::~WebSite() = default;

void WebSite::SetResources(std::vector<std::string> resources, std::vector<std::string> ports)
{
    std::lock_guard lock(state_->mutex);
    state_->resources = std::move(resources);
    state_->ports = std::move(ports);
}

void WebSite::Wake()
{
    state_->history.Wake();
    state_->consoles.CloseAll();
}

void WebSite::Serve(SOCKET socket, const std::string& peer, const std::atomic<bool>& stop)
{
    State& s = *state_;
    const std::uint32_t local = LocalAddress(socket);
    const auto peerAddress = PeerAddress(peer);
    const bool fromLocal = peerAddress && s.IsLocal(*peerAddress);
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
        if (!s.names.HostIsOurs(request, local)) {
            s.log.Line("web: refused a request from " + peer + " for another host's name");
            lan::SendAll(socket, http::Response(421, "text/plain; charset=utf-8",
                                                "This server answers to this machine's names and addresses only.\n",
                                                {}, true, head));
            return;
        }

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
            const std::string token = fromLocal ? s.consoles.NewToken() : std::string();
            kept = answer(200, "text/html; charset=utf-8", WelcomePage(s.Facts(), token));
        } else if (path == "/lxi/identification") {
            const std::string localText = lan::Ipv4Text(local);
            const std::string* host = request.Header("host");
            kept = answer(200, "text/xml; charset=utf-8", IdentificationDocument(s.Facts(), host ? *host : localText, localText));
        } else if (path == "/vornlan.js") {
            kept = answer(200, "text/javascript; charset=utf-8", web::Asset("vornlan.js"));
        } else if (path == "/vornlan.css") {
            kept = answer(200, "text/css; charset=utf-8", web::Asset("vornlan.css"));
        } else if (path == "/events") {
            StreamEvents(socket, request, s.instrument, s.history, stop);
        } else if (path == "/console") {
            std::pair<int, std::string> result;
            if (!fromLocal) {
                const std::string why = "commands are taken only from this machine; the page is read-only from " +
                                        peer.substr(0, peer.rfind(':'));
                s.log.Line("web: refused a command from " + peer + ": " + why);
                result = {403, "{\"error\":" + web::JsonString(why) + '}'};
            } else {
                result = s.consoles.Command(request, peer);
            }
            kept = answer(result.first, "application/json", result.second);
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
