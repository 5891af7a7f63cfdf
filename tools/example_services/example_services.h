#pragma once
// The five example services that tests, the demo and people trying `service` rely on:
// each echoes what it is sent, and they differ in how they answer the descriptor
// query (or, for example.failing, in failing every call).

#include <quorvel/binder.h>
#include <quorvel/string16.h>

#include <vector>

namespace quorvel {

struct ExampleService {
    const char* name;
    sp<IBinder> object;
};

// The services in registration order.
std::vector<ExampleService> makeExampleServices();

inline constexpr const char* ECHO_DESCRIPTOR = "quorvel.example.IEcho";

// An echo service like example.echo that answers the descriptor query with
// `descriptor` (UTF-8).
sp<IBinder> makeEchoService(const char* descriptor);

// The status example.refusing answers the descriptor query with, and the one every
// transaction to example.failing gets.
inline constexpr status_t REFUSING_STATUS = PERMISSION_DENIED;
inline constexpr status_t FAILING_STATUS = FAILED_TRANSACTION;

} // namespace quorvel
