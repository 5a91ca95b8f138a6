// Requests no well-behaved client makes: unknown dispatch identifiers, wrong flags and argument
// counts, malformed DISPPARAMS, named arguments that don't fit, VARIANT types nobody can coerce,
// null pointers on the vtable and in IDispatch's own methods. Each must come back as a clean
// failure HRESULT, with nothing sent to the module, and leave the object usable.
#include "CallRunner.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <set>

using namespace hardening;

namespace {

constexpr DISPID kConfig = kFirstDispatchId + 1;
constexpr DISPID kFint = kFirstDispatchId + 4;
constexpr DISPID kClean = kFirstDispatchId + 7;
constexpr DISPID kMethod = kFirstDispatchId + 8;
constexpr DISPID kSave = kFirstDispatchId + 11;
constexpr DISPID kIdn = kFirstDispatchId + 18;

class Abuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(UseLibraryFolder(L"sim"));
        SetEnvironment(L"VORN_SIM_FAULT", L"");
        object = NewObject();
        ASSERT_TRUE(object);
        ASSERT_EQ(object.As(&dispatch), S_OK);
    }
    void TearDown() override
    {
        // Still usable: a plain call goes through.
        if (object) {
            log.clear();
            LONG result = 99;
            EXPECT_EQ(object->VORN_CLEAN(&result), S_OK);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(log.sentCommands(), std::vector<std::string>{"VORN:CLEAN"});
        }
        dispatch.Reset();
        object.Reset();
        log.clear();
        CoUninitialize();
    }

    vorn::test::TrafficLog log{BinFolder() + L"\\hardening-" + std::to_wstring(GetCurrentProcessId()) +
                               L".traffic.log"};
    ComPtr<_clsVornlink> object;
    ComPtr<IDispatch> dispatch;
};

VARIANT Of(VARTYPE type, void* reference = nullptr)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    if (type & VT_BYREF)
        V_BYREF(&v) = reference;
    return v;
}

VARIANT I4(LONG value)
{
    VARIANT v = Of(VT_I4);
    V_I4(&v) = value;
    return v;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace

TEST_F(Abuse, MalformedInvokeRequestsAreRefusedCleanly)
{
    static short i2[4] = {1, 7, 16, 1};
    static Bstr text(L"full");
    static VARIANT textVariable = [] {
        VARIANT v = Of(VT_BSTR);
        V_BSTR(&v) = SysAllocString(L"full");
        return v;
    }();
    static VARIANT nested = Of(VT_BYREF | VT_VARIANT, &textVariable);

    struct Row {
        const char* what;
        DISPID id;
        std::vector<VARIANT> rgvarg;   // as IDispatch takes them: named first, positional last to first
        std::vector<DISPID> named;
        std::set<HRESULT> admissible;  // S_OK where the request is odd but legitimate
        WORD flags = DISPATCH_METHOD;
        const IID* iid = &IID_NULL;
        std::function<void(DISPPARAMS&)> spoil = nullptr;
        LCID lcid = LOCALE_USER_DEFAULT;
    };
    const std::set<HRESULT> refusedMember{DISP_E_MEMBERNOTFOUND};
    const std::set<HRESULT> badCount{DISP_E_BADPARAMCOUNT};
    const std::set<HRESULT> badName{DISP_E_PARAMNOTFOUND};
    const std::set<HRESULT> badValue{DISP_E_TYPEMISMATCH, DISP_E_BADVARTYPE, DISP_E_OVERFLOW, E_INVALIDARG,
                                     DISP_E_EXCEPTION, E_POINTER};
    const std::set<HRESULT> invalid{E_INVALIDARG, E_POINTER, DISP_E_BADPARAMCOUNT};

    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    VARIANT arrayValue = Of(VT_ARRAY | VT_BSTR);
    V_ARRAY(&arrayValue) = array;
    VARIANT self = Of(VT_DISPATCH);
    V_DISPATCH(&self) = dispatch.Get();
    VARIANT record = Of(VT_RECORD);

    std::vector<Row> rows = {
        {"DISPID_VALUE", DISPID_VALUE, {}, {}, refusedMember},
        {"DISPID_UNKNOWN", DISPID_UNKNOWN, {}, {}, refusedMember},
        {"DISPID_PROPERTYPUT", DISPID_PROPERTYPUT, {}, {}, refusedMember},
        {"DISPID_NEWENUM", DISPID_NEWENUM, {}, {}, refusedMember},
        {"DISPID_EVALUATE", DISPID_EVALUATE, {}, {}, refusedMember},
        {"just below the first", kFirstDispatchId - 1, {}, {}, refusedMember},
        {"just after the last", kFirstDispatchId + 19, {}, {}, refusedMember},
        {"0x6003FFFF", 0x6003FFFF, {}, {}, refusedMember},
        {"flags 0", kClean, {}, {}, refusedMember, 0},
        {"property get", kClean, {}, {}, refusedMember, DISPATCH_PROPERTYGET},
        {"property put", kClean, {I4(1)}, {DISPID_PROPERTYPUT}, refusedMember, DISPATCH_PROPERTYPUT},
        {"property putref", kClean, {I4(1)}, {DISPID_PROPERTYPUT}, refusedMember, DISPATCH_PROPERTYPUTREF},
        {"unknown flag bits", kClean, {}, {}, refusedMember, 0xFFF0},
        {"interface IID_IDispatch", kClean, {}, {}, {DISP_E_UNKNOWNINTERFACE}, DISPATCH_METHOD, &IID_IDispatch},
        {"no DISPPARAMS", kClean, {}, {}, invalid, DISPATCH_METHOD, &IID_NULL,
         [](DISPPARAMS& p) { p.cArgs = 0xFFFFFFFF; }},
        {"arguments counted, none given", kMethod, {}, {}, invalid, DISPATCH_METHOD, &IID_NULL,
         [](DISPPARAMS& p) { p.cArgs = 1; p.rgvarg = nullptr; }},
        {"named counted, no identifiers", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {}, invalid,
         DISPATCH_METHOD, &IID_NULL, [](DISPPARAMS& p) { p.cNamedArgs = 1; p.rgdispidNamedArgs = nullptr; }},
        {"more named than arguments", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {0}, invalid,
         DISPATCH_METHOD, &IID_NULL, [](DISPPARAMS& p) { p.cNamedArgs = 2; }},
        {"four billion arguments", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {}, invalid, DISPATCH_METHOD,
         &IID_NULL, [](DISPPARAMS& p) { p.cArgs = 0xFFFFFFFF; }},
        {"argument to a method without parameters", kClean, {I4(1)}, {}, badCount},
        {"five arguments to CONFIG", kConfig, {I4(1), I4(1), I4(16), I4(7), I4(1)}, {}, badCount},
        {"three arguments to CONFIG", kConfig, {I4(16), I4(7), I4(1)}, {}, badCount},
        {"no argument to SENS_CORR_COLL_METH", kMethod, {}, {}, badCount},
        {"three arguments to VORN_FINT", kFint, {I4(1), I4(1), I4(1)}, {}, badCount},
        // As the stock dispatcher answers: the marker is no string.
        {"missing marker for a required argument", kMethod, {[] {
             VARIANT v = Of(VT_ERROR);
             V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
             return v;
         }()},
         {}, {DISP_E_TYPEMISMATCH}},
        {"named DISPID_UNKNOWN", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {DISPID_UNKNOWN}, badName},
        {"named DISPID_PROPERTYPUT", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {DISPID_PROPERTYPUT}, badName},
        {"named beyond the parameters", kMethod, {Of(VT_BYREF | VT_BSTR, text.slot())}, {1}, badName},
        {"named far beyond", kConfig, {I4(1), I4(1), I4(16), I4(7)}, {100, 0, 1, 2}, badName},
        {"named twice", kConfig, {I4(1), I4(1), I4(16), I4(7)}, {0, 0, 1, 2}, badName},
        {"named and positional for one parameter", kConfig, {I4(1), I4(1), I4(16), I4(7)}, {0}, badName},
        {"the [out, retval] named", kClean, {I4(0)}, {0}, {DISP_E_PARAMNOTFOUND, DISP_E_BADPARAMCOUNT}},
        {"null BSTR reference", kMethod, {Of(VT_BYREF | VT_BSTR)}, {}, badValue},
        {"null VARIANT reference", kMethod, {Of(VT_BYREF | VT_VARIANT)}, {}, badValue},
        {"null short references", kConfig, {Of(VT_BYREF | VT_I2), Of(VT_BYREF | VT_I2), Of(VT_BYREF | VT_I2),
                                            Of(VT_BYREF | VT_I2)}, {}, badValue},
        {"null double reference", kFirstDispatchId + 2, {Of(VT_BYREF | VT_I2, &i2[0]), Of(VT_BYREF | VT_R8)}, {},
         badValue},
        {"reference to a reference", kMethod, {nested}, {}, [&] {
             auto s = badValue;
             s.insert(S_OK);
             return s;
         }()},
        {"VT_BYREF alone", kMethod, {Of(VT_BYREF)}, {}, badValue},
        {"VT_VARIANT by value", kMethod, {Of(VT_VARIANT)}, {}, badValue},
        {"VT_ILLEGAL", kMethod, {Of(VT_ILLEGAL)}, {}, badValue},
        {"type 0x7FFF", kMethod, {Of(0x7FFF)}, {}, badValue},
        {"a SAFEARRAY of strings", kMethod, {arrayValue}, {}, badValue},
        {"a null record", kMethod, {record}, {}, badValue},
        {"the object itself as a string", kMethod, {self}, {}, badValue},
        {"the object itself as a number", kConfig, {I4(1), I4(1), I4(16), self}, {}, badValue},
        {"a reference to a short for a string", kSave, {Of(VT_BYREF | VT_I2, &i2[1])}, {}, [&] {
             auto s = badValue;
             s.insert(S_OK);
             return s;
         }()},
        {"an unknown locale for a coercion", kSave, {[] {
             VARIANT v = Of(VT_R8);
             V_R8(&v) = 2.5;
             return v;
         }()},
         {}, [&] {
             auto s = badValue;
             s.insert(S_OK);
             return s;
         }(), DISPATCH_METHOD, &IID_NULL, nullptr, 0xDEADBEEF},
    };

    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::printf("%s\n", row.what);  // a crash names its row
        std::fflush(stdout);
        log.clear();
        DISPPARAMS params{row.rgvarg.empty() ? nullptr : row.rgvarg.data(),
                          row.named.empty() ? nullptr : row.named.data(), static_cast<UINT>(row.rgvarg.size()),
                          static_cast<UINT>(row.named.size())};
        DISPPARAMS* given = &params;
        if (row.spoil) {
            row.spoil(params);
            if (params.cArgs == 0xFFFFFFFF && params.rgvarg == nullptr)
                given = nullptr;
        }
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception{};
        UINT argumentError = 0xFFFF;
        const HRESULT hr = dispatch->Invoke(row.id, *row.iid, row.lcid, row.flags, given, &result, &exception,
                                            &argumentError);
        EXPECT_TRUE(row.admissible.count(hr)) << "got " << Hex(hr);
        if (hr == DISP_E_EXCEPTION) {
            EXPECT_TRUE(FAILED(exception.scode));
            EXPECT_GT(SysStringLen(exception.bstrDescription), 0u);
        }
        if (FAILED(hr)) {
            EXPECT_TRUE(log.sentCommands().empty()) << "refused, yet the module received something";
        }
        VariantClear(&result);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);

        // The same without the optional out-parameters.
        if (row.spoil == nullptr) {
            const HRESULT bare = dispatch->Invoke(row.id, *row.iid, row.lcid, row.flags, &params, nullptr, nullptr,
                                                  nullptr);
            EXPECT_TRUE(row.admissible.count(bare) || (hr == DISP_E_EXCEPTION && FAILED(bare)))
                << "without result, exception and error index: " << Hex(bare);
        }
    }
    SafeArrayDestroy(array);
}

TEST_F(Abuse, NullPointersOnTheVtableAreRefusedWithErrorInformation)
{
    // Each pointer parameter of each method in turn null, the others valid.
    for (size_t method = 0; method < Methods().size(); ++method) {
        const MethodInfo& m = Methods()[method];
        const size_t pointers = m.params.size() + (m.hasResult ? 1 : 0);
        for (size_t nulled = 0; nulled < pointers; ++nulled) {
            SCOPED_TRACE(std::string(m.name) + ", pointer " + std::to_string(nulled + 1) + " null");
            const bool optional = nulled < m.params.size() && m.params[nulled] == Param::OptionalText;
            if (optional)
                continue;  // an omitted strReturn: the model's business
            log.clear();
            Bstr texts[2] = {Bstr(L"?"), Bstr(L"kept")};
            const BSTR before[2] = {texts[0].get(), texts[1].get()};
            short shorts[4] = {1, 7, 16, 1};
            double real = 2.5;
            LONG result = 0x5A5A5A5A;
            void* a[4] = {};
            for (size_t p = 0; p < m.params.size(); ++p) {
                if (p == nulled)
                    continue;
                a[p] = m.params[p] == Param::Int16    ? static_cast<void*>(&shorts[p])
                       : m.params[p] == Param::Double ? static_cast<void*>(&real)
                                                      : static_cast<void*>(texts[p].slot());
            }
            LONG* r = nulled == m.params.size() ? nullptr : &result;
            _clsVornlink* o = object.Get();
            const auto s = [&](int i) { return static_cast<BSTR*>(a[i]); };
            const auto i2 = [&](int i) { return static_cast<short*>(a[i]); };
            SetErrorInfo(0, nullptr);
            HRESULT hr = S_OK;
            switch (method) {
            case 0: hr = o->SPI_VERSION(s(0)); break;
            case 1: hr = o->CONFIG(i2(0), i2(1), i2(2), i2(3), r); break;
            case 2: hr = o->VORN_DELAY(static_cast<double*>(a[0]), i2(1), r); break;
            case 3: hr = o->DISP_MENU(s(0), r); break;
            case 4: hr = o->VORN_FINT(s(0), s(1), r); break;
            case 5: hr = o->VORN_IAV(s(0), s(1), r); break;
            case 6: hr = o->VORN_ABORT(r); break;
            case 7: hr = o->VORN_CLEAN(r); break;
            case 8: hr = o->SENS_CORR_COLL_METH(s(0), r); break;
            case 9: hr = o->SENS_CORR_COLL_PAR(s(0), r); break;
            case 10: hr = o->SENS_CORR_COLL_ACQ(s(0), r); break;
            case 11: hr = o->SENS_CORR_COLL_SAVE(s(0), r); break;
            case 12: hr = o->SENS_CORR_COLL_DONE(r); break;
            case 13: hr = o->SENS_CORR_COLL_NEXT(r); break;
            case 14: hr = o->SENS_CORR_COLL_PRIOR(r); break;
            case 15: hr = o->SENS_CORR_COLL_RES(r); break;
            case 16: hr = o->SENS_CORR_COLL_VIEW(s(0), r); break;
            case 17: hr = o->SYST_ERR(s(0), r); break;
            case 18: hr = o->CMD_IDN(s(0), r); break;
            }
            EXPECT_TRUE(FAILED(hr)) << "a null pointer was accepted: " << Hex(hr);
            EXPECT_FALSE(TakeErrorDescription().empty()) << "no error information";
            EXPECT_TRUE(log.sentCommands().empty()) << "the module received something";
            for (int t = 0; t < 2; ++t)
                EXPECT_EQ(texts[t].get(), before[t]) << "a string was replaced although the call was refused";
        }
    }
}

TEST_F(Abuse, IDispatchAndIUnknownWithHostileArguments)
{
    const std::wstring megabyteName(1 << 20, L'A');
    const wchar_t zeroInside[] = L"CONFIG\0X";
    struct Row {
        const char* what;
        std::function<HRESULT()> call;
        std::set<HRESULT> admissible;
    };
    DISPID ids[8] = {};
    LPOLESTR one[1] = {const_cast<LPOLESTR>(L"CONFIG")};
    LPOLESTR emptyName[1] = {const_cast<LPOLESTR>(L"")};
    LPOLESTR longName[1] = {const_cast<LPOLESTR>(megabyteName.c_str())};
    LPOLESTR zeroName[1] = {const_cast<LPOLESTR>(zeroInside)};
    LPOLESTR foreignName[1] = {const_cast<LPOLESTR>(L"\u65E5\u672C\xD800")};
    LPOLESTR unknownParameter[2] = {const_cast<LPOLESTR>(L"CONFIG"), const_cast<LPOLESTR>(L"strMenu")};
    LPOLESTR parameterOfOther[2] = {const_cast<LPOLESTR>(L"VORN_FINT"), const_cast<LPOLESTR>(L"BoardType")};
    const std::set<HRESULT> unknown{DISP_E_UNKNOWNNAME};
    const std::set<HRESULT> invalid{E_INVALIDARG, E_POINTER};
    std::vector<Row> rows = {
        {"count 0", [&] { return dispatch->GetIDsOfNames(IID_NULL, one, 0, 0, ids); },
         {S_OK, E_INVALIDARG, DISP_E_UNKNOWNNAME}},
        {"an empty name", [&] { return dispatch->GetIDsOfNames(IID_NULL, emptyName, 1, 0, ids); }, unknown},
        {"a name of 1 MB", [&] { return dispatch->GetIDsOfNames(IID_NULL, longName, 1, 0, ids); }, unknown},
        {"a zero inside a name", [&] { return dispatch->GetIDsOfNames(IID_NULL, zeroName, 1, 0, ids); },
         {S_OK, DISP_E_UNKNOWNNAME}},
        {"characters outside ASCII", [&] { return dispatch->GetIDsOfNames(IID_NULL, foreignName, 1, 0, ids); },
         unknown},
        {"a parameter of another method",
         [&] { return dispatch->GetIDsOfNames(IID_NULL, parameterOfOther, 2, 0, ids); }, unknown},
        {"an unknown parameter", [&] { return dispatch->GetIDsOfNames(IID_NULL, unknownParameter, 2, 0, ids); },
         unknown},
        {"another interface", [&] { return dispatch->GetIDsOfNames(IID_IDispatch, one, 1, 0, ids); },
         {DISP_E_UNKNOWNINTERFACE}},
        {"an unknown locale", [&] { return dispatch->GetIDsOfNames(IID_NULL, one, 1, 0xDEADBEEF, ids); },
         {S_OK, DISP_E_UNKNOWNLCID}},
        {"type information count into null", [&] { return dispatch->GetTypeInfoCount(nullptr); }, invalid},
        {"type information into null", [&] { return dispatch->GetTypeInfo(0, 0, nullptr); }, invalid},
        {"type information 1", [&] {
             ComPtr<ITypeInfo> info;
             return dispatch->GetTypeInfo(1, 0, &info);
         }, {DISP_E_BADINDEX}},
        {"type information 0xFFFFFFFF", [&] {
             ComPtr<ITypeInfo> info;
             return dispatch->GetTypeInfo(0xFFFFFFFF, 0, &info);
         }, {DISP_E_BADINDEX}},
        {"QueryInterface into null", [&] { return dispatch->QueryInterface(IID_IDispatch, nullptr); }, invalid},
        {"QueryInterface for IClassFactory", [&] {
             ComPtr<IUnknown> none;
             const HRESULT hr = dispatch->QueryInterface(IID_IClassFactory, &none);
             return none ? E_UNEXPECTED : hr;
         }, {E_NOINTERFACE}},
        {"ISupportErrorInfo for another interface", [&] {
             ComPtr<ISupportErrorInfo> support;
             const HRESULT hr = dispatch.As(&support);
             return FAILED(hr) ? S_FALSE : support->InterfaceSupportsErrorInfo(IID_IClassFactory);
         }, {S_FALSE}},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::printf("%s\n", row.what);
        std::fflush(stdout);
        const HRESULT hr = row.call();
        EXPECT_TRUE(row.admissible.count(hr)) << "got " << Hex(hr);
    }
}

// Identifiers as far from the method range as they go: finding them out of range must not itself
// overflow (the checked build traps on signed overflow).
TEST_F(Abuse, DispatchIdentifiersFarOutsideTheRangeAreRefused)
{
    for (const DISPID id : {INT_MIN, INT_MIN + 1, -0x20000000, INT_MAX, INT_MAX - 0x10000000}) {
        SCOPED_TRACE(id);
        std::printf("%ld\n", static_cast<long>(id));
        std::fflush(stdout);
        DISPPARAMS none{};
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND);
    }
}

// Null where GetIDsOfNames expects its arrays, or a null name in the array.
TEST_F(Abuse, GetIDsOfNamesWithNullPointersFailsCleanly)
{
    DISPID ids[2] = {};
    LPOLESTR one[1] = {const_cast<LPOLESTR>(L"CONFIG")};
    LPOLESTR nullName[2] = {const_cast<LPOLESTR>(L"CONFIG"), nullptr};
    struct Row {
        const char* what;
        std::function<HRESULT()> call;
    } rows[] = {
        {"no identifiers", [&] { return dispatch->GetIDsOfNames(IID_NULL, one, 1, 0, nullptr); }},
        {"a null parameter name", [&] { return dispatch->GetIDsOfNames(IID_NULL, nullName, 2, 0, ids); }},
        {"no names", [&] { return dispatch->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids); }},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::printf("%s\n", row.what);  // a crash names its row
        std::fflush(stdout);
        const HRESULT hr = row.call();
        EXPECT_TRUE(hr == E_INVALIDARG || hr == E_POINTER || hr == DISP_E_UNKNOWNNAME) << "got " << Hex(hr);
    }
}

namespace {

// An object whose value (DISPID_VALUE) runs a callback: the dispatch layer asks for it when it
// coerces the object to a string, so the callback runs inside the server's Invoke.
class ValueObject : public IDispatch {
public:
    explicit ValueObject(std::function<void()> onValue) : onValue_(std::move(onValue)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch)
            return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }  // lives on the stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override
    {
        if (id != DISPID_VALUE || !result)
            return DISP_E_MEMBERNOTFOUND;
        if (onValue_)
            onValue_();
        VariantInit(result);
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(L" full ");
        return S_OK;
    }
    ULONG references() const { return references_; }

private:
    std::function<void()> onValue_;
    ULONG references_ = 1;
};

} // namespace

// Calls made from inside the coercion of an argument, back into the same object.
TEST_F(Abuse, ArgumentWhoseCoercionCallsBackIntoTheObject)
{
    log.clear();
    ValueObject reentering([&] {
        Bstr average(L"99999");
        LONG r = 99;
        EXPECT_TRUE(FAILED(object->VORN_IAV(average.slot(), nullptr, &r))) << "overflow raised inside";
        EXPECT_EQ(object->VORN_CLEAN(&r), S_OK);
    });
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_DISPATCH;
    V_DISPATCH(&argument) = &reentering;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(dispatch->Invoke(kMethod, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 0);
    EXPECT_EQ(log.sentCommands(), (std::vector<std::string>{"VORN:CLEAN", "SENS:CORR:COLL:METH FULL"}));
    EXPECT_EQ(reentering.references(), 1u) << "the argument's reference count is off";
}

// A client that releases its last reference while its call runs: the object stays alive until the
// call has ended, also when that happens while the dispatch layer is still coercing the arguments.
TEST_F(Abuse, ObjectReleasedWhileItsInvokeCoercesAnArgument)
{
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    const auto canUnload = ServerExport<CanUnloadNow>("DllCanUnloadNow");
    ASSERT_TRUE(canUnload);
    // This fixture's own object aside, the client holds one reference, released from inside the coercion.
    object.Reset();
    dispatch.Reset();
    log.clear();
    IDispatch* only = nullptr;
    ASSERT_EQ(NewObject()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&only)), S_OK);
    HRESULT aliveDuringTheCall = E_FAIL;
    ValueObject releasing([&] {
        only->Release();
        aliveDuringTheCall = canUnload();
    });
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_DISPATCH;
    V_DISPATCH(&argument) = &releasing;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(only->Invoke(kMethod, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(aliveDuringTheCall, S_FALSE) << "the object was destroyed while its Invoke was running";
    EXPECT_EQ(log.sentCommands(), std::vector<std::string>{"SENS:CORR:COLL:METH FULL"});
    EXPECT_EQ(canUnload(), S_OK) << "the released object outlived its call";
    object = NewObject();
    ASSERT_TRUE(object);
    ASSERT_EQ(object.As(&dispatch), S_OK);
}

// One string passed for both of a method's strings: the method replaces it once, or twice in turn,
// and frees nothing the caller still holds.
TEST_F(Abuse, OneStringPassedForBothParameters)
{
    struct Case {
        const wchar_t* given;
        DISPID id;
        const char* sent;
        const wchar_t* holdsStart;  // what the string starts with afterwards
    } cases[] = {
        {L"?", kFint, "VORN:FINT?", nullptr},  // the reply: "1" or "0"
        {L"?", kFirstDispatchId + 5, "VORN:IAV?", nullptr},
        {L" on ", kFint, "VORN:FINT ON", L"ON"},
        {L"7", kFirstDispatchId + 5, "VORN:IAV 7", L"7"},
    };
    for (const Case& c : cases) {
        for (int route = 0; route < 3; ++route) {
            SCOPED_TRACE(std::to_string(route) + " " + c.sent);
            log.clear();
            Bstr text(c.given);
            VARIANT variable;
            VariantInit(&variable);
            LONG r = 99;
            HRESULT hr = E_FAIL;
            if (route == 0) {
                hr = c.id == kFint ? object->VORN_FINT(text.slot(), text.slot(), &r)
                                   : object->VORN_IAV(text.slot(), text.slot(), &r);
            } else {
                VARIANT both[2];
                if (route == 1) {
                    both[0] = Of(VT_BYREF | VT_BSTR, text.slot());
                } else {
                    V_VT(&variable) = VT_BSTR;
                    V_BSTR(&variable) = text.release();
                    both[0] = Of(VT_BYREF | VT_VARIANT, &variable);
                }
                both[1] = both[0];
                DISPPARAMS params{both, nullptr, 2, 0};
                VARIANT result;
                VariantInit(&result);
                hr = dispatch->Invoke(c.id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
                r = V_VT(&result) == VT_I4 ? V_I4(&result) : 99;
            }
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(r, 0);
            EXPECT_EQ(log.sentCommands(), std::vector<std::string>{c.sent});
            const std::wstring_view holds = route == 2 ? View(V_BSTR(&variable)) : text.view();
            if (c.holdsStart)
                EXPECT_EQ(holds.substr(0, wcslen(c.holdsStart)), c.holdsStart);
            else
                EXPECT_TRUE(!holds.empty() && (holds[0] == L'0' || holds[0] == L'1')) << Printable(holds);
            VariantClear(&variable);
        }
    }
}
