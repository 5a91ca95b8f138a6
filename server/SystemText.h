// Text the system knows: messages for error codes, the file a module was loaded from.
#pragma once

#include <windows.h>

#include <string>

namespace vorn {

// The system's text for a Windows error code, without the trailing line break.
std::wstring SystemMessage(DWORD error);

// The full path of a loaded module; empty when the system can't tell.
std::wstring ModuleFileName(HMODULE module);

} // namespace vorn
