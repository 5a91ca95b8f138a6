// The module as the running message sees it: one call of a server method, and a method's description.
// The program's link is the server object (ComModuleLink); the instrument takes whichever link it is
// given, so that its rules (locks, queues, clients that leave) are tested against a stand-in.
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
    virtual ~ModuleLink() = default;

    // The method called with `words` as its arguments, as a script passes them; `replyParameter` names
    // the position of the string a query's reply is written into.
    virtual ModuleCall Call(vorn::Method method, std::span<const std::wstring> words,
                            std::optional<size_t> replyParameter) = 0;

    // The method's description, or null with the reason in `error`.
    virtual const MethodInfo* Describe(vorn::Method method, std::optional<AutomationError>& error) = 0;

    // Drops whatever the link holds (on the thread that calls it, before it leaves its apartment).
    virtual void Release() noexcept {}
};

// The server object, owned by the one thread that calls it (a single-threaded apartment). It is
// created by ProgID at the first call and again after a creation failed, so a server registered or a
// Vorn.dll put in place while vornlan runs is picked up by the next message.
class ComModuleLink final : public ModuleLink {
public:
    ComModuleLink() = default;
    ComModuleLink(const ComModuleLink&) = delete;
    ComModuleLink& operator=(const ComModuleLink&) = delete;

    ModuleCall Call(vorn::Method method, std::span<const std::wstring> words,
                    std::optional<size_t> replyParameter) override;
    // From the server's type library, creating the object if need be.
    const MethodInfo* Describe(vorn::Method method, std::optional<AutomationError>& error) override;
    void Release() noexcept override;

private:
    std::optional<AutomationError> Ensure();

    Microsoft::WRL::ComPtr<IDispatch> object_;
    MethodCatalog catalog_;
};
