#pragma once
// ProcessEndpoint: this process's one endpoint as the rest of the process uses it, over
// a ListeningSocket: made on first need under an abstract name, or on request at a
// socket path. Its address is kept after it closes, so that references to it read as
// dead, never as another's.

#include <quorvel/hosting_types.h>
#include <quorvel/status.h>

#include "listening_socket.h"

#include <atomic>
#include <mutex>
#include <string>

namespace quorvel {

class ProcessEndpoint {
public:
    // Listens at `path` (see ListeningSocket::listenOnPath); BAD_VALUE once there is an
    // endpoint.
    status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal);
    // Listening from now on (under an abstract name if there was no endpoint yet);
    // `address` then points at where, which stays valid and unchanged for the life of
    // this object. DEAD_OBJECT once the endpoint has closed.
    status_t ensureListening(const std::string** address);
    // The listening descriptor for serving, made first if need be.
    status_t listeningFd(int* fd);
    // Whether `endpoint` names this one, open or closed.
    bool isOwn(const std::string& endpoint) const;
    // "" until there is an endpoint.
    std::string address() const;
    // Serving has stopped: a socket file goes with its server. An abstract name is
    // kept until the process ends, and with it the references to it.
    void closeFile();

private:
    enum State : int {
        NONE,
        LISTENING,
        CLOSED,
    };
    status_t ensureLocked();

    mutable std::mutex mLock; // guards mEndpoint, and mAddress until mState leaves NONE
    ListeningSocket mEndpoint;
    // Written once, under mLock, before mState leaves NONE; read without a lock after:
    // the codec compares every reference it decodes against it.
    std::string mAddress;
    std::atomic<int> mState{NONE};
};

} // namespace quorvel
