#include "ClassFactory.h"

#include "ServerModule.h"
#include "VornDriver.h"
#include "clsVornlink.h"

namespace vorn {

namespace {

// One factory for the life of the DLL; only LockServer keeps the DLL loaded.
class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return clsVornlink::Create(iid, object);
    }

    STDMETHODIMP LockServer(BOOL lock) override
    {
        LockServerModule(lock != FALSE);
        return S_OK;
    }
};

ClassFactory g_factory;

} // namespace

HRESULT GetClassFactory(REFCLSID clsid, REFIID iid, void** object) noexcept
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_clsVornlink)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

} // namespace vorn
