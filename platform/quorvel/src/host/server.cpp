#include "server.h"

#include <quorvel/limits.h>

#include "socket_io.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <memory>
#include <pthread.h>
#include <poll.h>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace quorvel {

namespace {

// How long the accept loop rests when the process is out of descriptors.
constexpr int ACCEPT_BACKOFF_MS = 100;
// How long the accept loop waits for something to happen. Under the thread sanitizer
// a signal that lands just before the poll may have its handler run only once the
// poll returns: a poll without end would hold a stop back for good, so there the loop
// looks again every so often.
#if defined(__SANITIZE_THREAD__)
constexpr int IDLE_WAIT_MS = 100;
#else
constexpr int IDLE_WAIT_MS = -1;
#endif
// How long closeAll waits for connection threads (a handler may be slow).
constexpr auto CLOSE_WAIT = std::chrono::milliseconds(1000);
// How long a newcomer that made room waits for the closed connection's thread to end
// so that its own can start.
constexpr int THREAD_RETRIES = 50;
constexpr auto THREAD_RETRY_PAUSE = std::chrono::milliseconds(10);
// Serving threads run short handlers: no need for 8 MiB of address space each.
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
    // Never block on a peer that does not read its replies.
    return sendFrame(fd, iov, iovCount, true) == 0;
}

} // namespace

int Server::startThread(UniqueFd& fd, const CallingPeer& peer)
{
    auto start = std::make_unique<ThreadStart>(ThreadStart{this, std::move(fd), peer});
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, THREAD_STACK);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Serving threads block the stop signals, so that a stop reaches the program's own
    // thread and interrupts the wait it is meant to end (serve(), waitForStop(), a
    // call); taken by a serving thread, it would leave that wait to run on.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    pthread_t thread;
    const int error = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            const std::unique_ptr<ThreadStart> s(static_cast<ThreadStart*>(argument));
            s->server->serveConnection(std::move(s->fd), s->peer);
            return nullptr;
        },
        start.get());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        fd = std::move(start->fd); // the caller may try again
        return error;
    }
    start.release(); // the thread's now, and perhaps already gone
    return 0;
}

void Server::acceptAll(int listenFd, const std::atomic<bool>& stop)
{
    while (!stop.load()) {
        UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                mAcceptPaused = true; // the next poll rests instead of spinning on it
            return; // EAGAIN, or a peer that gave up before we got to it
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0)
            continue;
        CallingPeer peer{0, credentials.uid, credentials.pid};
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (!admitLocked(peer.uid))
                continue;
            peer.connectionId = ++mNextId;
            mOpen[peer.connectionId] = fd.get();
            mPolicy.opened(peer.connectionId, peer.uid);
        }
        int error = startThread(fd, peer);
        if (error != 0) {
            // Out of threads (a task limit, say): the same test of fairness as a full
            // pool, the capacity being the threads other uids hold now.
            bool madeRoom;
            {
                std::lock_guard<std::mutex> lock(mLock);
                madeRoom = makeRoomForThreadLocked(peer.connectionId);
            }
            for (int i = 0; madeRoom && error != 0 && i < THREAD_RETRIES && !stop.load(); ++i) {
                std::this_thread::sleep_for(THREAD_RETRY_PAUSE);
                error = startThread(fd, peer);
            }
        }
        if (error != 0) {
            forget(peer.connectionId); // before the descriptor closes, as below
            mAcceptPaused = true; // out of threads: the same as out of descriptors
            return;
        }
    }
}

void Server::forget(uint64_t id)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (!mPolicy.closed(id))
        return; // closed to make room, and forgotten then
    mOpen.erase(id);
    if (mOpen.empty())
        mAllClosed.notify_all();
}

void Server::serveConnection(UniqueFd fd, CallingPeer peer)
{
    // Until its first frame a connection may only wait so long; after that it is a
    // client holding its connection, as clients do.
    setReceiveTimeout(fd.get(), std::chrono::milliseconds(FIRST_FRAME_TIMEOUT_MS));
    bool spoken = false;

    ParcelAccess::Buffer receive; // swaps storage with `data`: no allocation
    std::vector<uint8_t> objectTable;
    Parcel data;
    Parcel reply;
    for (;;) {
        FrameHeader header;
        size_t bodyLength = 0;
        const Received received = receiveFrame(fd.get(), false, &header, &receive, &bodyLength);
        if (received == Received::Interrupted)
            continue;
        if (received != Received::Frame)
            break; // closed, silent past its deadline, or a frame no peer may send
        if (!spoken) {
            spoken = true;
            setReceiveTimeout(fd.get(), std::chrono::milliseconds(0));
        }
        {
            // Closed to make room while the frame came in: it is not answered, so the
            // caller may send it again elsewhere.
            std::lock_guard<std::mutex> lock(mLock);
            if (!mPolicy.callStarted(peer.connectionId))
                break;
        }
        status_t status = OK;
        const bool ok = mDispatcher.dispatch(header, &receive, bodyLength, peer, &data, &reply, &status);
        const bool sent = ok && sendReply(fd.get(), status, reply, &objectTable, mDispatcher.objects());
        reply.freeData();
        if (!sent)
            break;
        std::lock_guard<std::mutex> lock(mLock);
        if (!mPolicy.callEnded(peer.connectionId))
            break;
    }
    mDispatcher.connectionClosed(peer.connectionId);
    // Forgotten before it is closed (as `fd` goes out of scope): closeAll shuts down
    // only descriptors still listed, so it never touches a number that has been reused.
    forget(peer.connectionId);
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
        const int n = ::poll(fds, count, paused ? ACCEPT_BACKOFF_MS : IDLE_WAIT_MS);
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
            acceptAll(listenFd, stop);
    }
    return OK;
}

void Server::closeAll()
{
    std::unique_lock<std::mutex> lock(mLock);
    for (const auto& [id, fd] : mOpen)
        ::shutdown(fd, SHUT_RDWR);
    mAllClosed.wait_for(lock, CLOSE_WAIT, [this] { return mOpen.empty(); });
}

} // namespace quorvel
