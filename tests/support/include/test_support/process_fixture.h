#pragma once
// Test support for everything that crosses a process boundary: a private service
// manager with the example services running, and a way to run a program and capture
// what it prints and how it ends, all bounded in time.
//
// Typical use in a GoogleTest fixture:
//
//   quorvel::testing::ProcessFixture world;        // starts servicemanager + example-services
//   ASSERT_TRUE(world.ready()) << world.error();
//   auto r = world.run({"/path/to/service", "list"});
//   EXPECT_EQ(r.exitStatus, 0);
//   EXPECT_EQ(r.out, "...");                      // r.err, and r.combined in write order
//
// Every program is started with the emulator of the build in front when it has one
// (for example "qemu-arm -L /usr/arm-linux-gnueabihf" in a cross build), and with
// QUORVEL_SERVICE_MANAGER pointing at the fixture's socket. The fixture sets that
// variable in the test process too, so quorvel::defaultServiceManager() reaches the
// same daemon; the destructor restores it, stops and reaps every process it started
// and removes its temporary folder.
//
// NOT THREADSAFE: use one fixture from one thread.

#include <test_support/process.h>
#include <test_support/temp_dir.h>

#include <quorvel/service_manager.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorvel::testing {

// The programs under test, built by this tree.
const char* serviceManagerProgram();
const char* exampleServicesProgram();
const char* exampleClientProgram();

// A name as the tests compare it: UTF-16 units above ASCII become '?'.
std::string toAscii(const String16& text);

// The five names example-services registers, sorted.
const std::vector<std::string>& exampleServiceNames();

class ProcessFixture {
public:
    struct Options {
        bool startExampleServices = true;
        // Make the folder and socket reachable by every uid (for tests that run a
        // client as another user).
        bool worldAccessible = false;
        // How long start-up may take before the fixture gives up.
        std::chrono::milliseconds readyTimeout = 10s;
    };

    ProcessFixture();
    explicit ProcessFixture(Options options);
    ~ProcessFixture();
    ProcessFixture(const ProcessFixture&) = delete;
    ProcessFixture& operator=(const ProcessFixture&) = delete;

    // False when something could not be started; error() then says what.
    bool ready() const { return mError.empty(); }
    const std::string& error() const { return mError; }

    const std::string& runtimeDir() const { return mDir.path(); }
    const std::string& socketPath() const { return mSocket; }
    // "QUORVEL_SERVICE_MANAGER=<socket>", the environment every child gets.
    std::vector<std::string> environment() const;

    BackgroundProcess& serviceManager() { return mServiceManager; }
    BackgroundProcess& exampleServices() { return mExampleServices; }
    // What each background program printed so far.
    std::string serviceManagerLog() const;
    std::string exampleServicesLog() const;

    // (Re)starts example-services and waits until all five names are listed.
    bool startExampleServices();
    // Starts `example-client serve NAME [DESCRIPTOR]` as `host`, its output in
    // NAME.log in the runtime folder, and waits until NAME is listed.
    bool serve(BackgroundProcess& host, const std::string& name, const std::string& descriptor = {});
    // Waits until every name in `names` is listed (present) or none is (!present).
    bool waitForServices(const std::vector<std::string>& names, bool present = true,
                         std::chrono::milliseconds timeout = 10s);
    // The names the service manager lists now, as UTF-8 (ASCII) text. Asked over one
    // connection that the fixture keeps open, so that its checks do not leave
    // connections closing in the daemon behind them.
    std::vector<std::string> listedNames() const;

    // runProgram with this fixture's environment added.
    RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s,
                  const std::vector<std::string>& environment = {}) const;
    // runHostProgram with this fixture's environment added.
    RunResult runHost(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s,
                      const std::vector<std::string>& environment = {}) const;

private:
    bool startServiceManager();

    Options mOptions;
    std::string mError;
    // Under /tmp whatever $TMPDIR says: the socket path must fit sockaddr_un.
    TempDir mDir{"/tmp"};
    std::string mSocket;
    ScopedEnv mServiceManagerVariable{SERVICE_MANAGER_ENV};
    BackgroundProcess mServiceManager;
    BackgroundProcess mExampleServices;
    mutable sp<ServiceManagerPort> mServiceManagerPort;
};

} // namespace quorvel::testing
