// TextOutput: formatting, and aout/aerr sharing one file without reordering.
#include <quorvel/parcel.h>
#include <quorvel/text_output.h>
#include <test_support/captured_text.h>
#include <test_support/process.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace quorvel {
namespace {

using testing::memoryFile;
using testing::readAll;

TEST(TextOutputFormat, NumbersStringsAndNull)
{
    const int fd = memoryFile();
    ASSERT_GE(fd, 0);
    {
        TextOutput out(fd);
        out << "u=" << uint32_t{4294967295u} << " i=" << int32_t{INT32_MIN} << " z=" << uint32_t{0}
            << " l=" << int64_t{INT64_MIN} << ' ' << static_cast<const char*>(nullptr) << endl;
    }
    EXPECT_EQ(readAll(fd), "u=4294967295 i=-2147483648 z=0 l=-9223372036854775808 (null)\n");
    ::close(fd);
}

TEST(TextOutputFormat, TextLargerThanTheBufferArrivesWhole)
{
    const int fd = memoryFile();
    const std::string big(10000, 'q');
    {
        TextOutput out(fd);
        out << "a";
        out << big.c_str();
        out << "b";
    }
    EXPECT_EQ(readAll(fd), "a" + big + "b");
    ::close(fd);
}

TEST(TextOutputOrder, TwoStreamsOnOneFileKeepWriteOrder)
{
    const int fd = memoryFile();
    const int other = ::dup(fd);
    {
        TextOutput a(fd);
        TextOutput b(other);
        a << "1 ";
        b << "2 ";
        a << "3 ";
        a << "4 ";
        b << "5" << endl;
        a.flush();
    }
    EXPECT_EQ(readAll(fd), "1 2 3 4 5\n");
    ::close(other);
    ::close(fd);
}

// aout and aerr themselves, in a child whose standard output and error are captured
// in write order: results and diagnostics interleave as written, and exit flushes
// the rest.
TEST(TextOutputOrder, AoutAndAerrInterleaveAndFlushAtExit)
{
    const testing::RunResult child = testing::runInChild([]() -> int {
        aout << "Result: " << uint32_t{1} << endl;
        aerr << "service: warning" << endl;
        aout << "second ";
        aerr << "third ";
        Parcel p;
        p.setError(-32);
        aout << p << endl; // left in the buffer: exit must write it
        std::exit(0);
    });
    EXPECT_EQ(child.exitStatus, 0) << child.err;
    EXPECT_EQ(child.combined, "Result: 1\nservice: warning\nsecond third Status(-32, dead object)\n");
}

} // namespace
} // namespace quorvel
