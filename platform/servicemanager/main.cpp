// servicemanager: the daemon that keeps the registry of named services. It listens on
// $QUORVEL_SERVICE_MANAGER (default /run/quorvel/servicemanager) in the foreground
// until SIGTERM or SIGINT, then removes its socket.
#include "service_registry.h"

#include <quorvel/hosting.h>
#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;

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
        aerr << "servicemanager: cannot listen on " << path.c_str() << ": "
             << (status < 0 && status > -4096 ? std::strerror(-status) : statusToString(status)) << endl;
        return 1;
    }
    // Remember which socket file is ours: on the way out we remove only that one,
    // never a newer daemon's.
    struct stat own{};
    ::stat(path.c_str(), &own);

    sp<ServiceRegistry> registry(new ServiceRegistry());
    setContextObject(registry);
    setConnectionClosedHandler([registry](uint64_t id) { registry->connectionClosed(id); });

    const status_t served = serve();

    struct stat now{};
    if (::stat(path.c_str(), &now) == 0 && now.st_ino == own.st_ino && now.st_dev == own.st_dev)
        ::unlink(path.c_str());
    if (served != OK) {
        aerr << "servicemanager: serving stopped: " << statusToString(served) << endl;
        return 1;
    }
    return 0;
}
