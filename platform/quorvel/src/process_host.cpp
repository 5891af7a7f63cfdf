#include "process_host.h"

#include "binder_proxy.h"
#include "wire_format.h"

#include <cerrno>
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

status_t ProcessHost::describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle)
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
        *endpoint = mAddress;
        *handle = it->second;
        return OK;
    }
    if (auto* proxy = dynamic_cast<BinderProxy*>(object.get())) {
        *endpoint = proxy->endpoint();
        *handle = proxy->handle();
        return OK;
    }
    return BAD_TYPE;
}

sp<IBinder> ProcessHost::exportedObject(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mLock);
    return handle < mExported.size() ? mExported[handle] : nullptr;
}

sp<IBinder> ProcessHost::resolveObject(const std::string& endpoint, uint32_t handle)
{
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (endpoint != mAddress)
            return sp<IBinder>(new BinderProxy(endpoint, handle, *this));
    }
    return exportedObject(handle);
}

sp<Connection> ProcessHost::connectionFor(const std::string& endpoint, status_t* status)
{
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mPool.find(endpoint);
    if (it != mPool.end() && (!it->second->isDead() || it->second->failure() == TIMED_OUT)) {
        *status = OK;
        return it->second;
    }
    sp<Connection> connection = Connection::connectTo(endpoint, *this, status);
    if (connection)
        mPool[endpoint] = connection;
    else if (it != mPool.end())
        mPool.erase(it);
    return connection;
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
    status_t status = OK;
    int wake = mWakeFd.load();
    if (wake < 0) {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0)
            status = -errno;
        else
            mWakeFd.store(wake);
    }
    // Only a hang-up matters on the registration connection; its replies are read by
    // whoever transacts on it.
    if (status == OK && watched && watched->isDead())
        status = DEAD_OBJECT;
    if (status == OK)
        status = mServer.run(listenFd, wake, watched ? watched->fd() : -1, gStopRequested);

    // Stopping ends the connections too (not under mLock: their threads take it on the
    // way out), and a socket file goes with its server.
    const bool stopping = gStopRequested.load();
    if (stopping)
        mServer.closeAll();
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
    }
    if (handler)
        handler(connectionId);
}

bool ProcessHost::dispatch(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength,
                           const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status)
{
    return dispatchReceived(header, body, bodyLength, peer, data, reply, status);
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

bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength, const CallingPeer& peer,
                      Parcel* data, Parcel* reply, status_t* status)
{
    reply->freeData();
    const status_t decoded = decodeReceived(header, body, bodyLength, data, true, ProcessHost::self());
    return dispatchDecoded(decoded, header, peer, data, reply, status);
}

const CallingPeer* callingPeer()
{
    return tCallingPeer;
}

} // namespace quorvel
