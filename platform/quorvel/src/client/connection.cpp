#include "connection.h"

#include <quorvel/limits.h>

#include "socket_io.h"
#include "stop_request.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr size_t ADOPT_THRESHOLD = 4096;
constexpr long DEFAULT_IPC_TIMEOUT_MS = 10000;
constexpr long MAX_IPC_TIMEOUT_MS = 3600000;

} // namespace

std::chrono::milliseconds ipcTimeout()
{
    static const std::chrono::milliseconds value = [] {
        const char* text = std::getenv("QUORVEL_IPC_TIMEOUT_MS");
        // Digits only: strtol alone would also take leading blanks and a sign.
        if (text && *text >= '0' && *text <= '9') {
            char* end = nullptr;
            errno = 0;
            const long ms = std::strtol(text, &end, 10);
            if (errno == 0 && *end == '\0' && ms >= 1 && ms <= MAX_IPC_TIMEOUT_MS)
                return std::chrono::milliseconds(ms);
        }
        return std::chrono::milliseconds(DEFAULT_IPC_TIMEOUT_MS);
    }();
    return value;
}

std::string poolKey(const ObjectRef& target)
{
    return target.endpoint + '\0' + std::to_string(target.host.pid) + '.' + std::to_string(target.host.uid);
}

sp<Connection> Connection::connectTo(const std::string& endpoint, ObjectTable& objects, const PeerIdentity* expected,
                                     status_t* status)
{
    sockaddr_un address;
    unsigned length;
    if (!endpointAddress(endpoint, &address, &length)) {
        *status = BAD_VALUE;
        return nullptr;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) {
        *status = -errno;
        return nullptr;
    }
    // The deadlines bound every blocking step from here on: a connect to a host whose
    // backlog is full, a send to a host that reads nothing, the wait for a reply.
    setSocketTimeouts(fd.get(), ipcTimeout(), ipcTimeout());
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
    } while (rc < 0 && errno == EINTR && !StopRequest::requested());
    if (rc < 0) {
        const int error = errno;
        // Nobody listening there any more is what a vanished host looks like.
        if (error == ECONNREFUSED || error == ENOENT || error == EINTR)
            *status = DEAD_OBJECT;
        else if (error == EAGAIN || error == EINPROGRESS)
            *status = TIMED_OUT;
        else
            *status = -error;
        return nullptr;
    }
    // The credentials of the listening socket, taken by the kernel when it started
    // listening: nobody can claim another process's.
    ucred credentials{};
    socklen_t credentialsLength = sizeof credentials;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &credentialsLength) < 0) {
        *status = -errno;
        return nullptr;
    }
    const PeerIdentity listener{credentials.pid, credentials.uid};
    // A pid of 0 is a process the kernel cannot show us: never the one we expect.
    if (expected && (listener.pid == 0 || !(listener == *expected))) {
        *status = DEAD_OBJECT;
        return nullptr;
    }
    *status = OK;
    return sp<Connection>(new Connection(std::move(fd), endpoint, listener, objects));
}

Connection::Connection(UniqueFd fd, std::string endpoint, PeerIdentity listener, ObjectTable& objects)
    : mFd(std::move(fd))
    , mEndpoint(std::move(endpoint))
    , mListener(listener)
    , mObjects(objects)
{
}

status_t Connection::failLocked(status_t status)
{
    // Shutting down rather than closing keeps the descriptor number owned by us, so a
    // poll on it elsewhere cannot end up watching an unrelated file.
    mFailure.store(status);
    ::shutdown(mFd.get(), SHUT_RDWR);
    return status;
}

bool stillQuiet(int fd)
{
    pollfd p{fd, KEPT_CONNECTION_EVENTS, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

status_t Connection::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                              bool* sent)
{
    Parcel scratch;
    Parcel* out = reply ? reply : &scratch;
    out->freeData();
    if (sent)
        *sent = false;
    std::lock_guard<std::mutex> lock(mLock);
    return transactLocked(handle, code, data, out, flags, sent);
}

status_t Connection::transactIfQuiet(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                                     bool* sent)
{
    Parcel scratch;
    Parcel* out = reply ? reply : &scratch;
    out->freeData();
    *sent = false;
    // Under the lock: another caller's reply arriving on a shared connection is no
    // sign of anything.
    std::lock_guard<std::mutex> lock(mLock);
    if (mFailure.load() == OK && !stillQuiet(mFd.get()))
        failLocked(DEAD_OBJECT);
    return transactLocked(handle, code, data, out, flags, sent);
}

status_t Connection::transactLocked(uint32_t handle, uint32_t code, const Parcel& data, Parcel* out, uint32_t flags,
                                    bool* sent)
{
    status_t status = mFailure.load();
    if (status == OK)
        status = sendRequestLocked(handle, code, data, flags);
    if (status == OK) {
        if (sent)
            *sent = true;
        status = receiveReplyLocked(out);
    }
    if (status != OK)
        out->setError(status);
    return status;
}

status_t Connection::sendRequestLocked(uint32_t handle, uint32_t code, const Parcel& data, uint32_t flags)
{
    FrameHeader header{};
    header.kind = FRAME_TRANSACTION;
    header.handle = handle;
    header.code = code;
    header.flags = flags;
    iovec iov[3];
    int iovCount = 0;
    if (const status_t status = encodeFrame(&header, &data, &mObjectTable, iov, &iovCount, mObjects); status != OK)
        return status;
    if (const int rc = sendFrame(mFd.get(), iov, iovCount, false); rc < 0) {
        // Too large for the socket leaves nothing half sent: the connection stays usable.
        if (rc == -EMSGSIZE)
            return LIMIT_EXCEEDED;
        return failLocked(rc == -EAGAIN ? TIMED_OUT : DEAD_OBJECT);
    }
    return OK;
}

status_t Connection::receiveReplyLocked(Parcel* out)
{
    FrameHeader replyHeader;
    size_t bodyLength = 0;
    Received received;
    while ((received = receiveFrame(mFd.get(), false, &replyHeader, &mReceive, &bodyLength)) == Received::Interrupted &&
           !StopRequest::requested()) {}
    switch (received) {
    case Received::Frame: break;
    case Received::WouldBlock:
        // The deadline passed. The reply may still come, so the connection is out of
        // step for good.
        return failLocked(TIMED_OUT);
    case Received::Invalid: return failLocked(FAILED_TRANSACTION);
    default:
        // End of stream, a reset, or this process is stopping: the answer will never
        // be read.
        return failLocked(DEAD_OBJECT);
    }
    // A large reply's buffer moves into the caller's parcel (its data moved to the
    // front, in cache already) instead of being copied into another; a small one is
    // copied, which keeps the connection's buffer (and its capacity) here.
    const bool adopt = replyHeader.dataSize >= ADOPT_THRESHOLD;
    const status_t status = decodeReceived(replyHeader, &mReceive, bodyLength, out, adopt, mObjects);
    if (status != OK || replyHeader.kind != FRAME_REPLY) {
        // Out of step with the peer: nothing later on this socket can be trusted.
        return failLocked(FAILED_TRANSACTION);
    }
    // The remote status: OK, or the failure the peer answered with.
    return static_cast<status_t>(replyHeader.code);
}

} // namespace quorvel
