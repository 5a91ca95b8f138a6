// Long runs leave the process's private memory flat: a million calls of a mix of methods through
// both routes (queries, rejections and raised errors included), failing calls while the module
// library is missing, and the server DLL loaded and unloaded again and again.
//
// The bound held is kGrowthBound over the measured stretch, after a warm-up that fills the heaps'
// and the string cache's working sets. The figures are printed; only the growth is asserted. The
// module library used is bin/sim-quiet/Vorn.dll, whose entries do no work and keep no record.
#include "RandomCalls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using namespace hardening;

namespace {

constexpr SIZE_T kGrowthBound = 64 * 1024;

constexpr DISPID kConfig = 0x60030001;
constexpr DISPID kFint = 0x60030004;
constexpr DISPID kIav = 0x60030005;
constexpr DISPID kMethod = 0x60030008;
constexpr DISPID kSave = 0x6003000B;
constexpr DISPID kSystErr = 0x60030011;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The meter must see memory at all: a block of 256 KiB, touched, shows in the commit charge.
bool MeterSeesMemory()
{
    const SIZE_T before = CommitCharge();
    void* block = VirtualAlloc(nullptr, 256 * 1024, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!block)
        return false;
    memset(block, 1, 256 * 1024);
    const SIZE_T after = CommitCharge();
    VirtualFree(block, 0, MEM_RELEASE);
    return after >= before + 192 * 1024;
}

// Runs `calls` calls of the mix, after `warmUp` of them, and reports the commit charge's growth.
SIZE_T Growth(const char* what, const std::vector<std::function<void()>>& mix, size_t warmUp, size_t calls)
{
    EXPECT_TRUE(MeterSeesMemory()) << "the commit charge doesn't show a committed block";
    for (size_t i = 0; i < warmUp; ++i)
        mix[i % mix.size()]();
    const SIZE_T before = CommitCharge();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < calls; ++i)
        mix[i % mix.size()]();
    const double seconds = Seconds(start);
    const SIZE_T after = CommitCharge();
    const long long growth = static_cast<long long>(after) - static_cast<long long>(before);
    std::printf("%s: %u in %.1f s (%.2f us each); commit charge %lu -> %lu bytes, growth %lld bytes (bound %lu)\n",
                what, static_cast<unsigned>(calls), seconds, seconds / static_cast<double>(calls) * 1e6,
                static_cast<unsigned long>(before), static_cast<unsigned long>(after), growth,
                static_cast<unsigned long>(kGrowthBound));
    return growth > 0 ? static_cast<SIZE_T>(growth) : 0;
}

// One IDispatch call; the strings of an exception are freed as a client frees them.
HRESULT Invoke(IDispatch* d, DISPID id, std::vector<VARIANT> rgvarg, std::vector<DISPID> named = {})
{
    DISPPARAMS params{rgvarg.empty() ? nullptr : rgvarg.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(rgvarg.size()), static_cast<UINT>(named.size())};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception,
                                 &argumentError);
    VariantClear(&result);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
}

VARIANT Ref(VARTYPE type, void* target)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | type;
    V_BYREF(&v) = target;
    return v;
}

// Replaces the caller's string as a client does before passing it again.
void Reset(BSTR& slot, const wchar_t* text)
{
    SysFreeString(slot);
    slot = SysAllocString(text);
}

class Leaks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
};

} // namespace

TEST_F(Leaks, MillionMixedCallsKeepTheCommitChargeFlat)
{
    ASSERT_TRUE(UseLibraryFolder(L"sim-quiet"));
    if (!LoadedLibraryFolder().empty() && LoadedLibraryFolder() != L"sim-quiet")
        GTEST_SKIP() << "another module library is loaded in this process";
    ComPtr<_clsVornlink> o = NewObject();
    ASSERT_TRUE(o);
    ComPtr<IDispatch> d;
    ASSERT_EQ(o.As(&d), S_OK);

    short shorts[4] = {1, 7, 16, 1};
    short bad[4] = {0, 7, 16, 1};
    short measure = 3;
    double delay = 2.5;
    BSTR text = nullptr, reply = nullptr, average = SysAllocString(L"99999");
    VARIANT variable;
    VariantInit(&variable);
    std::wstring kilobyte(1024, L' ');
    kilobyte += L"full";
    LPOLESTR names[2] = {const_cast<LPOLESTR>(L"VORN_FINT"), const_cast<LPOLESTR>(L"strReturn")};
    DISPID ids[2] = {};
    LONG r = 0;
    unsigned failures = 0;
    auto expect = [&](bool ok) { failures += !ok; };

    const std::vector<std::function<void()>> mix = {
        [&] { expect(o->CONFIG(&shorts[0], &shorts[1], &shorts[2], &shorts[3], &r) == S_OK && r == 0); },
        [&] { expect(o->CONFIG(&bad[0], &bad[1], &bad[2], &bad[3], &r) == S_OK && r == -1); },
        [&] { expect(o->VORN_DELAY(&delay, &measure, &r) == S_OK && r == 0); },
        [&] { Reset(text, L" full "); expect(o->SENS_CORR_COLL_METH(&text, &r) == S_OK && r == 0); },
        [&] { Reset(text, L"vorn"); expect(o->DISP_MENU(&text, &r) == S_OK && r == 0); },
        [&] { Reset(text, L"x"); expect(o->SENS_CORR_COLL_SAVE(&text, &r) == S_OK && r == -1); },
        [&] { Reset(text, L" 1 "); expect(o->SENS_CORR_COLL_SAVE(&text, &r) == S_OK && r == 0); },
        [&] { expect(o->VORN_IAV(&average, nullptr, &r) != S_OK && !TakeErrorDescription().empty()); },
        [&] { Reset(text, L"?"); expect(o->VORN_IAV(&text, &reply, &r) == S_OK && r == 0); },
        [&] { Reset(text, L"?"); expect(o->VORN_FINT(&text, &reply, &r) == S_OK && r == 0); },
        [&] { expect(o->SYST_ERR(&reply, &r) == S_OK && SysStringLen(reply) > 0); },
        [&] { expect(o->CMD_IDN(&reply, &r) == S_OK); },
        [&] { expect(o->SPI_VERSION(&reply) == S_OK); },
        [&] { expect(o->SENS_CORR_COLL_DONE(&r) == S_OK); },
        [&] { expect(o->VORN_CLEAN(&r) == S_OK); },
        [&] { Reset(text, kilobyte.c_str()); expect(o->SENS_CORR_COLL_METH(&text, &r) == S_OK && r == 0); },
        // through IDispatch
        [&] {
            expect(Invoke(d.Get(), kConfig, {Ref(VT_I2, &shorts[3]), Ref(VT_I2, &shorts[2]), Ref(VT_I2, &shorts[1]),
                                             Ref(VT_I2, &shorts[0])}) == S_OK);
        },
        [&] {
            VariantClear(&variable);
            V_VT(&variable) = VT_BSTR;
            V_BSTR(&variable) = SysAllocString(L" qful ");
            expect(Invoke(d.Get(), kMethod, {Ref(VT_VARIANT, &variable)}) == S_OK);
        },
        [&] {
            VariantClear(&variable);  // an Empty script variable receives the reply
            expect(Invoke(d.Get(), kSystErr, {Ref(VT_VARIANT, &variable)}) == S_OK);
        },
        [&] {
            VARIANT number;
            VariantInit(&number);
            V_VT(&number) = VT_I4;
            V_I4(&number) = 2;
            expect(Invoke(d.Get(), kSave, {number}) == S_OK);
        },
        [&] { expect(Invoke(d.Get(), kIav, {Ref(VT_BSTR, &average)}) == DISP_E_EXCEPTION); },
        [&] {
            Reset(text, L"?");
            expect(Invoke(d.Get(), kFint, {Ref(VT_BSTR, &reply), Ref(VT_BSTR, &text)}, {1}) == S_OK);
        },
        [&] {
            VARIANT wrong;
            VariantInit(&wrong);
            V_VT(&wrong) = VT_BSTR;
            V_BSTR(&wrong) = SysAllocString(L"sixteen");
            expect(Invoke(d.Get(), kConfig, {wrong, wrong, wrong, wrong}) == DISP_E_TYPEMISMATCH);
            VariantClear(&wrong);
        },
        [&] { expect(Invoke(d.Get(), 0x60030013, {}) == DISP_E_MEMBERNOTFOUND); },
        [&] { expect(d->GetIDsOfNames(IID_NULL, names, 2, 0, ids) == S_OK); },
        [&] {
            ComPtr<ITypeInfo> info;
            expect(d->GetTypeInfo(0, 0, &info) == S_OK);
        },
        [&] {
            ComPtr<_clsVornlink> another = NewObject();
            expect(another && another->VORN_ABORT(&r) == S_OK);
        },
    };
    const SIZE_T growth = Growth("mixed calls", mix, 100000, 1000000);
    EXPECT_EQ(failures, 0u) << "calls in the mix that didn't give their result";
    EXPECT_LT(growth, kGrowthBound);
    SysFreeString(text);
    SysFreeString(reply);
    SysFreeString(average);
    VariantClear(&variable);
}

// The random calls of the model tests (every argument form, coercions, refusals, omitted and named
// arguments, raised errors, megabyte strings), for the rare paths a fixed mix misses.
TEST_F(Leaks, RandomCallsKeepTheCommitChargeFlat)
{
    ASSERT_TRUE(UseLibraryFolder(L"sim-quiet"));
    if (!LoadedLibraryFolder().empty() && LoadedLibraryFolder() != L"sim-quiet")
        GTEST_SKIP() << "another module library is loaded in this process";
    ComPtr<_clsVornlink> o = NewObject();
    ASSERT_TRUE(o);
    const vorn::test::TrafficLog log(BinFolder() + L"\\hardening-" + std::to_wstring(GetCurrentProcessId()) +
                                     L".quiet.log");  // the quiet library keeps no record
    Generator generator(20261208);
    const std::vector<std::function<void()>> mix = {[&] { RunCall(generator.RandomPlan(), o.Get(), log); }};
    const SIZE_T growth = Growth("random calls", mix, 20000, 200000);
    EXPECT_LT(growth, kGrowthBound);
}

TEST_F(Leaks, FailingCallsWhileTheLibraryIsMissingKeepTheCommitChargeFlat)
{
    if (!LoadedLibraryFolder().empty())
        GTEST_SKIP() << "needs a process that hasn't loaded the module library";
    ASSERT_TRUE(UseLibraryFolder(L"no-library"));
    ComPtr<_clsVornlink> o = NewObject();
    ASSERT_TRUE(o);
    ComPtr<IDispatch> d;
    ASSERT_EQ(o.As(&d), S_OK);
    BSTR text = nullptr;
    LONG r = 0;
    unsigned failures = 0;
    const std::vector<std::function<void()>> mix = {
        [&] { failures += o->VORN_CLEAN(&r) == S_OK || TakeErrorDescription().empty(); },
        [&] {
            Reset(text, L" full ");
            failures += o->SENS_CORR_COLL_METH(&text, &r) == S_OK || TakeErrorDescription().empty();
        },
        [&] { failures += o->CMD_IDN(&text, &r) == S_OK; },
        [&] { failures += Invoke(d.Get(), 0x60030007, {}) != DISP_E_EXCEPTION; },
        [&] { failures += Invoke(d.Get(), 0x60030012, {Ref(VT_BSTR, &text)}) != DISP_E_EXCEPTION; },
    };
    // A call that can't bind costs the platform's whole library search (about 1 ms under Wine).
    const SIZE_T growth = Growth("failing calls", mix, 500, 5000);
    EXPECT_EQ(failures, 0u);
    EXPECT_LT(growth, kGrowthBound);
    SysFreeString(text);
}

// A client's COM runtime unloads the server whenever DllCanUnloadNow allows it, and loads it again at
// the next creation: over a long run that happens again and again. 1200 cycles go past the 1088
// thread-local storage slots a process has.
TEST_F(Leaks, ServerLoadedAndUnloadedAgainAndAgain)
{
    const std::wstring path = ServerPath();
    if (GetModuleHandleW(path.c_str()))
        GTEST_SKIP() << "the server is already loaded in this process; it must be unloaded to be measured";
    ASSERT_TRUE(UseLibraryFolder(L"sim-quiet"));
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    unsigned failures = 0, cycles = 0;
    const std::vector<std::function<void()>> cycle = {[&] {
        if (++cycles % 100 == 0) {
            std::printf("cycle %u\n", cycles);  // a process that dies shows how far it got
            std::fflush(stdout);
        }
        const HMODULE dll = LoadLibraryW(path.c_str());
        if (!dll) {
            ++failures;
            return;
        }
        const auto get = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllGetClassObject")));
        const auto canUnload = reinterpret_cast<CanUnloadNow>(
            reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")));
        {
            ComPtr<IClassFactory> factory;
            ComPtr<IDispatch> d;
            ComPtr<_clsVornlink> o;
            if (get(CLSID_clsVornlink, IID_IClassFactory, &factory) != S_OK ||
                factory->CreateInstance(nullptr, IID__clsVornlink, &o) != S_OK || o.As(&d) != S_OK) {
                ++failures;
            } else {
                BSTR reply = nullptr;
                LONG r = 0;
                failures += o->CMD_IDN(&reply, &r) != S_OK;
                failures += Invoke(d.Get(), kSystErr, {Ref(VT_BSTR, &reply)}) != S_OK;
                SysFreeString(reply);
            }
        }
        failures += canUnload() != S_OK;
        FreeLibrary(dll);
    }};
    const SIZE_T growth = Growth("load, use and unload cycles", cycle, 100, 1100);
    EXPECT_EQ(failures, 0u) << "cycles that failed";
    EXPECT_LT(growth, kGrowthBound);
}
