#pragma once
// BinderProxy: a reference to an object hosted by another process, named by that
// process's endpoint, the object's handle there and the identity of the process that
// must be listening. Each call borrows a connection from the pool; a proxy bound to a
// connection of its own (the service manager's) uses only that one.

#include <quorvel/binder.h>

#include "connection.h"

#include <string>

namespace quorvel {

class BinderProxy : public IBinder {
public:
    BinderProxy(ObjectRef target, ConnectionPool& pool);
    // A proxy bound to a connection of its own rather than the pool.
    BinderProxy(const sp<Connection>& connection, uint32_t handle);

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;

    const ObjectRef& target() const { return mTarget; }
    std::string hostKey() const override { return poolKey(mTarget); }

private:
    const ObjectRef mTarget;
    const std::string mPoolKey;
    ConnectionPool* const mPool; // null for a proxy bound to its own connection
    const sp<Connection> mConnection;
};

} // namespace quorvel
