#include "server.h"

#include <quorvel/limits.h>

#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel {

namespace {

// How long the accept loop rests when the process is out of descriptors.
constexpr int ACCEPT_BACKOFF_MS = 100;
// How long closeAll waits for connection threads (a handler may be slow).
constexpr auto CLOSE_WAIT = std::chrono::milliseconds(1000);
// Serving threads run short handlers; their stacks need not be the default 8 MiB of
// address space each.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t THREAD_STACK = 4 << 20;
#else
constexpr size_t THREAD_STACK = 256 << 10;
#endif

bool sendReply(int fd, status_t status, const Parcel& reply, std::vector<uint8_t>* objectTable, ObjectTable& objects)
{
    FrameHeader header;
    iovec iov[3];
    int iovCount = 0;
    encodeReplyFrame(status, &reply, &header, objectTable, iov, &iovCount, objects);
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = static_cast<size_t>(iovCount);
    ssize_t n;
    do {
        // Never block on a peer that does not read its replies.
        n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n >= 0;
}

} // namespace

bool Server::admitLocked(uid_t uid) const
{
    if (mOpen.size() >= MAX_CONNECTIONS)
        return false;
    if (uid == 0 || uid == ::geteuid())
        return true;
    const auto it = mPerUid.find(uid);
    if (it != mPerUid.end() && it->second >= MAX_CONNECTIONS_PER_UID)
        return false;
    return mOthers < MAX_CONNECTIONS - RESERVED_CONNECTIONS;
}

void Server::acceptAll(int listenFd)
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                mAcceptPaused = true; // the next poll rests instead of spinning on it
            return; // EAGAIN, or a peer that gave up before we got to it
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) {
            ::close(fd);
            continue;
        }
        CallingPeer peer{0, credentials.uid, credentials.pid};
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (!admitLocked(peer.uid)) {
                ::close(fd);
                continue;
            }
            peer.connectionId = ++mNextId;
            mOpen[peer.connectionId] = Open{fd, peer.uid};
            ++mPerUid[peer.uid];
            if (peer.uid != 0 && peer.uid != ::geteuid())
                ++mOthers;
        }
        struct Start {
            Server* server;
            int fd;
            CallingPeer peer;
        };
        auto* start = new Start{this, fd, peer};
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, THREAD_STACK);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const int error = pthread_create(
            &thread, &attributes,
            [](void* argument) -> void* {
                auto* s = static_cast<Start*>(argument);
                s->server->serveConnection(s->fd, s->peer);
                delete s;
                return nullptr;
            },
            start);
        pthread_attr_destroy(&attributes);
        if (error != 0) {
            delete start;
            forget(peer.connectionId, peer.uid);
            ::close(fd);
            mAcceptPaused = true; // out of threads: the same as out of descriptors
            return;
        }
    }
}

void Server::forget(uint64_t id, uid_t uid)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mOpen.erase(id) == 0)
        return;
    if (--mPerUid[uid] == 0)
        mPerUid.erase(uid);
    if (uid != 0 && uid != ::geteuid())
        --mOthers;
    if (mOpen.empty())
        mAllClosed.notify_all();
}

void Server::serveConnection(int fd, CallingPeer peer)
{
    // Until its first frame a connection may only wait so long; after that it is a
    // client holding its connection, as clients do.
    const timeval firstFrame{FIRST_FRAME_TIMEOUT_MS / 1000, (FIRST_FRAME_TIMEOUT_MS % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &firstFrame, sizeof firstFrame);
    bool spoken = false;

    ParcelAccess::Buffer receive; // swaps storage with `data`: no copy, no allocation
    std::vector<uint8_t> objectTable;
    Parcel data;
    Parcel reply;
    for (;;) {
        FrameHeader header;
        size_t bodyLength = 0;
        const Received received = receiveFrame(fd, false, &header, &receive, &bodyLength);
        if (received == Received::Interrupted)
            continue;
        if (received != Received::Frame)
            break; // closed, silent past its deadline, or a frame no peer may send
        if (!spoken) {
            spoken = true;
            const timeval none{};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        }
        status_t status = OK;
        const bool ok = mDispatcher.dispatch(header, &receive, bodyLength, peer, &data, &reply, &status);
        if (!ok)
            break;
        const bool sent = sendReply(fd, status, reply, &objectTable, mObjects);
        reply.freeData();
        if (!sent)
            break;
    }
    mDispatcher.connectionClosed(peer.connectionId);
    // Forgotten before it is closed: closeAll shuts down only descriptors still listed,
    // so it never touches a number that has been reused.
    forget(peer.connectionId, peer.uid);
    ::close(fd);
}

status_t Server::run(int listenFd, int wakeFd, int watchedFd, const std::atomic<bool>& stop)
{
    while (!stop.load()) {
        pollfd fds[3] = {{wakeFd, POLLIN, 0}, {listenFd, POLLIN, 0}, {watchedFd, POLLRDHUP, 0}};
        const bool paused = mAcceptPaused;
        if (paused)
            fds[1].fd = -1;
        mAcceptPaused = false;
        const nfds_t count = watchedFd >= 0 ? 3 : 2;
        const int n = ::poll(fds, count, paused ? ACCEPT_BACKOFF_MS : -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (fds[0].revents) {
            uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(wakeFd, &value, sizeof value);
        }
        if (count == 3 && fds[2].revents)
            return DEAD_OBJECT; // the service manager went away
        if (fds[1].revents)
            acceptAll(listenFd);
    }
    return OK;
}

void Server::closeAll()
{
    std::unique_lock<std::mutex> lock(mLock);
    for (const auto& [id, open] : mOpen)
        ::shutdown(open.fd, SHUT_RDWR);
    mAllClosed.wait_for(lock, CLOSE_WAIT, [this] { return mOpen.empty(); });
}

} // namespace quorvel
