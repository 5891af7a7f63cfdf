#include "binder_proxy.h"

namespace quorvel {

BinderProxy::BinderProxy(std::string endpoint, uint32_t handle, ConnectionPool& pool)
    : mEndpoint(std::move(endpoint))
    , mHandle(handle)
    , mPool(&pool)
{
}

BinderProxy::BinderProxy(const sp<Connection>& connection, uint32_t handle)
    : mEndpoint(connection->endpoint())
    , mHandle(handle)
    , mPool(nullptr)
    , mConnection(connection)
{
}

sp<Connection> BinderProxy::connection(status_t* status)
{
    std::lock_guard<std::mutex> lock(mLock);
    // Once bound, a proxy keeps its connection even when it dies: an object whose
    // host went away stays dead, it does not silently reach a new process.
    if (!mConnection)
        mConnection = mPool->connectionFor(mEndpoint, status);
    else
        *status = OK;
    return mConnection;
}

status_t BinderProxy::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
{
    status_t status;
    const sp<Connection> c = connection(&status);
    if (!c) {
        if (reply)
            reply->setError(status);
        return status;
    }
    return c->transact(mHandle, code, data, reply, flags);
}

} // namespace quorvel
