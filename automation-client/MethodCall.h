// One late-bound call of a method by its dispatch identifier, and what came of it.
#pragma once

#include "ArgumentValues.h"
#include "MethodCatalog.h"

#include <optional>
#include <string>
#include <vector>

// An automation error as a script sees it: Err.Number, Err.Source, Err.Description.
struct AutomationError {
    HRESULT code = S_OK;
    std::wstring source;
    std::wstring description;
};

struct WrittenBack {
    std::wstring parameter;
    std::wstring text; // as the server left it, zeros included
};

struct CallOutcome {
    std::optional<AutomationError> error;
    std::optional<long> result;       // when the method has a result and the call succeeded
    std::vector<WrittenBack> strings; // the strings the server changed, in parameter order
};

CallOutcome CallMethod(IDispatch* object, const MethodInfo& method, CallArguments& arguments);

// The number a script would see in Err.Number: the low word of a control error (53, 453, 6), else the
// HRESULT itself.
long ErrorNumber(HRESULT code) noexcept;
// "automation error 53 (0x800A0035) from VornDriver.clsVornlink: File not found ..."
std::wstring Describe(const AutomationError& error);
// The system's text for an HRESULT, without its line end; empty when it has none.
std::wstring SystemMessage(HRESULT code);
