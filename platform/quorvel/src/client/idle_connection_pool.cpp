#include "idle_connection_pool.h"

#include <quorvel/limits.h>

#include "stop_request.h"

#include <algorithm>
#include <cerrno>

namespace quorvel {

IdleConnectionPool::IdleConnectionPool(ObjectTable& objects)
    : mObjects(objects)
{
    mIdle.reserve(MAX_IDLE_CONNECTIONS + 1);
    mPoll.reserve(MAX_IDLE_CONNECTIONS);
}

status_t IdleConnectionPool::transactWith(const ObjectRef& target, const std::string& key, uint32_t code,
                                          const Parcel& data, Parcel* reply, uint32_t flags)
{
    for (;;) {
        sp<Connection> connection = take(key);
        const bool reused = connection != nullptr;
        if (!reused) {
            status_t status;
            connection = Connection::connectTo(target.endpoint, mObjects, &target.host, &status);
            if (!connection) {
                if (reply)
                    reply->setError(status);
                return status;
            }
        }
        bool sent = false;
        const status_t status = connection->transact(target.handle, code, data, reply, flags, &sent);
        if (!connection->isDead()) {
            keep(key, std::move(connection));
            return status;
        }
        // take() passes over connections the host has closed, but the host may close
        // one between that look and our send (it makes room for newcomers that way).
        // A request that never left goes again on a new connection, which finds out
        // whether the host is still there. One that left may have been read and run:
        // it is never sent twice, and the caller learns that the host went away.
        if (!reused || sent || status != DEAD_OBJECT || StopRequest::requested())
            return status;
    }
}

sp<Connection> IdleConnectionPool::take(const std::string& key)
{
    std::vector<sp<Connection>> closed; // closed outside the lock, after it
    sp<Connection> connection;
    std::lock_guard<std::mutex> lock(mLock);
    sweepLocked(&closed);
    for (auto it = mIdle.rbegin(); it != mIdle.rend(); ++it) {
        if (it->key == key) {
            connection = std::move(it->connection);
            mIdle.erase(std::next(it).base());
            break;
        }
    }
    return connection;
}

void IdleConnectionPool::keep(const std::string& key, sp<Connection> connection)
{
    std::vector<sp<Connection>> closed;
    std::lock_guard<std::mutex> lock(mLock);
    mIdle.push_back(Idle{key, std::move(connection)});
    const auto ofHost = [&key](const Idle& idle) { return idle.key == key; };
    if (static_cast<size_t>(std::count_if(mIdle.begin(), mIdle.end(), ofHost)) > MAX_IDLE_CONNECTIONS_PER_HOST) {
        const auto oldest = std::find_if(mIdle.begin(), mIdle.end(), ofHost);
        closed.push_back(std::move(oldest->connection));
        mIdle.erase(oldest);
    }
    if (mIdle.size() > MAX_IDLE_CONNECTIONS) {
        closed.push_back(std::move(mIdle.front().connection));
        mIdle.erase(mIdle.begin());
    }
}

size_t IdleConnectionPool::idleCount(const std::string& key) const
{
    std::lock_guard<std::mutex> lock(mLock);
    return static_cast<size_t>(
        std::count_if(mIdle.begin(), mIdle.end(), [&key](const Idle& idle) { return idle.key == key; }));
}

size_t IdleConnectionPool::idleCount() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mIdle.size();
}

void IdleConnectionPool::sweepLocked(std::vector<sp<Connection>>* closed)
{
    // One poll that does not wait, over every kept connection: a host that hung up
    // (it exited, or made room for newcomers) gives its descriptor back now, not at a
    // later call to that host that may never come. A host that sent something unasked
    // is out of step, and its connection goes too.
    if (mIdle.empty())
        return;
    mPoll.clear();
    for (const Idle& idle : mIdle)
        mPoll.push_back(pollfd{idle.connection->fd(), KEPT_CONNECTION_EVENTS, 0});
    int ready;
    do {
        ready = ::poll(mPoll.data(), mPoll.size(), 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return;
    size_t kept = 0;
    for (size_t i = 0; i < mIdle.size(); ++i) {
        if (mPoll[i].revents != 0)
            closed->push_back(std::move(mIdle[i].connection));
        else if (kept != i)
            mIdle[kept++] = std::move(mIdle[i]);
        else
            ++kept;
    }
    mIdle.erase(mIdle.begin() + static_cast<std::ptrdiff_t>(kept), mIdle.end());
}

} // namespace quorvel
