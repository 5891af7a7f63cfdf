#include "endpoint.h"

#include <quorvel/limits.h>

#include "connection.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr int LISTEN_BACKLOG = 128;
constexpr int NAME_ATTEMPTS = 16;
// How long a manager that is starting waits to learn whether an existing socket is
// still served.
constexpr std::chrono::milliseconds LIVE_CHECK_TIMEOUT{1000};

status_t randomWord(uint64_t* value)
{
    uint8_t* bytes = reinterpret_cast<uint8_t*>(value);
    size_t got = 0;
    while (got < sizeof *value) {
        const ssize_t n = ::getrandom(bytes + got, sizeof *value - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        got += static_cast<size_t>(n);
    }
    return OK;
}

// A folder may hold the socket only if nobody but root and us can change what it
// contains: otherwise another user could put their own socket in our place.
status_t checkFolder(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) < 0)
        return -errno;
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return -EPERM;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        return -EPERM;
    return OK;
}

// Opens (creating what is missing) every folder from the root down to `folder`
// without following a symlink, checking each one; leaves the last one in `out`. Each
// step opens the whole path so far: the folders above were checked already, and none
// of them can be changed by anyone but root and us.
status_t openSafeFolder(const std::string& folder, UniqueFd* out)
{
    UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current)
        return -errno;
    if (const status_t status = checkFolder(current.get()); status != OK)
        return status;
    std::string sofar;
    size_t start = 0;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        const std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return -EPERM;
        sofar += "/" + part;
        int fd = ::open(sofar.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdir(sofar.c_str(), 0755) < 0 && errno != EEXIST)
                return -errno;
            fd = ::open(sofar.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            // O_NOFOLLOW with O_DIRECTORY gives ENOTDIR for a symlink: look closer.
            const int error = errno;
            struct stat st;
            if (::lstat(sofar.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                return -ELOOP;
            return -error;
        }
        current.reset(fd);
        if (const status_t status = checkFolder(current.get()); status != OK)
            return status;
    }
    *out = std::move(current);
    return OK;
}

// True when something accepts connections on the socket at `path`.
bool socketAnswers(const std::string& path)
{
    sockaddr_un address;
    unsigned length;
    if (!endpointAddress(path, &address, &length))
        return false;
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    setSocketTimeouts(fd.get(), LIVE_CHECK_TIMEOUT, LIVE_CHECK_TIMEOUT);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
    } while (rc < 0 && errno == EINTR);
    // Refused means nobody listens; a full backlog (EAGAIN) still is somebody.
    return rc == 0 || errno == EAGAIN;
}

} // namespace

status_t Endpoint::bindAndListen(const std::string& address, mode_t fileMode)
{
    sockaddr_un socketAddress;
    unsigned length;
    if (!endpointAddress(address, &socketAddress, &length))
        return BAD_VALUE;
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return -errno;
    int rc;
    if (fileMode != 0) {
        // A socket file takes its mode from the socket's own inode (less the umask)
        // when it is bound: the mode is given here, never by a chmod of the path.
        if (::fchmod(fd.get(), fileMode) < 0)
            return -errno;
        const mode_t saved = ::umask(0);
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&socketAddress), length);
        ::umask(saved);
    } else {
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&socketAddress), length);
    }
    if (rc < 0 || ::listen(fd.get(), LISTEN_BACKLOG) < 0)
        return -errno;
    mListen = std::move(fd);
    mAddress = address;
    return OK;
}

status_t Endpoint::listenAbstract()
{
    if (mListen)
        return BAD_VALUE;
    const std::string base = ENDPOINT_PREFIX + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        uint64_t bits;
        if (const status_t status = randomWord(&bits); status != OK)
            return status;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016" PRIx64, bits);
        const status_t status = bindAndListen(base + hex, 0);
        if (status != -EADDRINUSE)
            return status;
    }
    return -EADDRINUSE;
}

status_t Endpoint::listenOnPath(const std::string& path)
{
    if (mListen)
        return BAD_VALUE;
    if (path.size() < 2 || path[0] != '/' || path.back() == '/' || path.size() > MAX_ENDPOINT_LENGTH)
        return BAD_VALUE;
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash + 1);
    if (name == "." || name == "..")
        return BAD_VALUE;
    UniqueFd folder;
    if (const status_t status = openSafeFolder(path.substr(0, slash), &folder); status != OK)
        return status;

    struct stat st;
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return -EEXIST;
        // A socket left by a manager that died is replaced; one that is still served
        // is never taken from under its owner.
        if (socketAnswers(path))
            return -EADDRINUSE;
        if (::unlinkat(folder.get(), name.c_str(), 0) < 0 && errno != ENOENT)
            return -errno;
    }
    // Look-up is for everyone; registration is checked per peer.
    if (const status_t status = bindAndListen(path, 0666); status != OK)
        return status;
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) {
        const status_t status = -errno;
        ::unlinkat(folder.get(), name.c_str(), 0);
        mListen.reset();
        mAddress.clear();
        return status;
    }
    mFolder = std::move(folder);
    mFileName = name;
    mDevice = st.st_dev;
    mInode = st.st_ino;
    return OK;
}

void Endpoint::close()
{
    if (mFolder) {
        // Only our own file: a newer manager may have replaced a socket it found dead.
        struct stat st;
        if (::fstatat(mFolder.get(), mFileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mDevice &&
            st.st_ino == mInode)
            ::unlinkat(mFolder.get(), mFileName.c_str(), 0);
        mFolder.reset();
    }
    mListen.reset();
}

} // namespace quorvel
