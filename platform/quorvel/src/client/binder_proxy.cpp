#include "binder_proxy.h"

namespace quorvel {

BinderProxy::BinderProxy(ObjectRef target, ConnectionPool& pool)
    : mTarget(std::move(target))
    , mPoolKey(poolKey(mTarget))
    , mPool(&pool)
{
}

BinderProxy::BinderProxy(const sp<Connection>& connection, uint32_t handle)
    : mTarget{connection->endpoint(), handle, connection->listener()}
    , mPool(nullptr)
    , mConnection(connection)
{
}

status_t BinderProxy::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
{
    if (mConnection)
        return mConnection->transact(mTarget.handle, code, data, reply, flags);
    return mPool->transactWith(mTarget, mPoolKey, code, data, reply, flags);
}

} // namespace quorvel
