// The real instrument in process, against a stand-in module link: the rules that hold between clients
// (turns, the bounds of a client's queue, the lock, clients that leave, responses given up on, clear,
// close during a run, a message that throws), checked in milliseconds rather than end to end.
#include "Instrument.h"
#include "Log.h"
#include "ModuleLink.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

class QuietLog final : public Log {
public:
    void Line(std::string_view text) override
    {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::string Narrow(std::wstring_view wide)
{
    return std::string(wide.begin(), wide.end());
}

// What the module was asked, and a hand on it: calls of a held method wait until let go, calls of a
// method named to fail throw.
class StandInModule {
public:
    // Calls of `method` (its server name, "VORN_ABORT") wait until Let().
    void Hold(const std::string& method)
    {
        std::lock_guard lock(mutex_);
        held_.insert(method);
    }
    void Let()
    {
        std::lock_guard lock(mutex_);
        held_.clear();
        changed_.notify_all();
    }
    void ThrowOn(const std::string& method)
    {
        std::lock_guard lock(mutex_);
        throwing_ = method;
    }
    // Waits until a held call is waiting (false after a few seconds).
    bool WaitUntilHeld()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return holding_ > 0; });
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t Count(const std::string& method)
    {
        const auto calls = Calls();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), method));
    }

    ModuleCall Call(vorn::Method method)
    {
        const std::string name = Narrow(vorn::Entry(method).name);
        std::unique_lock lock(mutex_);
        calls_.push_back(name);
        if (held_.count(name)) {
            ++holding_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return held_.count(name) == 0; });
            --holding_;
        }
        if (name == throwing_)
            throw std::runtime_error("the stand-in was told to fail " + name);
        ModuleCall call;
        if (name == "CMD_IDN")
            call.reply = L"VORN,Stand-in,0,1";
        else if (name == "SYST_ERR")
            call.reply = L"+0,\"No error\"";
        else
            call.reply = L"1";
        return call;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::set<std::string> held_;
    std::string throwing_;
    int holding_ = 0;
};

class StandInLink final : public ModuleLink {
public:
    explicit StandInLink(StandInModule& module) : module_(module) {}
    ModuleCall Call(vorn::Method method, std::span<const std::wstring>, std::optional<size_t>) override
    {
        return module_.Call(method);
    }
    // Every method described takes no parameters: the tests send none.
    const MethodInfo* Describe(vorn::Method method, std::optional<AutomationError>&) override
    {
        MethodInfo& info = described_[method];
        info.name = std::wstring(vorn::Entry(method).name);
        return &info;
    }

private:
    StandInModule& module_;
    std::map<vorn::Method, MethodInfo> described_;
};

// Ends every wait of the instrument when a test leaves early, so that the waits it left running end.
class HaltOnExit {
public:
    explicit HaltOnExit(Instrument& instrument) : instrument_(instrument) {}
    HaltOnExit(const HaltOnExit&) = delete;
    HaltOnExit& operator=(const HaltOnExit&) = delete;
    ~HaltOnExit()
    {
        if (testing::Test::HasFailure())
            instrument_.Halt();
    }

private:
    Instrument& instrument_;
};

// A client whose departure the test decides.
class TestPresence final : public ClientPresence {
public:
    bool Gone() noexcept override { return gone; }
    std::atomic<bool> gone{false};
};

class RealInstrument : public testing::Test {
protected:
    RealInstrument() : instrument(log, nullptr, [this] { return std::make_unique<StandInLink>(module); })
    {
        instrument.Start();
    }
    ~RealInstrument() override
    {
        module.Let();
        instrument.Stop();
    }

    SessionId OpenRaw(const char* peer = "10.0.0.1:1") { return instrument.Open({peer, Transport::RawSocket}, Delivery::Stream); }
    SessionId OpenLink(const char* peer = "10.0.0.2:1") { return instrument.Open({peer, Transport::Vxi11}, Delivery::OnRead); }

    // The session's responses to `message`, run as a raw client's.
    std::string Ask(SessionId id, const std::string& message)
    {
        EXPECT_EQ(instrument.Input(id, message + "\n", false), WaitResult::Done);
        return instrument.WaitForResponses(id, 5000ms).data;
    }

    // Blocks the module in a VORN:ABORT of a session of its own, returned once the call waits.
    SessionId BusyModule()
    {
        module.Hold("VORN_ABORT");
        const SessionId busy = OpenRaw("10.0.0.9:9");
        EXPECT_EQ(instrument.Input(busy, "VORN:ABORT\n", false), WaitResult::Done);
        EXPECT_TRUE(module.WaitUntilHeld());
        return busy;
    }

    QuietLog log;
    StandInModule module;
    Instrument instrument;
};

} // namespace

TEST_F(RealInstrument, SessionIdsAreUniqueNonZeroAndNotInSequence)
{
    std::set<SessionId> ids;
    std::vector<SessionId> order;
    for (int i = 0; i < 200; ++i) {
        const SessionId id = OpenRaw();
        EXPECT_NE(id, 0u);
        ids.insert(id);
        order.push_back(id);
    }
    EXPECT_EQ(ids.size(), order.size());
    int followers = 0;
    for (size_t i = 1; i < order.size(); ++i)
        followers += order[i] == order[i - 1] + 1;
    EXPECT_LE(followers, 1) << "one link's id tells the next";
    // Clients() still lists them in the order they opened.
    const auto clients = instrument.Clients();
    ASSERT_EQ(clients.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(clients[i].id, order[i]);
}

TEST_F(RealInstrument, SessionsTakeTurnsHoweverManyMessagesOneQueued)
{
    const SessionId busy = BusyModule();
    const SessionId flooder = OpenRaw();
    const SessionId other = OpenRaw();
    // The flooder fills its queue first; the other's one message comes after all of them.
    std::string lines;
    for (std::size_t i = 0; i < Instrument::kMaxQueuedMessages; ++i)
        lines += "VORN:CLEAN\n";
    ASSERT_EQ(instrument.Input(flooder, lines, false, 0ms, nullptr).status, WaitResult::Done);
    ASSERT_EQ(instrument.Input(other, "*IDN?\n", false), WaitResult::Done);
    module.Let();
    EXPECT_EQ(instrument.WaitForResponses(other, 5000ms).data, "VORN,Stand-in,0,1\n");
    instrument.WaitForResponses(flooder, 5000ms);
    instrument.WaitForResponses(busy, 5000ms);
    const auto calls = module.Calls();
    const auto identity = std::find(calls.begin(), calls.end(), "CMD_IDN");
    ASSERT_NE(identity, calls.end());
    // The busy one's call, at most one of the flooder's, then the other's.
    EXPECT_LE(identity - calls.begin(), 2) << "the other client waited behind the flooder's queue";
    EXPECT_EQ(module.Count("VORN_CLEAN"), Instrument::kMaxQueuedMessages);
}

TEST_F(RealInstrument, AClientsQueueIsBoundedInMessagesAndBytes)
{
    const SessionId busy = BusyModule();
    struct Case {
        const char* name;
        std::string message;
        std::size_t fits; // messages taken before the queue is full
    };
    const std::string big = "VORN:CLEAN" + std::string(Instrument::kMaxQueuedBytes / 2, ' ');
    const Case cases[] = {
        {"short messages", "VORN:CLEAN", Instrument::kMaxQueuedMessages},
        {"long messages", big, 2},
    };
    for (const Case& c : cases) {
        const SessionId id = OpenLink();
        std::string bytes;
        for (std::size_t i = 0; i < c.fits + 5; ++i)
            bytes += c.message + '\n';
        const InputResult now = instrument.Input(id, bytes, false, 0ms, nullptr);
        EXPECT_EQ(now.status, WaitResult::TimedOut) << c.name;
        EXPECT_EQ(now.taken, c.fits * (c.message.size() + 1)) << c.name;
        // Waiting for room runs out likewise, taking nothing more while the module is busy.
        const InputResult later = instrument.Input(id, std::string_view(bytes).substr(now.taken), false, 150ms, nullptr);
        EXPECT_EQ(later.status, WaitResult::TimedOut) << c.name;
        EXPECT_EQ(later.taken, 0u) << c.name;
        instrument.Clear(id);
        // With room again, the rest goes in (a message over 64 KiB is still refused alone, with -223).
        EXPECT_EQ(instrument.Input(id, "VORN:CLEAN\n", false, 0ms, nullptr).taken, 11u) << c.name;
        instrument.Close(id);
    }
    // A writer that waits gets its room as the module works through the queue.
    const SessionId writer = OpenRaw();
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "VORN:FINT?\n";
    auto written = std::async(std::launch::async, [&] { return instrument.Input(writer, many, false, 5000ms, nullptr); });
    Sleep(50);
    module.Let();
    const InputResult all = written.get();
    EXPECT_EQ(all.status, WaitResult::Done);
    EXPECT_EQ(all.taken, many.size());
    EXPECT_EQ(instrument.WaitForResponses(writer, 5000ms).data.size(), 40u * 2);
    instrument.Close(busy);
}

TEST_F(RealInstrument, AMessageThatThrowsIsAnExecutionErrorAndTheModuleGoesOn)
{
    module.ThrowOn("VORN_CLEAN");
    const SessionId id = OpenRaw();
    const SessionId other = OpenRaw();
    EXPECT_EQ(Ask(id, "VORN:CLEAN;:VORN:FINT?"), "");
    EXPECT_EQ(Ask(other, "VORN:FINT?"), "1\n");
    const std::string entry = Ask(id, "SYST:ERR?");
    EXPECT_EQ(entry.rfind("-200,", 0), 0u) << entry;
    EXPECT_NE(entry.find("the stand-in was told to fail VORN_CLEAN"), std::string::npos) << entry;
    EXPECT_EQ(Ask(id, "*IDN?"), "VORN,Stand-in,0,1\n");
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.find("failed") != std::string::npos; }));
}

TEST_F(RealInstrument, TheLockKeepsOthersOutAndGoesWithItsHolder)
{
    const SessionId holder = OpenLink();
    const SessionId raw = OpenRaw();
    const SessionId other = OpenLink();
    ASSERT_EQ(instrument.Lock(holder, false, 0ms), WaitResult::Done);
    EXPECT_EQ(instrument.Lock(other, false, 0ms), WaitResult::Locked);
    EXPECT_EQ(instrument.Lock(other, true, 100ms), WaitResult::Locked);
    EXPECT_EQ(instrument.WaitUntilUnlocked(other, true, 100ms), WaitResult::Locked);
    EXPECT_FALSE(instrument.Unlock(other));
    // A raw client's message waits for the lock; the holder's doesn't.
    ASSERT_EQ(instrument.Input(raw, "VORN:FINT?\n", false), WaitResult::Done);
    EXPECT_EQ(instrument.WaitForResponses(raw, 200ms).status, WaitResult::TimedOut);
    ASSERT_EQ(instrument.Input(holder, "*IDN?", true), WaitResult::Done);
    EXPECT_EQ(instrument.Read(holder, 100, 5000ms, -1).data, "VORN,Stand-in,0,1\n");
    EXPECT_EQ(module.Calls(), std::vector<std::string>{"CMD_IDN"});
    // Closing the holder frees the lock for the waiter; the raw message runs once that one lets go.
    auto waiter = std::async(std::launch::async, [&] { return instrument.Lock(other, true, 5000ms); });
    Sleep(50);
    instrument.Close(holder);
    EXPECT_EQ(waiter.get(), WaitResult::Done);
    EXPECT_TRUE(instrument.Unlock(other));
    EXPECT_EQ(instrument.WaitForResponses(raw, 5000ms).data, "1\n");
}

TEST_F(RealInstrument, AClientThatLeftSendsNothingBehindALockAndIsNeverGrantedIt)
{
    const SessionId holder = OpenLink();
    ASSERT_EQ(instrument.Lock(holder, false, 0ms), WaitResult::Done);

    // A raw client's command behind the lock, and its client goes.
    TestPresence rawPresence;
    const SessionId raw = OpenRaw();
    ASSERT_EQ(instrument.Input(raw, "VORN:CLEAN\n", false), WaitResult::Done);
    auto responses = std::async(std::launch::async, [&] { return instrument.WaitForResponses(raw, rawPresence); });
    // A lock waiter and a writer waiting for the lock, whose client goes too.
    TestPresence linkPresence;
    const SessionId waiter = OpenLink();
    auto lock = std::async(std::launch::async, [&] { return instrument.Lock(waiter, true, 60000ms, &linkPresence); });
    const SessionId writer = OpenLink();
    auto unlocked =
        std::async(std::launch::async, [&] { return instrument.WaitUntilUnlocked(writer, true, 60000ms, &linkPresence); });
    const HaltOnExit halt(instrument);
    Sleep(150); // the quick answer's time passes without a look at the client
    rawPresence.gone = true;
    linkPresence.gone = true;
    ASSERT_EQ(responses.wait_for(2s), std::future_status::ready) << "the wait didn't notice its client had gone";
    EXPECT_EQ(responses.get().status, WaitResult::Gone);
    ASSERT_EQ(lock.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(lock.get(), WaitResult::Gone);
    ASSERT_EQ(unlocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(unlocked.get(), WaitResult::Gone);
    EXPECT_EQ(instrument.Lock(waiter, false, 0ms), WaitResult::Gone) << "a client that left is never granted the lock";

    ASSERT_TRUE(instrument.Unlock(holder));
    EXPECT_EQ(Ask(OpenRaw(), "*IDN?"), "VORN,Stand-in,0,1\n");
    EXPECT_EQ(module.Calls(), std::vector<std::string>{"CMD_IDN"}) << "the departed client's command was sent";
    for (const ClientSnapshot& client : instrument.Clients())
        EXPECT_FALSE(client.holdsLock);
}

TEST_F(RealInstrument, WhatAClientSentWhileTheModuleWasFreeStillRunsAfterItLeft)
{
    // Its reply still comes (a half-closed client takes it), and its lock, if any, is released.
    const SessionId busy = BusyModule();
    TestPresence presence;
    const SessionId raw = OpenRaw();
    ASSERT_EQ(instrument.Lock(raw, false, 0ms), WaitResult::Done);
    ASSERT_EQ(instrument.Input(raw, "VORN:FINT?\n", false), WaitResult::Done);
    presence.gone = true;
    auto responses = std::async(std::launch::async, [&] { return instrument.WaitForResponses(raw, presence); });
    const HaltOnExit halt(instrument);
    Sleep(300);
    EXPECT_EQ(responses.wait_for(0s), std::future_status::timeout) << "it waits for the message that can still run";
    const SessionId other = OpenLink();
    EXPECT_EQ(instrument.Lock(other, false, 0ms), WaitResult::Done) << "the departed client's lock was kept";
    EXPECT_TRUE(instrument.Unlock(other));
    module.Let();
    const ReadResult last = responses.get();
    EXPECT_EQ(last.status, WaitResult::Gone);
    EXPECT_EQ(last.data, "1\n");
    instrument.Close(raw);
    instrument.Close(busy);

    // One that would run but finds the lock taken before its turn is dropped then.
    const SessionId busyAgain = BusyModule();
    TestPresence leaving;
    const SessionId late = OpenRaw();
    ASSERT_EQ(instrument.Input(late, "VORN:CLEAN\n", false), WaitResult::Done);
    leaving.gone = true;
    auto lateResponses = std::async(std::launch::async, [&] { return instrument.WaitForResponses(late, leaving); });
    const HaltOnExit haltLate(instrument);
    Sleep(300);
    const SessionId taker = OpenLink();
    ASSERT_EQ(instrument.Lock(taker, false, 0ms), WaitResult::Done);
    module.Let();
    ASSERT_EQ(lateResponses.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(lateResponses.get().status, WaitResult::Gone);
    EXPECT_EQ(module.Count("VORN_CLEAN"), 0u);
    instrument.Close(busyAgain);
}

TEST_F(RealInstrument, AReadThatGivesUpDropsTheResponseItWaitedFor)
{
    for (const bool abort : {false, true}) {
        module.Hold("VORN_FINT");
        const SessionId link = OpenLink();
        ASSERT_EQ(instrument.Input(link, "VORN:FINT?", true), WaitResult::Done);
        ASSERT_TRUE(module.WaitUntilHeld());
        std::future<ReadResult> read = std::async(std::launch::async, [&] {
            return instrument.Read(link, 100, abort ? 60000ms : 100ms, -1);
        });
        while (abort && read.wait_for(50ms) != std::future_status::ready)
            instrument.Abort(link);
        EXPECT_EQ(read.get().status, abort ? WaitResult::Aborted : WaitResult::TimedOut) << abort;
        module.Let();
        // The next message's response is its own, with no -410 for the one given up on.
        ASSERT_EQ(instrument.Input(link, "*IDN?", true), WaitResult::Done);
        EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).data, "VORN,Stand-in,0,1\n") << abort;
        ASSERT_EQ(instrument.Input(link, "*ESR?", true), WaitResult::Done);
        EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).data, "0\n") << "an error was queued; abort " << abort;
        instrument.Close(link);
    }
}

TEST_F(RealInstrument, InterruptedAndUnterminatedQueriesClearAndCloseDuringARun)
{
    const SessionId link = OpenLink();
    // A read with nothing to come: -420 at once.
    EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).status, WaitResult::TimedOut);
    // A new message before the last response was read: -410, the new response stays.
    ASSERT_EQ(instrument.Input(link, "*IDN?", true), WaitResult::Done);
    ASSERT_EQ(instrument.Input(link, "VORN:FINT?", true), WaitResult::Done);
    EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).data, "1\n");
    ASSERT_EQ(instrument.Input(link, "SYST:ERR?;:SYST:ERR?;:SYST:ERR?", true), WaitResult::Done);
    const std::string errors = instrument.Read(link, 1000, 5000ms, -1).data;
    EXPECT_EQ(errors.rfind("-420,", 0), 0u) << errors;
    EXPECT_NE(errors.find(";-410,"), std::string::npos) << errors;
    EXPECT_NE(errors.find(";+0,\"No error\""), std::string::npos) << errors;

    // Clear drops what waits to run and the response of what runs.
    const SessionId busy = BusyModule();
    ASSERT_EQ(instrument.Input(link, "VORN:CLEAN", true), WaitResult::Done);
    instrument.Clear(link);
    // Close during a run: the message finishes, its response goes nowhere, the module goes on.
    const SessionId closing = OpenRaw();
    ASSERT_EQ(instrument.Input(closing, "VORN:FINT?\n", false), WaitResult::Done);
    module.Let();
    instrument.Close(busy);
    instrument.Close(closing);
    EXPECT_FALSE(instrument.IsOpen(closing));
    EXPECT_EQ(Ask(OpenRaw(), "*IDN?"), "VORN,Stand-in,0,1\n");
    EXPECT_EQ(module.Count("VORN_CLEAN"), 0u);
}

TEST_F(RealInstrument, SharersRunTogetherAndEveryoneElseWaitsAsTheLockSays)
{
    const SessionId a = OpenRaw("10.0.0.1:1");
    const SessionId b = OpenRaw("10.0.0.1:2");
    const SessionId raw = OpenRaw("10.0.0.3:3");
    const SessionId stranger = OpenLink();
    ASSERT_EQ(instrument.LockShared(a, "bench", false, 0ms), WaitResult::Done);
    ASSERT_EQ(instrument.LockShared(b, "bench", false, 0ms), WaitResult::Done);
    EXPECT_EQ(instrument.Locks().exclusive, false);
    EXPECT_EQ(instrument.Locks().holders, 2u);
    // Another key and the exclusive lock wait for the sharers, and give up when their time is up.
    EXPECT_EQ(instrument.LockShared(stranger, "other", false, 0ms), WaitResult::Locked);
    auto keyWait = std::async(std::launch::async, [&] { return instrument.LockShared(stranger, "other", true, 150ms); });
    auto exclusiveWait = std::async(std::launch::async, [&] { return instrument.Lock(stranger, true, 150ms); });
    const HaltOnExit halt(instrument);
    ASSERT_EQ(keyWait.wait_for(5s), std::future_status::ready) << "a lock request's timeout was not honoured";
    EXPECT_EQ(keyWait.get(), WaitResult::Locked);
    ASSERT_EQ(exclusiveWait.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(exclusiveWait.get(), WaitResult::Locked);
    EXPECT_EQ(instrument.WaitUntilUnlocked(stranger, false, 0ms), WaitResult::Locked);
    // The raw socket has no lock: its message waits while both sharers' run.
    ASSERT_EQ(instrument.Input(raw, "VORN:FINT?\n", false), WaitResult::Done);
    EXPECT_EQ(Ask(a, "VORN:FINT?"), "1\n");
    EXPECT_EQ(Ask(b, "*IDN?"), "VORN,Stand-in,0,1\n");
    EXPECT_EQ(instrument.WaitForResponses(raw, 100ms).status, WaitResult::TimedOut);
    for (const ClientSnapshot& client : instrument.Clients()) {
        EXPECT_EQ(client.holdsSharedLock, client.id == a || client.id == b) << client.client.peer;
        EXPECT_FALSE(client.holdsLock) << client.client.peer;
    }

    // A sharer's exclusive lock shuts out the other sharers until it lets go.
    ASSERT_EQ(instrument.Lock(a, false, 0ms), WaitResult::Done);
    EXPECT_EQ(instrument.Lock(b, false, 0ms), WaitResult::Locked);
    EXPECT_EQ(instrument.Locks().exclusive, true);
    EXPECT_EQ(instrument.Locks().holders, 2u);
    ASSERT_EQ(instrument.Input(b, "VORN:CLEAN\n", false), WaitResult::Done);
    EXPECT_EQ(instrument.WaitForResponses(b, 100ms).status, WaitResult::TimedOut);
    EXPECT_EQ(module.Count("VORN_CLEAN"), 0u);
    EXPECT_EQ(Ask(a, "VORN:FINT?"), "1\n");
    EXPECT_TRUE(instrument.Unlock(a));
    EXPECT_FALSE(instrument.Unlock(a));
    EXPECT_EQ(instrument.WaitForResponses(b, 5000ms).status, WaitResult::Done);
    EXPECT_EQ(module.Count("VORN_CLEAN"), 1u);

    // Waiters under another key: one whose client leaves, one whose session closes, one that stays.
    TestPresence leaving;
    const SessionId leaver = OpenLink();
    const SessionId closer = OpenLink();
    const SessionId patient = OpenLink();
    auto left = std::async(std::launch::async, [&] { return instrument.LockShared(leaver, "other", true, 60000ms, &leaving); });
    auto closed = std::async(std::launch::async, [&] { return instrument.Lock(closer, true, 60000ms); });
    auto granted = std::async(std::launch::async, [&] { return instrument.LockShared(patient, "other", true, 60000ms); });
    Sleep(100);
    leaving.gone = true;
    ASSERT_EQ(left.wait_for(5s), std::future_status::ready) << "the wait didn't notice its client had gone";
    EXPECT_EQ(left.get(), WaitResult::Gone);
    instrument.Close(closer);
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(closed.get(), WaitResult::Aborted);
    EXPECT_TRUE(instrument.UnlockShared(a));
    EXPECT_FALSE(instrument.UnlockShared(a));
    EXPECT_EQ(granted.wait_for(100ms), std::future_status::timeout) << "granted while a sharer held the lock";
    EXPECT_TRUE(instrument.UnlockShared(b));
    ASSERT_EQ(granted.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(granted.get(), WaitResult::Done);
    EXPECT_EQ(instrument.LockShared(leaver, "other", false, 0ms), WaitResult::Gone) << "a waiter that left was granted";
    EXPECT_EQ(instrument.Locks().holders, 1u);
    EXPECT_EQ(instrument.Locks().exclusive, false);
    // The raw message ran between the two keys' holders or runs once the patient one leaves.
    instrument.Close(patient);
    EXPECT_EQ(instrument.WaitForResponses(raw, 5000ms).data, "1\n");
    EXPECT_EQ(instrument.Locks().holders, 0u);
}

namespace {

// The service requests a session was told of, in order.
class RequestLog {
public:
    ServiceRequestHandler Handler(std::function<void()> after = {})
    {
        return [this, after](std::uint8_t statusByte) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back(statusByte);
                changed_.notify_all();
            }
            if (after)
                after();
        };
    }
    // Waits until `count` requests have come (false after a few seconds).
    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return seen_.size() >= count; });
    }
    std::vector<std::uint8_t> Seen()
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> seen_;
};

} // namespace

TEST_F(RealInstrument, AServiceRequestIsToldOnceEachTimeTheStatusByteComesToAskForOne)
{
    RequestLog requests;
    const SessionId raw = OpenRaw();
    instrument.SetServiceRequestHandler(raw, requests.Handler());
    // Nothing enabled, or enabled bits that don't rise: no request.
    EXPECT_EQ(Ask(raw, "*OPC;*SRE 32;VORN:CLEAN"), "");
    EXPECT_EQ(Ask(raw, "*ESE 4;*OPC;*STB?"), "0\n");
    // *OPC once the message before it has run: ESB, then RQS, told once with the status byte.
    EXPECT_EQ(Ask(raw, "*CLS;*ESE 1;*SRE 32;VORN:CLEAN;*OPC"), "");
    ASSERT_TRUE(requests.WaitFor(1));
    EXPECT_EQ(requests.Seen(), std::vector<std::uint8_t>{0x60});
    EXPECT_EQ(instrument.StatusByte(raw), 0x60);
    // Still asking: nothing new to tell, whatever runs; *STB? agrees with the status byte.
    EXPECT_EQ(Ask(raw, "*OPC;*STB?"), "96\n");
    EXPECT_EQ(Ask(raw, "VORN:FINT?"), "1\n");
    // *ESR? reads ESB away; the next *OPC asks again.
    EXPECT_EQ(Ask(raw, "*ESR?"), "1\n");
    EXPECT_EQ(instrument.StatusByte(raw), 0);
    EXPECT_EQ(Ask(raw, "*OPC"), "");
    ASSERT_TRUE(requests.WaitFor(2));
    EXPECT_EQ(requests.Seen(), (std::vector<std::uint8_t>{0x60, 0x60}));

    // MAV: a link's response waiting to be read asks for service, and reading it ends the request.
    RequestLog linkRequests;
    const SessionId link = OpenLink();
    instrument.SetServiceRequestHandler(link, linkRequests.Handler());
    ASSERT_EQ(instrument.Input(link, "*SRE 16;*IDN?", true), WaitResult::Done);
    ASSERT_TRUE(linkRequests.WaitFor(1));
    EXPECT_EQ(linkRequests.Seen(), std::vector<std::uint8_t>{0x50});
    EXPECT_EQ(instrument.StatusByte(link), 0x50);
    EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).data, "VORN,Stand-in,0,1\n");
    EXPECT_EQ(instrument.StatusByte(link), 0);
    // An error with the query error enabled asks too, even one a read finds with no response to come.
    ASSERT_EQ(instrument.Input(link, "*SRE 32;*ESE 4", true), WaitResult::Done);
    EXPECT_EQ(instrument.Read(link, 100, 5000ms, -1).status, WaitResult::TimedOut);
    ASSERT_TRUE(linkRequests.WaitFor(2)) << "-420 made the status byte ask for service, untold";
    EXPECT_EQ(linkRequests.Seen().back(), 0x64);
    // An empty handler: no one is told.
    EXPECT_EQ(Ask(raw, "*ESR?"), "1\n");
    instrument.SetServiceRequestHandler(raw, {});
    EXPECT_EQ(Ask(raw, "*OPC;*STB?"), "96\n");
    EXPECT_EQ(requests.Seen().size(), 2u);
    EXPECT_EQ(linkRequests.Seen().size(), 2u);
}

TEST_F(RealInstrument, NoServiceRequestAfterCloseAndAHandlerThatThrowsStopsNothing)
{
    // A session closed with its message queued, and one closed while its message runs: their messages
    // run, as they would on any instrument, and tell no one.
    RequestLog requests;
    const SessionId busy = BusyModule();
    const SessionId queued = OpenLink();
    instrument.SetServiceRequestHandler(queued, requests.Handler());
    ASSERT_EQ(instrument.Input(queued, "*ESE 1;*SRE 32;VORN:CLEAN;*OPC", true), WaitResult::Done);
    instrument.Close(queued);
    module.Let();
    instrument.Close(busy);
    for (int i = 0; i < 500 && module.Count("VORN_CLEAN") == 0; ++i)
        Sleep(10);
    module.Hold("VORN_FINT");
    const SessionId running = OpenLink();
    instrument.SetServiceRequestHandler(running, requests.Handler());
    ASSERT_EQ(instrument.Input(running, "*ESE 1;*SRE 32;VORN:FINT?;*OPC", true), WaitResult::Done);
    ASSERT_TRUE(module.WaitUntilHeld());
    instrument.Close(running);
    module.Let();
    // One thread runs messages in turn: once this one is answered, theirs have run.
    const SessionId other = OpenRaw();
    EXPECT_EQ(Ask(other, "VORN:CLEAN;:VORN:FINT?"), "1\n");
    EXPECT_EQ(module.Count("VORN_CLEAN"), 2u);
    EXPECT_EQ(module.Count("VORN_FINT"), 2u);
    EXPECT_TRUE(requests.Seen().empty()) << "a closed session's service request was told";

    // Handlers that throw, anything at all: the executor goes on, and says why in the log.
    const SessionId failing = OpenRaw();
    instrument.SetServiceRequestHandler(failing, requests.Handler([] { throw std::runtime_error("no route"); }));
    EXPECT_EQ(Ask(failing, "*ESE 1;*SRE 32;*OPC"), "");
    ASSERT_TRUE(requests.WaitFor(1));
    const SessionId worse = OpenRaw();
    instrument.SetServiceRequestHandler(worse, requests.Handler([] { throw 42; }));
    EXPECT_EQ(Ask(worse, "*ESE 1;*SRE 32;*OPC"), "");
    ASSERT_TRUE(requests.WaitFor(2));
    EXPECT_EQ(Ask(other, "*IDN?"), "VORN,Stand-in,0,1\n");
    EXPECT_EQ(Ask(failing, "*ESR?"), "1\n");
    EXPECT_EQ(Ask(failing, "*OPC"), "");
    ASSERT_TRUE(requests.WaitFor(3)) << "the session that threw was told no more";
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.find("no route") != std::string::npos; }));
}
