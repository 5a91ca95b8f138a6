// The DLL's entry point and its four exports.
#include "ServerModule.h"

#include "ClassFactory.h"
#include "Registration.h"
#include "SystemText.h"

#include <atomic>

namespace vorn {

namespace {
HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
} // namespace

HMODULE ServerModuleHandle() noexcept
{
    return g_module;
}

std::wstring ServerModulePath()
{
    return ModuleFileName(g_module);
}

void ObjectCreated() noexcept
{
    ++g_objects;
}

void ObjectDestroyed() noexcept
{
    --g_objects;
}

void LockServerModule(bool lock) noexcept
{
    lock ? ++g_locks : --g_locks;
}

bool ServerModuleInUse() noexcept
{
    return g_objects.load() != 0 || g_locks.load() != 0;
}

} // namespace vorn

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        vorn::g_module = instance;
        DisableThreadLibraryCalls(instance);
        // Stays loaded until the process ends. The statically linked C++ runtime can't be unloaded
        // cleanly (each load takes a thread-local storage slot and memory it never gives back), and
        // a client's COM runtime unloads and reloads an idle server again and again.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&DllMain), &pinned);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return vorn::ServerModuleInUse() ? S_FALSE : S_OK;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    return vorn::GetClassFactory(clsid, iid, object);
}

STDAPI DllRegisterServer()
{
    return vorn::RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return vorn::UnregisterServer();
}
