#include "process_objects.h"

#include "binder_proxy.h"
#include "idle_connection_pool.h"

#include <atomic>

namespace quorvel {

namespace {

// A process that hosts nothing: every reference it receives is another process's
// object, called through a pool of its own; a local object cannot travel from here.
class CallingOnlyObjects final : public ProcessObjects, private ObjectTable {
public:
    ObjectTable& objects() override { return *this; }
    // No host serves here, so there is nothing to end when the connection closes.
    void watchRegistrations(const sp<Connection>&) override {}

private:
    status_t describeObject(const sp<IBinder>& object, ObjectRef* ref) override
    {
        if (!object)
            return BAD_VALUE;
        if (auto* proxy = dynamic_cast<BinderProxy*>(object.get())) {
            *ref = proxy->target();
            return OK;
        }
        return BAD_TYPE;
    }
    sp<IBinder> resolveObject(const ObjectRef& ref) override { return sp<IBinder>(new BinderProxy(ref, mPool)); }

    IdleConnectionPool mPool{*this};
};

constinit std::atomic<ProcessObjects*> installed{nullptr};

} // namespace

ProcessObjects& processObjects()
{
    if (ProcessObjects* host = installed.load())
        return *host;
    // Never destroyed: proxies made through it may be used by static destructors.
    static ProcessObjects* const callingOnly = new CallingOnlyObjects();
    return *callingOnly;
}

void installProcessObjects(ProcessObjects& host)
{
    installed.store(&host);
}

} // namespace quorvel
