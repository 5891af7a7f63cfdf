#pragma once
// The checks on the folders that hold the service manager's socket: nobody but root
// and the manager itself may be able to put another socket in its place.

#include <quorvel/hosting_types.h>
#include <quorvel/status.h>
#include <quorvel/unique_fd.h>

#include <string>

namespace quorvel {

// Opens `folder` (an absolute path) with O_PATH, walking down from "/" without
// following a symlink and creating missing folders (0755) on the way. Every folder
// must be owned by root or our euid. A folder above may be writable by group or
// others only with the sticky bit; the last one, which holds the socket, not at all.
// On failure `refusal` (when given) names the folder and what is wrong with it:
// -ELOOP for a symlink, -EPERM for an owner or a mode, -errno for anything else.
status_t openSocketFolder(const std::string& folder, UniqueFd* out, SocketPathRefusal* refusal);

} // namespace quorvel
