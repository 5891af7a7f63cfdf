#pragma once
// Who is calling: the peer of the call a thread is dispatching (callingPeer()), and
// the references a peer sends bound to the process the kernel shows listening at
// their endpoint.

#include <quorvel/binder.h>
#include <quorvel/hosting_types.h>
#include <quorvel/status.h>

#include "connection.h"
#include "frame_codec.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quorvel {

class CallingPeers {
public:
    // Checks connect with `objects` describing references; bound references call
    // through `pool`.
    CallingPeers(ObjectTable& objects, ConnectionPool& pool)
        : mObjects(objects)
        , mPool(pool)
    {
    }
    CallingPeers(const CallingPeers&) = delete;
    CallingPeers& operator=(const CallingPeers&) = delete;

    // `object`, a reference received from `peer`, bound to the kernel's identity of
    // the process listening at its endpoint; PERMISSION_DENIED unless that process is
    // the peer itself.
    status_t referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound);
    // The peer's connection has closed.
    void forget(uint64_t connectionId);

private:
    ObjectTable& mObjects;
    ConnectionPool& mPool;
    std::mutex mLock;
    // Per peer connection, the endpoint the kernel last showed that peer listening at:
    // a process registering many objects is checked once, not once per object (and
    // one that has not started accepting yet does not fill its own backlog with our
    // checks).
    std::unordered_map<uint64_t, std::string> mListensAt;
};

// The call this thread is dispatching, for as long as it lives: callingPeer() gives
// its peer, and referenceHostedBy() goes to the CallingPeers of the host that
// received it.
class CurrentCall {
public:
    CurrentCall(const CallingPeer& peer, CallingPeers& peers);
    ~CurrentCall();
    CurrentCall(const CurrentCall&) = delete;
    CurrentCall& operator=(const CurrentCall&) = delete;

    // This thread's call, or null outside one.
    static const CurrentCall* get();

    const CallingPeer& peer() const { return mPeer; }
    CallingPeers& peers() const { return mPeers; }

private:
    const CallingPeer& mPeer;
    CallingPeers& mPeers;
};

} // namespace quorvel
