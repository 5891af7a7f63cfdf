#pragma once
// ListeningSocket: one listening socket of a hosting process, with its naming, creation
// and removal. An ordinary process gets an abstract name with fresh random bits; the
// service manager a socket file at a path whose folders nobody else can change.

#include <quorvel/hosting_types.h>
#include <quorvel/status.h>
#include <quorvel/unique_fd.h>

#include "socket_lock.h"

#include <string>
#include <sys/types.h>

namespace quorvel {

// The prefix of every abstract endpoint name; the pid of the host follows, then a
// dot and 16 random hex digits.
inline constexpr const char* ENDPOINT_PREFIX = "@quorvel.";

class ListeningSocket {
public:
    ListeningSocket() = default;
    ~ListeningSocket() { close(); }
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

    // Listens on "@quorvel.<pid>.<64 random bits in hex>", drawing new bits when the
    // name is taken.
    status_t listenAbstract();
    // Listens on a socket file at `path`, an absolute path. Missing folders are
    // created (0755). Refused (-ELOOP) when a folder on the way is a symlink, (-EPERM)
    // when one is owned by a uid other than root or ours, when the socket's folder is
    // writable by group or others, or when a folder above is so without the sticky
    // bit; (-EWOULDBLOCK) when another process holds the lock file "<path>.lock",
    // (-EEXIST) when that is not a regular file of ours; (-EADDRINUSE) when something
    // still answers on an existing socket there, (-EEXIST) when the path holds
    // something else. `refusal`, when given, says which and where. The lock is held
    // until close(). The file is made with mode 0666 (the process's umask is set aside
    // for the bind): no chmod of a path that a link could redirect.
    status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal = nullptr);

    bool listening() const { return mListen.valid(); }
    int fd() const { return mListen.get(); }
    const std::string& address() const { return mAddress; }

    // Stops listening; a socket file is removed if it is still the one we made, and
    // then its lock file.
    void close();

private:
    // `fileMode` (0 for an abstract name) becomes the socket file's mode as it is made.
    status_t bindAndListen(const std::string& address, mode_t fileMode);
    // listenOnPath's part under the lock: `name` in the checked `folder`.
    status_t listenOnPathLocked(const std::string& path, UniqueFd& folder, const std::string& name,
                                SocketPathRefusal* refusal);

    UniqueFd mListen;
    std::string mAddress;
    UniqueFd mFolder; // the socket file's folder (O_PATH), for a path endpoint
    std::string mFileName;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    SocketLock mLock; // held while a socket file is ours
};

} // namespace quorvel
