#include "stop_signal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quorvel {

void StopSignal::request()
{
    StopRequest::set();
    const int fd = mWakeFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
}

int StopSignal::wakeFd()
{
    int wake = mWakeFd.load();
    if (wake >= 0)
        return wake;
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return -errno;
    int expected = -1;
    if (!mWakeFd.compare_exchange_strong(expected, wake)) {
        ::close(wake); // another thread made one first
        return expected;
    }
    return wake;
}

bool StopSignal::waitFor(int timeoutMs)
{
    // The descriptor exists before the flag is read: a stop that comes after the read
    // finds it and wakes the poll, one that came before is seen by the read.
    const int wake = wakeFd();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!StopRequest::requested()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        if (wake < 0) {
            // No descriptor to wait on: look again every few milliseconds.
            ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 5)));
            continue;
        }
        pollfd fd{wake, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) > 0 && !StopRequest::requested()) {
            // A wake-up left over from a stop that has been dealt with.
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wake, &value, sizeof value);
        }
    }
    return true;
}

} // namespace quorvel
