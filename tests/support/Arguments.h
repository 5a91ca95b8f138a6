// Arguments for IDispatch::Invoke as automation clients build them. A by-reference argument points
// at the caller's own variable and owns nothing.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace vorn::test {

inline VARIANT ByRef(short* value)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | VT_I2;
    V_I2REF(&v) = value;
    return v;
}

inline VARIANT ByRef(BSTR* value)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&v) = value;
    return v;
}

// How VBScript passes a variable.
inline VARIANT ByRefVariant(VARIANT* variable)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&v) = variable;
    return v;
}

// An optional argument left out in the middle of the list.
inline VARIANT Missing()
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

} // namespace vorn::test
