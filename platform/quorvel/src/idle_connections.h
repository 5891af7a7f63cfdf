#pragma once
// IdleConnections: the process's ConnectionPool. Each call gets a connection of its
// own for its duration: an idle one kept from an earlier call to the same host and
// identity, or a new one; a few per host are kept for later calls.

#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "connection.h"
#include "wire_format.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvel {

class IdleConnections final : public ConnectionPool {
public:
    // The frames the connections carry describe and resolve references with `objects`.
    explicit IdleConnections(ObjectTable& objects)
        : mObjects(objects)
    {
    }
    IdleConnections(const IdleConnections&) = delete;
    IdleConnections& operator=(const IdleConnections&) = delete;

    // A connection that failed is dropped, never reused, so a missed deadline costs
    // only the call that missed it.
    status_t transactWith(const ObjectRef& target, const std::string& key, uint32_t code, const Parcel& data,
                          Parcel* reply, uint32_t flags) override;

private:
    void forgetHost(const std::string& key);

    ObjectTable& mObjects;
    std::mutex mLock;
    // Idle client connections by host (endpoint and identity), newest last.
    std::unordered_map<std::string, std::vector<sp<Connection>>> mIdle;
};

} // namespace quorvel
