#include "Consoles.h"

#include "CodePage.h"
#include "Log.h"
#include "MessageJson.h"
#include "Text.h"
#include "WebText.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace {

// Who keeps the console out: the exclusive lock's holder, else the shared lock's (a few named).
std::string LockedOutText(const std::vector<ClientSnapshot>& clients)
{
    constexpr std::size_t kNamed = 3;
    const auto name = [](const ClientSnapshot& c) {
        return c.client.peer + " (" + TransportName(c.client.transport) + ')';
    };
    std::vector<std::string> sharers;
    for (const ClientSnapshot& c : clients) {
        if (c.holdsLock)
            return "the module is locked by " + name(c);
        if (c.holdsSharedLock)
            sharers.push_back(name(c));
    }
    if (sharers.empty())
        return "the module is locked by another client";
    std::string text = "the module's shared lock is held by ";
    for (std::size_t i = 0; i < sharers.size() && i < kNamed; ++i)
        text += (i ? ", " : "") + sharers[i];
    if (sharers.size() > kNamed)
        text += " and " + std::to_string(sharers.size() - kNamed) + " more";
    return text;
}

std::string RandomToken()
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

std::pair<int, std::string> Failure(int status, const std::string& why)
{
    return {status, "{\"error\":" + web::JsonString(why) + '}'};
}

} // namespace

struct Consoles::Console {
    std::string token;
    SlimMutex command; // one command at a time
    SlimMutex state;   // guards what follows; never held across a wait
    SessionId session = 0;
    bool closed = false;
};

Consoles::~Consoles()
{
    CloseAll();
}

void Consoles::Close(Console& console)
{
    SessionId session = 0;
    {
        std::lock_guard lock(console.state);
        console.closed = true;
        session = std::exchange(console.session, 0);
    }
    if (session != 0)
        instrument_.Close(session);
}

std::string Consoles::NewToken()
{
    auto console = std::make_shared<Console>();
    console->token = RandomToken();
    if (console->token.empty())
        return {};
    std::vector<std::shared_ptr<Console>> evicted;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return {};
        consoles_.push_front(console);
        while (consoles_.size() > kMaxConsoles) {
            evicted.push_back(consoles_.back());
            consoles_.pop_back();
        }
    }
    for (const auto& oldest : evicted)
        Close(*oldest);
    return console->token;
}

std::shared_ptr<Consoles::Console> Consoles::Find(const std::string& token)
{
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(consoles_.begin(), consoles_.end(),
                                 [&](const std::shared_ptr<Console>& c) { return SameToken(c->token, token); });
    if (it == consoles_.end())
        return nullptr;
    consoles_.splice(consoles_.begin(), consoles_, it);
    return consoles_.front();
}

void Consoles::CloseAll()
{
    std::list<std::shared_ptr<Console>> all;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        all.swap(consoles_);
    }
    for (const auto& console : all)
        Close(*console);
}

std::pair<int, std::string> Consoles::Command(const http::Request& request, const std::string& peer)
{
    // Refusals of who is asking are logged; a wrong message is only answered.
    const auto refuse = [&](int status, const std::string& why) {
        log_.Line("web: refused a command from " + peer + ": " + why);
        return Failure(status, why);
    };
    const std::string* token = request.Header("x-vorn-token");
    const std::shared_ptr<Console> console = token ? Find(*token) : nullptr;
    if (!console)
        return refuse(403, "the command carries no token of a page this program served; reload the page");
    const std::string* origin = request.Header("origin");
    const std::string* host = request.Header("host");
    if (!origin || !host || text::Lower(*origin) != "http://" + text::Lower(*host))
        return refuse(403, "the command did not come from this program's page");

    std::string message = request.body;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    if (message.empty())
        return Failure(400, "no program message to send");
    if (message.find_first_of("\r\n") != std::string::npos)
        return Failure(400, "one program message at a time: no line breaks");
    const auto ansi = codepage::Utf8ToAnsi(message);
    if (!ansi)
        return Failure(400, "the message holds characters the module's code page can't carry");

    std::lock_guard busy(console->command);
    SessionId session = 0;
    {
        // Opened under the console's state lock, so that a page evicted meanwhile never gets a client.
        std::lock_guard lock(console->state);
        if (console->closed)
            return Failure(410, "this page's console was closed (newer pages took its place); reload the page");
        if (console->session == 0 || !instrument_.IsOpen(console->session)) {
            console->session = instrument_.Open({peer, Transport::Web}, Delivery::Stream);
            log_.Line("client " + peer + " connected (web console)");
        }
        session = console->session;
    }
    if (instrument_.WaitUntilUnlocked(session, false, std::chrono::milliseconds(0)) == WaitResult::Locked)
        return Failure(409, LockedOutText(instrument_.Clients()));
    const Execution run = instrument_.Execute(session, *ansi, kCommandTimeout);
    switch (run.status) {
    case WaitResult::Done: break;
    case WaitResult::TimedOut:
        instrument_.Clear(session);
        return Failure(504, "the module did not finish the message within 10 s; what had not run was withdrawn");
    default: return Failure(410, "this page's console was closed while the command ran; reload the page");
    }
    return {200, "{\"response\":" + web::JsonString(ResponseText(run.record.response)) +
                     ",\"units\":" + UnitsJson(run.record.units) + '}'};
}
