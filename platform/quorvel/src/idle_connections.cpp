#include "idle_connections.h"

#include "stop_request.h"

namespace quorvel {

namespace {

// Idle connections kept per host for later calls; more than this many calls at once
// open connections that close when their call is done.
constexpr size_t MAX_IDLE_CONNECTIONS = 4;

} // namespace

status_t IdleConnections::transactWith(const ObjectRef& target, const std::string& key, uint32_t code,
                                       const Parcel& data, Parcel* reply, uint32_t flags)
{
    for (;;) {
        sp<Connection> connection;
        {
            std::lock_guard<std::mutex> lock(mLock);
            const auto it = mIdle.find(key);
            // One the host closed while it was idle (it makes room for newcomers that
            // way) is found out by the call itself, which then goes again below: no
            // system call per call to look first. The host's list stays while it is
            // empty, so a call at a time to one host (the common case) allocates
            // nothing; it goes when a call to its host fails.
            if (it != mIdle.end() && !it->second.empty()) {
                connection = std::move(it->second.back());
                it->second.pop_back();
            }
        }
        const bool reused = connection != nullptr;
        if (!reused) {
            status_t status;
            connection = Connection::connectTo(target.endpoint, mObjects, &target.host, &status);
            if (!connection) {
                forgetHost(key);
                if (reply)
                    reply->setError(status);
                return status;
            }
        }
        const status_t status = connection->transact(target.handle, code, data, reply, flags);
        if (!connection->isDead()) {
            std::lock_guard<std::mutex> lock(mLock);
            auto& idle = mIdle[key];
            if (idle.size() < MAX_IDLE_CONNECTIONS)
                idle.push_back(std::move(connection));
            return status;
        }
        // A host closes only connections that wait between calls, so a kept one that
        // turns out closed never got the request: it goes again on a new connection,
        // which finds out whether the host is still there.
        if (!(reused && status == DEAD_OBJECT) || gStopRequested.load()) {
            forgetHost(key);
            return status;
        }
    }
}

void IdleConnections::forgetHost(const std::string& key)
{
    // A host whose connection failed may be gone for good: its list would only take
    // room in a long-lived client that met many hosts.
    std::lock_guard<std::mutex> lock(mLock);
    const auto it = mIdle.find(key);
    if (it != mIdle.end() && it->second.empty())
        mIdle.erase(it);
}

} // namespace quorvel
