#pragma once
// Text form of the traffic record (see README.md), shared by the simulated module and the tracing
// library so that one reader serves both. A line is fields separated by single blanks, then, when
// the line carries bytes, a marker ("> " sent, "< " replied) and the bytes, always last. Bytes are
// escaped: printable ASCII as itself, backslash doubled, every other byte as \xHH, so a line is
// byte-exact and holds no line break.

#include <string>
#include <string_view>

namespace vornsim {

std::string escapeTraffic(std::string_view bytes);

// Appends "<direction> <escaped bytes>" to `line`, after a blank when the line already holds fields.
void appendTrafficData(std::string& line, char direction, std::string_view bytes);

// Appends "GetQueryResponse size=<n> outValue=<v>": what the entry was handed, noted before anything
// is written into the buffer (outValue=null for a null pointer).
void appendReplyRequest(std::string& line, int size, const int* outValue);

// A simulated-module record line: "> " for a command received, "< " for reply bytes written, then "\n".
std::string trafficLine(char direction, std::string_view bytes);

} // namespace vornsim
