#include "listening_socket.h"

#include <quorvel/limits.h>

#include "socket_io.h"
#include "socket_folder.h"

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

status_t ListeningSocket::bindAndListen(const std::string& address, mode_t fileMode)
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

status_t ListeningSocket::listenAbstract()
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

status_t ListeningSocket::listenOnPath(const std::string& path, SocketPathRefusal* refusal)
{
    SocketPathRefusal ignored;
    SocketPathRefusal& why = refusal ? *refusal : ignored;
    if (mListen)
        return BAD_VALUE;
    if (path.empty() || path[0] != '/') {
        why.reason = SocketPathRefusal::NOT_ABSOLUTE;
        return BAD_VALUE;
    }
    if (path.size() > MAX_ENDPOINT_LENGTH) {
        why.reason = SocketPathRefusal::TOO_LONG;
        return BAD_VALUE;
    }
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        why.reason = SocketPathRefusal::NOT_A_FILE_NAME;
        return BAD_VALUE;
    }
    UniqueFd folder;
    if (const status_t status = openSocketFolder(path.substr(0, slash), &folder, &why); status != OK)
        return status;
    // Looking at an old socket, removing it and binding our own are one step under the
    // lock: two managers that both found the old one dead would otherwise both bind,
    // the second removing the first's socket, which would serve on unreachable.
    if (const status_t status = mLock.acquire(folder.get(), name, &why); status != OK) {
        why.folder = path + ".lock";
        return status;
    }
    const status_t status = listenOnPathLocked(path, folder, name, &why);
    if (status != OK)
        mLock.release();
    return status;
}

status_t ListeningSocket::listenOnPathLocked(const std::string& path, UniqueFd& folder, const std::string& name,
                                             SocketPathRefusal* refusal)
{
    SocketPathRefusal& why = *refusal;
    struct stat st;
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            why.reason = SocketPathRefusal::NOT_A_SOCKET;
            return -EEXIST;
        }
        // A socket left by a manager that died is replaced; one that is still served
        // is never taken from under its owner.
        if (socketAnswers(path)) {
            why.reason = SocketPathRefusal::MANAGER_ANSWERS;
            return -EADDRINUSE;
        }
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

void ListeningSocket::close()
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
    mLock.release();
}

} // namespace quorvel
