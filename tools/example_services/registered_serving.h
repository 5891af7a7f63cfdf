#pragma once
// How a serving process stays registered: register every service, serve, and when the
// service manager goes away, register again once it is back (with back-off), until
// SIGTERM or SIGINT.

#include "example_services.h"

#include <vector>

namespace quorvel {

// Runs until stopped (returns 0) or until registration is refused or the manager
// cannot be reached at start-up within a few seconds (writes why, returns 1). Call
// stopServingOnSignals() first.
int serveRegistered(const char* program, const std::vector<ExampleService>& services);

} // namespace quorvel
