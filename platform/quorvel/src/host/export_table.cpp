#include "export_table.h"

#include "binder_proxy.h"

#include <unistd.h>

namespace quorvel {

void ExportTable::setContextObject(const sp<IBinder>& object)
{
    std::lock_guard<std::mutex> lock(mLock);
    mExported[0] = object;
    if (object)
        mHandles[object.get()] = 0;
}

status_t ExportTable::describeObject(const sp<IBinder>& object, ObjectRef* ref)
{
    if (!object)
        return BAD_VALUE;
    if (object->isLocal()) {
        const std::string* address;
        if (const status_t status = mEndpoint.ensureListening(&address); status != OK)
            return status;
        uint32_t handle;
        {
            std::lock_guard<std::mutex> lock(mLock);
            auto it = mHandles.find(object.get());
            if (it == mHandles.end()) {
                // Exported objects live as long as the process: a peer may hold the
                // reference at any time, and there is no release message to tell us.
                it = mHandles.emplace(object.get(), static_cast<uint32_t>(mExported.size())).first;
                mExported.push_back(object);
            }
            handle = it->second;
        }
        *ref = ObjectRef{*address, handle, PeerIdentity{::getpid(), ::geteuid()}};
        return OK;
    }
    if (auto* proxy = dynamic_cast<BinderProxy*>(object.get())) {
        *ref = proxy->target();
        return OK;
    }
    return BAD_TYPE;
}

sp<IBinder> ExportTable::exportedObject(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mLock);
    return handle < mExported.size() ? mExported[handle] : nullptr;
}

sp<IBinder> ExportTable::resolveObject(const ObjectRef& ref)
{
    if (!mEndpoint.isOwn(ref.endpoint))
        return sp<IBinder>(new BinderProxy(ref, mPool));
    return exportedObject(ref.handle);
}

} // namespace quorvel
