#pragma once
// ParcelAccess: the transport's view of a parcel's storage, used to put a parcel on
// the wire and to fill one from a received frame without going through the writers.

#include <quorvel/binder.h>
#include <quorvel/parcel.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

class ParcelAccess {
public:
    using Buffer = Parcel::Buffer;

    static Buffer& data(Parcel& p) { return p.mData; }
    static const std::vector<size_t>& objectOffsets(const Parcel& p) { return p.mObjectOffsets; }
    static const std::vector<sp<IBinder>>& objects(const Parcel& p) { return p.mObjects; }
    static void addObject(Parcel& p, size_t offset, sp<IBinder> object)
    {
        p.mObjectOffsets.push_back(offset);
        p.mObjects.push_back(std::move(object));
    }
};

// `n` rounded up to a whole 32-bit word.
inline constexpr size_t pad4(size_t n)
{
    return (n + 3) & ~size_t{3};
}

// The two 32-bit words of an object slot in the data bytes.
inline constexpr uint32_t OBJECT_KIND_NULL = 0;
inline constexpr uint32_t OBJECT_KIND_REFERENCE = 1;
inline constexpr size_t OBJECT_SLOT_SIZE = 8;

} // namespace quorvel
