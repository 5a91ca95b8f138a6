#pragma once
// Process facts as text, shared by the simulated and the tracing module library.

#include <windows.h>

#include <string>

namespace vornsim {

// From the process environment at each call, not from the C runtime's copy taken at start-up, so a
// caller can switch a setting with SetEnvironmentVariable while the library is loaded. Empty when unset.
std::wstring environment(const wchar_t* name);

std::wstring moduleFileName(HMODULE module);

// The folder part of a path, with its trailing backslash.
std::wstring folderOf(const std::wstring& path);

} // namespace vornsim
