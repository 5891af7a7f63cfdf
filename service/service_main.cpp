// The `service` tool's entry: connects to the default service manager, has the
// command driver run the command line against it, and returns the exit status.
#include "service_main.h"

#include "command_driver.h"

#include <quorvel/service_manager.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/text_output.h>

#include <cstdio>

int serviceMain(int argc, char** argv)
{
    quorvel::sp<quorvel::ServiceManagerPort> serviceManager = quorvel::defaultServiceManager();
    // Anything the C library still buffers goes out before our first line.
    std::fflush(stdout);
    const int status =
        serviceManager ? servicetool::runCommand(*serviceManager, argc, argv) : servicetool::reportNoServiceManager();
    // Every other reference lived inside the command; the service manager goes last.
    serviceManager.clear();
    quorvel::aout.flush();
    quorvel::aerr.flush();
    return status;
}
