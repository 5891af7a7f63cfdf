#pragma once
// Server: answers the transactions that arrive at this process's endpoint. Every
// accepted connection gets a thread of its own that waits in a blocking receive, so a
// request costs one recvmsg and one sendmsg; these threads leave SIGTERM and SIGINT
// to the program's own. No lock is held while a handler runs:
// transactions on different connections run at once (an object that needs one call
// at a time serialises itself), so a handler may call other processes or back into
// this one, and one that waits holds up only its own caller.
//
// Fairness: who may connect, and whose connection makes room for a newcomer, is the
// AdmissionPolicy's to say (admission_policy.h). A connection that sends no complete
// frame within FIRST_FRAME_TIMEOUT_MS is closed; when descriptors run out the accept
// loop pauses instead of spinning.

#include <quorvel/hosting_types.h>
#include <quorvel/status.h>
#include <quorvel/unique_fd.h>

#include "admission_policy.h"
#include "frame_dispatcher.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <unordered_map>

namespace quorvel {

class Server {
public:
    // Frames go to `dispatcher`; replies' object references are described by its table.
    explicit Server(FrameDispatcher& dispatcher)
        : mDispatcher(dispatcher)
    {
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Accepts connections on `listenFd` on the calling thread until `stop` is set
    // (and `wakeFd` made readable; returns OK) or `watchedFd` (when >= 0) hangs up
    // (returns DEAD_OBJECT; the connections keep being served).
    status_t run(int listenFd, int wakeFd, int watchedFd, const std::atomic<bool>& stop);

    // Ends every connection and waits, a bounded time, for their threads.
    void closeAll();

private:
    // What a new connection thread starts with; the thread owns it.
    struct ThreadStart {
        Server* server;
        UniqueFd fd;
        CallingPeer peer;
    };
    // Accepts what is pending on `listenFd` until none is left or `stop` is set: a
    // flood of connections must not hold a stop back.
    void acceptAll(int listenFd, const std::atomic<bool>& stop);
    bool admitLocked(uid_t uid);
    // No thread could be started for connection `id`: true when another connection
    // was closed to make room for it.
    bool makeRoomForThreadLocked(uint64_t id);
    // Closes the connection `id` (when given) that the policy forgot to make room.
    bool closeToMakeRoomLocked(std::optional<uint64_t> id);
    // Hands `fd` to a new thread serving it; on failure `fd` is left as it was.
    int startThread(UniqueFd& fd, const CallingPeer& peer);
    void serveConnection(UniqueFd fd, CallingPeer peer);
    void forget(uint64_t id);

    FrameDispatcher& mDispatcher;
    std::mutex mLock; // guards everything below
    std::condition_variable mAllClosed;
    AdmissionPolicy mPolicy{::geteuid()};
    // The descriptors of the connections the policy lists, by id: owned by the
    // connection's thread; shut down, never closed, by others.
    std::unordered_map<uint64_t, int> mOpen;
    uint64_t mNextId = 0;
    bool mAcceptPaused = false;
};

} // namespace quorvel
