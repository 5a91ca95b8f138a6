#include "MdnsResponder.h"

#include "Log.h"

#include <algorithm>
#include <random>
#include <stdexcept>

namespace mdns {

namespace {
constexpr std::uint32_t kGroup = 0xE00000FB; // 224.0.0.251
constexpr auto kProbeInterval = std::chrono::milliseconds(250);
constexpr int kProbes = 3;
constexpr auto kAnnounceInterval = std::chrono::seconds(1);
constexpr int kAnnouncements = 2;
constexpr auto kRecordInterval = std::chrono::seconds(1);          // one multicast of a record per interface
constexpr auto kProbeDefenceInterval = std::chrono::milliseconds(250); // ...but a probe is answered sooner
// Cheap: the instrument asks the module at most once a minute and otherwise returns what any client's
// *IDN? reply told it, so a name learnt that way is advertised within seconds.
constexpr auto kIdentityRetry = std::chrono::seconds(5);
constexpr int kUnicastPerSecond = 10; // replies to legacy and QU queries, over all askers
constexpr std::uint32_t kLegacyTtl = 10; // RFC 6762 section 6.7
constexpr int kRefusalsLogged = 20;

void SetOption(SOCKET socket, int level, int name, const void* value, int size, const char* what)
{
    if (setsockopt(socket, level, name, static_cast<const char*>(value), size) == SOCKET_ERROR)
        throw std::runtime_error(std::string(what) + ": " + lan::ErrorText(WSAGetLastError()));
}
} // namespace

Responder::Responder(Log& log, ResponderSettings settings) : log_(log), settings_(std::move(settings)) {}

Responder::~Responder()
{
    Stop();
}

void Responder::Start()
{
    if (thread_.joinable())
        throw std::logic_error("the mDNS responder runs already");
    if (settings_.interfaces.empty())
        throw std::runtime_error("no interface to advertise on");
    readEvent_ = std::make_unique<lan::SocketEvent>();
    stopEvent_ = std::make_unique<lan::SocketEvent>();
    updateEvent_ = std::make_unique<lan::SocketEvent>();
    lan::Socket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!socket)
        throw std::runtime_error(lan::ErrorText(WSAGetLastError()));
    // Shared: the system's own responder (Windows 10's, Bonjour) holds the same port.
    const BOOL on = TRUE;
    SetOption(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "SO_REUSEADDR");
    const sockaddr_in local = lan::MakeAddress(INADDR_ANY, settings_.port);
    if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR)
        throw std::runtime_error("port " + std::to_string(settings_.port) + "/udp: " +
                                 lan::ErrorText(WSAGetLastError()));
    for (const lan::NetworkInterface& served : settings_.interfaces) {
        ip_mreq membership{};
        membership.imr_multiaddr.s_addr = htonl(kGroup);
        membership.imr_interface.s_addr = htonl(served.address);
        SetOption(socket.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership,
                  ("joining 224.0.0.251 on " + lan::Ipv4Text(served.address)).c_str());
    }
    const DWORD ttl = 255; // RFC 6762 section 11
    SetOption(socket.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, "IP_MULTICAST_TTL");
    const DWORD loop = 0; // our own datagrams aren't another responder's
    SetOption(socket.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop, "IP_MULTICAST_LOOP");
    if (WSAEventSelect(socket.get(), readEvent_->get(), FD_READ) == SOCKET_ERROR)
        throw std::runtime_error("can't watch the mDNS socket: " + lan::ErrorText(WSAGetLastError()));
    socket_ = std::move(socket);
    thread_ = std::thread([this] { Loop(); });
}

void Responder::Stop()
{
    if (stopEvent_)
        WSASetEvent(stopEvent_->get());
    if (thread_.joinable())
        thread_.join();
    if (identityThread_.joinable())
        identityThread_.join();
    socket_.reset();
}

void Responder::Describe(const ModuleIdentity& identity)
{
    identity_ = identity;
    base_ = InstanceName(identity);
    number_ = 1;
}

void Responder::Rebuild()
{
    description_.instance = number_ == 1 ? base_ : NumberedName(base_, number_);
    description_.host = settings_.host;
    if (hostNumber_ > 1)
        description_.host = settings_.host.substr(0, 58) + '-' + std::to_string(hostNumber_);
    description_.services = settings_.services;
    for (Service& service : description_.services)
        service.txt = ServiceText(service.type, identity_);
    tables_.clear();
    lastSent_.clear();
    for (const lan::NetworkInterface& served : settings_.interfaces) {
        tables_.push_back(MakeTable(description_, served.address));
        lastSent_.emplace_back(tables_.back().size(), Clock::time_point{});
    }
}

void Responder::StartProbing(Clock::duration delay)
{
    phase_ = Phase::Probing;
    step_ = 0;
    next_ = Clock::now() + delay;
}

void Responder::AskIdentity()
{
    // Asks until the module has said who it is, and hands that to the responder's thread.
    const WSAEVENT stop = stopEvent_->get();
    while (WSAWaitForMultipleEvents(1, &stop, FALSE,
                                    static_cast<DWORD>(std::chrono::milliseconds(kIdentityRetry).count()),
                                    FALSE) == WSA_WAIT_TIMEOUT) {
        ModuleIdentity identity = settings_.identity();
        if (identity.known) {
            std::lock_guard lock(pendingMutex_);
            pending_ = std::move(identity);
            WSASetEvent(updateEvent_->get());
            return;
        }
    }
}

void Responder::Loop()
{
    // Who the module is, before anything goes out under a name.
    Describe(settings_.identity ? settings_.identity() : ModuleIdentity{});
    if (!identity_.known && settings_.identity)
        identityThread_ = std::thread([this] { AskIdentity(); });
    Rebuild();
    // RFC 6762 section 8.1: a random delay of up to 250 ms before the first probe.
    std::minstd_rand random(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    StartProbing(std::chrono::milliseconds(random() % 250));

    const WSAEVENT events[] = {stopEvent_->get(), updateEvent_->get(), readEvent_->get()};
    for (;;) {
        auto now = Clock::now();
        DWORD timeout = WSA_INFINITE;
        if (phase_ != Phase::Running)
            timeout = next_ <= now ? 0
                                   : static_cast<DWORD>(
                                         std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count());
        const DWORD which = WSAWaitForMultipleEvents(3, events, FALSE, timeout, FALSE);
        now = Clock::now();
        if (which == WSA_WAIT_EVENT_0) {
            if (announced_)
                SendAll(true);
            log_.Line("mDNS: stopped advertising \"" + description_.instance + "\"");
            return;
        }
        if (which == WSA_WAIT_EVENT_0 + 1) {
            WSAResetEvent(updateEvent_->get());
            std::optional<ModuleIdentity> identity;
            {
                std::lock_guard lock(pendingMutex_);
                identity = std::exchange(pending_, std::nullopt);
            }
            if (identity) {
                const std::string base = InstanceName(*identity);
                if (base != base_) {
                    // A new name: the old one's records are withdrawn and the new one probed for.
                    if (announced_)
                        SendAll(true);
                    announced_ = false;
                    Describe(*identity);
                    Rebuild();
                    StartProbing(Clock::duration::zero());
                } else {
                    identity_ = *identity;
                    Rebuild();
                    if (phase_ != Phase::Probing) {
                        phase_ = Phase::Announcing;
                        step_ = 0;
                        next_ = now;
                    }
                }
            }
        } else if (which == WSA_WAIT_EVENT_0 + 2) {
            WSANETWORKEVENTS happened{};
            WSAEnumNetworkEvents(socket_.get(), readEvent_->get(), &happened);
            Receive(now);
        }
        if (phase_ != Phase::Running && Clock::now() >= next_)
            Step(Clock::now());
    }
}

void Responder::Step(Clock::time_point now)
{
    if (phase_ == Phase::Probing) {
        if (step_ < kProbes) {
            SendProbe(step_ == 0);
            ++step_;
            next_ = now + kProbeInterval;
            return;
        }
        phase_ = Phase::Announcing;
        step_ = 0;
    }
    if (phase_ == Phase::Announcing) {
        SendAll(false);
        if (!announced_) {
            std::string line = "mDNS: advertising \"" + description_.instance + "\" as " + description_.host +
                               ".local on";
            for (const lan::NetworkInterface& served : settings_.interfaces)
                line += ' ' + lan::Ipv4Text(served.address);
            line += ':';
            for (const Service& service : description_.services)
                line += ' ' + service.type + ' ' + std::to_string(service.port);
            log_.Line(line);
        }
        announced_ = true;
        next_ = now + kAnnounceInterval;
        if (++step_ >= kAnnouncements)
            phase_ = Phase::Running;
    }
}

void Responder::SendProbe(bool unicastResponse)
{
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        dns::Message probe;
        for (const dns::Name& name : UniqueNames(tables_[i]))
            probe.questions.push_back({name, dns::type::kAny, dns::kClassIn, unicastResponse});
        for (const Entry& entry : tables_[i]) {
            if (entry.unique) {
                probe.authorities.push_back(entry.record);
                probe.authorities.back().cacheFlush = false;
            }
        }
        SendMulticast(i, probe);
    }
}

// Every record on every interface: an announcement, or (goodbye) each with TTL 0.
void Responder::SendAll(bool goodbye)
{
    const auto now = Clock::now();
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        dns::Message message;
        message.flags = dns::kFlagResponse | dns::kFlagAuthoritative;
        for (std::size_t r = 0; r < tables_[i].size(); ++r) {
            message.answers.push_back(tables_[i][r].record);
            if (goodbye)
                message.answers.back().ttl = 0;
            lastSent_[i][r] = now;
        }
        SendMulticast(i, message);
    }
}

void Responder::SendMulticast(std::size_t interfaceIndex, const dns::Message& message)
{
    const std::optional<std::string> datagram = dns::Build(message);
    if (!datagram)
        return;
    in_addr from{};
    from.s_addr = htonl(settings_.interfaces[interfaceIndex].address);
    const sockaddr_in group = lan::MakeAddress(kGroup, settings_.port);
    if (setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&from), sizeof from) ==
            SOCKET_ERROR ||
        sendto(socket_.get(), datagram->data(), static_cast<int>(datagram->size()), 0,
               reinterpret_cast<const sockaddr*>(&group), sizeof group) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK && refusalsLogged_ < kRefusalsLogged) {
            ++refusalsLogged_;
            log_.Line("mDNS: nothing sent on " + lan::Ipv4Text(settings_.interfaces[interfaceIndex].address) + ": " +
                      lan::ErrorText(error));
        }
    }
}

void Responder::SendTo(const sockaddr_in& peer, const dns::Message& message)
{
    const std::optional<std::string> datagram = dns::Build(message);
    if (datagram && sendto(socket_.get(), datagram->data(), static_cast<int>(datagram->size()), 0,
                           reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK && refusalsLogged_ < kRefusalsLogged) {
            ++refusalsLogged_;
            log_.Line("mDNS: no reply to " + lan::PeerText(peer) + ": " + lan::ErrorText(error));
        }
    }
}

void Responder::Refused(const std::string& why)
{
    if (refusalsLogged_ < kRefusalsLogged) {
        ++refusalsLogged_;
        log_.Line("mDNS: " + why + (refusalsLogged_ == kRefusalsLogged ? "; further ones go unlogged" : ""));
    }
}

void Responder::Receive(Clock::time_point now)
{
    // One byte more than a message may have, so that a longer one is seen (and dropped) rather than cut.
    static thread_local char buffer[dns::kMaxDatagram + 1];
    // Bounded: a flood is read in turns with the timers and the stop event.
    for (int i = 0; i < 64; ++i) {
        sockaddr_in peer{};
        int peerLength = sizeof peer;
        const int received =
            recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEMSGSIZE || error == WSAECONNRESET)
                continue;
            if (error != WSAEWOULDBLOCK)
                Refused("receiving: " + lan::ErrorText(error));
            return;
        }
        if (static_cast<std::size_t>(received) > dns::kMaxDatagram)
            continue;
        Handle(std::string_view(buffer, static_cast<std::size_t>(received)), peer, now);
    }
    // More may wait: come back after the timers have had their turn.
    WSASetEvent(readEvent_->get());
}

void Responder::Handle(std::string_view datagram, const sockaddr_in& peer, Clock::time_point now)
{
    const std::uint32_t source = ntohl(peer.sin_addr.s_addr);
    const std::uint16_t sourcePort = ntohs(peer.sin_port);
    for (const lan::NetworkInterface& served : settings_.interfaces) {
        if (served.address == source && sourcePort == settings_.port)
            return; // ours, looped back despite IP_MULTICAST_LOOP
    }
    const lan::NetworkInterface* on = lan::InterfaceFor(settings_.interfaces, source);
    if (!on || !Admits(settings_.allow, source))
        return; // not from a network we serve: nothing to say to it, nothing it says concerns our names
    const std::size_t index = static_cast<std::size_t>(on - settings_.interfaces.data());
    std::string error;
    const std::optional<dns::Message> message = dns::Parse(datagram, error);
    if (!message) {
        Refused("a malformed datagram from " + lan::PeerText(peer) + " ignored: " + error);
        return;
    }
    const Table& table = tables_[index];

    dns::Name name;
    const Clash clash = FindClash(table, *message, phase_ == Phase::Probing, name);
    if (clash == Clash::LostTieBreak) {
        StartProbing(std::chrono::seconds(1));
        return;
    }
    if (clash == Clash::Conflict) {
        // RFC 6762 section 8.1: after 15 conflicts in ten seconds, wait five before probing again.
        conflicts_.erase(std::remove_if(conflicts_.begin(), conflicts_.end(),
                                        [now](Clock::time_point t) { return now - t > std::chrono::seconds(10); }),
                         conflicts_.end());
        conflicts_.push_back(now);
        const std::string was = dns::NameText(name);
        if (dns::SameName(name, {description_.host, "local"}))
            ++hostNumber_;
        else
            ++number_;
        announced_ = false;
        Rebuild();
        log_.Line("mDNS: " + was + " is taken by " + lan::PeerText(peer) + "; trying \"" + description_.instance +
                  "\" as " + description_.host + ".local");
        StartProbing(conflicts_.size() > 15 ? Clock::duration(std::chrono::seconds(5)) : Clock::duration::zero());
        return;
    }
    if (phase_ == Phase::Probing || message->IsResponse())
        return;

    const Reply reply = Answer(table, *message);
    if (reply.answers.empty())
        return;
    const bool legacy = sourcePort != settings_.port;
    const bool unicast = legacy || std::any_of(message->questions.begin(), message->questions.end(),
                                               [](const dns::Question& q) { return q.unicastResponse; });
    dns::Message response;
    response.flags = dns::kFlagResponse | dns::kFlagAuthoritative;
    const auto add = [&](std::vector<dns::Record>& section, std::size_t r) {
        section.push_back(table[r].record);
        if (legacy) {
            // A resolver that isn't an mDNS one: short TTLs, no cache-flush bit (RFC 6762 section 6.7).
            section.back().ttl = std::min(section.back().ttl, kLegacyTtl);
            section.back().cacheFlush = false;
        }
    };
    if (unicast) {
        if (now - unicastWindow_ >= std::chrono::seconds(1)) {
            unicastWindow_ = now;
            unicastInWindow_ = 0;
        }
        if (++unicastInWindow_ > kUnicastPerSecond)
            return;
        if (legacy) {
            response.id = message->id;
            response.questions = message->questions;
            for (dns::Question& question : response.questions)
                question.unicastResponse = false;
        }
        for (const std::size_t r : reply.answers)
            add(response.answers, r);
        for (const std::size_t r : reply.additionals)
            add(response.additionals, r);
        SendTo(peer, response);
        return;
    }
    // Multicast: each record at most once a second per interface (a probe's defence four times as often).
    const auto interval = message->authorities.empty() ? Clock::duration(kRecordInterval)
                                                       : Clock::duration(kProbeDefenceInterval);
    for (const std::size_t r : reply.answers) {
        if (now - lastSent_[index][r] >= interval) {
            lastSent_[index][r] = now;
            add(response.answers, r);
        }
    }
    if (response.answers.empty())
        return;
    for (const std::size_t r : reply.additionals)
        add(response.additionals, r);
    SendMulticast(index, response);
}

} // namespace mdns
