// The client side of the service manager: defaultServiceManager() and the port it
// returns, speaking the transactions of service_manager_protocol.h.
#include <quorvel/service_manager.h>

#include <quorvel/limits.h>
#include <quorvel/service_manager_protocol.h>

#include "binder_proxy.h"
#include "process_objects.h"
#include "stop_request.h"

#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace quorvel {

namespace {

const String16& descriptor()
{
    static const String16 text(SERVICE_MANAGER_DESCRIPTOR);
    return text;
}

// Connects to the service manager at serviceManagerPath() and has it prove itself;
// null when nothing there does.
sp<Connection> connectToManager();

class ServiceManagerClient : public ServiceManagerPort {
public:
    explicit ServiceManagerClient(const sp<Connection>& connection)
        : mConnection(connection)
        , mBinder(new BinderProxy(connection, 0))
    {
    }

    sp<IBinder> checkService(const String16& name) override
    {
        sp<IBinder> service;
        lookUpService(name, &service);
        return service;
    }

    Vector<String16> listServices() override
    {
        Vector<String16> names;
        getServiceNames(&names);
        return names;
    }

    status_t lookUpService(const String16& name, sp<IBinder>* service) override
    {
        *service = nullptr;
        Parcel data, reply;
        data.writeInterfaceToken(descriptor());
        data.writeString16(name);
        const status_t status = call(SM_CHECK_SERVICE, data, &reply);
        // The daemon refuses a name it cannot hold (BAD_VALUE): no such service. Any
        // other failure means it did not answer the question.
        if (status == BAD_VALUE)
            return OK;
        if (status != OK)
            return status;
        return reply.readStrongBinder(service) == OK ? OK : FAILED_TRANSACTION;
    }

    status_t getServiceNames(Vector<String16>* names) override
    {
        names->clear();
        // The daemon answers in pages that fit a frame; the count bounds the loop
        // even when the registry changes between pages.
        for (int32_t next = 0; next >= 0 && static_cast<size_t>(next) <= MAX_SERVICES;) {
            Parcel data, reply;
            data.writeInterfaceToken(descriptor());
            data.writeInt32(next);
            const status_t status = call(SM_LIST_SERVICES, data, &reply);
            if (status != OK) {
                names->clear();
                return status;
            }
            int32_t total = 0, count = 0;
            if (reply.readInt32(&total) != OK || reply.readInt32(&count) != OK || count < 0 || total < 0)
                return nonsense(names);
            if (count == 0)
                break;
            for (int32_t i = 0; i < count; ++i) {
                String16 name;
                if (reply.readString16(&name) != OK)
                    return nonsense(names);
                names->add(std::move(name));
            }
            next += count;
            if (next >= total)
                break;
        }
        return OK;
    }

    status_t addService(const String16& name, const sp<IBinder>& service) override
    {
        if (!service || !service->isLocal())
            return BAD_VALUE;
        Parcel data, reply;
        data.writeInterfaceToken(descriptor());
        data.writeString16(name);
        data.writeStrongBinder(service);
        sp<Connection> used;
        const status_t status = call(SM_ADD_SERVICE, data, &reply, &used);
        // The daemon drops our services when this connection closes, so it has to
        // live as long as we serve, and the port stays with it from now on.
        if (status == OK) {
            {
                std::lock_guard<std::mutex> lock(mLock);
                if (mConnection == used)
                    mRegistered = true;
            }
            processObjects().watchRegistrations(used);
        }
        return status;
    }

    sp<IBinder> asBinder() override
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mBinder;
    }

private:
    // A reply that does not hold what the protocol promises.
    static status_t nonsense(Vector<String16>* names)
    {
        names->clear();
        return BAD_TYPE;
    }

    // One request to the manager. The manager may have closed our connection while it
    // waited between calls (it makes room for newcomers that way), or an earlier call
    // may have failed on it: a request that finds it so connects again, once, with
    // every check of the first connect, and goes there. A request that went out is
    // never sent again. A port that has registered a name stays with the connection
    // that holds it: the manager forgot the name with that connection, and only
    // registering every name anew (serve() reports the loss) brings them back.
    status_t call(uint32_t code, const Parcel& data, Parcel* reply, sp<Connection>* used = nullptr)
    {
        sp<Connection> connection;
        {
            std::lock_guard<std::mutex> lock(mLock);
            connection = mConnection;
        }
        bool mayReconnect = !StopRequest::requested();
        if (connection->isDead() && mayReconnect) {
            mayReconnect = false;
            reconnect(&connection); // when it fails, the call below reports the old failure
        }
        bool sent = false;
        status_t status = connection->transactIfQuiet(0, code, data, reply, 0, &sent);
        if (status == DEAD_OBJECT && !sent && mayReconnect && !StopRequest::requested() && reconnect(&connection) == OK)
            status = connection->transactIfQuiet(0, code, data, reply, 0, &sent);
        if (used)
            *used = connection;
        return status;
    }

    // Replaces `*failed`, the port's connection as the caller saw it, unless another
    // call has already done so; DEAD_OBJECT when the manager cannot be reached.
    status_t reconnect(sp<Connection>* failed)
    {
        // Held while connecting, so that calls that fail at once connect only once.
        std::lock_guard<std::mutex> lock(mLock);
        if (mConnection == *failed) {
            if (mRegistered)
                return DEAD_OBJECT;
            const sp<Connection> fresh = connectToManager();
            if (!fresh)
                return DEAD_OBJECT;
            mConnection = fresh;
            mBinder = new BinderProxy(fresh, 0);
        }
        *failed = mConnection;
        return OK;
    }

    std::mutex mLock;
    sp<Connection> mConnection;
    sp<IBinder> mBinder; // bound to mConnection
    bool mRegistered = false; // a name is registered over mConnection
};

sp<Connection> connectToManager()
{
    // The manager listens only on an absolute path; anything else (a relative path,
    // an abstract '@' name that any user could bind) is no service manager.
    const char* path = serviceManagerPath();
    if (path[0] != '/')
        return nullptr;
    status_t status;
    const sp<Connection> connection = Connection::connectTo(path, processObjects().objects(), nullptr, &status);
    if (!connection)
        return nullptr;
    // Only root or we ourselves may play our service manager: a socket another user
    // put at the path (in a folder they could write to, during a restart) is not one,
    // however well it answers.
    if (connection->listener().uid != 0 && connection->listener().uid != ::geteuid())
        return nullptr;
    // Connecting proves only that something listens (or that a full daemon accepted
    // and is about to close us): the daemon must also answer as itself.
    Parcel data, reply;
    if (connection->transact(0, INTERFACE_TRANSACTION, data, &reply, 0) != OK)
        return nullptr;
    String16 answer;
    if (reply.readString16(&answer) != OK || !(answer == descriptor()))
        return nullptr;
    return connection;
}

} // namespace

const char* serviceManagerPath()
{
    const char* path = std::getenv(SERVICE_MANAGER_ENV);
    return path && *path ? path : SERVICE_MANAGER_DEFAULT_PATH;
}

sp<ServiceManagerPort> defaultServiceManager()
{
    const sp<Connection> connection = connectToManager();
    return connection ? sp<ServiceManagerPort>(new ServiceManagerClient(connection)) : nullptr;
}

} // namespace quorvel
