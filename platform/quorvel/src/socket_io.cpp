#include "socket_io.h"

#include <quorvel/limits.h>

#include "stop_request.h"

#include <cerrno>
#include <sys/socket.h>

namespace quorvel {

Received receiveFrame(int fd, bool nonBlocking, FrameHeader* header, ParcelAccess::Buffer* body, size_t* bodyLength)
{
    // One byte more than the largest body tells an oversized frame from a full one.
    body->resize(MAX_FRAME_SIZE - sizeof *header + 1);
    iovec iov[2] = {{header, sizeof *header}, {body->data(), body->size()}};
    // No room for control messages: descriptors a peer passes along are then never
    // installed here (the kernel drops them and sets MSG_CTRUNC), and the frame is
    // refused below.
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = 2;
    const ssize_t n = ::recvmsg(fd, &message, nonBlocking ? MSG_DONTWAIT : 0);
    if (n < 0) {
        if (errno == EINTR)
            return Received::Interrupted;
        return errno == EAGAIN ? Received::WouldBlock : Received::Closed;
    }
    if (n == 0)
        return Received::Closed;
    const size_t length = static_cast<size_t>(n);
    if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || length < sizeof *header || length > MAX_FRAME_SIZE)
        return Received::Invalid;
    *bodyLength = length - sizeof *header;
    return Received::Frame;
}

int sendFrame(int fd, const iovec* iov, int iovCount, bool nonBlocking)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(iov);
    message.msg_iovlen = static_cast<size_t>(iovCount);
    ssize_t n;
    do {
        n = ::sendmsg(fd, &message, (nonBlocking ? MSG_DONTWAIT : 0) | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR && !gStopRequested.load());
    return n < 0 ? -errno : 0;
}

} // namespace quorvel
