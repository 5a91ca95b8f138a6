#include "ModuleLink.h"

#include <objbase.h>

namespace {
constexpr wchar_t kProgId[] = L"VornDriver.clsVornlink";

AutomationError CreationError(HRESULT code, const wchar_t* step)
{
    std::wstring description = SystemMessage(code);
    if (description.empty())
        description = L"failed";
    return AutomationError{code, kProgId, std::wstring(step) + L": " + description};
}
} // namespace

std::optional<AutomationError> ComModuleLink::Ensure()
{
    if (object_)
        return std::nullopt;
    CLSID id{};
    HRESULT hr = CLSIDFromProgID(kProgId, &id);
    if (FAILED(hr))
        return CreationError(hr, L"the server VornDriver.clsVornlink is not registered");
    Microsoft::WRL::ComPtr<IDispatch> object;
    hr = CoCreateInstance(id, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr))
        return CreationError(hr, L"creating VornDriver.clsVornlink failed");
    MethodCatalog catalog;
    hr = catalog.Load(object.Get());
    if (FAILED(hr))
        return CreationError(hr, L"reading the server's type library failed");
    object_ = std::move(object);
    catalog_ = std::move(catalog);
    return std::nullopt;
}

const MethodInfo* ComModuleLink::Describe(vorn::Method method, std::optional<AutomationError>& error)
{
    error = Ensure();
    if (error)
        return nullptr;
    const std::wstring_view name = vorn::Entry(method).name;
    const MethodInfo* info = catalog_.Find(name);
    if (!info)
        error = AutomationError{DISP_E_UNKNOWNNAME, kProgId,
                                L"the server has no method " + std::wstring(name)};
    return info;
}

ModuleCall ComModuleLink::Call(vorn::Method method, std::span<const std::wstring> words,
                            std::optional<size_t> replyParameter)
{
    ModuleCall call;
    const MethodInfo* info = Describe(method, call.error);
    if (!info)
        return call;
    CallArguments arguments;
    if (auto problem = arguments.Convert(*info, words)) {
        // The front end checks what it passes; reaching this is a fault of ours, told as such.
        call.error = AutomationError{E_INVALIDARG, L"vornlan", *problem};
        return call;
    }
    CallOutcome outcome = CallMethod(object_.Get(), *info, arguments);
    if (outcome.error) {
        call.error = std::move(outcome.error);
        return call;
    }
    call.result = outcome.result.value_or(0);
    if (replyParameter) {
        const auto text = arguments.TextAt(*replyParameter).value_or(std::wstring_view());
        call.reply = std::wstring(text.substr(0, text.find(L'\0')));
    }
    return call;
}

void ComModuleLink::Release() noexcept
{
    object_.Reset();
}
