#include "clsVornlink.h"

#include "AutomationDispatch.h"
#include "CommandSet.h"
#include "RaisedError.h"
#include "ServerModule.h"

#include <wrl/client.h>

#include <new>

namespace vorn {

namespace {

template <class... Pointers>
bool AllPresent(Pointers*... pointers) noexcept
{
    return ((pointers != nullptr) && ...);
}

// An omitted optional string arrives as a null pointer from our own dispatcher and from
// early-bound callers. The platform's stock dispatcher (ITypeInfo::Invoke, DispInvoke) hands over
// a pointer to a VARIANT holding DISP_E_PARAMNOTFOUND instead. Its first word, read as the BSTR
// slot, is then VT_ERROR (10): an address no string allocator returns, which tells the two apart
// without reading past the slot.
BSTR* SuppliedOrNull(BSTR* strReturn) noexcept
{
    if (!strReturn)
        return nullptr;
    if ((reinterpret_cast<UINT_PTR>(*strReturn) & 0xFFFF) == VT_ERROR) {
        const auto* variant = reinterpret_cast<const VARIANT*>(strReturn);
        if (V_ERROR(variant) == DISP_E_PARAMNOTFOUND)
            return nullptr;
    }
    return strReturn;
}

} // namespace

clsVornlink::clsVornlink() noexcept
{
    ObjectCreated();
}

clsVornlink::~clsVornlink()
{
    ObjectDestroyed();
}

HRESULT clsVornlink::Create(REFIID iid, void** object) noexcept
{
    auto* created = new (std::nothrow) clsVornlink();
    if (!created)
        return E_OUTOFMEMORY;
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
}

STDMETHODIMP clsVornlink::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__clsVornlink) {
        *object = static_cast<_clsVornlink*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
        *object = static_cast<ISupportErrorInfo*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) clsVornlink::AddRef()
{
    return ++references_;
}

STDMETHODIMP_(ULONG) clsVornlink::Release()
{
    const ULONG remaining = --references_;
    if (remaining == 0)
        delete this;
    return remaining;
}

STDMETHODIMP clsVornlink::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP clsVornlink::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    return GetDispatchTypeInfo(index, info);
}

STDMETHODIMP clsVornlink::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return DispatchGetIDsOfNames(iid, names, count, ids);
}

STDMETHODIMP clsVornlink::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 EXCEPINFO* exception, UINT* argumentError)
{
    // Held for the whole call: coercing an argument can run client code that releases the object
    // before the method's own frame takes hold of it.
    const Microsoft::WRL::ComPtr<_clsVornlink> hold(this);
    return DispatchInvoke(hold.Get(), id, iid, lcid, flags, params, result, exception, argumentError);
}

STDMETHODIMP clsVornlink::InterfaceSupportsErrorInfo(REFIID iid)
{
    return iid == IID__clsVornlink || iid == IID_IDispatch ? S_OK : S_FALSE;
}

// The frame every method passes through: the object is held alive for the call (a client may
// release its last reference meanwhile), stale error information is cleared, and a raised error
// becomes the call's HRESULT with its description set as error information. The result code
// stored is the one held when the body ended: 0 at every point where an error can be raised.
template <class Body>
HRESULT clsVornlink::Frame(LONG* result, bool argumentsPresent, Body&& body) noexcept
{
    SetErrorInfo(0, nullptr);
    if (!result || !argumentsPresent)
        return ReportError(E_POINTER, L"A required argument is a null pointer.");
    AddRef();
    HRESULT outcome = S_OK;
    LONG code = kDone;
    try {
        code = body();
    } catch (const RaisedError& error) {
        outcome = ReportError(error.code(), error.description());
    } catch (const std::bad_alloc&) {
        outcome = ReportError(E_OUTOFMEMORY, L"Out of memory.");
    } catch (...) {
        outcome = ReportError(E_UNEXPECTED, L"Unexpected failure inside the server.");
    }
    Release();
    *result = code;
    return outcome;
}

STDMETHODIMP clsVornlink::SPI_VERSION(BSTR* version)
{
    LONG noResult = 0;
    return Frame(&noResult, AllPresent(version), [&] {
        SpiVersion(version);
        return kDone;
    });
}

STDMETHODIMP clsVornlink::CONFIG(short* BoardType, short* BoardNumber, short* VNAAddress, short* PrinterPort,
                                 LONG* result)
{
    return Frame(result, AllPresent(BoardType, BoardNumber, VNAAddress, PrinterPort),
                 [&] { return Config(*BoardType, *BoardNumber, *VNAAddress, *PrinterPort); });
}

STDMETHODIMP clsVornlink::VORN_DELAY(double* AdapterDelayInSeconds, short* MeasureDelay, LONG* result)
{
    return Frame(result, AllPresent(AdapterDelayInSeconds, MeasureDelay),
                 [&] { return VornDelay(*AdapterDelayInSeconds, *MeasureDelay); });
}

STDMETHODIMP clsVornlink::DISP_MENU(BSTR* strMenu, LONG* result)
{
    return Frame(result, AllPresent(strMenu), [&] { return KeywordCommand(Method::DISP_MENU, strMenu); });
}

STDMETHODIMP clsVornlink::VORN_FINT(BSTR* strOnOff, BSTR* strReturn, LONG* result)
{
    return Frame(result, AllPresent(strOnOff), [&] { return VornFint(strOnOff, SuppliedOrNull(strReturn)); });
}

STDMETHODIMP clsVornlink::VORN_IAV(BSTR* strAvg, BSTR* strReturn, LONG* result)
{
    return Frame(result, AllPresent(strAvg), [&] { return VornIav(*strAvg, SuppliedOrNull(strReturn)); });
}

STDMETHODIMP clsVornlink::VORN_ABORT(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::VORN_ABORT); });
}

STDMETHODIMP clsVornlink::VORN_CLEAN(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::VORN_CLEAN); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_METH(BSTR* strMethod, LONG* result)
{
    return Frame(result, AllPresent(strMethod), [&] { return KeywordCommand(Method::SENS_CORR_COLL_METH, strMethod); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_PAR(BSTR* strParameter, LONG* result)
{
    return Frame(result, AllPresent(strParameter),
                 [&] { return KeywordCommand(Method::SENS_CORR_COLL_PAR, strParameter); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_ACQ(BSTR* strModule, LONG* result)
{
    return Frame(result, AllPresent(strModule), [&] { return KeywordCommand(Method::SENS_CORR_COLL_ACQ, strModule); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_SAVE(BSTR* strCalSet, LONG* result)
{
    return Frame(result, AllPresent(strCalSet), [&] { return SensCorrCollSave(strCalSet); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_DONE(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::SENS_CORR_COLL_DONE); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_NEXT(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::SENS_CORR_COLL_NEXT); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_PRIOR(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::SENS_CORR_COLL_PRIOR); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_RES(LONG* result)
{
    return Frame(result, true, [] { return FixedCommand(Method::SENS_CORR_COLL_RES); });
}

STDMETHODIMP clsVornlink::SENS_CORR_COLL_VIEW(BSTR* strView, LONG* result)
{
    return Frame(result, AllPresent(strView), [&] { return KeywordCommand(Method::SENS_CORR_COLL_VIEW, strView); });
}

STDMETHODIMP clsVornlink::SYST_ERR(BSTR* strErrorNumAndMessage, LONG* result)
{
    return Frame(result, AllPresent(strErrorNumAndMessage),
                 [&] { return FixedQuery(Method::SYST_ERR, strErrorNumAndMessage); });
}

STDMETHODIMP clsVornlink::CMD_IDN(BSTR* strReturn, LONG* result)
{
    return Frame(result, AllPresent(strReturn), [&] { return FixedQuery(Method::CMD_IDN, strReturn); });
}

} // namespace vorn
