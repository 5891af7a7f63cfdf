// example-services: registers the five example services with the service manager
// and serves them until SIGTERM or SIGINT.
#include "example_services.h"

#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <ctime>

using namespace quorvel;

namespace {

// The service manager may still be starting: try for a few seconds.
sp<ServiceManagerPort> waitForServiceManager()
{
    for (int attempt = 0; attempt < 100 && !stopRequested(); ++attempt) {
        if (sp<ServiceManagerPort> sm = defaultServiceManager())
            return sm;
        const timespec pause{0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return nullptr;
}

} // namespace

int main(int argc, char**)
{
    if (argc > 1) {
        aerr << "usage: example-services (the service manager comes from $" << SERVICE_MANAGER_ENV << ")" << endl;
        return 2;
    }
    stopServingOnSignals();
    const char* path = serviceManagerPath();
    const sp<ServiceManagerPort> sm = waitForServiceManager();
    if (!sm) {
        if (stopRequested())
            return 0;
        aerr << "example-services: cannot reach the service manager at " << path << endl;
        return 1;
    }
    for (const ExampleService& service : makeExampleServices()) {
        const status_t status = sm->addService(String16(service.name), service.object);
        if (status != OK) {
            aerr << "example-services: cannot register " << service.name << ": " << statusToString(status) << " ("
                 << status << ")" << endl;
            return 1;
        }
    }
    const status_t status = serve();
    if (status != OK) {
        aerr << "example-services: stopped serving: " << statusToString(status) << endl;
        return 1;
    }
    return 0;
}
