#include "MethodCatalog.h"

#include "Words.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <memory>

using Microsoft::WRL::ComPtr;

namespace {
// Releases what ITypeInfo hands out.
struct TypeAttrRelease {
    ITypeInfo* info;
    void operator()(TYPEATTR* attributes) const noexcept { info->ReleaseTypeAttr(attributes); }
};
struct FuncDescRelease {
    ITypeInfo* info;
    void operator()(FUNCDESC* description) const noexcept { info->ReleaseFuncDesc(description); }
};
using TypeAttrPtr = std::unique_ptr<TYPEATTR, TypeAttrRelease>;
using FuncDescPtr = std::unique_ptr<FUNCDESC, FuncDescRelease>;

// Owns the BSTRs ITypeInfo::GetNames fills in.
class NameList {
public:
    explicit NameList(UINT capacity) : names_(capacity, nullptr) {}
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;
    ~NameList()
    {
        for (BSTR name : names_)
            SysFreeString(name);
    }
    BSTR* data() noexcept { return names_.data(); }
    UINT capacity() const noexcept { return static_cast<UINT>(names_.size()); }
    std::wstring at(UINT index, UINT count) const
    {
        return index < count && names_[index] ? std::wstring(names_[index], SysStringLen(names_[index]))
                                              : std::wstring();
    }

private:
    std::vector<BSTR> names_;
};

HRESULT ReadAttributes(ITypeInfo* info, TypeAttrPtr& attributes)
{
    TYPEATTR* raw = nullptr;
    const HRESULT hr = info->GetTypeAttr(&raw);
    attributes = TypeAttrPtr(raw, TypeAttrRelease{info});
    return hr;
}

// The interface whose function descriptions carry the parameters as declared.
HRESULT DescribingInterface(IDispatch* object, ComPtr<ITypeInfo>& info)
{
    HRESULT hr = object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info);
    if (FAILED(hr))
        return hr;
    if (!info)
        return E_NOINTERFACE;
    TypeAttrPtr attributes;
    hr = ReadAttributes(info.Get(), attributes);
    if (FAILED(hr))
        return hr;
    if (attributes->typekind == TKIND_DISPATCH && (attributes->wTypeFlags & TYPEFLAG_FDUAL)) {
        HREFTYPE vtableHalf = 0;
        hr = info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableHalf);
        ComPtr<ITypeInfo> vtableInfo;
        if (SUCCEEDED(hr))
            hr = info->GetRefTypeInfo(vtableHalf, &vtableInfo);
        if (FAILED(hr))
            return hr;
        info = vtableInfo;
    }
    return S_OK;
}

HRESULT ReadMethod(ITypeInfo* info, const FUNCDESC& description, MethodInfo& method)
{
    NameList names(static_cast<UINT>(description.cParams) + 1);
    UINT count = 0;
    HRESULT hr = info->GetNames(description.memid, names.data(), names.capacity(), &count);
    if (FAILED(hr))
        return hr;
    method.name = names.at(0, count);
    method.id = description.memid;
    for (SHORT p = 0; p < description.cParams; ++p) {
        const ELEMDESC& element = description.lprgelemdescParam[p];
        if (element.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) {
            method.hasResult = true;
            continue;
        }
        Parameter parameter;
        parameter.name = names.at(static_cast<UINT>(p) + 1, count);
        parameter.byReference = element.tdesc.vt == VT_PTR && element.tdesc.lptdesc;
        parameter.type = parameter.byReference ? element.tdesc.lptdesc->vt : element.tdesc.vt;
        parameter.optional = (element.paramdesc.wParamFlags & PARAMFLAG_FOPT) != 0;
        method.parameters.push_back(std::move(parameter));
    }
    // A method of a dispatch-only interface returns its result directly.
    if (description.funckind == FUNC_DISPATCH && description.elemdescFunc.tdesc.vt != VT_VOID &&
        description.elemdescFunc.tdesc.vt != VT_HRESULT)
        method.hasResult = true;
    BSTR help = nullptr;
    if (SUCCEEDED(info->GetDocumentation(description.memid, nullptr, &help, nullptr, nullptr)) && help)
        method.help.assign(help, SysStringLen(help));
    SysFreeString(help);
    return S_OK;
}
} // namespace

HRESULT MethodCatalog::Load(IDispatch* object)
{
    methods_.clear();
    ComPtr<ITypeInfo> info;
    HRESULT hr = DescribingInterface(object, info);
    if (FAILED(hr))
        return hr;
    TypeAttrPtr attributes;
    hr = ReadAttributes(info.Get(), attributes);
    if (FAILED(hr))
        return hr;
    for (UINT f = 0; f < attributes->cFuncs; ++f) {
        FUNCDESC* raw = nullptr;
        hr = info->GetFuncDesc(f, &raw);
        if (FAILED(hr))
            return hr;
        const FuncDescPtr description(raw, FuncDescRelease{info.Get()});
        if (description->invkind != INVOKE_FUNC || (description->wFuncFlags & FUNCFLAG_FRESTRICTED))
            continue;
        MethodInfo method;
        hr = ReadMethod(info.Get(), *description, method);
        if (FAILED(hr))
            return hr;
        methods_.push_back(std::move(method));
    }
    return S_OK;
}

const MethodInfo* MethodCatalog::Find(std::wstring_view name) const noexcept
{
    for (const MethodInfo& method : methods_)
        if (SameWord(method.name, name))
            return &method;
    return nullptr;
}

std::wstring TypeName(VARTYPE type)
{
    switch (type) {
    case VT_I2: return L"int16";
    case VT_I4: return L"int32";
    case VT_R8: return L"double";
    case VT_BSTR: return L"text";
    default: return L"type " + std::to_wstring(type);
    }
}

std::wstring Signature(const MethodInfo& method)
{
    std::wstring text = method.name;
    for (const Parameter& parameter : method.parameters) {
        const std::wstring shown = parameter.name + L':' + TypeName(parameter.type);
        text += parameter.optional ? L" [" + shown + L']' : L' ' + shown;
    }
    return text;
}
