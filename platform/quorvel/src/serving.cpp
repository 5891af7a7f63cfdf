// The hosting and serving entry points of the public headers, over ProcessHost.
#include <quorvel/hosting.h>
#include <quorvel/service_manager.h>

#include "process_host.h"

#include <csignal>

namespace quorvel {

status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal)
{
    return ProcessHost::self().listenOnPath(path, refusal);
}

void setContextObject(const sp<IBinder>& object)
{
    ProcessHost::self().setContextObject(object);
}

void setConnectionClosedHandler(std::function<void(uint64_t)> handler)
{
    ProcessHost::self().setConnectionClosedHandler(std::move(handler));
}

std::string localEndpoint()
{
    return ProcessHost::self().endpoint();
}

status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle)
{
    ObjectRef ref;
    const status_t status = ProcessHost::self().describeObject(object, &ref);
    if (status == OK) {
        *endpoint = std::move(ref.endpoint);
        *handle = ref.handle;
    }
    return status;
}

status_t serve()
{
    return ProcessHost::self().serve();
}

void stopServing()
{
    ProcessHost::self().requestStop();
}

bool stopRequested()
{
    return ProcessHost::self().stopRequested();
}

bool waitForStop(int timeoutMs)
{
    return ProcessHost::self().waitForStop(timeoutMs);
}

void stopServingOnSignals()
{
    // No SA_RESTART: a blocking connect, send or receive returns EINTR, sees the stop
    // and gives up, so the program ends within a second whatever it was waiting on.
    struct sigaction action {};
    action.sa_handler = [](int) { stopServing(); };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace quorvel
