#include "command_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>

namespace ledsim {

namespace {

// A message is one process group id; 0 says ledsim is done.
void watchOver(int fd)
{
    // Signals meant for ledsim's process group (a ^C, a timeout's SIGTERM) are
    // ledsim's to act on: it ends the command itself and then says so.
    for (const int ignored : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
        signal(ignored, SIG_IGN);
    // Holding ledsim's output open would keep whoever reads it waiting.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(null, standard);
        close(null);
    }
    pid_t group = 0;
    while (true) {
        int32_t message;
        const ssize_t got = read(fd, &message, sizeof message);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof message))
            break; // end of stream: ledsim is gone
        if (message == 0)
            _exit(0);
        group = message;
    }
    if (group > 0)
        kill(-group, SIGKILL);
    _exit(0);
}

} // namespace

CommandGuard::~CommandGuard()
{
    release();
}

int CommandGuard::start()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -errno;
    const pid_t watcher = fork();
    if (watcher < 0) {
        const int error = errno;
        close(ends[0]);
        close(ends[1]);
        return -error;
    }
    if (watcher == 0) {
        close(ends[0]);
        watchOver(ends[1]);
    }
    close(ends[1]);
    mFd = ends[0];
    return 0;
}

void CommandGuard::watch(pid_t group)
{
    const int32_t message = group;
    if (mFd >= 0 && group > 0)
        (void)!send(mFd, &message, sizeof message, MSG_NOSIGNAL);
}

void CommandGuard::release()
{
    if (mFd < 0)
        return;
    const int32_t done = 0;
    (void)!send(mFd, &done, sizeof done, MSG_NOSIGNAL);
    close(mFd);
    mFd = -1;
}

} // namespace ledsim
