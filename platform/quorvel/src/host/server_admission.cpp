// Server's side of admission: it asks its AdmissionPolicy who may open a connection,
// and closes the connection the policy names to make room (see admission_policy.h).
#include "server.h"

#include <sys/socket.h>

namespace quorvel {

bool Server::closeToMakeRoomLocked(std::optional<uint64_t> id)
{
    if (!id)
        return false;
    const auto it = mOpen.find(*id);
    if (it == mOpen.end())
        return true; // cannot be: the policy lists what mOpen does
    // Its thread sees the end of the stream and closes the descriptor; a frame it
    // received meanwhile is dropped unanswered, since the connection is no longer listed.
    ::shutdown(it->second, SHUT_RDWR);
    mOpen.erase(it);
    return true;
}

bool Server::admitLocked(uid_t uid)
{
    const AdmissionPolicy::Verdict verdict = mPolicy.admit(uid);
    closeToMakeRoomLocked(verdict.closed);
    return verdict.admitted;
}

bool Server::makeRoomForThreadLocked(uint64_t id)
{
    return closeToMakeRoomLocked(mPolicy.makeRoomForThread(id));
}

} // namespace quorvel
