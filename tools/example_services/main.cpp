// example-services: registers the five example services with the service manager
// and serves them until SIGTERM or SIGINT, registering them again whenever the
// service manager restarts.
#include "example_services.h"
#include "registered_serving.h"

#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

using namespace quorvel;

int main(int argc, char**)
{
    if (argc > 1) {
        aerr << "usage: example-services (the service manager comes from $" << SERVICE_MANAGER_ENV << ")" << endl;
        return 2;
    }
    stopServingOnSignals();
    return serveRegistered("example-services", makeExampleServices());
}
