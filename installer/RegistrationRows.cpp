// Build step: writes the server's registration as WiX RegistryValue rows, so that the installer
// registers exactly what DllRegisterServer does. Two sources, both the server's own:
//  - the type library embedded in the DLL, from which the rows the platform's RegisterTypeLib
//    writes are derived (the library key and the interface keys);
//  - the registration table (RegistryEntries), expanded as DllRegisterServer expands it, and
//    applied after the library's rows, as DllRegisterServer applies it.
// A 64-bit Windows keeps two views of HKCR. CLSID and Interface are per view; TypeLib, AppID and
// ProgIDs are shared. The class is registered in the 32-bit view only (the 64-bit side reaches it
// through the surrogate named by its AppID); RegisterTypeLib in a 32-bit process writes the
// interface keys into both views, so 64-bit clients can marshal it. Hence two files: the rows of
// the 32-bit view (shared keys included) and the rows of the 64-bit view.
//
// usage: registration_rows <server dll> <file id> <folder property> <rows32.wxi> <rows64.wxi>
#include "BuildStepFailure.h"
#include "Registration.h"

#include "ResourceOwners.h"

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using vorn::buildstep::Check;
using vorn::buildstep::Fail;

// The platform's marshaler for oleautomation and dual interfaces (PSOAInterface).
constexpr std::wstring_view kTypeLibraryMarshaler = L"{00020424-0000-0000-C000-000000000046}";
// Stand for the DLL's path and folder until the rows are escaped; cannot occur in registry text.
constexpr std::wstring_view kModuleMarker = L"\x01<module>\x01";
constexpr std::wstring_view kFolderMarker = L"\x01<folder>\x01";

struct Row {
    std::wstring key;
    std::wstring name;
    std::wstring value;
    bool bothViews = false;
};

std::string Narrow(std::wstring_view text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return narrow;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// Versions and locale identifiers appear in hexadecimal in these keys, as the platform writes them.
std::wstring Hex(unsigned long number)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"%lx", number);
    return text;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Which views a key lives in. Anything not known here is refused, so that a new kind of key gets
// a decision instead of a guess.
bool InBothViews(std::wstring_view key)
{
    if (StartsWithNoCase(key, L"Interface\\"))
        return true;
    if (StartsWithNoCase(key, L"CLSID\\") || StartsWithNoCase(key, L"TypeLib\\") || StartsWithNoCase(key, L"AppID\\") ||
        EqualNoCase(key, vorn::kProgId) || StartsWithNoCase(key, std::wstring(vorn::kProgId) + L"\\"))
        return false;
    Fail("no registry view is known for the key " + Narrow(key));
}

class RowList {
public:
    // A later value for the same key and name replaces the earlier one, as a second write would.
    void Set(std::wstring key, std::wstring name, std::wstring value)
    {
        for (Row& row : rows_) {
            if (EqualNoCase(row.key, key) && EqualNoCase(row.name, name)) {
                row.value = std::move(value);
                return;
            }
        }
        const bool both = InBothViews(key);
        rows_.push_back({std::move(key), std::move(name), std::move(value), both});
    }
    const std::vector<Row>& rows() const noexcept { return rows_; }

private:
    std::vector<Row> rows_;
};

// The product is 32-bit; the 64-bit test build packages its own server, registered under win64.
#ifdef _WIN64
constexpr SYSKIND kOwnPlatform = SYS_WIN64;
constexpr wchar_t kOwnPlatformKey[] = L"win64";
#else
constexpr SYSKIND kOwnPlatform = SYS_WIN32;
constexpr wchar_t kOwnPlatformKey[] = L"win32";
#endif

// The keys RegisterTypeLib writes for the library and for each interface it registers.
void AddTypeLibraryRows(ITypeLib* library, RowList& rows)
{
    TLIBATTR* attributes = nullptr;
    Check(library->GetLibAttr(&attributes), "ITypeLib::GetLibAttr");
    const TLIBATTR attr = *attributes;
    library->ReleaseTLibAttr(attributes);
    if (attr.syskind != kOwnPlatform)
        Fail("the type library is not built for this platform");

    const std::wstring libraryId = GuidText(attr.guid);
    const std::wstring version = Hex(attr.wMajorVerNum) + L"." + Hex(attr.wMinorVerNum);
    const std::wstring libraryKey = L"TypeLib\\" + libraryId + L"\\" + version;

    vorn::UniqueBstr name;
    vorn::UniqueBstr documentation;
    Check(library->GetDocumentation(-1, name.put(), documentation.put(), nullptr, nullptr),
          "ITypeLib::GetDocumentation");
    rows.Set(libraryKey, {}, std::wstring(documentation.view().empty() ? name.view() : documentation.view()));
    rows.Set(libraryKey + L"\\" + Hex(attr.lcid) + L"\\" + kOwnPlatformKey, {}, std::wstring(kModuleMarker));
    // The loader's own flag (the library came from a file) is not part of the library.
    rows.Set(libraryKey + L"\\FLAGS", {}, std::to_wstring(attr.wLibFlags & ~LIBFLAG_FHASDISKIMAGE));
    rows.Set(libraryKey + L"\\HELPDIR", {}, std::wstring(kFolderMarker));

    const UINT count = library->GetTypeInfoCount();
    for (UINT index = 0; index < count; ++index) {
        ComPtr<ITypeInfo> info;
        Check(library->GetTypeInfo(index, &info), "ITypeLib::GetTypeInfo");
        TYPEATTR* typeAttributes = nullptr;
        Check(info->GetTypeAttr(&typeAttributes), "ITypeInfo::GetTypeAttr");
        const TYPEKIND kind = typeAttributes->typekind;
        const WORD flags = typeAttributes->wTypeFlags;
        const GUID interfaceId = typeAttributes->guid;
        info->ReleaseTypeAttr(typeAttributes);

        const bool marshaledByLibrary = (kind == TKIND_DISPATCH && (flags & TYPEFLAG_FDUAL)) ||
                                        (kind == TKIND_INTERFACE && (flags & TYPEFLAG_FOLEAUTOMATION));
        if (kind == TKIND_DISPATCH && !marshaledByLibrary)
            Fail("a pure dispinterface is registered with another marshaler: add its rows here");
        if (!marshaledByLibrary)
            continue;

        vorn::UniqueBstr interfaceName;
        Check(library->GetDocumentation(static_cast<INT>(index), interfaceName.put(), nullptr, nullptr, nullptr),
              "ITypeLib::GetDocumentation");
        const std::wstring interfaceKey = L"Interface\\" + GuidText(interfaceId);
        rows.Set(interfaceKey, {}, std::wstring(interfaceName.view()));
        rows.Set(interfaceKey + L"\\ProxyStubClsid", {}, std::wstring(kTypeLibraryMarshaler));
        rows.Set(interfaceKey + L"\\ProxyStubClsid32", {}, std::wstring(kTypeLibraryMarshaler));
        rows.Set(interfaceKey + L"\\TypeLib", {}, libraryId);
        rows.Set(interfaceKey + L"\\TypeLib", L"Version", version);
    }
}

void ReplaceAll(std::wstring& text, std::wstring_view from, std::wstring_view to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Windows Installer reads these columns as formatted text: brackets are escaped, then the markers
// become the references the installer resolves ([#file] is the installed file's full path).
std::wstring Formatted(std::wstring text, std::wstring_view fileId, std::wstring_view folderProperty)
{
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'[')
            escaped += L"[\\[]";
        else if (c == L']')
            escaped += L"[\\]]";
        else
            escaped += c;
    }
    ReplaceAll(escaped, kModuleMarker, L"[#" + std::wstring(fileId) + L"]");
    ReplaceAll(escaped, kFolderMarker, L"[" + std::wstring(folderProperty) + L"]");
    return escaped;
}

// XML text, and the WiX preprocessor's "$" doubled. Only printable ASCII is let through: the
// package's code page is not decided here.
std::string XmlAttribute(std::wstring_view text)
{
    std::string xml;
    for (wchar_t c : text) {
        if (c < 0x20 || c >= 0x7F)
            Fail("registry text outside printable ASCII: " + Narrow(text));
        switch (c) {
        case L'&': xml += "&amp;"; break;
        case L'<': xml += "&lt;"; break;
        case L'>': xml += "&gt;"; break;
        case L'"': xml += "&quot;"; break;
        case L'$': xml += "$$"; break;
        default: xml += static_cast<char>(c);
        }
    }
    return xml;
}

std::string RowsText(const std::vector<Row>& rows, bool sixtyFourBit, std::wstring_view fileId,
                     std::wstring_view folderProperty)
{
    std::string out;
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Generated by registration_rows from the server's registration table and type library. -->\n"
           "<Include>\n";
    bool keyPathGiven = false;
    size_t written = 0;
    for (const Row& row : rows) {
        if (sixtyFourBit && !row.bothViews)
            continue;
        std::wstring value = Formatted(row.value, fileId, folderProperty);
        // A leading '#' would make the installer write a number; "##" is a literal '#'.
        if (!value.empty() && value.front() == L'#')
            value.insert(0, 1, L'#');
        if (value.empty() && row.name.empty())
            Fail("an empty default value has no row of its own: " + Narrow(row.key));
        out += "  <RegistryValue Root=\"HKCR\" Key=\"" + XmlAttribute(Formatted(row.key, fileId, folderProperty)) + '"';
        if (!row.name.empty())
            out += " Name=\"" + XmlAttribute(Formatted(row.name, fileId, folderProperty)) + '"';
        out += " Value=\"" + XmlAttribute(value) + "\" Type=\"string\"";
        // The 64-bit component holds nothing else: its first row is its key path.
        if (sixtyFourBit && !keyPathGiven) {
            out += " KeyPath=\"yes\"";
            keyPathGiven = true;
        }
        out += "/>\n";
        ++written;
    }
    out += "</Include>\n";
    if (written == 0)
        Fail(sixtyFourBit ? "no rows for the 64-bit view" : "no rows for the 32-bit view");
    return out;
}

void WriteFile(const wchar_t* path, const std::string& text)
{
    FILE* file = nullptr;
    if (_wfopen_s(&file, path, L"wb") != 0 || !file)
        Fail("cannot create " + Narrow(path));
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written)
        Fail("cannot write " + Narrow(path));
}

int Run(int argc, wchar_t** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: registration_rows <server dll> <file id> <folder property> <rows32.wxi> "
                             "<rows64.wxi>\n");
        return 2;
    }
    const std::wstring serverPath = argv[1];
    const std::wstring_view fileId = argv[2];
    const std::wstring_view folderProperty = argv[3];

    ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(serverPath.c_str(), REGKIND_NONE, &library), "LoadTypeLibEx");

    // DllRegisterServer registers the library first, then writes the table over it.
    RowList rows;
    AddTypeLibraryRows(library.Get(), rows);
    for (const vorn::RegistryEntry& entry : vorn::RegistryEntries())
        rows.Set(vorn::ExpandPlaceholders(entry.key, kModuleMarker), std::wstring(entry.name),
                 vorn::ExpandPlaceholders(entry.value, kModuleMarker));

    WriteFile(argv[4], RowsText(rows.rows(), false, fileId, folderProperty));
    WriteFile(argv[5], RowsText(rows.rows(), true, fileId, folderProperty));
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    int status = 1;
    try {
        status = Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "registration_rows: %s\n", error.what());
    }
    LocalFree(argv);
    return status;
}
