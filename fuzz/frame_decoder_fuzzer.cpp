// Fuzzes the transport's frame decoder with arbitrary frames, as a hostile peer may
// send them. A frame the decoder accepts must survive a round trip: encoded again and
// decoded again, it gives the same header, data and object slots.
#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "fuzz_support.h"
#include "object_host.h"
#include "parcel_access.h"
#include "frame_codec.h"

#include <cstdint>
#include <cstring>
#include <vector>

using namespace quorvel;

namespace {

using quorvel::fuzz::check;

// The table references are decoded against, as a hosting process has it: references
// to other hosts become proxies (this one never listens, so no reference is its own).
ObjectTable& objects()
{
    static ObjectHost* host = new ObjectHost();
    return host->objects;
}

// Lays out iovecs as the one message sendmsg would send.
std::vector<uint8_t> gather(const iovec* iov, int count)
{
    std::vector<uint8_t> frame;
    for (int i = 0; i < count; ++i) {
        const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
        frame.insert(frame.end(), p, p + iov[i].iov_len);
    }
    return frame;
}

// What the serving loop does with a received frame: the whole frame sits in a buffer
// sized for the largest one, kept between frames, and the parcel adopts that storage.
// It must accept and reject exactly what the copying decoder does, with the same
// result.
void checkAdoptingDecoder(const uint8_t* bytes, size_t size, status_t expected, const Parcel& copied)
{
    if (size < sizeof(FrameHeader) || size > MAX_FRAME_SIZE)
        return; // the receiver rejects it before decoding
    static ParcelAccess::Buffer frame;
    frame.resize(MAX_FRAME_SIZE + 1);
    FrameHeader header;
    std::memcpy(&header, bytes, sizeof header);
    const size_t bodyLength = size - sizeof header;
    std::memcpy(frame.data(), bytes, size);
    static Parcel adopted;
    const status_t status = decodeReceived(header, &frame, bodyLength, &adopted, true, objects());
    check(status == expected);
    check(adopted.dataSize() == copied.dataSize() &&
          (copied.dataSize() == 0 || std::memcmp(adopted.data(), copied.data(), copied.dataSize()) == 0));
    check(ParcelAccess::objectOffsets(adopted) == ParcelAccess::objectOffsets(copied));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    // The transport always hands the decoder a frame in its own buffer.
    std::vector<uint8_t> frame(bytes, bytes + size);
    FrameHeader header;
    Parcel parcel;
    const status_t status = decodeFrame(frame.data(), frame.size(), &header, &parcel, objects());
    checkAdoptingDecoder(bytes, size, status, parcel);
    if (status != OK) {
        check(parcel.dataSize() == 0 && parcel.objectsCount() == 0);
        return 0;
    }
    check(parcel.dataSize() == header.dataSize && parcel.objectsCount() == header.objectCount);

    // Every object slot reads back as the object the table named.
    for (size_t i = 0; i < ParcelAccess::objectOffsets(parcel).size(); ++i) {
        parcel.setDataPosition(ParcelAccess::objectOffsets(parcel)[i]);
        sp<IBinder> object;
        check(parcel.readStrongBinder(&object) == OK && object == ParcelAccess::objects(parcel)[i]);
    }
    parcel.setDataPosition(0);
    parcel.print(fuzz::nullOutput(), 0);

    FrameHeader again = header;
    std::vector<uint8_t> table;
    iovec iov[3];
    int count = 0;
    check(encodeFrame(&again, &parcel, &table, iov, &count, objects()) == OK);
    const std::vector<uint8_t> encoded = gather(iov, count);

    FrameHeader decodedHeader;
    Parcel decoded;
    check(decodeFrame(encoded.data(), encoded.size(), &decodedHeader, &decoded, objects()) == OK);
    check(std::memcmp(&decodedHeader, &header, sizeof header) == 0);
    check(decoded.dataSize() == parcel.dataSize() &&
          (parcel.dataSize() == 0 || std::memcmp(decoded.data(), parcel.data(), parcel.dataSize()) == 0));
    check(ParcelAccess::objectOffsets(decoded) == ParcelAccess::objectOffsets(parcel));
    return 0;
}
