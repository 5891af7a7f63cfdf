// The platform log: one formatted line per call, tagged and prioritised.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Priorities, from most verbose to fatal.
enum {
    QUORVEL_LOG_VERBOSE = 2,
    QUORVEL_LOG_DEBUG = 3,
    QUORVEL_LOG_INFO = 4,
    QUORVEL_LOG_WARN = 5,
    QUORVEL_LOG_ERROR = 6,
    QUORVEL_LOG_FATAL = 7,
};

// Writes "<letter>/<tag>: <message>" to standard error as one line (a newline is
// added only when the message has none). Returns the number of bytes written or a
// negated errno value. Leaves errno as it found it.
int __quorvel_log_print(int priority, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4), visibility("default")));

#ifdef __cplusplus
}
#endif
