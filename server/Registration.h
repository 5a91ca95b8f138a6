// Self-registration as data: the registry values written for the class, its ProgID and its AppID,
// and the trees unregistration removes. The type library and its interface are registered by the
// platform (RegisterTypeLib) from the DLL's own resource.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr std::wstring_view kProgId = L"VornDriver.clsVornlink";

// A value under HKEY_CLASSES_ROOT. Keys and values may hold the placeholders %CLSID%, %LIBID%,
// %IID%, %APPID%, %PROGID% and %MODULE% (the DLL's full path). An empty name is the key's default value.
struct RegistryEntry {
    std::wstring_view key;
    std::wstring_view name;
    std::wstring_view value;
};

std::span<const RegistryEntry> RegistryEntries() noexcept;
// The keys registration creates, each removed whole by unregistration.
std::span<const std::wstring_view> RegistryTrees() noexcept;

// The placeholders replaced by their values for a server at modulePath.
std::wstring ExpandPlaceholders(std::wstring_view text, std::wstring_view modulePath);

HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

} // namespace vorn
