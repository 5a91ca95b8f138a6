#include "MethodCall.h"

#include <oleauto.h>

#include <cwchar>

namespace {
// Frees the strings of an exception the server raised.
struct ExceptionInfo : EXCEPINFO {
    ExceptionInfo() noexcept : EXCEPINFO{} {}
    ExceptionInfo(const ExceptionInfo&) = delete;
    ExceptionInfo& operator=(const ExceptionInfo&) = delete;
    ~ExceptionInfo()
    {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};

// Owns the result of a call.
struct Result : VARIANT {
    Result() noexcept { VariantInit(this); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() { VariantClear(this); }
};

std::wstring Text(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}
} // namespace

CallOutcome CallMethod(IDispatch* object, const MethodInfo& method, CallArguments& arguments)
{
    std::vector<std::wstring> before;
    for (size_t p = 0; p < method.parameters.size(); ++p)
        before.emplace_back(arguments.TextAt(p).value_or(std::wstring_view()));

    DISPPARAMS parameters = arguments.Parameters();
    Result result;
    ExceptionInfo exception;
    UINT argumentError = 0;
    const HRESULT hr = object->Invoke(method.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                                      &exception, &argumentError);
    CallOutcome outcome;
    // What the method normalised before an error stays written back, so it is shown either way.
    for (size_t p = 0; p < method.parameters.size(); ++p) {
        const auto after = arguments.TextAt(p);
        if (after && *after != before[p])
            outcome.strings.push_back({method.parameters[p].name, std::wstring(*after)});
    }
    if (hr == DISP_E_EXCEPTION) {
        if (exception.pfnDeferredFillIn)
            exception.pfnDeferredFillIn(&exception);
        const HRESULT code =
            exception.scode != 0 ? exception.scode : MAKE_HRESULT(1, FACILITY_CONTROL, exception.wCode);
        outcome.error = AutomationError{code, Text(exception.bstrSource), Text(exception.bstrDescription)};
    } else if (FAILED(hr)) {
        outcome.error = AutomationError{hr, {}, SystemMessage(hr)};
    } else if (method.hasResult) {
        if (SUCCEEDED(VariantChangeType(&result, &result, 0, VT_I4)))
            outcome.result = V_I4(&result);
    }
    return outcome;
}

long ErrorNumber(HRESULT code) noexcept
{
    return HRESULT_FACILITY(code) == FACILITY_CONTROL ? HRESULT_CODE(code) : static_cast<long>(code);
}

std::wstring Describe(const AutomationError& error)
{
    wchar_t hex[16];
    std::swprintf(hex, sizeof hex / sizeof *hex, L"0x%08lX", static_cast<unsigned long>(error.code));
    std::wstring text = L"automation error ";
    if (HRESULT_FACILITY(error.code) == FACILITY_CONTROL)
        text += std::to_wstring(ErrorNumber(error.code)) + L" (" + hex + L")";
    else
        text += hex;
    if (!error.source.empty())
        text += L" from " + error.source;
    const std::wstring description = error.description.empty() ? SystemMessage(error.code) : error.description;
    if (!description.empty())
        text += L": " + description;
    return text;
}

std::wstring SystemMessage(HRESULT code)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    return message;
}
