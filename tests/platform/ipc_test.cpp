// Across real processes: servicemanager and example-services run as separate
// programs; this test process is their client.
#include <quorvel/binder.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <quorvel/service_manager_protocol.h>

#include <test_support/process_stats.h>
#include <test_support/process_fixture.h>
#include <test_support/raw_peer.h>

#include <gtest/gtest.h>

#include <regex>

#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <sys/stat.h>

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::NullObject;
using testing::ProcessFixture;

status_t descriptorOf(const sp<IBinder>& binder, String16* descriptor)
{
    Parcel data, reply;
    const status_t status = binder->transact(INTERFACE_TRANSACTION, data, &reply);
    if (status == OK)
        *descriptor = reply.readString16();
    return status;
}

class ExampleServices : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.ready()) << world.error();
        sm = defaultServiceManager();
        ASSERT_NE(sm, nullptr);
        echo = sm->checkService(String16("example.echo"));
        ASSERT_NE(echo, nullptr);
    }

    ProcessFixture world;
    sp<ServiceManagerPort> sm;
    sp<IBinder> echo;
};

TEST_F(ExampleServices, ListingIsSortedByName)
{
    const Vector<String16> names = sm->listServices();
    ASSERT_EQ(names.size(), 5u);
    const char* expected[] = {"example.echo", "example.failing", "example.nodescriptor", "example.refusing",
                              "example.unicode"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(names[i], String16(expected[i])) << i;
}

TEST_F(ExampleServices, LookUpFindsRegisteredNamesOnly)
{
    EXPECT_NE(sm->checkService(String16("example.echo")), nullptr);
    EXPECT_EQ(sm->checkService(String16("example.missing")), nullptr);
    EXPECT_EQ(sm->checkService(String16("")), nullptr);
}

TEST_F(ExampleServices, EachServiceAnswersTheDescriptorQueryItsOwnWay)
{
    String16 d;
    EXPECT_EQ(descriptorOf(sm->checkService(String16("example.echo")), &d), OK);
    EXPECT_EQ(d, String16("quorvel.example.IEcho"));
    EXPECT_EQ(descriptorOf(sm->checkService(String16("example.failing")), &d), OK);
    EXPECT_EQ(d, String16("quorvel.example.IFailing"));
    d = String16("not touched");
    EXPECT_EQ(descriptorOf(sm->checkService(String16("example.nodescriptor")), &d), OK);
    EXPECT_EQ(d.size(), 0u);
    EXPECT_NE(descriptorOf(sm->checkService(String16("example.refusing")), &d), OK);
    EXPECT_EQ(descriptorOf(sm->checkService(String16("example.unicode")), &d), OK);
    EXPECT_EQ(d, String16(u"quorvel.example.Caf\u00e9\u2603", 21));
}

TEST_F(ExampleServices, ServiceManagerAnswersWithItsOwnDescriptor)
{
    String16 d;
    EXPECT_EQ(descriptorOf(sm->asBinder(), &d), OK);
    EXPECT_EQ(d, String16(SERVICE_MANAGER_DESCRIPTOR));
}

TEST_F(ExampleServices, EchoRepliesWithCodeThenTheDataVerbatim)
{
    Parcel data, reply;
    data.writeInterfaceToken(String16("quorvel.example.IEcho"));
    data.writeInt32(-5);
    data.writeString16(String16("h\xC3\xA9"));
    data.writeStrongBinder(nullptr);
    ASSERT_EQ(echo->transact(77, data, &reply), OK);
    ASSERT_EQ(reply.dataSize(), 4 + data.dataSize());
    EXPECT_EQ(reply.readInt32(), 77);
    EXPECT_EQ(std::memcmp(reply.data() + 4, data.data(), data.dataSize()), 0);
    EXPECT_TRUE(reply.enforceInterface(String16("quorvel.example.IEcho")));
    EXPECT_EQ(reply.readInt32(), -5);
    EXPECT_EQ(reply.readString16(), String16("h\xC3\xA9"));
    sp<IBinder> null(new NullObject());
    EXPECT_EQ(reply.readStrongBinder(&null), OK);
    EXPECT_EQ(null, nullptr);
}

TEST_F(ExampleServices, LargeParcelsArriveIntactAndOversizedRepliesAreRefused)
{
    for (size_t words : {size_t{2000}, size_t{16000}, MAX_PARCEL_DATA / 4 - 1}) {
        Parcel data, reply;
        for (size_t i = 0; i < words; ++i)
            data.writeUint32(static_cast<uint32_t>(i * 2654435761u));
        ASSERT_EQ(echo->transact(3, data, &reply), OK) << words;
        ASSERT_EQ(reply.dataSize(), 4 + data.dataSize());
        EXPECT_EQ(std::memcmp(reply.data() + 4, data.data(), data.dataSize()), 0) << words;
        // The same reply parcel again: what it held before must not leak into it.
        Parcel small;
        small.writeInt32(8);
        ASSERT_EQ(echo->transact(4, small, &reply), OK);
        EXPECT_EQ(reply.dataSize(), 8u);
    }
    // The echo of a full parcel would be one word over the limit.
    Parcel full, reply;
    while (full.dataSize() < MAX_PARCEL_DATA)
        full.writeInt32(1);
    EXPECT_EQ(echo->transact(5, full, &reply), LIMIT_EXCEEDED);
    EXPECT_EQ(reply.errorCheck(), LIMIT_EXCEEDED);
}

TEST_F(ExampleServices, ObjectReferencesTravelThereAndBack)
{
    const sp<IBinder> failing = sm->checkService(String16("example.failing"));
    const sp<IBinder> mine(new NullObject());
    Parcel data, reply;
    data.writeStrongBinder(mine);
    data.writeStrongBinder(failing);
    ASSERT_EQ(echo->transact(1, data, &reply), OK);
    EXPECT_EQ(reply.objectsCount(), 2u);
    EXPECT_EQ(reply.readInt32(), 1);
    // Our own object comes back as itself, not as a proxy to ourselves.
    EXPECT_EQ(reply.readStrongBinder(), mine);
    // A reference to another service still reaches that service.
    const sp<IBinder> back = reply.readStrongBinder();
    ASSERT_NE(back, nullptr);
    Parcel empty, answer;
    EXPECT_EQ(back->transact(9, empty, &answer), FAILED_TRANSACTION);
}

TEST_F(ExampleServices, FailingServiceGivesItsStatusAndAnEmptyReply)
{
    const sp<IBinder> failing = sm->checkService(String16("example.failing"));
    Parcel data, reply;
    data.writeInt32(1);
    EXPECT_EQ(failing->transact(1, data, &reply), FAILED_TRANSACTION);
    EXPECT_EQ(reply.errorCheck(), FAILED_TRANSACTION);
    EXPECT_EQ(reply.dataSize(), 0u);
}

TEST_F(ExampleServices, ClientsTalkToTheHostDirectlyNotThroughTheDaemon)
{
    const std::string endpoint = testing::endpointOf("example.echo");
    // The host's own endpoint: its pid, then 64 random bits.
    EXPECT_TRUE(std::regex_match(
        endpoint, std::regex("@quorvel\\." + std::to_string(world.exampleServices().pid()) + "\\.[0-9a-f]{16}")))
        << endpoint;
}

TEST_F(ExampleServices, KilledHostLosesItsNamesAndAPendingCallFailsPromptly)
{
    // Stopped, the host cannot answer: the call below is pending until it dies.
    ASSERT_EQ(::kill(world.exampleServices().pid(), SIGSTOP), 0);
    auto pending = std::async(std::launch::async, [this] {
        Parcel data, reply;
        data.writeInt32(1);
        return echo->transact(5, data, &reply);
    });
    EXPECT_EQ(pending.wait_for(200ms), std::future_status::timeout);
    world.exampleServices().stop(SIGKILL);
    ASSERT_EQ(pending.wait_for(10s), std::future_status::ready) << "the call hangs after its host died";
    EXPECT_EQ(pending.get(), DEAD_OBJECT);

    EXPECT_TRUE(world.waitForServices(testing::exampleServiceNames(), false, 10s));
    EXPECT_EQ(sm->listServices().size(), 0u);
    // The reference stays dead.
    Parcel data, reply;
    EXPECT_EQ(echo->transact(1, data, &reply), DEAD_OBJECT);
    EXPECT_EQ(reply.errorCheck(), DEAD_OBJECT);
}

TEST_F(ExampleServices, DyingHostLosesEveryNameItRegisteredAndNoOtherHostsName)
{
    // A live host whose name sorts among the five of example-services.
    testing::BackgroundProcess other;
    ASSERT_TRUE(world.serve(other, "example.keep"));

    world.exampleServices().stop(SIGKILL);
    ASSERT_TRUE(world.waitForServices(testing::exampleServiceNames(), false, 10s)) << "some names outlived their host";
    for (const std::string& name : testing::exampleServiceNames())
        EXPECT_EQ(sm->checkService(String16(name.c_str())), nullptr) << name;
    EXPECT_EQ(world.listedNames(), std::vector<std::string>{"example.keep"});
    EXPECT_NE(sm->checkService(String16("example.keep")), nullptr);
}

TEST_F(ExampleServices, LaterRegistrationReplacesTheEarlierOne)
{
    testing::BackgroundProcess second;
    ASSERT_TRUE(world.serve(second, "example.echo"));
    const std::string wanted = "@quorvel." + std::to_string(second.pid()) + ".";
    EXPECT_TRUE(robustness::eventually([&] { return testing::endpointOf("example.echo").rfind(wanted, 0) == 0; }, 10s));
    EXPECT_EQ(sm->listServices().size(), 5u);
    // When the replacing process goes, the name goes with it.
    second.stop();
    EXPECT_TRUE(world.waitForServices({"example.echo"}, false, 10s));
    EXPECT_TRUE(world.waitForServices({"example.failing"}, true, 1s));
}

TEST_F(ExampleServices, AddServiceRefusesObjectsThatAreNotLocal)
{
    EXPECT_EQ(sm->addService(String16("example.stolen"), echo), BAD_VALUE);
    EXPECT_EQ(sm->addService(String16("example.null"), nullptr), BAD_VALUE);
}

TEST_F(ExampleServices, BadNamesAreRefused)
{
    const sp<IBinder> mine(new NullObject());
    EXPECT_EQ(sm->addService(String16(""), mine), BAD_VALUE);
    EXPECT_EQ(sm->addService(String16(std::u16string(256, u'n')), mine), BAD_VALUE);
    EXPECT_EQ(sm->addService(String16(std::u16string(255, u'n')), mine), OK);
    EXPECT_NE(sm->checkService(String16(std::u16string(255, u'n'))), nullptr);
}

TEST_F(ExampleServices, ProcessRegistersMoreObjectsThanItsBacklogBeforeItServes)
{
    // This process never accepts on its endpoint: the daemon must see who listens
    // there without leaving a connection per registration in its backlog.
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(sm->addService(String16(("example.many." + std::to_string(i)).c_str()), new NullObject()), OK) << i;
    EXPECT_EQ(sm->listServices().size(), 305u);
}

TEST(ServiceManagerAbsent, DefaultServiceManagerIsNullWithoutADaemon)
{
    testing::ScopedEnv variable(SERVICE_MANAGER_ENV);
    variable.set("/nonexistent/quorvel/servicemanager");
    EXPECT_EQ(defaultServiceManager(), nullptr);
}

TEST(ServiceManagerAbsent, ExampleServicesGivesUpWithAClearMessage)
{
    const auto r = testing::runProgram({testing::exampleServicesProgram()}, 30s,
                                       {"QUORVEL_SERVICE_MANAGER=/nonexistent/quorvel/servicemanager"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "example-services: cannot reach the service manager at /nonexistent/quorvel/servicemanager\n");
}

TEST(ServiceManagerDaemon, CreatesItsFolderAndRemovesItsSocketOnSigterm)
{
    ProcessFixture scratch({.startExampleServices = false});
    ASSERT_TRUE(scratch.ready()) << scratch.error();
    const std::string socket = scratch.runtimeDir() + "/a/b/servicemanager";
    testing::BackgroundProcess daemon;
    ASSERT_TRUE(daemon.start({testing::serviceManagerProgram()}, {"QUORVEL_SERVICE_MANAGER=" + socket},
                             scratch.runtimeDir() + "/nested.log"));
    struct stat st;
    ASSERT_TRUE(robustness::eventually([&] { return ::stat(socket.c_str(), &st) == 0; }, 10s));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(daemon.stop(SIGTERM, 10s), 0);
    EXPECT_NE(::stat(socket.c_str(), &st), 0);
}

TEST(ServiceManagerPermissions, RegistrationFromAnotherUidIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another uid";
    ProcessFixture world({.startExampleServices = false, .worldAccessible = true});
    ASSERT_TRUE(world.ready()) << world.error();
    std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const std::string& word : testing::emulatorPrefix())
        asNobody.push_back(word);
    testing::TempDir programs;
    std::string error;
    asNobody.push_back(testing::copyRunnableByAll(testing::exampleClientProgram(), programs, &error));
    ASSERT_FALSE(asNobody.back().empty()) << error;

    auto registerCommand = asNobody;
    registerCommand.insert(registerCommand.end(), {"register", "other.uid"});
    const auto refused = world.runHost(registerCommand, 30s);
    EXPECT_EQ(refused.exitStatus, 1) << refused.combined;
    EXPECT_EQ(refused.err, "example-client: register other.uid: permission denied (-1)\n");

    // Look-up stays open to that uid, and the name was not registered.
    auto listCommand = asNobody;
    listCommand.push_back("list");
    const auto listed = world.runHost(listCommand, 30s);
    EXPECT_EQ(listed.exitStatus, 0) << listed.combined;
    EXPECT_EQ(listed.out, "Found 0 services:\n");

    // The daemon's own uid may register.
    const auto accepted = world.run({testing::exampleClientProgram(), "register", "same.uid"}, 30s);
    EXPECT_EQ(accepted.exitStatus, 0) << accepted.combined;
}

} // namespace
} // namespace quorvel
