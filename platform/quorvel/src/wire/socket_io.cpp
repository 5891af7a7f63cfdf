#include "socket_io.h"

#include <quorvel/limits.h>

#include "stop_request.h"

#include <cerrno>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>

namespace quorvel {

namespace {

timeval toTimeval(std::chrono::milliseconds ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

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

void setSocketTimeouts(int fd, std::chrono::milliseconds receive, std::chrono::milliseconds send)
{
    setReceiveTimeout(fd, receive);
    const timeval s = toTimeval(send);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s);
}

void setReceiveTimeout(int fd, std::chrono::milliseconds receive)
{
    const timeval r = toTimeval(receive);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r);
}

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

int sendFrame(int fd, const iovec* iov, int iovCount, bool nonBlocking)
{
    size_t length = 0;
    for (int i = 0; i < iovCount; ++i)
        length += iov[i].iov_len;
    uint8_t gathered[SEND_GATHER_LIMIT];
    const bool gather = iovCount > 1 && length <= sizeof gathered;
    if (gather) {
        uint8_t* end = gathered;
        for (int i = 0; i < iovCount; ++i) {
            if (iov[i].iov_len)
                std::memcpy(end, iov[i].iov_base, iov[i].iov_len);
            end += iov[i].iov_len;
        }
    }
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(iov);
    message.msg_iovlen = static_cast<size_t>(iovCount);
    const int flags = (nonBlocking ? MSG_DONTWAIT : 0) | MSG_NOSIGNAL;
    ssize_t n;
    do {
        // One segment goes by send: the kernel then reads no message header and no vector.
        n = gather ? ::send(fd, gathered, length, flags) : ::sendmsg(fd, &message, flags);
    } while (n < 0 && errno == EINTR && !StopRequest::requested());
    return n < 0 ? -errno : 0;
}

} // namespace quorvel
