// The command driver of `service`: lists the registered services with their
// interface descriptors, checks whether one is registered, and sends one transaction
// built from the command line, printing the reply.
//
// This is the only part of the tool that prints; the call argument encoder and the
// display text beside it return statuses and texts.
#include "command_driver.h"

#include "call_arguments.h"
#include "display_text.h"

#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/service_manager.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/string8.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/text_output.h>
#include <quorvel/vector.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

namespace servicetool {

using quorvel::aerr;
using quorvel::aout;
using quorvel::endl;
using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::ServiceManagerPort;
using quorvel::sp;
using quorvel::status_t;
using quorvel::String16;
using quorvel::Vector;

namespace {

constexpr char USAGE_TEXT[] = "Usage: service [-h|-?]\n"
                              "       service list\n"
                              "       service check SERVICE\n"
                              "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
                              "Options:\n"
                              "   i32: Write the integer INT into the send parcel.\n"
                              "   s16: Write the UTF-16 string STR into the send parcel.\n";

// What one run carries from step to step.
struct Run {
    int status = 0;
    bool usageRequested = false;
};

// A failure of the object system itself, as opposed to an answer the object chose:
// the host is gone, did not answer in time, or answered nonsense.
bool unreachable(status_t status)
{
    return status == quorvel::DEAD_OBJECT || status == quorvel::TIMED_OUT || status == quorvel::FAILED_TRANSACTION;
}

// The service manager stopped answering in the middle of a command: never reported
// as an empty registry or a missing name.
void lostServiceManager(status_t status, Run& run)
{
    aerr << "service: Service manager stopped answering: " << quorvel::statusToString(status) << " (" << status << ")"
         << endl;
    run.status = STATUS_NO_SERVICE_MANAGER;
}

// A command-line error: the caller has written its diagnostic; the usage text
// follows at the end of the run.
void rejectCommandLine(Run& run)
{
    run.status = STATUS_BAD_COMMAND_LINE;
    run.usageRequested = true;
}

void runCheck(ServiceManagerPort& serviceManager, int argc, char** argv, int cursor, Run& run)
{
    if (cursor >= argc) {
        aerr << "service: No service specified for check" << endl;
        rejectCommandLine(run);
        return;
    }
    const char* name = argv[cursor];
    sp<IBinder> service;
    if (const status_t status = serviceManager.lookUpService(String16(name), &service); status != quorvel::OK) {
        lostServiceManager(status, run);
        return;
    }
    aout << "Service " << name << (service ? ": found" : ": not found") << endl;
}

// A name whose descriptor could not be asked for because its host failed: still
// listed, but never as a service that simply has no descriptor.
void reportUnreachable(const char* name, status_t status, Run& run)
{
    aerr << "service: " << name << ": " << quorvel::statusToString(status) << endl;
    run.status = STATUS_TRANSACTION_FAILED;
}

void runList(ServiceManagerPort& serviceManager, Run& run)
{
    Vector<String16> services;
    if (const status_t status = serviceManager.getServiceNames(&services); status != quorvel::OK) {
        lostServiceManager(status, run);
        return;
    }
    // Hosts that let a descriptor query run out of time in this listing. Their
    // other names fail at once: a stopped host holding many names would otherwise
    // cost one deadline per name.
    std::set<std::string> missedDeadline;
    const size_t count = services.size();
    aout << "Found " << static_cast<uint32_t>(count) << " services:" << endl;
    for (size_t i = 0; i < count; ++i) {
        const String16 name(services[i]);
        sp<IBinder> service;
        if (const status_t status = serviceManager.lookUpService(name, &service); status != quorvel::OK) {
            lostServiceManager(status, run);
            return;
        }
        const std::string host = service ? service->hostKey() : std::string();
        status_t queried = quorvel::TIMED_OUT;
        String16 descriptor;
        if (host.empty() || missedDeadline.count(host) == 0)
            descriptor = interfaceDescriptorOf(service, &queried);
        service.clear();
        aout << static_cast<uint32_t>(i) << "\t" << toAsciiString8(name).string() << ": [";
        aout << toAsciiString8(descriptor).string() << "]" << endl;
        if (unreachable(queried)) {
            reportUnreachable(toAsciiString8(name).string(), queried, run);
            if (queried == quorvel::TIMED_OUT && !host.empty())
                missedDeadline.insert(host);
        }
    }
}

void runCall(ServiceManagerPort& serviceManager, int argc, char** argv, int cursor, Run& run)
{
    if (cursor + 1 >= argc) {
        aerr << (cursor >= argc ? "service: No service specified for call" : "service: No code specified for call")
             << endl;
        rejectCommandLine(run);
        return;
    }
    const char* name = argv[cursor++];
    const char* codeText = argv[cursor++];

    sp<IBinder> service;
    if (const status_t status = serviceManager.lookUpService(String16(name), &service); status != quorvel::OK) {
        lostServiceManager(status, run);
        return;
    }
    status_t queried = quorvel::OK;
    const String16 descriptor = interfaceDescriptorOf(service, &queried);
    const auto code = static_cast<uint32_t>(toInt32(codeText));
    // The descriptor doubles as the existence test: the interface token is the
    // first thing every call carries, and there is none to write without it. A
    // service whose host could not be reached says why first, and no more time is
    // spent waiting on it.
    if (!service || descriptor.size() == 0) {
        if (unreachable(queried))
            reportUnreachable(name, queried, run);
        else
            run.status = STATUS_BAD_COMMAND_LINE;
        aerr << "service: Service " << name << " does not exist" << endl;
        return;
    }

    Parcel data;
    Parcel reply;
    data.writeInterfaceToken(descriptor);
    const EncodeResult encoded = encodeCallArguments(argc, argv, cursor, data);
    if (encoded.status != quorvel::OK) {
        aerr << "service: " << encoded.message.c_str() << endl;
        rejectCommandLine(run);
    }

    const status_t result = service->transact(code, data, &reply, 0);
    aout << "Result: " << reply << endl;
    if (result != quorvel::OK) {
        aerr << "service: Transaction failed: " << quorvel::statusToString(result) << " (" << result << ")" << endl;
        // A bad command line is the first thing to fix, so its status wins.
        if (run.status == 0)
            run.status = STATUS_TRANSACTION_FAILED;
    }
}

void dispatch(ServiceManagerPort& serviceManager, int argc, char** argv, Run& run)
{
    // The leading '+' stops option parsing at the command word and keeps getopt
    // from moving arguments about, so "i32 -5" is a value and never an option.
    // glibc starts a new scan, its internal state included, only when optind is 0.
#ifdef __GLIBC__
    optind = 0;
#else
    optind = 1;
#endif
    while (getopt(argc, argv, "+h?") != -1)
        run.usageRequested = true; // -h, -? and any unknown option (getopt reports it)

    const int cursor = optind;
    if (cursor >= argc || run.usageRequested) {
        run.usageRequested = true;
        return;
    }

    const char* command = argv[cursor];
    if (std::strcmp(command, "check") == 0) {
        runCheck(serviceManager, argc, argv, cursor + 1, run);
    } else if (std::strcmp(command, "list") == 0) {
        runList(serviceManager, run);
    } else if (std::strcmp(command, "call") == 0) {
        runCall(serviceManager, argc, argv, cursor + 1, run);
    } else {
        aerr << "service: Unknown command " << command << endl;
        rejectCommandLine(run);
    }
}

} // namespace

int runCommand(ServiceManagerPort& serviceManager, int argc, char** argv)
{
    Run run;
    dispatch(serviceManager, argc, argv, run);
    if (run.usageRequested)
        aout << USAGE_TEXT;
    aout.flush();
    aerr.flush();
    return run.status;
}

int reportNoServiceManager()
{
    aerr << "service: Unable to get default service manager!" << endl;
    return STATUS_NO_SERVICE_MANAGER;
}

} // namespace servicetool
