#include "CallRunner.h"

#include <sstream>

namespace hardening {

namespace {

VARTYPE DeclaredType(Param p)
{
    switch (p) {
    case Param::Int16: return VT_I2;
    case Param::Double: return VT_R8;
    default: return VT_BSTR;
    }
}

BSTR NewBstr(const Text& t)
{
    return t.null ? nullptr : SysAllocStringLen(t.text.data(), static_cast<UINT>(t.text.size()));
}

Text TextOf(BSTR b)
{
    if (!b)
        return {true, {}};
    return {false, std::wstring(View(b))};
}

void Build(const ForeignValue& f, VARIANT* v)
{
    VariantInit(v);
    V_VT(v) = f.type;
    switch (f.type) {
    case VT_I4: V_I4(v) = static_cast<LONG>(f.integer); break;
    case VT_I2: V_I2(v) = static_cast<SHORT>(f.integer); break;
    case VT_UI1: V_UI1(v) = static_cast<BYTE>(f.integer); break;
    case VT_I8: V_I8(v) = f.integer; break;
    case VT_BOOL: V_BOOL(v) = f.integer ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_R8: V_R8(v) = f.real; break;
    case VT_R4: V_R4(v) = static_cast<float>(f.real); break;
    case VT_DATE: V_DATE(v) = f.real; break;
    case VT_CY: V_CY(v).int64 = f.integer; break;
    case VT_ERROR: V_ERROR(v) = static_cast<SCODE>(f.integer); break;
    case VT_BSTR: V_BSTR(v) = SysAllocStringLen(f.text.data(), static_cast<UINT>(f.text.size())); break;
    case VT_DISPATCH: V_DISPATCH(v) = nullptr; break;
    case VT_UNKNOWN: V_UNKNOWN(v) = nullptr; break;
    default: break;  // VT_EMPTY, VT_NULL
    }
}

// Same type and the same value (for strings, the very same BSTR holding the same text).
bool Same(const VARIANT& a, const VARIANT& b, const std::wstring& textBefore)
{
    if (V_VT(&a) != V_VT(&b))
        return false;
    switch (V_VT(&a)) {
    case VT_BSTR: return V_BSTR(&a) == V_BSTR(&b) && View(V_BSTR(&a)) == textBefore;
    case VT_R8:
    case VT_DATE: return memcmp(&V_R8(&a), &V_R8(&b), sizeof(double)) == 0;
    default: return memcmp(&a, &b, sizeof(VARIANT)) == 0;
    }
}

std::string PassingName(Passing p)
{
    switch (p) {
    case Passing::Typed: return "typed";
    case Passing::VariantRef: return "byref-variant";
    case Passing::EmptyVariantRef: return "byref-empty-variant";
    case Passing::ByValue: return "by-value";
    case Passing::Foreign: return "foreign";
    case Passing::ForeignRef: return "byref-foreign";
    case Passing::Missing: return "missing-marker";
    case Passing::Absent: return "absent";
    }
    return "?";
}

std::string Describe(const ForeignValue& f)
{
    std::ostringstream out;
    out << "vt " << f.type;
    if (f.type == VT_BSTR)
        out << " " << Printable(f.text);
    else if (f.type == VT_R8 || f.type == VT_R4 || f.type == VT_DATE)
        out << " " << f.real;
    else if (f.type != VT_EMPTY && f.type != VT_NULL)
        out << " " << f.integer;
    return out.str();
}

// A call of the method's vtable entry with the given pointers.
HRESULT CallVtable(_clsVornlink* o, int method, void* const* a, LONG* r)
{
    const auto s = [&](int i) { return static_cast<BSTR*>(a[i]); };
    const auto i2 = [&](int i) { return static_cast<short*>(a[i]); };
    switch (method) {
    case 0: return o->SPI_VERSION(s(0));
    case 1: return o->CONFIG(i2(0), i2(1), i2(2), i2(3), r);
    case 2: return o->VORN_DELAY(static_cast<double*>(a[0]), i2(1), r);
    case 3: return o->DISP_MENU(s(0), r);
    case 4: return o->VORN_FINT(s(0), s(1), r);
    case 5: return o->VORN_IAV(s(0), s(1), r);
    case 6: return o->VORN_ABORT(r);
    case 7: return o->VORN_CLEAN(r);
    case 8: return o->SENS_CORR_COLL_METH(s(0), r);
    case 9: return o->SENS_CORR_COLL_PAR(s(0), r);
    case 10: return o->SENS_CORR_COLL_ACQ(s(0), r);
    case 11: return o->SENS_CORR_COLL_SAVE(s(0), r);
    case 12: return o->SENS_CORR_COLL_DONE(r);
    case 13: return o->SENS_CORR_COLL_NEXT(r);
    case 14: return o->SENS_CORR_COLL_PRIOR(r);
    case 15: return o->SENS_CORR_COLL_RES(r);
    case 16: return o->SENS_CORR_COLL_VIEW(s(0), r);
    case 17: return o->SYST_ERR(s(0), r);
    case 18: return o->CMD_IDN(s(0), r);
    default: return E_NOTIMPL;
    }
}

// The caller's side of one argument, at stable addresses for the length of the call.
struct Storage {
    BSTR text = nullptr;
    BSTR textBefore = nullptr;
    std::wstring textBeforeContent;
    short int16 = 0;
    double real = 0;
    VARIANT variable;   // for the by-reference VARIANT forms
    VARIANT variableBefore;
    VARIANT given;      // the rgvarg entry
    VARIANT givenBefore;
    bool passed = false;
};

} // namespace

std::string Describe(const Plan& plan)
{
    const MethodInfo& m = Methods()[static_cast<size_t>(plan.method)];
    std::ostringstream out;
    out << (plan.route == Route::Vtable ? "vtable " : "IDispatch ") << m.name << "(";
    for (size_t i = 0; i < plan.passed.size(); ++i) {
        const Passed& p = plan.passed[i];
        if (i)
            out << ", ";
        out << PassingName(p.how) << (p.named ? " named " : " ");
        if (p.how == Passing::Foreign || p.how == Passing::ForeignRef)
            out << Describe(p.foreign);
        else if (p.how != Passing::Missing && p.how != Passing::Absent)
            out << Describe(p.value);
    }
    out << ")";
    if (plan.route == Route::Dispatch && plan.flags != DISPATCH_METHOD)
        out << " flags " << plan.flags;
    return out.str();
}

std::optional<Call> Effective(const Plan& plan, std::vector<int>* failing)
{
    const MethodInfo& m = Methods()[static_cast<size_t>(plan.method)];
    Call call{plan.method, {}};
    bool ok = true;
    for (size_t p = 0; p < m.params.size(); ++p) {
        const Passed& passed = plan.passed[p];
        if (passed.how == Passing::Missing || passed.how == Passing::Absent) {
            call.args.push_back(Arg::Omitted());
            continue;
        }
        if (passed.how != Passing::Foreign && passed.how != Passing::ForeignRef) {
            call.args.push_back(passed.value);
            continue;
        }
        VARIANT given, coerced;
        Build(passed.foreign, &given);
        VariantInit(&coerced);
        const VARTYPE type = DeclaredType(m.params[p]);
        if (FAILED(VariantChangeTypeEx(&coerced, &given, LOCALE_USER_DEFAULT, 0, type))) {
            ok = false;
            if (failing)
                failing->push_back(static_cast<int>(p));
            call.args.push_back(Arg::Omitted());
        } else if (type == VT_I2) {
            call.args.push_back(Arg::Of(static_cast<short>(V_I2(&coerced))));
        } else if (type == VT_R8) {
            call.args.push_back(Arg::Of(V_R8(&coerced)));
        } else {
            Arg text = Arg::Of(View(V_BSTR(&coerced)));
            call.args.push_back(text);
        }
        VariantClear(&given);
        VariantClear(&coerced);
    }
    if (!ok)
        return std::nullopt;
    return call;
}

Result RunCall(const Plan& plan, _clsVornlink* object, const vorn::test::TrafficLog& log)
{
    const MethodInfo& m = Methods()[static_cast<size_t>(plan.method)];
    const size_t n = m.params.size();
    std::vector<Storage> storage(n);
    Result out;
    Observation& o = out.observation;
    o.finalText.assign(n, std::nullopt);
    o.untouched.assign(n, true);
    out.rgvargIndex.assign(n, 0xFFFFFFFF);

    for (size_t p = 0; p < n; ++p) {
        Storage& s = storage[p];
        const Passed& passed = plan.passed[p];
        VariantInit(&s.variable);
        VariantInit(&s.given);
        const VARTYPE type = DeclaredType(m.params[p]);
        switch (passed.how) {
        case Passing::Typed:
        case Passing::VariantRef:
        case Passing::ByValue:
            if (type == VT_BSTR) {
                s.text = NewBstr(passed.value.text);
                s.textBeforeContent = passed.value.text.text;
            } else if (type == VT_I2) {
                s.int16 = passed.value.int16;
            } else {
                s.real = passed.value.real;
            }
            break;
        case Passing::Foreign: Build(passed.foreign, &s.given); break;
        case Passing::ForeignRef: Build(passed.foreign, &s.variable); break;
        default: break;
        }
        s.textBefore = s.text;
        s.passed = passed.how != Passing::Absent;
        if (plan.route == Route::Dispatch) {
            switch (passed.how) {
            case Passing::Typed:
                V_VT(&s.given) = VT_BYREF | type;
                V_BYREF(&s.given) = type == VT_BSTR ? static_cast<void*>(&s.text)
                                                    : type == VT_I2 ? static_cast<void*>(&s.int16) : &s.real;
                break;
            case Passing::VariantRef:
                V_VT(&s.variable) = type;
                if (type == VT_BSTR) {
                    V_BSTR(&s.variable) = s.text;  // owned by the variable now
                    s.text = s.textBefore = nullptr;
                } else if (type == VT_I2) {
                    V_I2(&s.variable) = s.int16;
                } else {
                    V_R8(&s.variable) = s.real;
                }
                [[fallthrough]];
            case Passing::EmptyVariantRef:
            case Passing::ForeignRef:
                V_VT(&s.given) = VT_BYREF | VT_VARIANT;
                V_VARIANTREF(&s.given) = &s.variable;
                break;
            case Passing::ByValue:
                V_VT(&s.given) = type;
                if (type == VT_BSTR) {
                    V_BSTR(&s.given) = s.text;
                    s.text = s.textBefore = nullptr;
                } else if (type == VT_I2) {
                    V_I2(&s.given) = s.int16;
                } else {
                    V_R8(&s.given) = s.real;
                }
                break;
            case Passing::Missing:
                V_VT(&s.given) = VT_ERROR;
                V_ERROR(&s.given) = DISP_E_PARAMNOTFOUND;
                break;
            default: break;
            }
        }
        s.variableBefore = s.variable;
        s.givenBefore = s.given;
    }
    std::vector<std::wstring> variableTextBefore(n), givenTextBefore(n);
    for (size_t p = 0; p < n; ++p) {
        if (V_VT(&storage[p].variable) == VT_BSTR)
            variableTextBefore[p] = View(V_BSTR(&storage[p].variable));
        if (V_VT(&storage[p].given) == VT_BSTR)
            givenTextBefore[p] = View(V_BSTR(&storage[p].given));
    }

    log.clear();
    if (plan.route == Route::Vtable) {
        void* pointers[4] = {};
        for (size_t p = 0; p < n; ++p) {
            Storage& s = storage[p];
            const VARTYPE type = DeclaredType(m.params[p]);
            if (plan.passed[p].how == Passing::Missing || plan.passed[p].how == Passing::Absent)
                pointers[p] = nullptr;
            else
                pointers[p] = type == VT_BSTR ? static_cast<void*>(&s.text)
                                              : type == VT_I2 ? static_cast<void*>(&s.int16) : &s.real;
        }
        LONG code = 0x5A5A5A5A;
        SetErrorInfo(0, nullptr);
        o.hr = CallVtable(object, plan.method, pointers, &code);
        if (m.hasResult)
            o.result = code;
        if (FAILED(o.hr))
            o.described = !TakeErrorDescription().empty();
    } else {
        // Named arguments first, then the positional ones last to first.
        std::vector<VARIANT> rgvarg;
        std::vector<DISPID> namedIds;
        size_t positional = 0;
        while (positional < n && !plan.passed[positional].named && storage[positional].passed)
            ++positional;
        for (size_t p = positional; p < n; ++p) {
            if (!storage[p].passed)
                continue;
            out.rgvargIndex[p] = static_cast<UINT>(rgvarg.size());
            rgvarg.push_back(storage[p].given);
            namedIds.push_back(static_cast<DISPID>(p));
        }
        for (size_t k = positional; k-- > 0;) {
            out.rgvargIndex[k] = static_cast<UINT>(rgvarg.size());
            rgvarg.push_back(storage[k].given);
        }
        DISPPARAMS params{rgvarg.empty() ? nullptr : rgvarg.data(), namedIds.empty() ? nullptr : namedIds.data(),
                          static_cast<UINT>(rgvarg.size()), static_cast<UINT>(namedIds.size())};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception{};
        ComPtr<IDispatch> dispatch;
        object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.GetAddressOf()));
        o.hr = dispatch->Invoke(kFirstDispatchId + plan.method, IID_NULL, LOCALE_USER_DEFAULT, plan.flags, &params,
                                &result, &exception, &out.argumentError);
        if (o.hr == DISP_E_EXCEPTION)
            o.described = FAILED(exception.scode) && SysStringLen(exception.bstrDescription) > 0;
        if (SUCCEEDED(o.hr)) {
            if (V_VT(&result) == VT_I4)
                o.result = V_I4(&result);
            o.resultEmpty = V_VT(&result) == VT_EMPTY;
        }
        VariantClear(&result);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        // The entries of rgvarg are the caller's: a by-value one must come back as it went in.
        for (size_t p = 0; p < n; ++p) {
            if (out.rgvargIndex[p] == 0xFFFFFFFF)
                continue;
            const VARIANT& entry = rgvarg[out.rgvargIndex[p]];
            if (!Same(entry, storage[p].givenBefore, givenTextBefore[p]))
                o.untouched[p] = false;
        }
    }
    o.traffic = log.records();

    // What the caller holds afterwards.
    for (size_t p = 0; p < n; ++p) {
        Storage& s = storage[p];
        const Passing how = plan.passed[p].how;
        const VARTYPE type = DeclaredType(m.params[p]);
        if (how == Passing::Missing || how == Passing::Absent)
            continue;
        const bool typedSlot = plan.route == Route::Vtable || how == Passing::Typed;
        if (typedSlot) {
            if (type == VT_BSTR) {
                o.finalText[p] = TextOf(s.text);
                if (s.text != s.textBefore || View(s.text) != s.textBeforeContent)
                    o.untouched[p] = false;
            } else if (type == VT_I2) {
                o.untouched[p] = o.untouched[p] && s.int16 == plan.passed[p].value.int16;
            } else {
                o.untouched[p] = o.untouched[p] && memcmp(&s.real, &plan.passed[p].value.real, sizeof s.real) == 0;
            }
        } else if (how == Passing::VariantRef || how == Passing::EmptyVariantRef || how == Passing::ForeignRef) {
            const bool same = Same(s.variable, s.variableBefore, variableTextBefore[p]);
            o.untouched[p] = o.untouched[p] && same;
            if (type == VT_BSTR && how != Passing::ForeignRef) {
                if (V_VT(&s.variable) == VT_BSTR)
                    o.finalText[p] = TextOf(V_BSTR(&s.variable));
                else if (V_VT(&s.variable) == VT_EMPTY)
                    o.finalText[p] = Text{false, {}};
                else
                    o.untouched[p] = false;  // a string variable must stay a string
            } else if (type == VT_BSTR && !same) {
                o.finalText[p] = std::nullopt;  // a variable of another type is never written
            }
        }
        if (s.text)
            SysFreeString(s.text);
        VariantClear(&s.variable);
        VariantClear(&s.given);
    }
    return out;
}

std::string Judge(const Plan& plan, const Circumstances& circumstances, const Result& result)
{
    std::vector<int> failing;
    const std::optional<Call> call = Effective(plan, &failing);
    const Observation& o = result.observation;
    if (call)
        return Check(*call, circumstances, o);
    // A coercion that fails: the dispatch layer refuses before the method runs.
    std::ostringstream problem;
    if (o.hr != DISP_E_TYPEMISMATCH && o.hr != DISP_E_OVERFLOW && o.hr != DISP_E_BADVARTYPE)
        problem << "an argument that can't be coerced should be refused, got 0x" << std::hex << o.hr << std::dec;
    else if (!o.traffic.empty())
        problem << "refused, yet the module received something";
    else {
        bool pointsAtFailing = false;
        for (const int p : failing)
            pointsAtFailing |= result.argumentError == result.rgvargIndex[static_cast<size_t>(p)];
        if (!pointsAtFailing)
            problem << "puArgErr " << result.argumentError << " names no argument that fails to coerce";
        for (size_t p = 0; p < o.untouched.size(); ++p)
            if (!o.untouched[p])
                problem << "refused, yet parameter " << p + 1 << " was written";
    }
    return problem.str();
}

} // namespace hardening
