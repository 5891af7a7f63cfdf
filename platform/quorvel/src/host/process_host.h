#pragma once
// ProcessHost: this process's one ObjectHost and its stop signal, and serving them:
// accepting on the endpoint until a stop, or until the service manager this process
// registered with goes away.

#include <quorvel/status.h>

#include "connection.h"
#include "object_host.h"
#include "server.h"
#include "stop_signal.h"

#include <mutex>

namespace quorvel {

class ProcessHost final {
public:
    static ProcessHost& self();

    ObjectHost& host() { return mHost; }
    StopSignal& stop() { return mStop; }

    // serve() returns when this connection (the one services were registered over)
    // closes: the service manager is gone and the registrations with it.
    void watchConnection(const sp<Connection>& connection);
    status_t serve();

private:
    ProcessHost()
        : mServer(mHost.dispatcher)
    {
    }
    ~ProcessHost() = default; // never destroyed: see self()

    ObjectHost mHost;
    StopSignal mStop;
    Server mServer;
    std::mutex mLock; // guards what follows
    sp<Connection> mWatched;
    bool mServing = false;
};

} // namespace quorvel
