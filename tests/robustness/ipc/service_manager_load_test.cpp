// The service manager under load and under attack at once: 200 clients looking up and
// listing while services register and die, and hostile peers sending malformed frames.
// It must keep answering everyone else, and afterwards hold no more descriptors and
// no more memory than before.
#include <test_support/process_stats.h>

#include <quorvel/service_manager.h>
#include <quorvel/string16.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::robustness {
namespace {

using namespace quorvel::testing;

// What the clients or the hostile peers saw, and the first thing that went wrong.
// Of the clients' counters only `operations` may grow; every frame a hostile peer
// sent must be handled as expected, with no surprises.
struct Tally {
    std::atomic<int> operations{0};
    std::atomic<int> noServiceManager{0};
    std::atomic<int> exampleMissing{0};
    std::atomic<int> listWrong{0};
    std::atomic<int> sent{0};
    std::atomic<int> handledAsExpected{0};
    std::atomic<int> surprises{0};
    std::mutex lock;
    std::string firstProblem;

    void problem(std::atomic<int>& counter, const std::string& what)
    {
        if (counter.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> guard(lock);
            if (firstProblem.empty())
                firstProblem = what;
        }
    }
};

// One well-behaved client: its own connection, look-ups and listings in turn, at
// least `operations` of them and on until the churn is over (bounded all the same).
void runClient(int index, int operations, const std::atomic<bool>& churnDone, Tally& tally)
{
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    if (!sm) {
        tally.problem(tally.noServiceManager, "client " + std::to_string(index) + " could not connect");
        return;
    }
    const std::vector<std::string>& examples = testing::exampleServiceNames();
    for (int i = 0; i < operations || (!churnDone.load() && i < 50 * operations); ++i) {
        if ((index + i) % 4 == 0) {
            const Vector<String16> listed = sm->listServices();
            std::vector<std::string> names;
            for (size_t k = 0; k < listed.size(); ++k)
                names.push_back(toAscii(listed[k]));
            const bool sorted = std::is_sorted(names.begin(), names.end());
            const bool complete = std::all_of(examples.begin(), examples.end(), [&](const std::string& name) {
                return std::binary_search(names.begin(), names.end(), name);
            });
            if (!sorted || !complete)
                tally.problem(tally.listWrong,
                              "a listing of " + std::to_string(names.size()) + " names was " +
                                  (sorted ? "missing an example service" : "not sorted"));
        } else {
            const std::string& name = examples[static_cast<size_t>(index + i) % examples.size()];
            if (!sm->checkService(String16(name.c_str())))
                tally.problem(tally.exampleMissing, name + " was not found");
            // Names that come and go: either answer is right, but there must be one.
            (void)sm->checkService(String16(("robust.churn." + std::to_string(i % 3) + ".1").c_str()));
        }
        tally.operations.fetch_add(1);
    }
}

// Sends `frames` malformed frames, each on a fresh connection, and checks what the
// daemon does with each: a hang-up, or an error reply where the frame was sound.
void runHostile(const std::string& socket, int seed, int frames, Tally& tally)
{
    std::mt19937 random(static_cast<unsigned>(seed));
    const int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int i = 0; i < frames; ++i) {
        const BadFrame bad = badFrame(seed + i, random);
        RawPeer peer(socket);
        // (A peer that did not connect sends nothing either.)
        if (!peer.send(bad.bytes, bad.passDescriptor ? passed : -1)) {
            const char* failed = peer.connected() ? "could not send " : "could not connect for ";
            tally.problem(tally.surprises, failed + std::string(bad.what));
            continue;
        }
        tally.sent.fetch_add(1);
        FrameHeader header{};
        const RawPeer::Outcome outcome = peer.await(5s, &header);
        const bool asExpected = bad.expectReply
            ? outcome == RawPeer::Outcome::Reply && static_cast<int32_t>(header.code) < 0
            : outcome == RawPeer::Outcome::Closed;
        if (asExpected)
            tally.handledAsExpected.fetch_add(1);
        else
            tally.problem(tally.surprises, std::string(bad.what) + " got " + outcomeName(outcome));
    }
    ::close(passed);
}

// Services that register and die: rounds of short-lived processes, half of them
// killed outright, half told to stop.
// Each round waits until its services are registered, so that the registrations
// really happen under load, then ends them. The wait is generous: on an emulated
// board under this load a start-up and a registration can take many seconds, and
// only a service that never appears is a fault.
void runChurn(const ProcessFixture& world, int rounds, std::atomic<int>& registered)
{
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    if (!sm)
        return;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<BackgroundProcess>> services;
        std::vector<std::string> names;
        for (int i = 0; i < 6; ++i) {
            auto process = std::make_unique<BackgroundProcess>();
            names.push_back("robust.churn." + std::to_string(round) + "." + std::to_string(i));
            process->start({testing::exampleClientProgram(), "serve", names.back()}, world.environment(),
                           world.runtimeDir() + "/churn.log");
            services.push_back(std::move(process));
        }
        for (const std::string& name : names)
            if (eventually([&] { return sm->checkService(String16(name.c_str())) != nullptr; }, 30s))
                registered.fetch_add(1);
        for (size_t i = 0; i < services.size(); ++i)
            services[i]->stop(i % 2 ? SIGKILL : SIGTERM, 2s);
    }
}

struct LoadFigures {
    int clients;
    int operationsPerClient;
    int hostilePeers;
    int framesPerPeer;
    int churnRounds;
};

class ServiceManagerLoad : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.ready()) << world.error(); }

    // Runs one round of everything at once and checks what every party saw.
    void applyLoad(const LoadFigures& load)
    {
        Tally clients;
        Tally hostile;
        std::atomic<int> churned{0};
        std::atomic<bool> churnDone{false};
        std::thread churn([&] {
            runChurn(world, load.churnRounds, churned);
            churnDone.store(true);
        });
        std::vector<std::thread> threads;
        for (int i = 0; i < load.hostilePeers; ++i)
            threads.emplace_back(runHostile, world.socketPath(), 1000 * i, load.framesPerPeer, std::ref(hostile));
        for (int i = 0; i < load.clients; ++i)
            threads.emplace_back(runClient, i, load.operationsPerClient, std::cref(churnDone), std::ref(clients));
        for (auto& thread : threads)
            thread.join();
        churn.join();

        EXPECT_GE(clients.operations.load(), load.clients * load.operationsPerClient) << clients.firstProblem;
        operations += clients.operations.load();
        EXPECT_EQ(clients.noServiceManager.load(), 0) << clients.firstProblem;
        EXPECT_EQ(clients.exampleMissing.load(), 0) << clients.firstProblem;
        EXPECT_EQ(clients.listWrong.load(), 0) << clients.firstProblem;
        EXPECT_EQ(hostile.sent.load(), load.hostilePeers * load.framesPerPeer);
        EXPECT_EQ(hostile.handledAsExpected.load(), hostile.sent.load()) << hostile.firstProblem;
        EXPECT_EQ(churned.load(), 6 * load.churnRounds) << "churned services that never appeared";

        // Every churned service is forgotten once its process is gone.
        EXPECT_TRUE(eventually([&] { return world.listedNames() == testing::exampleServiceNames(); }, 10s))
            << "still listed: " << ::testing::PrintToString(world.listedNames());
        ASSERT_TRUE(world.serviceManager().running()) << world.serviceManagerLog();
    }

    ProcessFixture world;
    int operations = 0; // client look-ups and listings answered, all rounds
};

TEST_F(ServiceManagerLoad, KeepsAnsweringEveryoneWhileServicesComeAndGoAndPeersSendGarbage)
{
    const pid_t daemon = world.serviceManager().pid();
    // A first full round, so that the baseline includes what the daemon keeps for
    // good once it has met this load: its frame buffers, the allocator's arenas, and
    // the thread stacks the C library keeps for reuse after as many serving threads
    // as there were clients at once. The second round must add nothing to it.
    // Clients shrink too in scaled-down builds: under the thread sanitizer each of
    // them, and the serving thread each gets, runs many times slower.
    const LoadFigures full{scaled(200, 40), scaled(100, 10), 4, scaled(2500, 50), scaled(10, 2)};
    applyLoad(full);
    const ProcessUsage baseline = settledUsageOf(daemon);
    ASSERT_GT(baseline.descriptors, 0);

    applyLoad(full);
    ::testing::Test::RecordProperty("malformed_frames", full.hostilePeers * full.framesPerPeer);
    ::testing::Test::RecordProperty("client_operations", operations);

    // Descriptors: no more than before. Memory: back within what the allocator may
    // keep in its free lists.
    const ProcessUsage after = usageBackTo(daemon, baseline);
    EXPECT_LE(after.descriptors, baseline.descriptors)
        << "before: " << describe(baseline) << "; after: " << describe(after);
    EXPECT_LE(after.rssKiB, baseline.rssKiB + memorySlackKiB(1024))
        << "before: " << describe(baseline) << "; after: " << describe(after);
    std::printf("%d client operations, %d malformed frames, %d services registered and ended; service manager: "
                "before %s, after %s\n",
                operations, full.hostilePeers * full.framesPerPeer, 6 * full.churnRounds, describe(baseline).c_str(),
                describe(after).c_str());
}

} // namespace
} // namespace quorvel::robustness
