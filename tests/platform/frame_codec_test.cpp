// The frame codec at its limits: the largest parcel travels, one word more does not,
// on the way out and on the way in.
#include <quorvel/limits.h>
#include <quorvel/parcel.h>

#include "wire_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quorvel {
namespace {

// Frames without object references never ask the table anything.
class NoObjects final : public ObjectTable {
public:
    status_t describeObject(const sp<IBinder>&, ObjectRef*) override { return BAD_TYPE; }
    sp<IBinder> resolveObject(const ObjectRef&) override { return nullptr; }
};

// A transaction frame whose header claims `dataSize` bytes and whose body holds them.
std::vector<uint8_t> frameWithData(size_t dataSize)
{
    std::vector<uint8_t> frame(sizeof(FrameHeader) + dataSize, 0x5a);
    const FrameHeader header{FRAME_MAGIC, FRAME_TRANSACTION, 0, 1, 0, static_cast<uint32_t>(dataSize), 0};
    std::memcpy(frame.data(), &header, sizeof header);
    return frame;
}

TEST(FrameCodec, TheLargestParcelIsDecodedAndOneWordMoreIsRefused)
{
    NoObjects objects;
    FrameHeader header;
    Parcel parcel;
    const std::vector<uint8_t> largest = frameWithData(MAX_PARCEL_DATA);
    ASSERT_EQ(decodeFrame(largest.data(), largest.size(), &header, &parcel, objects), OK);
    EXPECT_EQ(parcel.dataSize(), MAX_PARCEL_DATA);
    EXPECT_EQ(parcel.data()[MAX_PARCEL_DATA - 1], 0x5a);

    const std::vector<uint8_t> over = frameWithData(MAX_PARCEL_DATA + 4);
    EXPECT_EQ(decodeFrame(over.data(), over.size(), &header, &parcel, objects), BAD_VALUE);
    EXPECT_EQ(parcel.dataSize(), 0u);
}

TEST(FrameCodec, TheLargestParcelIsEncodedAndOneWordMoreIsRefused)
{
    NoObjects objects;
    Parcel parcel;
    while (parcel.dataSize() < MAX_PARCEL_DATA)
        parcel.writeInt32(7);
    FrameHeader header{0, FRAME_TRANSACTION, 0, 1, 0, 0, 0};
    std::vector<uint8_t> table;
    iovec iov[3];
    int count = 0;
    ASSERT_EQ(encodeFrame(&header, &parcel, &table, iov, &count, objects), OK);
    EXPECT_EQ(header.dataSize, MAX_PARCEL_DATA);
    EXPECT_EQ(iov[1].iov_len, MAX_PARCEL_DATA);

    // The writers stop at the limit; only the transport's own access goes past it.
    Parcel over;
    ParcelAccess::data(over).resize(MAX_PARCEL_DATA + 4);
    EXPECT_EQ(encodeFrame(&header, &over, &table, iov, &count, objects), LIMIT_EXCEEDED);
}

} // namespace
} // namespace quorvel
