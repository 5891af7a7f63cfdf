#pragma once
// Hosting hooks for the service manager daemon: serve on a filesystem socket path,
// answer transactions for handle 0, learn who is calling and when a peer goes away.
// Ordinary service processes do not need these; serve() is enough for them.

#include <quorvel/binder.h>
#include <quorvel/hosting_types.h>
#include <quorvel/status.h>
#include <quorvel/strong_pointer.h>

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace quorvel {

// The caller of the transaction this thread is dispatching, or null outside one.
const CallingPeer* callingPeer();

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
