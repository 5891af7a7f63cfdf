#pragma once
// BinderProxy: a reference to an object hosted by another process, named by that
// process's endpoint address and the object's handle there. It takes its connection
// from the pool on first use, sharing one per endpoint with every other proxy.

#include <quorvel/binder.h>

#include "connection.h"

#include <mutex>
#include <string>

namespace quorvel {

class BinderProxy : public IBinder {
public:
    BinderProxy(std::string endpoint, uint32_t handle, ConnectionPool& pool);
    // A proxy bound to a connection of its own rather than the shared one.
    BinderProxy(const sp<Connection>& connection, uint32_t handle);

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;

    const std::string& endpoint() const { return mEndpoint; }
    uint32_t handle() const { return mHandle; }
    // The connection, connecting first if needed; null (with `status`) on failure.
    sp<Connection> connection(status_t* status);

private:
    const std::string mEndpoint;
    const uint32_t mHandle;
    ConnectionPool* const mPool; // null for a proxy bound to its own connection
    std::mutex mLock;
    sp<Connection> mConnection; // guarded by mLock
};

} // namespace quorvel
