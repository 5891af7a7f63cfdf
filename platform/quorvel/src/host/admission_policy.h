#pragma once
// AdmissionPolicy: who may open a connection to a hosting process, and whose
// connection makes room for a newcomer, over the records of the connections it holds
// (uid, whether a call is under way, when it was last used). It owns no socket and
// no thread: the Server asks it and closes what it names.
//
// Each uid other than root and the host's own may hold MAX_CONNECTIONS_PER_UID
// connections, and all of them together never more than MAX_CONNECTIONS -
// RESERVED_CONNECTIONS. When that pool is full, or no thread can be started for a
// newcomer, a newcomer below its fair share (the pool, or the connections those uids
// hold, divided among them and it) makes room by closing the connection of the uid
// holding most that has waited longest between calls; root and the host's own uid
// always may.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/types.h>
#include <unordered_map>

namespace quorvel {

class AdmissionPolicy {
public:
    // `hostUid` is the uid the hosting process runs as: it shares root's reserve.
    explicit AdmissionPolicy(uid_t hostUid)
        : mHostUid(hostUid)
    {
    }

    struct Verdict {
        bool admitted = false;
        // The connection forgotten to make room for the newcomer; its owner closes it.
        std::optional<uint64_t> closed;
    };

    // Judges a newcomer of `uid`. An admitted one is listed with opened().
    Verdict admit(uid_t uid);
    // Connection `id` of `uid` was admitted, and is listed from now as the most
    // recently used.
    void opened(uint64_t id, uid_t uid);
    // No thread could be started for connection `id`, opened already: judged as a
    // newcomer below its fair share of the connections the ordinary uids hold, the
    // connection that makes room for it, if any. It stays listed either way.
    std::optional<uint64_t> makeRoomForThread(uint64_t id);
    // A call on `id` began or ended; false when `id` is no longer listed (closed to
    // make room).
    bool callStarted(uint64_t id);
    bool callEnded(uint64_t id);
    // Forgets `id`; false when it was no longer listed.
    bool closed(uint64_t id);

    size_t size() const { return mOpen.size(); }

private:
    struct Record {
        uid_t uid;
        bool busy; // a call is under way: never the one that makes room
        uint64_t lastUsed; // mTick when opened or at the end of its last call
    };

    bool privileged(uid_t uid) const { return uid == 0 || uid == mHostUid; }
    size_t held(uid_t uid) const;
    void adjustCount(uid_t uid, int delta);
    bool belowFairShare(uid_t uid, size_t capacity) const;
    std::optional<uint64_t> makeRoom(uid_t newcomer);

    const uid_t mHostUid;
    std::unordered_map<uint64_t, Record> mOpen;
    std::unordered_map<uid_t, size_t> mPerUid;
    size_t mOthers = 0; // connections of uids that are neither root nor the host's
    uint64_t mTick = 0;
};

} // namespace quorvel
