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

#include <quorvel/service_manager.h>

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorvel::testing {

using namespace std::chrono_literals;

// The programs under test, built by this tree.
const char* serviceManagerProgram();
const char* exampleServicesProgram();
const char* exampleClientProgram();

// The five names example-services registers, sorted.
const std::vector<std::string>& exampleServiceNames();

// The words of the command line that runs a target program on the build machine
// (empty on the host, and on the target itself, where the emulator is not found).
std::vector<std::string> emulatorPrefix();
// The ledsim program, which always runs on the build machine; empty if the build has
// none (a cross build configured without QUORVEL_HOST_LEDSIM).
std::string ledsimProgram();

// A fresh folder under $TMPDIR (or /tmp), removed with its files by the destructor;
// path() is empty if it could not be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

// The whole content of a file; empty if it cannot be read.
std::string readFile(const std::string& path);

// A copy of `program` in `dir` that every uid may reach and run, for a test that runs
// it as another user: the build tree may sit in a folder only its owner can enter
// (a checkout in a `mktemp -d` folder). Empty, with `*error` set, if it cannot be made.
std::string copyRunnableByAll(const std::string& program, const TempDir& dir, std::string* error);

struct RunResult {
    // The exit status, or 128 + the signal number when a signal ended the program
    // (as a shell reports it). -1 if it could not be started.
    int exitStatus = -1;
    int signal = 0; // the terminating signal, 0 when it exited
    bool timedOut = false; // killed with SIGKILL at the deadline
    std::string out; // standard output
    std::string err; // standard error
    std::string combined; // both, in the order the program wrote them
};

// Runs `argv` (argv[0] is a path, or a name searched in PATH) to completion or until
// `timeout`, with standard input from /dev/null. `environment` entries ("NAME=value")
// are added to, or replace, this process's environment. Standard output and standard
// error each go to a datagram socket that feeds one queue, which is how `combined`
// keeps the exact write order; a single write larger than the socket buffer (about
// 200 KiB) fails. The program runs in a process group of its own: whatever it leaves
// running in that group is killed when it ends or times out. `beforeExec` runs in the
// child just before exec (to set up namespaces, say); when it returns false the child
// exits with status 125.
RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s,
                     const std::vector<std::string>& environment = {}, const std::function<bool()>& beforeExec = {});
// The same for a program of the build machine (setpriv, a shell, ledsim): no emulator
// prefix. To run a built program through it, put emulatorPrefix() in front of that
// program.
RunResult runHostProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s,
                         const std::vector<std::string>& environment = {},
                         const std::function<bool()>& beforeExec = {});

// Runs `body` in a forked child that first raises its descriptor limit to
// `maxFiles`, then drops to `uid` and `gid` with no supplementary groups; the child
// exits with what `body` returns (127 if it could not drop). Returns the child's pid,
// or -1. Needs root. The caller reaps the child (waitForChild).
pid_t forkAsUser(uid_t uid, gid_t gid, size_t maxFiles, const std::function<int()>& body);
// Waits up to `timeout` for `pid` to exit and returns its status as RunResult does;
// kills it (and returns -1) at the deadline.
int waitForChild(pid_t pid, std::chrono::milliseconds timeout = 10s);

// A program running in the background with its output in a log file. Stopped
// (SIGTERM, then SIGKILL after a grace period) and reaped by the destructor.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts argv (emulator prefix added unless `emulated` is false: a program of the
    // build machine) with its output appended to `logPath`; `beforeExec` as for runProgram.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& logPath, bool emulated = true, const std::function<bool()>& beforeExec = {});
    // Sends `signal`, waits up to `grace` for the exit, then kills it. Returns the
    // exit status as RunResult::exitStatus does (-1 if nothing was running).
    int stop(int signal = 15 /* SIGTERM */, std::chrono::milliseconds grace = 3s);
    // True while the process has not exited (reaps it if it has).
    bool running();
    // The exit status once it has exited, -1 before.
    int exitStatus() const { return mExitStatus; }
    pid_t pid() const { return mPid; }

private:
    pid_t mPid = -1;
    int mExitStatus = -1;
};

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

    const std::string& runtimeDir() const { return mDir; }
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
    std::string mDir;
    std::string mSocket;
    bool mHadPreviousValue = false;
    std::string mPreviousValue;
    BackgroundProcess mServiceManager;
    BackgroundProcess mExampleServices;
    mutable sp<ServiceManagerPort> mServiceManagerPort;
};

} // namespace quorvel::testing
