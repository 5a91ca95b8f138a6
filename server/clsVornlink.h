// The automation class. Its nineteen methods each pass through one dispatch frame into the
// command set; IDispatch is served from the type library embedded in the DLL.
#pragma once

#include "VornDriver.h"

#include <atomic>

namespace vorn {

class clsVornlink final : public _clsVornlink, public ISupportErrorInfo {
public:
    static HRESULT Create(REFIID iid, void** object) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    // _clsVornlink
    STDMETHODIMP SPI_VERSION(BSTR* version) override;
    STDMETHODIMP CONFIG(short* BoardType, short* BoardNumber, short* VNAAddress, short* PrinterPort,
                        LONG* result) override;
    STDMETHODIMP VORN_DELAY(double* AdapterDelayInSeconds, short* MeasureDelay, LONG* result) override;
    STDMETHODIMP DISP_MENU(BSTR* strMenu, LONG* result) override;
    STDMETHODIMP VORN_FINT(BSTR* strOnOff, BSTR* strReturn, LONG* result) override;
    STDMETHODIMP VORN_IAV(BSTR* strAvg, BSTR* strReturn, LONG* result) override;
    STDMETHODIMP VORN_ABORT(LONG* result) override;
    STDMETHODIMP VORN_CLEAN(LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_METH(BSTR* strMethod, LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_PAR(BSTR* strParameter, LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_ACQ(BSTR* strModule, LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_SAVE(BSTR* strCalSet, LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_DONE(LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_NEXT(LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_PRIOR(LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_RES(LONG* result) override;
    STDMETHODIMP SENS_CORR_COLL_VIEW(BSTR* strView, LONG* result) override;
    STDMETHODIMP SYST_ERR(BSTR* strErrorNumAndMessage, LONG* result) override;
    STDMETHODIMP CMD_IDN(BSTR* strReturn, LONG* result) override;

private:
    clsVornlink() noexcept;
    ~clsVornlink();

    template <class Body>
    HRESULT Frame(LONG* result, bool argumentsPresent, Body&& body) noexcept;

    std::atomic<ULONG> references_{1};
};

} // namespace vorn
