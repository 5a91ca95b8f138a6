// What every hardening test needs: the server DLL of this build loaded by path (as COM would load
// it, without registration), a folder to find the module library in, owned BSTRs that keep their
// zero characters, readable text for messages, and the process's commit charge.
//
// Only the server's public surface is used here: its exports and the interface its type library
// declares. The tests never include the server's own sources, so they judge behaviour, not code.
#pragma once

#include "VornDriver.h"

#include <windows.h>
#include <oleauto.h>
#include <psapi.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace hardening {

using Microsoft::WRL::ComPtr;

// The folder of the test program: build/.../bin, which also holds Vornlink.dll.
std::wstring BinFolder();

// Makes bin\<name> the current folder (creating it), where the server's LoadLibrary("Vorn.dll")
// looks. "sim", "sim-noquery", "sim-quiet", "sim-late" hold module libraries; "no-library" none.
bool UseLibraryFolder(const std::wstring& name);

// The folder the loaded Vorn.dll came from (its last path element), or empty when none is loaded.
std::wstring LoadedLibraryFolder();

// bin\Vornlink.dll, or the build VORN_HARDENING_SERVER names relative to bin (e.g. checked\Vornlink.dll).
std::wstring ServerPath();
HMODULE ServerDll();

template <class Function>
Function ServerExport(const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ServerDll(), name)));
}

// A new object from the server's class factory; null (with a test failure) if that fails.
ComPtr<_clsVornlink> NewObject();

// A BSTR owned alone. Counted: zero characters inside are kept.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept
    {
        SysFreeString(std::exchange(value_, std::exchange(other.value_, nullptr)));
        return *this;
    }
    ~Bstr() { SysFreeString(value_); }

    BSTR get() const noexcept { return value_; }
    BSTR* slot() noexcept { return &value_; }
    BSTR release() noexcept { return std::exchange(value_, nullptr); }
    std::wstring_view view() const noexcept { return {value_, SysStringLen(value_)}; }

private:
    BSTR value_ = nullptr;
};

inline std::wstring_view View(BSTR text) noexcept
{
    return {text, SysStringLen(text)};
}

// Text for a test message: printable ASCII as is, everything else escaped; long runs shortened.
std::string Printable(std::wstring_view text, size_t limit = 120);
std::string PrintableBytes(std::string_view bytes, size_t limit = 120);

// Private memory of the process. Under Wine PrivateUsage reads 0; PagefileUsage (the commit
// charge, equal to it on Windows) tracks private memory.
SIZE_T CommitCharge();

// The description in the thread's error information, as an early-bound client reads it; empty
// when there is none. Reading it clears it.
std::wstring TakeErrorDescription();

// An environment variable of this process, read and set through the platform (the module library
// reads the process environment at each call).
std::wstring Environment(const wchar_t* name);
void SetEnvironment(const wchar_t* name, const std::wstring& value);

// A deterministic source of random numbers that gives the same sequence on every compiler.
class Random {
public:
    explicit Random(std::uint64_t seed)
    {
        // splitmix64, so that neighbouring seeds start far apart
        std::uint64_t z = seed + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        state_ = (z ^ (z >> 31)) | 1;
    }
    std::uint64_t Next()
    {
        // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // 0 <= result < bound
    std::uint32_t Below(std::uint32_t bound) { return bound ? static_cast<std::uint32_t>(Next() % bound) : 0; }
    bool Chance(std::uint32_t percent) { return Below(100) < percent; }
    template <class Container>
    const auto& Pick(const Container& items)
    {
        return items[Below(static_cast<std::uint32_t>(std::size(items)))];
    }

private:
    std::uint64_t state_;
};

} // namespace hardening
