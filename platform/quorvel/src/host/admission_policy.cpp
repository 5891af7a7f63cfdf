#include "admission_policy.h"

#include <quorvel/limits.h>

namespace quorvel {

size_t AdmissionPolicy::held(uid_t uid) const
{
    const auto it = mPerUid.find(uid);
    return it == mPerUid.end() ? 0 : it->second;
}

void AdmissionPolicy::adjustCount(uid_t uid, int delta)
{
    auto& count = mPerUid[uid];
    count = static_cast<size_t>(static_cast<long>(count) + delta);
    if (count == 0)
        mPerUid.erase(uid);
    if (!privileged(uid))
        mOthers = static_cast<size_t>(static_cast<long>(mOthers) + delta);
}

bool AdmissionPolicy::belowFairShare(uid_t uid, size_t capacity) const
{
    if (privileged(uid))
        return true;
    size_t uids = 0;
    for (const auto& [other, count] : mPerUid)
        if (!privileged(other))
            ++uids;
    const size_t mine = held(uid);
    if (mine == 0)
        ++uids;
    return mine < capacity / uids;
}

std::optional<uint64_t> AdmissionPolicy::makeRoom(uid_t newcomer)
{
    const size_t mine = privileged(newcomer) ? 0 : held(newcomer);
    uid_t most = 0;
    size_t mostCount = 0;
    for (const auto& [uid, count] : mPerUid)
        if (!privileged(uid) && uid != newcomer && count > mostCount) {
            most = uid;
            mostCount = count;
        }
    if (mostCount <= mine)
        return std::nullopt;
    // Its connection that has waited longest between calls; one in a call is left be.
    auto victim = mOpen.end();
    for (auto it = mOpen.begin(); it != mOpen.end(); ++it)
        if (it->second.uid == most && !it->second.busy &&
            (victim == mOpen.end() || it->second.lastUsed < victim->second.lastUsed))
            victim = it;
    if (victim == mOpen.end())
        return std::nullopt;
    const uint64_t id = victim->first;
    adjustCount(most, -1);
    mOpen.erase(victim);
    return id;
}

AdmissionPolicy::Verdict AdmissionPolicy::admit(uid_t uid)
{
    if (privileged(uid)) {
        if (mOpen.size() < MAX_CONNECTIONS)
            return {true, std::nullopt};
        const auto closed = makeRoom(uid);
        return {closed.has_value(), closed};
    }
    if (held(uid) >= MAX_CONNECTIONS_PER_UID)
        return {};
    constexpr size_t pool = MAX_CONNECTIONS - RESERVED_CONNECTIONS;
    if (mOthers < pool && mOpen.size() < MAX_CONNECTIONS)
        return {true, std::nullopt};
    if (!belowFairShare(uid, pool))
        return {};
    const auto closed = makeRoom(uid);
    return {closed.has_value(), closed};
}

void AdmissionPolicy::opened(uint64_t id, uid_t uid)
{
    mOpen[id] = Record{uid, false, ++mTick};
    adjustCount(uid, +1);
}

std::optional<uint64_t> AdmissionPolicy::makeRoomForThread(uint64_t id)
{
    const auto it = mOpen.find(id);
    if (it == mOpen.end())
        return std::nullopt;
    const uid_t uid = it->second.uid;
    // Judged as a newcomer: its own connection is not counted.
    adjustCount(uid, -1);
    std::optional<uint64_t> closed;
    if (belowFairShare(uid, mOthers))
        closed = makeRoom(uid);
    adjustCount(uid, +1);
    return closed;
}

bool AdmissionPolicy::callStarted(uint64_t id)
{
    const auto it = mOpen.find(id);
    if (it == mOpen.end())
        return false;
    it->second.busy = true;
    return true;
}

bool AdmissionPolicy::callEnded(uint64_t id)
{
    const auto it = mOpen.find(id);
    if (it == mOpen.end())
        return false;
    it->second.busy = false;
    it->second.lastUsed = ++mTick;
    return true;
}

bool AdmissionPolicy::closed(uint64_t id)
{
    const auto it = mOpen.find(id);
    if (it == mOpen.end())
        return false;
    const uid_t uid = it->second.uid;
    mOpen.erase(it);
    adjustCount(uid, -1);
    return true;
}

} // namespace quorvel
