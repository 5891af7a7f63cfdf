#pragma once
// ProcessHost: what this process knows about the object system: its endpoint (the
// listening socket), the objects it has handed out references to, the shared client
// connections, and the server that answers incoming transactions.

#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/status.h>

#include "connection.h"
#include "endpoint.h"
#include "server.h"
#include "stop_request.h"
#include "wire_format.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvel {

class ProcessHost final : public Dispatcher, public ObjectTable, public ConnectionPool {
public:
    static ProcessHost& self();

    status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal);
    std::string endpoint();
    void setContextObject(const sp<IBinder>& object);
    void setConnectionClosedHandler(std::function<void(uint64_t)> handler);

    status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle) override;
    sp<IBinder> resolveObject(const std::string& endpoint, uint32_t handle) override;
    // The shared connection to `endpoint`. A host that once let a call run out of
    // time is taken as hung: its failed connection is handed out again, so that a
    // stalled process costs this one a single deadline, not one per reference.
    sp<Connection> connectionFor(const std::string& endpoint, status_t* status) override;

    // serve() returns when this connection (the one services were registered over)
    // closes: the service manager is gone and the registrations with it.
    void watchConnection(const sp<Connection>& connection);

    status_t serve();
    void requestStop();
    bool stopRequested() const { return gStopRequested.load(); }

    // The object this process exported under `handle`, or null.
    sp<IBinder> exportedObject(uint32_t handle);

    bool dispatch(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength, const CallingPeer& peer,
                  Parcel* data, Parcel* reply, status_t* status) override;
    void connectionClosed(uint64_t connectionId) override;

private:
    ProcessHost()
        : mServer(*this, *this)
    {
    }
    ~ProcessHost() = default; // never destroyed: see self()
    status_t ensureEndpointLocked();

    std::mutex mLock;
    Endpoint mEndpoint;
    std::string mAddress; // mEndpoint's address, kept after it closes
    std::vector<sp<IBinder>> mExported{1}; // index = handle; 0 is the context object
    std::unordered_map<const IBinder*, uint32_t> mHandles;
    std::unordered_map<std::string, sp<Connection>> mPool;
    sp<Connection> mWatched;
    std::function<void(uint64_t)> mClosedHandler;
    bool mServing = false;

    // Written from signal handlers (with gStopRequested): an eventfd that is never
    // closed once made, so a handler can never write to a recycled descriptor.
    std::atomic<int> mWakeFd{-1};
    Server mServer;
};

// What the server does with one received frame, callable without a socket: decodes
// it and dispatches the transaction to the exported object as coming from `peer`,
// leaving the answer in `reply` and its status in `status`. False when the frame is
// not a well-formed transaction; the peer's connection is then dropped. `data` is
// scratch space, empty again on return.
bool dispatchFrame(const uint8_t* frame, size_t length, const CallingPeer& peer, Parcel* data, Parcel* reply,
                   status_t* status);
// The server's own form: a frame from receiveFrame, whose body storage `data` takes
// over instead of copying it.
bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength, const CallingPeer& peer,
                      Parcel* data, Parcel* reply, status_t* status);

} // namespace quorvel
