// servicemanager: the daemon that keeps the registry of named services. It listens on
// $QUORVEL_SERVICE_MANAGER (default /run/quorvel/servicemanager) in the foreground
// until SIGTERM or SIGINT, then removes its socket. It refuses a path whose folders
// another user could change, and one where a service manager still answers.
#include "service_registry.h"

#include <quorvel/hosting.h>
#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace quorvel;

namespace {

const char* refusal(status_t status)
{
    switch (status) {
    case -ELOOP: return "a folder on the way is a symbolic link";
    case -EPERM: return "a folder on the way is owned by another user or writable by others";
    case -EADDRINUSE: return "a service manager already answers there";
    case -EEXIST: return "something that is not a socket is in the way";
    default: return status < 0 && status > -4096 ? std::strerror(-status) : statusToString(status);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        aerr << "usage: servicemanager (the socket path comes from $" << SERVICE_MANAGER_ENV << ")" << endl;
        return 2;
    }
    (void)argv;
    const std::string path = serviceManagerPath();
    stopServingOnSignals();

    const status_t status = listenOnPath(path);
    if (status != OK) {
        aerr << "servicemanager: cannot listen on " << path.c_str() << ": " << refusal(status) << endl;
        return 1;
    }
    sp<ServiceRegistry> registry(new ServiceRegistry());
    setContextObject(registry);
    setConnectionClosedHandler([registry](uint64_t id) { registry->connectionClosed(id); });

    // Returns once stopped; the socket file has then been removed, if it was still ours.
    const status_t served = serve();
    if (served != OK) {
        aerr << "servicemanager: serving stopped: " << statusToString(served) << endl;
        return 1;
    }
    return 0;
}
