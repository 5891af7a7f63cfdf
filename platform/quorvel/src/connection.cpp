#include "connection.h"

#include <quorvel/limits.h>

#include "wire_format.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr size_t ADOPT_THRESHOLD = 4096;

} // namespace

bool endpointAddress(const std::string& endpoint, sockaddr_un* address, unsigned* length)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (endpoint.empty() || endpoint.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, endpoint.data(), endpoint.size());
    if (endpoint[0] == '@') {
        // Abstract names are not terminated: the length says where they end.
        address->sun_path[0] = '\0';
        *length = static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + endpoint.size());
    } else {
        *length = static_cast<unsigned>(sizeof *address);
    }
    return true;
}

sp<Connection> Connection::connectTo(const std::string& endpoint, status_t* status)
{
    sockaddr_un address;
    unsigned length;
    if (!endpointAddress(endpoint, &address, &length)) {
        *status = BAD_VALUE;
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *status = -errno;
        return nullptr;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int error = errno;
        ::close(fd);
        // Nobody listening there any more is what a vanished host looks like.
        *status = (error == ECONNREFUSED || error == ENOENT) ? DEAD_OBJECT : -error;
        return nullptr;
    }
    *status = OK;
    return sp<Connection>(new Connection(fd, endpoint));
}

Connection::Connection(int fd, std::string endpoint)
    : mFd(fd), mEndpoint(std::move(endpoint))
{
}

Connection::~Connection()
{
    ::close(mFd);
}

bool Connection::isDead() const
{
    return mDead.load();
}

status_t Connection::failLocked(status_t status)
{
    // Shutting down rather than closing keeps the descriptor number owned by us, so a
    // poll on it elsewhere cannot end up watching an unrelated file.
    mDead.store(true);
    ::shutdown(mFd, SHUT_RDWR);
    return status;
}

status_t Connection::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
{
    Parcel scratch;
    Parcel* out = reply ? reply : &scratch;
    out->freeData();

    std::lock_guard<std::mutex> lock(mLock);
    if (mDead.load()) {
        out->setError(DEAD_OBJECT);
        return DEAD_OBJECT;
    }

    FrameHeader header{};
    header.kind = FRAME_TRANSACTION;
    header.handle = handle;
    header.code = code;
    header.flags = flags;
    iovec iov[3];
    int iovCount = 0;
    status_t status = encodeFrame(&header, &data, &mObjectTable, iov, &iovCount);
    if (status != OK) {
        out->setError(status);
        return status;
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = static_cast<size_t>(iovCount);
    ssize_t n;
    do {
        n = ::sendmsg(mFd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        status = errno == EMSGSIZE ? LIMIT_EXCEEDED : failLocked(DEAD_OBJECT);
        out->setError(status);
        return status;
    }

    FrameHeader replyHeader;
    size_t bodyLength = 0;
    switch (receiveFrame(mFd, false, &replyHeader, &mReceive, &bodyLength)) {
    case Received::Frame:
        break;
    case Received::Invalid:
        out->setError(failLocked(FAILED_TRANSACTION));
        return FAILED_TRANSACTION;
    default:
        // End of stream or a reset: the host went away while we waited.
        out->setError(failLocked(DEAD_OBJECT));
        return DEAD_OBJECT;
    }
    // A large reply moves into the caller's parcel instead of being copied; a small
    // one is copied, which keeps the connection's buffer (and its capacity) here.
    const bool adopt = replyHeader.dataSize >= ADOPT_THRESHOLD;
    status = decodeReceived(replyHeader, &mReceive, bodyLength, out, adopt);
    if (status != OK || replyHeader.kind != FRAME_REPLY) {
        // Out of step with the peer: nothing later on this socket can be trusted.
        out->setError(failLocked(FAILED_TRANSACTION));
        return FAILED_TRANSACTION;
    }
    const status_t remote = static_cast<status_t>(replyHeader.code);
    if (remote != OK)
        out->setError(remote);
    return remote;
}

} // namespace quorvel
