// Entry points of the tracing Vorn.dll: each call is recorded, then forwarded unchanged to the
// target (Target.h), then its outcome recorded. The command line is written before the call is
// forwarded, so a target that hangs or ends the process still leaves it in the file.
//
// The server binds an entry once and never looks at its result, so a trace that loaded but can't
// forward could only make calls look successful. Hence DllMain refuses the load when no usable
// target file exists (a check that only reads files, fine under the loader lock): the server's
// LoadLibrary then fails as for a missing Vorn.dll, and its next call tries again. The target is
// loaded at the first call, outside the loader lock.

#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "SystemText.h"
#include "Target.h"
#include "TraceFile.h"
#include "TraceLine.h"
#include "Traffic.h"

namespace {

using vorntrace::Target;

vorntrace::TraceFile g_file;
SRWLOCK g_loading = SRWLOCK_INIT;
std::atomic<const Target*> g_target{nullptr};
std::atomic<unsigned long> g_calls{0};
std::atomic<bool> g_headerWritten{false};

// Recording never fails a call: anything it throws is dropped with the record.
template <class Compose>
void record(Compose&& compose) noexcept
{
    if (g_file.stopped())
        return;
    try {
        std::string lines = compose();
        lines += '\n';
        if (const Target* target = g_target.load(std::memory_order_acquire);
            target && !g_headerWritten.exchange(true)) {
            lines = vorntrace::noteStart() + " target=" + vorntrace::quotedPath(target->path) +
                    " version=" + target->version + " loadedAs=" + vorntrace::quotedPath(target->loadedAs) + '\n' +
                    lines;
        }
        g_file.write(lines);
    } catch (...) {
    }
}

const Target* target() noexcept
{
    if (const Target* loaded = g_target.load(std::memory_order_acquire))
        return loaded;
    const vorntrace::ExclusiveLock lock(g_loading);
    if (const Target* loaded = g_target.load(std::memory_order_acquire))
        return loaded;
    try {
        const vorntrace::TargetChoice choice = vorntrace::chooseTarget();
        std::string why = "no usable Vorn.dll";
        std::unique_ptr<Target> loaded = choice.path.empty() ? nullptr : vorntrace::loadTarget(choice.path, why);
        if (loaded) {
            g_target.store(loaded.release(), std::memory_order_release);
            return g_target.load(std::memory_order_acquire);
        }
        record([&] { return vorntrace::noteStart() + " call not forwarded: " + why + "; tried " + choice.describe(); });
    } catch (...) {
    }
    return nullptr;
}

class Stopwatch {
public:
    Stopwatch() noexcept { QueryPerformanceCounter(&start_); }
    long long microseconds() const noexcept
    {
        static const long long frequency = [] {
            LARGE_INTEGER f;
            QueryPerformanceFrequency(&f);
            return f.QuadPart;
        }();
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return (now.QuadPart - start_.QuadPart) * 1000000 / frequency;
    }

private:
    LARGE_INTEGER start_;
};

void appendOutcome(std::string& line, int result, const Stopwatch& watch)
{
    vorntrace::appendNumber(line, "return", result);
    vorntrace::appendNumber(line, "took", watch.microseconds());
    line += "us";
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    try {
        DisableThreadLibraryCalls(self);
        g_file.setDefaultFolder(vorntrace::folderOf(vorntrace::moduleFileName(self)));
        const vorntrace::TargetChoice choice = vorntrace::chooseTarget();
        if (!choice.path.empty())
            return TRUE;
        g_file.write(vorntrace::noteStart() + " load refused: no usable Vorn.dll; tried " + choice.describe() + '\n');
    } catch (...) {
    }
    return FALSE;
}

// Marks this file as a tracing library, so no trace takes another (or itself) as its target.
extern "C" int WINAPI VornTraceLibrary()
{
    return 1;
}

extern "C" int WINAPI SendScpiCommand(const char* command)
{
    const Target* const forward = target();
    if (!forward)
        return -1;
    const unsigned long call = ++g_calls;
    record([&] {
        std::string line = vorntrace::lineStart(call) + " SendScpiCommand";
        if (command)
            vornsim::appendTrafficData(line, '>', command);
        else
            line += " command=null";
        return line;
    });
    const Stopwatch watch;
    const int result = forward->send(command);
    record([&] {
        std::string line = vorntrace::lineStart(call) + " SendScpiCommand";
        appendOutcome(line, result, watch);
        return line;
    });
    return result;
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    const Target* const forward = target();
    if (!forward)
        return -1;
    const unsigned long call = ++g_calls;
    record([&] {
        std::string line = vorntrace::lineStart(call);
        vornsim::appendReplyRequest(line, size, outValue);
        return line;
    });
    const Stopwatch watch;
    const int result = forward->read(reply, size, outValue);
    record([&] {
        std::string line = vorntrace::lineStart(call) + " GetQueryResponse";
        appendOutcome(line, result, watch);
        line += " outValue=";
        line += outValue ? std::to_string(*outValue) : "null";
        if (!reply) {
            line += " buffer=null";
            return line;
        }
        // The reply as a reader of a zero-terminated string sees it, never beyond the size told.
        const std::size_t told = size > 0 ? static_cast<std::size_t>(size) : 0;
        const void* zero = std::memchr(reply, 0, told);
        const std::size_t length = zero ? static_cast<const char*>(zero) - reply : told;
        if (!zero)
            line += " unterminated";
        vornsim::appendTrafficData(line, '<', std::string_view(reply, length));
        return line;
    });
    return result;
}
