#pragma once
// Socket I/O of the transport: the address of an endpoint, a socket's deadlines, and
// sending and receiving one frame on a connected socket. It moves bytes and knows
// nothing of what they mean; frame_codec.h makes and reads them.

#include "parcel_access.h"
#include "frame_codec.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/uio.h>
#include <sys/un.h>

namespace quorvel {

// Fills a sockaddr_un for `endpoint` (a socket path, or '@' and an abstract name);
// false when it does not fit.
bool endpointAddress(const std::string& endpoint, sockaddr_un* address, unsigned* length);

// Sets the receive and send deadlines of a socket (0 clears them).
void setSocketTimeouts(int fd, std::chrono::milliseconds receive, std::chrono::milliseconds send);
// Sets the receive deadline alone (0 clears it).
void setReceiveTimeout(int fd, std::chrono::milliseconds receive);

enum class Received {
    Frame, // a frame: header and body filled in
    Closed, // end of stream, or the connection failed
    WouldBlock, // nothing there yet (non-blocking), or the socket's receive deadline passed
    Interrupted, // a signal arrived first
    Invalid, // shorter than a header, longer than any frame, or carrying descriptors
};

// Receives one message with a single recvmsg into `frame` (grown to the largest frame
// first; its capacity is kept between calls): the header stays in front, a copy of it
// goes to `header`, and the body of `bodyLength` bytes follows it. Descriptors passed
// along are never installed in this process.
Received receiveFrame(int fd, bool nonBlocking, FrameHeader* header, ParcelAccess::Buffer* frame, size_t* bodyLength);

// Frames up to this size are gathered into one segment before they are sent: the
// kernel takes one segment faster than several, and the copy costs less than that up
// to a few pages. Larger frames go as they are laid out.
inline constexpr size_t SEND_GATHER_LIMIT = 4096;

// Sends one frame, laid out in `iov` as encodeFrame makes it, with a single send call.
// `nonBlocking` never waits for room (a reply to a peer that reads nothing); a
// blocking send waits up to the socket's send deadline. A signal retries the send
// unless the process is stopping. Returns 0, or -errno (-EMSGSIZE: larger than the
// socket takes; -EAGAIN: no room, or the deadline passed).
int sendFrame(int fd, const iovec* iov, int iovCount, bool nonBlocking);

} // namespace quorvel
