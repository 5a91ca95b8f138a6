// The registration as data, apart from the code that writes it: the installer's generator reads
// the same table.
#include "Registration.h"

#include "VornDriver.h"

#include <array>

namespace vorn {

namespace {

using namespace std::string_view_literals;

// The fixed AppID that lets 64-bit clients create the class in the system's surrogate process.
constexpr GUID kAppId = {0xfa549598, 0x568c, 0x4c19, {0x82, 0x4f, 0x87, 0x30, 0x3e, 0x70, 0x7d, 0xf2}};

constexpr std::array kEntries = {
    RegistryEntry{L"CLSID\\%CLSID%", {}, L"%PROGID%"},
    RegistryEntry{L"CLSID\\%CLSID%", L"AppID", L"%APPID%"},
    RegistryEntry{L"CLSID\\%CLSID%\\InprocServer32", {}, L"%MODULE%"},
    RegistryEntry{L"CLSID\\%CLSID%\\InprocServer32", L"ThreadingModel", L"Apartment"},
    RegistryEntry{L"CLSID\\%CLSID%\\ProgID", {}, L"%PROGID%"},
    RegistryEntry{L"CLSID\\%CLSID%\\TypeLib", {}, L"%LIBID%"},
    RegistryEntry{L"CLSID\\%CLSID%\\VERSION", {}, L"1.0"},
    RegistryEntry{L"%PROGID%", {}, L"%PROGID%"},
    RegistryEntry{L"%PROGID%\\Clsid", {}, L"%CLSID%"},
    RegistryEntry{L"AppID\\%APPID%", {}, L"Vornlink"},
    RegistryEntry{L"AppID\\%APPID%", L"DllSurrogate", L""},
    // The library has no flags. Some loaders add LIBFLAG_FHASDISKIMAGE to a library read from a
    // file, and RegisterTypeLib then records it; this puts the value right.
    RegistryEntry{L"TypeLib\\%LIBID%\\1.0\\FLAGS", {}, L"0"},
};

constexpr std::array kTrees = {L"CLSID\\%CLSID%"sv, L"%PROGID%"sv, L"AppID\\%APPID%"sv};

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

void ReplaceAll(std::wstring& text, std::wstring_view placeholder, std::wstring_view value)
{
    for (size_t at = text.find(placeholder); at != std::wstring::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

} // namespace

std::span<const RegistryEntry> RegistryEntries() noexcept
{
    return kEntries;
}

std::span<const std::wstring_view> RegistryTrees() noexcept
{
    return kTrees;
}

std::wstring ExpandPlaceholders(std::wstring_view text, std::wstring_view modulePath)
{
    std::wstring expanded(text);
    ReplaceAll(expanded, L"%CLSID%", GuidText(CLSID_clsVornlink));
    ReplaceAll(expanded, L"%LIBID%", GuidText(LIBID_VornDriver));
    ReplaceAll(expanded, L"%IID%", GuidText(IID__clsVornlink));
    ReplaceAll(expanded, L"%APPID%", GuidText(kAppId));
    ReplaceAll(expanded, L"%PROGID%", kProgId);
    ReplaceAll(expanded, L"%MODULE%", modulePath);
    return expanded;
}

} // namespace vorn
