#include "process_host.h"

#include <quorvel/limits.h>

#include "binder_proxy.h"
#include "wire_format.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Set from signal handlers: plain atomics, and an eventfd that is never closed once
// made, so a handler can never write to a recycled descriptor.
std::atomic<bool> gStopRequested{false};
std::atomic<int> gWakeFd{-1};

thread_local const CallingPeer* tCallingPeer = nullptr;

status_t makeFolders(const std::string& path)
{
    // Every missing folder on the way to the socket, like mkdir -p.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) < 0 && errno != EEXIST)
            return -errno;
    }
    return OK;
}

} // namespace

ProcessHost& ProcessHost::self()
{
    // Never destroyed: serving threads and static destructors may still use it at exit.
    static ProcessHost* instance = new ProcessHost();
    return *instance;
}

status_t ProcessHost::bindLocked(const std::string& endpoint)
{
    sockaddr_un address;
    unsigned length;
    if (!endpointAddress(endpoint, &address, &length))
        return BAD_VALUE;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -errno;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(fd, 64) < 0) {
        const status_t status = -errno;
        ::close(fd);
        return status;
    }
    mListenFd = fd;
    mEndpoint = endpoint;
    return OK;
}

status_t ProcessHost::listenOnPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mListenFd >= 0)
        return BAD_VALUE;
    if (path.empty() || path[0] == '@' || path.size() > MAX_ENDPOINT_LENGTH)
        return BAD_VALUE;
    status_t status = makeFolders(path);
    if (status != OK)
        return status;
    // A socket file left by a daemon that died is replaced; anything else is not ours.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return BAD_VALUE;
        ::unlink(path.c_str());
    }
    status = bindLocked(path);
    if (status == OK)
        ::chmod(path.c_str(), 0666); // look-up is for everyone; registration is checked per peer
    return status;
}

status_t ProcessHost::ensureEndpointLocked()
{
    if (mListenFd >= 0)
        return OK;
    // Abstract names vanish with their socket, so a crashed host leaves nothing behind.
    const std::string base = "@quorvel." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 16; ++attempt) {
        const status_t status = bindLocked(base + std::to_string(attempt));
        if (status != -EADDRINUSE)
            return status;
    }
    return -EADDRINUSE;
}

std::string ProcessHost::endpoint()
{
    std::lock_guard<std::mutex> lock(mLock);
    return mEndpoint;
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
        *endpoint = mEndpoint;
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
        if (endpoint != mEndpoint)
            return sp<IBinder>(new BinderProxy(endpoint, handle));
    }
    return exportedObject(handle);
}

sp<Connection> ProcessHost::connectionFor(const std::string& endpoint, status_t* status)
{
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mPool.find(endpoint);
    if (it != mPool.end() && !it->second->isDead()) {
        *status = OK;
        return it->second;
    }
    sp<Connection> connection = Connection::connectTo(endpoint, status);
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
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
}

namespace {

struct PeerConnection {
    int fd;
    CallingPeer peer;
};

// The serving loop's state. Descriptors are registered with epoll under their own
// number; the two special ones are told apart by comparison.
class Server {
public:
    Server(int epollFd, int listenFd, int wakeFd, int watchedFd, std::function<void(uint64_t)> onClosed)
        : mEpoll(epollFd), mListen(listenFd), mWake(wakeFd), mWatched(watchedFd), mOnClosed(std::move(onClosed))
    {
    }

    ~Server()
    {
        for (auto& [fd, connection] : mConnections)
            ::close(fd);
    }

    status_t run()
    {
        epoll_event events[32];
        while (!gStopRequested.load()) {
            const int n = ::epoll_wait(mEpoll, events, 32, -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -errno;
            }
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == mWake) {
                    uint64_t count;
                    [[maybe_unused]] ssize_t r = ::read(mWake, &count, sizeof count);
                } else if (fd == mWatched) {
                    return DEAD_OBJECT; // the service manager went away
                } else if (fd == mListen) {
                    acceptAll();
                } else {
                    serviceOne(fd, events[i].events);
                }
            }
        }
        return OK;
    }

private:
    void acceptAll()
    {
        for (;;) {
            const int fd = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                return; // EAGAIN, or a peer that gave up before we got to it
            ucred credentials{};
            socklen_t length = sizeof credentials;
            if (mConnections.size() >= MAX_CONNECTIONS ||
                ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) {
                ::close(fd);
                continue;
            }
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            if (::epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &event) < 0) {
                ::close(fd);
                continue;
            }
            mConnections[fd] = PeerConnection{fd, CallingPeer{++mNextId, credentials.uid, credentials.pid}};
        }
    }

    void drop(int fd)
    {
        auto it = mConnections.find(fd);
        if (it == mConnections.end())
            return;
        const uint64_t id = it->second.peer.connectionId;
        ::epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        mConnections.erase(it);
        if (mOnClosed)
            mOnClosed(id);
    }

    // One frame per wake-up keeps a chatty peer from starving the others.
    void serviceOne(int fd, uint32_t events)
    {
        auto it = mConnections.find(fd);
        if (it == mConnections.end())
            return;
        if (!(events & EPOLLIN)) {
            drop(fd); // hang-up or error with nothing left to read
            return;
        }
        FrameHeader header;
        size_t bodyLength = 0;
        switch (receiveFrame(fd, true, &header, &mReceive, &bodyLength)) {
        case Received::Frame:
            break;
        case Received::WouldBlock:
            return;
        default:
            drop(fd); // closed, or a frame no peer may send
            return;
        }
        status_t status;
        if (!dispatchReceived(header, &mReceive, bodyLength, it->second.peer, &mData, &mReply, &status)) {
            drop(fd);
            return;
        }
        if (!sendReply(fd, status))
            drop(fd);
    }

    bool sendReply(int fd, status_t status)
    {
        FrameHeader header;
        iovec iov[3];
        int iovCount = 0;
        encodeReplyFrame(status, &mReply, &header, &mObjectTable, iov, &iovCount);
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = static_cast<size_t>(iovCount);
        ssize_t n;
        do {
            // Never block on a peer that does not read its replies.
            n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        mReply.freeData();
        return n >= 0;
    }

    const int mEpoll;
    const int mListen;
    const int mWake;
    const int mWatched;
    std::function<void(uint64_t)> mOnClosed;
    std::unordered_map<int, PeerConnection> mConnections;
    uint64_t mNextId = 0;
    ParcelAccess::Buffer mReceive; // swaps storage with mData: no copy, no allocation
    std::vector<uint8_t> mObjectTable;
    Parcel mData;
    Parcel mReply;
};

} // namespace

status_t ProcessHost::serve()
{
    int listenFd;
    int watchedFd = -1;
    sp<Connection> watched;
    std::function<void(uint64_t)> onClosed;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mServing)
            return BAD_VALUE;
        const status_t status = ensureEndpointLocked();
        if (status != OK)
            return status;
        mServing = true;
        listenFd = mListenFd;
        watched = mWatched;
        onClosed = mClosedHandler;
    }
    if (watched)
        watchedFd = watched->fd();

    status_t status = OK;
    int wake = gWakeFd.load();
    if (wake < 0) {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0)
            status = -errno;
        else
            gWakeFd.store(wake);
    }
    const int epollFd = status == OK ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    if (status == OK && epollFd < 0)
        status = -errno;
    if (status == OK) {
        auto add = [&](int fd, uint32_t events) {
            epoll_event event{};
            event.events = events;
            event.data.fd = fd;
            return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0 ? OK : -errno;
        };
        status = add(wake, EPOLLIN);
        if (status == OK)
            status = add(listenFd, EPOLLIN);
        // Only a hang-up matters on the registration connection; its replies are
        // read by whoever transacts on it.
        if (status == OK && watchedFd >= 0)
            status = add(watchedFd, EPOLLRDHUP);
        if (status == OK && watched && watched->isDead())
            status = DEAD_OBJECT;
        if (status == OK) {
            Server server(epollFd, listenFd, wake, watchedFd, onClosed);
            status = server.run();
        }
    }
    if (epollFd >= 0)
        ::close(epollFd);
    gStopRequested.store(false);
    std::lock_guard<std::mutex> lock(mLock);
    mServing = false;
    return status;
}

namespace {

// Dispatches a decoded transaction (or refuses a frame that is not one).
bool dispatchDecoded(status_t decoded, const FrameHeader& header, const CallingPeer& peer, Parcel* data,
                     Parcel* reply, status_t* status)
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
    const status_t decoded = decodeFrame(frame, length, &header, data);
    return dispatchDecoded(decoded, header, peer, data, reply, status);
}

bool dispatchReceived(const FrameHeader& header, ParcelAccess::Buffer* body, size_t bodyLength,
                      const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status)
{
    reply->freeData();
    const status_t decoded = decodeReceived(header, body, bodyLength, data, true);
    return dispatchDecoded(decoded, header, peer, data, reply, status);
}

void encodeReplyFrame(status_t status, const Parcel* reply, FrameHeader* header, std::vector<uint8_t>* objectTable,
                      iovec iov[3], int* iovCount)
{
    *header = FrameHeader{};
    header->kind = FRAME_REPLY;
    header->code = static_cast<uint32_t>(status);
    const status_t encoded = encodeFrame(header, status == OK ? reply : nullptr, objectTable, iov, iovCount);
    if (encoded != OK) {
        // The object's answer cannot travel (an object that is not ours to
        // reference); the caller learns that instead.
        header->code = static_cast<uint32_t>(encoded);
        encodeFrame(header, nullptr, objectTable, iov, iovCount);
    }
}

const CallingPeer* callingPeer()
{
    return tCallingPeer;
}

status_t listenOnPath(const std::string& path)
{
    return ProcessHost::self().listenOnPath(path);
}

void setContextObject(const sp<IBinder>& object)
{
    ProcessHost::self().setContextObject(object);
}

void setConnectionClosedHandler(std::function<void(uint64_t)> handler)
{
    ProcessHost::self().setConnectionClosedHandler(std::move(handler));
}

std::string localEndpoint()
{
    return ProcessHost::self().endpoint();
}

status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle)
{
    return ProcessHost::self().describeObject(object, endpoint, handle);
}

status_t serve()
{
    return ProcessHost::self().serve();
}

void stopServing()
{
    ProcessHost::requestStop();
}

bool stopRequested()
{
    return gStopRequested.load();
}

void stopServingOnSignals()
{
    struct sigaction action{};
    action.sa_handler = [](int) { stopServing(); };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace quorvel
