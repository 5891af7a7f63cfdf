// In-process tests of `service`'s command driver: the usage text, every exit status
// and every diagnostic, against a fake service manager and fake services, with
// standard output and error caught on the descriptors the tool's callers read.
#include <command_driver.h>
#include <display_text.h>

#include <test_support/captured_text.h>

#include "usage_text.h"

#include <gtest/gtest.h>

#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/service_manager.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/vector.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::status_t;
using quorvel::statusToString;
using quorvel::String16;

// What every fake service answers a call with.
void writeReply(Parcel& reply)
{
    reply.writeInt32(42);
    reply.writeString16(String16("reply"));
}

// The tool's line for that reply.
std::string resultLine()
{
    Parcel reply;
    writeReply(reply);
    return "Result: " + quorvel::testing::printed(reply) + "\n";
}

// A service: answers the descriptor query with its descriptor or a failure, and any
// other code with a reply of its own and `callStatus`, keeping what it was sent.
class FakeService : public IBinder {
public:
    FakeService(const char* descriptor, status_t queryStatus = quorvel::OK, std::string host = {})
        : mDescriptor(descriptor)
        , mQueryStatus(queryStatus)
        , mHost(std::move(host))
    {
    }

    status_t callStatus = quorvel::OK;
    int queries = 0;
    int calls = 0;
    uint32_t lastCode = 0;
    std::vector<uint8_t> lastData;

    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        if (code == servicetool::INTERFACE_QUERY_CODE) {
            ++queries;
            if (mQueryStatus == quorvel::OK)
                reply->writeString16(String16(mDescriptor));
            reply->setDataPosition(0);
            return mQueryStatus;
        }
        ++calls;
        lastCode = code;
        lastData.assign(data.data(), data.data() + data.dataSize());
        writeReply(*reply);
        return callStatus;
    }

    std::string hostKey() const override { return mHost; }

private:
    const char* mDescriptor;
    status_t mQueryStatus;
    std::string mHost;
};

// A sorted registry that answers `answers` look-ups and listings, then fails every
// further one with `failure` (when that is not OK), as a service manager that stops.
class FakeServiceManager : public quorvel::ServiceManagerPort {
public:
    void add(const char* name, const sp<IBinder>& service) { mServices[String16(name)] = service; }

    status_t failure = quorvel::OK;
    size_t answers = 0;
    size_t requests = 0;

    sp<IBinder> checkService(const String16& name) override
    {
        const auto found = mServices.find(name);
        return found == mServices.end() ? sp<IBinder>() : found->second;
    }
    quorvel::Vector<String16> listServices() override
    {
        quorvel::Vector<String16> names;
        for (const auto& entry : mServices)
            names.add(entry.first);
        return names;
    }
    status_t addService(const String16&, const sp<IBinder>&) override { return quorvel::PERMISSION_DENIED; }
    sp<IBinder> asBinder() override { return {}; }

    status_t lookUpService(const String16& name, sp<IBinder>* service) override
    {
        const status_t status = nextAnswer();
        *service = status == quorvel::OK ? checkService(name) : sp<IBinder>();
        return status;
    }
    status_t getServiceNames(quorvel::Vector<String16>* names) override
    {
        const status_t status = nextAnswer();
        *names = status == quorvel::OK ? listServices() : quorvel::Vector<String16>();
        return status;
    }

private:
    status_t nextAnswer() { return ++requests > answers ? failure : quorvel::OK; }

    std::map<String16, sp<IBinder>> mServices;
};

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs `body` with fds 1 and 2 on `outFd` and `errFd` (the same file to see how the
// two interleave) and returns its status.
int redirected(int outFd, int errFd, const std::function<int()>& body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int savedErr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const bool ready = outFd >= 0 && errFd >= 0 && savedOut >= 0 && savedErr >= 0;
    EXPECT_TRUE(ready) << "cannot redirect the standard streams";
    int status = -1;
    if (ready && ::dup2(outFd, STDOUT_FILENO) >= 0 && ::dup2(errFd, STDERR_FILENO) >= 0)
        status = body();
    // getopt reports through stdio; the driver has flushed its own streams.
    std::fflush(stdout);
    std::fflush(stderr);
    if (savedOut >= 0) {
        ::dup2(savedOut, STDOUT_FILENO);
        ::close(savedOut);
    }
    if (savedErr >= 0) {
        ::dup2(savedErr, STDERR_FILENO);
        ::close(savedErr);
    }
    return status;
}

Outcome captured(const std::function<int()>& body)
{
    const int outFd = quorvel::testing::memoryFile();
    const int errFd = quorvel::testing::memoryFile();
    Outcome outcome;
    outcome.status = redirected(outFd, errFd, body);
    outcome.out = quorvel::testing::readAll(outFd);
    outcome.err = quorvel::testing::readAll(errFd);
    ::close(outFd);
    ::close(errFd);
    return outcome;
}

std::string capturedTogether(const std::function<int()>& body)
{
    const int fd = quorvel::testing::memoryFile();
    redirected(fd, fd, body);
    std::string text = quorvel::testing::readAll(fd);
    ::close(fd);
    return text;
}

void expectOutcome(const Outcome& outcome, const std::string& out, const std::string& err, int status)
{
    EXPECT_EQ(outcome.out, out);
    EXPECT_EQ(outcome.err, err);
    EXPECT_EQ(outcome.status, status);
}

// A status's meaning and number, as the lost-manager and failed-transaction
// diagnostics end.
std::string described(status_t status)
{
    return std::string(statusToString(status)) + " (" + std::to_string(status) + ")";
}

// The data parcel's bytes of a call to a service with descriptor `descriptor`.
std::vector<uint8_t> callData(const char* descriptor, const std::function<void(Parcel&)>& fill = {})
{
    Parcel data;
    data.writeInterfaceToken(String16(descriptor));
    if (fill)
        fill(data);
    return std::vector<uint8_t>(data.data(), data.data() + data.dataSize());
}

// A registry like the example services' for each test.
class ServiceCommand : public testing::Test {
protected:
    void SetUp() override
    {
        manager->add("echo", echo);
        manager->add("failing", failing);
        manager->add("nodescriptor", sp<IBinder>(new FakeService("")));
        manager->add("refusing", sp<IBinder>(new FakeService("test.IRefusing", quorvel::UNKNOWN_TRANSACTION)));
        failing->callStatus = quorvel::PERMISSION_DENIED;
    }

    std::function<int()> command(std::vector<std::string> arguments)
    {
        return [this, arguments] {
            std::vector<std::string> words{"service"};
            words.insert(words.end(), arguments.begin(), arguments.end());
            std::vector<char*> argv;
            for (std::string& word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            return servicetool::runCommand(*manager, static_cast<int>(words.size()), argv.data());
        };
    }
    Outcome service(std::vector<std::string> arguments) { return captured(command(std::move(arguments))); }
    std::string together(std::vector<std::string> arguments) { return capturedTogether(command(std::move(arguments))); }

    sp<FakeServiceManager> manager{new FakeServiceManager};
    sp<FakeService> echo{new FakeService("test.IEcho")};
    sp<FakeService> failing{new FakeService("test.IFailing")};
};

// ---------------------------------------------------------------------------
// Usage text, options and command words

using Usage = ServiceCommand;

TEST_F(Usage, NoArgumentsDashHAndDashQuestionPrintOnlyTheUsageAndAskNothing)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"-?"}, {"-h", "list"}, {"-?", "call", "echo", "1"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        expectOutcome(service(arguments), USAGE, "", 0);
    }
    EXPECT_EQ(manager->requests, 0u);
    EXPECT_EQ(echo->queries + echo->calls, 0);
}

TEST_F(Usage, UnknownOptionGetsTheLibraryDiagnosticAndTheUsageButRunsNothing)
{
    const Outcome outcome = service({"-x", "list"});
    expectOutcome(outcome, USAGE, "service: invalid option -- 'x'\n", 0);
    EXPECT_EQ(together({"-x", "list"}), outcome.err + outcome.out);
    EXPECT_EQ(manager->requests, 0u);
}

TEST_F(Usage, OptionParsingStopsAtTheCommandWord)
{
    // The driver has to stop by itself, not because the environment asks getopt to.
    ASSERT_EQ(getenv("POSIXLY_CORRECT"), nullptr);
    expectOutcome(service({"check", "-h"}), "Service -h: not found\n", "", 0);
    expectOutcome(service({"check", "-x"}), "Service -x: not found\n", "", 0);
    expectOutcome(service({"--", "check", "echo"}), "Service echo: found\n", "", 0);
}

TEST_F(Usage, UnknownCommandsAndMissingOperandsAreReportedBeforeTheUsageWith10)
{
    expectOutcome(service({"LIST"}), USAGE, "service: Unknown command LIST\n", 10);
    expectOutcome(service({"checks", "echo"}), USAGE, "service: Unknown command checks\n", 10);
    expectOutcome(service({""}), USAGE, "service: Unknown command \n", 10);
    EXPECT_EQ(together({"frob"}), "service: Unknown command frob\n" + USAGE);

    expectOutcome(service({"check"}), USAGE, "service: No service specified for check\n", 10);
    EXPECT_EQ(together({"check"}), "service: No service specified for check\n" + USAGE);
    expectOutcome(service({"call"}), USAGE, "service: No service specified for call\n", 10);
    expectOutcome(service({"call", "echo"}), USAGE, "service: No code specified for call\n", 10);
    EXPECT_EQ(manager->requests, 0u);
}

// ---------------------------------------------------------------------------
// list and check

using ListAndCheck = ServiceCommand;

TEST_F(ListAndCheck, AnswersExitWith0WhateverTheyFind)
{
    expectOutcome(service({"check", "echo"}), "Service echo: found\n", "", 0);
    expectOutcome(service({"check", "nothing", "echo"}), "Service nothing: not found\n", "", 0);
    // A service without a descriptor, or refusing to say, is found all the same.
    expectOutcome(service({"check", "refusing"}), "Service refusing: found\n", "", 0);
    const std::string listing = "Found 4 services:\n0\techo: [test.IEcho]\n1\tfailing: [test.IFailing]\n"
                                "2\tnodescriptor: []\n3\trefusing: []\n";
    expectOutcome(service({"list"}), listing, "", 0);
    expectOutcome(service({"list", "extra", "-h"}), listing, "", 0);
}

TEST_F(ListAndCheck, ServiceManagerThatStopsAnsweringIsNeverAnEmptyRegistryOrAMissingName)
{
    const std::string lost = "service: Service manager stopped answering: " + described(quorvel::DEAD_OBJECT) + "\n";
    manager->failure = quorvel::DEAD_OBJECT;
    expectOutcome(service({"list"}), "", lost, 20);
    expectOutcome(service({"check", "echo"}), "", lost, 20);
    expectOutcome(service({"check", "nothing"}), "", lost, 20);
    expectOutcome(service({"call", "echo", "1", "i32", "5"}), "", lost, 20);
    EXPECT_EQ(echo->queries + echo->calls, 0);

    // The listing and the first look-up answered; the second did not.
    manager->requests = 0;
    manager->answers = 2;
    expectOutcome(service({"list"}), "Found 4 services:\n0\techo: [test.IEcho]\n", lost, 20);
}

TEST_F(ListAndCheck, NoServiceManagerIsReportedWith20)
{
    expectOutcome(captured(servicetool::reportNoServiceManager), "",
                  "service: Unable to get default service manager!\n", 20);
}

TEST_F(ListAndCheck, HostsThatFailTheQueryAreListedThenReportedWith30)
{
    // Failures of the object system are reported; an answer the service chose is not.
    manager->add("a.dead", sp<IBinder>(new FakeService("x", quorvel::DEAD_OBJECT)));
    manager->add("a.late", sp<IBinder>(new FakeService("x", quorvel::TIMED_OUT)));
    manager->add("a.garbled", sp<IBinder>(new FakeService("x", quorvel::FAILED_TRANSACTION)));
    manager->add("a.denying", sp<IBinder>(new FakeService("x", quorvel::PERMISSION_DENIED)));
    const std::string dead = std::string("service: a.dead: ") + statusToString(quorvel::DEAD_OBJECT) + "\n";
    const std::string garbled =
        std::string("service: a.garbled: ") + statusToString(quorvel::FAILED_TRANSACTION) + "\n";
    const std::string late = std::string("service: a.late: ") + statusToString(quorvel::TIMED_OUT) + "\n";
    const std::string rest =
        "4\techo: [test.IEcho]\n5\tfailing: [test.IFailing]\n6\tnodescriptor: []\n7\trefusing: []\n";
    expectOutcome(service({"list"}),
                  "Found 8 services:\n0\ta.dead: []\n1\ta.denying: []\n2\ta.garbled: []\n3\ta.late: []\n" + rest,
                  dead + garbled + late, 30);
    // Each diagnostic follows its own line.
    EXPECT_EQ(together({"list"}),
              "Found 8 services:\n0\ta.dead: []\n" + dead + "1\ta.denying: []\n2\ta.garbled: []\n" + garbled +
                  "3\ta.late: []\n" + late + rest);
}

TEST_F(ListAndCheck, HostThatMissedTheDeadlineIsAskedOnceAndOthersEveryTime)
{
    std::vector<sp<FakeService>> stalled;
    std::vector<sp<FakeService>> dead;
    std::string listing = "Found 10 services:\n";
    std::string diagnostics;
    for (int i = 0; i < 3; ++i) {
        stalled.emplace_back(new FakeService("x", quorvel::TIMED_OUT, "stalled-host"));
        dead.emplace_back(new FakeService("x", quorvel::DEAD_OBJECT, "dead-host"));
        manager->add(("a" + std::to_string(i)).c_str(), stalled.back());
        manager->add(("b" + std::to_string(i)).c_str(), dead.back());
    }
    for (int i = 0; i < 3; ++i) {
        listing += std::to_string(i) + "\ta" + std::to_string(i) + ": []\n";
        diagnostics += "service: a" + std::to_string(i) + ": " + statusToString(quorvel::TIMED_OUT) + "\n";
    }
    for (int i = 0; i < 3; ++i) {
        listing += std::to_string(i + 3) + "\tb" + std::to_string(i) + ": []\n";
        diagnostics += "service: b" + std::to_string(i) + ": " + statusToString(quorvel::DEAD_OBJECT) + "\n";
    }
    listing += "6\techo: [test.IEcho]\n7\tfailing: [test.IFailing]\n8\tnodescriptor: []\n9\trefusing: []\n";
    expectOutcome(service({"list"}), listing, diagnostics, 30);
    EXPECT_EQ(stalled[0]->queries + stalled[1]->queries + stalled[2]->queries, 1);
    EXPECT_EQ(dead[0]->queries + dead[1]->queries + dead[2]->queries, 3);
    EXPECT_EQ(echo->queries, 1);
}

// ---------------------------------------------------------------------------
// call

using Call = ServiceCommand;

TEST_F(Call, SendsTheTokenAndTheArgumentsWithTheCodeConvertedLikeAtoi)
{
    expectOutcome(service({"call", "echo", " +17x", "i32", "-7", "s16", "hi", "null"}), resultLine(), "", 0);
    EXPECT_EQ(echo->lastCode, 17u);
    EXPECT_EQ(echo->lastData, callData("test.IEcho", [](Parcel& data) {
                  data.writeInt32(-7);
                  data.writeString16(String16("hi"));
                  data.writeStrongBinder(sp<IBinder>());
              }));
    expectOutcome(service({"call", "echo", "-1"}), resultLine(), "", 0);
    EXPECT_EQ(echo->lastCode, 0xFFFFFFFFu);
    EXPECT_EQ(echo->lastData, callData("test.IEcho"));
    EXPECT_EQ(echo->calls, 2);
}

TEST_F(Call, ServiceWithoutADescriptorDoesNotExistAndOneUnreachableSaysWhy)
{
    for (const char* name : {"nothing", "nodescriptor", "refusing"}) {
        SCOPED_TRACE(name);
        expectOutcome(service({"call", name, "1", "i32", "5"}), "",
                      std::string("service: Service ") + name + " does not exist\n", 10);
    }
    for (const status_t status : {quorvel::DEAD_OBJECT, quorvel::TIMED_OUT, quorvel::FAILED_TRANSACTION}) {
        SCOPED_TRACE(status);
        manager->add("gone", sp<IBinder>(new FakeService("x", status)));
        expectOutcome(
            service({"call", "gone", "1"}), "",
            std::string("service: gone: ") + statusToString(status) + "\nservice: Service gone does not exist\n", 30);
    }
}

TEST_F(Call, FailedTransactionPrintsTheReplyThenTheDiagnosticAndExits30)
{
    const std::string failed = "service: Transaction failed: " + described(quorvel::PERMISSION_DENIED) + "\n";
    const Outcome outcome = service({"call", "failing", "5"});
    expectOutcome(outcome, resultLine(), failed, 30);
    EXPECT_EQ(together({"call", "failing", "5"}), outcome.out + outcome.err);
    // A positive status is no answer either.
    failing->callStatus = 1;
    EXPECT_EQ(service({"call", "failing", "5"}).status, 30);
}

TEST_F(Call, BadArgumentIsReportedTheCallStillGoesAndTheUsageComesLast)
{
    const Outcome lone = service({"call", "echo", "3", "i32", "8", "s16"});
    expectOutcome(lone, resultLine() + USAGE, "service: no string supplied for 's16'\n", 10);
    EXPECT_EQ(echo->lastData, callData("test.IEcho", [](Parcel& data) { data.writeInt32(8); }));
    EXPECT_EQ(together({"call", "echo", "3", "i32"}),
              "service: no integer supplied for 'i32'\n" + resultLine() + USAGE);

    // Both diagnostics, and the bad command line's status wins.
    expectOutcome(service({"call", "failing", "5", "i32"}), resultLine() + USAGE,
                  "service: no integer supplied for 'i32'\nservice: Transaction failed: " +
                      described(quorvel::PERMISSION_DENIED) + "\n",
                  10);
}

TEST_F(Call, ValueTheParcelHasNoRoomForIsABadArgumentAndNothingTakesItsPlace)
{
    for (const std::string& kind : std::vector<std::string>{"s16", "intent"}) {
        SCOPED_TRACE(kind);
        const std::string value = (kind == "s16" ? "" : "action=") + std::string(40000, 'x');
        expectOutcome(service({"call", "echo", "1", "i32", "5", kind, value, "i32", "7"}), resultLine() + USAGE,
                      "service: " + kind + " argument too large\n", 10);
        EXPECT_EQ(echo->lastData, callData("test.IEcho", [](Parcel& data) { data.writeInt32(5); }));
    }
}

} // namespace
