// Calls that must not wait on each other: a handler that calls back into the process
// that called it, a handler stuck on a silent peer while others call the same host,
// and a host that missed one deadline and answers the next call in time.
#include <test_support/process_stats.h>

#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/service_manager.h>
#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quorvel::robustness {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::ProcessFixture;

// An object of this process whose code-2 handler a test supplies.
class Callback : public LocalBinder {
public:
    explicit Callback(std::function<status_t(const Parcel&, Parcel*)> handler)
        : mHandler(std::move(handler))
    {
    }

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        return code == 2 ? mHandler(data, reply) : UNKNOWN_TRANSACTION;
    }

private:
    std::function<status_t(const Parcel&, Parcel*)> mHandler;
};

// This process serves its own objects on a thread of its own while the test runs.
class ServingHere {
public:
    ~ServingHere()
    {
        stopServing();
        mThread.join();
    }

private:
    std::thread mThread{[] { serve(); }};
};

// A gate a handler waits at until the test opens it (or a bound passes).
class Gate {
public:
    void arrive()
    {
        std::unique_lock<std::mutex> lock(mLock);
        mArrived = true;
        mChanged.notify_all();
        mChanged.wait_for(lock, 20s, [this] { return mOpen; });
    }
    bool waitForArrival()
    {
        std::unique_lock<std::mutex> lock(mLock);
        return mChanged.wait_for(lock, 20s, [this] { return mArrived; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(mLock);
        mOpen = true;
        mChanged.notify_all();
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mArrived = false;
    bool mOpen = false;
};

class IndependentCalls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.ready()) << world.error(); }

    // Starts the relay, which gives up on a callback after `deadline`.
    void startRelay(std::chrono::milliseconds deadline)
    {
        std::vector<std::string> environment = world.environment();
        environment.push_back("QUORVEL_IPC_TIMEOUT_MS=" + std::to_string(deadline.count()));
        ASSERT_TRUE(relay.start({STALLING_SERVICE_PROGRAM, "robust.relay", "-", "relay"}, environment,
                                world.runtimeDir() + "/relay.log"));
        ASSERT_TRUE(world.waitForServices({"robust.relay"})) << testing::readFile(world.runtimeDir() + "/relay.log");
        service = defaultServiceManager()->checkService(String16("robust.relay"));
        ASSERT_NE(service, nullptr);
    }

    // Asks the relay to call `callback`; the int32 it answers, or the failure.
    status_t relayTo(const sp<IBinder>& callback, int32_t* answer)
    {
        Parcel data, reply;
        data.writeStrongBinder(callback);
        const status_t status = service->transact(1, data, &reply);
        *answer = status == OK ? reply.readInt32() : 0;
        return status;
    }

    ProcessFixture world;
    BackgroundProcess relay;
    sp<IBinder> service;
};

TEST_F(IndependentCalls, HandlerCallingBackIntoItsCallerCompletes)
{
    // This process calls the relay, whose handler calls this process, whose handler
    // calls the relay again: each waits for the next, and all must finish.
    const sp<IBinder> callback(new Callback([](const Parcel& data, Parcel* reply) -> status_t {
        sp<IBinder> caller;
        if (data.readStrongBinder(&caller) != OK || !caller)
            return BAD_VALUE;
        Parcel none, answer;
        const status_t status = caller->transact(3, none, &answer);
        return status == OK ? reply->writeInt32(answer.readInt32() + 1) : status;
    }));
    ServingHere serving;
    startRelay(10s);
    int32_t answer = 0;
    EXPECT_EQ(relayTo(callback, &answer), OK);
    EXPECT_EQ(answer, 43);
}

TEST_F(IndependentCalls, HandlerWaitingOnASilentPeerHoldsUpOnlyItsOwnCaller)
{
    Gate gate;
    const sp<IBinder> silent(new Callback([&gate](const Parcel&, Parcel* reply) -> status_t {
        gate.arrive();
        return reply->writeInt32(1);
    }));
    ServingHere serving;
    startRelay(10s);
    std::atomic<bool> firstDone{false};
    std::thread first([&] {
        int32_t answer;
        relayTo(silent, &answer);
        firstDone = true;
    });
    ASSERT_TRUE(gate.waitForArrival());
    // The relay's handler now waits on us; another process calls the relay meanwhile.
    const auto other = world.run({SERVICE_PROGRAM, "call", "robust.relay", "3"}, 10s, {"QUORVEL_IPC_TIMEOUT_MS=5000"});
    const bool stillWaiting = !firstDone.load();
    gate.open();
    first.join();
    EXPECT_EQ(other.exitStatus, 0) << other.combined;
    EXPECT_NE(other.out.find("0000002a"), std::string::npos) << other.out;
    EXPECT_TRUE(stillWaiting) << "the first call ended before the other was answered";
}

TEST_F(IndependentCalls, HostThatMissedADeadlineIsAskedAgainByTheNextCall)
{
    // The callback answers its first call after the relay's deadline, then at once.
    Gate late;
    std::atomic<int> calls{0};
    const sp<IBinder> slowOnce(new Callback([&](const Parcel&, Parcel* reply) -> status_t {
        if (calls++ == 0)
            late.arrive();
        return reply->writeInt32(7);
    }));
    ServingHere serving;
    startRelay(1s);
    int32_t answer = 0;
    EXPECT_EQ(relayTo(slowOnce, &answer), TIMED_OUT);
    EXPECT_EQ(relayTo(slowOnce, &answer), OK);
    EXPECT_EQ(answer, 7);
    EXPECT_EQ(calls.load(), 2) << "the second call never reached the callback";
    late.open();
}

} // namespace
} // namespace quorvel::robustness
