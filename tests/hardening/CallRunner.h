// Makes one call of a method through the dual interface's vtable or through IDispatch::Invoke,
// with each argument passed in one of the ways clients pass them, and records what the caller can
// see afterwards (for the model to judge) and the module traffic it caused.
#pragma once

#include "CommandModel.h"
#include "Harness.h"

#include <optional>
#include <string>
#include <vector>

namespace hardening {

enum class Route { Vtable, Dispatch };

enum class Passing {
    Typed,            // vtable: a pointer to the caller's variable; IDispatch: VT_BYREF of the declared type
    VariantRef,       // VT_BYREF|VT_VARIANT to a variable holding the declared type (how scripts pass)
    EmptyVariantRef,  // VT_BYREF|VT_VARIANT to an Empty variable (stands for an empty string)
    ByValue,          // the declared type by value
    Foreign,          // another type by value, for the dispatch layer to coerce
    ForeignRef,       // VT_BYREF|VT_VARIANT to a variable of another type
    Missing,          // an omitted optional argument marked VT_ERROR / DISP_E_PARAMNOTFOUND
    Absent,           // an omitted optional argument not passed at all
};

// A value of another type than the declared one.
struct ForeignValue {
    VARTYPE type = VT_EMPTY;
    long long integer = 0;
    double real = 0;
    std::wstring text;
};

struct Passed {
    Passing how = Passing::Typed;
    bool named = false;
    Arg value;            // the declared type's value (unless Foreign, ForeignRef or omitted)
    ForeignValue foreign;
};

struct Plan {
    int method = 0;
    Route route = Route::Vtable;
    std::vector<Passed> passed;  // one per declared parameter
    WORD flags = DISPATCH_METHOD;
};

std::string Describe(const Plan& plan);

// What the method receives: foreign values coerced as the dispatch layer must coerce them (the
// platform's VariantChangeTypeEx to the declared type). nullopt when a coercion fails: the layer
// must then refuse the call; failing lists the parameters whose coercion fails.
std::optional<Call> Effective(const Plan& plan, std::vector<int>* failing = nullptr);

struct Result {
    Observation observation;
    UINT argumentError = 0xFFFFFFFF;
    std::vector<UINT> rgvargIndex;  // per parameter, its index in rgvarg (IDispatch)
};

// The traffic log must have been set up (VORN_SIM_LOG) by the caller; it is cleared here first.
Result RunCall(const Plan& plan, _clsVornlink* object, const vorn::test::TrafficLog& log);

// Judges one planned call: through the model, or, when a coercion must fail, as a clean refusal.
// Empty when all is well.
std::string Judge(const Plan& plan, const Circumstances& circumstances, const Result& result);

} // namespace hardening
