// Server's admission policy: who may open a connection, and whose connection makes
// room for a newcomer once the pool is full (see the fairness rules in server.h).
#include "server.h"

#include <quorvel/limits.h>

#include <sys/socket.h>
#include <unistd.h>

namespace quorvel {

namespace {

bool privileged(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

} // namespace

void Server::countLocked(uid_t uid, int delta)
{
    auto& count = mPerUid[uid];
    count = static_cast<size_t>(static_cast<long>(count) + delta);
    if (count == 0)
        mPerUid.erase(uid);
    if (!privileged(uid))
        mOthers = static_cast<size_t>(static_cast<long>(mOthers) + delta);
}

bool Server::belowFairShareLocked(uid_t uid, size_t capacity) const
{
    if (privileged(uid))
        return true;
    size_t uids = 0;
    for (const auto& [other, count] : mPerUid)
        if (!privileged(other))
            ++uids;
    const auto it = mPerUid.find(uid);
    const size_t held = it == mPerUid.end() ? 0 : it->second;
    if (held == 0)
        ++uids;
    return held < capacity / uids;
}

bool Server::makeRoomLocked(uid_t newcomer)
{
    const auto mine = mPerUid.find(newcomer);
    const size_t held = privileged(newcomer) || mine == mPerUid.end() ? 0 : mine->second;
    uid_t most = 0;
    size_t mostCount = 0;
    for (const auto& [uid, count] : mPerUid)
        if (!privileged(uid) && uid != newcomer && count > mostCount) {
            most = uid;
            mostCount = count;
        }
    if (mostCount <= held)
        return false;
    // Its connection that has waited longest between calls; one in a call is left be.
    auto victim = mOpen.end();
    for (auto it = mOpen.begin(); it != mOpen.end(); ++it)
        if (it->second.uid == most && !it->second.busy &&
            (victim == mOpen.end() || it->second.lastUsed < victim->second.lastUsed))
            victim = it;
    if (victim == mOpen.end())
        return false;
    // Its thread sees the end of the stream and closes the descriptor; a frame it
    // received meanwhile is dropped unanswered, since the connection is no longer listed.
    ::shutdown(victim->second.fd, SHUT_RDWR);
    countLocked(most, -1);
    mOpen.erase(victim);
    return true;
}

bool Server::admitLocked(uid_t uid)
{
    if (privileged(uid))
        return mOpen.size() < MAX_CONNECTIONS || makeRoomLocked(uid);
    const auto it = mPerUid.find(uid);
    if (it != mPerUid.end() && it->second >= MAX_CONNECTIONS_PER_UID)
        return false;
    constexpr size_t pool = MAX_CONNECTIONS - RESERVED_CONNECTIONS;
    if (mOthers < pool && mOpen.size() < MAX_CONNECTIONS)
        return true;
    return belowFairShareLocked(uid, pool) && makeRoomLocked(uid);
}

} // namespace quorvel
