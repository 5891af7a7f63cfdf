#include "socket_io.h"

#include <quorvel/limits.h>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace quorvel {

Received receiveFrame(int fd, bool nonBlocking, FrameHeader* header, ParcelAccess::Buffer* frame, size_t* bodyLength)
{
    // One byte more than the largest frame tells an oversized frame from a full one.
    frame->resize(MAX_FRAME_SIZE + 1);
    // The whole message lands in one buffer: the kernel copies into a single segment
    // measurably faster than into a header and a body apart, and the header is only
    // a few words to copy out.
    iovec iov{frame->data(), frame->size()};
    // No room for control messages: descriptors a peer passes along are then never
    // installed here (the kernel drops them and sets MSG_CTRUNC), and the frame is
    // refused below.
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
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
    std::memcpy(header, frame->data(), sizeof *header);
    *bodyLength = length - sizeof *header;
    return Received::Frame;
}

} // namespace quorvel
