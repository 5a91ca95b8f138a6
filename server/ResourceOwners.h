// Owners for the platform's handles and strings, so that failure paths free what success paths free.
//
// Interface pointers use Microsoft::WRL::ComPtr. BSTRs get an owner of their own rather than
// _bstr_t: _bstr_t shares a reference-counted block per string (one more allocation per call),
// builds from wchar_t* up to the first zero (our strings are counted and keep their zeros), and
// reports allocation failure through a support routine mingw-w64 doesn't ship.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

namespace vorn {

// One BSTR, owned alone. A null BSTR is a valid, empty string.
class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR adopted) noexcept : value_(adopted) {}
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    UniqueBstr(UniqueBstr&& other) noexcept : value_(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~UniqueBstr() { SysFreeString(value_); }

    // A counted copy: embedded zeros are kept.
    static UniqueBstr Copy(std::wstring_view text)
    {
        BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!copy)
            throw std::bad_alloc();
        return UniqueBstr(copy);
    }

    BSTR get() const noexcept { return value_; }
    BSTR release() noexcept { return std::exchange(value_, nullptr); }
    void reset(BSTR adopted = nullptr) noexcept { SysFreeString(std::exchange(value_, adopted)); }
    BSTR* put() noexcept
    {
        reset();
        return &value_;
    }
    std::wstring_view view() const noexcept { return {value_, SysStringLen(value_)}; }

private:
    BSTR value_ = nullptr;
};

// The text of a BSTR the caller owns; a null BSTR reads as empty.
inline std::wstring_view View(BSTR text) noexcept
{
    return {text, SysStringLen(text)};
}

// Replaces the caller's string in a by-reference slot: the old one is freed, the new one is theirs.
inline void Replace(BSTR* slot, UniqueBstr&& text) noexcept
{
    SysFreeString(*slot);
    *slot = text.release();
}

// A VARIANT owned alone, cleared on destruction.
class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { VariantClear(&value_); }

    VARIANT* get() noexcept { return &value_; }
    VARIANT* operator->() noexcept { return &value_; }

private:
    VARIANT value_;
};

struct RegistryKeyCloser {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using UniqueRegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser>;

} // namespace vorn
