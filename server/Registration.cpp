#include "Registration.h"

#include "ResourceOwners.h"
#include "ServerModule.h"
#include "VornDriver.h"

#include <wrl/client.h>

namespace vorn {

namespace {

HRESULT WriteEntry(const RegistryEntry& entry, std::wstring_view modulePath)
{
    const std::wstring key = ExpandPlaceholders(entry.key, modulePath);
    const std::wstring name(entry.name);
    const std::wstring value = ExpandPlaceholders(entry.value, modulePath);
    HKEY opened = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
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
    const std::wstring key = ExpandPlaceholders(L"TypeLib\\%LIBID%\\1.0", {});
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

HRESULT RegisterServer() noexcept
{
    try {
        const std::wstring modulePath = ServerModulePath();
        HRESULT outcome = RegisterTypeLibrary(modulePath);
        for (const RegistryEntry& entry : RegistryEntries()) {
            if (FAILED(outcome))
                break;
            outcome = WriteEntry(entry, modulePath);
        }
        if (FAILED(outcome))
            UnregisterServer(); // no half-written registration
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
        for (std::wstring_view tree : RegistryTrees()) {
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
