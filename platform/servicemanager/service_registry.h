#pragma once
// ServiceRegistry: the service manager object itself. It keeps the registered names,
// each with the object reference and the connection that registered it, and answers
// the transactions of quorvel/service_manager_protocol.h.

#include <quorvel/binder.h>
#include <quorvel/string16.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace quorvel {

class ServiceRegistry : public LocalBinder {
public:
    // Forgets every name registered over the connection that just closed.
    void connectionClosed(uint64_t connectionId);

    size_t size() const
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mServices.size();
    }

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override;

private:
    struct Entry {
        sp<IBinder> object;
        uint64_t owner;
    };

    status_t checkService(const Parcel& data, Parcel* reply);
    status_t addService(const Parcel& data);
    status_t listServices(const Parcel& data, Parcel* reply);

    // Transactions arrive on many threads at once; no call out of this process is
    // made while holding it.
    mutable std::mutex mLock;
    std::map<String16, Entry> mServices; // guarded by mLock
};

} // namespace quorvel
