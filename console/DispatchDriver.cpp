#include "DispatchDriver.h"

#include <comutil.h>

#include <vector>

namespace {
// Frees the strings of an exception the server raised.
struct ExceptionInfo : EXCEPINFO {
    ExceptionInfo() noexcept : EXCEPINFO{} {}
    ExceptionInfo(const ExceptionInfo&) = delete;
    ExceptionInfo& operator=(const ExceptionInfo&) = delete;
    ~ExceptionInfo()
    {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};
} // namespace

HRESULT DispatchDriver::CreateDispatch(const wchar_t* progId)
{
    ReleaseDispatch();
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        return hr;
    Microsoft::WRL::ComPtr<IDispatch> dispatch;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, reinterpret_cast<void**>(dispatch.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    dispatch_ = std::move(dispatch);
    return S_OK;
}

void DispatchDriver::AttachDispatch(Microsoft::WRL::ComPtr<IDispatch> dispatch) noexcept
{
    dispatch_ = std::move(dispatch);
}

void DispatchDriver::ReleaseDispatch() noexcept
{
    dispatch_.Reset();
}

InvokeResult DispatchDriver::InvokeMethod(DISPID id, std::span<const VARIANT> args) const
{
    if (dispatch_ == nullptr)
        return {E_POINTER, 0};

    // IDispatch takes the arguments last to first.
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{};
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());

    _variant_t result;
    ExceptionInfo exception;
    UINT argumentError = 0;
    HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception,
                                   &argumentError);
    if (FAILED(hr))
        return {hr, 0};
    hr = VariantChangeType(&result, &result, 0, VT_I4);
    if (FAILED(hr))
        return {hr, 0};
    return {S_OK, V_I4(&result)};
}

VARIANT ByRef(short& value) noexcept
{
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BYREF | VT_I2;
    V_I2REF(&argument) = &value;
    return argument;
}

VARIANT ByRef(BSTR& text) noexcept
{
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&argument) = &text;
    return argument;
}
