#pragma once
// StopRequest: whether this process has been asked to stop (stopServing(), SIGTERM or
// SIGINT through stopServingOnSignals). Every blocking wait of the transport gives up
// once it is set. Anyone may read it; only StopSignal, which also wakes whoever waits
// for a stop, sets and clears it. A plain atomic, so that a signal handler may set it.

#include <atomic>

namespace quorvel {

class StopRequest {
public:
    static bool requested() { return sRequested.load(); }

private:
    friend class StopSignal;
    static void set() { sRequested.store(true); }
    static void clear() { sRequested.store(false); }

    static inline std::atomic<bool> sRequested{false};
};

} // namespace quorvel
