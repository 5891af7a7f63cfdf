// The `service` tool: lists the registered services with their interface
// descriptors, checks whether one is registered, and sends one transaction built
// from the command line, printing the reply.
//
// Everything but serviceMain is file-local. The unit tests and the fuzz targets
// include this file to reach those helpers (encodeCallArguments, Run,
// toAsciiString8 and the status constants among them), so it must stay free of a
// main() and of global state that survives a call.
#include "service_main.h"

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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using quorvel::aerr;
using quorvel::aout;
using quorvel::endl;
using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::ServiceManagerPort;
using quorvel::sp;
using quorvel::status_t;
using quorvel::String16;
using quorvel::String8;
using quorvel::Vector;

// The transaction every object answers with its interface descriptor: the
// characters '_', 'N', 'T', 'F', the first one in the most significant byte.
constexpr uint32_t INTERFACE_QUERY_CODE = 0x5F4E5446;
static_assert(INTERFACE_QUERY_CODE ==
              ((uint32_t{'_'} << 24) | (uint32_t{'N'} << 16) | (uint32_t{'T'} << 8) | uint32_t{'F'}));
static_assert(INTERFACE_QUERY_CODE == quorvel::INTERFACE_TRANSACTION);

// Exit statuses beside 0, which means the command ran whatever it found.
constexpr int STATUS_BAD_COMMAND_LINE = 10;
constexpr int STATUS_NO_SERVICE_MANAGER = 20;
constexpr int STATUS_TRANSACTION_FAILED = 30;

constexpr char USAGE_TEXT[] =
    "Usage: service [-h|-?]\n"
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

// A command-line error: the caller has written its diagnostic; the usage text
// follows at the end of the run.
void rejectCommandLine(Run& run)
{
    run.status = STATUS_BAD_COMMAND_LINE;
    run.usageRequested = true;
}

// atoi with a defined result for every input: leading blanks and a sign are
// accepted, conversion stops at the first non-digit, no digits give 0, and a
// value beyond the 32-bit range saturates (atoi itself is undefined there, and
// the C library's answer differs between 32- and 64-bit targets).
int32_t toInt32(const char* text)
{
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The binder's interface descriptor, or an empty string when there is no binder
// or it does not answer the query with success. `status`, when given, receives the
// query's status (OK for a null binder); `failedReply`, when given, holds the reply.
String16 interfaceDescriptorOf(const sp<IBinder>& binder, status_t* status = nullptr, Parcel* failedReply = nullptr)
{
    if (status)
        *status = quorvel::OK;
    if (!binder)
        return String16();
    Parcel data;
    Parcel ownReply;
    Parcel& reply = failedReply ? *failedReply : ownReply;
    const status_t result = binder->transact(INTERFACE_QUERY_CODE, data, &reply, 0);
    if (status)
        *status = result;
    if (result != quorvel::OK)
        return String16();
    return reply.readString16();
}

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
    aerr << "service: Service manager stopped answering: " << quorvel::statusToString(status) << " (" << status
         << ")" << endl;
    run.status = STATUS_NO_SERVICE_MANAGER;
}

// The printable form of a name or descriptor: units below 128 as they are, a unit
// 0 dropped, and '?' for every unit that plain ASCII cannot show.
String8 toAsciiString8(const String16& text)
{
    String8 result;
    char unit[2] = {0, 0};
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        unit[0] = c < 128 ? static_cast<char>(c) : '?';
        result.append(unit);
    }
    return result;
}

// An absent text is written as int32 -1, so that the reader can tell it from an
// empty string.
void writeStringOrNull(Parcel& parcel, const char* text)
{
    if (text == nullptr)
        parcel.writeInt32(-1);
    else
        parcel.writeString16(String16(text));
}

// The fields of an intent record, all collected before any of them is written so
// that a later KEY=VALUE replaces an earlier one.
struct IntentFields {
    std::optional<std::string> action;
    std::optional<std::string> data;
    std::optional<std::string> type;
    int32_t launchFlags = 0;
    std::optional<std::string> component;
    std::vector<std::string> categories;
};

const char* textOrNull(const std::optional<std::string>& text)
{
    return text ? text->c_str() : nullptr;
}

void assignText(std::optional<std::string>& field, const char* value)
{
    if (value == nullptr)
        field.reset();
    else
        field = value;
}

// "a,,b" gives a and b: empty items are skipped, as strtok_r does.
std::vector<std::string> splitCategories(const char* value)
{
    std::vector<std::string> categories;
    std::string copy(value);
    char* save = nullptr;
    for (const char* item = strtok_r(copy.data(), ",", &save); item != nullptr;
         item = strtok_r(nullptr, ",", &save))
        categories.emplace_back(item);
    return categories;
}

// Takes every argument from the cursor on as KEY=VALUE until one has no KEY (an
// empty argument or one made only of '='), which is left under the cursor.
IntentFields collectIntentFields(int argc, char** argv, int& cursor)
{
    IntentFields fields;
    while (cursor < argc) {
        // strtok_r writes into the text it splits; argv must stay as given, since
        // a later diagnostic may quote the same argument.
        std::string argument(argv[cursor]);
        char* save = nullptr;
        const char* key = strtok_r(argument.data(), "=", &save);
        if (key == nullptr)
            break;
        const char* value = strtok_r(nullptr, "=", &save);

        if (std::strcmp(key, "action") == 0)
            assignText(fields.action, value);
        else if (std::strcmp(key, "data") == 0)
            assignText(fields.data, value);
        else if (std::strcmp(key, "type") == 0)
            assignText(fields.type, value);
        else if (std::strcmp(key, "launchFlags") == 0)
            fields.launchFlags = value ? toInt32(value) : 0;
        else if (std::strcmp(key, "component") == 0)
            assignText(fields.component, value);
        else if (std::strcmp(key, "categories") == 0)
            fields.categories = value ? splitCategories(value) : std::vector<std::string>();
        // Any other key is skipped without a word, like the words after an intent.
        ++cursor;
    }
    return fields;
}

void writeIntent(Parcel& parcel, const IntentFields& fields)
{
    writeStringOrNull(parcel, textOrNull(fields.action));
    writeStringOrNull(parcel, textOrNull(fields.data));
    writeStringOrNull(parcel, textOrNull(fields.type));
    parcel.writeInt32(fields.launchFlags);
    writeStringOrNull(parcel, textOrNull(fields.component));
    parcel.writeInt32(static_cast<int32_t>(fields.categories.size()));
    for (const std::string& category : fields.categories)
        parcel.writeString16(String16(category.c_str()));
    parcel.writeInt32(-1);
}

// Appends the call arguments from the cursor on to `data`. A bad argument is
// reported and ends the encoding; what was written before it stays, since the
// transaction is sent all the same.
void encodeCallArguments(int argc, char** argv, int& cursor, Parcel& data, Run& run)
{
    while (cursor < argc) {
        const char* kind = argv[cursor++];
        if (std::strcmp(kind, "i32") == 0) {
            if (cursor >= argc) {
                aerr << "service: no integer supplied for 'i32'" << endl;
                rejectCommandLine(run);
                return;
            }
            data.writeInt32(toInt32(argv[cursor++]));
        } else if (std::strcmp(kind, "s16") == 0) {
            if (cursor >= argc) {
                aerr << "service: no string supplied for 's16'" << endl;
                rejectCommandLine(run);
                return;
            }
            data.writeString16(String16(argv[cursor++]));
        } else if (std::strcmp(kind, "null") == 0) {
            data.writeStrongBinder(sp<IBinder>());
        } else if (std::strcmp(kind, "intent") == 0) {
            writeIntent(data, collectIntentFields(argc, argv, cursor));
        } else {
            aerr << "service: unknown option " << kind << endl;
            rejectCommandLine(run);
            return;
        }
    }
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

void runList(ServiceManagerPort& serviceManager, Run& run)
{
    Vector<String16> services;
    if (const status_t status = serviceManager.getServiceNames(&services); status != quorvel::OK) {
        lostServiceManager(status, run);
        return;
    }
    const size_t count = services.size();
    aout << "Found " << static_cast<uint32_t>(count) << " services:" << endl;
    for (size_t i = 0; i < count; ++i) {
        const String16 name(services[i]);
        sp<IBinder> service;
        if (const status_t status = serviceManager.lookUpService(name, &service); status != quorvel::OK) {
            lostServiceManager(status, run);
            return;
        }
        aout << static_cast<uint32_t>(i) << "\t" << toAsciiString8(name).string() << ": [";
        aout << toAsciiString8(interfaceDescriptorOf(service)).string() << "]" << endl;
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
    Parcel failedReply;
    const String16 descriptor = interfaceDescriptorOf(service, &queried, &failedReply);
    const auto code = static_cast<uint32_t>(toInt32(codeText));
    // A service that cannot be reached is there but failed: its call fails as a
    // transaction does, and no more time is spent waiting on it.
    if (unreachable(queried)) {
        aout << "Result: " << failedReply << endl;
        aerr << "service: Transaction failed: " << quorvel::statusToString(queried) << " (" << queried << ")"
             << endl;
        run.status = STATUS_TRANSACTION_FAILED;
        return;
    }
    // The descriptor doubles as the existence test: the interface token is the
    // first thing every call carries, and there is none to write without it.
    if (!service || descriptor.size() == 0) {
        aerr << "service: Service " << name << " does not exist" << endl;
        run.status = STATUS_BAD_COMMAND_LINE;
        return;
    }

    Parcel data;
    Parcel reply;
    data.writeInterfaceToken(descriptor);
    encodeCallArguments(argc, argv, cursor, data, run);

    const status_t result = service->transact(code, data, &reply, 0);
    aout << "Result: " << reply << endl;
    if (result != quorvel::OK) {
        aerr << "service: Transaction failed: " << quorvel::statusToString(result) << " (" << result << ")"
             << endl;
        // A bad command line is the first thing to fix, so its status wins.
        if (run.status == 0)
            run.status = STATUS_TRANSACTION_FAILED;
    }
}

void runCommand(ServiceManagerPort& serviceManager, int argc, char** argv, Run& run)
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

int serviceMain(int argc, char** argv)
{
    Run run;
    sp<ServiceManagerPort> serviceManager = quorvel::defaultServiceManager();
    // Anything the C library still buffers goes out before our first line.
    std::fflush(stdout);
    if (!serviceManager) {
        aerr << "service: Unable to get default service manager!" << endl;
        run.status = STATUS_NO_SERVICE_MANAGER;
    } else {
        runCommand(*serviceManager, argc, argv, run);
        if (run.usageRequested)
            aout << USAGE_TEXT;
    }
    // Every other reference lived inside the command; the service manager goes last.
    serviceManager.clear();
    aout.flush();
    aerr.flush();
    return run.status;
}
