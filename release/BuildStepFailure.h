// How the build's own Windows programs (the installer's registration rows, the method reference)
// fail: an exception with the reason, which main prints before it exits with 1, so the build stops.
#pragma once

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace vorn::buildstep {

[[noreturn]] inline void Fail(const std::string& message)
{
    throw std::runtime_error(message);
}

inline void Check(HRESULT outcome, const char* what)
{
    if (FAILED(outcome)) {
        char text[160];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(outcome));
        Fail(text);
    }
}

} // namespace vorn::buildstep
