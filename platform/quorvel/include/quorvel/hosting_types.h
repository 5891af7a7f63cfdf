#pragma once
// The plain types of the hosting interface (hosting.h): who is calling, and why a
// socket path was refused. The host's own parts report with them too.

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace quorvel {

// The peer of the transaction being dispatched on this thread.
struct CallingPeer {
    uint64_t connectionId; // unique for the life of the process
    uid_t uid; // SO_PEERCRED of the connection
    pid_t pid;
};

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

} // namespace quorvel
