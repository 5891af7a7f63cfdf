#pragma once
// ProcessHost: what this process knows about the object system: its own endpoint
// (the listening socket), the objects it has handed out references to, the shared
// client connections, and the serving loop that answers incoming transactions.

#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/status.h>

#include "connection.h"
#include "wire_format.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvel {

class ProcessHost {
public:
    static ProcessHost& self();

    status_t listenOnPath(const std::string& path);
    std::string endpoint();
    void setContextObject(const sp<IBinder>& object);
    void setConnectionClosedHandler(std::function<void(uint64_t)> handler);

    status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle);
    // A reference received from a peer: this process's own object, or a proxy. Null
    // for a handle of this process that was never exported.
    sp<IBinder> resolveObject(const std::string& endpoint, uint32_t handle);
    sp<Connection> connectionFor(const std::string& endpoint, status_t* status);

    // serve() returns when this connection (the one services were registered over)
    // closes: the service manager is gone and the registrations with it.
    void watchConnection(const sp<Connection>& connection);

    status_t serve();
    static void requestStop();

    // The object this process exported under `handle`, or null.
    sp<IBinder> exportedObject(uint32_t handle);

private:
    ProcessHost() = default;
    status_t ensureEndpointLocked();
    status_t bindLocked(const std::string& endpoint);

    std::mutex mLock;
    int mListenFd = -1;
    std::string mEndpoint;
    std::vector<sp<IBinder>> mExported{1}; // index = handle; 0 is the context object
    std::unordered_map<const IBinder*, uint32_t> mHandles;
    std::unordered_map<std::string, sp<Connection>> mPool;
    sp<Connection> mWatched;
    std::function<void(uint64_t)> mClosedHandler;
    bool mServing = false;
};

// What the serving loop does with one received frame, callable without a socket:
// decodes it and dispatches the transaction to the exported object as coming from
// `peer`, leaving the answer in `reply` and its status in `status`. False when the
// frame is not a well-formed transaction; the peer's connection is then dropped.
// `data` is scratch space, empty again on return.
bool dispatchFrame(const uint8_t* frame, size_t length, const CallingPeer& peer, Parcel* data, Parcel* reply,
                   status_t* status);
// The serving loop's own form: a frame from receiveFrame, whose body storage `data`
// takes over instead of copying it.
bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength,
                      const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status);

// Prepares the reply frame for `status` and `reply` (sent only on OK) for sendmsg, as
// encodeFrame does. An answer that cannot travel becomes that failure's status.
void encodeReplyFrame(status_t status, const Parcel* reply, FrameHeader* header, std::vector<uint8_t>* objectTable,
                      iovec iov[3], int* iovCount);

} // namespace quorvel
