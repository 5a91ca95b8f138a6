// A registry tree as it stood, to be put back when a registration fails part way: what existed
// stays as it was, and what the attempt added goes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

struct KeyContents {
    struct Value {
        std::wstring name;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, KeyContents>> subkeys;
};

// One key under HKEY_CLASSES_ROOT in one registry view (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
struct TreeSnapshot {
    std::wstring path;
    REGSAM view = 0;
    std::optional<KeyContents> contents; // none: the key did not exist
};

// Throws std::bad_alloc; a key that can't be read is taken as absent.
TreeSnapshot TakeSnapshot(const std::wstring& path, REGSAM view);

// Makes the tree equal to the snapshot, changing only what differs, so keys that stayed keep
// their own properties. Returns the first failure and goes on with the rest.
HRESULT Restore(const TreeSnapshot& snapshot) noexcept;

} // namespace vorn
