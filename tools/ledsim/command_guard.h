// Makes the command ledsim runs die with ledsim, SIGKILL of ledsim included: a small
// watcher process holds one end of a socket pair, and when ledsim goes away without
// saying that it ended the command itself, the watcher kills the command's process
// group. The kernel's parent-death signal reaches only the command's first process;
// this reaches what it started too, so nothing keeps ledsim's private mount namespace
// (and its dead FUSE mount) alive.
#pragma once

#include <sys/types.h>

namespace ledsim {

class CommandGuard {
public:
    CommandGuard() = default;
    CommandGuard(const CommandGuard&) = delete;
    CommandGuard& operator=(const CommandGuard&) = delete;
    ~CommandGuard();

    // Forks the watcher. Call it before anything else starts (threads, the private
    // mount namespace), so that the watcher holds nothing of ledsim's. 0 or -errno.
    int start();
    // The command runs in process group `group`: killed if ledsim dies from now on.
    void watch(pid_t group);
    // ledsim has ended the command itself: the watcher leaves without killing.
    void release();

private:
    int mFd = -1;
};

} // namespace ledsim
