// Parcel: values written come back in order, bad reads are errors, and the printed
// form is exact.
#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/parcel.h>
#include <quorvel/text_output.h>
#include <test_support/captured_text.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <unistd.h>

namespace quorvel {
namespace {

class NullObject : public LocalBinder {
protected:
    status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override { return OK; }
};

using testing::printed;

// Writes `words` into `p` and goes back to its start, ready to read them.
void fill(Parcel& p, std::initializer_list<int32_t> words)
{
    for (int32_t word : words)
        p.writeInt32(word);
    p.setDataPosition(0);
}

TEST(ParcelRoundTrip, EveryValueKindReadsBackInOrder)
{
    sp<IBinder> object(new NullObject());
    Parcel p;
    ASSERT_EQ(p.writeInterfaceToken(String16("quorvel.test.IThing")), OK);
    ASSERT_EQ(p.writeInt32(-7), OK);
    ASSERT_EQ(p.writeUint32(0xFFFFFFFFu), OK);
    ASSERT_EQ(p.writeString16(String16("Caf\xC3\xA9")), OK);
    ASSERT_EQ(p.writeString16(String16()), OK);
    ASSERT_EQ(p.writeStrongBinder(nullptr), OK);
    ASSERT_EQ(p.writeStrongBinder(object), OK);
    EXPECT_EQ(p.objectsCount(), 1u);
    EXPECT_EQ(p.dataSize() % 4, 0u);

    p.setDataPosition(0);
    EXPECT_TRUE(p.enforceInterface(String16("quorvel.test.IThing")));
    EXPECT_EQ(p.readInt32(), -7);
    uint32_t u = 0;
    EXPECT_EQ(p.readUint32(&u), OK);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(p.readString16(), String16(u"Caf\u00e9", 4));
    String16 empty("x");
    EXPECT_EQ(p.readString16(&empty), OK);
    EXPECT_EQ(empty.size(), 0u);
    sp<IBinder> read(new NullObject());
    EXPECT_EQ(p.readStrongBinder(&read), OK);
    EXPECT_EQ(read, nullptr);
    EXPECT_EQ(p.readStrongBinder(), object);
    EXPECT_EQ(p.dataPosition(), p.dataSize());
}

TEST(ParcelRoundTrip, AppendFromCopiesBytesAndObjectsAfterExistingData)
{
    sp<IBinder> object(new NullObject());
    Parcel source;
    source.writeString16(String16("ab"));
    source.writeStrongBinder(object);
    Parcel target;
    target.writeInt32(42);
    ASSERT_EQ(target.appendFrom(source), OK);
    EXPECT_EQ(target.dataSize(), 4 + source.dataSize());
    EXPECT_EQ(target.objectsCount(), 1u);
    target.setDataPosition(0);
    EXPECT_EQ(target.readInt32(), 42);
    EXPECT_EQ(target.readString16(), String16("ab"));
    EXPECT_EQ(target.readStrongBinder(), object);
}

TEST(ParcelBadReads, ReadingPastTheEndFailsAndKeepsThePosition)
{
    Parcel p;
    fill(p, {1});
    EXPECT_EQ(p.readInt32(), 1);
    int32_t value = 99;
    EXPECT_EQ(p.readInt32(&value), NOT_ENOUGH_DATA);
    EXPECT_EQ(value, 99);
    String16 text;
    EXPECT_EQ(p.readString16(&text), NOT_ENOUGH_DATA);
    sp<IBinder> binder;
    EXPECT_EQ(p.readStrongBinder(&binder), NOT_ENOUGH_DATA);
    EXPECT_EQ(p.dataPosition(), 4u);
    p.setDataPosition(1000);
    EXPECT_EQ(p.readInt32(), 0);
    EXPECT_EQ(p.readString16().size(), 0u);
}

TEST(ParcelBadReads, AStringLongerThanTheDataIsNotEnoughData)
{
    Parcel p;
    fill(p, {1000, 0x00410041}); // claims 1000 units
    String16 text;
    EXPECT_EQ(p.readString16(&text), NOT_ENOUGH_DATA);
    EXPECT_EQ(p.dataPosition(), 0u);
}

TEST(ParcelBadReads, NegativeLengthAndMissingTerminatorAreBadValues)
{
    Parcel negative;
    fill(negative, {-2, 0});
    String16 text;
    EXPECT_EQ(negative.readString16(&text), BAD_VALUE);

    Parcel unterminated;
    fill(unterminated, {1, 0x00420041}); // 'A' where the terminator should be 0
    EXPECT_EQ(unterminated.readString16(&text), BAD_VALUE);
    EXPECT_EQ(unterminated.dataPosition(), 0u);
}

TEST(ParcelBadReads, IntegersThatLookLikeAnObjectSlotAreNotAReference)
{
    Parcel p;
    fill(p, {1, 0}); // the kind word of a reference, but no object table entry
    sp<IBinder> binder;
    EXPECT_EQ(p.readStrongBinder(&binder), BAD_TYPE);
    EXPECT_EQ(p.dataPosition(), 0u);
}

TEST(ParcelBadReads, WrongInterfaceTokenIsRefused)
{
    Parcel p;
    p.writeInterfaceToken(String16("quorvel.test.A"));
    p.setDataPosition(0);
    EXPECT_FALSE(p.enforceInterface(String16("quorvel.test.B")));
}

TEST(ParcelLimits, DataAndObjectsStopAtTheirLimits)
{
    Parcel p;
    const std::u16string big(MAX_PARCEL_DATA / 2, u'x');
    EXPECT_EQ(p.writeString16(String16(big)), LIMIT_EXCEEDED);
    EXPECT_EQ(p.dataSize(), 0u);
    while (p.dataSize() < MAX_PARCEL_DATA)
        ASSERT_EQ(p.writeInt32(0), OK);
    EXPECT_EQ(p.writeInt32(0), LIMIT_EXCEEDED);

    sp<IBinder> object(new NullObject());
    Parcel objects;
    for (size_t i = 0; i < MAX_PARCEL_OBJECTS; ++i)
        ASSERT_EQ(objects.writeStrongBinder(object), OK);
    EXPECT_EQ(objects.writeStrongBinder(object), TOO_MANY_OBJECTS);
    EXPECT_EQ(objects.writeStrongBinder(nullptr), OK); // a null takes no object entry
}

TEST(ParcelErrors, AnErrorStatusReplacesTheDataAndFreeDataClearsIt)
{
    Parcel p;
    p.writeInt32(5);
    p.setError(DEAD_OBJECT);
    EXPECT_EQ(p.errorCheck(), DEAD_OBJECT);
    EXPECT_EQ(p.dataSize(), 0u);
    EXPECT_EQ(p.writeInt32(1), DEAD_OBJECT);
    p.freeData();
    EXPECT_EQ(p.errorCheck(), OK);
    EXPECT_EQ(p.writeInt32(1), OK);
}

TEST(ParcelPrint, KnownParcelPrintsExactly)
{
    Parcel p;
    p.writeInt32(1);
    p.writeString16(String16("go"));
    p.writeStrongBinder(nullptr);
    EXPECT_EQ(printed(p),
              "Parcel(\n"
              "  0x00000000: 00000001 00000002 006f0067 00000000 '........g.o.....'\n"
              "  0x00000010: 00000000 00000000                   '........')");
}

TEST(ParcelPrint, EmptyParcelAndFullLines)
{
    EXPECT_EQ(printed(Parcel()), "Parcel()");
    Parcel p;
    fill(p, {0x41424344, 0x20212223, 0x7e7f8081, -1});
    EXPECT_EQ(printed(p),
              "Parcel(\n"
              "  0x00000000: 41424344 20212223 7e7f8081 ffffffff 'DCBA#\"! ...~....')");
}

TEST(ParcelPrint, FailedStatusShowsCodeAndMeaning)
{
    Parcel p;
    p.setError(DEAD_OBJECT);
    EXPECT_EQ(printed(p), "Status(-32, dead object)");
    p.setError(-12345);
    EXPECT_EQ(printed(p), "Status(-12345, unknown error)");
}

TEST(StatusNames, EveryCodeHasItsOwnText)
{
    EXPECT_STREQ(statusToString(OK), "ok");
    EXPECT_STREQ(statusToString(PERMISSION_DENIED), "permission denied");
    EXPECT_STREQ(statusToString(FAILED_TRANSACTION), "failed transaction");
    EXPECT_STREQ(statusToString(LIMIT_EXCEEDED), "limit exceeded");
    EXPECT_STRNE(statusToString(DEAD_OBJECT), statusToString(UNKNOWN_TRANSACTION));
}

} // namespace
} // namespace quorvel
