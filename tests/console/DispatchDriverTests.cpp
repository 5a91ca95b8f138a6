#include "AutomationString.h"
#include "DispatchDriver.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

namespace {
// An automation object whose Invoke is the test's to define.
class FakeDispatch : public IDispatch {
public:
    using Handler = std::function<HRESULT(DISPID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*)>;
    explicit FakeDispatch(Handler handler) : handler_(std::move(handler)) {}

    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; } // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT*) override
    {
        return handler_(id, flags, params, result, exception);
    }

private:
    Handler handler_;
};

HRESULT ReturnI4(VARIANT* result, long value)
{
    V_VT(result) = VT_I4;
    V_I4(result) = value;
    return S_OK;
}

TEST(DispatchDriverTest, SlotHoldsTheStringTheServerWroteBack)
{
    FakeDispatch fake([](DISPID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*) {
        EXPECT_EQ(params->cArgs, 1u);
        EXPECT_EQ(V_VT(&params->rgvarg[0]), VT_BYREF | VT_BSTR);
        BSTR& slot = *V_BSTRREF(&params->rgvarg[0]);
        EXPECT_STREQ(slot, L"full");
        SysFreeString(slot);
        slot = SysAllocString(L"FULL");
        return ReturnI4(result, 0);
    });
    DispatchDriver driver;
    driver.AttachDispatch(&fake);

    BstrSlot method = MakeAutomationString("full");
    const std::array args{ByRef(method.Get())};
    EXPECT_EQ(driver.InvokeMethod(0x60030008, args).value, 0);
    EXPECT_STREQ(method.Get(), L"FULL");
}

TEST(DispatchDriverTest, ResultIsCoercedToI4)
{
    const struct {
        VARTYPE type;
        const wchar_t* text;
        HRESULT hr;
        long value;
    } cases[] = {
        {VT_I2, nullptr, S_OK, -1},
        {VT_BSTR, L"12", S_OK, 12},
        {VT_BSTR, L"no number", DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : cases) {
        FakeDispatch fake([&](DISPID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
            V_VT(result) = c.type;
            if (c.type == VT_I2)
                V_I2(result) = -1;
            else
                V_BSTR(result) = SysAllocString(c.text);
            return S_OK;
        });
        DispatchDriver driver;
        driver.AttachDispatch(&fake);
        const InvokeResult r = driver.InvokeMethod(0x60030007, {});
        EXPECT_EQ(r.hr, c.hr) << c.type;
        EXPECT_EQ(r.value, c.value) << c.type;
    }
}

TEST(DispatchDriverTest, ConnectionReleasedWithTheDriver)
{
    FakeDispatch fake([](DISPID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*) { return ReturnI4(result, 0); });
    {
        DispatchDriver driver;
        driver.AttachDispatch(&fake);
        EXPECT_TRUE(driver.Created());
        EXPECT_EQ(fake.references, 2u);
        driver.InvokeMethod(0x60030007, {});
        EXPECT_EQ(fake.references, 2u);
    }
    EXPECT_EQ(fake.references, 1u);
}

TEST(AutomationStringTest, ConvertsFromTheAnsiCodePage)
{
    EXPECT_STREQ(MakeAutomationString("full").Get(), L"full");
    const BstrSlot empty = MakeAutomationString("");
    ASSERT_NE(empty.Get(), nullptr);
    EXPECT_EQ(SysStringLen(empty.Get()), 0u);
    if (GetACP() == 1252) {
        EXPECT_STREQ(MakeAutomationString("\xE9").Get(), L"\u00E9");
        EXPECT_STREQ(MakeAutomationString("\x80").Get(), L"\u20AC");
    }
}

} // namespace
