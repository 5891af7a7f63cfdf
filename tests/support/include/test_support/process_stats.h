#pragma once
// What a process holds, read from /proc: its open descriptors and resident memory.
// The load and fault tests compare these before and after to find leaks.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace quorvel::robustness {

struct ProcessUsage {
    int descriptors = -1; // entries of /proc/PID/fd; -1 when unreadable
    long rssKiB = -1; // VmRSS of /proc/PID/status; -1 when unreadable
};

// Leak checks compare with "no more than before": a sanitizer's runtime may hold a
// descriptor of its own for a moment, so fewer is fine; more is a leak.
ProcessUsage usageOf(pid_t pid);
// usageOf() once the descriptor count has held still for `quiet`, or at `timeout`:
// a baseline taken right after a round of peers may still count connections whose
// close the process has not handled yet (slow under emulation).
ProcessUsage settledUsageOf(pid_t pid, std::chrono::milliseconds quiet = std::chrono::milliseconds(300),
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
std::string describe(const ProcessUsage& usage);
// The CPU time `pid` has used so far (user and system), in clock ticks; -1 when
// unreadable.
long cpuTicksOf(pid_t pid);
// Waits up to `timeout` until `pid` holds no more descriptors than `baseline` did,
// and returns its usage as last read: a process that is done with its peers may
// still be handling their closes.
ProcessUsage usageBackTo(pid_t pid, const ProcessUsage& baseline,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// How much of each load a test applies: 1 by default, 0.1 in sanitizer builds, whose
// code runs several times slower, and in cross builds, whose programs run emulated.
// $QUORVEL_ROBUSTNESS_SCALE (a positive number) overrides both.
double loadScale();
// `count` scaled, at least `minimum`.
int scaled(int count, int minimum = 1);

// How much resident memory may be added without counting as growth: `plainKiB` in a
// plain build. A sanitizer build keeps freed memory in quarantine for a while, so
// there only descriptors and the leak checker catch leaks. Under an emulator
// (an emulated build) the memory is the emulator's, and only descriptors count.
long memorySlackKiB(long plainKiB);

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

} // namespace quorvel::robustness
