// The one routine that touches LED attribute files.
#include "lights_state.h"

#include <quorvel/log.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

// Only the first failed open of the process is logged: a board without some
// attribute would otherwise log on every request. Guarded by state_lock.
int open_failure_logged = 0;

} // namespace

extern "C" int write_int(const char* path, int value)
{
    // Exactly O_RDWR: no O_CREAT (a missing attribute must stay missing) and no
    // O_CLOEXEC, the descriptor never outlives this call.
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        // errno belongs to the open; the log call must not change what we report.
        const int error = errno;
        if (!open_failure_logged) {
            __quorvel_log_print(QUORVEL_LOG_ERROR, "lights", "write_int failed to open %s\n", path);
            open_failure_logged = 1;
        }
        return -error;
    }

    char buffer[20];
    const int length = snprintf(buffer, sizeof buffer, "%d\n", value);
    // One write; a short write is the driver's business and not retried.
    const ssize_t written = write(fd, buffer, static_cast<size_t>(length));
    const int error = written < 0 ? errno : 0;
    close(fd);
    return -error;
}
