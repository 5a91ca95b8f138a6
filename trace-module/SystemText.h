#pragma once
// Small readers of process facts the tracing library needs as text.

#include <windows.h>

#include <string>

namespace vorntrace {

// From the process environment (not the C runtime's copy), so SetEnvironmentVariable counts.
std::wstring environment(const wchar_t* name);

std::wstring moduleFileName(HMODULE module);

// The folder part of a path, with its trailing backslash.
std::wstring folderOf(const std::wstring& path);

// UTF-8, for the record's header lines.
std::string utf8(const std::wstring& text);

// "<path>" in UTF-8, for the header lines (a Windows path holds no quote).
std::string quotedPath(const std::wstring& path);

} // namespace vorntrace
