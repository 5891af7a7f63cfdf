#pragma once
// SocketLock: the lock file beside the service manager's socket ("<name>.lock"). A
// manager holds it (flock) from before it looks at an old socket until it has removed
// its own, so that of managers started together on one path exactly one serves.

#include <quorvel/hosting_types.h>
#include <quorvel/status.h>
#include <quorvel/unique_fd.h>

#include <string>
#include <sys/types.h>

namespace quorvel {

// The lock file's name for the socket file `name`.
std::string socketLockName(const std::string& name);

class SocketLock {
public:
    SocketLock() = default;
    ~SocketLock() { release(); }
    SocketLock(const SocketLock&) = delete;
    SocketLock& operator=(const SocketLock&) = delete;

    // Takes the lock for the socket file `name` in `folder` (a checked folder, opened
    // with O_PATH), making the lock file (0600) when it is missing. Refused (-EEXIST,
    // LOCK_NOT_OURS) when the lock file is not a regular file owned by our euid, and
    // (-EWOULDBLOCK, LOCKED) when another process holds it: never waits.
    status_t acquire(int folder, const std::string& name, SocketPathRefusal* refusal);

    bool held() const { return mFd.valid(); }

    // Removes the lock file, if it is still ours, and then lets go of it.
    void release();

private:
    UniqueFd mFd;
    UniqueFd mFolder; // a copy of the folder's descriptor, for the removal
    std::string mName;
    dev_t mDevice = 0;
    ino_t mInode = 0;
};

} // namespace quorvel
