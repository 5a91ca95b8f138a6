// The server object, owned by the one thread that calls it (a single-threaded apartment). It is
// created by ProgID at the first call and again after a creation failed, so a server registered or a
// Vorn.dll put in place while vornlan runs is picked up by the next message.
#pragma once

#include "MethodCall.h"
#include "MethodCatalog.h"
#include "MethodTable.h"

#include <oaidl.h>
#include <wrl/client.h>

#include <optional>
#include <span>
#include <string>

struct ModuleCall {
    std::optional<AutomationError> error; // the call failed (or the object couldn't be created)
    long result = 0;                      // 0 sent, -1 rejected by the server
    std::wstring reply;                   // a query's reply, up to its first zero character
};

class ModuleLink {
public:
    ModuleLink() = default;
    ModuleLink(const ModuleLink&) = delete;
    ModuleLink& operator=(const ModuleLink&) = delete;

    // The method called with `words` as its arguments, as a script passes them; `replyParameter` names
    // the position of the string a query's reply is written into.
    ModuleCall Call(vorn::Method method, std::span<const std::wstring> words,
                    std::optional<size_t> replyParameter);

    // The method's description from the server's type library, creating the object if need be.
    const MethodInfo* Describe(vorn::Method method, std::optional<AutomationError>& error);

    // Drops the object (on the owning thread, before CoUninitialize).
    void Release() noexcept;

private:
    std::optional<AutomationError> Ensure();

    Microsoft::WRL::ComPtr<IDispatch> object_;
    MethodCatalog catalog_;
};
