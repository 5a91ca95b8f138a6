#include "RaisedError.h"

#include "ResourceOwners.h"
#include "VornDriver.h"

#include <oleauto.h>
#include <wrl/client.h>

namespace vorn {

HRESULT ReportError(HRESULT code, std::wstring_view description) noexcept
{
    Microsoft::WRL::ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(&create)))
        return code;
    try {
        UniqueBstr text = UniqueBstr::Copy(description);
        create->SetGUID(IID__clsVornlink);
        create->SetSource(const_cast<LPOLESTR>(L"VornDriver.clsVornlink"));
        create->SetDescription(text.get());
    } catch (...) {
        // Out of memory for the description: the code alone still reaches the client.
    }
    Microsoft::WRL::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info)))
        SetErrorInfo(0, info.Get());
    return code;
}

} // namespace vorn
