// Thousands of `service` runs against one service manager and one set of services:
// every run gives its exact exit status, and the long-running processes end up
// holding no more descriptors or memory than after the first few hundred runs.
#include <test_support/process_stats.h>

#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

// Runs the tool with its output thrown away; the exit status, or -1.
int runQuietly(const std::vector<std::string>& prefix, const std::vector<std::string>& arguments, int devNull)
{
    std::vector<std::string> words = prefix;
    words.push_back(SERVICE_PROGRAM);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, devNull, 0);
    posix_spawn_file_actions_adddup2(&actions, devNull, 1);
    posix_spawn_file_actions_adddup2(&actions, devNull, 2);
    pid_t pid;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return -1;
    int status;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// `runs` runs spread over two workers (the machine's cores); the number that ended
// with the wrong status, and the first such command in `first`.
int runMany(int runs, std::string& first)
{
    const std::vector<std::string> prefix = testing::emulatorPrefix();
    std::atomic<int> next{0};
    std::atomic<int> wrong{0};
    std::string firstWrong;
    std::atomic<bool> recorded{false};
    auto worker = [&] {
        const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int i; (i = next.fetch_add(1)) < runs;) {
            const Command& command = commands()[static_cast<size_t>(i) % commands().size()];
            const int status = runQuietly(prefix, command.arguments, devNull);
            if (status != command.exitStatus && wrong.fetch_add(1) == 0 && !recorded.exchange(true)) {
                firstWrong = "service";
                for (const std::string& word : command.arguments)
                    firstWrong += " " + word;
                firstWrong += " exited with " + std::to_string(status);
            }
        }
        ::close(devNull);
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
