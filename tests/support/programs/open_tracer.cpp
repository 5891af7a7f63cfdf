// open() and open64() of the entry probe: note the flags, then pass the call on to
// whatever would have served it (a sanitizer's interceptor or the C library).
#include "open_tracer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

const char TRACED_PREFIX[] = "/sys/class/leds/";
const int MAX_TRACED = 256;

struct TracedOpen {
    char path[96];
    int flags;
};

std::atomic<bool> tracing{false};
std::atomic<int> tracedCount{0};
TracedOpen traced[MAX_TRACED];

typedef int (*OpenFunction)(const char*, int, ...);

int forward(const char* symbol, const char* path, int flags, mode_t mode)
{
    static std::atomic<OpenFunction> next[2];
    const int which = strcmp(symbol, "open") == 0 ? 0 : 1;
    OpenFunction function = next[which].load();
    if (function == nullptr) {
        function = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, symbol));
        next[which].store(function);
    }
    return function(path, flags, mode);
}

void note(const char* path, int flags)
{
    if (!tracing.load() || path == nullptr || strncmp(path, TRACED_PREFIX, sizeof TRACED_PREFIX - 1) != 0)
        return;
    const int slot = tracedCount.fetch_add(1);
    if (slot >= MAX_TRACED)
        return;
    snprintf(traced[slot].path, sizeof traced[slot].path, "%s", path);
    traced[slot].flags = flags;
}

// The parked open and whoever waits for it.
struct Parking {
    std::mutex mutex;
    std::condition_variable changed;
    std::string path; // armed while not empty
    bool parked = false;
    bool released = false;
    int othersWhileParked = 0;
};
std::atomic<bool> parkingArmed{false};

Parking& parking()
{
    static Parking instance;
    return instance;
}

void parkIfAsked(const char* path)
{
    if (!parkingArmed.load() || path == nullptr || strncmp(path, TRACED_PREFIX, sizeof TRACED_PREFIX - 1) != 0)
        return;
    Parking& p = parking();
    std::unique_lock lock(p.mutex);
    if (p.parked) {
        ++p.othersWhileParked;
        p.changed.notify_all();
        return;
    }
    if (p.path != path || p.released)
        return;
    p.parked = true;
    p.changed.notify_all();
    p.changed.wait(lock, [&] { return p.released; });
    p.parked = false;
}

mode_t modeArgument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

// Both entry points: a module may be built with either.
#define TRACED_OPEN(NAME)                                                                                              \
    extern "C" int NAME(const char* path, int flags, ...)                                                              \
    {                                                                                                                  \
        va_list args;                                                                                                  \
        va_start(args, flags);                                                                                         \
        const mode_t mode = modeArgument(flags, args);                                                                 \
        va_end(args);                                                                                                  \
        note(path, flags);                                                                                             \
        parkIfAsked(path);                                                                                             \
        return forward(#NAME, path, flags, mode);                                                                      \
    }

TRACED_OPEN(open)
TRACED_OPEN(open64)

namespace lights_test {

void startTracingOpens()
{
    tracedCount.store(0);
    tracing.store(true);
}

std::vector<std::string> tracedOpens()
{
    std::vector<std::string> lines;
    const int count = tracedCount.load() < MAX_TRACED ? tracedCount.load() : MAX_TRACED;
    for (int i = 0; i < count; ++i) {
        char flags[16];
        snprintf(flags, sizeof flags, "0%o", static_cast<unsigned>(traced[i].flags));
        lines.push_back(std::string(traced[i].path) + " " + flags);
    }
    return lines;
}

void parkNextOpenOf(const std::string& path)
{
    Parking& p = parking();
    std::lock_guard lock(p.mutex);
    p.path = path;
    p.parked = false;
    p.released = false;
    p.othersWhileParked = 0;
    parkingArmed.store(true);
}

bool waitUntilParked(int timeoutMs)
{
    Parking& p = parking();
    std::unique_lock lock(p.mutex);
    return p.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return p.parked; });
}

bool waitForOpenWhileParked(int timeoutMs)
{
    Parking& p = parking();
    std::unique_lock lock(p.mutex);
    return p.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return p.othersWhileParked > 0; });
}

void releaseParkedOpen()
{
    Parking& p = parking();
    std::lock_guard lock(p.mutex);
    p.released = true;
    p.changed.notify_all();
}

} // namespace lights_test
