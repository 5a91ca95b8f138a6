#include <initguid.h>

#include "Harness.h"

#include <gtest/gtest.h>

#include <vector>

namespace hardening {

std::wstring BinFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L'\\'));
}

bool UseLibraryFolder(const std::wstring& name)
{
    const std::wstring folder = BinFolder() + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

std::wstring LoadedLibraryFolder()
{
    const HMODULE library = GetModuleHandleW(L"Vorn.dll");
    if (!library)
        return {};
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(library, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\'));
    return folder.substr(folder.find_last_of(L'\\') + 1);
}

std::wstring ServerPath()
{
    const std::wstring other = Environment(L"VORN_HARDENING_SERVER");
    return BinFolder() + L"\\" + (other.empty() ? std::wstring(L"Vornlink.dll") : other);
}

HMODULE ServerDll()
{
    static const HMODULE dll = LoadLibraryW(ServerPath().c_str());
    return dll;
}

ComPtr<_clsVornlink> NewObject()
{
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    ComPtr<_clsVornlink> object;
    const auto get = ServerExport<GetClassObject>("DllGetClassObject");
    if (!get) {
        ADD_FAILURE() << "Vornlink.dll or its DllGetClassObject is missing";
        return object;
    }
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(get(CLSID_clsVornlink, IID_IClassFactory, &factory), S_OK);
    if (factory) {
        EXPECT_EQ(factory->CreateInstance(nullptr, IID__clsVornlink, &object), S_OK);
    }
    return object;
}

std::string Printable(std::wstring_view text, size_t limit)
{
    std::string out = "\"";
    size_t shown = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shown == limit) {
            out += "...(" + std::to_string(text.size()) + " characters)";
            break;
        }
        // A long run of one character is shown once with its count.
        size_t run = 1;
        while (i + run < text.size() && text[i + run] == text[i])
            ++run;
        const wchar_t c = text[i];
        std::string shownCharacter;
        if (c >= 0x20 && c < 0x7F && c != L'\\' && c != L'"') {
            shownCharacter = static_cast<char>(c);
        } else {
            char escaped[12];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            shownCharacter = escaped;
        }
        if (run > 8) {
            out += shownCharacter + "{x" + std::to_string(run) + "}";
            i += run - 1;
        } else {
            out += shownCharacter;
        }
        ++shown;
    }
    return out + "\"";
}

std::string PrintableBytes(std::string_view bytes, size_t limit)
{
    std::wstring wide;
    for (const char c : bytes)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return Printable(wide, limit);
}

SIZE_T CommitCharge()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

std::wstring TakeErrorDescription()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info)
        return {};
    Bstr description;
    info->GetDescription(description.slot());
    return std::wstring(description.view());
}

std::wstring Environment(const wchar_t* name)
{
    std::vector<wchar_t> value(256);
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return {};
        if (length < value.size())
            return std::wstring(value.data(), length);
        value.resize(length);
    }
}

void SetEnvironment(const wchar_t* name, const std::wstring& value)
{
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

} // namespace hardening
