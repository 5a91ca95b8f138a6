// IDispatch for clsVornlink, served from the type library embedded in the DLL.
//
// Invoke maps positional and named arguments onto the declared parameters and calls the method
// through the dual interface's vtable. Beyond the platform's stock dispatcher it accepts a
// by-reference VARIANT (how VBScript passes every variable) for a by-reference string, 16-bit
// integer or double: the value is coerced for the call, and a string the method replaces is
// written back into the caller's variable when that variable held a string or nothing. Numbers
// are never written back, so a script's variable never changes its type. An omitted optional
// parameter reaches the method as a null pointer.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace vorn {

HRESULT GetDispatchTypeInfo(UINT index, ITypeInfo** info) noexcept;
HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) noexcept;
HRESULT DispatchInvoke(IDispatch* object, DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept;

} // namespace vorn
