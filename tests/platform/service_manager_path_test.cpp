// Which values of QUORVEL_SERVICE_MANAGER lead a client to a service manager: the
// default path when unset or empty, an absolute path up to the address limit, and
// nothing else, even where another value names the same live socket.
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

const std::string UNREACHABLE = "service: Unable to get default service manager!\n";

TEST(ServiceManagerPath, UnsetOrEmptyMeansTheDefaultPath)
{
    testing::ScopedEnv variable(SERVICE_MANAGER_ENV);
    variable.set(nullptr);
    EXPECT_STREQ(serviceManagerPath(), SERVICE_MANAGER_DEFAULT_PATH);
    variable.set("");
    EXPECT_STREQ(serviceManagerPath(), SERVICE_MANAGER_DEFAULT_PATH);
}

TEST(ServiceManagerPath, OnlyAnAbsolutePathWithinTheAddressLimitReachesTheManager)
{
    testing::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string base = dir.path() + "/";
    ASSERT_LT(base.size() + 1, MAX_ENDPOINT_LENGTH);
    const std::string name(MAX_ENDPOINT_LENGTH - base.size(), 'n');
    const std::string longest = base + name;
    testing::BackgroundProcess manager;
    ASSERT_TRUE(manager.start({testing::serviceManagerProgram()}, {"QUORVEL_SERVICE_MANAGER=" + longest},
                              base + "manager.log"));
    struct stat st;
    for (int i = 0; i < 1000 && ::stat(longest.c_str(), &st) != 0 && manager.running(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(manager.running()) << testing::readFile(base + "manager.log");

    const auto list = [&](const std::string& value) {
        return testing::runProgram({SERVICE_PROGRAM, "list"}, 10s, {"QUORVEL_SERVICE_MANAGER=" + value},
                                   [&] { return ::chdir(dir.path().c_str()) == 0; });
    };
    const auto reached = list(longest);
    EXPECT_EQ(reached.exitStatus, 0) << reached.combined;
    EXPECT_EQ(reached.out, "Found 0 services:\n");
    // The same socket by other names: one byte past the limit (a doubled slash), and
    // relative to the folder the client runs in.
    for (const std::string& value : {dir.path() + "//" + name, name, "./" + name}) {
        const auto refused = list(value);
        EXPECT_EQ(refused.exitStatus, 20) << value;
        EXPECT_EQ(refused.out, "") << value;
        EXPECT_EQ(refused.err, UNREACHABLE) << value;
    }
    EXPECT_EQ(manager.stop(SIGTERM, 10s), 0);
}

} // namespace
} // namespace quorvel
