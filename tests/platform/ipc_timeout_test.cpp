// The deadline a process takes from QUORVEL_IPC_TIMEOUT_MS, for every kind of value at
// the edges of its range. The value is read once per process, so each one is read by
// a fresh child; nothing in this program reads it first.
#include "connection.h"

#include <test_support/process.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {
namespace {

constexpr int64_t DEFAULT_MS = 10000;

// The deadline in ms that a new process takes with the variable set to `value`
// (unset when there is none); -1 if the child failed.
int64_t deadlineWith(const std::optional<std::string>& value)
{
    const testing::RunResult child = testing::runInChild([&value] {
        if (value)
            ::setenv("QUORVEL_IPC_TIMEOUT_MS", value->c_str(), 1);
        else
            ::unsetenv("QUORVEL_IPC_TIMEOUT_MS");
        return std::printf("%lld", static_cast<long long>(ipcTimeout().count())) > 0 ? 0 : 1;
    });
    return child.exitStatus == 0 && !child.out.empty() ? std::stoll(child.out) : -1;
}

TEST(IpcTimeout, WholeNumbersFromOneToAnHourAreTaken)
{
    EXPECT_EQ(deadlineWith("1"), 1);
    EXPECT_EQ(deadlineWith("2"), 2);
    EXPECT_EQ(deadlineWith("500"), 500);
    EXPECT_EQ(deadlineWith("3599999"), 3599999);
    EXPECT_EQ(deadlineWith("3600000"), 3600000);
    EXPECT_EQ(deadlineWith("0000250"), 250) << "leading zeros are still decimal";
}

TEST(IpcTimeout, EveryOtherValueGivesTheDefault)
{
    EXPECT_EQ(deadlineWith(std::nullopt), DEFAULT_MS);
    const char* emptyZeroAndBelow[] = {"", "0", "00", "-0", "-1", "-3600000"};
    const char* above[] = {"3600001", "9223372036854775807", "9223372036854775808", "99999999999999999999999"};
    const char* notAWholeNumber[] = {"abc", "10ms", "1.5", "1e3", "0x10", "5 ", " 5", "+5", "\t5", "5\n", "--5", "٣"};
    std::vector<const char*> all(std::begin(emptyZeroAndBelow), std::end(emptyZeroAndBelow));
    all.insert(all.end(), std::begin(above), std::end(above));
    all.insert(all.end(), std::begin(notAWholeNumber), std::end(notAWholeNumber));
    for (const char* value : all)
        EXPECT_EQ(deadlineWith(std::string(value)), DEFAULT_MS) << "QUORVEL_IPC_TIMEOUT_MS=\"" << value << "\"";
}

} // namespace
} // namespace quorvel
