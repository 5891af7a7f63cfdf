#pragma once
// ExportTable: the objects this process has handed out references to, by handle (0
// is the context object), and the ObjectTable through which the codec describes the
// references it sends and resolves the ones it receives.

#include <quorvel/binder.h>
#include <quorvel/status.h>

#include "connection.h"
#include "process_endpoint.h"
#include "frame_codec.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quorvel {

class ExportTable final : public ObjectTable {
public:
    // References to objects here name `endpoint`; those to other hosts become proxies
    // that call through `pool`.
    ExportTable(ProcessEndpoint& endpoint, ConnectionPool& pool)
        : mEndpoint(endpoint)
        , mPool(pool)
    {
    }
    ExportTable(const ExportTable&) = delete;
    ExportTable& operator=(const ExportTable&) = delete;

    void setContextObject(const sp<IBinder>& object);
    // An object of this process is exported (the endpoint made first if need be).
    status_t describeObject(const sp<IBinder>& object, ObjectRef* ref) override;
    sp<IBinder> resolveObject(const ObjectRef& ref) override;
    // The object exported under `handle`, or null.
    sp<IBinder> exportedObject(uint32_t handle);

private:
    ProcessEndpoint& mEndpoint;
    ConnectionPool& mPool;
    std::mutex mLock; // guards what follows
    std::vector<sp<IBinder>> mExported{1}; // index = handle; 0 is the context object
    std::unordered_map<const IBinder*, uint32_t> mHandles;
};

} // namespace quorvel
