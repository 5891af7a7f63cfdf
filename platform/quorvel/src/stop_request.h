#pragma once
// The process's stop request (stopServing(), SIGTERM or SIGINT through
// stopServingOnSignals): every blocking wait of the transport gives up once it is set.
// A plain atomic, so that a signal handler may set it.

#include <atomic>

namespace quorvel {

inline std::atomic<bool> gStopRequested{false};

} // namespace quorvel
