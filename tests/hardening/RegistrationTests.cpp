// Self-registration cycles leave the registry exactly as they found it. The classes part of the
// registry (machine and user, both views; a 32-bit server's class keys live under Wow6432Node) is
// read into a snapshot of every key and value before and after; any difference is printed.
//
// These tests unregister the server, so they must not run beside tests that create it by ProgID
// (ctest runs them serially); they leave it registered as they found it.
#include "Harness.h"

#include <gtest/gtest.h>
#include <olectl.h>

#include <map>
#include <sstream>
#include <vector>

using namespace hardening;

namespace {

// The type library's platform key: the one the server is built for.
const wchar_t* const kLibraryPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

using Export = HRESULT(STDAPICALLTYPE*)();

struct Value {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const Value&) const = default;
};
// key path -> (value name -> value); a key without values maps to an empty map.
using Snapshot = std::map<std::wstring, std::map<std::wstring, Value>>;

void Read(HKEY key, const std::wstring& path, Snapshot& into)
{
    auto& values = into[path];
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), type = 0, size = static_cast<DWORD>(data.size());
        const LSTATUS status = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_MORE_DATA) {
            data.resize(size);
            --i;
            continue;
        }
        if (status != ERROR_SUCCESS)
            break;
        values[std::wstring(name.data(), nameLength)] = {type, std::vector<BYTE>(data.begin(), data.begin() + size)};
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring child(name.data(), nameLength);
        HKEY opened = nullptr;
        if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) == ERROR_SUCCESS) {
            Read(opened, path + L"\\" + child, into);
            RegCloseKey(opened);
        }
    }
}

// Under Wine, RegSaveKey writes a key's whole tree as text in one call: [key] lines, each followed by
// its values. Read back with the modification times dropped, it is what regedit /E shows. Elsewhere
// (a binary hive) this gives up and the tree is read key by key.
bool SaveAndRead(HKEY key, const std::wstring& root, Snapshot& into)
{
    static const bool backup = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return false;
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        const bool ok = LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid) &&
                        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                        GetLastError() == ERROR_SUCCESS;
        CloseHandle(token);
        return ok;
    }();
    wchar_t folder[MAX_PATH] = {}, file[MAX_PATH] = {};
    if (!backup || !GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"reg", 0, file))
        return false;
    DeleteFileW(file);  // RegSaveKey refuses to overwrite
    const LSTATUS saved = RegSaveKeyW(key, file, nullptr);
    std::string text;
    if (saved == ERROR_SUCCESS) {
        const HANDLE handle = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            char chunk[65536];
            DWORD read = 0;
            while (ReadFile(handle, chunk, sizeof chunk, &read, nullptr) && read > 0)
                text.append(chunk, read);
            CloseHandle(handle);
        }
    }
    DeleteFileW(file);
    if (text.rfind("WINE REGISTRY", 0) != 0)
        return false;
    std::map<std::wstring, Value>* values = nullptr;
    std::string pending;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!pending.empty() || (!line.empty() && line.back() == '\\' && line.front() != '[')) {
            pending += line;  // a value continued on the next line
            if (!pending.empty() && pending.back() == '\\') {
                pending.pop_back();
                continue;
            }
            line = pending;
            pending.clear();
        }
        if (line.empty() || line[0] == ';' || line[0] == '#' || line.rfind("WINE REGISTRY", 0) == 0)
            continue;
        if (line[0] == '[') {
            const size_t close = line.rfind(']');  // the modification time follows it
            const std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            values = &into[root + L"\\" + std::wstring(name.begin(), name.end())];
            continue;
        }
        if (values)
            (*values)[std::wstring(line.begin(), line.end())] = Value{};
    }
    into[root];
    return true;
}

Snapshot TakeSnapshot()
{
    Snapshot snapshot;
    const struct {
        HKEY root;
        const wchar_t* name;
        const wchar_t* path;
    } roots[] = {{HKEY_LOCAL_MACHINE, L"HKLM", L"Software\\Classes"},
                 {HKEY_LOCAL_MACHINE, L"HKLM", L"Software\\Wow6432Node\\Classes"},
                 {HKEY_CURRENT_USER, L"HKCU", L"Software\\Classes"}};
    for (const auto& root : roots) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root.root, root.path, 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
            const std::wstring name = std::wstring(root.name) + L"\\" + root.path;
            if (!SaveAndRead(key, name, snapshot))
                Read(key, name, snapshot);
            RegCloseKey(key);
        }
    }
    return snapshot;
}

std::string Narrow(const std::wstring& text)
{
    return Printable(text, 200);
}

// The differences, at most `limit` lines of them.
std::string Difference(const Snapshot& before, const Snapshot& after, size_t limit = 40)
{
    std::ostringstream out;
    size_t lines = 0;
    auto line = [&](const std::string& text) {
        if (lines++ < limit)
            out << "\n  " << text;
    };
    for (const auto& [key, values] : before) {
        const auto found = after.find(key);
        if (found == after.end()) {
            line("key removed: " + Narrow(key));
            continue;
        }
        for (const auto& [name, value] : values) {
            const auto v = found->second.find(name);
            if (v == found->second.end())
                line("value removed: " + Narrow(key) + " : " + Narrow(name));
            else if (!(v->second == value))
                line("value changed: " + Narrow(key) + " : " + Narrow(name));
        }
        for (const auto& [name, value] : found->second)
            if (!values.count(name))
                line("value added: " + Narrow(key) + " : " + Narrow(name));
    }
    for (const auto& [key, values] : after)
        if (!before.count(key))
            line("key added: " + Narrow(key));
    if (lines > limit)
        out << "\n  ... " << lines - limit << " more";
    return out.str();
}

size_t KeysNaming(const Snapshot& snapshot, const std::wstring& text)
{
    size_t count = 0;
    for (const auto& [key, values] : snapshot)
        count += key.find(text) != std::wstring::npos;
    return count;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        registerServer = ServerExport<Export>("DllRegisterServer");
        unregisterServer = ServerExport<Export>("DllUnregisterServer");
        ASSERT_TRUE(registerServer && unregisterServer);
        HKEY key = nullptr;
        wasRegistered = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"VornDriver.clsVornlink", 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (key)
            RegCloseKey(key);
        initial = TakeSnapshot();
    }
    void TearDown() override
    {
        // As found: registered or not.
        if (wasRegistered) {
            EXPECT_EQ(registerServer(), S_OK);
        } else {
            unregisterServer();
        }
        const Snapshot final = TakeSnapshot();
        EXPECT_TRUE(final == initial) << "the registry differs from before the test:" << Difference(initial, final);
        CoUninitialize();
    }

    Export registerServer = nullptr;
    Export unregisterServer = nullptr;
    bool wasRegistered = false;
    Snapshot initial;
};

} // namespace

TEST_F(Registration, CyclesLeaveTheRegistryExactlyAsBefore)
{
    ASSERT_EQ(unregisterServer(), S_OK);
    const Snapshot unregistered = TakeSnapshot();
    for (const std::wstring& id : {GuidText(CLSID_clsVornlink), GuidText(LIBID_VornDriver),
                                   GuidText(IID__clsVornlink), std::wstring(L"VornDriver.clsVornlink")})
        EXPECT_EQ(KeysNaming(unregistered, id), 0u) << Narrow(id) << " left behind after unregistering";

    ASSERT_EQ(registerServer(), S_OK);
    const Snapshot registered = TakeSnapshot();
    EXPECT_GT(KeysNaming(registered, GuidText(CLSID_clsVornlink)), 0u) << "registering wrote no class key";
    if (wasRegistered) {
        EXPECT_TRUE(registered == initial) << "registering again differs from the registration found:"
                                           << Difference(initial, registered);
    }
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(unregisterServer(), S_OK);
        const Snapshot again = TakeSnapshot();
        EXPECT_TRUE(again == unregistered) << "unregistering:" << Difference(unregistered, again);
        ASSERT_EQ(registerServer(), S_OK);
        ASSERT_EQ(registerServer(), S_OK);
        const Snapshot twice = TakeSnapshot();
        EXPECT_TRUE(twice == registered) << "registering twice:" << Difference(registered, twice);
    }
}

// Unregistering a server that isn't registered: a clean HRESULT, and nothing else touched.
TEST_F(Registration, UnregisteringWhatIsNotRegisteredChangesNothing)
{
    ASSERT_EQ(unregisterServer(), S_OK);
    const Snapshot unregistered = TakeSnapshot();
    for (int round = 0; round < 3; ++round) {
        const HRESULT hr = unregisterServer();
        std::printf("unregistering a server that isn't registered: 0x%08lX\n", static_cast<unsigned long>(hr));
        EXPECT_TRUE(hr == S_OK || hr == SELFREG_E_CLASS || hr == SELFREG_E_TYPELIB ||
                    HRESULT_FACILITY(hr) == FACILITY_WIN32 || hr == TYPE_E_REGISTRYACCESS)
            << "not a clean result";
        const Snapshot after = TakeSnapshot();
        EXPECT_TRUE(after == unregistered) << Difference(unregistered, after);
    }
}

// Keys the registry takes for the life of the session only. A key below one of them must be volatile
// too: creating an ordinary one fails, which makes a registration fail part way.
void CopyTreeAsVolatile(HKEY from, HKEY toParent, const std::wstring& name)
{
    HKEY to = nullptr;
    ASSERT_EQ(RegCreateKeyExW(toParent, name.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &to,
                              nullptr),
              ERROR_SUCCESS);
    Snapshot values;
    Read(from, L"", values);
    for (const auto& [value, contents] : values[L""])
        RegSetValueExW(to, value.c_str(), 0, contents.type, contents.data.data(),
                       static_cast<DWORD>(contents.data.size()));
    wchar_t child[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(from, i, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY opened = nullptr;
        ASSERT_EQ(RegOpenKeyExW(from, child, 0, KEY_READ, &opened), ERROR_SUCCESS);
        CopyTreeAsVolatile(opened, to, child);
        RegCloseKey(opened);
    }
    RegCloseKey(to);
}

// A copy of the server in a folder of bin/, loaded, with its registration exports.
struct ServerCopy {
    explicit ServerCopy(const std::wstring& folderName) : path(BinFolder() + L"\\" + folderName + L"\\Vornlink.dll")
    {
        CreateDirectoryW((BinFolder() + L"\\" + folderName).c_str(), nullptr);
        if (!CopyFileW(ServerPath().c_str(), path.c_str(), FALSE) && !GetModuleHandleW(path.c_str()))
            return;
        if (const HMODULE dll = LoadLibraryW(path.c_str())) {
            registerServer = reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllRegisterServer")));
            unregisterServer =
                reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllUnregisterServer")));
        }
    }
    bool loaded() const { return registerServer && unregisterServer; }

    std::wstring path;
    Export registerServer = nullptr;
    Export unregisterServer = nullptr;
};

std::wstring ClassKey()
{
    return L"CLSID\\" + GuidText(CLSID_clsVornlink);
}

std::wstring RegisteredValue(const std::wstring& key)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

// Another copy of the server is registered and works. A registration of this one fails part way
// (after the type library and some class values were written): the other copy's registration must
// be there as it was, and nothing of the attempt.
TEST_F(Registration, AFailedRegistrationLeavesTheRegistryAsItFoundIt)
{
    const ServerCopy other(L"another copy");
    ASSERT_TRUE(other.loaded());
    const std::wstring& copy = other.path;
    ASSERT_EQ(unregisterServer(), S_OK);
    ASSERT_EQ(other.registerServer(), S_OK);

    // The class key made volatile, without its VERSION subkey: the copy still works, and this
    // server's registration fails when it comes to create VERSION.
    {
        HKEY classKey = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, ClassKey().c_str(), 0, KEY_READ, &classKey), ERROR_SUCCESS);
        HKEY parent = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
        const std::wstring saved = L"vornlink test " + GuidText(CLSID_clsVornlink);
        CopyTreeAsVolatile(classKey, parent, saved);
        RegCloseKey(classKey);
        // RegDeleteTree with a subkey removes that key too.
        ASSERT_EQ(RegDeleteTreeW(parent, GuidText(CLSID_clsVornlink).c_str()), ERROR_SUCCESS);
        HKEY volatileCopy = nullptr;
        ASSERT_EQ(RegOpenKeyExW(parent, saved.c_str(), 0, KEY_READ, &volatileCopy), ERROR_SUCCESS);
        CopyTreeAsVolatile(volatileCopy, parent, GuidText(CLSID_clsVornlink));
        RegCloseKey(volatileCopy);
        RegDeleteTreeW(parent, saved.c_str());
        ASSERT_EQ(RegDeleteTreeW(parent, (GuidText(CLSID_clsVornlink) + L"\\VERSION").c_str()), ERROR_SUCCESS);
        RegCloseKey(parent);
    }
    const Snapshot before = TakeSnapshot();
    const std::wstring server = ClassKey() + L"\\InprocServer32";
    const std::wstring library = L"TypeLib\\" + GuidText(LIBID_VornDriver) + L"\\1.0\\0\\" + kLibraryPlatform;
    ASSERT_EQ(RegisteredValue(server), copy);

    const HRESULT failed = registerServer();
    EXPECT_TRUE(FAILED(failed)) << std::hex << failed;
    EXPECT_EQ(RegisteredValue(server), copy) << Narrow(RegisteredValue(server));
    EXPECT_EQ(RegisteredValue(library), copy) << Narrow(RegisteredValue(library));
    const Snapshot after = TakeSnapshot();
    EXPECT_TRUE(after == before) << "the failed registration changed:" << Difference(before, after);
    {
        ComPtr<IDispatch> created;
        EXPECT_EQ(CoCreateInstance(CLSID_clsVornlink, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &created), S_OK);
    }
    EXPECT_EQ(other.unregisterServer(), S_OK);
}

// A server registered from a folder whose name has blanks and characters outside the ANSI code page:
// the registry names it exactly, COM creates the class from there, and unregistering removes it all.
TEST_F(Registration, FromAFolderNamedOutsideTheCodePage)
{
    ASSERT_EQ(unregisterServer(), S_OK);
    const Snapshot unregistered = TakeSnapshot();
    const ServerCopy named(L"registered from \u00E4 \u65E5\u672C \u0416");
    ASSERT_TRUE(named.loaded());
    const std::wstring& copy = named.path;
    ASSERT_EQ(named.registerServer(), S_OK);

    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(CLSID_clsVornlink) + L"\\InprocServer32").c_str(),
                           nullptr, RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), copy) << Narrow(value);
    size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, (L"TypeLib\\" + GuidText(LIBID_VornDriver) + L"\\1.0\\0\\" + kLibraryPlatform).c_str(),
                           nullptr, RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), copy) << Narrow(value);
    {
        ComPtr<IDispatch> created;
        ASSERT_EQ(CoCreateInstance(CLSID_clsVornlink, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &created), S_OK);
        ComPtr<ITypeLib> library;
        EXPECT_EQ(LoadRegTypeLib(LIBID_VornDriver, 1, 0, 0, &library), S_OK);
        ComPtr<_clsVornlink> early;
        ASSERT_EQ(created.As(&early), S_OK);
        Bstr version;
        EXPECT_EQ(early->SPI_VERSION(version.slot()), S_OK);
        EXPECT_EQ(version.view(), L"01.002");
    }
    ASSERT_EQ(named.unregisterServer(), S_OK);
    const Snapshot after = TakeSnapshot();
    EXPECT_TRUE(after == unregistered) << Difference(unregistered, after);
}
