#include "socket_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

// How often a lock file that its holder removed as we took it is made anew before we
// give up: each retry needs a manager that left in that instant.
constexpr int LOCK_ATTEMPTS = 8;

status_t refuse(SocketPathRefusal* refusal, SocketPathRefusal::Reason reason, const std::string& what,
                const struct stat* st, status_t status)
{
    if (refusal) {
        refusal->reason = reason;
        refusal->folder = what;
        if (st) {
            refusal->owner = st->st_uid;
            refusal->mode = st->st_mode & 07777;
        }
    }
    return status;
}

// Only a file we made can be trusted to be nobody else's lock: anything else (a link,
// a fifo, a device, another uid's file) is refused before it is opened, and again
// after, in case it was swapped in between.
bool ours(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

} // namespace

std::string socketLockName(const std::string& name)
{
    return name + ".lock";
}

status_t SocketLock::acquire(int folder, const std::string& name, SocketPathRefusal* refusal)
{
    if (mFd)
        return BAD_VALUE;
    const std::string lockName = socketLockName(name);
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        struct stat st;
        if (::fstatat(folder, lockName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !ours(st))
            return refuse(refusal, SocketPathRefusal::LOCK_NOT_OURS, lockName, &st, -EEXIST);
        UniqueFd fd(::openat(folder, lockName.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!fd) {
            const status_t status = -errno;
            if (::fstatat(folder, lockName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !ours(st))
                return refuse(refusal, SocketPathRefusal::LOCK_NOT_OURS, lockName, &st, -EEXIST);
            return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, lockName, nullptr, status);
        }
        if (::fstat(fd.get(), &st) < 0)
            return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, lockName, nullptr, -errno);
        if (!ours(st))
            return refuse(refusal, SocketPathRefusal::LOCK_NOT_OURS, lockName, &st, -EEXIST);
        int rc;
        do {
            rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            if (errno == EWOULDBLOCK)
                return refuse(refusal, SocketPathRefusal::LOCKED, lockName, nullptr, -EWOULDBLOCK);
            return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, lockName, nullptr, -errno);
        }
        // A holder removes the file before it lets go: the lock we got may be on a file
        // that is gone or replaced, which protects nothing. Then start over.
        struct stat now;
        if (::fstatat(folder, lockName.c_str(), &now, AT_SYMLINK_NOFOLLOW) < 0 || now.st_dev != st.st_dev ||
            now.st_ino != st.st_ino)
            continue;
        UniqueFd folderCopy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
        if (!folderCopy)
            return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, lockName, nullptr, -errno);
        mFd = std::move(fd);
        mFolder = std::move(folderCopy);
        mName = lockName;
        mDevice = st.st_dev;
        mInode = st.st_ino;
        return OK;
    }
    return refuse(refusal, SocketPathRefusal::LOCKED, lockName, nullptr, -EWOULDBLOCK);
}

void SocketLock::release()
{
    if (!mFd)
        return;
    // Removed while still held: whoever opened it meanwhile finds it gone once it gets
    // the lock, and makes a new one (see acquire).
    struct stat st;
    if (::fstatat(mFolder.get(), mName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mDevice &&
        st.st_ino == mInode)
        ::unlinkat(mFolder.get(), mName.c_str(), 0);
    mFd.reset();
    mFolder.reset();
}

} // namespace quorvel
