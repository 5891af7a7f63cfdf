// example-client: a small client of the object system, for trying the service
// manager and the example services by hand (and for tests that need a second
// process, such as one running under another uid).
//
//   example-client list                      names and descriptors
//   example-client check NAME                is NAME registered?
//   example-client call NAME CODE [i32 N | s16 TEXT | null]...
//   example-client register NAME             register an echo object under NAME
//   example-client serve NAME [DESCRIPTOR]   the same, then serve it until SIGTERM,
//                                            registering again after a manager restart;
//                                            DESCRIPTOR replaces quorvel.example.IEcho
#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include "example_services.h"
#include "registered_serving.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

using namespace quorvel;

namespace {

void usage()
{
    aerr << "usage: example-client list | check NAME | call NAME CODE [i32 N | s16 TEXT | null]... | register NAME"
            " | serve NAME [DESCRIPTOR]"
         << endl;
}

// Text from a peer as `service` prints it: printable ASCII as it is, a unit 0 left
// out, '?' for anything else. Control characters included: a name must never steer
// the terminal or start a line of its own.
void printPeerText(const String16& text)
{
    for (char16_t unit : text.view())
        if (unit != 0)
            aout << static_cast<char>(unit >= 0x20 && unit < 0x7F ? unit : '?');
}

// The descriptor, or "" when there is none.
void printDescriptor(const sp<IBinder>& binder)
{
    Parcel data, reply;
    if (!binder || binder->transact(INTERFACE_TRANSACTION, data, &reply) != OK)
        return;
    printPeerText(reply.readString16());
}

bool parseNumber(const char* text, long min, long max, long* out)
{
    char* end;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno || *end || end == text || value < min || value > max)
        return false;
    *out = value;
    return true;
}

int list(ServiceManagerPort& sm)
{
    const Vector<String16> names = sm.listServices();
    aout << "Found " << static_cast<uint32_t>(names.size()) << " services:" << endl;
    for (size_t i = 0; i < names.size(); ++i) {
        aout << static_cast<uint32_t>(i) << "\t";
        printPeerText(names[i]);
        aout << ": [";
        printDescriptor(sm.checkService(names[i]));
        aout << "]" << endl;
    }
    return 0;
}

int call(ServiceManagerPort& sm, int argc, char** argv)
{
    long code;
    if (argc < 2 || !parseNumber(argv[1], 0, 0xFFFFFFFFL, &code)) {
        usage();
        return 2;
    }
    const sp<IBinder> binder = sm.checkService(String16(argv[0]));
    if (!binder) {
        aerr << "example-client: no service " << argv[0] << endl;
        return 1;
    }
    Parcel data, reply;
    for (int i = 2; i < argc; ++i) {
        long value;
        if (!std::strcmp(argv[i], "i32") && i + 1 < argc && parseNumber(argv[i + 1], INT32_MIN, INT32_MAX, &value)) {
            data.writeInt32(static_cast<int32_t>(value));
            ++i;
        } else if (!std::strcmp(argv[i], "s16") && i + 1 < argc) {
            data.writeString16(String16(argv[++i]));
        } else if (!std::strcmp(argv[i], "null")) {
            data.writeStrongBinder(nullptr);
        } else {
            usage();
            return 2;
        }
    }
    const status_t status = binder->transact(static_cast<uint32_t>(code), data, &reply);
    aout << "Result: " << reply << endl;
    return status == OK ? 0 : 1;
}

int registerEcho(ServiceManagerPort& sm, const char* name)
{
    const status_t status = sm.addService(String16(name), makeExampleServices().front().object);
    if (status != OK) {
        aerr << "example-client: register " << name << ": " << statusToString(status) << " (" << status << ")" << endl;
        return 1;
    }
    aout << "registered " << name << endl;
    return 0;
}

// Registers an echo object under `name` and serves it, registering it again whenever
// the service manager restarts.
int serveEcho(const char* name, const char* descriptor)
{
    stopServingOnSignals();
    return serveRegistered("example-client", {ExampleService{name, makeEchoService(descriptor)}});
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    if (!std::strcmp(argv[1], "serve") && (argc == 3 || argc == 4))
        return serveEcho(argv[2], argc == 4 ? argv[3] : ECHO_DESCRIPTOR);
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    if (!sm) {
        aerr << "example-client: cannot reach the service manager" << endl;
        return 20;
    }
    const char* command = argv[1];
    if (!std::strcmp(command, "list") && argc == 2)
        return list(*sm);
    if (!std::strcmp(command, "check") && argc == 3) {
        const bool found = sm->checkService(String16(argv[2])) != nullptr;
        aout << "Service " << argv[2] << (found ? ": found" : ": not found") << endl;
        return found ? 0 : 1;
    }
    if (!std::strcmp(command, "call") && argc >= 4)
        return call(*sm, argc - 2, argv + 2);
    if (!std::strcmp(command, "register") && argc == 3)
        return registerEcho(*sm, argv[2]);
    usage();
    return 2;
}
