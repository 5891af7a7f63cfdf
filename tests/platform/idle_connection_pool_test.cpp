// The pool of idle client connections: how many it keeps per host and in all, which
// one goes past either bound, that it lets go of connections whose host hung up
// without waiting for a call to that host, and that a request is sent at most once.
#include "idle_connection_pool.h"
#include "object_host.h"

#include <quorvel/limits.h>
#include <test_support/raw_peer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

std::string uniqueName(const char* what)
{
    static std::atomic<int> serial{0};
    return "@quorvel-pool-test." + std::to_string(::getpid()) + '.' + what + '.' + std::to_string(serial++);
}

class IdlePool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(listener, 0); }
    void TearDown() override
    {
        if (listener >= 0)
            ::close(listener);
    }

    // A new connection to the listener, which never accepts unless asked: the connect
    // completes into its backlog and the connection stays quiet.
    sp<Connection> connect()
    {
        status_t status;
        sp<Connection> connection = Connection::connectTo(name, host.objects, nullptr, &status);
        EXPECT_NE(connection, nullptr) << statusToString(status);
        return connection;
    }
    // The listener's end of the oldest connection not accepted yet.
    int accept() { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

    ObjectHost host;
    IdleConnectionPool& pool = host.connections;
    const std::string name = uniqueName("host");
    int listener = testing::listenOn(name, 256);
};

TEST_F(IdlePool, KeepsExactlyTheBoundPerHostAndClosesThatHostsLeastRecentlyKept)
{
    std::vector<sp<Connection>> ofA;
    for (size_t i = 0; i <= MAX_IDLE_CONNECTIONS_PER_HOST; ++i)
        ofA.push_back(connect());
    const sp<Connection> ofB = connect();

    // The first kept is the oldest of all: past host a's bound, it must still be host
    // a's oldest that goes, not host b's.
    for (size_t i = 0; i < MAX_IDLE_CONNECTIONS_PER_HOST; ++i) {
        pool.keep("a", ofA[i]);
        if (i == 0)
            pool.keep("b", ofB);
    }
    EXPECT_EQ(pool.idleCount("a"), MAX_IDLE_CONNECTIONS_PER_HOST);
    pool.keep("a", ofA.back());
    EXPECT_EQ(pool.idleCount("a"), MAX_IDLE_CONNECTIONS_PER_HOST);
    EXPECT_EQ(pool.idleCount("b"), 1u);

    // Taken back most recently kept first; the first kept is gone.
    for (size_t i = MAX_IDLE_CONNECTIONS_PER_HOST; i >= 1; --i)
        EXPECT_EQ(pool.take("a"), ofA[i]) << "connection " << i;
    EXPECT_EQ(pool.take("a"), nullptr);
    EXPECT_EQ(pool.take("b"), ofB);
}

TEST_F(IdlePool, KeepsExactlyTheBoundInAllAndClosesTheLeastRecentlyUsed)
{
    // Host x first, then the rest of the bound spread over hosts at their own bound.
    const sp<Connection> ofX = connect();
    pool.keep("x", ofX);
    std::vector<std::string> keys;
    std::vector<sp<Connection>> kept;
    for (size_t i = 1; i < MAX_IDLE_CONNECTIONS; ++i) {
        keys.push_back("h" + std::to_string((i - 1) / MAX_IDLE_CONNECTIONS_PER_HOST));
        kept.push_back(connect());
        pool.keep(keys.back(), kept.back());
    }
    ASSERT_EQ(pool.idleCount(), MAX_IDLE_CONNECTIONS);

    // x is used again, so the least recently used is now h0's first.
    ASSERT_EQ(pool.take("x"), ofX);
    pool.keep("x", ofX);
    ASSERT_EQ(pool.idleCount(), MAX_IDLE_CONNECTIONS);

    const sp<Connection> ofNewcomer = connect();
    pool.keep("newcomer", ofNewcomer);
    EXPECT_EQ(pool.idleCount(), MAX_IDLE_CONNECTIONS);
    EXPECT_EQ(pool.idleCount("x"), 1u);
    EXPECT_EQ(pool.idleCount("newcomer"), 1u);
    EXPECT_EQ(pool.idleCount("h0"), MAX_IDLE_CONNECTIONS_PER_HOST - 1);
    for (size_t i = MAX_IDLE_CONNECTIONS_PER_HOST - 1; i >= 1; --i)
        EXPECT_EQ(pool.take("h0"), kept[i]) << "h0's connection " << i;
    EXPECT_EQ(pool.take("h0"), nullptr) << "h0's first connection is still kept";
}

TEST_F(IdlePool, LetsGoOfConnectionsWhoseHostHungUpOrSpokeAtTheNextUseForAnyHost)
{
    sp<Connection> hungUp = connect();
    sp<Connection> spoke = connect();
    const sp<Connection> quiet = connect();
    const int hungUpPeer = accept();
    const int spokePeer = accept();
    ASSERT_GE(hungUpPeer, 0);
    ASSERT_GE(spokePeer, 0);
    pool.keep("hung-up", hungUp);
    pool.keep("spoke", spoke);
    pool.keep("quiet", quiet);
    const int hungUpFd = hungUp->fd();
    const int spokeFd = spoke->fd();
    hungUp.clear();
    spoke.clear();

    ::close(hungUpPeer);
    ASSERT_EQ(::send(spokePeer, "x", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(pool.take("elsewhere"), nullptr);
    EXPECT_EQ(pool.idleCount(), 1u);
    EXPECT_EQ(pool.idleCount("quiet"), 1u);
    // The pool held the last reference: their descriptors are closed now.
    EXPECT_EQ(::fcntl(hungUpFd, F_GETFD), -1);
    EXPECT_EQ(::fcntl(spokeFd, F_GETFD), -1);
    EXPECT_EQ(pool.take("quiet"), quiet);
    ::close(spokePeer);
}

TEST_F(IdlePool, RequestAHostReadAndThenClosedOnIsNeverSentAgain)
{
    // A host of this process that answers the first request, then reads the next and
    // closes its connection without an answer.
    const std::string endpoint = uniqueName("closing");
    std::atomic<int> requests{0};
    testing::FakeHost closing(endpoint, [&requests](int fd) {
        std::vector<uint8_t> request(MAX_FRAME_SIZE + 1);
        const std::vector<uint8_t> answer = testing::makeFrame(FRAME_REPLY, 0, 0, testing::wordBytes({7}));
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 || ::recv(fd, request.data(), request.size(), 0) <= 0)
                return;
            if (++requests > 1)
                return; // read, then closed without an answer
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    ASSERT_TRUE(closing.listening());
    const ObjectRef target{endpoint, 1, PeerIdentity{::getpid(), ::getuid()}};
    const std::string key = poolKey(target);

    Parcel data, reply;
    ASSERT_EQ(pool.transactWith(target, key, 1, data, &reply, 0), OK);
    EXPECT_EQ(reply.readInt32(), 7);
    ASSERT_EQ(pool.idleCount(key), 1u);

    // The kept connection is sound when it is taken; the host closes it only after
    // it has read the request.
    EXPECT_EQ(pool.transactWith(target, key, 1, data, &reply, 0), DEAD_OBJECT);
    EXPECT_EQ(reply.errorCheck(), DEAD_OBJECT);
    EXPECT_EQ(requests.load(), 2);
    EXPECT_EQ(pool.idleCount(key), 0u);
}

} // namespace
} // namespace quorvel
