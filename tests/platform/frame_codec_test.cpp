// The frame codec at its limits, alone and over a socket: the largest parcel travels,
// one word more does not, on the way out and on the way in; object slots pass only in
// rising order, each starting where the last one ended or later.
#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/parcel.h>

#include <test_support/raw_peer.h>

#include "socket_io.h"
#include "frame_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
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
    return testing::makeFrame(FRAME_TRANSACTION, 0, 1, std::vector<uint8_t>(dataSize, 0x5a));
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

// Over a socket, a frame sent in one piece (up to the gathering limit) or as laid out
// (above it) arrives byte for byte, and decodes alike whether the parcel copies the
// data or adopts the received buffer.
TEST(FrameCodec, FramesAtAndPastTheGatheringLimitArriveWhole)
{
    NoObjects objects;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    for (const size_t frameSize : {SEND_GATHER_LIMIT, SEND_GATHER_LIMIT + 4}) {
        Parcel parcel;
        while (sizeof(FrameHeader) + parcel.dataSize() < frameSize)
            parcel.writeInt32(static_cast<int32_t>(parcel.dataSize() * 7919));
        FrameHeader header{0, FRAME_TRANSACTION, 0, 1, 0, 0, 0};
        std::vector<uint8_t> table;
        iovec iov[3];
        int count = 0;
        ASSERT_EQ(encodeFrame(&header, &parcel, &table, iov, &count, objects), OK);
        ASSERT_EQ(sizeof header + parcel.dataSize(), frameSize);
        for (const bool adopt : {false, true}) {
            ASSERT_EQ(sendFrame(pair[0], iov, count, false), 0);
            FrameHeader received;
            ParcelAccess::Buffer frame;
            size_t bodyLength = 0;
            ASSERT_EQ(receiveFrame(pair[1], true, &received, &frame, &bodyLength), Received::Frame);
            EXPECT_EQ(std::memcmp(&received, &header, sizeof header), 0);
            ASSERT_EQ(bodyLength, parcel.dataSize());
            Parcel decoded;
            ASSERT_EQ(decodeReceived(received, &frame, bodyLength, &decoded, adopt, objects), OK);
            ASSERT_EQ(decoded.dataSize(), parcel.dataSize()) << frameSize << (adopt ? " adopted" : " copied");
            EXPECT_EQ(std::memcmp(decoded.data(), parcel.data(), parcel.dataSize()), 0)
                << frameSize << (adopt ? " adopted" : " copied");
        }
    }
    ::close(pair[0]);
    ::close(pair[1]);
}

// Every reference resolves to one object, and every object travels as one reference.
class OneObject final : public ObjectTable {
public:
    status_t describeObject(const sp<IBinder>&, ObjectRef* ref) override
    {
        *ref = ObjectRef{"@peer", 1, PeerIdentity{42, 0}};
        return OK;
    }
    sp<IBinder> resolveObject(const ObjectRef&) override { return mObject; }

private:
    sp<IBinder> mObject{new testing::NullObject()};
};

// A transaction of four reference slots (32 bytes) whose object table lists `offsets`.
std::vector<uint8_t> frameWithObjects(const std::vector<uint32_t>& offsets)
{
    std::vector<testing::ObjectRecord> objects;
    for (uint32_t offset : offsets)
        objects.push_back({offset, 1, "peer", 42, 0});
    return testing::makeFrame(FRAME_TRANSACTION, 0, 1, testing::wordBytes({1, 0, 1, 0, 1, 0, 1, 0}), objects);
}

TEST(FrameCodec, ObjectSlotsPassOnlyInRisingOrderWithoutOverlap)
{
    OneObject objects;
    FrameHeader header;
    Parcel parcel;
    const struct {
        std::vector<uint32_t> offsets;
        status_t expected;
    } cases[] = {
        {{0, 8, 16, 24}, OK}, // each slot right after the last: the tightest legal table
        {{0, 24}, OK},
        {{24}, OK}, // the last slot that fits the data
        {{28}, BAD_VALUE}, // one word further runs past the data
        {{0, 4}, BAD_VALUE}, // overlapping by one word
        {{8, 8}, BAD_VALUE}, // the same slot twice
        {{0, 8, 8, 16}, BAD_VALUE},
        {{8, 0}, BAD_VALUE}, // out of order
        {{0, 16, 8}, BAD_VALUE},
        {{2}, BAD_VALUE}, // not on a word
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> frame = frameWithObjects(c.offsets);
        EXPECT_EQ(decodeFrame(frame.data(), frame.size(), &header, &parcel, objects), c.expected)
            << ::testing::PrintToString(c.offsets);
        EXPECT_EQ(parcel.objectsCount(), c.expected == OK ? c.offsets.size() : 0u);
    }
}

TEST(FrameCodec, ParcelWhoseSlotsRepeatOrGoBackIsNotEncoded)
{
    OneObject objects;
    const sp<IBinder> object(new testing::NullObject());
    const struct {
        std::vector<size_t> offsets;
        status_t expected;
    } cases[] = {{{0, 8}, OK}, {{8, 8}, BAD_VALUE}, {{8, 0}, BAD_VALUE}, {{0, 4}, BAD_VALUE}};
    for (const auto& c : cases) {
        Parcel parcel;
        for (int slot = 0; slot < 4; ++slot)
            parcel.writeStrongBinder(nullptr);
        for (size_t offset : c.offsets)
            ParcelAccess::addObject(parcel, offset, object);
        FrameHeader header{0, FRAME_TRANSACTION, 0, 1, 0, 0, 0};
        std::vector<uint8_t> table;
        iovec iov[3];
        int count = 0;
        EXPECT_EQ(encodeFrame(&header, &parcel, &table, iov, &count, objects), c.expected)
            << ::testing::PrintToString(c.offsets);
    }
}

} // namespace
} // namespace quorvel
