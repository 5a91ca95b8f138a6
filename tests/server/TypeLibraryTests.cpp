// The type library and the version resource as a client reads them from Vornlink.dll.
#include "ServerUnderTest.h"

#include <map>

using namespace vorn;
using namespace vorn::test;

namespace {

struct ExpectedMethod {
    const wchar_t* name;
    std::vector<const wchar_t*> parameters;
    std::vector<VARTYPE> types; // each by reference
    bool hasResult;
    const wchar_t* help; // nullptr: none
};

const std::vector<ExpectedMethod> kMethods = {
    {L"SPI_VERSION", {L"version"}, {VT_BSTR}, false, nullptr},
    {L"CONFIG",
     {L"BoardType", L"BoardNumber", L"VNAAddress", L"PrinterPort"},
     {VT_I2, VT_I2, VT_I2, VT_I2},
     true,
     L"Configures the Vorn system with the BoardType (1=CV, 2=NI), BoardNumber (CV usually 7, NI usually 0), "
     L"NWAAddress (addres of the network analyzer), PrinterPort (1=LPT1, 2=LPT2 ....)"},
    {L"VORN_DELAY", {L"AdapterDelayInSeconds", L"MeasureDelay"}, {VT_R8, VT_I2}, true, nullptr},
    {L"DISP_MENU",
     {L"strMenu"},
     {VT_BSTR},
     true,
     L"Displays a menu. strMenu must equal one of the following strings VORN, CONF, SERV, MODI, S11C, S22C, FULL, "
     L"QFUL, ADAP, QAD, CCH, CCHA, CCHB  "},
    {L"VORN_FINT",
     {L"strOnOff", L"strReturn"},
     {VT_BSTR, VT_BSTR},
     true,
     L"Enables, disables or return the frequency interpolation capability. strOnOff = On, Off or ?. When "
     L"returning the current state (strOnOff = ?) the return values are either 1=enabled, 0=disabled."},
    {L"VORN_IAV",
     {L"strAvg", L"strReturn"},
     {VT_BSTR, VT_BSTR},
     true,
     L"Sets or gets the number of averages. If strAvg is ?, the number of averages is returned in strReturn."},
    {L"VORN_ABORT", {}, {}, true, nullptr},
    {L"VORN_CLEAN", {}, {}, true, nullptr},
    {L"SENS_CORR_COLL_METH",
     {L"strMethod"},
     {VT_BSTR},
     true,
     L"strMedhod can be ADAP, CCH, FULL, QAD, QFUL, S11C, S22C. Initiates a calibration of the specified type."},
    {L"SENS_CORR_COLL_PAR",
     {L"strParameter"},
     {VT_BSTR},
     true,
     L"Determines which parameter will be measured. strParameter can be S11, S21, S12, S22"},
    {L"SENS_CORR_COLL_ACQ",
     {L"strModule"},
     {VT_BSTR},
     true,
     L"Initiates the measurement of a specified (A or B) Vorn module."},
    {L"SENS_CORR_COLL_SAVE", {L"strCalSet"}, {VT_BSTR}, true, nullptr},
    {L"SENS_CORR_COLL_DONE",
     {},
     {},
     true,
     L"Inidcates completion of the confidence check, set module to idle state and restore analyzer display"},
    {L"SENS_CORR_COLL_NEXT",
     {},
     {},
     true,
     L"Used to progress from phase 1 to phase 2 of the adapter calibration process."},
    {L"SENS_CORR_COLL_PRIOR", {}, {}, true, nullptr},
    {L"SENS_CORR_COLL_RES", {}, {}, true, nullptr},
    {L"SENS_CORR_COLL_VIEW",
     {L"strView"},
     {VT_BSTR},
     true,
     L"Sets the display mode of the analyzer. strView can be BOTH or DIV,."},
    {L"SYST_ERR",
     {L"strErrorNumAndMessage"},
     {VT_BSTR},
     true,
     L"Returns the error number and the error message in a single string."},
    {L"CMD_IDN", {L"strReturn"}, {VT_BSTR}, true, nullptr},
};

std::wstring Doc(ITypeLib* library, INT index, std::wstring* help = nullptr)
{
    UniqueBstr name, doc;
    EXPECT_EQ(library->GetDocumentation(index, name.put(), doc.put(), nullptr, nullptr), S_OK);
    if (help)
        *help = doc.view();
    return std::wstring(name.view());
}

ComPtr<ITypeLib> EmbeddedLibrary()
{
    ComPtr<ITypeLib> library;
    EXPECT_EQ(LoadTypeLibEx((BinFolder() + L"\\Vornlink.dll").c_str(), REGKIND_NONE, &library), S_OK);
    return library;
}

} // namespace

TEST(TypeLibrary, LibraryAttributesAndItsTwoTypes)
{
    const auto library = EmbeddedLibrary();
    ASSERT_TRUE(library);
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->guid, LIBID_VornDriver);
    EXPECT_EQ(attributes->lcid, 0u);
    EXPECT_EQ(attributes->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32) << "the platform the server is built for";
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0) << "no library flags of its own";
    library->ReleaseTLibAttr(attributes);

    std::wstring help;
    EXPECT_EQ(Doc(library.Get(), -1, &help), L"VornDriver");
    EXPECT_EQ(help, L"");
    ASSERT_EQ(library->GetTypeInfoCount(), 2u);
    EXPECT_EQ(Doc(library.Get(), 0, &help), L"_clsVornlink");
    EXPECT_EQ(help, L"");
    EXPECT_EQ(Doc(library.Get(), 1, &help), L"clsVornlink");
    EXPECT_EQ(help, L"");

    ComPtr<ITypeLib2> library2;
    ASSERT_EQ(library.As(&library2), S_OK);
    CUSTDATA custom{};
    ASSERT_EQ(library2->GetAllCustData(&custom), S_OK);
    EXPECT_EQ(custom.cCustData, 0u);
    ClearCustData(&custom);

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_clsVornlink, &coclass), S_OK);
    TYPEATTR* classAttributes = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&classAttributes), S_OK);
    EXPECT_EQ(classAttributes->typekind, TKIND_COCLASS);
    EXPECT_EQ(classAttributes->wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(classAttributes->cImplTypes, 1);
    EXPECT_EQ(classAttributes->wMajorVerNum, 1);
    EXPECT_EQ(classAttributes->wMinorVerNum, 0);
    coclass->ReleaseTypeAttr(classAttributes);
    INT implementationFlags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &implementationFlags), S_OK);
    EXPECT_EQ(implementationFlags, IMPLTYPEFLAG_FDEFAULT);
}

TEST(TypeLibrary, DualInterfaceWithNineteenMethodsAsDeclared)
{
    const auto library = EmbeddedLibrary();
    ASSERT_TRUE(library);
    ComPtr<ITypeInfo> dispatchInfo, vtableInfo;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID__clsVornlink, &dispatchInfo), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(dispatchInfo->GetTypeAttr(&attributes), S_OK);
    const WORD declaredFlags =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    // Wine's loader reports the dispatch half of a dual interface without FOLEAUTOMATION; the
    // flags stored in the library are those of the interface half, checked below.
    EXPECT_EQ(attributes->wTypeFlags | TYPEFLAG_FOLEAUTOMATION, declaredFlags);
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    dispatchInfo->ReleaseTypeAttr(attributes);

    HREFTYPE reference = 0;
    ASSERT_EQ(dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference), S_OK);
    ASSERT_EQ(dispatchInfo->GetRefTypeInfo(reference, &vtableInfo), S_OK);
    ASSERT_EQ(vtableInfo->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attributes->wTypeFlags, declaredFlags);
    EXPECT_EQ(attributes->cFuncs, 19);
    EXPECT_EQ(attributes->cbSizeVft, (3 + 4 + 19) * sizeof(void*)) << "IUnknown, IDispatch, then ours only";
    vtableInfo->ReleaseTypeAttr(attributes);

    for (UINT index = 0; index < kMethods.size(); ++index) {
        const ExpectedMethod& expected = kMethods[index];
        SCOPED_TRACE(Narrow(expected.name));
        FUNCDESC* function = nullptr;
        ASSERT_EQ(vtableInfo->GetFuncDesc(index, &function), S_OK);
        EXPECT_EQ(function->memid, static_cast<MEMBERID>(0x60030000 + index));
        EXPECT_EQ(function->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(function->invkind, INVOKE_FUNC);
        EXPECT_EQ(function->callconv, CC_STDCALL);
        EXPECT_EQ(function->wFuncFlags, 0);
        EXPECT_EQ(function->oVft, static_cast<SHORT>((7 + index) * sizeof(void*)));
        EXPECT_EQ(function->elemdescFunc.tdesc.vt, VT_HRESULT);
        const size_t declared = expected.parameters.size();
        ASSERT_EQ(static_cast<size_t>(function->cParams), declared + (expected.hasResult ? 1 : 0));
        for (size_t p = 0; p < declared; ++p) {
            const ELEMDESC& parameter = function->lprgelemdescParam[p];
            ASSERT_EQ(parameter.tdesc.vt, VT_PTR);
            EXPECT_EQ(parameter.tdesc.lptdesc->vt, expected.types[p]);
            const bool optional = std::wstring(expected.parameters[p]) == L"strReturn" && declared == 2;
            EXPECT_EQ(parameter.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT | (optional ? PARAMFLAG_FOPT : 0))
                << "parameter " << p;
        }
        if (expected.hasResult) {
            const ELEMDESC& result = function->lprgelemdescParam[declared];
            ASSERT_EQ(result.tdesc.vt, VT_PTR);
            EXPECT_EQ(result.tdesc.lptdesc->vt, VT_I4);
            EXPECT_EQ(result.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        }
        BSTR names[8] = {};
        UINT count = 0;
        ASSERT_EQ(vtableInfo->GetNames(function->memid, names, 8, &count), S_OK);
        ASSERT_GE(count, 1 + declared);
        EXPECT_EQ(View(names[0]), expected.name);
        for (size_t p = 0; p < declared; ++p)
            EXPECT_EQ(View(names[p + 1]), expected.parameters[p]);
        for (UINT n = 0; n < count; ++n)
            SysFreeString(names[n]);

        UniqueBstr help;
        DWORD context = 99;
        ASSERT_EQ(vtableInfo->GetDocumentation(function->memid, nullptr, help.put(), &context, nullptr), S_OK);
        EXPECT_EQ(help.view(), expected.help ? expected.help : L"");
        EXPECT_EQ(context, 0u);
        vtableInfo->ReleaseFuncDesc(function);
    }
}

namespace {

// The keys of the string table, in the order they are stored, read from the raw resource.
std::vector<std::wstring> StringTableKeys(const BYTE* block)
{
    struct Header {
        WORD length, valueLength, type;
    };
    const auto align = [](const BYTE* p, const BYTE* base) { return base + ((p - base + 3) & ~3); };
    const auto key = [](const BYTE* p) { return reinterpret_cast<const wchar_t*>(p + sizeof(Header)); };
    const auto childrenOf = [&](const BYTE* p, size_t valueBytes) {
        const BYTE* afterKey = align(reinterpret_cast<const BYTE*>(key(p) + wcslen(key(p)) + 1), block);
        return align(afterKey + valueBytes, block);
    };
    const auto* root = reinterpret_cast<const Header*>(block);
    std::vector<std::wstring> keys;
    for (const BYTE* child = childrenOf(block, root->valueLength); child < block + root->length;) {
        const auto* header = reinterpret_cast<const Header*>(child);
        if (std::wstring(key(child)) == L"StringFileInfo") {
            const BYTE* table = childrenOf(child, 0);
            const auto* tableHeader = reinterpret_cast<const Header*>(table);
            for (const BYTE* entry = childrenOf(table, 0); entry < table + tableHeader->length;) {
                keys.emplace_back(key(entry));
                entry = align(entry + reinterpret_cast<const Header*>(entry)->length, block);
            }
        }
        child = align(child + header->length, block);
    }
    return keys;
}

} // namespace

TEST(VersionResource, FixedPartStringTableAndTranslation)
{
    const std::wstring path = BinFolder() + L"\\Vornlink.dll";
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);

    const std::map<std::wstring, std::wstring> fixedValues = {
        {L"ProductName", L"Vornlink"},          {L"FileVersion", L"1.00"},
        {L"ProductVersion", L"1.00"},           {L"InternalName", L"Vornlink"},
        {L"OriginalFilename", L"Vornlink.dll"}, {L"OLESelfRegister", L""}};
    for (const auto& [name, value] : fixedValues) {
        wchar_t* text = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), (L"\\StringFileInfo\\040904B0\\" + name).c_str(),
                                   reinterpret_cast<void**>(&text), &length))
            << Narrow(name);
        EXPECT_EQ(std::wstring(text), value);
    }
    EXPECT_EQ(StringTableKeys(block.data()),
              (std::vector<std::wstring>{L"CompanyName", L"ProductName", L"FileVersion", L"ProductVersion",
                                         L"InternalName", L"OriginalFilename", L"OLESelfRegister"}));

    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);
}
