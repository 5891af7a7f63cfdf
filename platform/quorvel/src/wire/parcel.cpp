#include <quorvel/parcel.h>

#include <quorvel/binder.h>
#include <quorvel/limits.h>

#include "parcel_format.h"

#include <algorithm>
#include <cstring>

namespace quorvel {

Parcel::Parcel() = default;
Parcel::~Parcel() = default;

// All writers funnel through here: the limit and the error state are checked once.
template <typename Bytes>
static status_t reserveBytes(Bytes& data, status_t error, size_t extra, uint8_t** out)
{
    if (error != OK)
        return error;
    if (extra > MAX_PARCEL_DATA - data.size())
        return LIMIT_EXCEEDED;
    const size_t old = data.size();
    data.resize(old + extra);
    *out = data.data() + old;
    return OK;
}

status_t Parcel::writeInterfaceToken(const String16& interface)
{
    return writeString16(interface);
}

status_t Parcel::writeInt32(int32_t value)
{
    return writeUint32(static_cast<uint32_t>(value));
}

status_t Parcel::writeUint32(uint32_t value)
{
    uint8_t* p;
    const status_t status = reserveBytes(mData, mError, sizeof value, &p);
    if (status == OK)
        std::memcpy(p, &value, sizeof value);
    return status;
}

status_t Parcel::writeString16(const String16& value)
{
    const size_t units = value.size();
    if (units > MAX_PARCEL_DATA)
        return LIMIT_EXCEEDED;
    const size_t bytes = string16Size(units);
    uint8_t* p;
    const status_t status = reserveBytes(mData, mError, bytes, &p);
    if (status != OK)
        return status;
    const int32_t length = static_cast<int32_t>(units);
    std::memcpy(p, &length, 4);
    std::memcpy(p + 4, value.string(), units * sizeof(char16_t));
    std::memset(p + 4 + units * sizeof(char16_t), 0, bytes - 4 - units * sizeof(char16_t));
    return OK;
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& binder)
{
    if (binder && mObjects.size() >= MAX_PARCEL_OBJECTS)
        return mError != OK ? mError : TOO_MANY_OBJECTS;
    uint8_t* p;
    const status_t status = reserveBytes(mData, mError, OBJECT_SLOT_SIZE, &p);
    if (status != OK)
        return status;
    const uint32_t words[2] = {binder ? OBJECT_KIND_REFERENCE : OBJECT_KIND_NULL, 0};
    std::memcpy(p, words, sizeof words);
    if (binder) {
        mObjectOffsets.push_back(static_cast<size_t>(p - mData.data()));
        mObjects.push_back(binder);
    }
    return OK;
}

status_t Parcel::appendFrom(const Parcel& other)
{
    if (mError != OK)
        return mError;
    if (other.mError != OK)
        return BAD_VALUE;
    if (other.mObjects.size() > MAX_PARCEL_OBJECTS - mObjects.size())
        return TOO_MANY_OBJECTS;
    const size_t base = mData.size();
    uint8_t* p;
    const status_t status = reserveBytes(mData, mError, other.mData.size(), &p);
    if (status != OK)
        return status;
    if (!other.mData.empty())
        std::memcpy(p, other.mData.data(), other.mData.size());
    for (size_t i = 0; i < other.mObjects.size(); ++i) {
        mObjectOffsets.push_back(base + other.mObjectOffsets[i]);
        mObjects.push_back(other.mObjects[i]);
    }
    return OK;
}

status_t Parcel::readInt32(int32_t* value) const
{
    uint32_t raw;
    const status_t status = readUint32(&raw);
    if (status == OK)
        *value = static_cast<int32_t>(raw);
    return status;
}

int32_t Parcel::readInt32() const
{
    int32_t value = 0;
    return readInt32(&value) == OK ? value : 0;
}

status_t Parcel::readUint32(uint32_t* value) const
{
    if (mReadPosition > mData.size() || mData.size() - mReadPosition < sizeof(uint32_t))
        return NOT_ENOUGH_DATA;
    std::memcpy(value, mData.data() + mReadPosition, sizeof(uint32_t));
    mReadPosition += sizeof(uint32_t);
    return OK;
}

status_t Parcel::readString16(String16* value) const
{
    const size_t start = mReadPosition;
    int32_t length;
    if (readInt32(&length) != OK)
        return NOT_ENOUGH_DATA;
    if (length < 0) {
        mReadPosition = start;
        return BAD_VALUE;
    }
    const size_t units = static_cast<size_t>(length);
    const size_t available = mData.size() - mReadPosition;
    if (units >= available / sizeof(char16_t) || pad4((units + 1) * sizeof(char16_t)) > available) {
        mReadPosition = start;
        return NOT_ENOUGH_DATA;
    }
    const uint8_t* p = mData.data() + mReadPosition;
    char16_t terminator;
    std::memcpy(&terminator, p + units * sizeof(char16_t), sizeof terminator);
    if (terminator != 0) {
        mReadPosition = start;
        return BAD_VALUE;
    }
    std::u16string text(units, u'\0');
    std::memcpy(text.data(), p, units * sizeof(char16_t));
    *value = String16(std::move(text));
    mReadPosition += string16Size(units) - 4;
    return OK;
}

String16 Parcel::readString16() const
{
    String16 value;
    return readString16(&value) == OK ? value : String16();
}

status_t Parcel::readStrongBinder(sp<IBinder>* binder) const
{
    const size_t start = mReadPosition;
    if (start > mData.size() || mData.size() - start < OBJECT_SLOT_SIZE)
        return NOT_ENOUGH_DATA;
    uint32_t words[2];
    std::memcpy(words, mData.data() + start, sizeof words);
    if (words[0] == OBJECT_KIND_NULL && words[1] == 0) {
        *binder = nullptr;
        mReadPosition += OBJECT_SLOT_SIZE;
        return OK;
    }
    // Only a slot that the object table points at is a reference; the same words
    // written as plain integers are not.
    const auto it = std::lower_bound(mObjectOffsets.begin(), mObjectOffsets.end(), start);
    if (words[0] != OBJECT_KIND_REFERENCE || words[1] != 0 || it == mObjectOffsets.end() || *it != start)
        return BAD_TYPE;
    *binder = mObjects[static_cast<size_t>(it - mObjectOffsets.begin())];
    mReadPosition += OBJECT_SLOT_SIZE;
    return OK;
}

sp<IBinder> Parcel::readStrongBinder() const
{
    sp<IBinder> binder;
    return readStrongBinder(&binder) == OK ? binder : nullptr;
}

bool Parcel::enforceInterface(const String16& interface) const
{
    String16 token;
    return readString16(&token) == OK && token == interface;
}

const uint8_t* Parcel::data() const
{
    return mData.data();
}

size_t Parcel::dataSize() const
{
    return mData.size();
}

size_t Parcel::dataPosition() const
{
    return mReadPosition;
}

void Parcel::setDataPosition(size_t position) const
{
    mReadPosition = position;
}

size_t Parcel::objectsCount() const
{
    return mObjects.size();
}

void Parcel::setError(status_t status)
{
    freeData();
    mError = status;
}

status_t Parcel::errorCheck() const
{
    return mError;
}

void Parcel::freeData()
{
    mData.clear();
    mObjectOffsets.clear();
    mObjects.clear();
    mReadPosition = 0;
    mError = OK;
}

} // namespace quorvel
