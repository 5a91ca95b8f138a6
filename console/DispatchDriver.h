// A late-bound client of one automation object: created by ProgID, called by dispatch identifier with
// by-reference arguments, released when the driver goes away.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <span>

// What came back from one method call: the call's HRESULT and, when it succeeded, its 32-bit result.
struct InvokeResult {
    HRESULT hr = E_FAIL;
    long value = 0;

    bool Succeeded() const noexcept { return SUCCEEDED(hr); }
};

class DispatchDriver {
public:
    DispatchDriver() = default;
    DispatchDriver(const DispatchDriver&) = delete;
    DispatchDriver& operator=(const DispatchDriver&) = delete;
    ~DispatchDriver() { ReleaseDispatch(); }

    HRESULT CreateDispatch(const wchar_t* progId);
    void AttachDispatch(Microsoft::WRL::ComPtr<IDispatch> dispatch) noexcept;
    void ReleaseDispatch() noexcept;
    bool Created() const noexcept { return dispatch_ != nullptr; }

    // Calls a method (never a property) with the arguments in their declared order. Without an object,
    // or when the call or the conversion of its result to VT_I4 fails, the result carries the failure.
    InvokeResult InvokeMethod(DISPID id, std::span<const VARIANT> args) const;

private:
    Microsoft::WRL::ComPtr<IDispatch> dispatch_;
};

// By-reference arguments pointing at the caller's variables; they own nothing.
VARIANT ByRef(short& value) noexcept;
VARIANT ByRef(BSTR& text) noexcept;
