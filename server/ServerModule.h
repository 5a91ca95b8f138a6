// The DLL as a whole: its module handle and path, and the count of live objects and factory
// locks that DllCanUnloadNow reports.
#pragma once

#include <windows.h>

#include <string>

namespace vorn {

HMODULE ServerModuleHandle() noexcept;
std::wstring ServerModulePath();

void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void LockServerModule(bool lock) noexcept;
bool ServerModuleInUse() noexcept;

} // namespace vorn
