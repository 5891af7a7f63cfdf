// A platform log that changes errno, as a real logger may (it can open files or
// sockets). Loaded in place of the normal one to prove that a failed open reports
// the open's errno, not whatever the log call left behind.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

extern "C" __attribute__((visibility("default"))) int __quorvel_log_print(int priority, const char* tag,
                                                                          const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fprintf(stderr, "clobbering-log %d/%s: ", priority, tag);
    vfprintf(stderr, fmt, args);
    va_end(args);
    errno = EIO;
    return 0;
}
