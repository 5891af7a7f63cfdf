// Peers that break the protocol: the daemon drops them and keeps serving everyone
// else; a client facing a broken host gets an error status, never a hang.
#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>

#include <test_support/process_stats.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include "wire_format.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

using testing::FakeHost;
using testing::RawPeer;

// Frames here are written as 32-bit words.
std::vector<uint8_t> bytesOf(const std::vector<uint32_t>& words)
{
    std::vector<uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

// The next message as words, or nothing when the daemon closed the connection.
// Fails the test rather than wait past `timeout`.
std::optional<std::vector<uint32_t>> answerTo(RawPeer& peer, std::chrono::milliseconds timeout = 5s)
{
    std::vector<uint8_t> message;
    const RawPeer::Outcome outcome = peer.receive(timeout, &message);
    if (outcome == RawPeer::Outcome::Nothing) {
        ADD_FAILURE() << "no answer and no close within the timeout";
        return std::vector<uint32_t>{};
    }
    if (outcome == RawPeer::Outcome::Closed)
        return std::nullopt;
    std::vector<uint32_t> words(message.size() / 4);
    std::memcpy(words.data(), message.data(), words.size() * 4);
    return words;
}

// A transaction frame: header then data words, no objects.
std::vector<uint32_t> transaction(uint32_t handle, uint32_t code, const std::vector<uint32_t>& data,
                                  uint32_t objectCount = 0)
{
    std::vector<uint32_t> frame = {FRAME_MAGIC, 1, handle, code, 0, static_cast<uint32_t>(data.size() * 4),
                                   objectCount};
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
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
    ASSERT_TRUE(peer.send(bytesOf({0xdeadbeef, 1, 2, 3, 4, 5, 6, 7})));
    EXPECT_EQ(answerTo(peer), std::nullopt);
    expectStillServing();
}

TEST_F(HostilePeers, TruncatedAndInconsistentFramesCloseTheConnection)
{
    const std::vector<std::vector<uint32_t>> frames = {
        {FRAME_MAGIC, 1, 0}, // shorter than a header
        {FRAME_MAGIC, 1, 0, 1, 0, 64, 0, 1, 2}, // claims more data than it has
        {FRAME_MAGIC, 1, 0, 1, 0, 6, 0, 1, 2}, // data not a whole number of words
        transaction(0, 1, {1, 0}, 1), // an object with no table entry
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 0, 0, 1, 0, 200}, // an endpoint longer than allowed
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 4, 0, 1, 0, 16, 0, 0, 0, 0}, // slot past the data
        {FRAME_MAGIC, 1, 0, 1, 0, 8, 1, 1, 0, 0, 7, 1, 0, 4, 0x2f2f2f2f}, // well formed; refers to a host nobody runs
        {FRAME_MAGIC, 2, 0, 0, 0, 0, 0}, // a reply where a request belongs
        {FRAME_MAGIC, 1, 0, 1, 0, 0, 0, 99}, // trailing bytes after the frame
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        RawPeer peer(world.socketPath());
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(bytesOf(frames[i])));
        const auto answer = answerTo(peer);
        // The one well-formed frame (index 6) is answered, with an error since it
        // carries no interface token; every other frame costs the peer its connection.
        if (i == 6) {
            ASSERT_TRUE(answer.has_value());
            ASSERT_GE(answer->size(), 7u);
            EXPECT_NE(static_cast<int32_t>((*answer)[3]), OK) << "frame " << i;
        } else {
            EXPECT_EQ(answer, std::nullopt) << "frame " << i;
        }
    }
    expectStillServing();
}

TEST_F(HostilePeers, OversizedFrameClosesTheConnection)
{
    RawPeer peer(world.socketPath());
    int size = 1 << 20;
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    std::vector<uint8_t> big(MAX_FRAME_SIZE + 4096, 0);
    const uint32_t header[7] = {FRAME_MAGIC, 1, 0, 1, 0, static_cast<uint32_t>(big.size() - 28), 0};
    std::memcpy(big.data(), header, sizeof header);
    if (!peer.send(big))
        GTEST_SKIP() << "this kernel refuses to send a frame that large: " << std::strerror(errno);
    EXPECT_EQ(answerTo(peer), std::nullopt);
    expectStillServing();
}

// The largest frame there can be: a full parcel with every object slot used, each
// reference carrying the longest endpoint.
std::vector<uint8_t> largestFrame()
{
    std::vector<uint32_t> words = {
        FRAME_MAGIC, 1, 0, 1, 0, static_cast<uint32_t>(MAX_PARCEL_DATA), static_cast<uint32_t>(MAX_PARCEL_OBJECTS)};
    std::vector<uint32_t> data(MAX_PARCEL_DATA / 4, 0);
    for (size_t i = 0; i < MAX_PARCEL_OBJECTS; ++i)
        data[i * 2] = 1; // a reference
    words.insert(words.end(), data.begin(), data.end());
    std::vector<uint8_t> frame(words.size() * 4);
    std::memcpy(frame.data(), words.data(), frame.size());
    const std::string endpoint = "@nobody." + std::string(MAX_ENDPOINT_LENGTH - 8, 'x');
    for (size_t i = 0; i < MAX_PARCEL_OBJECTS; ++i) {
        const uint32_t record[5] = {static_cast<uint32_t>(i * 8), 1, 1, 0, static_cast<uint32_t>(endpoint.size())};
        const auto* bytes = reinterpret_cast<const uint8_t*>(record);
        frame.insert(frame.end(), bytes, bytes + sizeof record);
        frame.insert(frame.end(), endpoint.begin(), endpoint.end());
        frame.resize((frame.size() + 3) & ~size_t{3}, 0);
    }
    return frame;
}

TEST_F(HostilePeers, TheLargestFrameIsAnsweredAndOneByteMoreClosesTheConnection)
{
    std::vector<uint8_t> frame = largestFrame();
    ASSERT_EQ(frame.size(), MAX_FRAME_SIZE);
    int size = 1 << 20;
    {
        RawPeer peer(world.socketPath());
        ::setsockopt(peer.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ASSERT_TRUE(peer.send(frame)) << std::strerror(errno);
        // Answered with an error, since it carries no interface token.
        const auto answer = answerTo(peer);
        ASSERT_TRUE(answer.has_value()) << "the largest frame cost the peer its connection";
        ASSERT_GE(answer->size(), 7u);
        EXPECT_EQ((*answer)[1], 2u);
        EXPECT_NE(static_cast<int32_t>((*answer)[3]), OK);
    }
    frame.push_back(0);
    RawPeer peer(world.socketPath());
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ASSERT_TRUE(peer.send(frame)) << std::strerror(errno);
    EXPECT_EQ(answerTo(peer), std::nullopt);
    expectStillServing();
}

TEST_F(HostilePeers, UnknownHandleAndUnknownCodeGetErrorReplies)
{
    RawPeer peer(world.socketPath());
    ASSERT_TRUE(peer.send(bytesOf(transaction(12345, 1, {}))));
    auto answer = answerTo(peer);
    ASSERT_TRUE(answer.has_value());
    ASSERT_GE(answer->size(), 7u);
    EXPECT_EQ((*answer)[1], 2u);
    EXPECT_EQ(static_cast<int32_t>((*answer)[3]), NAME_NOT_FOUND);

    // Same connection, still usable: a request without the interface token.
    ASSERT_TRUE(peer.send(bytesOf(transaction(0, 3, {7}))));
    answer = answerTo(peer);
    ASSERT_TRUE(answer.has_value());
    ASSERT_GE(answer->size(), 7u);
    EXPECT_EQ(static_cast<int32_t>((*answer)[3]), BAD_TYPE);
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
    EXPECT_EQ(answerTo(*peers.back()), std::nullopt);
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
    ASSERT_TRUE(peer.send(bytesOf(transaction(0, 0x5F4E5446, {})), passed));
    ::close(passed);
    EXPECT_EQ(answerTo(peer), std::nullopt);
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

    // A stand-in service manager: answers the descriptor query as one would, then
    // the next request with `answer` (raw words), then hangs up.
    static std::function<void(int)> answerWith(const std::vector<uint32_t>& answer)
    {
        return testing::answerInTurn({testing::serviceManagerDescriptorReply(), bytesOf(answer)});
    }

    // Under /tmp whatever $TMPDIR says: the socket path must fit sockaddr_un.
    testing::TempDir dir{"/tmp"};
    testing::ScopedEnv variable{SERVICE_MANAGER_ENV};
    std::string path;
};

TEST_F(BrokenHost, HostThatClosesMidTransactionGivesDeadObject)
{
    FakeHost host(path, [](int fd) {
        testing::answerInTurn({testing::serviceManagerDescriptorReply()})(fd);
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
    FakeHost host(path, answerWith({0x01020304, 5, 6}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    Parcel data, reply;
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), FAILED_TRANSACTION);
    EXPECT_EQ(reply.errorCheck(), FAILED_TRANSACTION);
}

TEST_F(BrokenHost, ReplyWithAReferenceToAnUnknownLocalHandleIsRejected)
{
    // Make this process's endpoint exist, then have the host point into it.
    class Nothing : public LocalBinder {
    protected:
        status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override { return OK; }
    };
    std::string endpoint;
    uint32_t handle;
    ASSERT_EQ(describeObject(sp<IBinder>(new Nothing()), &endpoint, &handle), OK);
    std::vector<uint32_t> answer = {FRAME_MAGIC, 2, 0, 0,      0, 8, 1,
                                    1,           0, 0, 999999, 1, 0, static_cast<uint32_t>(endpoint.size())};
    std::vector<uint32_t> name((endpoint.size() + 3) / 4, 0);
    std::memcpy(name.data(), endpoint.data(), endpoint.size());
    answer.insert(answer.end(), name.begin(), name.end());
    FakeHost host(path, answerWith(answer));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    Parcel data, reply;
    EXPECT_EQ(sm->asBinder()->transact(1, data, &reply), FAILED_TRANSACTION);
}

TEST_F(BrokenHost, ListingAndLookUpSurviveNonsenseAnswers)
{
    // A well-formed reply whose content is nonsense: a huge count, no names.
    FakeHost host(path, answerWith({FRAME_MAGIC, 2, 0, 0, 0, 8, 0, 1000000, 1000000}));
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    EXPECT_EQ(sm->listServices().size(), 0u);
}

} // namespace
} // namespace quorvel
