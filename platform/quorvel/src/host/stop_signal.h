#pragma once
// StopSignal: sets and clears the process's stop request (StopRequest) and owns the
// eventfd that wakes whoever waits for one: the serving loop and waitForStop().
// request() may be called from a signal handler.

#include "stop_request.h"

#include <atomic>

namespace quorvel {

class StopSignal {
public:
    void request();
    bool requested() const { return StopRequest::requested(); }
    // A stop has been dealt with: the next wait waits again.
    void clear() { StopRequest::clear(); }
    // The request as a loop that polls a flag reads it (Server::run).
    const std::atomic<bool>& flag() const { return StopRequest::sRequested; }
    // Waits up to `timeoutMs` for a stop request; true if there is one.
    bool waitFor(int timeoutMs);
    // The descriptor a stop makes readable, made on first use; -errno if it cannot be.
    int wakeFd();

private:
    // Written from signal handlers: an eventfd that is never closed once made, so a
    // handler can never write to a recycled descriptor.
    std::atomic<int> mWakeFd{-1};
};

} // namespace quorvel
