// Peers that break the protocol: the daemon drops them and keeps serving everyone
// else; a client facing a broken host gets an error status, never a hang.
#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>

#include <test_support/process_stats.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include "frame_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

using testing::FakeHost;
using testing::makeFrame;
using testing::managerThen;
using testing::RawPeer;
using testing::wordBytes;

// The status of the reply `peer` gets next; anything else (a hang-up, garbage, or
// nothing within the timeout) fails the test.
int32_t replyStatus(RawPeer& peer)
{
    FrameHeader header{};
    EXPECT_EQ(peer.await(5s, &header), RawPeer::Outcome::Reply);
    return static_cast<int32_t>(header.code);
}

class HostilePeers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.ready()) << world.error(); }

    // The daemon still answers an ordinary client.
    void expectStillServing()
    {
        const sp<ServiceManagerPort> sm = defaultServiceManager();
        ASSERT_NE(sm, nullptr);
        EXPECT_EQ(sm->listServices().size(), 5u);
        EXPECT_NE(sm->checkService(String16("example.echo")), nullptr);
        EXPECT_TRUE(world.serviceManager().running());
    }

    testing::ProcessFixture world;
};

TEST_F(HostilePeers, GarbageClosesTheConnection)
{
    RawPeer peer(world.socketPath());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send(wordBytes({0xdeadbeef, 1, 2, 3, 4, 5, 6, 7})));
    EXPECT_EQ(peer.await(5s), RawPeer::Outcome::Closed);
    expectStillServing();
}

TEST_F(HostilePeers, TruncatedAndInconsistentFramesCloseTheConnection)
{
    const std::vector<std::vector<uint32_t>> frames = {
        {FRAME_MAGIC, 1, 0}, // shorter than a header
        {FRAME_MAGIC, 1, 0, 1, 0, 64, 0, 1, 2}, // claims more data than it has
        {FRAME_MAGIC, 1, 0, 1, 0, 6, 0, 1, 2}, // data not a whole number of words
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0}, // an object with no table entry
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 0, 0, 1, 0, 200}, // an endpoint longer than allowed
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 4, 0, 1, 0, 16, 0, 0, 0, 0}, // slot past the data
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 0, 7, 1, 0, 4, 0x2f2f2f2f}, // well formed; refers to a host nobody runs
        {FRAME_MAGIC, 2, 0, 0, 0, 0, 0}, // a reply where a request belongs
        {FRAME_MAGIC, 1, 0, 1, 0, 0, 0, 99}, // trailing bytes after the frame
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        RawPeer peer(world.socketPath());
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(wordBytes(frames[i])));
        // The one well-formed frame (index 6) is answered, with an error since it
        // carries no interface token; every other frame costs the peer its connection.
        if (i == 6)
            EXPECT_NE(replyStatus(peer), OK);
        else
            EXPECT_EQ(peer.await(5s), RawPeer::Outcome::Closed);
    }
    expectStillServing();
}

TEST_F(HostilePeers, OversizedFrameClosesTheConnection)
{
    RawPeer peer(world.socketPath(), 1 << 20);
    const std::vector<uint8_t> big(MAX_FRAME_SIZE + 4096 - sizeof(FrameHeader));
    if (!peer.send(makeFrame(FRAME_TRANSACTION, 0, 1, big)))
        GTEST_SKIP() << "this kernel refuses to send a frame that large: " << std::strerror(errno);
    EXPECT_EQ(peer.await(5s), RawPeer::Outcome::Closed);
    expectStillServing();
}

// The largest frame there can be: a full parcel with every object slot used, each
// reference carrying the longest endpoint.
std::vector<uint8_t> largestFrame()
{
    std::vector<uint32_t> data(MAX_PARCEL_DATA / 4, 0);
    std::vector<testing::ObjectRecord> objects;
    const std::string endpoint = "@nobody." + std::string(MAX_ENDPOINT_LENGTH - 8, 'x');
    for (uint32_t i = 0; i < MAX_PARCEL_OBJECTS; ++i) {
        data[i * 2] = 1; // a reference
        objects.push_back({i * 8, 1, endpoint, 1, 0});
    }
    return makeFrame(FRAME_TRANSACTION, 0, 1, wordBytes(data), objects);
}

TEST_F(HostilePeers, TheLargestFrameIsAnsweredAndOneByteMoreClosesTheConnection)
{
    std::vector<uint8_t> frame = largestFrame();
    ASSERT_EQ(frame.size(), MAX_FRAME_SIZE);
    {
        RawPeer peer(world.socketPath(), 1 << 20);
        ASSERT_TRUE(peer.send(frame)) << std::strerror(errno);
        // Answered with an error, since it carries no interface token.
        EXPECT_NE(replyStatus(peer), OK) << "the largest frame cost the peer its connection";
    }
    frame.push_back(0);
    RawPeer peer(world.socketPath(), 1 << 20);
    ASSERT_TRUE(peer.send(frame)) << std::strerror(errno);
    EXPECT_EQ(peer.await(5s), RawPeer::Outcome::Closed);
    expectStillServing();
}

TEST_F(HostilePeers, UnknownHandleAndUnknownCodeGetErrorReplies)
{
    RawPeer peer(world.socketPath());
    ASSERT_TRUE(peer.send(makeFrame(FRAME_TRANSACTION, 12345, 1, {})));
    EXPECT_EQ(replyStatus(peer), NAME_NOT_FOUND);

    // Same connection, still usable: a request without the interface token.
    ASSERT_TRUE(peer.send(makeFrame(FRAME_TRANSACTION, 0, 3, wordBytes({7}))));
    EXPECT_EQ(replyStatus(peer), BAD_TYPE);
    expectStillServing();
}

TEST_F(HostilePeers, SilentPeersDoNotStallTheDaemon)
{
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 20; ++i)
        silent.push_back(std::make_unique<RawPeer>(world.socketPath()));
    expectStillServing();
}

TEST_F(HostilePeers, ConnectionsPastTheLimitAreClosedAndOthersRecoverAfterwards)
{
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (size_t i = 0; i < MAX_CONNECTIONS + 8; ++i)
        peers.push_back(std::make_unique<RawPeer>(world.socketPath()));
    // The last ones were accepted and closed at once.
    EXPECT_EQ(peers.back()->await(5s), RawPeer::Outcome::Closed);
    peers.clear();
    // The daemon notices the closed connections before it runs out of room.
    EXPECT_TRUE(robustness::eventually(
        [] {
            const sp<ServiceManagerPort> sm = defaultServiceManager();
            return sm && sm->listServices().size() == 5u;
        },
        2s));
}

TEST_F(HostilePeers, PassedDescriptorsAreClosedAndTheConnectionDropped)
{
    RawPeer peer(world.socketPath());
    const int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(peer.send(makeFrame(FRAME_TRANSACTION, 0, 0x5F4E5446, {}), passed));
    ::close(passed);
    EXPECT_EQ(peer.await(5s), RawPeer::Outcome::Closed);
    expectStillServing();
}

class BrokenHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        path = dir.path() + "/sm";
        variable.set(path.c_str());
    }

    // Under /tmp whatever $TMPDIR says: the socket path must fit sockaddr_un.
    testing::TempDir dir{"/tmp"};
    testing::ScopedEnv variable{SERVICE_MANAGER_ENV};
    std::string path;
};

TEST_F(BrokenHost, HostThatClosesMidTransactionGivesDeadObject)
{
    FakeHost host(path, [](int fd) {
        managerThen({})(fd);
        char request[4096];
        (void)::recv(fd, request, sizeof request, 0);
    });
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    Parcel data, reply;
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), DEAD_OBJECT);
    EXPECT_EQ(reply.errorCheck(), DEAD_OBJECT);
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), DEAD_OBJECT);
}

TEST_F(BrokenHost, GarbageReplyGivesFailedTransaction)
{
    FakeHost host(path, managerThen({wordBytes({0x01020304, 5, 6})}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    Parcel data, reply;
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), FAILED_TRANSACTION);
    EXPECT_EQ(reply.errorCheck(), FAILED_TRANSACTION);
}

TEST_F(BrokenHost, ReplyWithAReferenceToAnUnknownLocalHandleIsRejected)
{
    // Make this process's endpoint exist, then have the host point into it.
    std::string endpoint;
    uint32_t handle;
    ASSERT_EQ(describeObject(sp<IBinder>(new testing::NullObject()), &endpoint, &handle), OK);
    FakeHost host(path, managerThen({makeFrame(FRAME_REPLY, 0, 0, wordBytes({1, 0}), {{0, 999999, endpoint, 1, 0}})}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    Parcel data, reply;
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), FAILED_TRANSACTION);
}

TEST_F(BrokenHost, ListingAndLookUpSurviveNonsenseAnswers)
{
    // A well-formed reply whose content is nonsense: a huge count, no names.
    FakeHost host(path, managerThen({makeFrame(FRAME_REPLY, 0, 0, wordBytes({1000000, 1000000}))}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    EXPECT_EQ(sm->listServices().size(), 0u);
}

// A manager at the test's path that counts connections and requests: the first
// connection answers the descriptor query and then plays eviction, `firstThen`, either
// closing at once (idle) or after reading one request (mid-call); every later
// connection is answered by `later`.
class EvictingManager {
public:
    enum class FirstThen {
        CloseWhileIdle,
        CloseAfterARequest
    };
    EvictingManager(const std::string& path, FirstThen firstThen, std::function<void(int)> later)
        : mHost(path, [this, firstThen, later](int fd) {
            if (mConnections++ > 0)
                return later(fd);
            managerThen({})(fd);
            if (firstThen == FirstThen::CloseAfterARequest) {
                char request[4096];
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 10000) == 1 && ::recv(fd, request, sizeof request, 0) > 0)
                    ++mFirstRequests;
            }
            ::shutdown(fd, SHUT_RDWR);
            mFirstClosed = true;
        })
    {
    }

    // Waits (bounded) until the first connection has been closed.
    bool firstClosed() const
    {
        for (int i = 0; i < 1000 && !mFirstClosed.load(); ++i)
            ::usleep(10000);
        return mFirstClosed.load();
    }
    int connections() const { return mConnections.load(); }
    int firstRequests() const { return mFirstRequests.load(); }

private:
    std::atomic<int> mConnections{0};
    std::atomic<int> mFirstRequests{0};
    std::atomic<bool> mFirstClosed{false};
    FakeHost mHost; // last: its threads use the counters
};

const std::vector<uint8_t> NULL_REFERENCE_REPLY = makeFrame(FRAME_REPLY, 0, 0, wordBytes({0, 0}));

std::vector<uint8_t> descriptorReply(const std::u16string& descriptor)
{
    std::vector<uint8_t> data;
    testing::putString16(data, descriptor);
    return makeFrame(FRAME_REPLY, 0, 0, data);
}

TEST_F(BrokenHost, LookUpReconnectsOnceToAManagerThatClosedTheIdleConnection)
{
    EvictingManager manager(path, EvictingManager::FirstThen::CloseWhileIdle, managerThen({NULL_REFERENCE_REPLY}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    ASSERT_TRUE(manager.firstClosed());

    sp<IBinder> service;
    EXPECT_EQ(sm->lookUpService(String16("example.echo"), &service), OK);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(manager.connections(), 2);
}

TEST_F(BrokenHost, ReconnectingHoldsTheManagerToItsIdentityRules)
{
    // What answers after the eviction is not a service manager: the look-up must fail,
    // never take its null reference for "no such service".
    EvictingManager manager(
        path, EvictingManager::FirstThen::CloseWhileIdle,
        testing::answerInTurn({descriptorReply(u"quorvel.os.ISomethingElse"), NULL_REFERENCE_REPLY}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    ASSERT_TRUE(manager.firstClosed());

    sp<IBinder> service;
    EXPECT_EQ(sm->lookUpService(String16("example.echo"), &service), DEAD_OBJECT);
    EXPECT_EQ(manager.connections(), 2);
}

TEST_F(BrokenHost, RequestTheManagerReadBeforeClosingIsNotSentAgain)
{
    EvictingManager manager(path, EvictingManager::FirstThen::CloseAfterARequest, managerThen({NULL_REFERENCE_REPLY}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);

    sp<IBinder> service;
    EXPECT_EQ(sm->lookUpService(String16("example.echo"), &service), DEAD_OBJECT);
    ASSERT_TRUE(manager.firstClosed());
    EXPECT_EQ(manager.firstRequests(), 1);
    EXPECT_EQ(manager.connections(), 1) << "the request went again on a new connection";
    // The next look-up finds the connection failed and connects again.
    EXPECT_EQ(sm->lookUpService(String16("example.echo"), &service), OK);
    EXPECT_EQ(manager.connections(), 2);
}

} // namespace
} // namespace quorvel
