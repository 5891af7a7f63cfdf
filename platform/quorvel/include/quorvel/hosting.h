#pragma once
// Hosting hooks for the service manager daemon: serve on a filesystem socket path,
// answer transactions for handle 0, learn who is calling and when a peer goes away.
// Ordinary service processes do not need these; serve() is enough for them.

#include <quorvel/binder.h>
#include <quorvel/status.h>
#include <quorvel/strong_pointer.h>

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace quorvel {

// The peer of the transaction being dispatched on this thread.
struct CallingPeer {
    uint64_t connectionId; // unique for the life of the process
    uid_t uid; // SO_PEERCRED of the connection
    pid_t pid;
};

// The caller of the transaction this thread is dispatching, or null outside one.
const CallingPeer* callingPeer();

// Why listenOnPath refused a path, so that the daemon can say what to fix.
struct SocketPathRefusal {
    enum Reason {
        NONE,
        NOT_ABSOLUTE, // the path does not start with '/'
        NOT_A_FILE_NAME, // empty, ends in '/', ".", ".."
        TOO_LONG, // longer than MAX_ENDPOINT_LENGTH
        PARENT_REFERENCE, // a ".." on the way
        SYMLINK, // `folder` is a symbolic link
        FOREIGN_OWNER, // `folder` is owned by `owner`, neither root nor us
        WRITABLE_BY_OTHERS, // the socket's own `folder` is writable by group or others
        WRITABLE_WITHOUT_STICKY, // `folder` above is writable by group or others, not sticky
        CANNOT_CREATE, // `folder` is missing and could not be made (the status says why)
        CANNOT_OPEN, // `folder` could not be opened or examined (the status says why)
        NOT_A_SOCKET, // something else has the socket's name
        MANAGER_ANSWERS, // a service manager still answers on the socket
        LOCKED, // another process holds the lock file `folder` ("<path>.lock")
        LOCK_NOT_OURS, // the lock file `folder` is not a regular file owned by our euid
    };
    Reason reason = NONE;
    std::string folder; // the folder or file at fault
    uid_t owner = 0; // for FOREIGN_OWNER, LOCK_NOT_OURS and the WRITABLE reasons
    mode_t mode = 0; // the folder's permission bits, likewise
};

// Makes this process's endpoint a socket at `path` (its folder is created if
// missing, a stale socket file replaced), holding the lock file "<path>.lock" until
// serving stops, so that one process at a time serves a path. Must come before
// anything is exported.
// On failure `refusal`, when given, says why.
status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal = nullptr);

// The object that answers transactions addressed to handle 0 of this process.
void setContextObject(const sp<IBinder>& object);

// Called on the serving thread after a peer's connection has closed.
void setConnectionClosedHandler(std::function<void(uint64_t connectionId)> handler);

// This process's endpoint address ("" until one exists).
std::string localEndpoint();

// The endpoint address and handle an object reference carries; BAD_TYPE for an
// object that is neither hosted here nor a reference to another process.
status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle);

// `object`, a reference `peer` sent, as a registry may keep it: bound to the process
// the kernel shows listening at its endpoint, which must be `peer` itself (whatever
// pid the reference names); PERMISSION_DENIED otherwise.
status_t referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound);

} // namespace quorvel
