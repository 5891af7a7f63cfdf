#pragma once
// Parcel: the container of one transaction's data or reply. Values are appended in
// order and read back in the same order; object references travel beside the bytes.
// A reply parcel may instead carry the status of a failed transaction.
//
// Readers never read past the end: they return NOT_ENOUGH_DATA (or an empty value)
// and leave the read position where it was.

#include <quorvel/status.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/string16.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvel {

namespace detail {

// Leaves the bytes a vector grows by uninitialised. A received frame is written
// straight into parcel storage; zero-filling that storage first would cost about
// what skipping the copy saves. Every byte a parcel exposes has been written.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

} // namespace detail

class IBinder;
class TextOutput;

class Parcel {
public:
    Parcel();
    ~Parcel();
    Parcel(const Parcel&) = delete;
    Parcel& operator=(const Parcel&) = delete;

    // Bytes a string of `units` UTF-16 units takes in a parcel: the length word, the
    // units, a zero unit, zero padding to a whole word.
    static constexpr size_t string16Size(size_t units) { return 4 + (((units + 1) * 2 + 3) & ~size_t{3}); }

    // Writers. Each returns OK or the reason the value could not be appended
    // (NO_MEMORY, LIMIT_EXCEEDED, TOO_MANY_OBJECTS).
    status_t writeInterfaceToken(const String16& interface);
    status_t writeInt32(int32_t value);
    status_t writeUint32(uint32_t value);
    status_t writeString16(const String16& value);
    // A null binder is a valid value and reads back as null.
    status_t writeStrongBinder(const sp<IBinder>& binder);
    // Appends another parcel's bytes and object references verbatim.
    status_t appendFrom(const Parcel& other);

    // Readers, from the current read position.
    status_t readInt32(int32_t* value) const;
    int32_t readInt32() const; // 0 when nothing is left
    status_t readUint32(uint32_t* value) const;
    status_t readString16(String16* value) const;
    String16 readString16() const; // empty when nothing valid is left
    status_t readStrongBinder(sp<IBinder>* binder) const;
    sp<IBinder> readStrongBinder() const;
    // Reads an interface token and checks it against `interface`.
    bool enforceInterface(const String16& interface) const;

    const uint8_t* data() const;
    size_t dataSize() const;
    size_t dataPosition() const;
    void setDataPosition(size_t position) const;
    size_t objectsCount() const;

    // The status of a failed transaction. A parcel with an error status holds no data.
    void setError(status_t status);
    status_t errorCheck() const;

    // Empties the parcel: no bytes, no objects, no error.
    void freeData();

    // A readable dump: offsets, 32-bit words in hex and printable characters, or the
    // failed status and its meaning. `flags` is reserved and must be 0.
    void print(TextOutput& to, uint32_t flags = 0) const;

private:
    friend class ParcelAccess; // the transport flattens and unflattens parcels

    using Buffer = std::vector<uint8_t, detail::UninitializedAllocator<uint8_t>>;

    Buffer mData;
    std::vector<size_t> mObjectOffsets; // byte offset of each object slot in mData
    std::vector<sp<IBinder>> mObjects; // the references those slots stand for
    mutable size_t mReadPosition = 0;
    status_t mError = OK;
};

} // namespace quorvel
