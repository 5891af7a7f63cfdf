// Peers that stop halfway: a client that connects and never speaks, one that sends
// half a frame, one that never reads its replies, and a service that dies in the
// middle of a call. None of them may hold up anyone else, and the caller of the dead
// service learns of it at once.
#include <test_support/process_stats.h>

#include <quorvel/limits.h>
#include <quorvel/service_manager_protocol.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::robustness {
namespace {

using namespace quorvel::testing;

class StalledPeers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.ready()) << world.error(); }

    // `service list` still works, and in good time, with whatever is connected.
    void expectListStillAnswers()
    {
        const auto result = world.run({SERVICE_PROGRAM, "list"}, 10s);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out.rfind("Found 5 services:\n", 0), 0u) << result.out;
    }

    ProcessFixture world;
};

TEST_F(StalledPeers, SilentAndHalfFramePeersDoNotHoldUpTheServiceManager)
{
    const pid_t daemon = world.serviceManager().pid();
    const ProcessUsage baseline = settledUsageOf(daemon);
    {
        const auto connected = std::chrono::steady_clock::now();
        std::vector<std::unique_ptr<RawPeer>> silent;
        for (int i = 0; i < 100; ++i) {
            silent.push_back(std::make_unique<RawPeer>(world.socketPath()));
            ASSERT_TRUE(silent.back()->connected());
        }
        // Half a frame on a message socket is a whole, short message: the peer is
        // dropped, its connection closed, at once.
        std::vector<uint8_t> half = serviceManagerRequest(SM_LIST_SERVICES, {0, 0, 0, 0});
        half.resize(half.size() / 2);
        RawPeer halfFrame(world.socketPath());
        ASSERT_TRUE(halfFrame.send(half));
        // Bounded only against a hang: a sanitizer build starts the hundred serving
        // threads before it many times slower.
        EXPECT_EQ(halfFrame.await(std::chrono::milliseconds(static_cast<int>(5000 / loadScale()))),
                  RawPeer::Outcome::Closed);

        expectListStillAnswers();
        // A silent one that speaks within the first-frame deadline is answered (when
        // this machine got here in time; a slow build may not have).
        const auto silentFor = std::chrono::steady_clock::now() - connected;
        if (silentFor < std::chrono::milliseconds(FIRST_FRAME_TIMEOUT_MS) - 1s) {
            ASSERT_TRUE(silent.front()->send(serviceManagerRequest(SM_LIST_SERVICES, {0, 0, 0, 0})));
            EXPECT_EQ(silent.front()->await(5s), RawPeer::Outcome::Reply);
        }
        // One that stays silent is closed at the deadline, and so are the others.
        EXPECT_EQ(silent.back()->await(std::chrono::milliseconds(FIRST_FRAME_TIMEOUT_MS) + 5s),
                  RawPeer::Outcome::Closed);
    }
    // All of them gone: the daemon holds what it held before.
    const ProcessUsage after = usageBackTo(daemon, baseline);
    EXPECT_LE(after.descriptors, baseline.descriptors)
        << "before: " << describe(baseline) << "; after: " << describe(after);
}

TEST_F(StalledPeers, PeerThatNeverReadsItsRepliesIsDroppedNotWaitedFor)
{
    RawPeer flooder(world.socketPath());
    ASSERT_TRUE(flooder.connected());
    const std::vector<uint8_t> request = serviceManagerRequest(SM_LIST_SERVICES, {0, 0, 0, 0});
    // Requests without reading a single reply, until the daemon stops taking them
    // (it dropped us) or far more than fit in the socket buffers have gone out.
    int sent = 0;
    for (; sent < 20000; ++sent)
        if (!flooder.send(request))
            break;
    expectListStillAnswers();
    // The flooder's connection ends: after the replies that did fit, a hang-up.
    RawPeer::Outcome outcome;
    int replies = 0;
    while ((outcome = flooder.await(5s)) == RawPeer::Outcome::Reply)
        ++replies;
    EXPECT_EQ(outcome, RawPeer::Outcome::Closed) << sent << " sent, " << replies << " replies read";
    EXPECT_LT(replies, sent);
}

TEST_F(StalledPeers, SilentPeerOfAServiceDoesNotHoldUpItsCallers)
{
    // example-services' own endpoint, as a reference to one of its services carries it.
    const std::string endpoint = endpointOf("example.echo");
    RawPeer silent(endpoint);
    ASSERT_TRUE(silent.connected()) << endpoint;
    std::vector<uint8_t> half = makeFrame(FRAME_TRANSACTION, 1, 1, {1, 0, 0, 0});
    half.resize(10);
    RawPeer halfFrame(endpoint);
    ASSERT_TRUE(halfFrame.send(half));

    const auto result = world.run({SERVICE_PROGRAM, "call", "example.echo", "7", "i32", "9"}, 10s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("Result: Parcel("), std::string::npos) << result.out;
    EXPECT_EQ(halfFrame.await(5s), RawPeer::Outcome::Closed);
}

// A service that stops inside a call, one way or another.
class DyingService : public StalledPeers, public ::testing::WithParamInterface<const char*> {};

TEST_P(DyingService, WaitingCallExitsWith30AndTheNameIsForgotten)
{
    const std::string mode = GetParam();
    const std::string name = "robust.stalling." + mode;
    const std::string marker = world.runtimeDir() + "/in-call." + mode;
    BackgroundProcess service;
    ASSERT_TRUE(service.start({STALLING_SERVICE_PROGRAM, name, marker, mode}, world.environment(),
                              world.runtimeDir() + "/stalling.log"));
    ASSERT_TRUE(world.waitForServices({name})) << readFile(world.runtimeDir() + "/stalling.log");

    BackgroundProcess call;
    const std::string callLog = world.runtimeDir() + "/call." + mode + ".log";
    ASSERT_TRUE(call.start({SERVICE_PROGRAM, "call", name, "1", "i32", "5"}, world.environment(), callLog));
    ASSERT_TRUE(eventually([&] { return ::access(marker.c_str(), F_OK) == 0; }, 10s)) << "the call never arrived";
    if (mode == "hang") {
        EXPECT_TRUE(call.running()) << "the call ended before the service died";
        service.stop(SIGKILL, 5s);
    }
    // Promptly: well inside the bound, which only guards against a hang.
    EXPECT_TRUE(eventually([&] { return !call.running(); }, 5s)) << "service call still waits";
    EXPECT_EQ(call.exitStatus(), 30);
    const std::string log = readFile(callLog);
    EXPECT_NE(log.find("Result: Status("), std::string::npos) << log;
    EXPECT_NE(log.find("service: "), std::string::npos) << log;
    EXPECT_TRUE(world.waitForServices({name}, false));
    expectListStillAnswers();
}

INSTANTIATE_TEST_SUITE_P(KilledOrExiting, DyingService, ::testing::Values("hang", "exit"));

} // namespace
} // namespace quorvel::robustness
