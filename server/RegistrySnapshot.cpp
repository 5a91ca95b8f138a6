#include "RegistrySnapshot.h"

#include "ResourceOwners.h"

#include <algorithm>
#include <new>

namespace vorn {

namespace {

UniqueRegistryKey Open(HKEY parent, const std::wstring& path, REGSAM access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return nullptr;
    return UniqueRegistryKey(key);
}

KeyContents Read(HKEY key, REGSAM view)
{
    KeyContents contents;
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, largestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName,
                         &largestData, nullptr, nullptr) != ERROR_SUCCESS)
        return contents;
    std::vector<wchar_t> name(std::max(longestName, longestSubkey) + 1);
    std::vector<BYTE> data(largestData);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
            contents.values.push_back({std::wstring(name.data(), nameLength), type,
                                       std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        std::wstring child(name.data(), nameLength);
        if (const auto opened = Open(key, child, KEY_READ | view))
            contents.subkeys.emplace_back(std::move(child), Read(opened.get(), view));
    }
    return contents;
}

HRESULT Outcome(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT Write(HKEY key, const KeyContents& contents, REGSAM view)
{
    HRESULT outcome = S_OK;
    auto note = [&outcome](HRESULT step) {
        if (FAILED(step) && SUCCEEDED(outcome))
            outcome = step;
    };
    // Values and subkeys the attempt added go first; then everything that was there is written back.
    const KeyContents now = Read(key, view);
    for (const KeyContents::Value& value : now.values)
        if (std::none_of(contents.values.begin(), contents.values.end(),
                         [&](const KeyContents::Value& kept) { return kept.name == value.name; }))
            note(Outcome(RegDeleteValueW(key, value.name.c_str())));
    for (const auto& [name, ignored] : now.subkeys)
        if (std::none_of(contents.subkeys.begin(), contents.subkeys.end(),
                         [&](const auto& kept) { return kept.first == name; }))
            note(Outcome(RegDeleteTreeW(key, name.c_str())));
    for (const KeyContents::Value& value : contents.values)
        note(Outcome(RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                                    static_cast<DWORD>(value.data.size()))));
    for (const auto& [name, subkey] : contents.subkeys) {
        HKEY child = nullptr;
        const LSTATUS status =
            RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &child, nullptr);
        note(Outcome(status));
        if (status == ERROR_SUCCESS)
            note(Write(UniqueRegistryKey(child).get(), subkey, view));
    }
    return outcome;
}

} // namespace

TreeSnapshot TakeSnapshot(const std::wstring& path, REGSAM view)
{
    TreeSnapshot snapshot{path, view, std::nullopt};
    if (const auto key = Open(HKEY_CLASSES_ROOT, path, KEY_READ | view))
        snapshot.contents = Read(key.get(), view);
    return snapshot;
}

HRESULT Restore(const TreeSnapshot& snapshot) noexcept
{
    try {
        if (!snapshot.contents) {
            const auto key = Open(HKEY_CLASSES_ROOT, snapshot.path, KEY_ALL_ACCESS | snapshot.view);
            if (!key)
                return S_OK;
            const LSTATUS cleared = RegDeleteTreeW(key.get(), nullptr);
            const LSTATUS removed = RegDeleteKeyExW(HKEY_CLASSES_ROOT, snapshot.path.c_str(), snapshot.view, 0);
            return FAILED(Outcome(cleared)) ? Outcome(cleared) : Outcome(removed);
        }
        HKEY key = nullptr;
        const LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, snapshot.path.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS | snapshot.view, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS)
            return Outcome(status);
        return Write(UniqueRegistryKey(key).get(), *snapshot.contents, snapshot.view);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace vorn
