// The server DLL of this build, loaded by path without registration, and the module library
// folder it is to find Vorn.dll in. Tests chdir into that folder: the platform searches the
// current folder, never the server DLL's own.
#pragma once

#include "ResourceOwners.h"
#include "VornDriver.h"
#include "support/TrafficLog.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>

namespace vorn::test {

using Microsoft::WRL::ComPtr;

// The folder of the test program (build/.../bin), which also holds Vornlink.dll.
inline std::wstring BinFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// "sim": the simulated module; "sim-noquery": a library without GetQueryResponse;
// "no-library": an empty folder, so Vorn.dll is found nowhere.
inline void UseModuleLibraryFolder(const std::wstring& name)
{
    const std::wstring folder = BinFolder() + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
}

inline HMODULE ServerDll()
{
    static HMODULE dll = LoadLibraryW((BinFolder() + L"\\Vornlink.dll").c_str());
    return dll;
}

template <class Function>
Function ServerExport(const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ServerDll(), name)));
}

inline ComPtr<IClassFactory> ServerFactory()
{
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    ComPtr<IClassFactory> factory;
    const auto get = ServerExport<GetClassObject>("DllGetClassObject");
    EXPECT_NE(get, nullptr);
    if (get) {
        EXPECT_EQ(get(CLSID_clsVornlink, IID_IClassFactory, &factory), S_OK);
    }
    return factory;
}

inline ComPtr<_clsVornlink> NewServerObject()
{
    ComPtr<_clsVornlink> object;
    if (const auto factory = ServerFactory()) {
        EXPECT_EQ(factory->CreateInstance(nullptr, IID__clsVornlink, &object), S_OK);
    }
    return object;
}

// Wide text for a test message (ASCII is all the messages need).
inline std::string Narrow(std::wstring_view text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

inline UniqueBstr Text(std::wstring_view text)
{
    return UniqueBstr::Copy(text);
}

// The description in the thread's error information, as an early-bound client reads it.
inline std::wstring ErrorDescription()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK)
        return {};
    UniqueBstr description;
    info->GetDescription(description.put());
    return std::wstring(description.view());
}

// A fresh object talking to the simulated module, with an empty traffic record.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        UseModuleLibraryFolder(L"sim");
        log.clear();
        server = NewServerObject();
        ASSERT_TRUE(server);
    }
    void TearDown() override
    {
        server.Reset();
        CoUninitialize();
    }

    std::vector<std::string> Sent() const { return log.sentCommands(); }

    TrafficLog log{BinFolder() + L"\\server_tests.traffic.log"};
    ComPtr<_clsVornlink> server;
};

} // namespace vorn::test
