// Objects in several single-threaded apartments of one process, called at the same time: the only
// state they share is the process-wide binding of the module library's entries (and the server's
// cached type information), both set up by whichever thread comes first. The threads start together
// in a fresh process, so the first binding and the first type information race too.
#include "Harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

using namespace hardening;

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 20000;

// One thread's work: its own apartment, its own object, a mix of calls whose results it checks.
void Work(std::latch& start, std::atomic<int>& failures, int seed)
{
    auto fail = [&](const char* what) {
        if (failures.fetch_add(1) < 10)
            std::printf("thread %d: %s\n", seed, what);
    };
    if (FAILED(CoInitialize(nullptr))) {
        fail("CoInitialize");
        start.count_down();
        return;
    }
    {
        start.arrive_and_wait();
        ComPtr<_clsVornlink> o = NewObject();
        ComPtr<IDispatch> d;
        if (!o || FAILED(o.As(&d))) {
            fail("no object");
        } else {
            BSTR text = nullptr, reply = nullptr;
            short config[4] = {1, static_cast<short>(seed % 9), 16, 1};
            for (int i = 0; i < kRounds; ++i) {
                LONG r = 99;
                switch ((i + seed) % 6) {
                case 0:
                    if (o->CONFIG(&config[0], &config[1], &config[2], &config[3], &r) != S_OK || r != 0)
                        fail("CONFIG");
                    break;
                case 1:
                    SysFreeString(text);
                    text = SysAllocString(L" full ");
                    if (o->SENS_CORR_COLL_METH(&text, &r) != S_OK || r != 0 || View(text) != L"FULL")
                        fail("SENS_CORR_COLL_METH");
                    break;
                case 2:
                    if (o->SYST_ERR(&reply, &r) != S_OK || View(reply).substr(0, 13) != L"+0,\"No error\"")
                        fail("SYST_ERR");
                    break;
                case 3: {
                    SysFreeString(text);
                    text = SysAllocString(L"40000");
                    if (SUCCEEDED(o->VORN_IAV(&text, nullptr, &r)) || TakeErrorDescription().empty())
                        fail("VORN_IAV overflow");
                    break;
                }
                case 4: {
                    LPOLESTR name = const_cast<LPOLESTR>(L"SENS_CORR_COLL_VIEW");
                    DISPID id = 0;
                    if (d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id) != S_OK || id != 0x60030010)
                        fail("GetIDsOfNames");
                    break;
                }
                case 5: {
                    SysFreeString(text);
                    text = SysAllocString(L"div");
                    VARIANT argument;
                    VariantInit(&argument);
                    V_VT(&argument) = VT_BYREF | VT_BSTR;
                    V_BSTRREF(&argument) = &text;
                    DISPPARAMS params{&argument, nullptr, 1, 0};
                    VARIANT result;
                    VariantInit(&result);
                    if (d->Invoke(0x60030010, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr) !=
                            S_OK ||
                        V_VT(&result) != VT_I4 || V_I4(&result) != 0 || View(text) != L"DIV")
                        fail("Invoke SENS_CORR_COLL_VIEW");
                    break;
                }
                }
            }
            SysFreeString(text);
            SysFreeString(reply);
        }
    }
    CoUninitialize();
}

} // namespace

TEST(Concurrency, ObjectsInSeveralApartmentsAtOnce)
{
    if (!LoadedLibraryFolder().empty() || GetModuleHandleW(ServerPath().c_str()))
        GTEST_SKIP() << "needs a fresh process: the first binding and type information are part of the race";
    ASSERT_TRUE(UseLibraryFolder(L"sim-quiet"));
    ASSERT_TRUE(ServerDll());
    std::latch start(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(Work, std::ref(start), std::ref(failures), t + 1);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0) << "calls that didn't give their result";
    std::printf("%d threads, %d calls each\n", kThreads, kRounds);
}
