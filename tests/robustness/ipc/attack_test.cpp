// What a hostile local user or a hung peer can do to the object system, one group per
// attack: waits that are never answered, sockets that are not a service manager or
// stop answering midway, another uid hoarding connections, a daemon out of
// descriptors, endpoint names taken in advance, unsafe socket paths, restarts and
// signals. Each asserts what must happen now.
#include <test_support/process_stats.h>

#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorvel::robustness {
namespace {

using namespace quorvel::testing;

const std::string NO_MANAGER = "service: Unable to get default service manager!\n";
const std::string FULL_LISTING = "Found 5 services:\n"
                                 "0\texample.echo: [quorvel.example.IEcho]\n"
                                 "1\texample.failing: [quorvel.example.IFailing]\n"
                                 "2\texample.nodescriptor: []\n"
                                 "3\texample.refusing: []\n"
                                 "4\texample.unicode: [quorvel.example.Caf??]\n";

// "Within a second" for a plain build; sanitizer builds and emulation (whose loads
// are scaled down) run every step several times slower, exit included.
std::chrono::milliseconds stopGrace()
{
    return loadScale() < 1 ? 5s : 1s;
}

testing::RunResult runService(const std::string& socket, const std::vector<std::string>& arguments,
                              std::vector<std::string> environment = {}, std::chrono::milliseconds timeout = 10s)
{
    std::vector<std::string> argv = {SERVICE_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    environment.push_back("QUORVEL_SERVICE_MANAGER=" + socket);
    return testing::runProgram(argv, timeout, environment);
}

// The three commands, each of which must end with status 20 and only `err`.
void expectEveryCommandExits20(const std::string& socket, const std::string& err, const char* what)
{
    const std::vector<std::vector<std::string>> commands = {
        {"list"}, {"check", "example.echo"}, {"call", "example.echo", "1", "i32", "7"}};
    for (const auto& command : commands) {
        const auto result = runService(socket, command, {"QUORVEL_IPC_TIMEOUT_MS=500"});
        EXPECT_FALSE(result.timedOut) << what << ": " << command[0];
        EXPECT_EQ(result.exitStatus, 20) << what << ": " << command[0] << "\n" << result.combined;
        EXPECT_EQ(result.out, "") << what << ": " << command[0];
        EXPECT_EQ(result.err, err) << what << ": " << command[0];
    }
}

std::vector<uint8_t> listReply(const std::vector<std::u16string>& names)
{
    std::vector<uint8_t> data;
    putWord(data, static_cast<uint32_t>(names.size()));
    putWord(data, static_cast<uint32_t>(names.size()));
    for (const auto& name : names)
        putString16(data, name);
    return makeFrame(FRAME_REPLY, 0, 0, data);
}

// Waits for the test to let a child of AsOtherUser go; false if it does not within
// `timeout`.
bool waitForLetGo(int letGo, std::chrono::milliseconds timeout = 120s)
{
    pollfd p{letGo, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// ---------------------------------------------------------------------------------
// Waits that are never answered.

TEST(Deadlines, StoppedServiceCostsEachCallOneDeadline)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    const pid_t services = world.exampleServices().pid();
    ASSERT_EQ(::kill(services, SIGSTOP), 0);
    const std::vector<std::string> deadline = {"QUORVEL_IPC_TIMEOUT_MS=1000"};
    const auto call = world.run({SERVICE_PROGRAM, "call", "example.echo", "1", "i32", "7"}, 10s, deadline);
    // A second run waits for a deadline of its own: no run is failed for another's
    // missed deadline. Within the listing, the host's later names fail at once.
    const auto list = world.run({SERVICE_PROGRAM, "list"}, 15s, deadline);
    ::kill(services, SIGCONT);

    EXPECT_FALSE(call.timedOut);
    EXPECT_EQ(call.exitStatus, 30) << call.combined;
    EXPECT_EQ(call.out, "");
    EXPECT_EQ(call.err, "service: example.echo: timed out\nservice: Service example.echo does not exist\n");
    EXPECT_FALSE(list.timedOut);
    EXPECT_EQ(list.exitStatus, 30) << list.combined;
    EXPECT_EQ(list.out,
              "Found 5 services:\n0\texample.echo: []\n1\texample.failing: []\n2\texample.nodescriptor: "
              "[]\n3\texample.refusing: []\n4\texample.unicode: []\n");
    EXPECT_EQ(list.err,
              "service: example.echo: timed out\nservice: example.failing: timed out\nservice: "
              "example.nodescriptor: timed out\nservice: example.refusing: timed out\nservice: example.unicode: "
              "timed out\n");
    // Once it runs again, it answers as before.
    EXPECT_EQ(world.run({SERVICE_PROGRAM, "list"}).out, FULL_LISTING);
}

TEST(Deadlines, ManagerThatNeverAnswersIsNoManagerAndDoesNotHoldAStopBack)
{
    TempDir dir;
    const std::string socket = dir.path() + "/sm";
    FakeHost silent(socket, nullptr, false);
    ASSERT_TRUE(silent.listening());
    expectEveryCommandExits20(socket, NO_MANAGER, "a socket that never answers");

    // example-services waits on one with a long deadline; SIGTERM still ends it at
    // once. The signal goes out once it has connected, so its handlers are in place.
    const std::string waited = dir.path() + "/waited";
    std::atomic<bool> connected{false};
    FakeHost answersNothing(waited, [&connected](int fd) {
        connected.store(true);
        pollfd p{fd, POLLRDHUP, 0};
        ::poll(&p, 1, 20000); // until the caller goes
    });
    ASSERT_TRUE(answersNothing.listening());
    BackgroundProcess services;
    ASSERT_TRUE(services.start({testing::exampleServicesProgram()},
                               {"QUORVEL_SERVICE_MANAGER=" + waited, "QUORVEL_IPC_TIMEOUT_MS=60000"},
                               dir.path() + "/services.log"));
    ASSERT_TRUE(eventually([&] { return connected.load(); }, 20s));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(services.running());
    EXPECT_EQ(services.stop(SIGTERM, stopGrace()), 0);
}

// ---------------------------------------------------------------------------------
// Sockets that are not a service manager, and one that stops answering midway.

TEST(HonestFailures, SocketThatIsNotAServiceManagerIsNeverAnEmptyRegistry)
{
    std::vector<uint8_t> otherDescriptor;
    putString16(otherDescriptor, u"quorvel.example.IEcho");
    const struct {
        const char* what;
        std::function<void(int)> behaviour;
    } hosts[] = {
        {"closes at once", [](int) {}},
        {"answers garbage", answerInTurn({{1, 2, 3, 4, 5, 6, 7, 8}})},
        {"answers as another object", answerInTurn({makeFrame(FRAME_REPLY, 0, 0, otherDescriptor)})},
        {"refuses the query", answerInTurn({makeFrame(FRAME_REPLY, 0, static_cast<uint32_t>(PERMISSION_DENIED), {})})},
    };
    for (const auto& host : hosts) {
        TempDir dir;
        const std::string socket = dir.path() + "/sm";
        FakeHost fake(socket, host.behaviour);
        ASSERT_TRUE(fake.listening());
        expectEveryCommandExits20(socket, NO_MANAGER, host.what);
    }
}

TEST(HonestFailures, ManagerThatStopsAnsweringMidCommandGivesStatus20)
{
    const std::string lost = "service: Service manager stopped answering: dead object (-32)\n";
    const std::string late = "service: Service manager stopped answering: timed out (-110)\n";
    struct Case {
        const char* what;
        std::function<void(int)> behaviour;
        std::vector<std::string> command;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"list, before the names", managerThen({}), {"list"}, "", lost},
        {"list, after the names", managerThen({listReply({u"a", u"b"})}), {"list"}, "Found 2 services:\n", lost},
        {"list, silent after the names", managerThen({listReply({u"a"})}, true), {"list"}, "Found 1 services:\n", late},
        {"check", managerThen({}), {"check", "example.echo"}, "", lost},
        {"check, silent", managerThen({}, true), {"check", "example.echo"}, "", late},
        {"call", managerThen({}), {"call", "example.echo", "1"}, "", lost},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string socket = dir.path() + "/sm";
        // The script plays on the first connection only. A client connects again
        // when the manager has closed its connection between calls; a manager that
        // has gone away closes that one at once.
        auto played = std::make_shared<std::atomic<bool>>(false);
        FakeHost fake(socket, [played, behaviour = c.behaviour](int fd) {
            if (!played->exchange(true))
                behaviour(fd);
        });
        ASSERT_TRUE(fake.listening());
        const auto result = runService(socket, c.command, {"QUORVEL_IPC_TIMEOUT_MS=500"});
        EXPECT_EQ(result.exitStatus, 20) << c.what << "\n" << result.combined;
        EXPECT_EQ(result.out, c.out) << c.what;
        EXPECT_EQ(result.err, c.err) << c.what;
    }
}

// ---------------------------------------------------------------------------------
// Another uid hoarding connections; a daemon out of descriptors.

// Opens `count` connections to each endpoint and speaks once on each, so that only
// the caps, not the first-frame deadline, can close them.
int hoard(const std::vector<std::string>& endpoints, int count, std::vector<std::unique_ptr<RawPeer>>* peers)
{
    const std::vector<uint8_t> query = makeFrame(FRAME_TRANSACTION, 0, INTERFACE_TRANSACTION, {});
    int connected = 0;
    for (int i = 0; i < count; ++i) {
        for (const std::string& endpoint : endpoints) {
            peers->push_back(std::make_unique<RawPeer>(endpoint));
            if (peers->back()->connected() && peers->back()->send(query))
                ++connected;
        }
    }
    return connected;
}

TEST(FairConnections, AnotherUidHoldingAThousandConnectionsCannotLockRootOut)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a peer as another uid";
    ProcessFixture world({.worldAccessible = true});
    ASSERT_TRUE(world.ready()) << world.error();
    const std::string host = endpointOf("example.echo");
    ASSERT_FALSE(host.empty());

    const std::vector<std::string> endpoints = {world.socketPath(), host};
    std::vector<std::unique_ptr<RawPeer>> peers; // the hoarder's, held until the test is done
    AsOtherUser hoarder(
        65534, [&] { return hoard(endpoints, 1000, &peers); }, [](int letGo) { return waitForLetGo(letGo) ? 0 : 1; },
        4096);
    ASSERT_TRUE(hoarder.ready());
    EXPECT_GT(hoarder.value(), 0) << "the other uid could not connect at all";

    const auto list = world.run({SERVICE_PROGRAM, "list"});
    EXPECT_EQ(list.exitStatus, 0) << list.combined;
    EXPECT_EQ(list.out, FULL_LISTING);
    const auto check = world.run({SERVICE_PROGRAM, "check", "example.echo"});
    EXPECT_EQ(check.exitStatus, 0) << check.combined;
    EXPECT_EQ(check.out, "Service example.echo: found\n");
    const auto call = world.run({SERVICE_PROGRAM, "call", "example.echo", "1", "i32", "7"});
    EXPECT_EQ(call.exitStatus, 0) << call.combined;
    EXPECT_EQ(call.out.rfind("Result: Parcel(", 0), 0u) << call.out;

    EXPECT_EQ(hoarder.finish(), 0);
}

TEST(DescriptorExhaustion, DaemonOutOfDescriptorsRestsInsteadOfSpinning)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtimes open descriptors of their own while reporting and
    // checking; at the limit they fail in ways of their own.
    GTEST_SKIP() << "a sanitizer's runtime needs descriptors the test takes away";
#endif
    if (!testing::emulatorPrefix().empty() || ::access("/usr/bin/prlimit", X_OK) != 0)
        GTEST_SKIP() << "needs prlimit on the host";
    TempDir dir;
    const std::string socket = dir.path() + "/sm";
    BackgroundProcess daemon;
    ASSERT_TRUE(daemon.start({"/usr/bin/prlimit", "--nofile=24", "--", testing::serviceManagerProgram()},
                             {"QUORVEL_SERVICE_MANAGER=" + socket}, dir.path() + "/sm.log"));
    ASSERT_TRUE(eventually([&] { return ::access(socket.c_str(), F_OK) == 0; }, 10s));
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 40; ++i)
        peers.push_back(std::make_unique<RawPeer>(socket));
    std::this_thread::sleep_for(200ms);
    const long before = cpuTicksOf(daemon.pid());
    std::this_thread::sleep_for(1s);
    const long used = cpuTicksOf(daemon.pid()) - before;
    // A spinning accept loop burns the whole second (about 100 ticks).
    EXPECT_LT(used, 30) << "ticks of CPU in one second with the backlog full and no descriptors left";
    peers.clear();
    EXPECT_TRUE(eventually([&] { return runService(socket, {"list"}).out == "Found 0 services:\n"; }, 10s));
    EXPECT_EQ(daemon.stop(SIGTERM, stopGrace()), 0);
}

// ---------------------------------------------------------------------------------
// Endpoint names taken in advance.

TEST(RandomEndpointNames, NamesTakenInAdvanceDoNotStopAHost)
{
    ProcessFixture world({.startExampleServices = false});
    ASSERT_TRUE(world.ready()) << world.error();
    long last = 0;
    std::ifstream("/proc/sys/kernel/ns_last_pid") >> last;
    ASSERT_GT(last, 0);
    // What a squatter could do with names made of the pid and a counter: take every
    // name of the next pids.
    std::vector<int> taken;
    for (long pid = last + 1; pid <= last + 30; ++pid)
        for (int n = 0; n < 16; ++n)
            if (const int fd = listenOn("@quorvel." + std::to_string(pid) + "." + std::to_string(n)); fd >= 0)
                taken.push_back(fd);
    EXPECT_TRUE(world.startExampleServices()) << world.exampleServicesLog();
    for (int fd : taken)
        ::close(fd);
}

// ---------------------------------------------------------------------------------
// The service manager's socket path.

TEST(SafeSocketPath, SecondManagerOnALivePathRefusesAndTheFirstKeepsServing)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    struct stat st;
    ASSERT_EQ(::lstat(world.socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    const auto second = world.run({testing::serviceManagerProgram()}, 5s);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.err,
              "servicemanager: cannot listen on " + world.socketPath() +
                  ": another service manager serves there or is starting (it holds " + world.socketPath() +
                  ".lock); stop it first or choose another path\n");
    EXPECT_EQ(world.run({SERVICE_PROGRAM, "list"}).out, FULL_LISTING);

    // A manager that died leaves a socket nobody answers on: that one is replaced.
    EXPECT_EQ(world.serviceManager().stop(SIGKILL), 128 + SIGKILL);
    ASSERT_EQ(::lstat(world.socketPath().c_str(), &st), 0);
    BackgroundProcess next;
    ASSERT_TRUE(next.start({testing::serviceManagerProgram()}, world.environment(), world.runtimeDir() + "/next.log"));
    EXPECT_TRUE(world.waitForServices(testing::exampleServiceNames()));
    EXPECT_EQ(next.stop(SIGTERM, stopGrace()), 0);
    EXPECT_NE(::lstat(world.socketPath().c_str(), &st), 0) << "the socket outlived its manager";
}

// ---------------------------------------------------------------------------------
// Restarts and signals.

TEST(Restarts, ServingProcessesRegisterAgainAfterTheManagerRestarts)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    BackgroundProcess client;
    ASSERT_TRUE(world.serve(client, "robust.restart"));

    EXPECT_EQ(world.serviceManager().stop(SIGTERM, stopGrace()), 0);
    BackgroundProcess next;
    ASSERT_TRUE(next.start({testing::serviceManagerProgram()}, world.environment(), world.runtimeDir() + "/next.log"));
    std::vector<std::string> names = testing::exampleServiceNames();
    names.push_back("robust.restart");
    EXPECT_TRUE(world.waitForServices(names, true, 10s));
    EXPECT_TRUE(world.exampleServices().running());
    EXPECT_TRUE(client.running());
    const auto call = world.run({SERVICE_PROGRAM, "call", "robust.restart", "1", "i32", "7"});
    EXPECT_EQ(call.exitStatus, 0) << call.combined;
    EXPECT_EQ(world.run({SERVICE_PROGRAM, "list"}).exitStatus, 0);
}

TEST(Signals, EveryProgramEndsWithinASecondOfSigtermWhateverItWaitsOn)
{
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    BackgroundProcess client;
    ASSERT_TRUE(world.serve(client, "robust.signal"));
    // Connections held open on the manager and on a host.
    RawPeer onManager(world.socketPath());
    RawPeer onHost(endpointOf("example.echo"));
    ASSERT_TRUE(onManager.connected() && onHost.connected());
    // A call waiting on a stopped host, with the default deadline.
    ASSERT_EQ(::kill(world.exampleServices().pid(), SIGSTOP), 0);
    BackgroundProcess call;
    ASSERT_TRUE(call.start({SERVICE_PROGRAM, "call", "example.echo", "1"}, world.environment(),
                           world.runtimeDir() + "/call.log"));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(call.running());
    EXPECT_EQ(call.stop(SIGTERM, stopGrace()), 128 + SIGTERM);
    ::kill(world.exampleServices().pid(), SIGCONT);

    EXPECT_EQ(client.stop(SIGTERM, stopGrace()), 0);
    EXPECT_EQ(world.exampleServices().stop(SIGTERM, stopGrace()), 0);
    EXPECT_EQ(world.serviceManager().stop(SIGINT, stopGrace()), 0);
}

// ---------------------------------------------------------------------------------
// Peers proven by the kernel: a squatter at a dead host's name, a fake manager run by
// another uid, a host in a pid namespace of its own.

constexpr uid_t NOBODY = 65534;

// The socket path of a manager run by `uid`: in a folder `uid` owns, inside `dir`,
// which every uid may enter.
void socketOwnedBy(uid_t uid, const TempDir& dir, std::string* socket)
{
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string folder = dir.path() + "/" + std::to_string(uid);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), uid, uid), 0);
    *socket = folder + "/sm";
}

TEST(KernelIdentity, SquatterAtADeadHostsNameGetsNoCallAndTheCallerDeadObject)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the squatter as another uid";
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    BackgroundProcess host;
    ASSERT_TRUE(world.serve(host, "robust.squatted"));
    // Looked up while the host lives; not called yet.
    const sp<IBinder> service = defaultServiceManager()->checkService(String16("robust.squatted"));
    ASSERT_NE(service, nullptr);
    const std::string endpoint = endpointOf("robust.squatted");
    ASSERT_FALSE(endpoint.empty());
    host.stop(SIGKILL);
    ASSERT_TRUE(world.waitForServices({"robust.squatted"}, false));

    // Another uid takes the name and answers every call with success.
    std::atomic<int> requests{0};
    std::unique_ptr<FakeHost> squatting;
    AsOtherUser squatter(
        NOBODY,
        [&] {
            squatting = std::make_unique<FakeHost>(
                endpoint, answerInTurn({makeFrame(FRAME_REPLY, 0, 0, {7, 0, 0, 0})}, &requests));
            return squatting->listening() ? 0 : -1;
        },
        [&](int letGo) {
            waitForLetGo(letGo, 30s);
            squatting.reset();
            return requests.load();
        });
    ASSERT_TRUE(squatter.ready()) << "could not take the dead host's name " << endpoint;
    Parcel data, reply;
    data.writeInt32(1234);
    EXPECT_EQ(service->transact(1, data, &reply), DEAD_OBJECT);
    // Asked again, it stays dead.
    EXPECT_EQ(service->transact(1, data, &reply), DEAD_OBJECT);
    EXPECT_EQ(squatter.finish(), 0) << "the squatter read that many requests";
}

TEST(KernelIdentity, ServiceManagerOfAnotherUidIsNoServiceManager)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the fake manager as another uid";
    TempDir dir;
    std::string socket;
    ASSERT_NO_FATAL_FAILURE(socketOwnedBy(NOBODY, dir, &socket));
    // A perfect impostor: it answers as a manager and lists a name.
    std::unique_ptr<FakeHost> fake;
    AsOtherUser impostor(
        NOBODY,
        [&] {
            fake = std::make_unique<FakeHost>(socket, managerThen({listReply({u"forged"})}));
            return fake->listening() ? 0 : -1;
        },
        [&](int letGo) {
            waitForLetGo(letGo, 30s);
            fake.reset();
            return 0;
        });
    ASSERT_TRUE(impostor.ready());
    expectEveryCommandExits20(socket, NO_MANAGER, "a manager run by another uid");
    EXPECT_EQ(impostor.finish(), 0);
}

TEST(KernelIdentity, HostInAPidNamespaceOfItsOwnRegistersAndIsCalled)
{
    if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root and unshare";
    // busybox's unshare (the target image's) has no --kill-child, without which the
    // host would outlive its stop.
    std::error_code error;
    if (std::filesystem::read_symlink("/usr/bin/unshare", error).filename() == "busybox")
        GTEST_SKIP() << "needs util-linux's unshare (--kill-child); /usr/bin/unshare is busybox's";
    ProcessFixture world({.startExampleServices = false});
    ASSERT_TRUE(world.ready()) << world.error();
    // The host is pid 1 of its namespace and names its endpoint so; the kernel shows
    // the manager its real pid.
    std::vector<std::string> argv = {"/usr/bin/unshare", "--pid", "--fork", "--kill-child"};
    for (const std::string& word : testing::emulatorPrefix())
        argv.push_back(word);
    argv.insert(argv.end(), {testing::exampleClientProgram(), "serve", "robust.namespaced"});
    BackgroundProcess host;
    ASSERT_TRUE(host.start(argv, world.environment(), world.runtimeDir() + "/host.log", false));
    ASSERT_TRUE(world.waitForServices({"robust.namespaced"})) << readFile(world.runtimeDir() + "/host.log");
    const auto call = world.run({SERVICE_PROGRAM, "call", "robust.namespaced", "1", "i32", "7"});
    EXPECT_EQ(call.exitStatus, 0) << call.combined;
    EXPECT_EQ(call.out.rfind("Result: Parcel(", 0), 0u) << call.out;
}

// ---------------------------------------------------------------------------------
// Fair shares: uids at their caps, and a manager at its task limit.

// Opens up to `most` connections to `path`, each asking once, and stops at the first
// that is closed instead of answered; returns how many were answered.
int openAnswered(const std::string& path, int most, std::vector<std::unique_ptr<RawPeer>>* peers)
{
    const std::vector<uint8_t> query = makeFrame(FRAME_TRANSACTION, 0, INTERFACE_TRANSACTION, {});
    for (int i = 0; i < most; ++i) {
        peers->push_back(std::make_unique<RawPeer>(path));
        if (!peers->back()->send(query) || peers->back()->await(10s) != RawPeer::Outcome::Reply) {
            peers->pop_back();
            break;
        }
    }
    return static_cast<int>(peers->size());
}

// A hoarder's `hold`: waits to be let go, then returns how many of its connections
// the host has closed meanwhile.
int countClosedWhenLetGo(int letGo, const std::vector<std::unique_ptr<RawPeer>>& peers)
{
    waitForLetGo(letGo);
    int closed = 0;
    for (const auto& peer : peers)
        if (peer->await(0ms) == RawPeer::Outcome::Closed)
            ++closed;
    return closed;
}

TEST(FairShares, SixUidsAtTheirCapsCannotKeepASeventhOut)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run peers as other uids";
    ProcessFixture world({.startExampleServices = false, .worldAccessible = true});
    ASSERT_TRUE(world.ready()) << world.error();
    constexpr int CAP = static_cast<int>(MAX_CONNECTIONS_PER_UID);
    constexpr int POOL = static_cast<int>(MAX_CONNECTIONS - RESERVED_CONNECTIONS);
    static_assert(6 * CAP == POOL, "six uids at their caps fill the pool exactly");
    std::vector<std::unique_ptr<AsOtherUser>> hoarders;
    std::vector<std::vector<std::unique_ptr<RawPeer>>> held(7);
    for (uid_t i = 0; i < 6; ++i) {
        // Each gets exactly its cap; one more is closed.
        hoarders.push_back(std::make_unique<AsOtherUser>(
            3001 + i, [&, i] { return openAnswered(world.socketPath(), CAP + 1, &held[i]); },
            [&, i](int letGo) { return countClosedWhenLetGo(letGo, held[i]); }));
        ASSERT_TRUE(hoarders.back()->ready());
        EXPECT_EQ(hoarders.back()->value(), CAP) << "uid " << 3001 + i;
    }
    // The seventh gets its fair share of the pool, each connection closing one of the
    // largest holder's; one more is closed.
    AsOtherUser seventh(
        3007, [&] { return openAnswered(world.socketPath(), CAP, &held[6]); },
        [&](int letGo) { return countClosedWhenLetGo(letGo, held[6]); });
    ASSERT_TRUE(seventh.ready());
    EXPECT_EQ(seventh.value(), POOL / 7);
    EXPECT_EQ(seventh.finish(), 0);
    // Taken evenly from the six: 54 = 6 x 9.
    for (auto& hoarder : hoarders)
        EXPECT_EQ(hoarder->finish(), POOL / 7 / 6);
}

// Which connection makes room matters as much as how many: the one of the uid holding
// most that has waited longest since its last call. Each hoarder calls on its 64
// connections once more in a scrambled order, so that its longest idle ones are
// neither its first nor its last opened; the seventh uid's 54 take 9 from each.
TEST(FairShares, RoomIsMadeByClosingTheLongestIdleConnectionsOfTheLargestHolder)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run peers as other uids";
    ProcessFixture world({.startExampleServices = false, .worldAccessible = true});
    ASSERT_TRUE(world.ready()) << world.error();
    constexpr int CAP = static_cast<int>(MAX_CONNECTIONS_PER_UID);
    constexpr int POOL = static_cast<int>(MAX_CONNECTIONS - RESERVED_CONNECTIONS);
    constexpr int TAKEN = POOL / 7 / 6;
    // The k-th call goes to connection (k * 23 + 11) % 64: a permutation.
    const auto callOrder = [](int k) { return (k * 23 + 11) % CAP; };
    const std::vector<uint8_t> query = makeFrame(FRAME_TRANSACTION, 0, INTERFACE_TRANSACTION, {});
    std::vector<std::unique_ptr<AsOtherUser>> hoarders;
    std::vector<std::vector<std::unique_ptr<RawPeer>>> held(7);
    for (uid_t i = 0; i < 6; ++i) {
        hoarders.push_back(std::make_unique<AsOtherUser>(
            3001 + i,
            [&, i] {
                if (openAnswered(world.socketPath(), CAP + 1, &held[i]) != CAP)
                    return -1;
                for (int k = 0; k < CAP; ++k) {
                    RawPeer& peer = *held[i][static_cast<size_t>(callOrder(k))];
                    if (!peer.send(query) || peer.await(10s) != RawPeer::Outcome::Reply)
                        return -1;
                }
                return CAP;
            },
            // How many of its longest idle were closed, plus 16 for each other one
            // (an exit status holds 8 bits). The boundary allows one place: a serving
            // thread marks a connection idle just after its reply, so the next call's
            // may be marked first.
            [&, i](int letGo) {
                waitForLetGo(letGo);
                int oldest = 0;
                int others = 0;
                for (int k = 0; k < CAP; ++k)
                    if (held[i][static_cast<size_t>(callOrder(k))]->await(0ms) == RawPeer::Outcome::Closed)
                        ++(k <= TAKEN ? oldest : others);
                return oldest + 16 * std::min(others, 14);
            }));
        ASSERT_TRUE(hoarders.back()->ready()) << "uid " << 3001 + i;
    }
    AsOtherUser seventh(
        3007, [&] { return openAnswered(world.socketPath(), CAP, &held[6]); },
        [&](int letGo) { return countClosedWhenLetGo(letGo, held[6]); });
    ASSERT_TRUE(seventh.ready());
    EXPECT_EQ(seventh.value(), POOL / 7);
    EXPECT_EQ(seventh.finish(), 0);
    for (auto& hoarder : hoarders)
        EXPECT_EQ(hoarder->finish(), TAKEN) << "(the closed among the longest idle, plus 16 per other closed)";
}

TEST(FairShares, OneUidCannotKeepRootOutOfAManagerAtItsTaskLimit)
{
    if (::geteuid() != 0 || ::access("/usr/bin/prlimit", X_OK) != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, prlimit and setpriv";
    constexpr uid_t SERVICE_ACCOUNT = 3100;
    TempDir dir;
    std::string socket;
    ASSERT_NO_FATAL_FAILURE(socketOwnedBy(SERVICE_ACCOUNT, dir, &socket));
    const std::string account = std::to_string(SERVICE_ACCOUNT);
    std::vector<std::string> argv = {"/usr/bin/prlimit", "--nproc=40",         "--",
                                     "/usr/bin/setpriv", "--reuid=" + account, "--regid=" + account,
                                     "--clear-groups"};
    for (const std::string& word : testing::emulatorPrefix())
        argv.push_back(word);
    std::string error;
    argv.push_back(testing::copyRunnableByAll(testing::serviceManagerProgram(), dir, &error));
    ASSERT_FALSE(argv.back().empty()) << error;
    BackgroundProcess manager;
    ASSERT_TRUE(manager.start(argv, {"QUORVEL_SERVICE_MANAGER=" + socket}, dir.path() + "/sm.log", false));
    // (Root's tool would not take a manager of another uid for its own: root and the
    // account itself ask raw.)
    auto answered = [&] {
        std::vector<std::unique_ptr<RawPeer>> one;
        return openAnswered(socket, 1, &one);
    };
    ASSERT_TRUE(eventually([&] { return answered() == 1; }, 10s)) << readFile(dir.path() + "/sm.log");

    // One uid takes every thread the manager can start, far below its cap.
    std::vector<std::unique_ptr<RawPeer>> held;
    AsOtherUser hoarder(
        NOBODY, [&] { return openAnswered(socket, static_cast<int>(MAX_CONNECTIONS_PER_UID), &held); },
        [&](int letGo) {
            const int closed = countClosedWhenLetGo(letGo, held);
            // At its share of the threads there are, it gets no more.
            std::vector<std::unique_ptr<RawPeer>> more;
            return closed * 10 + openAnswered(socket, 1, &more);
        });
    ASSERT_TRUE(hoarder.ready());
    EXPECT_GT(hoarder.value(), 20);
    EXPECT_LT(hoarder.value(), static_cast<int>(MAX_CONNECTIONS_PER_UID)) << "the task limit never bit";
    // Root is answered all the same. (A client of the manager's own uid would itself
    // count against the account's task limit.)
    std::vector<std::unique_ptr<RawPeer>> rootHeld;
    EXPECT_EQ(openAnswered(socket, 1, &rootHeld), 1);
    // That closed one of the hoarder's; its next one is refused.
    EXPECT_EQ(hoarder.finish(), 10);
    EXPECT_EQ(manager.stop(SIGTERM, stopGrace()), 0);
}

// ---------------------------------------------------------------------------------
// References to throwaway endpoints handed to a service that calls them back.

// Hosts at `count` abstract names of this process, served from one thread: each
// answers every request with an int32 7 until hangUp() closes every socket at once.
class ThrowawayHosts {
public:
    explicit ThrowawayHosts(size_t count)
    {
        static std::atomic<int> serial{0};
        for (size_t i = 0; i < count; ++i) {
            mNames.push_back("@quorvel-throwaway." + std::to_string(::getpid()) + '.' + std::to_string(serial++));
            mListeners.push_back(listenOn(mNames.back()));
        }
        mThread = std::thread([this] { run(); });
    }
    ~ThrowawayHosts() { hangUp(); }
    ThrowawayHosts(const ThrowawayHosts&) = delete;
    ThrowawayHosts& operator=(const ThrowawayHosts&) = delete;

    bool listening() const
    {
        return std::all_of(mListeners.begin(), mListeners.end(), [](int fd) { return fd >= 0; });
    }
    const std::vector<std::string>& endpoints() const { return mNames; }

    void hangUp()
    {
        if (!mThread.joinable())
            return;
        mStop.store(true);
        mThread.join();
        for (int fd : mListeners)
            if (fd >= 0)
                ::close(fd);
        for (int fd : mConnections)
            if (fd >= 0)
                ::close(fd);
    }

private:
    void run()
    {
        std::vector<uint8_t> request(MAX_FRAME_SIZE + 1);
        const std::vector<uint8_t> answer = makeFrame(FRAME_REPLY, 0, 0, wordBytes({7}));
        std::vector<pollfd> watched;
        while (!mStop.load()) {
            watched.clear();
            for (int fd : mListeners)
                watched.push_back({fd, POLLIN, 0});
            for (int fd : mConnections)
                watched.push_back({fd, POLLIN, 0});
            if (::poll(watched.data(), watched.size(), 20) <= 0)
                continue;
            for (size_t i = 0; i < watched.size(); ++i) {
                if (watched[i].revents == 0 || watched[i].fd < 0)
                    continue;
                if (i < mListeners.size()) {
                    const int fd = ::accept4(watched[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0)
                        mConnections.push_back(fd);
                    continue;
                }
                int& fd = mConnections[i - mListeners.size()];
                if (::recv(fd, request.data(), request.size(), 0) > 0) {
                    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                } else {
                    ::close(fd);
                    fd = -1;
                }
            }
        }
    }

    std::vector<std::string> mNames;
    std::vector<int> mListeners;
    std::vector<int> mConnections; // touched by mThread only, until it is joined
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

TEST(IdleConnectionBound, ThrowawayEndpointsCannotPileUpDescriptorsInAServiceThatCallsThemBack)
{
    // The relay calls back every reference it is given, and keeps the connection for
    // a later call. Handed references to many hosts that then hang up, it must keep no
    // more than the bound while they live and give every descriptor back after.
    ProcessFixture world;
    ASSERT_TRUE(world.ready()) << world.error();
    BackgroundProcess relay;
    ASSERT_TRUE(relay.start({STALLING_SERVICE_PROGRAM, "robust.relay", "-", "relay"}, world.environment(),
                            world.runtimeDir() + "/relay.log"));
    ASSERT_TRUE(world.waitForServices({"robust.relay"})) << readFile(world.runtimeDir() + "/relay.log");
    std::string relayEndpoint;
    uint32_t relayHandle = 0;
    ASSERT_EQ(
        describeObject(defaultServiceManager()->checkService(String16("robust.relay")), &relayEndpoint, &relayHandle),
        OK);
    RawPeer caller(relayEndpoint);
    ASSERT_TRUE(caller.connected());
    const uint32_t pid = static_cast<uint32_t>(::getpid());
    const uint32_t uid = static_cast<uint32_t>(::getuid());
    const auto callBack = [&](const std::string& endpoint) {
        const std::vector<ObjectRecord> reference = {{0, 1, endpoint, pid, uid}};
        FrameHeader header{};
        return caller.send(makeFrame(FRAME_TRANSACTION, relayHandle, 1, wordBytes({1, 0}), reference)) &&
            caller.await(20s, &header) == RawPeer::Outcome::Reply && header.code == 0;
    };

    ThrowawayHosts kept(1);
    ThrowawayHosts throwaway(MAX_IDLE_CONNECTIONS + 36);
    ASSERT_TRUE(kept.listening());
    ASSERT_TRUE(throwaway.listening());
    ASSERT_TRUE(callBack(kept.endpoints()[0]));
    const ProcessUsage baseline = settledUsageOf(relay.pid());

    for (const std::string& endpoint : throwaway.endpoints())
        ASSERT_TRUE(callBack(endpoint)) << endpoint;
    // The bound in all, the kept host's connection (the least recently used) included.
    const ProcessUsage attacked = usageOf(relay.pid());
    EXPECT_LE(attacked.descriptors, baseline.descriptors - 1 + static_cast<int>(MAX_IDLE_CONNECTIONS))
        << describe(attacked) << " against " << describe(baseline);

    // The next call the relay makes, to a host still there, lets go of the rest.
    throwaway.hangUp();
    ASSERT_TRUE(callBack(kept.endpoints()[0]));
    const ProcessUsage after = usageBackTo(relay.pid(), baseline);
    EXPECT_LE(after.descriptors, baseline.descriptors) << describe(after) << " against " << describe(baseline);
}

} // namespace
} // namespace quorvel::robustness
