#pragma once
// The service manager as its clients see it: registration, look-up by name and the
// sorted listing of registered names. defaultServiceManager() connects to the daemon
// at $QUORVEL_SERVICE_MANAGER (default /run/quorvel/servicemanager).

#include <quorvel/binder.h>
#include <quorvel/ref_base.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/vector.h>

namespace quorvel {

inline constexpr const char* SERVICE_MANAGER_ENV = "QUORVEL_SERVICE_MANAGER";
inline constexpr const char* SERVICE_MANAGER_DEFAULT_PATH = "/run/quorvel/servicemanager";

class ServiceManagerPort : public RefBase {
public:
    // The registered object, or null when the name is not registered.
    virtual sp<IBinder> checkService(const String16& name) = 0;
    // Every registered name, sorted.
    virtual Vector<String16> listServices() = 0;
    // Registers a LocalBinder of this process under `name`, replacing an earlier one.
    virtual status_t addService(const String16& name, const sp<IBinder>& service) = 0;
    // The daemon itself as an object (answers the interface descriptor query).
    virtual sp<IBinder> asBinder() = 0;

    // The same look-up and listing, telling a name that is not registered (OK with a
    // null *service) from a service manager that did not answer (its failure status;
    // *service null, *names empty). A port that cannot fail keeps these defaults.
    virtual status_t lookUpService(const String16& name, sp<IBinder>* service)
    {
        *service = checkService(name);
        return OK;
    }
    virtual status_t getServiceNames(Vector<String16>* names)
    {
        *names = listServices();
        return OK;
    }
};

// The daemon's socket path: $QUORVEL_SERVICE_MANAGER when set and not empty, else
// the default.
const char* serviceManagerPath();

// A reference to the service manager, or null unless a service manager answers at
// the path: something that accepts and closes, stays silent past the IPC deadline or
// answers as anything else gives null too. Each call connects anew; a process
// normally calls it once.
sp<ServiceManagerPort> defaultServiceManager();

// Serves the transactions addressed to this process's LocalBinders until
// stopServing() is called (from a signal handler too) or the service manager
// connection is lost. Returns OK after stopServing (every connection is then closed),
// also when the manager went away at the same moment: a stop always wins. DEAD_OBJECT
// when the service manager went away (connections already open keep being served, so
// a process may register again and call serve() once more), another error otherwise.
status_t serve();
void stopServing();
// True from a stopServing() call until the serve() it ends has returned; lets a
// process that is still starting notice a stop that came before it served.
bool stopRequested();
// Waits up to `timeoutMs` milliseconds, ending early on a stop request; true if one
// came. A process that pauses between attempts waits here, so a signal that lands
// just before the pause still ends it at once.
bool waitForStop(int timeoutMs);
// SIGTERM and SIGINT call stopServing(); SIGPIPE is ignored, since a peer that goes
// away mid-reply is reported as a failed send, not by a signal.
void stopServingOnSignals();

} // namespace quorvel
