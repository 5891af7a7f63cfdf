#include <quorvel/status.h>

namespace quorvel {

const char* statusToString(status_t status)
{
    switch (status) {
    case OK: return "ok";
    case NO_MEMORY: return "out of memory";
    case BAD_VALUE: return "bad value";
    case NAME_NOT_FOUND: return "name not found";
    case PERMISSION_DENIED: return "permission denied";
    case NOT_ENOUGH_DATA: return "not enough data";
    case BAD_TYPE: return "bad type";
    case FDS_NOT_ALLOWED: return "descriptors not allowed";
    case TOO_MANY_OBJECTS: return "too many objects";
    case TIMED_OUT: return "timed out";
    case DEAD_OBJECT: return "dead object";
    case UNKNOWN_TRANSACTION: return "unknown transaction";
    case FAILED_TRANSACTION: return "failed transaction";
    case LIMIT_EXCEEDED: return "limit exceeded";
    default: return status > 0 ? "positive status" : "unknown error";
    }
}

} // namespace quorvel
