#include <test_support/process_stats.h>

#include <test_support/process.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace quorvel::robustness {

ProcessUsage usageOf(pid_t pid)
{
    ProcessUsage usage;
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR* dir = ::opendir((base + "/fd").c_str())) {
        // The directory stream's own descriptor is listed too when pid is ourselves.
        const int own = pid == ::getpid() ? ::dirfd(dir) : -1;
        usage.descriptors = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
                continue;
            ++usage.descriptors;
        }
        ::closedir(dir);
    }
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            usage.rssKiB = std::strtol(line.c_str() + 6, nullptr, 10);
            break;
        }
    }
    return usage;
}

ProcessUsage settledUsageOf(pid_t pid, std::chrono::milliseconds quiet, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ProcessUsage last = usageOf(pid);
    auto stillSince = std::chrono::steady_clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const ProcessUsage now = usageOf(pid);
        const auto at = std::chrono::steady_clock::now();
        if (now.descriptors != last.descriptors)
            stillSince = at;
        last = now;
        if (at - stillSince >= quiet || at >= deadline)
            return last;
    }
}

std::string describe(const ProcessUsage& usage)
{
    return std::to_string(usage.descriptors) + " descriptors, " + std::to_string(usage.rssKiB) + " KiB resident";
}

double loadScale()
{
    if (const char* text = std::getenv("QUORVEL_ROBUSTNESS_SCALE")) {
        const double value = std::strtod(text, nullptr);
        if (value > 0)
            return value;
    }
    // Every emulated process start costs tens of milliseconds.
    if (!quorvel::testing::emulatorPrefix().empty())
        return 0.1;
#ifdef QUORVEL_ROBUSTNESS_SANITIZED
    return 0.1;
#else
    return 1.0;
#endif
}

int scaled(int count, int minimum)
{
    const int value = static_cast<int>(count * loadScale());
    return value < minimum ? minimum : value;
}

long memorySlackKiB(long plainKiB)
{
#ifdef QUORVEL_ROBUSTNESS_SANITIZED
    (void)plainKiB;
    return 256 * 1024;
#else
    // Under an emulator the resident memory is the emulator's own, whose per-thread
    // translation state grows with every serving thread it has run; there, too, only
    // descriptors catch leaks.
    if (!quorvel::testing::emulatorPrefix().empty())
        return 1024 * 1024;
    return plainKiB;
#endif
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ProcessUsage usageBackTo(pid_t pid, const ProcessUsage& baseline, std::chrono::milliseconds timeout)
{
    ProcessUsage now;
    eventually(
        [&] {
            now = usageOf(pid);
            return now.descriptors <= baseline.descriptors;
        },
        timeout);
    return now;
}

long cpuTicksOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    // Fields after the command: state is field 3; utime and stime are 14 and 15.
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

} // namespace quorvel::robustness
