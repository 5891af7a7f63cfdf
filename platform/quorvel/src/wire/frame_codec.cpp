#include "frame_codec.h"

#include <quorvel/binder.h>
#include <quorvel/limits.h>

#include "parcel_access.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace quorvel {

namespace {

void putWord(std::vector<uint8_t>* out, uint32_t value)
{
    const size_t at = out->size();
    out->resize(at + 4);
    std::memcpy(out->data() + at, &value, 4);
}

} // namespace

status_t encodeFrame(FrameHeader* header, const Parcel* parcel, std::vector<uint8_t>* objectTable, iovec iov[3],
                     int* iovCount, ObjectTable& table)
{
    header->magic = FRAME_MAGIC;
    header->dataSize = 0;
    header->objectCount = 0;
    iov[0] = {header, sizeof *header};
    *iovCount = 1;
    if (!parcel)
        return OK;
    const size_t size = parcel->dataSize();
    if (size > MAX_PARCEL_DATA || size % 4 != 0)
        return LIMIT_EXCEEDED;
    header->dataSize = static_cast<uint32_t>(size);
    if (size == 0)
        return OK;
    iov[1] = {const_cast<uint8_t*>(parcel->data()), size};
    *iovCount = 2;

    const auto& offsets = ParcelAccess::objectOffsets(*parcel);
    const auto& objects = ParcelAccess::objects(*parcel);
    if (objects.empty())
        return OK;
    if (objects.size() > MAX_PARCEL_OBJECTS)
        return TOO_MANY_OBJECTS;
    objectTable->clear();
    for (size_t i = 0; i < objects.size(); ++i) {
        // The receiver accepts slots only in rising order without overlap: a parcel
        // whose slots were written over each other would be refused there.
        if (i > 0 && offsets[i] < offsets[i - 1] + OBJECT_SLOT_SIZE)
            return BAD_VALUE;
        ObjectRef ref;
        const status_t status = table.describeObject(objects[i], &ref);
        if (status != OK)
            return status;
        putWord(objectTable, static_cast<uint32_t>(offsets[i]));
        putWord(objectTable, ref.handle);
        putWord(objectTable, static_cast<uint32_t>(ref.host.pid));
        putWord(objectTable, static_cast<uint32_t>(ref.host.uid));
        putWord(objectTable, static_cast<uint32_t>(ref.endpoint.size()));
        const size_t at = objectTable->size();
        objectTable->resize(at + pad4(ref.endpoint.size()), 0);
        std::memcpy(objectTable->data() + at, ref.endpoint.data(), ref.endpoint.size());
    }
    header->objectCount = static_cast<uint32_t>(objects.size());
    iov[2] = {objectTable->data(), objectTable->size()};
    *iovCount = 3;
    return OK;
}

void encodeReplyFrame(status_t status, const Parcel* reply, FrameHeader* header, std::vector<uint8_t>* objectTable,
                      iovec iov[3], int* iovCount, ObjectTable& table)
{
    *header = FrameHeader{};
    header->kind = FRAME_REPLY;
    header->code = static_cast<uint32_t>(status);
    const status_t encoded = encodeFrame(header, status == OK ? reply : nullptr, objectTable, iov, iovCount, table);
    if (encoded != OK) {
        // The object's answer cannot travel (an object that is not ours to
        // reference); the caller learns that instead.
        header->code = static_cast<uint32_t>(encoded);
        encodeFrame(header, nullptr, objectTable, iov, iovCount, table);
    }
}

namespace {

// What is left of the object table, which follows the data in a frame's body.
struct TableCursor {
    const uint8_t* at;
    size_t left;

    void skip(size_t n)
    {
        at += n;
        left -= n;
    }
};

bool headerFits(const FrameHeader& header, size_t bodyLength)
{
    return header.magic == FRAME_MAGIC && header.dataSize <= MAX_PARCEL_DATA && header.dataSize % 4 == 0 &&
        header.dataSize <= bodyLength && header.objectCount <= MAX_PARCEL_OBJECTS;
}

// Reads the next record of the object table into `ref` and the offset of its slot
// into `offset`. The slot must lie after `nextFree` within the `dataSize` bytes of
// `data` and hold an unfilled reference; the endpoint must be whole and free of NULs.
bool readObjectRecord(TableCursor* table, const uint8_t* data, size_t dataSize, size_t nextFree, size_t* offset,
                      ObjectRef* ref)
{
    uint32_t record[OBJECT_RECORD_HEADER / 4];
    if (table->left < sizeof record)
        return false;
    std::memcpy(record, table->at, sizeof record);
    table->skip(sizeof record);
    *offset = record[0];
    const size_t endpointLength = record[4];
    if (*offset % 4 != 0 || *offset < nextFree || *offset > dataSize || dataSize - *offset < OBJECT_SLOT_SIZE ||
        endpointLength == 0 || endpointLength > MAX_ENDPOINT_LENGTH || pad4(endpointLength) > table->left)
        return false;
    uint32_t slot[2];
    std::memcpy(slot, data + *offset, sizeof slot);
    if (slot[0] != OBJECT_KIND_REFERENCE || slot[1] != 0)
        return false;
    *ref = ObjectRef{std::string(reinterpret_cast<const char*>(table->at), endpointLength), record[1],
                     PeerIdentity{static_cast<pid_t>(record[2]), static_cast<uid_t>(record[3])}};
    if (ref->endpoint.find('\0') != std::string::npos)
        return false;
    table->skip(pad4(endpointLength));
    return true;
}

// Adds the `count` objects the table describes to `parcel`; false when a record is
// malformed, names nothing we can resolve, or the table holds more than them.
bool decodeObjects(size_t count, const uint8_t* data, size_t dataSize, TableCursor table, Parcel* parcel,
                   ObjectTable& objects)
{
    size_t nextFree = 0; // slots must be in order and must not overlap
    for (size_t i = 0; i < count; ++i) {
        size_t offset;
        ObjectRef ref;
        if (!readObjectRecord(&table, data, dataSize, nextFree, &offset, &ref))
            return false;
        sp<IBinder> object = objects.resolveObject(ref);
        if (!object) // a handle of this process that was never exported
            return false;
        ParcelAccess::addObject(*parcel, offset, std::move(object));
        nextFree = offset + OBJECT_SLOT_SIZE;
    }
    return table.left == 0;
}

void takeData(const uint8_t* data, size_t dataSize, Parcel* parcel, ParcelAccess::Buffer* adopt)
{
    auto& bytes = ParcelAccess::data(*parcel);
    if (adopt) {
        // The data follows the header in the received frame: moved to the front, the
        // storage becomes the parcel's as it is.
        if (dataSize)
            std::memmove(adopt->data(), data, dataSize);
        adopt->resize(dataSize);
        bytes.swap(*adopt);
    } else {
        // resize + memcpy: assign() would construct byte by byte through the allocator.
        bytes.resize(dataSize);
        if (dataSize)
            std::memcpy(bytes.data(), data, dataSize);
    }
}

status_t decodeBody(const FrameHeader& header, const uint8_t* body, size_t bodyLength, Parcel* parcel,
                    ParcelAccess::Buffer* adopt, ObjectTable& objects)
{
    parcel->freeData();
    const size_t dataSize = header.dataSize;
    if (!headerFits(header, bodyLength) ||
        !decodeObjects(header.objectCount, body, dataSize, TableCursor{body + dataSize, bodyLength - dataSize}, parcel,
                       objects)) {
        parcel->freeData();
        return BAD_VALUE;
    }
    takeData(body, dataSize, parcel, adopt);
    return OK;
}

} // namespace

status_t decodeFrame(const uint8_t* frame, size_t length, FrameHeader* header, Parcel* parcel, ObjectTable& table)
{
    parcel->freeData();
    if (length < sizeof *header)
        return BAD_VALUE;
    std::memcpy(header, frame, sizeof *header);
    return decodeBody(*header, frame + sizeof *header, length - sizeof *header, parcel, nullptr, table);
}

status_t decodeReceived(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength, Parcel* parcel,
                        bool adopt, ObjectTable& table)
{
    if (frame->size() < sizeof header || bodyLength > frame->size() - sizeof header) {
        parcel->freeData();
        return BAD_VALUE;
    }
    return decodeBody(header, frame->data() + sizeof header, bodyLength, parcel, adopt ? frame : nullptr, table);
}

} // namespace quorvel
