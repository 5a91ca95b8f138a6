// vornsh against the registered server in process: the methods read from its type library, the
// arguments built from words, and what a call brings back. Run from bin/, where no Vorn.dll is found,
// so that only what the server decides before sending is seen (and the library's absence).
#include "ArgumentValues.h"
#include "MethodCall.h"
#include "MethodCatalog.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;
using Words = std::vector<std::wstring>;

namespace {
class RegisteredServer : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CLSID clsid{};
        ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(L"VornDriver.clsVornlink", &clsid)) << "is the server registered?";
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&server)));
        ASSERT_HRESULT_SUCCEEDED(catalog.Load(server.Get()));
    }

    void TearDown() override
    {
        server.Reset();
        CoUninitialize();
    }

    const MethodInfo& Method(const wchar_t* name)
    {
        const MethodInfo* method = catalog.Find(name);
        EXPECT_NE(method, nullptr) << name;
        return method ? *method : empty;
    }

    CallOutcome Call(const wchar_t* name, const Words& words)
    {
        CallArguments arguments;
        const auto error = arguments.Convert(Method(name), words);
        EXPECT_FALSE(error) << error.value_or(L"");
        return CallMethod(server.Get(), Method(name), arguments);
    }

    ComPtr<IDispatch> server;
    MethodCatalog catalog;
    MethodInfo empty;
};
} // namespace

TEST_F(RegisteredServer, MethodsAsTheTypeLibraryDeclaresThem)
{
    ASSERT_EQ(catalog.Methods().size(), 19u);
    EXPECT_EQ(catalog.Methods().front().name, L"SPI_VERSION");
    EXPECT_EQ(catalog.Methods().back().name, L"CMD_IDN");

    const MethodInfo& config = Method(L"config");
    EXPECT_EQ(config.name, L"CONFIG");
    EXPECT_EQ(config.id, 0x60030001);
    EXPECT_TRUE(config.hasResult);
    ASSERT_EQ(config.parameters.size(), 4u);
    for (const Parameter& parameter : config.parameters) {
        EXPECT_EQ(parameter.type, VT_I2);
        EXPECT_TRUE(parameter.byReference);
        EXPECT_FALSE(parameter.optional);
    }
    EXPECT_EQ(Signature(config), L"CONFIG BoardType:int16 BoardNumber:int16 VNAAddress:int16 PrinterPort:int16");
    EXPECT_EQ(Signature(Method(L"VORN_DELAY")), L"VORN_DELAY AdapterDelayInSeconds:double MeasureDelay:int16");
    EXPECT_EQ(Signature(Method(L"Vorn_Fint")), L"VORN_FINT strOnOff:text [strReturn:text]");
    EXPECT_EQ(Signature(Method(L"VORN_CLEAN")), L"VORN_CLEAN");
    EXPECT_FALSE(Method(L"SPI_VERSION").hasResult);
    EXPECT_EQ(Method(L"SYST_ERR").help, L"Returns the error number and the error message in a single string.");
    EXPECT_EQ(Method(L"CMD_IDN").help, L"");

    EXPECT_EQ(catalog.Find(L"CMD_ID"), nullptr);
    EXPECT_EQ(catalog.Find(L"CMD_IDN "), nullptr);
    EXPECT_EQ(catalog.Find(L"QueryInterface"), nullptr); // IDispatch's own methods are not commands
}

TEST_F(RegisteredServer, WordsBecomeArgumentsOrUsageErrors)
{
    const struct {
        const wchar_t* method;
        Words words;
        const wchar_t* error; // nullptr: converted
    } cases[] = {
        {L"CONFIG", {L"1", L"7", L"16", L"1"}, nullptr},
        {L"CONFIG", {L"1", L"7", L"16"}, L"CONFIG takes 4 arguments, 3 given"},
        {L"CONFIG", {L"1", L"7", L"16", L"1", L"2"}, L"CONFIG takes 4 arguments, 5 given"},
        {L"CONFIG", {L"1", L"7", L"16", L"32768"}, L"PrinterPort: 32768 is outside -32768..32767"},
        {L"CONFIG", {L"1", L"seven", L"16", L"1"}, L"BoardNumber: \"seven\" is not a whole number"},
        {L"VORN_CLEAN", {L"now"}, L"VORN_CLEAN takes 0 arguments, 1 given"},
        {L"CMD_IDN", {L"a", L"b"}, L"CMD_IDN takes 1 argument, 2 given"},
        {L"VORN_DELAY", {L"2.5"}, L"VORN_DELAY takes 2 arguments, 1 given"},
        {L"VORN_FINT", {}, nullptr}, // text left out is passed empty
        {L"SYST_ERR", {}, nullptr},
    };
    for (const auto& c : cases) {
        CallArguments arguments;
        const auto error = arguments.Convert(Method(c.method), c.words);
        EXPECT_EQ(error.value_or(L""), c.error ? c.error : L"") << c.method;
    }

    // By reference, last to first, into values the arguments own.
    CallArguments arguments;
    const Words query{L"?"};
    ASSERT_FALSE(arguments.Convert(Method(L"VORN_FINT"), query));
    DISPPARAMS parameters = arguments.Parameters();
    ASSERT_EQ(parameters.cArgs, 2u);
    EXPECT_EQ(V_VT(&parameters.rgvarg[0]), VT_BYREF | VT_BSTR);
    EXPECT_EQ(SysStringLen(*V_BSTRREF(&parameters.rgvarg[0])), 0u);
    EXPECT_EQ(std::wstring(*V_BSTRREF(&parameters.rgvarg[1])), L"?");
    EXPECT_EQ(arguments.TextAt(0), L"?");
}

TEST_F(RegisteredServer, WhatACallBringsBack)
{
    CallOutcome outcome = Call(L"CONFIG", {L"1", L"7", L"40", L"1"});
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_TRUE(outcome.strings.empty());

    // No result code; the version comes back through the text left out.
    outcome = Call(L"SPI_VERSION", {});
    EXPECT_FALSE(outcome.error);
    EXPECT_FALSE(outcome.result);
    ASSERT_EQ(outcome.strings.size(), 1u);
    EXPECT_EQ(outcome.strings[0].parameter, L"version");
    EXPECT_FALSE(outcome.strings[0].text.empty());

    // A string the server leaves as it was is not reported as written back.
    outcome = Call(L"DISP_MENU", {L"NONE"});
    EXPECT_EQ(outcome.result, -1);
    EXPECT_TRUE(outcome.strings.empty());

    outcome = Call(L"VORN_IAV", {L"40000"});
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, static_cast<HRESULT>(0x800A0006));
    EXPECT_EQ(ErrorNumber(outcome.error->code), 6);
    EXPECT_EQ(outcome.error->source, L"VornDriver.clsVornlink");
    EXPECT_FALSE(outcome.result);

    // Normalised, then the module library is missing: the error and the written-back text both come back.
    outcome = Call(L"SENS_CORR_COLL_METH", {L" full "});
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(ErrorNumber(outcome.error->code), 53);
    EXPECT_NE(outcome.error->description.find(L"Vorn.dll"), std::wstring::npos);
    ASSERT_EQ(outcome.strings.size(), 1u);
    EXPECT_EQ(outcome.strings[0].parameter, L"strMethod");
    EXPECT_EQ(outcome.strings[0].text, L"FULL");
}

TEST(AutomationErrors, DescribedAsScriptsSeeThem)
{
    EXPECT_EQ(Describe({static_cast<HRESULT>(0x800A0035), L"VornDriver.clsVornlink", L"File not found: Vorn.dll"}),
              L"automation error 53 (0x800A0035) from VornDriver.clsVornlink: File not found: Vorn.dll");
    EXPECT_EQ(Describe({REGDB_E_CLASSNOTREG, {}, L"cannot create it"}),
              L"automation error 0x80040154: cannot create it");
    // Without a description of its own, the system's text for the code.
    EXPECT_EQ(Describe({E_OUTOFMEMORY, {}, {}}), L"automation error 0x8007000E: " + SystemMessage(E_OUTOFMEMORY));
    EXPECT_EQ(ErrorNumber(E_FAIL), static_cast<long>(E_FAIL));
}
