// Entry points of the tracing Vorn.dll: each call is recorded, then forwarded unchanged to the
// target (Target.h), then its outcome recorded. The command line is written before the call is
// forwarded, so a target that hangs or ends the process still leaves it in the file.
//
// The server binds an entry once and never looks at its result, so a trace that loaded but can't
// forward could only make calls look successful. Hence DllMain does everything that can fail short
// of loading a library: it chooses the target and makes and checks its private copy (file work,
// fine under the loader lock), and refuses the load when that fails: the server's LoadLibrary then
// fails as for a missing Vorn.dll, and its next call tries again. The copy is loaded at the first
// call, outside the loader lock, its dependencies found as they would be without the trace.
//
// Tracing leaves the last-error value as it would be untraced: the target starts with the caller's
// value, and the caller gets back whatever the target left (the caller's own, if it set none).

#include <windows.h>

#include <algorithm>
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
std::unique_ptr<vorntrace::PreparedTarget> g_prepared; // from DllMain until the first call loads it
std::atomic<const Target*> g_target{nullptr};
std::atomic<unsigned long> g_calls{0};

// Recording never fails a call: anything it throws is dropped with the record.
template <class Compose>
void record(Compose&& compose) noexcept
{
    if (g_file.stopped())
        return;
    try {
        std::string lines = compose();
        lines += '\n';
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
        std::string why = "no target prepared";
        std::unique_ptr<Target> loaded = g_prepared ? vorntrace::loadTarget(*g_prepared, why) : nullptr;
        if (loaded) {
            g_file.setHeader(" target=" + vorntrace::quotedPath(loaded->path) + " version=" + loaded->version +
                             " loadedAs=" + vorntrace::quotedPath(loaded->loadedAs));
            g_prepared.reset();
            g_target.store(loaded.release(), std::memory_order_release);
            return g_target.load(std::memory_order_acquire);
        }
        record([&] {
            return vorntrace::noteStart() + " call not forwarded: " + why + "; target " +
                   vorntrace::quotedPath(g_prepared ? g_prepared->path : std::wstring());
        });
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
        std::string why = "no usable Vorn.dll";
        if (!choice.path.empty()) {
            auto prepared = std::make_unique<vorntrace::PreparedTarget>();
            if (vorntrace::prepareTarget(choice.path, *prepared, why)) {
                g_prepared = std::move(prepared);
                return TRUE;
            }
        }
        g_file.write(vorntrace::noteStart() + " load refused: " + why + "; tried " + choice.describe() + '\n');
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
    const DWORD callerError = GetLastError();
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
    SetLastError(callerError);
    const int result = forward->send(command);
    const DWORD targetError = GetLastError();
    record([&] {
        std::string line = vorntrace::lineStart(call) + " SendScpiCommand";
        appendOutcome(line, result, watch);
        return line;
    });
    SetLastError(targetError);
    return result;
}

extern "C" int WINAPI GetQueryResponse(char* reply, int size, int* outValue)
{
    const DWORD callerError = GetLastError();
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
    SetLastError(callerError);
    const int result = forward->read(reply, size, outValue);
    const DWORD targetError = GetLastError();
    record([&] {
        std::string line = vorntrace::lineStart(call) + " GetQueryResponse";
        appendOutcome(line, result, watch);
        line += " outValue=";
        const int written = outValue ? *outValue : -1;
        line += outValue ? std::to_string(written) : "null";
        if (!reply) {
            line += " buffer=null";
            return line;
        }
        // What the target wrote: the count it gave, never beyond the size told; all of the size
        // told when it gave none. Zero bytes included. "unterminated": no zero within the size told.
        const std::size_t told = size > 0 ? static_cast<std::size_t>(size) : 0;
        const std::size_t shown = written >= 0 ? std::min(static_cast<std::size_t>(written), told) : told;
        if (!std::memchr(reply, 0, told))
            line += " unterminated";
        vornsim::appendTrafficData(line, '<', std::string_view(reply, shown));
        return line;
    });
    SetLastError(targetError);
    return result;
}
