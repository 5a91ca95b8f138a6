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

std::wstring SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    if (message.empty())
        message = L"system error " + std::to_wstring(error);
    return message;
}

} // namespace vorn
