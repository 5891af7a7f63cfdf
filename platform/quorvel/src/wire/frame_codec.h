#pragma once
// The codec of the transport: frames to parcels and back. One SOCK_SEQPACKET message
// per transaction or reply. Layout (all words in host byte order; both ends share a machine):
//   header     7 x uint32 (FrameHeader)
//   data       header.dataSize bytes, a multiple of 4
//   objects    header.objectCount records: uint32 offset, uint32 handle, uint32 host
//              pid, uint32 host uid, uint32 endpoint length, endpoint bytes
//              zero-padded to a multiple of 4

#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "parcel_access.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
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
    uint32_t handle; // transaction: target object; reply: 0
    uint32_t code; // transaction: code; reply: status_t
    uint32_t flags;
    uint32_t dataSize;
    uint32_t objectCount;
};
static_assert(sizeof(FrameHeader) == 28);

// Who a process is, as the kernel reports it (SO_PEERCRED) in the reader's pid
// namespace.
struct PeerIdentity {
    pid_t pid = 0;
    uid_t uid = 0;
    bool operator==(const PeerIdentity&) const = default;
};

// Where an object lives: the endpoint its host listens on, its handle there, and the
// identity of the process that must be listening there for a call to reach it.
struct ObjectRef {
    std::string endpoint;
    uint32_t handle = 0;
    PeerIdentity host;
};

// Bytes of one object record before its endpoint: offset, handle, pid, uid, length.
inline constexpr size_t OBJECT_RECORD_HEADER = 20;

// What the codec needs from its process to write and read object references: the
// codec itself knows no sockets and no process-wide state.
class ObjectTable {
public:
    // What a reference to `object` carries (an object of this process gets exported);
    // BAD_TYPE for one that cannot travel.
    virtual status_t describeObject(const sp<IBinder>& object, ObjectRef* ref) = 0;
    // A received reference: this process's own object or a proxy; null for a handle
    // of this process that was never exported.
    virtual sp<IBinder> resolveObject(const ObjectRef& ref) = 0;

protected:
    ~ObjectTable() = default;
};

// Prepares a frame for sendmsg without copying the parcel's data: iov[0] is the
// header, iov[1] the data, iov[2] the object table built in `objectTable`. An object
// that is hosted here gets exported; one that cannot travel gives BAD_TYPE.
status_t encodeFrame(FrameHeader* header, const Parcel* parcel, std::vector<uint8_t>* objectTable, iovec iov[3],
                     int* iovCount, ObjectTable& objects);

// Checks a received frame and fills `parcel` from it; object references become local
// objects or proxies. Any inconsistency (sizes, alignment, object slots that repeat,
// overlap, come out of order or point at anything but a reference, unknown handles,
// endpoint lengths) gives BAD_VALUE and leaves `parcel` empty.
status_t decodeFrame(const uint8_t* frame, size_t length, FrameHeader* header, Parcel* parcel, ObjectTable& objects);

// The same for a frame received by receiveFrame: `frame` holds the whole message, its
// body of `bodyLength` bytes after the header. With `adopt` the parcel takes over
// `frame`'s storage (its data moved to the front) instead of copying the data out of
// it, and `frame` gets the parcel's old storage in exchange.
status_t decodeReceived(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength, Parcel* parcel,
                        bool adopt, ObjectTable& objects);

// Prepares the reply frame for `status` and `reply` (sent only on OK) for sendmsg, as
// encodeFrame does. An answer that cannot travel becomes that failure's status.
void encodeReplyFrame(status_t status, const Parcel* reply, FrameHeader* header, std::vector<uint8_t>* objectTable,
                      iovec iov[3], int* iovCount, ObjectTable& objects);

} // namespace quorvel
