// Vornlink.dll as an in-process COM server: exports, class factory, lifetime, self-registration.
#include "ServerUnderTest.h"

#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

using Export = HRESULT(STDAPICALLTYPE*)();
const GUID kAppId = {0xfa549598, 0x568c, 0x4c19, {0x82, 0x4f, 0x87, 0x30, 0x3e, 0x70, 0x7d, 0xf2}};

HRESULT CanUnloadNow()
{
    return ServerExport<Export>("DllCanUnloadNow")();
}

std::wstring Guid(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// A value under HKEY_CLASSES_ROOT, as this 32-bit process sees it; nullopt when absent.
std::optional<std::wstring> ClassesValue(const std::wstring& key, const wchar_t* name = nullptr)
{
    wchar_t data[1024] = {};
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(data);
}

bool ClassesKeyExists(const std::wstring& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

class ComServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override
    {
        // Other test programs in this Wine prefix rely on a registered server.
        ServerExport<Export>("DllRegisterServer")();
        CoUninitialize();
    }
};

} // namespace

TEST_F(ComServerTest, FourExportsByNameWithOrdinalsInAlphabeticalOrder)
{
    const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
    const HMODULE dll = ServerDll();
    ASSERT_NE(dll, nullptr);
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
        const FARPROC byName = GetProcAddress(dll, names[ordinal - 1]);
        EXPECT_NE(byName, nullptr) << names[ordinal - 1];
        EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)), byName) << names[ordinal - 1];
    }
    // Nothing else is exported: the export directory names exactly four entries from ordinal 1.
    const auto* base = reinterpret_cast<const BYTE*>(dll);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, 4u);
    EXPECT_EQ(exports->NumberOfNames, 4u);
}

TEST_F(ComServerTest, FactoryServesOnlyItsClassWithoutAggregation)
{
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto get = ServerExport<GetClassObject>("DllGetClassObject");
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(get(IID__clsVornlink, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);
    ASSERT_EQ(get(CLSID_clsVornlink, IID_IClassFactory, &factory), S_OK);

    ComPtr<IUnknown> outer = factory; // any object will do as a would-be outer
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
    ComPtr<IUnknown> wrongInterface;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &wrongInterface), E_NOINTERFACE);

    ComPtr<_clsVornlink> first, second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID__clsVornlink, &first), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID__clsVornlink, &second), S_OK);
    EXPECT_NE(first.Get(), second.Get()) << "every creation yields a new object";

    ComPtr<IDispatch> dispatch;
    ComPtr<IUnknown> unknown;
    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(first.As(&dispatch), S_OK);
    ASSERT_EQ(first.As(&unknown), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch.Get()), static_cast<void*>(first.Get())) << "one dual vtable";
    ASSERT_EQ(first.As(&errorInfo), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID__clsVornlink), S_OK);
    ComPtr<IPersist> persist;
    EXPECT_EQ(first.As(&persist), E_NOINTERFACE);
}

TEST_F(ComServerTest, CanUnloadOnlyWithoutObjectsAndLocks)
{
    EXPECT_EQ(CanUnloadNow(), S_OK);
    ComPtr<_clsVornlink> object = NewServerObject();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    object.Reset();
    EXPECT_EQ(CanUnloadNow(), S_OK);

    const auto factory = ServerFactory();
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, ObjectOutlivesItsLastReleaseDuringACall)
{
    UseModuleLibraryFolder(L"sim");
    // The module takes its time over each command, long enough to release the object meanwhile.
    SetEnvironmentVariableW(L"VORN_SIM_FAULT", L"slow=400");
    _clsVornlink* object = NewServerObject().Detach();
    ASSERT_NE(object, nullptr);
    HRESULT outcome = E_FAIL;
    LONG result = 99;
    std::thread call([&] { outcome = object->VORN_CLEAN(&result); });
    Sleep(150);
    EXPECT_EQ(object->Release(), 1u) << "the running call holds the object";
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    call.join();
    SetEnvironmentVariableW(L"VORN_SIM_FAULT", nullptr);
    EXPECT_EQ(outcome, S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CanUnloadNow(), S_OK) << "destroyed once the call ended";
}

TEST_F(ComServerTest, RegistrationWritesTheTableAndUnregistrationRemovesIt)
{
    const std::wstring clsid = Guid(CLSID_clsVornlink);
    const std::wstring libid = Guid(LIBID_VornDriver);
    const std::wstring iid = Guid(IID__clsVornlink);
    const std::wstring appid = Guid(kAppId);
    const std::wstring dllPath = BinFolder() + L"\\Vornlink.dll";
    const std::wstring classKey = L"CLSID\\" + clsid;

    for (int round = 0; round < 2; ++round) { // registering twice leaves the same registration
        SCOPED_TRACE(round);
        ASSERT_EQ(ServerExport<Export>("DllRegisterServer")(), S_OK);
        EXPECT_EQ(ClassesValue(L"VornDriver.clsVornlink\\Clsid"), clsid);
        EXPECT_EQ(ClassesValue(classKey + L"\\InprocServer32"), dllPath);
        EXPECT_EQ(ClassesValue(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
        EXPECT_EQ(ClassesValue(classKey + L"\\ProgID"), L"VornDriver.clsVornlink");
        EXPECT_EQ(ClassesValue(classKey + L"\\TypeLib"), libid) << "the library's GUID, not the class's";
        EXPECT_EQ(ClassesValue(classKey, L"AppID"), appid);
        EXPECT_EQ(ClassesValue(L"AppID\\" + appid, L"DllSurrogate"), L"");
        EXPECT_EQ(ClassesValue(L"TypeLib\\" + libid + L"\\1.0\\0\\" + (sizeof(void*) == 8 ? L"win64" : L"win32")), dllPath);
        EXPECT_EQ(ClassesValue(L"TypeLib\\" + libid + L"\\1.0\\FLAGS"), L"0");
        EXPECT_EQ(ClassesValue(L"Interface\\" + iid + L"\\TypeLib"), libid);
        EXPECT_EQ(ClassesValue(L"Interface\\" + iid), L"_clsVornlink");
    }

    // Created through COM by ProgID, and called.
    CLSID found{};
    ASSERT_EQ(CLSIDFromProgID(L"VornDriver.clsVornlink", &found), S_OK);
    EXPECT_EQ(found, CLSID_clsVornlink);
    {
        ComPtr<IDispatch> object;
        ASSERT_EQ(CoCreateInstance(found, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object), S_OK);
        ComPtr<ITypeLib> registered;
        EXPECT_EQ(LoadRegTypeLib(LIBID_VornDriver, 1, 0, 0, &registered), S_OK);
    }

    for (int round = 0; round < 2; ++round) { // unregistering twice is harmless
        SCOPED_TRACE(round);
        EXPECT_EQ(ServerExport<Export>("DllUnregisterServer")(), S_OK);
        for (const std::wstring& key : {classKey, std::wstring(L"VornDriver.clsVornlink"), L"AppID\\" + appid,
                                        L"TypeLib\\" + libid, L"Interface\\" + iid})
            EXPECT_FALSE(ClassesKeyExists(key)) << Narrow(key);
    }
    EXPECT_NE(CLSIDFromProgID(L"VornDriver.clsVornlink", &found), S_OK);
    ComPtr<IDispatch> none;
    EXPECT_NE(CoCreateInstance(CLSID_clsVornlink, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &none), S_OK);
}
