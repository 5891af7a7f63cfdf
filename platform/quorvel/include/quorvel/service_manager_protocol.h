#pragma once
// The service manager's transactions (handle 0 at the daemon's socket). Every request
// starts with the interface token SERVICE_MANAGER_DESCRIPTOR.

#include <cstdint>

namespace quorvel {

inline constexpr const char* SERVICE_MANAGER_DESCRIPTOR = "quorvel.os.IServiceRegistry";

enum ServiceManagerCode : uint32_t {
    // name -> reply: the object reference, null when not registered
    SM_CHECK_SERVICE = 1,
    // name, object reference -> status only
    SM_ADD_SERVICE = 2,
    // first index -> reply: total count, count in this reply, then that many names
    SM_LIST_SERVICES = 3,
};

} // namespace quorvel
