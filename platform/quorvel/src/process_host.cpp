#include "process_host.h"

#include "binder_proxy.h"
#include "wire_format.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quorvel {

namespace {

thread_local const CallingPeer* tCallingPeer = nullptr;

} // namespace

ProcessHost& ProcessHost::self()
{
    // Never destroyed: serving threads and static destructors may still use it at exit.
    static ProcessHost* instance = new ProcessHost();
    return *instance;
}

status_t ProcessHost::listenOnPath(const std::string& path, SocketPathRefusal* refusal)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mEndpoint.listening() || !mAddress.empty())
        return BAD_VALUE;
    const status_t status = mEndpoint.listenOnPath(path, refusal);
    if (status == OK)
        mAddress = mEndpoint.address();
    return status;
}

status_t ProcessHost::ensureEndpointLocked()
{
    if (mEndpoint.listening())
        return OK;
    if (!mAddress.empty())
        return DEAD_OBJECT; // closed when serving stopped; references to it are dead
    // Abstract names vanish with their socket, so a crashed host leaves nothing behind.
    const status_t status = mEndpoint.listenAbstract();
    if (status == OK)
        mAddress = mEndpoint.address();
    return status;
}

std::string ProcessHost::endpoint()
{
    std::lock_guard<std::mutex> lock(mLock);
    return mAddress;
}

void ProcessHost::setContextObject(const sp<IBinder>& object)
{
    std::lock_guard<std::mutex> lock(mLock);
    mExported[0] = object;
    if (object)
        mHandles[object.get()] = 0;
}

void ProcessHost::setConnectionClosedHandler(std::function<void(uint64_t)> handler)
{
    std::lock_guard<std::mutex> lock(mLock);
    mClosedHandler = std::move(handler);
}

status_t ProcessHost::describeObject(const sp<IBinder>& object, ObjectRef* ref)
{
    if (!object)
        return BAD_VALUE;
    if (object->isLocal()) {
        std::lock_guard<std::mutex> lock(mLock);
        const status_t status = ensureEndpointLocked();
        if (status != OK)
            return status;
        auto it = mHandles.find(object.get());
        if (it == mHandles.end()) {
            // Exported objects live as long as the process: a peer may hold the
            // reference at any time, and there is no release message to tell us.
            it = mHandles.emplace(object.get(), static_cast<uint32_t>(mExported.size())).first;
            mExported.push_back(object);
        }
        *ref = ObjectRef{mAddress, it->second, PeerIdentity{::getpid(), ::geteuid()}};
        return OK;
    }
    if (auto* proxy = dynamic_cast<BinderProxy*>(object.get())) {
        *ref = proxy->target();
        return OK;
    }
    return BAD_TYPE;
}

sp<IBinder> ProcessHost::exportedObject(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mLock);
    return handle < mExported.size() ? mExported[handle] : nullptr;
}

sp<IBinder> ProcessHost::resolveObject(const ObjectRef& ref)
{
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (ref.endpoint != mAddress)
            return sp<IBinder>(new BinderProxy(ref, *this));
    }
    return exportedObject(ref.handle);
}

namespace {

// Idle connections kept per host for later calls; more than this many calls at once
// open connections that close when their call is done.
constexpr size_t MAX_IDLE_CONNECTIONS = 4;

} // namespace

status_t ProcessHost::transactWith(const ObjectRef& target, const std::string& key, uint32_t code, const Parcel& data,
                                   Parcel* reply, uint32_t flags)
{
    for (;;) {
        sp<Connection> connection;
        {
            std::lock_guard<std::mutex> lock(mLock);
            const auto it = mIdle.find(key);
            // One the host closed while it was idle (it makes room for newcomers that
            // way) is found out by the call itself, which then goes again below: no
            // system call per call to look first. The host's list stays while it is
            // empty, so a call at a time to one host (the common case) allocates
            // nothing; it goes when a call to its host fails.
            if (it != mIdle.end() && !it->second.empty()) {
                connection = std::move(it->second.back());
                it->second.pop_back();
            }
        }
        const bool reused = connection != nullptr;
        if (!reused) {
            status_t status;
            connection = Connection::connectTo(target.endpoint, *this, &target.host, &status);
            if (!connection) {
                forgetIdleHost(key);
                if (reply)
                    reply->setError(status);
                return status;
            }
        }
        const status_t status = connection->transact(target.handle, code, data, reply, flags);
        if (!connection->isDead()) {
            std::lock_guard<std::mutex> lock(mLock);
            auto& idle = mIdle[key];
            if (idle.size() < MAX_IDLE_CONNECTIONS)
                idle.push_back(std::move(connection));
            return status;
        }
        // A host closes only connections that wait between calls, so a kept one that
        // turns out closed never got the request: it goes again on a new connection,
        // which finds out whether the host is still there.
        if (!(reused && status == DEAD_OBJECT) || gStopRequested.load()) {
            forgetIdleHost(key);
            return status;
        }
    }
}

void ProcessHost::forgetIdleHost(const std::string& key)
{
    // A host whose connection failed may be gone for good: its list would only take
    // room in a long-lived client that met many hosts.
    std::lock_guard<std::mutex> lock(mLock);
    const auto it = mIdle.find(key);
    if (it != mIdle.end() && it->second.empty())
        mIdle.erase(it);
}

status_t ProcessHost::referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound)
{
    auto* proxy = object ? dynamic_cast<BinderProxy*>(object.get()) : nullptr;
    if (!proxy)
        return PERMISSION_DENIED;
    // Whatever pid the reference claims (a host in a pid namespace of its own knows
    // itself by another number), the kernel says who listens there: the caller or not.
    ObjectRef target = proxy->target();
    target.host = PeerIdentity{peer.pid, peer.uid};
    bool known;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const auto it = mListensAt.find(peer.connectionId);
        known = it != mListensAt.end() && it->second == target.endpoint;
    }
    if (!known) {
        status_t status;
        if (!Connection::connectTo(target.endpoint, *this, &target.host, &status))
            return status == DEAD_OBJECT ? PERMISSION_DENIED : status;
        std::lock_guard<std::mutex> lock(mLock);
        mListensAt[peer.connectionId] = target.endpoint;
    }
    *bound = sp<IBinder>(new BinderProxy(std::move(target), *this));
    return OK;
}

void ProcessHost::watchConnection(const sp<Connection>& connection)
{
    std::lock_guard<std::mutex> lock(mLock);
    mWatched = connection;
}

void ProcessHost::requestStop()
{
    gStopRequested.store(true);
    const int fd = mWakeFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
}

int ProcessHost::wakeFd()
{
    int wake = mWakeFd.load();
    if (wake >= 0)
        return wake;
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return -errno;
    int expected = -1;
    if (!mWakeFd.compare_exchange_strong(expected, wake)) {
        ::close(wake); // another thread made one first
        return expected;
    }
    return wake;
}

bool ProcessHost::waitForStop(int timeoutMs)
{
    // The descriptor exists before the flag is read: a stop that comes after the read
    // finds it and wakes the poll, one that came before is seen by the read.
    const int wake = wakeFd();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!gStopRequested.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        if (wake < 0) {
            // No descriptor to wait on: look again every few milliseconds.
            ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 5)));
            continue;
        }
        pollfd fd{wake, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) > 0 && !gStopRequested.load()) {
            // A wake-up left over from a stop that has been dealt with.
            uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wake, &value, sizeof value);
        }
    }
    return true;
}

status_t ProcessHost::serve()
{
    int listenFd;
    sp<Connection> watched;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mServing)
            return BAD_VALUE;
        const status_t status = ensureEndpointLocked();
        if (status != OK)
            return status;
        mServing = true;
        listenFd = mEndpoint.fd();
        watched = mWatched;
    }
    const int wake = wakeFd();
    status_t status = wake < 0 ? wake : OK;
    // Only a hang-up matters on the registration connection; its replies are read by
    // whoever transacts on it.
    if (status == OK && watched && watched->isDead())
        status = DEAD_OBJECT;
    if (status == OK)
        status = mServer.run(listenFd, wake, watched ? watched->fd() : -1, gStopRequested);

    // Stopping ends the connections too (not under mLock: their threads take it on the
    // way out), and a socket file goes with its server. A stop wins over whatever else
    // ended the loop: a signal that lands as the manager's connection drops must still
    // read as a stop, or the caller would take it for a restart and serve on.
    const bool stopping = gStopRequested.load();
    if (stopping) {
        mServer.closeAll();
        status = OK;
    }
    std::lock_guard<std::mutex> lock(mLock);
    if (stopping) {
        if (!mEndpoint.address().empty() && mEndpoint.address()[0] != '@')
            mEndpoint.close();
        gStopRequested.store(false);
    }
    mServing = false;
    return status;
}

void ProcessHost::connectionClosed(uint64_t connectionId)
{
    std::function<void(uint64_t)> handler;
    {
        std::lock_guard<std::mutex> lock(mLock);
        handler = mClosedHandler;
        mListensAt.erase(connectionId);
    }
    if (handler)
        handler(connectionId);
}

bool ProcessHost::dispatch(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength,
                           const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status)
{
    return dispatchReceived(header, frame, bodyLength, peer, data, reply, status);
}

namespace {

// Dispatches a decoded transaction (or refuses a frame that is not one).
bool dispatchDecoded(status_t decoded, const FrameHeader& header, const CallingPeer& peer, Parcel* data, Parcel* reply,
                     status_t* status)
{
    if (decoded != OK || header.kind != FRAME_TRANSACTION) {
        data->freeData();
        return false;
    }
    const sp<IBinder> target = ProcessHost::self().exportedObject(header.handle);
    if (!target) {
        *status = NAME_NOT_FOUND;
    } else {
        tCallingPeer = &peer;
        *status = target->transact(header.code, *data, reply, header.flags);
        tCallingPeer = nullptr;
    }
    data->freeData();
    return true;
}

} // namespace

bool dispatchFrame(const uint8_t* frame, size_t length, const CallingPeer& peer, Parcel* data, Parcel* reply,
                   status_t* status)
{
    FrameHeader header;
    reply->freeData();
    const status_t decoded = decodeFrame(frame, length, &header, data, ProcessHost::self());
    return dispatchDecoded(decoded, header, peer, data, reply, status);
}

bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength,
                      const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status)
{
    reply->freeData();
    const status_t decoded = decodeReceived(header, frame, bodyLength, data, true, ProcessHost::self());
    return dispatchDecoded(decoded, header, peer, data, reply, status);
}

const CallingPeer* callingPeer()
{
    return tCallingPeer;
}

status_t referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound)
{
    return ProcessHost::self().referenceHostedBy(object, peer, bound);
}

} // namespace quorvel
