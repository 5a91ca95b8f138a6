#pragma once
// The trace's record lines (format: README.md): "<local time> <call> pid=<n> tid=<n> <entry> ...",
// the data last, in the simulated module's escaping (simulated-module/Traffic.h).

#include <string>

namespace vorntrace {

// "2026-12-08T06:30:01.123 <call> pid=<n> tid=<n>": the entry's name and the rest follow.
std::string lineStart(unsigned long call);

// "# 2026-12-08T06:30:01.123 pid=<n> VornTrace program=\"...\"": the header and other notes.
std::string noteStart();

void appendNumber(std::string& line, const char* key, long long value);

} // namespace vorntrace
