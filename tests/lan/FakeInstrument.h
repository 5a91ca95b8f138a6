// A stand-in for the instrument core, linked into the protocol tests instead of the real one, so
// that the transports are tested alone: what they hand a session and what they make of its answers.
// Program messages ending in '?' answer "<message>=ok" plus a line feed; BUSY? answers only after
// Release(); everything else answers nothing. Its waits ask the client's presence, if given, as the
// instrument does ("gone" is seen then). Its log keeps every line for the tests to read.
#pragma once

#include "Instrument.h"
#include "Log.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fake {

struct Event {
    std::string what; // "open", "close", "clear", "abort", "message", "wait" (its timeout in ms), "gone",
                      // "shared lock" (its key)
    SessionId id = 0;
    std::string detail;
};

// What the fake instrument saw, in order.
std::vector<Event> Events(const Instrument& instrument);
// Sessions open now.
std::size_t OpenSessions(const Instrument& instrument);
// Reads or lock waits in progress.
int Waiting(const Instrument& instrument);
// Lets a BUSY? in progress answer.
void Release(Instrument& instrument);
// The bytes an Input with a room wait takes at most (the rest: TimedOut).
void SetRoom(Instrument& instrument, std::size_t bytes);
// The status byte every session reports.
void SetStatusByte(Instrument& instrument, std::uint8_t value);
// Calls the session's service request handler as the instrument would; false when it has none.
bool RequestService(Instrument& instrument, SessionId id, std::uint8_t statusByte);

// The tests' log: every line goes to one list for the whole program.
class TestLog final : public Log {
public:
    void Line(std::string_view text) override;
};

// Every line any TestLog received, in order.
std::vector<std::string> LogLines();
void ClearLog();
// Whether a line containing `text` has been logged, waiting up to a few seconds for it.
bool WaitForLogLine(const std::string& text);

} // namespace fake
