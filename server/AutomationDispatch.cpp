#include "AutomationDispatch.h"

#include "MethodTable.h"
#include "ResourceOwners.h"
#include "ServerModule.h"
#include "VornDriver.h"

#include <wrl/client.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

using Microsoft::WRL::ComPtr;

namespace vorn {

namespace {

constexpr UINT kMaxParameters = 4; // CONFIG's four; the [out, retval] comes on top

// What Invoke needs of one method, read once from the type library.
struct MethodShape {
    UINT vtableSlot = 0;
    UINT parameterCount = 0; // declared parameters, without the [out, retval]
    std::array<VARTYPE, kMaxParameters> types{};
    std::array<bool, kMaxParameters> optional{};
    bool hasResult = false;
};

struct TypeInfoCache {
    ComPtr<ITypeInfo> dispatchInfo;
    std::array<MethodShape, kMethodCount> shapes;
};

// Built by the first caller that needs it; a thread that loses the race frees its own copy.
std::atomic<TypeInfoCache*> g_cache{nullptr};

HRESULT ReadShape(ITypeInfo* vtableInfo, UINT function, TypeInfoCache& cache)
{
    FUNCDESC* description = nullptr;
    HRESULT outcome = vtableInfo->GetFuncDesc(function, &description);
    if (FAILED(outcome))
        return outcome;
    const auto index = static_cast<UINT>(description->memid - kFirstDispatchId);
    if (index < kMethodCount) {
        MethodShape& shape = cache.shapes[index];
        shape.vtableSlot = static_cast<UINT>(description->oVft) / sizeof(void*);
        for (SHORT p = 0; p < description->cParams; ++p) {
            const ELEMDESC& parameter = description->lprgelemdescParam[p];
            if (parameter.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) {
                shape.hasResult = true;
            } else if (parameter.tdesc.vt != VT_PTR || shape.parameterCount == kMaxParameters) {
                outcome = TYPE_E_UNSUPFORMAT; // every parameter of this interface is by reference
            } else {
                shape.types[shape.parameterCount] = parameter.tdesc.lptdesc->vt;
                shape.optional[shape.parameterCount] = (parameter.paramdesc.wParamFlags & PARAMFLAG_FOPT) != 0;
                ++shape.parameterCount;
            }
        }
    }
    vtableInfo->ReleaseFuncDesc(description);
    return outcome;
}

HRESULT BuildCache(TypeInfoCache& cache)
{
    ComPtr<ITypeLib> library;
    HRESULT outcome = LoadTypeLibEx(ServerModulePath().c_str(), REGKIND_NONE, &library);
    if (FAILED(outcome))
        return outcome;
    outcome = library->GetTypeInfoOfGuid(IID__clsVornlink, &cache.dispatchInfo);
    if (FAILED(outcome))
        return outcome;
    // The vtable layout is in the interface half of the dual interface.
    HREFTYPE interfaceRef = 0;
    ComPtr<ITypeInfo> vtableInfo;
    outcome = cache.dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &interfaceRef);
    if (SUCCEEDED(outcome))
        outcome = cache.dispatchInfo->GetRefTypeInfo(interfaceRef, &vtableInfo);
    if (FAILED(outcome))
        return outcome;
    TYPEATTR* attributes = nullptr;
    outcome = vtableInfo->GetTypeAttr(&attributes);
    if (FAILED(outcome))
        return outcome;
    const UINT functions = attributes->cFuncs;
    vtableInfo->ReleaseTypeAttr(attributes);
    for (UINT f = 0; f < functions && SUCCEEDED(outcome); ++f)
        outcome = ReadShape(vtableInfo.Get(), f, cache);
    return outcome;
}

HRESULT Cache(const TypeInfoCache** cache) noexcept
{
    if (TypeInfoCache* existing = g_cache.load(std::memory_order_acquire)) {
        *cache = existing;
        return S_OK;
    }
    std::unique_ptr<TypeInfoCache> fresh(new (std::nothrow) TypeInfoCache);
    if (!fresh)
        return E_OUTOFMEMORY;
    const HRESULT outcome = BuildCache(*fresh);
    if (FAILED(outcome))
        return outcome;
    TypeInfoCache* expected = nullptr;
    if (g_cache.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
        *cache = fresh.release();
    else
        *cache = expected;
    return S_OK;
}

void* Payload(VARIANT* variant, VARTYPE type) noexcept
{
    switch (type) {
    case VT_BSTR: return &V_BSTR(variant);
    case VT_I2: return &V_I2(variant);
    case VT_R8: return &V_R8(variant);
    default: return nullptr;
    }
}

// A script engine's variable. Wine's VBScript hands over variables aligned for their 32-bit fields
// only, so the VARIANT is never accessed as one in place: its type is read from a copy, and only
// its string slot (which needs no more than 32-bit alignment) is reached by address.
class ScriptVariable {
public:
    explicit ScriptVariable(void* at) noexcept : at_(static_cast<unsigned char*>(at))
    {
        std::memcpy(&copy_, at_, sizeof copy_);
    }

    const VARIANT* copy() const noexcept { return &copy_; }
    VARTYPE type() const noexcept { return V_VT(&copy_); }
    BSTR* stringSlot() const noexcept { return reinterpret_cast<BSTR*>(at_ + kValueOffset); }

    // Makes the variable a string that holds text (its owner from now on). Its value as it is now
    // is cleared first.
    void BecomeString(BSTR text) const noexcept
    {
        VARIANT value;
        std::memcpy(&value, at_, sizeof value);
        VariantClear(&value);
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = text;
        std::memcpy(at_, &value, sizeof value);
    }

private:
    static constexpr size_t kValueOffset = 8; // after the type and three reserved words, in every ABI
    unsigned char* at_;
    VARIANT copy_;
};

// One argument on its way to the method: either a pointer into the caller's own storage, or a
// coerced copy owned by the call.
class ArgumentSlot {
public:
    ArgumentSlot() noexcept { VariantInit(&copy_); }
    ArgumentSlot(const ArgumentSlot&) = delete;
    ArgumentSlot& operator=(const ArgumentSlot&) = delete;
    ~ArgumentSlot() { VariantClear(&copy_); }

    HRESULT Prepare(VARIANT* given, VARTYPE type, bool optional, LCID lcid) noexcept
    {
        // A required argument left out: the count of arguments is wrong, as the stock dispatcher says.
        if (!given)
            return optional ? S_OK : DISP_E_BADPARAMCOUNT;
        // Marked omitted: an optional string is then null for the method; a required argument has
        // the wrong type, as the stock dispatcher says.
        if (V_VT(given) == VT_ERROR && V_ERROR(given) == DISP_E_PARAMNOTFOUND)
            return optional ? S_OK : DISP_E_TYPEMISMATCH;
        const VARIANT* source = given;
        std::optional<ScriptVariable> variable;
        if (V_VT(given) == (VT_BYREF | VT_VARIANT)) {
            if (!V_BYREF(given))
                return DISP_E_TYPEMISMATCH;
            variable.emplace(V_BYREF(given));
            // A string variable: the method writes straight into it. Numbers are only read, from a copy.
            if (type == VT_BSTR && variable->type() == VT_BSTR) {
                pointer_ = variable->stringSlot();
                return S_OK;
            }
            if (type == VT_BSTR && variable->type() == VT_EMPTY)
                writeBackTo_ = variable;
            source = variable->copy();
        } else if (V_VT(given) == (VT_BYREF | type)) {
            pointer_ = V_BYREF(given);
            return S_OK;
        }
        // By value, or by reference to another type: a coerced copy. The caller's entry is never
        // written, and the method's writes to the copy end with the call.
        const HRESULT outcome = VariantChangeTypeEx(&copy_, const_cast<VARIANT*>(source), lcid, 0, type);
        if (FAILED(outcome))
            return outcome == DISP_E_OVERFLOW || outcome == E_OUTOFMEMORY ? outcome : DISP_E_TYPEMISMATCH;
        pointer_ = Payload(&copy_, type);
        if (writeBackTo_)
            stringBefore_ = V_BSTR(&copy_);
        return S_OK;
    }

    void* pointer() const noexcept { return pointer_; }

    void WriteBack() noexcept
    {
        if (!writeBackTo_ || V_BSTR(&copy_) == stringBefore_)
            return;
        writeBackTo_->BecomeString(V_BSTR(&copy_));
        V_VT(&copy_) = VT_EMPTY;
    }

private:
    VARIANT copy_;
    void* pointer_ = nullptr;
    std::optional<ScriptVariable> writeBackTo_;
    BSTR stringBefore_ = nullptr;
};

// The method's vtable entry called with its pointer arguments, as a C client calls it. Every
// parameter of the interface is a pointer, so the arity alone gives the signature.
HRESULT CallVtable(IDispatch* object, UINT slot, void* const* arguments, UINT count) noexcept
{
    using P = void*;
    void* const entry = (*reinterpret_cast<void* const* const*>(object))[slot];
    void* const self = object;
    const P* a = arguments;
    switch (count) {
    case 0: return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P)>(entry)(self);
    case 1: return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P, P)>(entry)(self, a[0]);
    case 2: return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P, P, P)>(entry)(self, a[0], a[1]);
    case 3: return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P, P, P, P)>(entry)(self, a[0], a[1], a[2]);
    case 4: return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P, P, P, P, P)>(entry)(self, a[0], a[1], a[2], a[3]);
    case 5:
        return reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(P, P, P, P, P, P)>(entry)(self, a[0], a[1], a[2], a[3],
                                                                                      a[4]);
    default: return DISP_E_BADPARAMCOUNT;
    }
}

// A failed call through IDispatch: the error information the method set becomes the EXCEPINFO.
HRESULT ToException(HRESULT failure, EXCEPINFO* exception) noexcept
{
    if (!exception)
        return failure;
    *exception = EXCEPINFO{};
    ComPtr<IErrorInfo> error;
    if (GetErrorInfo(0, &error) == S_OK) {
        error->GetSource(&exception->bstrSource);
        error->GetDescription(&exception->bstrDescription);
        error->GetHelpFile(&exception->bstrHelpFile);
        error->GetHelpContext(&exception->dwHelpContext);
    }
    exception->scode = failure;
    return DISP_E_EXCEPTION;
}

} // namespace

HRESULT GetDispatchTypeInfo(UINT index, ITypeInfo** info) noexcept
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    const TypeInfoCache* cache = nullptr;
    const HRESULT outcome = Cache(&cache);
    if (FAILED(outcome))
        return outcome;
    return cache->dispatchInfo.CopyTo(info);
}

HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) noexcept
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    // The platform's look-up reads and writes these arrays unchecked.
    if (count > 0 && (!names || !ids))
        return E_POINTER;
    for (UINT n = 0; n < count; ++n)
        if (!names[n])
            return E_INVALIDARG;
    const TypeInfoCache* cache = nullptr;
    const HRESULT outcome = Cache(&cache);
    if (FAILED(outcome))
        return outcome;
    return cache->dispatchInfo->GetIDsOfNames(names, count, ids);
}

HRESULT DispatchInvoke(IDispatch* object, DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    const TypeInfoCache* cache = nullptr;
    HRESULT outcome = Cache(&cache);
    if (FAILED(outcome))
        return outcome;
    // Unsigned, so that an identifier far below the range can't overflow.
    const UINT index = static_cast<UINT>(id) - static_cast<UINT>(kFirstDispatchId);
    if (index >= kMethodCount || !(flags & DISPATCH_METHOD))
        return DISP_E_MEMBERNOTFOUND;
    if (!params || params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
        (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
    const MethodShape& shape = cache->shapes[index];
    if (params->cArgs > shape.parameterCount)
        return DISP_E_BADPARAMCOUNT;

    // Positional arguments are stored last to first, named ones by the parameter's position.
    std::array<VARIANT*, kMaxParameters> given{};
    std::array<UINT, kMaxParameters> givenAt{};
    const UINT positional = params->cArgs - params->cNamedArgs;
    for (UINT p = 0; p < positional; ++p) {
        givenAt[p] = params->cArgs - 1 - p;
        given[p] = &params->rgvarg[givenAt[p]];
    }
    for (UINT n = 0; n < params->cNamedArgs; ++n) {
        const DISPID p = params->rgdispidNamedArgs[n];
        if (p < 0 || static_cast<UINT>(p) >= shape.parameterCount || given[p]) {
            if (argumentError)
                *argumentError = n;
            return DISP_E_PARAMNOTFOUND;
        }
        given[p] = &params->rgvarg[n];
        givenAt[p] = n;
    }

    std::array<ArgumentSlot, kMaxParameters> slots;
    std::array<void*, kMaxParameters + 1> arguments{};
    for (UINT p = 0; p < shape.parameterCount; ++p) {
        outcome = slots[p].Prepare(given[p], shape.types[p], shape.optional[p], lcid);
        if (FAILED(outcome)) {
            if (argumentError && given[p])
                *argumentError = givenAt[p];
            return outcome;
        }
        arguments[p] = slots[p].pointer();
    }
    LONG code = 0;
    UINT count = shape.parameterCount;
    if (shape.hasResult)
        arguments[count++] = &code;

    outcome = CallVtable(object, shape.vtableSlot, arguments.data(), count);
    // Written back also after a failure: what the method normalised before the error stays.
    for (UINT p = 0; p < shape.parameterCount; ++p)
        slots[p].WriteBack();
    if (FAILED(outcome))
        return ToException(outcome, exception);
    if (result) {
        VariantInit(result);
        if (shape.hasResult) {
            V_VT(result) = VT_I4;
            V_I4(result) = code;
        }
    }
    return S_OK;
}

} // namespace vorn
