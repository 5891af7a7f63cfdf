// End-to-end tests of the `service` tool: the real binary against a real service
// manager and the example services on a private socket, comparing exact standard
// output, standard error, their interleaving and the exit status.
//
// Expected replies are never typed in as dumps: the test sends the same
// transaction itself, or the tool is run twice with arguments that must encode the
// same values, and the printed forms are compared.
#include <test_support/captured_text.h>
#include <test_support/process_fixture.h>
#include <test_support/process_stats.h>

#include "usage_text.h"

#include <gtest/gtest.h>

#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/parcel.h>
#include <quorvel/service_manager.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/text_output.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::String16;
using quorvel::testing::BackgroundProcess;
using quorvel::testing::printed;
using quorvel::testing::ProcessFixture;
using quorvel::testing::RunResult;

const std::string SERVICE = QUORVEL_SERVICE_PROGRAM;
const std::string NO_MANAGER = "QUORVEL_SERVICE_MANAGER=/nonexistent/quorvel/servicemanager";
const std::string NO_MANAGER_DIAGNOSTIC = "service: Unable to get default service manager!\n";

std::vector<std::string> serviceCommand(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{SERVICE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

void expectOutcome(const RunResult& outcome, const std::string& out, const std::string& err, int status)
{
    EXPECT_EQ(outcome.out, out);
    EXPECT_EQ(outcome.err, err);
    EXPECT_EQ(outcome.exitStatus, status);
    EXPECT_FALSE(outcome.timedOut);
}

// One service manager with the example services for each test suite: the tests
// only read from it.
class ServiceTool : public testing::Test {
protected:
    static void SetUpTestSuite() { world = std::make_unique<ProcessFixture>(); }
    static void TearDownTestSuite() { world.reset(); }
    void SetUp() override { ASSERT_TRUE(world->ready()) << world->error(); }

    static RunResult service(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {})
    {
        return world->run(serviceCommand(arguments), std::chrono::seconds(10), environment);
    }

    // "Result: " and the printed reply of the transaction the test sends itself to
    // `name` with `code` and a data parcel that starts with the service's own
    // descriptor as interface token; `fill` appends the arguments.
    static std::string resultOf(const char* name, uint32_t code, const std::function<void(Parcel&)>& fill = {},
                                quorvel::status_t* status = nullptr)
    {
        const sp<quorvel::ServiceManagerPort> serviceManager = quorvel::defaultServiceManager();
        EXPECT_TRUE(serviceManager);
        if (!serviceManager)
            return "";
        const sp<IBinder> binder = serviceManager->checkService(String16(name));
        EXPECT_TRUE(binder) << name;
        if (!binder)
            return "";
        Parcel query;
        Parcel descriptor;
        EXPECT_EQ(binder->transact(quorvel::INTERFACE_TRANSACTION, query, &descriptor, 0), quorvel::OK);
        Parcel data;
        Parcel reply;
        data.writeInterfaceToken(descriptor.readString16());
        if (fill)
            fill(data);
        const quorvel::status_t result = binder->transact(code, data, &reply, 0);
        if (status)
            *status = result;
        return "Result: " + printed(reply) + "\n";
    }

    static std::unique_ptr<ProcessFixture> world;
};

std::unique_ptr<ProcessFixture> ServiceTool::world;

// ---------------------------------------------------------------------------
// Without a service manager (usage, option and command-line diagnostics are tested
// in process against the command driver)

TEST(NoServiceManager, EveryCommandExitsWith20AndNoUsage)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"list"}, {"call", "example.echo", "1"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        expectOutcome(quorvel::testing::runProgram(serviceCommand(arguments), std::chrono::seconds(10), {NO_MANAGER}),
                      "", NO_MANAGER_DIAGNOSTIC, 20);
    }
}

// ---------------------------------------------------------------------------
// check

using Check = ServiceTool;

TEST_F(Check, FoundOrNotItExitsWith0AndOnlyTheFirstNameIsChecked)
{
    expectOutcome(service({"check", "example.echo"}), "Service example.echo: found\n", "", 0);
    expectOutcome(service({"check", "example.nothing"}), "Service example.nothing: not found\n", "", 0);
    expectOutcome(service({"check", "example.ech"}), "Service example.ech: not found\n", "", 0);
    // Services without a descriptor are found all the same.
    expectOutcome(service({"check", "example.nodescriptor"}), "Service example.nodescriptor: found\n", "", 0);
    expectOutcome(service({"check", "example.refusing"}), "Service example.refusing: found\n", "", 0);
    expectOutcome(service({"check", "example.nothing", "example.echo"}), "Service example.nothing: not found\n", "", 0);
    // A name that is not ASCII is printed as given.
    expectOutcome(service({"check", "caf\xc3\xa9"}), "Service caf\xc3\xa9: not found\n", "", 0);
}

// ---------------------------------------------------------------------------
// list

using List = ServiceTool;

TEST_F(List, ShowsEveryServiceInOrderWithItsDescriptor)
{
    expectOutcome(service({"list"}),
                  "Found 5 services:\n"
                  "0\texample.echo: [quorvel.example.IEcho]\n"
                  "1\texample.failing: [quorvel.example.IFailing]\n"
                  "2\texample.nodescriptor: []\n"
                  "3\texample.refusing: []\n"
                  "4\texample.unicode: [quorvel.example.Caf??]\n",
                  "", 0);
}

TEST(ListEmpty, NoServicesGivesTheCountAlone)
{
    ProcessFixture managerOnly({.startExampleServices = false});
    ASSERT_TRUE(managerOnly.ready()) << managerOnly.error();
    expectOutcome(managerOnly.run(serviceCommand({"list"})), "Found 0 services:\n", "", 0);
}

// A name and a descriptor chosen by a hostile peer: a screen clear, a title change
// ended by BEL, CR and LF with a forged entry after them, DEL and other controls.
// Both tools that list print each as '?', one line per service, the rest unchanged.
TEST(ListPeerText, ControlCharactersFromPeersPrintAsQuestionMarks)
{
    ProcessFixture world({.startExampleServices = false});
    ASSERT_TRUE(world.ready()) << world.error();
    const std::string name = "x\x1b[2J\x1b]0;owned\x07\r\n1\tforged: [y]\x7f.";
    const std::string descriptor = "d\x1b[31m\x07\r\nz\x7f\x01\x1f";
    quorvel::testing::BackgroundProcess host;
    ASSERT_TRUE(world.serve(host, name, descriptor));

    const std::string listing = "Found 1 services:\n0\tx?[2J?]0;owned???1?forged: [y]?.: [d?[31m???z???]\n";
    expectOutcome(world.run(serviceCommand({"list"})), listing, "", 0);
    expectOutcome(world.run({quorvel::testing::exampleClientProgram(), "list"}), listing, "", 0);
}

// ---------------------------------------------------------------------------
// call: operands, codes and the replies

using Call = ServiceTool;

TEST_F(Call, CodeAloneSendsTheInterfaceToken)
{
    expectOutcome(service({"call", "example.echo", "3"}), resultOf("example.echo", 3), "", 0);
}

TEST_F(Call, CodeConvertsLikeAtoi)
{
    const std::string zero = resultOf("example.echo", 0);
    expectOutcome(service({"call", "example.echo", "abc"}), zero, "", 0);
    expectOutcome(service({"call", "example.echo", ""}), zero, "", 0);
    expectOutcome(service({"call", "example.echo", " +17x"}), resultOf("example.echo", 17), "", 0);
    expectOutcome(service({"call", "example.echo", "-1"}), resultOf("example.echo", 0xFFFFFFFFu), "", 0);
}

TEST_F(Call, UnregisteredOrDescriptorlessServicesDoNotExist)
{
    for (const char* name : {"example.nothing", "example.nodescriptor", "example.refusing"}) {
        SCOPED_TRACE(name);
        expectOutcome(service({"call", name, "1", "i32", "5"}), "",
                      std::string("service: Service ") + name + " does not exist\n", 10);
    }
}

TEST_F(Call, UnicodeDescriptorIsSentInFull)
{
    // The display text loses the non-ASCII units; the interface token must not.
    expectOutcome(service({"call", "example.unicode", "2"}), resultOf("example.unicode", 2), "", 0);
}

// ---------------------------------------------------------------------------
// call: arguments. The encoding of each kind is checked in the unit tests; these
// check what only a real run shows: the values reach the service through the
// command line and the transport.

using CallArguments = ServiceTool;

TEST_F(CallArguments, PlainKindsReachTheServiceInOrder)
{
    const std::string expected = resultOf("example.echo", 1, [](Parcel& data) {
        data.writeInt32(7);
        data.writeString16(String16("hi"));
        data.writeStrongBinder(sp<IBinder>());
    });
    expectOutcome(service({"call", "example.echo", "1", "i32", "7", "s16", "hi", "null"}), expected, "", 0);
}

TEST_F(CallArguments, NegativeIntegerIsAValueNotAnOption)
{
    const std::string expected = resultOf("example.echo", 1, [](Parcel& data) { data.writeInt32(-5); });
    ASSERT_EQ(getenv("POSIXLY_CORRECT"), nullptr);
    expectOutcome(service({"call", "example.echo", "1", "i32", "-5"}), expected, "", 0);
}

TEST_F(CallArguments, IntentReachesTheServiceAsItsRecord)
{
    // How the words become the record is the unit tests' business; here the record
    // has to reach the service whole, categories included.
    const std::string expected = resultOf("example.echo", 1, [](Parcel& data) {
        data.writeString16(String16("go"));
        for (int32_t word : {-1, -1, 3, -1, 2})
            data.writeInt32(word);
        data.writeString16(String16("a"));
        data.writeString16(String16("b"));
        data.writeInt32(-1);
    });
    expectOutcome(service({"call", "example.echo", "1", "intent", "categories=a,b", "launchFlags=3", "action=go"}),
                  expected, "", 0);
}

// ---------------------------------------------------------------------------
// call: bad arguments (the transaction is still sent with what came before; the
// diagnostic goes to standard error and the usage text comes last)

using CallArgumentFailures = ServiceTool;

TEST_F(CallArgumentFailures, LoneI32SendsTheTokenOnlyThenUsage)
{
    const RunResult outcome = service({"call", "example.echo", "3", "i32"});
    expectOutcome(outcome, resultOf("example.echo", 3) + USAGE, "service: no integer supplied for 'i32'\n", 10);
    EXPECT_EQ(outcome.combined, outcome.err + outcome.out);
}

TEST_F(CallArgumentFailures, LoneS16KeepsTheValuesBeforeIt)
{
    const RunResult outcome = service({"call", "example.echo", "3", "i32", "8", "s16"});
    const std::string expected = resultOf("example.echo", 3, [](Parcel& data) { data.writeInt32(8); });
    expectOutcome(outcome, expected + USAGE, "service: no string supplied for 's16'\n", 10);
}

TEST_F(CallArgumentFailures, EmptyArgumentAfterIntentEndsItAndIsReported)
{
    const RunResult outcome = service({"call", "example.echo", "1", "intent", "action=go", "", "i32", "5"});
    const std::string intentOnly = service({"call", "example.echo", "1", "intent", "action=go"}).out;
    expectOutcome(outcome, intentOnly + USAGE, "service: unknown option \n", 10);
    EXPECT_EQ(outcome.combined, outcome.err + intentOnly + USAGE);
}

// ---------------------------------------------------------------------------
// call: values the data parcel has no room for. Each is a bad argument; nothing
// after it is written in its place.

using CallArgumentLimits = ServiceTool;

// Units of the longest string a data parcel still takes after `used` bytes.
size_t longestStringAfter(size_t used)
{
    size_t units = 0;
    while (used + Parcel::string16Size(units + 1) <= quorvel::MAX_PARCEL_DATA)
        ++units;
    return units;
}

TEST_F(CallArgumentLimits, StringPastTheLimitStopsTheArgumentsThere)
{
    const RunResult outcome =
        service({"call", "example.echo", "1", "i32", "5", "s16", std::string(40000, 'x'), "i32", "7"});
    const std::string expected = resultOf("example.echo", 1, [](Parcel& data) { data.writeInt32(5); });
    expectOutcome(outcome, expected + USAGE, "service: s16 argument too large\n", 10);
    EXPECT_EQ(outcome.combined, "service: s16 argument too large\n" + expected + USAGE);
}

TEST_F(CallArgumentLimits, LongestStringIsSentAndOneUnitMoreIsRefused)
{
    Parcel before;
    before.writeInterfaceToken(String16("quorvel.example.IEcho"));
    before.writeInt32(5);
    const size_t longest = longestStringAfter(before.dataSize());

    // The echo cannot fit the code beside a full parcel and may refuse it; the test
    // sends the same transaction itself to learn what the tool must print.
    quorvel::status_t status = quorvel::OK;
    const std::string full = std::string(longest, 'x');
    const std::string expected = resultOf(
        "example.echo", 1,
        [&full](Parcel& data) {
            data.writeInt32(5);
            ASSERT_EQ(data.writeString16(String16(full.c_str())), quorvel::OK);
            ASSERT_EQ(data.dataSize(), quorvel::MAX_PARCEL_DATA);
        },
        &status);
    const std::string failure = status == quorvel::OK ? std::string()
                                                      : std::string("service: Transaction failed: ") +
            quorvel::statusToString(status) + " (" + std::to_string(status) + ")\n";
    expectOutcome(service({"call", "example.echo", "1", "i32", "5", "s16", full}), expected, failure,
                  status == quorvel::OK ? 0 : 30);

    const std::string tokenAndFive = resultOf("example.echo", 1, [](Parcel& data) { data.writeInt32(5); });
    expectOutcome(service({"call", "example.echo", "1", "i32", "5", "s16", full + "x", "i32", "7"}),
                  tokenAndFive + USAGE, "service: s16 argument too large\n", 10);
}

TEST_F(CallArgumentLimits, IntentPastTheLimitIsRefusedWhole)
{
    const RunResult outcome =
        service({"call", "example.echo", "1", "i32", "5", "intent", "action=" + std::string(40000, 'x'), "data=d"});
    const std::string expected = resultOf("example.echo", 1, [](Parcel& data) { data.writeInt32(5); });
    expectOutcome(outcome, expected + USAGE, "service: intent argument too large\n", 10);
}

// ---------------------------------------------------------------------------
// Hosts that do not answer: a service that does not answer is not a service
// without a descriptor. The deadline is generous so that the service manager
// answers in time on a loaded machine; only the stopped hosts miss it.

const std::vector<std::string> SHORT_DEADLINE = {"QUORVEL_IPC_TIMEOUT_MS=2000"};

std::string timedOutLines(const std::vector<std::string>& names)
{
    std::string lines;
    for (const std::string& name : names)
        lines += "service: " + name + ": " + quorvel::statusToString(quorvel::TIMED_OUT) + "\n";
    return lines;
}

TEST(UnreachableHost, ListShowsItsNamesWithDiagnosticsAndCallSaysWhyItDoesNotExist)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    const pid_t services = world.exampleServices().pid();
    ASSERT_EQ(::kill(services, SIGSTOP), 0);
    const RunResult list = world.run(serviceCommand({"list"}), std::chrono::seconds(60), SHORT_DEADLINE);
    const RunResult call =
        world.run(serviceCommand({"call", "example.echo", "1", "i32", "5"}), std::chrono::seconds(60), SHORT_DEADLINE);
    ::kill(services, SIGCONT);

    expectOutcome(list,
                  "Found 5 services:\n0\texample.echo: []\n1\texample.failing: []\n2\texample.nodescriptor: []\n"
                  "3\texample.refusing: []\n4\texample.unicode: []\n",
                  timedOutLines(quorvel::testing::exampleServiceNames()), 30);
    expectOutcome(call, "", timedOutLines({"example.echo"}) + "service: Service example.echo does not exist\n", 30);
}

TEST(UnreachableHost, ListingWaitsOnEachHostOnce)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    // Five names of one host that counts the descriptor queries it gets and never
    // answers; sorted before the example services, which must still be asked.
    const std::string queries = world.runtimeDir() + "/queries";
    BackgroundProcess mute;
    ASSERT_TRUE(mute.start({QUORVEL_STALLING_SERVICE_PROGRAM, "a.mute", queries, "mute"}, world.environment(),
                           world.runtimeDir() + "/mute.log"));
    const std::vector<std::string> muteNames = {"a.mute.0", "a.mute.1", "a.mute.2", "a.mute.3", "a.mute.4"};
    ASSERT_TRUE(world.waitForServices(muteNames)) << quorvel::testing::readFile(world.runtimeDir() + "/mute.log");

    const RunResult list = world.run(serviceCommand({"list"}), std::chrono::seconds(120), SHORT_DEADLINE);
    std::string expected = "Found 10 services:\n";
    for (size_t i = 0; i < muteNames.size(); ++i)
        expected += std::to_string(i) + "\t" + muteNames[i] + ": []\n";
    expected += "5\texample.echo: [quorvel.example.IEcho]\n6\texample.failing: [quorvel.example.IFailing]\n"
                "7\texample.nodescriptor: []\n8\texample.refusing: []\n9\texample.unicode: [quorvel.example.Caf??]\n";
    expectOutcome(list, expected, timedOutLines(muteNames), 30);

    // The first query is counted when it arrives, which may be after the tool
    // exits on a loaded machine; a second one would have been sent before.
    ASSERT_TRUE(quorvel::robustness::eventually([&] { return !quorvel::testing::readFile(queries).empty(); },
                                                std::chrono::seconds(10)));
    EXPECT_EQ(quorvel::testing::readFile(queries).size(), 1u) << "descriptor queries sent to the stopped host";
}

// ---------------------------------------------------------------------------
// A transaction that fails

using FailedTransaction = ServiceTool;

TEST_F(FailedTransaction, PrintsTheReplyThenADiagnosticAndExitsWith30)
{
    quorvel::status_t status = quorvel::OK;
    const std::string expected = resultOf("example.failing", 5, {}, &status);
    ASSERT_NE(status, quorvel::OK);
    const RunResult outcome = service({"call", "example.failing", "5"});
    const std::string diagnostic = std::string("service: Transaction failed: ") + quorvel::statusToString(status) +
        " (" + std::to_string(status) + ")\n";
    expectOutcome(outcome, expected, diagnostic, 30);
    EXPECT_EQ(outcome.combined, expected + diagnostic);
}

// ---------------------------------------------------------------------------
// Resources: every reference is released on every path. In the address-sanitizer
// build LeakSanitizer checks each run at exit; elsewhere there is nothing to see.

using Resources = ServiceTool;

TEST_F(Resources, NoPathLeaks)
{
#ifndef QUORVEL_SERVICE_LEAK_CHECKED
    GTEST_SKIP() << "the tool is checked for leaks in the address-sanitizer build";
#endif
    const std::vector<std::vector<std::string>> paths{
        {},
        {"LIST"},
        {"list"},
        {"check", "example.echo"},
        {"check", "example.nothing"},
        {"call", "example.echo", "1", "i32", "7", "s16", "x", "null", "intent", "categories=a,b", "action=go"},
        {"call", "example.echo", "1", "i32"},
        {"call", "example.echo", "1", "intent", "action=" + std::string(40000, 'x')},
        {"call", "example.nodescriptor", "1"},
        {"call", "example.nothing", "1"},
        {"call", "example.failing", "1"},
    };
    for (const std::vector<std::string>& arguments : paths) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const RunResult outcome = service(arguments, {"ASAN_OPTIONS=detect_leaks=1:exitcode=99"});
        EXPECT_EQ(outcome.err.find("Sanitizer"), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.exitStatus, 99);
    }
    const RunResult noManager = quorvel::testing::runProgram(serviceCommand({"list"}), std::chrono::seconds(10),
                                                             {NO_MANAGER, "ASAN_OPTIONS=detect_leaks=1:exitcode=99"});
    EXPECT_EQ(noManager.err, NO_MANAGER_DIAGNOSTIC);
    EXPECT_EQ(noManager.exitStatus, 20);
}

// ---------------------------------------------------------------------------
// Bash completion with the real tool behind it

using Completion = ServiceTool;

TEST_F(Completion, ServiceNamesComeFromTheRealListing)
{
    // A `service` on PATH that runs the built tool (through the emulator in a cross
    // build), as an installed tool would be found.
    const quorvel::testing::TempDir folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string wrapper = folder.path() + "/service";
    std::string emulator;
    for (const std::string& word : quorvel::testing::emulatorPrefix())
        emulator += "'" + word + "' ";
    std::FILE* file = std::fopen(wrapper.c_str(), "we");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "#!/bin/sh\nexec %s'%s' \"$@\"\n", emulator.c_str(), SERVICE.c_str());
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
    const std::string script = std::string("source '") + QUORVEL_SERVICE_COMPLETION +
        "' && COMP_WORDS=(service call example.) && COMP_CWORD=2 && _service service"
        " && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const char* path = getenv("PATH");
    const RunResult outcome = world->runHost({"/bin/bash", "-c", script}, std::chrono::seconds(20),
                                             {"PATH=" + folder.path() + ":" + (path ? path : "/usr/bin:/bin")});

    std::string expected;
    for (const std::string& name : quorvel::testing::exampleServiceNames())
        expected += name + "\n";
    expectOutcome(outcome, expected, "", 0);
}

} // namespace
