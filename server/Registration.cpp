#include "Registration.h"

#include "RegistrySnapshot.h"
#include "ResourceOwners.h"
#include "ServerModule.h"
#include "VornDriver.h"

#include <wrl/client.h>

#include <vector>

namespace vorn {

namespace {
// The platform the type library is registered for: the one this DLL is built for.
constexpr SYSKIND kLibrarySysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;


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

// Every tree an attempt may write, in both registry views: the type library's registration writes the
// interface into the 64-bit view too.
std::vector<TreeSnapshot> SnapshotOfWhatRegistrationTouches(const std::wstring& modulePath)
{
    std::vector<std::wstring> trees;
    for (std::wstring_view tree : RegistryTrees())
        trees.push_back(ExpandPlaceholders(tree, modulePath));
    trees.push_back(ExpandPlaceholders(L"TypeLib\\%LIBID%", modulePath));
    trees.push_back(ExpandPlaceholders(L"Interface\\%IID%", modulePath));
    std::vector<TreeSnapshot> snapshots;
    for (const std::wstring& tree : trees)
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            snapshots.push_back(TakeSnapshot(tree, view));
    return snapshots;
}

} // namespace

HRESULT RegisterServer() noexcept
{
    try {
        const std::wstring modulePath = ServerModulePath();
        const std::vector<TreeSnapshot> before = SnapshotOfWhatRegistrationTouches(modulePath);
        HRESULT outcome = RegisterTypeLibrary(modulePath);
        for (const RegistryEntry& entry : RegistryEntries()) {
            if (FAILED(outcome))
                break;
            outcome = WriteEntry(entry, modulePath);
        }
        // No half-written registration, and no working one (another copy's) removed: the registry
        // goes back to what it was.
        if (FAILED(outcome))
            for (auto snapshot = before.rbegin(); snapshot != before.rend(); ++snapshot)
                Restore(*snapshot);
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
            const HRESULT removed = UnRegisterTypeLib(LIBID_VornDriver, 1, 0, LOCALE_NEUTRAL, kLibrarySysKind);
            if (FAILED(removed) && SUCCEEDED(outcome))
                outcome = removed;
        }
        return outcome;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace vorn
