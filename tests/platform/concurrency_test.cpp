// Several threads of one client share the connections to the daemon and to a host.
#include <quorvel/service_manager.h>

#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

TEST(SharedConnections, ConcurrentCallsEachGetTheirOwnReply)
{
    testing::ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    ASSERT_NE(sm, nullptr);
    const sp<IBinder> echo = sm->checkService(String16("example.echo"));
    ASSERT_NE(echo, nullptr);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Parcel data, reply;
                data.writeInt32(t * 1000 + i);
                // Look-ups through the daemon interleave with the calls to the host.
                if (i % 50 == 0 && sm->checkService(String16("example.unicode")) == nullptr)
                    ++mismatches;
                if (echo->transact(static_cast<uint32_t>(t), data, &reply) != OK || reply.readInt32() != t ||
                    reply.readInt32() != t * 1000 + i)
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
} // namespace quorvel
