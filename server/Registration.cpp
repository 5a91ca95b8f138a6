#include "Registration.h"

#include "ResourceOwners.h"
#include "ServerModule.h"
#include "VornDriver.h"

#include <wrl/client.h>

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

HRESULT WriteEntry(const RegistryEntry& entry, std::wstring_view modulePath)
{
    const std::wstring key = ExpandPlaceholders(entry.key, modulePath);
    const std::wstring name(entry.name);
    const std::wstring value = ExpandPlaceholders(entry.value, modulePath);
    HKEY opened = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     &opened, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    const UniqueRegistryKey owner(opened);
    status = RegSetValueExW(opened, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

bool TypeLibraryRegistered()
{
    HKEY opened = nullptr;
    const std::wstring key = L"TypeLib\\" + GuidText(LIBID_VornDriver) + L"\\1.0";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

HRESULT RegisterTypeLibrary(const std::wstring& modulePath)
{
    Microsoft::WRL::ComPtr<ITypeLib> library;
    const HRESULT outcome = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, &library);
    if (FAILED(outcome))
        return outcome;
    return RegisterTypeLib(library.Get(), const_cast<OLECHAR*>(modulePath.c_str()), nullptr);
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
    ReplaceAll(expanded, L"%APPID%", GuidText(kAppId));
    ReplaceAll(expanded, L"%PROGID%", kProgId);
    ReplaceAll(expanded, L"%MODULE%", modulePath);
    return expanded;
}

HRESULT RegisterServer() noexcept
{
    try {
        const std::wstring modulePath = ServerModulePath();
        HRESULT outcome = RegisterTypeLibrary(modulePath);
        for (const RegistryEntry& entry : kEntries) {
            if (FAILED(outcome))
                break;
            outcome = WriteEntry(entry, modulePath);
        }
        if (FAILED(outcome))
            UnregisterServer();  // no half-written registration
        return outcome;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterServer() noexcept
{
    try {
        const std::wstring modulePath = ServerModulePath();
        HRESULT outcome = S_OK;
        for (std::wstring_view tree : kTrees) {
            const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, ExpandPlaceholders(tree, modulePath).c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(outcome))
                outcome = HRESULT_FROM_WIN32(status);
        }
        // Removes the library's key and the interface's registration; absent means done.
        if (TypeLibraryRegistered()) {
            const HRESULT removed = UnRegisterTypeLib(LIBID_VornDriver, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
            if (FAILED(removed) && SUCCEEDED(outcome))
                outcome = removed;
        }
        return outcome;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace vorn
