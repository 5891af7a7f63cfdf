#pragma once
// Status codes of the object system: 0 for success, negative values for failures.
// Each code keeps its value on the wire, so a service's status reaches the caller unchanged.

#include <cerrno>
#include <cstdint>

namespace quorvel {

using status_t = int32_t;

enum : status_t {
    OK = 0,
    NO_MEMORY = -ENOMEM,
    BAD_VALUE = -EINVAL,
    NAME_NOT_FOUND = -ENOENT,
    PERMISSION_DENIED = -EPERM,
    NOT_ENOUGH_DATA = -ENODATA,
    BAD_TYPE = -EBADMSG,
    FDS_NOT_ALLOWED = -ENOTSUP,
    TOO_MANY_OBJECTS = -E2BIG,
    TIMED_OUT = -ETIMEDOUT,
    DEAD_OBJECT = -EPIPE,
    UNKNOWN_TRANSACTION = -EBADRQC,
    FAILED_TRANSACTION = -EPROTO,
    LIMIT_EXCEEDED = -EMSGSIZE,
};

// A short English description of a status ("dead object", "ok"); never null.
const char* statusToString(status_t status);

} // namespace quorvel
