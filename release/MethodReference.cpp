// Build step: writes the method reference (docs/reference.md) from the server itself, so that it can't
// say what the server doesn't do:
//  - the type library embedded in Vornlink.dll: names, parameters and their types, dispatch
//    identifiers, help strings;
//  - the method table: command headers, query forms, keywords, normalisation;
//  - example calls made through IDispatch on the server, as VBScript makes them (variables by
//    reference, literals by value), against the simulated module, whose traffic record shows the
//    command line each call sent.
// Only the example arguments below are chosen by hand.
//
// usage: method_reference <Vornlink.dll> <traffic record> <reference.md>
// Run in the folder of the simulated Vorn.dll, which the server finds as the current folder.
#include "BuildStepFailure.h"
#include "MethodTable.h"
#include "RaisedError.h"
#include "ResourceOwners.h"
#include "VornDriver.h"

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using vorn::buildstep::Check;
using vorn::buildstep::Fail;
using vorn::Method;

// The reference is ASCII; anything else in a name or a reply would be a fault worth stopping for.
std::string Ascii(std::wstring_view text)
{
    std::string narrow;
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E)
            Fail("a text for the reference is not printable ASCII");
        narrow += static_cast<char>(c);
    }
    return narrow;
}

// An example argument: a literal passed by value, or a string variable passed by reference.
struct Argument {
    enum Kind { Integer, Long, Double, Variable } kind;
    double number = 0;
    std::wstring_view text;
};
Argument I(short value) { return {Argument::Integer, static_cast<double>(value), {}}; }
Argument L(LONG value) { return {Argument::Long, static_cast<double>(value), {}}; }
Argument D(double value) { return {Argument::Double, value, {}}; }
Argument S(std::wstring_view value) { return {Argument::Variable, 0, value}; }

struct Example {
    Method method;
    std::vector<Argument> arguments;
    const char* note; // why the outcome, when it isn't plain
};

// One or more calls per method: what it sends, and the arguments it refuses.
const std::vector<Example> kExamples = {
    {Method::SPI_VERSION, {S(L"")}, ""},
    {Method::CONFIG, {I(1), I(7), I(16), I(1)}, ""},
    {Method::CONFIG, {I(3), I(7), I(16), I(1)}, "board type outside 1 to 2"},
    {Method::CONFIG, {L(40000), I(7), I(16), I(1)}, "40000 doesn't fit an Integer"},
    {Method::VORN_DELAY, {D(0.25), I(1)}, ""},
    {Method::VORN_DELAY, {S(L"soon"), I(1)}, "not a number"},
    {Method::DISP_MENU, {S(L"conf")}, ""},
    {Method::DISP_MENU, {S(L" CONF")}, "blanks are kept, so no keyword matches"},
    {Method::VORN_FINT, {S(L" on ")}, ""},
    {Method::VORN_FINT, {S(L"?"), S(L"")}, "the query form"},
    {Method::VORN_FINT, {S(L"?")}, "a query needs the second argument"},
    {Method::VORN_IAV, {S(L"16")}, ""},
    {Method::VORN_IAV, {S(L"?"), S(L"")}, "the query form"},
    {Method::VORN_IAV, {S(L"40000")}, "beyond 32767"},
    {Method::VORN_IAV, {S(L"many")}, "neither a number nor ?"},
    {Method::VORN_ABORT, {}, ""},
    {Method::VORN_CLEAN, {}, ""},
    {Method::SENS_CORR_COLL_METH, {S(L" full ")}, ""},
    {Method::SENS_CORR_COLL_METH, {S(L"TRL")}, "not a keyword"},
    {Method::SENS_CORR_COLL_PAR, {S(L"s21")}, ""},
    {Method::SENS_CORR_COLL_PAR, {S(L"S 21")}, "blanks inside are kept"},
    {Method::SENS_CORR_COLL_ACQ, {S(L"a")}, ""},
    {Method::SENS_CORR_COLL_ACQ, {S(L"C")}, "not a keyword"},
    {Method::SENS_CORR_COLL_SAVE, {S(L" 1 ")}, ""},
    {Method::SENS_CORR_COLL_SAVE, {S(L"one")}, "not a number"},
    {Method::SENS_CORR_COLL_DONE, {}, ""},
    {Method::SENS_CORR_COLL_NEXT, {}, ""},
    {Method::SENS_CORR_COLL_PRIOR, {}, ""},
    {Method::SENS_CORR_COLL_RES, {}, ""},
    {Method::SENS_CORR_COLL_VIEW, {S(L"div")}, ""},
    {Method::SENS_CORR_COLL_VIEW, {S(L"DIVIDED")}, "keywords match whole"},
    {Method::SYST_ERR, {S(L"")}, ""},
    {Method::CMD_IDN, {S(L"")}, ""},
};

struct Parameter {
    std::string name;
    VARTYPE type = VT_EMPTY; // of the value the pointer leads to
    USHORT flags = 0;
};

struct Signature {
    std::string name;
    MEMBERID id = 0;
    std::string help;
    std::vector<Parameter> parameters; // the [out, retval] one last, when there is one
    bool hasResult = false;
};

// The parameter types of the interface, as C++ and as VBScript and VBA see them.
struct TypeNames {
    VARTYPE type;
    const char* cpp;
    const char* script;
};
constexpr TypeNames kTypeNames[] = {
    {VT_I2, "short", "Integer"},
    {VT_I4, "long", "Long"},
    {VT_R8, "double", "Double"},
    {VT_BSTR, "BSTR", "String"},
};

const TypeNames& NamesOf(VARTYPE type)
{
    for (const TypeNames& names : kTypeNames)
        if (names.type == type)
            return names;
    Fail("a parameter type the reference doesn't know");
}

std::vector<Signature> ReadTypeLibrary(const std::wstring& server)
{
    ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(server.c_str(), REGKIND_NONE, &library), "LoadTypeLibEx");
    ComPtr<ITypeInfo> dispatch;
    Check(library->GetTypeInfoOfGuid(IID__clsVornlink, &dispatch), "GetTypeInfoOfGuid");
    HREFTYPE reference = 0;
    Check(dispatch->GetRefTypeOfImplType(-1, &reference), "GetRefTypeOfImplType");
    ComPtr<ITypeInfo> vtable;
    Check(dispatch->GetRefTypeInfo(reference, &vtable), "GetRefTypeInfo");
    TYPEATTR* attributes = nullptr;
    Check(vtable->GetTypeAttr(&attributes), "GetTypeAttr");
    const WORD count = attributes->cFuncs;
    vtable->ReleaseTypeAttr(attributes);

    std::vector<Signature> signatures;
    for (UINT index = 0; index < count; ++index) {
        FUNCDESC* function = nullptr;
        Check(vtable->GetFuncDesc(index, &function), "GetFuncDesc");
        Signature signature;
        signature.id = function->memid;
        BSTR names[16] = {};
        UINT named = 0;
        Check(vtable->GetNames(function->memid, names, 16, &named), "GetNames");
        vorn::UniqueBstr help;
        Check(vtable->GetDocumentation(function->memid, nullptr, help.put(), nullptr, nullptr), "GetDocumentation");
        signature.help = Ascii(help.view());
        signature.parameters.resize(function->cParams);
        for (UINT i = 0; i < named; ++i) {
            vorn::UniqueBstr name(names[i]);
            if (i == 0)
                signature.name = Ascii(name.view());
            else if (i <= signature.parameters.size())
                signature.parameters[i - 1].name = Ascii(name.view());
        }
        for (SHORT i = 0; i < function->cParams; ++i) {
            const ELEMDESC& element = function->lprgelemdescParam[i];
            if (element.tdesc.vt != VT_PTR)
                Fail(signature.name + ": a parameter that isn't a pointer");
            Parameter& parameter = signature.parameters[i];
            parameter.type = element.tdesc.lptdesc->vt;
            parameter.flags = element.paramdesc.wParamFlags;
            if (parameter.flags & PARAMFLAG_FRETVAL) {
                signature.hasResult = true;
                parameter.name = "result";
            }
        }
        vtable->ReleaseFuncDesc(function);
        signatures.push_back(std::move(signature));
    }
    return signatures;
}

// The server's class, created from its DLL without registration.
ComPtr<IDispatch> CreateServer(const std::wstring& server)
{
    const HMODULE module = LoadLibraryW(server.c_str()); // stays loaded for the whole run
    if (!module)
        Fail("the server DLL can't be loaded");
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto entry = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!entry)
        Fail("the server DLL exports no DllGetClassObject");
    ComPtr<IClassFactory> factory;
    Check(entry(CLSID_clsVornlink, IID_PPV_ARGS(&factory)), "DllGetClassObject");
    ComPtr<IDispatch> object;
    Check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), "CreateInstance");
    return object;
}

// The lines the module received since the last call, from its traffic record.
class Traffic {
public:
    explicit Traffic(std::wstring path) : path_(std::move(path)) { DeleteFileW(path_.c_str()); }

    std::vector<std::string> Sent()
    {
        std::ifstream record(std::filesystem::path(path_), std::ios::binary);
        std::vector<std::string> sent;
        std::string line;
        const size_t already = seen_;
        for (size_t number = 0; std::getline(record, line); ++number) {
            if (number >= already && line.rfind("> ", 0) == 0)
                sent.push_back(line.substr(2));
            seen_ = number + 1;
        }
        return sent;
    }

private:
    std::wstring path_;
    size_t seen_ = 0;
};

std::string Number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string Enclosed(char before, std::wstring_view text, char after)
{
    std::string enclosed(1, before);
    enclosed += Ascii(text);
    enclosed += after;
    return enclosed;
}

std::string Quoted(std::wstring_view text)
{
    return Enclosed('"', text, '"');
}

struct Outcome {
    std::string call;   // the VBScript line
    std::string effect; // what happened, as a VBScript comment
    std::optional<LONG> result;
};

// The failures of IDispatch::Invoke itself (an argument the dispatcher can't convert), as VBScript and
// VBA report them.
const char* DispatchError(HRESULT outcome)
{
    switch (outcome) {
    case DISP_E_OVERFLOW: return "6 (Overflow)";
    case DISP_E_TYPEMISMATCH: return "13 (Type mismatch)";
    default: return nullptr;
    }
}

Outcome Run(IDispatch* server, const Signature& signature, const Example& example, Traffic& traffic)
{
    // VBScript's own layout: arguments in reverse order, variables by reference.
    const size_t count = example.arguments.size();
    std::vector<vorn::UniqueVariant> variables(count); // the script's variables, owned
    std::vector<VARIANT> passed(count);                 // what Invoke gets: values, or references to them
    std::string assignments, list;
    for (size_t i = 0; i < count; ++i) {
        const Argument& argument = example.arguments[i];
        VARIANT& variable = *variables[i].get();
        VARIANT& slot = passed[count - 1 - i];
        VariantInit(&slot);
        const std::string& name = signature.parameters.at(i).name;
        list += (i ? ", " : "");
        if (argument.kind == Argument::Variable) {
            V_VT(&variable) = VT_BSTR;
            V_BSTR(&variable) = vorn::UniqueBstr::Copy(argument.text).release();
            V_VT(&slot) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&slot) = &variable;
            assignments += name + " = " + Quoted(argument.text) + ": ";
            list += name;
        } else if (argument.kind == Argument::Integer) {
            V_VT(&slot) = VT_I2;
            V_I2(&slot) = static_cast<SHORT>(argument.number);
            list += Number(argument.number);
        } else if (argument.kind == Argument::Long) {
            V_VT(&slot) = VT_I4;
            V_I4(&slot) = static_cast<LONG>(argument.number);
            list += Number(argument.number);
        } else {
            V_VT(&slot) = VT_R8;
            V_R8(&slot) = argument.number;
            list += Number(argument.number);
        }
    }
    DISPPARAMS parameters = {passed.data(), nullptr, static_cast<UINT>(count), 0};
    vorn::UniqueVariant result;
    EXCEPINFO exception = {};
    const HRESULT outcome = server->Invoke(signature.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &parameters, signature.hasResult ? result.get() : nullptr,
                                           &exception, nullptr);

    Outcome text;
    text.call = assignments + (signature.hasResult ? "result = vorn." + signature.name + "(" + list + ")"
                                                   : "vorn." + signature.name + (list.empty() ? "" : " " + list));
    const std::vector<std::string> sent = traffic.Sent();
    std::string effect = sent.empty() ? "sends nothing" : "sends [" + sent.front() + "]";
    for (size_t i = 1; i < sent.size(); ++i)
        effect += " and [" + sent[i] + "]";
    if (outcome == DISP_E_EXCEPTION) {
        effect += "; raises error " + std::to_string(HRESULT_CODE(exception.scode)) + " (" +
                  Ascii(vorn::UniqueBstr(exception.bstrDescription).view()) + ")";
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrHelpFile);
    } else if (const char* error = DispatchError(outcome)) {
        effect += std::string("; raises error ") + error;
    } else {
        Check(outcome, "Invoke of an example");
        if (signature.hasResult) {
            text.result = V_I4(result.get());
            effect += "; result " + std::to_string(*text.result);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        VARIANT& variable = *variables[i].get();
        const Argument& argument = example.arguments[i];
        if (argument.kind == Argument::Variable && V_VT(&variable) == VT_BSTR &&
            vorn::View(V_BSTR(&variable)) != argument.text) {
            const std::wstring_view now = vorn::View(V_BSTR(&variable));
            const std::string& name = signature.parameters.at(i).name;
            // A reply is the module's (here the simulated one's): its length is what to know.
            if (!sent.empty() && sent.back().back() == '?')
                effect += "; " + name + " holds the reply, " + std::to_string(now.size()) +
                          " characters with the Chr(0) padding";
            else
                effect += "; " + name + " is now " + Quoted(now);
        }
    }
    if (*example.note)
        effect += std::string(" (") + example.note + ")";
    text.effect = effect;
    return text;
}

const char* Describe(vorn::Normalisation normalisation)
{
    switch (normalisation) {
    case vorn::Normalisation::None: return "left as given";
    case vorn::Normalisation::UpperCase: return "upper-cased; blanks are kept";
    case vorn::Normalisation::UpperCaseAndTrim: return "upper-cased, then blanks (U+0020) removed at both ends";
    }
    return "";
}

// Adds an item to a list, after a separator unless it is the first.
void Append(std::string& list, std::string_view separator, std::string_view item)
{
    if (!list.empty())
        list += separator;
    list += item;
}

std::string Code(std::wstring_view text)
{
    return Enclosed('`', text, '`');
}

std::string Keywords(const vorn::MethodEntry& entry)
{
    std::string list;
    for (std::wstring_view keyword : entry.keywords)
        Append(list, ", ", Code(keyword));
    return list;
}

// How the command line is formed, by the method's family.
std::string Sends(const vorn::MethodEntry& entry, const Signature& signature)
{
    const std::string argument = signature.parameters.empty() ? "" : signature.parameters.front().name;
    switch (entry.family) {
    case vorn::Family::Version:
        return "nothing; " + argument + " receives the interface version " + Code(vorn::kInterfaceVersion);
    case vorn::Family::FixedCommand: return Code(entry.header) + ", always";
    case vorn::Family::FixedQuery:
        return Code(entry.header) + ", then reads the module's reply into " + argument;
    case vorn::Family::Keyword:
        return Code(entry.header) + " followed by " + argument + " once normalised, when it equals a keyword";
    case vorn::Family::Setting: {
        std::string text = Code(entry.header) + " followed by the argument" +
                           (signature.parameters.size() > 2 ? "s" : "") + " as the examples show";
        if (!entry.queryHeader.empty())
            text += "; when " + argument + " is " + Code(vorn::kQueryWord) + ", " + Code(entry.queryHeader) +
                    " instead, and the reply goes into " + signature.parameters.at(1).name;
        return text;
    }
    }
    return "";
}

// The automation errors, from what the method does: every call that sends needs the library and its
// sending entry, a query the reply entry too, and numbers must fit their parameters.
std::string Errors(const vorn::MethodEntry& entry, const Signature& signature)
{
    std::string errors;
    if (entry.family != vorn::Family::Version) {
        errors += std::to_string(HRESULT_CODE(vorn::kFileNotFound)) + " when `Vorn.dll` can't be loaded; " +
                  std::to_string(HRESULT_CODE(vorn::kEntryNotFound)) + " when it lacks `SendScpiCommand`";
        if (entry.family == vorn::Family::FixedQuery || !entry.queryHeader.empty())
            errors += std::string(" or, for the query") + (entry.queryHeader.empty() ? "" : " form") +
                      ", `GetQueryResponse`";
    }
    bool numbers = false;
    for (const Parameter& parameter : signature.parameters)
        numbers |= (parameter.type == VT_I2 || parameter.type == VT_R8) && !(parameter.flags & PARAMFLAG_FRETVAL);
    if (numbers)
        Append(errors, "; ", "6 (Overflow) for a number that doesn't fit its parameter");
    if (!signature.parameters.empty() && !(signature.parameters.front().flags & PARAMFLAG_FRETVAL))
        Append(errors, "; ", "13 (Type mismatch) for an argument that can't be converted");
    return errors;
}

// The result codes the examples returned: what a method returns is shown, not asserted.
std::string Results(const Signature& signature, const std::set<LONG>& seen)
{
    if (!signature.hasResult)
        return "none: a `Sub`";
    std::string text;
    for (LONG code : seen) {
        if (code == 0)
            Append(text, " or ", "0 (sent)");
        else if (code == -1)
            Append(text, " or ", "-1 (an argument was rejected; nothing was sent)");
        else
            Fail(signature.name + ": a result code the reference doesn't know");
    }
    return text;
}

std::string VbSignature(const Signature& signature)
{
    std::string list;
    size_t optional = 0;
    for (const Parameter& parameter : signature.parameters) {
        if (parameter.flags & PARAMFLAG_FRETVAL)
            continue;
        const bool isOptional = parameter.flags & PARAMFLAG_FOPT;
        if (isOptional)
            list += "[";
        Append(list, ", ", parameter.name);
        optional += isOptional;
    }
    list += std::string(optional, ']');
    if (signature.hasResult)
        return "result = vorn." + signature.name + "(" + list + ")";
    return "vorn." + signature.name + (list.empty() ? "" : " " + list);
}

std::string CppSignature(const Signature& signature)
{
    std::string list;
    for (const Parameter& parameter : signature.parameters) {
        list += list.empty() ? "" : ", ";
        if (parameter.flags & PARAMFLAG_FOPT)
            list += "/* optional, may be null */ ";
        list += std::string(NamesOf(parameter.type).cpp) + "* " + parameter.name;
    }
    return "HRESULT " + signature.name + "(" + list + ")";
}

std::string Parameters(const Signature& signature)
{
    std::string text;
    for (const Parameter& parameter : signature.parameters) {
        if (parameter.flags & PARAMFLAG_FRETVAL)
            continue;
        Append(text, ", ", parameter.name + " As " + NamesOf(parameter.type).script +
                               (parameter.flags & PARAMFLAG_FOPT ? " (optional)" : ""));
    }
    return text.empty() ? "none" : text;
}

void Write(std::ostream& out, IDispatch* server, const std::vector<Signature>& signatures, Traffic& traffic)
{
    out << "# Vornlink method reference\n\n"
           "<!-- Generated by the build (release/MethodReference.cpp) from the server's type library and "
           "method table, with example calls made through the server against the simulated module. Do not "
           "edit: rebuild the target vornlink_reference_update. -->\n\n"
           "The class `VornDriver.clsVornlink` has nineteen methods. Each checks its arguments, builds at most "
           "one command line and hands it to `Vorn.dll`. Every parameter is passed by reference: a string "
           "argument that the method normalises or fills is written back into the caller's variable (VBScript "
           "and VBA variables, C++ `BSTR*`), and numbers never are. In the examples `vorn` is "
           "`CreateObject(\"VornDriver.clsVornlink\")`; the module answered is the simulated one, so replies "
           "are not shown.\n\n"
           "Automation errors reach VBScript and VBA as `Err.Number` (with `Err.Description`), C++ as a "
           "failed `HRESULT` in the control facility (`0x800A0035` for 53) with `IErrorInfo`.\n\n";
    out << "| Method | Dispatch identifier | Sends |\n|---|---|---|\n";
    for (const Signature& signature : signatures) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08lX", static_cast<unsigned long>(signature.id));
        const vorn::MethodEntry& entry = vorn::Methods()[signature.id - vorn::kFirstDispatchId];
        out << "| [" << signature.name << "](#" << signature.name << ") | " << id << " | "
            << (entry.header.empty() ? "nothing" : Code(entry.header)) << " |\n";
    }
    for (const Signature& signature : signatures) {
        if (signature.id < vorn::kFirstDispatchId || signature.id >= vorn::kFirstDispatchId + vorn::kMethodCount)
            Fail(signature.name + ": a dispatch identifier outside the method table");
        const vorn::MethodEntry& entry = vorn::Methods()[signature.id - vorn::kFirstDispatchId];
        if (Ascii(entry.name) != signature.name)
            Fail(signature.name + ": the type library and the method table disagree");
        char id[16];
        std::snprintf(id, sizeof id, "0x%08lX", static_cast<unsigned long>(signature.id));
        out << "\n## " << signature.name << "\n\n";
        if (!signature.help.empty())
            out << "> " << signature.help << "\n\n";
        out << "| | |\n|---|---|\n"
            << "| VBScript, VBA | `" << VbSignature(signature) << "` |\n"
            << "| Parameters | " << Parameters(signature) << " |\n"
            << "| C++ (`_clsVornlink`) | `" << CppSignature(signature) << "` |\n"
            << "| Dispatch identifier | " << id << " |\n"
            << "| Sends | " << Sends(entry, signature) << " |\n";
        if (!entry.keywords.empty())
            out << "| Keywords | " << Keywords(entry) << " (whole and case-sensitive, after normalisation) |\n";
        const bool takesText = entry.family == vorn::Family::Keyword || entry.family == vorn::Family::Setting;
        if (takesText && !signature.parameters.empty() && signature.parameters.front().type == VT_BSTR)
            out << "| Normalisation | " << Describe(entry.normalisation)
                << (entry.normalisation == vorn::Normalisation::None ? "" : ", written back before any check")
                << " |\n";
        std::string examples;
        std::set<LONG> results;
        for (const Example& example : kExamples) {
            if (Ascii(vorn::Entry(example.method).name) != signature.name)
                continue;
            const Outcome outcome = Run(server, signature, example, traffic);
            examples += outcome.call + "\n' " + outcome.effect + "\n";
            if (outcome.result)
                results.insert(*outcome.result);
        }
        out << "| Result | " << Results(signature, results) << " |\n";
        const std::string errors = Errors(entry, signature);
        if (!errors.empty())
            out << "| Automation errors | " << errors << " |\n";
        out << "\n```vb\n" << examples;
        out << "```\n";
    }
}

} // namespace

int main()
{
    int argc = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(CommandLineToArgvW(GetCommandLineW(), &argc),
                                                                  &LocalFree);
    wchar_t** argv = arguments.get();
    if (!argv || argc != 4) {
        std::fprintf(stderr, "usage: method_reference <Vornlink.dll> <traffic record> <reference.md>\n");
        return 2;
    }
    try {
        Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
        // The simulated module reads where to record when it records.
        SetEnvironmentVariableW(L"VORN_SIM_LOG", argv[2]);
        Traffic traffic(argv[2]);
        std::ostringstream reference;
        {
            const std::vector<Signature> signatures = ReadTypeLibrary(argv[1]);
            if (signatures.size() != static_cast<size_t>(vorn::kMethodCount))
                Fail("the type library doesn't declare the method table's methods");
            const ComPtr<IDispatch> server = CreateServer(argv[1]);
            Write(reference, server.Get(), signatures, traffic);
        }
        std::ofstream out(std::filesystem::path(argv[3]), std::ios::binary);
        out << reference.str();
        if (!out)
            Fail("the reference can't be written");
        CoUninitialize();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "method_reference: %s\n", error.what());
        return 1;
    }
}
