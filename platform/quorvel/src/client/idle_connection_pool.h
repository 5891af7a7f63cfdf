#pragma once
// IdleConnectionPool: the process's ConnectionPool. Each call gets a connection of its
// own for its duration: an idle one kept from an earlier call to the same host and
// identity, or a new one. A few per host, and a bounded number in all, are kept for
// later calls, the least recently used closed first.

#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "connection.h"
#include "frame_codec.h"

#include <mutex>
#include <string>
#include <vector>

namespace quorvel {

class IdleConnectionPool final : public ConnectionPool {
public:
    // The frames the connections carry describe and resolve references with `objects`.
    explicit IdleConnectionPool(ObjectTable& objects);
    IdleConnectionPool(const IdleConnectionPool&) = delete;
    IdleConnectionPool& operator=(const IdleConnectionPool&) = delete;

    // A connection that failed is dropped, never reused, so a missed deadline costs
    // only the call that missed it. A request is sent at most once.
    status_t transactWith(const ObjectRef& target, const std::string& key, uint32_t code, const Parcel& data,
                          Parcel* reply, uint32_t flags) override;

    // The most recently kept connection to the host `key`, or null. Each take first
    // closes every kept connection (of any host) whose peer hung up or sent something.
    sp<Connection> take(const std::string& key);
    // Keeps `connection`, which has just answered a call, for a later call to `key`.
    // Past MAX_IDLE_CONNECTIONS_PER_HOST for its host, or MAX_IDLE_CONNECTIONS in all,
    // the least recently kept one (of that host, or of all) is closed.
    void keep(const std::string& key, sp<Connection> connection);
    // How many are kept: for one host, and in all.
    size_t idleCount(const std::string& key) const;
    size_t idleCount() const;

private:
    struct Idle {
        std::string key;
        sp<Connection> connection;
    };
    void sweepLocked(std::vector<sp<Connection>>* closed);

    ObjectTable& mObjects;
    mutable std::mutex mLock;
    // Least recently kept first. Short (MAX_IDLE_CONNECTIONS), so a scan is cheaper
    // than an index to keep up to date.
    std::vector<Idle> mIdle;
    std::vector<pollfd> mPoll; // scratch for the sweep, under mLock
};

} // namespace quorvel
