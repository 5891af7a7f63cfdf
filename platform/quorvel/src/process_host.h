#pragma once
// ProcessHost: what this process knows about the object system: its endpoint (the
// listening socket), the objects it has handed out references to, the idle client
// connections kept for later calls, and the server that answers incoming transactions.

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

    status_t describeObject(const sp<IBinder>& object, ObjectRef* ref) override;
    sp<IBinder> resolveObject(const ObjectRef& ref) override;
    // One call on a connection of its own: an idle one to the same host and identity,
    // or a new one. A connection that failed is dropped, never reused, so a missed
    // deadline costs only the call that missed it.
    status_t transactWith(const ObjectRef& target, const std::string& key, uint32_t code, const Parcel& data,
                          Parcel* reply, uint32_t flags) override;
    // `object`, a reference received from `peer`, bound to the kernel's identity of
    // the process listening at its endpoint; PERMISSION_DENIED unless that process is
    // the peer itself.
    status_t referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound);

    // serve() returns when this connection (the one services were registered over)
    // closes: the service manager is gone and the registrations with it.
    void watchConnection(const sp<Connection>& connection);

    status_t serve();
    void requestStop();
    // Waits up to `timeoutMs` for a stop request; true if there is one.
    bool waitForStop(int timeoutMs);
    bool stopRequested() const { return gStopRequested.load(); }

    // The object this process exported under `handle`, or null.
    sp<IBinder> exportedObject(uint32_t handle);

    bool dispatch(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength, const CallingPeer& peer,
                  Parcel* data, Parcel* reply, status_t* status) override;
    void connectionClosed(uint64_t connectionId) override;

private:
    ProcessHost()
        : mServer(*this, *this)
    {
    }
    ~ProcessHost() = default; // never destroyed: see self()
    status_t ensureEndpointLocked();
    void forgetIdleHost(const std::string& key);
    // mWakeFd, made on first use; -errno if it cannot be.
    int wakeFd();

    std::mutex mLock;
    Endpoint mEndpoint;
    std::string mAddress; // mEndpoint's address, kept after it closes
    std::vector<sp<IBinder>> mExported{1}; // index = handle; 0 is the context object
    std::unordered_map<const IBinder*, uint32_t> mHandles;
    // Idle client connections by host (endpoint and identity), newest last.
    std::unordered_map<std::string, std::vector<sp<Connection>>> mIdle;
    sp<Connection> mWatched;
    std::function<void(uint64_t)> mClosedHandler;
    // Per peer connection, the endpoint the kernel last showed that peer listening at:
    // a process registering many objects is checked once, not once per object (and
    // one that has not started accepting yet does not fill its own backlog with our
    // checks).
    std::unordered_map<uint64_t, std::string> mListensAt;
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
// The server's own form: a frame from receiveFrame, whose storage `data` takes
// over instead of copying it.
bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength,
                      const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status);

} // namespace quorvel
