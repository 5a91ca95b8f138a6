// Late binding: IDispatch by dispatch identifier and by name, named arguments, the VARIANT forms
// script clients pass, and how failures reach a late-bound caller.
#include "ServerUnderTest.h"

#include "RaisedError.h"
#include "support/Arguments.h"

#include <algorithm>

using namespace vorn;
using namespace vorn::test;
using Strings = std::vector<std::string>;

namespace {

constexpr DISPID kConfig = 0x60030001;
constexpr DISPID kFint = 0x60030004;
constexpr DISPID kIav = 0x60030005;
constexpr DISPID kClean = 0x60030007;
constexpr DISPID kMethod = 0x60030008;
constexpr DISPID kSave = 0x6003000B;
constexpr DISPID kSystErr = 0x60030011;

// A late-bound call as a client makes it: arguments in declaration order, named ones last.
struct Call {
    HRESULT outcome = E_FAIL;
    UniqueVariant result;
    EXCEPINFO exception{};
    UINT argumentError = 12345;

    ~Call()
    {
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    }
    std::wstring description() const { return std::wstring(View(exception.bstrDescription)); }
};

void Invoke(IDispatch* object, DISPID id, std::vector<VARIANT> arguments, Call& call, std::vector<DISPID> named = {},
            WORD flags = DISPATCH_METHOD)
{
    // Positional arguments are stored last to first; named ones keep the given order.
    const size_t positional = arguments.size() - named.size();
    std::reverse(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(positional));
    std::rotate(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(positional), arguments.end());
    DISPPARAMS params{arguments.data(), named.data(), static_cast<UINT>(arguments.size()),
                      static_cast<UINT>(named.size())};
    call.outcome = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, call.result.get(), &call.exception,
                                  &call.argumentError);
}

class DispatchTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        ASSERT_EQ(server.As(&dispatch), S_OK);
    }
    void TearDown() override
    {
        dispatch.Reset();
        ServerTest::TearDown();
    }
    ComPtr<IDispatch> dispatch;
};

} // namespace

TEST_F(DispatchTest, NamesMapToConsecutiveIdentifiersAndParameterPositions)
{
    const wchar_t* names[] = {L"SPI_VERSION",
                              L"CONFIG",
                              L"VORN_DELAY",
                              L"DISP_MENU",
                              L"VORN_FINT",
                              L"VORN_IAV",
                              L"VORN_ABORT",
                              L"VORN_CLEAN",
                              L"SENS_CORR_COLL_METH",
                              L"SENS_CORR_COLL_PAR",
                              L"SENS_CORR_COLL_ACQ",
                              L"SENS_CORR_COLL_SAVE",
                              L"SENS_CORR_COLL_DONE",
                              L"SENS_CORR_COLL_NEXT",
                              L"SENS_CORR_COLL_PRIOR",
                              L"SENS_CORR_COLL_RES",
                              L"SENS_CORR_COLL_VIEW",
                              L"SYST_ERR",
                              L"CMD_IDN"};
    for (DISPID expected = 0x60030000; const wchar_t* name : names) {
        DISPID id = 0;
        LPOLESTR asked = const_cast<LPOLESTR>(name);
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &asked, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        EXPECT_EQ(id, expected++) << Narrow(name);
    }
    LPOLESTR withParameters[] = {const_cast<LPOLESTR>(L"config"), const_cast<LPOLESTR>(L"PrinterPort"),
                                 const_cast<LPOLESTR>(L"vnaaddress")};
    DISPID ids[3] = {};
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, withParameters, 3, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], kConfig);
    EXPECT_EQ(ids[1], 3);
    EXPECT_EQ(ids[2], 2);
    LPOLESTR unknown = const_cast<LPOLESTR>(L"SENS_CORR_COLL");
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTest, ConfigByIdentifierWithShortsByReferenceGivesTheResultCode)
{
    short type = 1, number = 7, address = 16, port = 1;
    Call accepted;
    Invoke(dispatch.Get(), kConfig, {ByRef(&type), ByRef(&number), ByRef(&address), ByRef(&port)}, accepted);
    ASSERT_EQ(accepted.outcome, S_OK);
    EXPECT_EQ(V_VT(accepted.result.get()), VT_I4);
    EXPECT_EQ(V_I4(accepted.result.get()), 0);

    address = 40;
    Call rejected;
    Invoke(dispatch.Get(), kConfig, {ByRef(&type), ByRef(&number), ByRef(&address), ByRef(&port)}, rejected);
    ASSERT_EQ(rejected.outcome, S_OK);
    EXPECT_EQ(V_I4(rejected.result.get()), -1);
    EXPECT_EQ(address, 40);
    EXPECT_EQ(Sent(), Strings{"VORN:CONFIG 1,7,16,1"});
}

TEST_F(DispatchTest, NamedArgumentsInAnyOrder)
{
    short type = 2, number = 0, address = 32, port = 4;
    Call call;
    // PrinterPort and BoardType named, the other two positional.
    Invoke(dispatch.Get(), kConfig, {ByRef(&number), ByRef(&address), ByRef(&port), ByRef(&type)}, call, {3, 0});
    // Positional ones fill the first parameters: BoardType is named, so this is a clash.
    EXPECT_EQ(call.outcome, DISP_E_PARAMNOTFOUND);

    Call named;
    Invoke(dispatch.Get(), kConfig, {ByRef(&port), ByRef(&address), ByRef(&type), ByRef(&number)}, named, {3, 2, 0, 1});
    ASSERT_EQ(named.outcome, S_OK);
    EXPECT_EQ(V_I4(named.result.get()), 0);

    BSTR query = Text(L"?").release();
    BSTR reply = nullptr;
    Call fint;
    Invoke(dispatch.Get(), kFint, {ByRef(&query), ByRef(&reply)}, fint, {1});
    ASSERT_EQ(fint.outcome, S_OK);
    EXPECT_EQ(V_I4(fint.result.get()), 0);
    EXPECT_EQ(View(reply).substr(0, 1), L"1");
    SysFreeString(query);
    SysFreeString(reply);
    EXPECT_EQ(Sent(), (Strings{"VORN:CONFIG 2,0,32,4", "VORN:FINT?"}));
}

TEST_F(DispatchTest, OptionalReturnMayBeOmittedOthersMayNot)
{
    for (bool markMissing : {false, true}) {
        SCOPED_TRACE(markMissing ? "omitted as DISP_E_PARAMNOTFOUND" : "omitted trailing argument");
        BSTR query = Text(L"?").release();
        std::vector<VARIANT> arguments{ByRef(&query)};
        if (markMissing)
            arguments.push_back(Missing());
        for (DISPID id : {kFint, kIav}) {
            Call call;
            Invoke(dispatch.Get(), id, arguments, call);
            ASSERT_EQ(call.outcome, S_OK);
            EXPECT_EQ(V_I4(call.result.get()), -1);
        }
        SysFreeString(query);
    }
    BSTR setting = Text(L"off").release();
    Call set;
    Invoke(dispatch.Get(), kFint, {ByRef(&setting)}, set);
    EXPECT_EQ(V_I4(set.result.get()), 0);
    EXPECT_EQ(View(setting), L"OFF");
    SysFreeString(setting);

    Call tooMany;
    Invoke(dispatch.Get(), kClean, {Missing()}, tooMany);
    EXPECT_EQ(tooMany.outcome, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Sent(), Strings{"VORN:FINT OFF"});
}

TEST_F(DispatchTest, VersionHasAnEmptyResultAndAnswersInItsArgument)
{
    BSTR version = nullptr;
    Call call;
    Invoke(dispatch.Get(), 0x60030000, {ByRef(&version)}, call);
    ASSERT_EQ(call.outcome, S_OK);
    EXPECT_EQ(V_VT(call.result.get()), VT_EMPTY);
    EXPECT_EQ(View(version), L"01.002");
    SysFreeString(version);
}

TEST_F(DispatchTest, ScriptVariablesByReferenceGetStringsBackAndKeepTheirType)
{
    // A string variable receives the normalised text.
    UniqueVariant method;
    V_VT(method.get()) = VT_BSTR;
    V_BSTR(method.get()) = Text(L" full ").release();
    Call normalised;
    Invoke(dispatch.Get(), kMethod, {ByRefVariant(method.get())}, normalised);
    ASSERT_EQ(normalised.outcome, S_OK);
    EXPECT_EQ(V_I4(normalised.result.get()), 0);
    EXPECT_EQ(V_VT(method.get()), VT_BSTR);
    EXPECT_EQ(View(V_BSTR(method.get())), L"FULL");

    // An Empty variable receives a query's reply.
    UniqueVariant reply;
    Call query;
    Invoke(dispatch.Get(), kSystErr, {ByRefVariant(reply.get())}, query);
    ASSERT_EQ(query.outcome, S_OK);
    ASSERT_EQ(V_VT(reply.get()), VT_BSTR);
    EXPECT_EQ(View(V_BSTR(reply.get())).substr(0, 13), L"+0,\"No error\"");

    // Numbers are read, never written: a variable holding a long stays a long.
    UniqueVariant type, number, address, port;
    const std::pair<UniqueVariant*, LONG> values[] = {{&type, 1}, {&number, 7}, {&address, 16}, {&port, 1}};
    for (const auto& [variable, value] : values) {
        V_VT(variable->get()) = VT_I4;
        V_I4(variable->get()) = value;
    }
    Call config;
    Invoke(
        dispatch.Get(), kConfig,
        {ByRefVariant(type.get()), ByRefVariant(number.get()), ByRefVariant(address.get()), ByRefVariant(port.get())},
        config);
    ASSERT_EQ(config.outcome, S_OK);
    EXPECT_EQ(V_I4(config.result.get()), 0);
    EXPECT_EQ(V_VT(address.get()), VT_I4);
    EXPECT_EQ(V_I4(address.get()), 16);

    // A number passed for a string is read as its text, and the variable keeps its type.
    UniqueVariant calSet;
    V_VT(calSet.get()) = VT_I2;
    V_I2(calSet.get()) = 2;
    Call save;
    Invoke(dispatch.Get(), kSave, {ByRefVariant(calSet.get())}, save);
    ASSERT_EQ(save.outcome, S_OK);
    EXPECT_EQ(V_VT(calSet.get()), VT_I2);

    // A by-reference setting that isn't changed is not written: an Empty reply stays Empty.
    UniqueVariant average, untouched;
    V_VT(average.get()) = VT_BSTR;
    V_BSTR(average.get()) = Text(L"8").release();
    Call iav;
    Invoke(dispatch.Get(), kIav, {ByRefVariant(average.get()), ByRefVariant(untouched.get())}, iav);
    ASSERT_EQ(iav.outcome, S_OK);
    EXPECT_EQ(V_VT(untouched.get()), VT_EMPTY);

    EXPECT_EQ(Sent(), (Strings{"SENS:CORR:COLL:METH FULL", "SYST:ERR?", "VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:SAVE 2",
                               "VORN:IAV 8"}));
}

TEST_F(DispatchTest, ByValueArgumentsAreCoercedAndNeverWritten)
{
    VARIANT method;
    V_VT(&method) = VT_BSTR;
    V_BSTR(&method) = Text(L" qful").release();
    const BSTR given = V_BSTR(&method);
    Call call;
    Invoke(dispatch.Get(), kMethod, {method}, call);
    ASSERT_EQ(call.outcome, S_OK);
    EXPECT_EQ(V_I4(call.result.get()), 0);
    EXPECT_EQ(V_BSTR(&method), given);
    EXPECT_EQ(View(V_BSTR(&method)), L" qful");
    VariantClear(&method);

    VARIANT numbers[4];
    const wchar_t* texts[] = {L"1", L"7", L"16", L"1"};
    for (int i = 0; i < 4; ++i) {
        V_VT(&numbers[i]) = VT_BSTR;
        V_BSTR(&numbers[i]) = Text(texts[i]).release();
    }
    Call config;
    Invoke(dispatch.Get(), kConfig, {numbers[0], numbers[1], numbers[2], numbers[3]}, config);
    ASSERT_EQ(config.outcome, S_OK);
    EXPECT_EQ(V_I4(config.result.get()), 0);
    for (VARIANT& number : numbers)
        VariantClear(&number);

    VARIANT notANumber;
    V_VT(&notANumber) = VT_BSTR;
    V_BSTR(&notANumber) = Text(L"sixteen").release();
    VARIANT one;
    V_VT(&one) = VT_I4;
    V_I4(&one) = 1;
    Call mismatch;
    Invoke(dispatch.Get(), kConfig, {one, one, notANumber, one}, mismatch);
    EXPECT_EQ(mismatch.outcome, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(mismatch.argumentError, 1u) << "the index in rgvarg: positional arguments are stored last to first";
    VariantClear(&notANumber);

    VARIANT big;
    V_VT(&big) = VT_I4;
    V_I4(&big) = 70000;
    Call overflow;
    Invoke(dispatch.Get(), kConfig, {big, one, one, one}, overflow);
    EXPECT_EQ(overflow.outcome, DISP_E_OVERFLOW);
    EXPECT_EQ(Sent(), (Strings{"SENS:CORR:COLL:METH QFUL", "VORN:CONFIG 1,7,16,1"}));
}

TEST_F(DispatchTest, RaisedErrorsArriveAsExceptionsAndTheObjectStaysUsable)
{
    UseModuleLibraryFolder(L"no-library");
    Call failed;
    Invoke(dispatch.Get(), kClean, {}, failed);
    ASSERT_EQ(failed.outcome, DISP_E_EXCEPTION);
    EXPECT_EQ(failed.exception.scode, kFileNotFound);
    EXPECT_EQ(View(failed.exception.bstrSource), L"VornDriver.clsVornlink");
    EXPECT_NE(failed.description().find(L"Vorn.dll"), std::wstring::npos);

    // Without an EXCEPINFO the caller gets the error's own code.
    DISPPARAMS none{};
    EXPECT_EQ(dispatch->Invoke(kClean, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), kFileNotFound);

    UseModuleLibraryFolder(L"sim");
    Call recovered;
    Invoke(dispatch.Get(), kClean, {}, recovered);
    EXPECT_EQ(recovered.outcome, S_OK);
    EXPECT_EQ(Sent(), Strings{"VORN:CLEAN"});
}

TEST_F(DispatchTest, RequestsTheDispatcherRefuses)
{
    DISPPARAMS none{};
    VARIANT result;
    EXPECT_EQ(dispatch->Invoke(0x60030013, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(dispatch->Invoke(0x5FFFFFFF, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(dispatch->Invoke(kClean, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(dispatch->Invoke(kClean, IID_IDispatch, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(dispatch->Invoke(kClean, IID_NULL, 0, DISPATCH_METHOD, nullptr, &result, nullptr, nullptr), E_INVALIDARG);
    // VBScript's "x = o.VORN_CLEAN()" asks for a method or a property.
    EXPECT_EQ(
        dispatch->Invoke(kClean, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(Sent(), Strings{"VORN:CLEAN"});
}

TEST_F(DispatchTest, TypeInformationComesFromTheEmbeddedLibrary)
{
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->guid, IID__clsVornlink);
    info->ReleaseTypeAttr(attributes);
    ComPtr<ITypeInfo> none;
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &none), DISP_E_BADINDEX);
}

// The platform's own dispatcher on our object: same results, and an omitted optional string
// (which it hands over as a VARIANT) is recognised as omitted.
TEST_F(DispatchTest, StockDispatcherAgreesWithOurs)
{
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
    short type = 1, number = 7, address = 16, port = 1;
    VARIANT config[] = {ByRef(&port), ByRef(&address), ByRef(&number), ByRef(&type)};
    DISPPARAMS params{config, nullptr, 4, 0};
    UniqueVariant result;
    ASSERT_EQ(info->Invoke(server.Get(), kConfig, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_I4(result.get()), 0);

    BSTR query = Text(L"?").release();
    VARIANT fint[] = {ByRef(&query)};
    DISPPARAMS oneArgument{fint, nullptr, 1, 0};
    UniqueVariant fintResult;
    ASSERT_EQ(info->Invoke(server.Get(), kFint, DISPATCH_METHOD, &oneArgument, fintResult.get(), nullptr, nullptr),
              S_OK);
    EXPECT_EQ(V_I4(fintResult.get()), -1);
    SysFreeString(query);

    // Required arguments left out or marked omitted: both dispatchers refuse with the same code,
    // before the method runs.
    BSTR method = Text(L"full").release();
    struct {
        const char* what;
        DISPID id;
        std::vector<VARIANT> arguments; // last to first, as DISPPARAMS holds them
    } missing[] = {
        {"CONFIG with two of its four", kConfig, {ByRef(&number), ByRef(&type)}},
        {"SENS_CORR_COLL_METH with none", kMethod, {}},
        {"SENS_CORR_COLL_METH marked omitted", kMethod, {Missing()}},
        {"CONFIG with the second marked omitted", kConfig, {ByRef(&port), ByRef(&address), Missing(), ByRef(&type)}},
        {"SENS_CORR_COLL_METH with two", kMethod, {ByRef(&method), ByRef(&method)}},
    };
    for (auto& row : missing) {
        SCOPED_TRACE(row.what);
        DISPPARAMS given{row.arguments.data(), nullptr, static_cast<UINT>(row.arguments.size()), 0};
        UniqueVariant stockResult, ourResult;
        const HRESULT stock = info->Invoke(server.Get(), row.id, DISPATCH_METHOD, &given, stockResult.get(), nullptr,
                                           nullptr);
        const HRESULT ours =
            dispatch->Invoke(row.id, IID_NULL, 0, DISPATCH_METHOD, &given, ourResult.get(), nullptr, nullptr);
        EXPECT_TRUE(FAILED(stock));
        EXPECT_EQ(ours, stock) << std::hex << "ours 0x" << ours << ", stock 0x" << stock;
    }
    SysFreeString(method);
    EXPECT_EQ(Sent(), Strings{"VORN:CONFIG 1,7,16,1"});
}
