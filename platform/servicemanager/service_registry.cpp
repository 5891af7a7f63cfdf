#include "service_registry.h"

#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager_protocol.h>

#include <string>
#include <unistd.h>

namespace quorvel {

namespace {

const String16& descriptor()
{
    static const String16 text(SERVICE_MANAGER_DESCRIPTOR);
    return text;
}

bool validName(const String16& name)
{
    if (name.size() == 0 || name.size() > MAX_SERVICE_NAME_LENGTH)
        return false;
    for (char16_t unit : name.view())
        if (unit == 0)
            return false;
    return true;
}

} // namespace

status_t ServiceRegistry::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
{
    (void)flags;
    if (code == INTERFACE_TRANSACTION)
        return reply->writeString16(descriptor());
    if (!data.enforceInterface(descriptor()))
        return BAD_TYPE;
    switch (code) {
    case SM_CHECK_SERVICE: return checkService(data, reply);
    case SM_ADD_SERVICE: return addService(data);
    case SM_LIST_SERVICES: return listServices(data, reply);
    default: return UNKNOWN_TRANSACTION;
    }
}

status_t ServiceRegistry::checkService(const Parcel& data, Parcel* reply)
{
    String16 name;
    if (data.readString16(&name) != OK)
        return BAD_VALUE;
    sp<IBinder> object;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const auto it = mServices.find(name);
        if (it != mServices.end())
            object = it->second.object;
    }
    return reply->writeStrongBinder(object);
}

status_t ServiceRegistry::addService(const Parcel& data)
{
    const CallingPeer* peer = callingPeer();
    if (!peer || (peer->uid != 0 && peer->uid != ::geteuid()))
        return PERMISSION_DENIED;
    String16 name;
    sp<IBinder> object;
    if (data.readString16(&name) != OK || !validName(name))
        return BAD_VALUE;
    if (data.readStrongBinder(&object) != OK || !object)
        return BAD_VALUE;
    // A process may register only objects it hosts itself, as the kernel shows who
    // listens at the reference's endpoint; otherwise one client could publish another
    // process's objects under names of its choosing. The reference handed out later
    // carries that identity, so a call through it reaches this process or nobody.
    sp<IBinder> bound;
    if (const status_t status = referenceHostedBy(object, *peer, &bound); status != OK)
        return status;
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mServices.find(name);
    if (it != mServices.end()) {
        // A later registration of a name replaces the earlier one.
        it->second = Entry{bound, peer->connectionId};
        return OK;
    }
    if (mServices.size() >= MAX_SERVICES)
        return LIMIT_EXCEEDED;
    mServices.emplace(std::move(name), Entry{bound, peer->connectionId});
    return OK;
}

status_t ServiceRegistry::listServices(const Parcel& data, Parcel* reply)
{
    int32_t first;
    if (data.readInt32(&first) != OK || first < 0)
        return BAD_VALUE;
    std::lock_guard<std::mutex> lock(mLock);
    const size_t total = mServices.size();
    auto begin = mServices.begin();
    for (size_t skip = static_cast<size_t>(first); skip > 0 && begin != mServices.end(); --skip)
        ++begin;
    // A page holds as many names as fit comfortably in one parcel; the client asks
    // again from where the page ended.
    size_t bytes = 8;
    int32_t count = 0;
    auto end = begin;
    for (; end != mServices.end(); ++end) {
        const size_t size = Parcel::string16Size(end->first.size());
        if (bytes + size > MAX_PARCEL_DATA / 2)
            break;
        bytes += size;
        ++count;
    }
    reply->writeInt32(static_cast<int32_t>(total));
    reply->writeInt32(count);
    for (auto it = begin; it != end; ++it)
        reply->writeString16(it->first);
    return OK;
}

void ServiceRegistry::connectionClosed(uint64_t connectionId)
{
    std::lock_guard<std::mutex> lock(mLock);
    std::erase_if(mServices, [connectionId](const auto& item) { return item.second.owner == connectionId; });
}

} // namespace quorvel
