#pragma once
// The frame format of the transport: one SOCK_SEQPACKET message per transaction or
// reply. Layout (all words in host byte order; both ends share a machine):
//   header     7 x uint32 (FrameHeader)
//   data       header.dataSize bytes, a multiple of 4
//   objects    header.objectCount records: uint32 offset, uint32 handle,
//              uint32 endpoint length, endpoint bytes zero-padded to a multiple of 4

#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "parcel_access.h"

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>
#include <vector>

namespace quorvel {

inline constexpr uint32_t FRAME_MAGIC = 0x51564631; // "QVF1"

enum FrameKind : uint32_t {
    FRAME_TRANSACTION = 1,
    FRAME_REPLY = 2,
};

struct FrameHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t handle;      // transaction: target object; reply: 0
    uint32_t code;        // transaction: code; reply: status_t
    uint32_t flags;
    uint32_t dataSize;
    uint32_t objectCount;
};
static_assert(sizeof(FrameHeader) == 28);

// Prepares a frame for sendmsg without copying the parcel's data: iov[0] is the
// header, iov[1] the data, iov[2] the object table built in `objectTable`. An object
// that is hosted here gets exported; one that cannot travel gives BAD_TYPE.
status_t encodeFrame(FrameHeader* header, const Parcel* parcel, std::vector<uint8_t>* objectTable,
                     iovec iov[3], int* iovCount);

// Checks a received frame and fills `parcel` from it; object references become local
// objects or proxies. Any inconsistency (sizes, alignment, overlapping or unknown
// object slots, endpoint lengths) gives BAD_VALUE and leaves `parcel` empty.
status_t decodeFrame(const uint8_t* frame, size_t length, FrameHeader* header, Parcel* parcel);

// The same for a frame received by receiveFrame: `body` holds what followed the
// header. With `adopt` the parcel takes over `body`'s storage instead of copying the
// data out of it, and `body` gets the parcel's old storage in exchange.
status_t decodeReceived(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength, Parcel* parcel,
                        bool adopt);

// Prepares the reply frame for `status` and `reply` (sent only on OK) for sendmsg, as
// encodeFrame does. An answer that cannot travel becomes that failure's status.
void encodeReplyFrame(status_t status, const Parcel* reply, FrameHeader* header, std::vector<uint8_t>* objectTable,
                      iovec iov[3], int* iovCount);

enum class Received {
    Frame,      // a frame: header and body filled in
    Closed,     // end of stream, or the connection failed
    WouldBlock, // nothing there yet (non-blocking), or the socket's receive deadline passed
    Interrupted, // a signal arrived first
    Invalid,    // shorter than a header, longer than any frame, or carrying descriptors
};

// Receives one message with a single recvmsg: the header into `header`, the rest
// straight into `body` (grown to the largest frame first; its capacity is kept
// between calls). Descriptors passed along are never installed in this process.
Received receiveFrame(int fd, bool nonBlocking, FrameHeader* header, ParcelAccess::Buffer* body, size_t* bodyLength);

} // namespace quorvel
