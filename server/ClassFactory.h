#pragma once

#include <windows.h>

namespace vorn {

// DllGetClassObject: the factory of clsVornlink, or CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT GetClassFactory(REFCLSID clsid, REFIID iid, void** object) noexcept;

} // namespace vorn
