// An independent model of the nineteen methods: for a call with given arguments, what the module
// library must receive, what the call must return and what the caller's strings must hold
// afterwards. Written from the behaviour description of the server, not from its code.
//
// Where the description leaves a choice to the implementer (the case mapping of letters other than
// a-z, the numeric grammar beyond digits, sign, decimal separator, E exponent and blanks, the text
// of NaN and infinities, the exponent form of a double), the model accepts each admissible result
// and checks that the rest of the call agrees with the choice made.
#pragma once

#include "../support/TrafficLog.h"

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

namespace hardening {

using vorn::test::TrafficRecord;

enum class Param { Text, OptionalText, Int16, Double };
enum class Shape { Version, Config, Delay, Keyword, Fint, Iav, Fixed, Save, Query };
enum class Normalisation { None, UpperCase, UpperCaseAndTrim };

struct MethodInfo {
    const char* name;
    Shape shape;
    std::wstring header;       // the command line, or its start when an argument follows
    std::wstring queryHeader;  // the query form of VORN_FINT and VORN_IAV
    std::vector<Param> params;
    Normalisation normalisation;
    std::vector<std::wstring> keywords;
    bool hasResult;
};

constexpr DISPID kFirstDispatchId = 0x60030000;
const std::vector<MethodInfo>& Methods();
int MethodIndex(const char* name);

// A string argument as the caller holds it: a null BSTR or a counted text.
struct Text {
    bool null = false;
    std::wstring text;
    bool operator==(const Text&) const = default;
};

struct Arg {
    enum class Kind { Text, Int16, Double, Omitted } kind = Kind::Omitted;
    Text text;
    short int16 = 0;
    double real = 0;
    static Arg Of(std::wstring_view s) { return {Kind::Text, {false, std::wstring(s)}, 0, 0}; }
    static Arg Null() { return {Kind::Text, {true, {}}, 0, 0}; }
    static Arg Of(short v) { return {Kind::Int16, {}, v, 0}; }
    static Arg Of(double v) { return {Kind::Double, {}, 0, v}; }
    static Arg Omitted() { return {}; }
};

// A call as the method receives it (after any coercion by the dispatch layer).
struct Call {
    int method = 0;
    std::vector<Arg> args;
};

std::string Describe(const Arg& arg);
std::string Describe(const Call& call);

// What the caller could see after the call.
struct Observation {
    HRESULT hr = E_FAIL;
    bool described = false;              // error information with a non-empty description came back
    std::optional<LONG> result;          // the result code, when delivered
    bool resultEmpty = false;            // through IDispatch: the result was VT_EMPTY
    // Per parameter: the caller's string afterwards, when the way it was passed lets the caller see
    // what the method wrote; nullopt otherwise.
    std::vector<std::optional<Text>> finalText;
    // Per parameter: the caller's storage holds exactly what it held before (the same BSTR, the
    // same number). For by-value arguments it must always hold.
    std::vector<bool> untouched;
    std::vector<TrafficRecord> traffic;
};

// The process's circumstances for the model.
struct Circumstances {
    UINT codePage = 1252;
    bool doubleByte = false;
    wchar_t decimal = L'.';
    wchar_t thousands = L',';
    bool sendEntry = true;   // SendScpiCommand can be bound
    bool queryEntry = true;  // GetQueryResponse can be bound
    static Circumstances OfThisProcess();
};

// Empty when the observation is one the description admits; otherwise what is wrong.
std::string Check(const Call& call, const Circumstances& circumstances, const Observation& observed);

// Pieces of the model, exposed for tests of their own.
std::optional<std::string> CommandBytes(std::wstring_view command, const Circumstances& circumstances);
std::optional<std::wstring> DecodeReply(std::string_view written, const Circumstances& circumstances);
std::string CheckDoubleText(std::wstring_view text, double value, const Circumstances& circumstances);

} // namespace hardening
