// The accept loop of a hosting process under a flood of connections: a stop request
// ends it at once, whatever the flood still has waiting in the backlog.
#include "object_host.h"
#include "server.h"

#include <test_support/process_stats.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

constexpr int FLOODERS = 3;
// Connections each flooder still makes once the stop is requested: far more than the
// one an accept already under way may take.
constexpr int FLOOD_AFTER_STOP = 1000;
// Bounds on the test's own waits, never its verdict.
constexpr auto WAIT_LIMIT = 30s;

// A listening socket under a fresh abstract name.
UniqueFd listenAbstract(sockaddr_un* address, socklen_t* length)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return fd;
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    const std::string name = "server-accept-test." + std::to_string(::getpid()) + "." +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::copy(name.begin(), name.end(), address->sun_path + 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(address), *length) < 0 || ::listen(fd.get(), 128) < 0)
        fd.reset();
    return fd;
}

TEST(ServerAccept, StopEndsTheAcceptLoopWhileAFloodKeepsTheBacklogFull)
{
    sockaddr_un address;
    socklen_t length;
    const UniqueFd listening = listenAbstract(&address, &length);
    ASSERT_TRUE(listening.valid()) << std::strerror(errno);
    const UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ASSERT_TRUE(wake.valid());

    // A host of the test's own. Connection ids are handed out in the order of
    // acceptance, so the highest id that closes is how many were accepted.
    auto host = std::make_unique<ObjectHost>();
    std::atomic<uint64_t> highestId{0};
    std::atomic<uint64_t> closedCount{0};
    host->dispatcher.setConnectionClosedHandler([&](uint64_t id) {
        uint64_t seen = highestId.load();
        while (id > seen && !highestId.compare_exchange_weak(seen, id)) {}
        ++closedCount;
    });
    auto server = std::make_unique<Server>(host->dispatcher);
    std::atomic<bool> stop{false};
    std::atomic<bool> returned{false};
    std::thread serving([&] {
        server->run(listening.get(), wake.get(), -1, stop);
        returned = true;
    });

    // Each flooder connects and hangs up as fast as it can, and finds the backlog full
    // whenever the accept loop falls behind.
    std::atomic<uint64_t> made{0};
    std::atomic<uint64_t> foundFull{0};
    const auto giveUp = std::chrono::steady_clock::now() + WAIT_LIMIT;
    std::vector<std::thread> flooders;
    for (int i = 0; i < FLOODERS; ++i)
        flooders.emplace_back([&] {
            int afterStop = 0;
            while (!returned.load() && afterStop < FLOOD_AFTER_STOP && std::chrono::steady_clock::now() < giveUp) {
                const bool stopped = stop.load();
                const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (fd < 0) {
                    ::sched_yield();
                    continue;
                }
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                    ++made;
                    afterStop += stopped;
                } else if (errno == EAGAIN) {
                    ++foundFull;
                    ::sched_yield();
                }
                ::close(fd);
            }
        });

    // The stop comes while the loop has more waiting than it can take.
    robustness::eventually([&] { return foundFull.load() >= 10 && made.load() >= 500; }, WAIT_LIMIT);
    stop = true;
    const uint64_t one = 1;
    ASSERT_EQ(::write(wake.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    const uint64_t madeBeforeStop = made.load();
    for (std::thread& flooder : flooders)
        flooder.join();
    serving.join();
    server->closeAll();
    // Every accepted connection's thread must be gone before the server is.
    const bool allEnded = robustness::eventually([&] { return closedCount.load() == highestId.load(); }, WAIT_LIMIT);
    server->closeAll();

    // Connections made before the stop may still be accepted, and one more by an
    // accept already under way when it came (each flooder may have connected but not
    // yet counted); nothing after that.
    EXPECT_GT(foundFull.load(), 0u) << "the flood never filled the backlog: nothing was tested";
    EXPECT_LE(highestId.load(), madeBeforeStop + FLOODERS + 1)
        << "accepted " << highestId.load() << " connections, " << madeBeforeStop << " of them made before the stop, "
        << made.load() << " made in all";
    if (allEnded) {
        server.reset();
        host.reset();
    } else {
        ADD_FAILURE() << "connection threads still running; the server is left in place";
        (void)server.release();
        (void)host.release();
    }
}

} // namespace
} // namespace quorvel
