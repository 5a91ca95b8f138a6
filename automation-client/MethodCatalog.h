// The methods of an automation object as its type library describes them, read at run time, so that
// vornsh follows the server when a method is added.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

struct Parameter {
    std::wstring name;
    VARTYPE type = VT_EMPTY; // the type passed, without VT_BYREF
    bool byReference = false;
    bool optional = false;
};

struct MethodInfo {
    std::wstring name;
    DISPID id = DISPID_UNKNOWN;
    std::vector<Parameter> parameters; // without the [out, retval]
    bool hasResult = false;
    std::wstring help;
};

class MethodCatalog {
public:
    // Reads the methods of the object's dispatch interface (through the vtable half of a dual one).
    HRESULT Load(IDispatch* object);

    // Matched without regard to case.
    const MethodInfo* Find(std::wstring_view name) const noexcept;
    std::span<const MethodInfo> Methods() const noexcept { return methods_; }

private:
    std::vector<MethodInfo> methods_;
};

// The type's name as vornsh shows it: int16, int32, double, text.
std::wstring TypeName(VARTYPE type);
// "VORN_FINT strOnOff:text [strReturn:text]": the method and its parameters, optional ones in brackets.
std::wstring Signature(const MethodInfo& method);
