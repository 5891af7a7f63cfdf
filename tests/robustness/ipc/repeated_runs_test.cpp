// Thousands of `service` runs against one service manager and one set of services:
// every run gives its exact exit status, and the long-running processes end up
// holding no more descriptors or memory than after the first few hundred runs.
#include <test_support/process_stats.h>

#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::robustness {
namespace {

using namespace std::chrono_literals;
using testing::ProcessFixture;

struct Command {
    std::vector<std::string> arguments;
    int exitStatus;
};

// Each kind of run the tool makes, with the status it must end with.
const std::vector<Command>& commands()
{
    static const std::vector<Command> all = {
        {{"list"}, 0},
        {{"check", "example.echo"}, 0},
        {{"check", "robust.absent"}, 0},
        {{"call", "example.echo", "1", "i32", "5", "s16", "text", "null", "intent", "action=a"}, 0},
        {{"call", "example.unicode", "2", "s16", "Caf\xc3\xa9"}, 0},
        {{"call", "example.failing", "3"}, 30},
        {{"call", "robust.absent", "1"}, 10},
        {{"call", "example.echo", "1", "i32"}, 10},
        {{}, 0},
    };
    return all;
}

// `runs` runs spread over two workers (the machine's cores); the number that ended
// with the wrong status, and the first such command in `first`.
int runMany(int runs, std::string& first)
{
    std::atomic<int> next{0};
    std::atomic<int> wrong{0};
    std::string firstWrong;
    auto worker = [&] {
        for (int i; (i = next.fetch_add(1)) < runs;) {
            const Command& command = commands()[static_cast<size_t>(i) % commands().size()];
            std::vector<std::string> argv = {SERVICE_PROGRAM};
            argv.insert(argv.end(), command.arguments.begin(), command.arguments.end());
            const int status = testing::runDiscardingOutput(argv);
            if (status != command.exitStatus && wrong.fetch_add(1) == 0) {
                firstWrong = "service";
                for (const std::string& word : command.arguments)
                    firstWrong += " " + word;
                firstWrong += " exited with " + std::to_string(status);
            }
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    first = firstWrong;
    return wrong.load();
}

TEST(RepeatedServiceRuns, EveryRunEndsRightAndTheDaemonsDoNotGrow)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    const pid_t daemon = world.serviceManager().pid();
    const pid_t services = world.exampleServices().pid();

    std::string first;
    ASSERT_EQ(runMany(scaled(300, 20), first), 0) << first;
    const ProcessUsage daemonBefore = settledUsageOf(daemon);
    const ProcessUsage servicesBefore = settledUsageOf(services);

    const int runs = scaled(10000, 100);
    EXPECT_EQ(runMany(runs, first), 0) << first;
    ::testing::Test::RecordProperty("service_runs", runs);

    const ProcessUsage daemonAfter = usageBackTo(daemon, daemonBefore);
    const ProcessUsage servicesAfter = usageBackTo(services, servicesBefore);
    EXPECT_LE(daemonAfter.descriptors, daemonBefore.descriptors)
        << "service manager before: " << describe(daemonBefore) << "; after: " << describe(daemonAfter);
    EXPECT_LE(servicesAfter.descriptors, servicesBefore.descriptors)
        << "example-services before: " << describe(servicesBefore) << "; after: " << describe(servicesAfter);
    EXPECT_LE(daemonAfter.rssKiB, daemonBefore.rssKiB + memorySlackKiB(512)) << describe(daemonAfter);
    EXPECT_LE(servicesAfter.rssKiB, servicesBefore.rssKiB + memorySlackKiB(512)) << describe(servicesAfter);
    std::printf("%d runs; service manager: before %s, after %s; example-services: before %s, after %s\n", runs,
                describe(daemonBefore).c_str(), describe(daemonAfter).c_str(), describe(servicesBefore).c_str(),
                describe(servicesAfter).c_str());
    EXPECT_EQ(world.listedNames(), testing::exampleServiceNames());
}

} // namespace
} // namespace quorvel::robustness
