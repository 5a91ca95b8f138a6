// Errors raised inside a method. A raised error ends the method where it arises; the dispatch
// frame turns it into a failed call that carries error information (IErrorInfo) for the client.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace vorn {

// Codes in the control facility, as automation clients (VBA, VBScript) know them: Err.Number
// shows 6, 53 and 453.
inline constexpr HRESULT kOverflow = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 6);
inline constexpr HRESULT kFileNotFound = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 53);
inline constexpr HRESULT kEntryNotFound = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 453);

class RaisedError {
public:
    // A raised error always fails the call: a code that reads as success (a system call that
    // failed without saying why) becomes E_FAIL.
    RaisedError(HRESULT code, std::wstring description)
        : code_(FAILED(code) ? code : E_FAIL), description_(std::move(description))
    {
    }

    HRESULT code() const noexcept { return code_; }
    const std::wstring& description() const noexcept { return description_; }

private:
    HRESULT code_;
    std::wstring description_;
};

// Sets the thread's error information for a failed call of the server's interface and returns code.
HRESULT ReportError(HRESULT code, std::wstring_view description) noexcept;

} // namespace vorn
