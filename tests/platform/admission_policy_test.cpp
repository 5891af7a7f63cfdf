// The admission policy of a hosting process over plain records: the caps at their
// edges, the reserve for root and the host's own uid, the fair share of a newcomer
// and which connection makes room for it. The end-to-end proof, with real peers of
// other uids, is in the robustness tests.
#include "admission_policy.h"

#include <quorvel/limits.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace quorvel {
namespace {

constexpr uid_t HOST = 4242; // the uid the hosting process runs as
constexpr uid_t ROOT = 0;
constexpr size_t POOL = MAX_CONNECTIONS - RESERVED_CONNECTIONS;

class Admission : public ::testing::Test {
protected:
    // Opens `n` connections of `uid`, each of which must be admitted without closing
    // another; returns their ids, oldest first.
    std::vector<uint64_t> fill(uid_t uid, size_t n)
    {
        std::vector<uint64_t> ids;
        for (size_t i = 0; i < n; ++i) {
            const AdmissionPolicy::Verdict verdict = policy.admit(uid);
            EXPECT_TRUE(verdict.admitted) << "uid " << uid << ", connection " << i;
            EXPECT_FALSE(verdict.closed) << "uid " << uid << ", connection " << i;
            if (!verdict.admitted)
                break;
            ids.push_back(++nextId);
            policy.opened(ids.back(), uid);
            owner[ids.back()] = uid;
        }
        return ids;
    }
    // Admits one of `uid` that must close another to get in; returns the closed id.
    uint64_t admitClosingOne(uid_t uid)
    {
        const AdmissionPolicy::Verdict verdict = policy.admit(uid);
        EXPECT_TRUE(verdict.admitted);
        EXPECT_TRUE(verdict.closed);
        if (!verdict.admitted || !verdict.closed)
            return 0;
        policy.opened(++nextId, uid);
        owner[nextId] = uid;
        return *verdict.closed;
    }
    void expectRefused(uid_t uid)
    {
        const AdmissionPolicy::Verdict verdict = policy.admit(uid);
        EXPECT_FALSE(verdict.admitted) << "uid " << uid;
        EXPECT_FALSE(verdict.closed) << "uid " << uid;
    }

    AdmissionPolicy policy{HOST};
    uint64_t nextId = 0;
    std::unordered_map<uint64_t, uid_t> owner;
};

TEST_F(Admission, OrdinaryUidGetsExactlyItsCapAndRootAndTheHostAreNotHeldToIt)
{
    const std::vector<uint64_t> ids = fill(1001, MAX_CONNECTIONS_PER_UID);
    expectRefused(1001);
    // A connection that ends makes room for exactly one more.
    EXPECT_TRUE(policy.closed(ids.front()));
    fill(1001, 1);
    expectRefused(1001);

    fill(ROOT, MAX_CONNECTIONS_PER_UID + 1);
    fill(HOST, MAX_CONNECTIONS_PER_UID + 1);
    EXPECT_EQ(policy.size(), 3 * MAX_CONNECTIONS_PER_UID + 2);
}

TEST_F(Admission, OrdinaryUidsShareThePoolAndRootAndTheHostTheRestUpToTheTotal)
{
    constexpr size_t FULL_UIDS = POOL / MAX_CONNECTIONS_PER_UID;
    static_assert(FULL_UIDS * MAX_CONNECTIONS_PER_UID == POOL);
    for (uid_t uid = 1001; uid < 1001 + FULL_UIDS - 1; ++uid)
        fill(uid, MAX_CONNECTIONS_PER_UID);
    fill(2000, MAX_CONNECTIONS_PER_UID - 1);
    // The last place of the pool goes to a newcomer as it is...
    fill(3000, 1);
    // ...one past it takes the place of another's connection.
    const uint64_t closed = admitClosingOne(3001);
    EXPECT_EQ(policy.size(), POOL);
    EXPECT_GE(owner[closed], 1001u);
    EXPECT_LT(owner[closed], 1001 + FULL_UIDS - 1) << "not one of a uid holding most";

    // The reserve: root and the host fill it without closing anything, to the total.
    fill(ROOT, RESERVED_CONNECTIONS / 2);
    fill(HOST, RESERVED_CONNECTIONS / 2);
    EXPECT_EQ(policy.size(), MAX_CONNECTIONS);
    // Past the total, root too makes room, and only at an ordinary uid's expense.
    const uint64_t closedForRoot = admitClosingOne(ROOT);
    EXPECT_NE(owner[closedForRoot], ROOT);
    EXPECT_NE(owner[closedForRoot], HOST);
    EXPECT_EQ(policy.size(), MAX_CONNECTIONS);
}

TEST_F(Admission, AtTheTotalAnOrdinaryUidMakesRoomOnlyWhenItHoldsLessThanTheLargestHolder)
{
    fill(1001, 7);
    fill(1002, 7);
    fill(ROOT, MAX_CONNECTIONS - 14);
    // The pool has room but the process has none: a uid holding as many as the
    // largest other holder gets nothing...
    expectRefused(1002);
    // ...one holding fewer closes one of the largest holder's.
    const uid_t lost = owner[admitClosingOne(1003)];
    ASSERT_TRUE(lost == 1001 || lost == 1002) << lost;
    EXPECT_EQ(owner[admitClosingOne(lost)], lost == 1001 ? 1002u : 1001u);
    EXPECT_EQ(policy.size(), MAX_CONNECTIONS);
}

TEST_F(Admission, NewcomerGetsItsFairShareOfAFullPoolAndNotOneMore)
{
    constexpr size_t UIDS = POOL / MAX_CONNECTIONS_PER_UID;
    for (uid_t uid = 1001; uid < 1001 + UIDS; ++uid)
        fill(uid, MAX_CONNECTIONS_PER_UID);
    constexpr size_t SHARE = POOL / (UIDS + 1);
    for (size_t i = 0; i < SHARE; ++i) {
        const uint64_t closed = admitClosingOne(7000);
        EXPECT_NE(owner[closed], 7000u) << "connection " << i;
    }
    expectRefused(7000);
    EXPECT_EQ(policy.size(), POOL);
}

TEST_F(Admission, RoomIsMadeByTheLongestIdleConnectionOfTheLargestHolderThatIsNotInACall)
{
    const std::vector<uint64_t> largest = fill(1001, 10);
    const std::vector<uint64_t> smaller = fill(1002, 2);
    fill(HOST, MAX_CONNECTIONS - 12);
    // The oldest has just finished a call, the next one is in a call.
    ASSERT_TRUE(policy.callStarted(largest[0]));
    ASSERT_TRUE(policy.callEnded(largest[0]));
    ASSERT_TRUE(policy.callStarted(largest[1]));
    EXPECT_EQ(admitClosingOne(ROOT), largest[2]);
    // The closed one is no longer listed: its frame goes unanswered, and its end is
    // not counted twice.
    EXPECT_FALSE(policy.callStarted(largest[2]));
    EXPECT_FALSE(policy.callEnded(largest[2]));
    EXPECT_FALSE(policy.closed(largest[2]));
    EXPECT_EQ(admitClosingOne(ROOT), largest[3]);

    // With every connection of the largest holder in a call, nobody makes room, not
    // even a smaller holder's idle one.
    for (const uint64_t id : largest)
        policy.callStarted(id);
    expectRefused(ROOT);
    expectRefused(7000);
    EXPECT_EQ(policy.size(), MAX_CONNECTIONS);
    EXPECT_TRUE(policy.callStarted(smaller[0]));
}

TEST_F(Admission, WithoutAThreadANewcomerBelowItsShareOfWhatOthersHoldMakesRoom)
{
    const std::vector<uint64_t> largest = fill(1001, 20);
    fill(1002, 1);
    // Without the newcomer's own connection the three uids hold 30, a share of 10:
    // holding 9 besides it, it is below that share; holding 10, it is not.
    std::vector<uint64_t> mine = fill(1003, 10);
    EXPECT_EQ(policy.makeRoomForThread(mine.back()), largest[0]);
    mine.push_back(fill(1003, 1).front());
    EXPECT_EQ(policy.makeRoomForThread(mine.back()), std::nullopt);
    // It stays listed and counted either way.
    EXPECT_EQ(policy.size(), 20 - 1 + 1 + 11);
    EXPECT_TRUE(policy.closed(mine.back()));

    // Root is always below its share.
    const std::vector<uint64_t> root = fill(ROOT, 1);
    EXPECT_EQ(policy.makeRoomForThread(root.front()), largest[1]);
}

} // namespace
} // namespace quorvel
