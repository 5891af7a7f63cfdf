#pragma once
// ParcelAccess: the transport's view of a parcel's storage, used to put a parcel on
// the wire and to fill one from a received frame without going through the writers.

#include <quorvel/binder.h>
#include <quorvel/parcel.h>

#include "parcel_format.h"

#include <cstddef>
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

} // namespace quorvel
