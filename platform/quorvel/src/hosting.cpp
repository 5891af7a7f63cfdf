// The hosting and serving entry points of the public headers, over ProcessHost, and
// the host installed as this process's objects for the code below it.
#include <quorvel/hosting.h>
#include <quorvel/service_manager.h>

#include "calling_peer.h"
#include "process_host.h"
#include "process_objects.h"

#include <csignal>

namespace quorvel {

namespace {

// The process's host as ProcessObjects: made on first use, like every entry point here.
class HostedObjects final : public ProcessObjects {
public:
    ObjectTable& objects() override { return ProcessHost::self().host().objects; }
    void watchRegistrations(const sp<Connection>& connection) override
    {
        ProcessHost::self().watchConnection(connection);
    }
};

HostedObjects hostedObjects;

} // namespace

// Installs the host before main() in every program that links the hosting library:
// its link options name this symbol, so this file is always part of such a program,
// and an object it registers is exported even if it never calls serve().
extern "C" const bool quorvel_host_installed = (installProcessObjects(hostedObjects), true);

const CallingPeer* callingPeer()
{
    const CurrentCall* call = CurrentCall::get();
    return call ? &call->peer() : nullptr;
}

status_t listenOnPath(const std::string& path, SocketPathRefusal* refusal)
{
    return ProcessHost::self().host().endpoint.listenOnPath(path, refusal);
}

void setContextObject(const sp<IBinder>& object)
{
    ProcessHost::self().host().objects.setContextObject(object);
}

void setConnectionClosedHandler(std::function<void(uint64_t)> handler)
{
    ProcessHost::self().host().dispatcher.setConnectionClosedHandler(std::move(handler));
}

std::string localEndpoint()
{
    return ProcessHost::self().host().endpoint.address();
}

status_t describeObject(const sp<IBinder>& object, std::string* endpoint, uint32_t* handle)
{
    ObjectRef ref;
    const status_t status = ProcessHost::self().host().objects.describeObject(object, &ref);
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
    ProcessHost::self().stop().request();
}

bool stopRequested()
{
    return ProcessHost::self().stop().requested();
}

bool waitForStop(int timeoutMs)
{
    return ProcessHost::self().stop().waitFor(timeoutMs);
}

status_t referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound)
{
    // Within a call, the host that received its frame checks: what it learns about the
    // peer is forgotten when that host hears the peer's connection close.
    const CurrentCall* call = CurrentCall::get();
    CallingPeers& peers = call ? call->peers() : ProcessHost::self().host().peers;
    return peers.referenceHostedBy(object, peer, bound);
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
