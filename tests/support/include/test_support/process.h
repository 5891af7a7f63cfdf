#pragma once
// Runs programs for a test, bounded in time: to completion with their output captured,
// in the background, or as another user. Target programs get the build's emulator
// in front.

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorvel::testing {

using namespace std::chrono_literals;

// The words of the command line that runs a target program on the build machine
// (empty on the host, and on the target itself, where the emulator is not found).
std::vector<std::string> emulatorPrefix();
// The ledsim program, which always runs on the build machine; empty if the build has
// none (a cross build configured without QUORVEL_HOST_LEDSIM).
std::string ledsimProgram();

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

// Runs `body` in a forked child of this process, captured and bounded as runProgram
// runs a program: what the child writes goes to `out`, `err` and `combined`, and its
// exit status is what `body` returns. The child is a copy of a process that may have
// other threads, so `body` must not wait for a lock another thread could hold.
RunResult runInChild(const std::function<int()>& body, std::chrono::milliseconds timeout = 10s);

// Runs `argv` as runProgram does, with standard input and output on /dev/null, for
// the thousands of short runs of a load test that need only the exit status: that
// status as RunResult::exitStatus gives it, or -1 if it could not start or was killed
// at the deadline.
int runDiscardingOutput(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s);

// Waits up to `timeout` for `pid` to exit and returns its status as RunResult does;
// kills it (and returns -1) at the deadline.
int waitForChild(pid_t pid, std::chrono::milliseconds timeout = 10s);

// One environment variable of this process, held for a test: the value it had is put
// back (or the variable removed again) when the holder goes, however the test ends.
class ScopedEnv {
public:
    explicit ScopedEnv(std::string name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    // Sets the variable, or removes it when `value` is null.
    void set(const char* value);

private:
    std::string mName;
    bool mHadValue = false;
    std::string mOldValue;
};

// A child that runs as another uid (and gid), for a test that plays another local
// user: `setUp` prepares what it holds and returns a count (negative when it failed),
// then `hold` runs until the test lets go, given a descriptor that becomes readable
// at that moment; the child's exit status is what `hold` returns (127 if it could not
// become that user). It may hold `maxFiles` descriptors. Needs root.
class AsOtherUser {
public:
    AsOtherUser(uid_t uid, std::function<int()> setUp, std::function<int(int letGo)> hold, size_t maxFiles = 1024);
    ~AsOtherUser() { finish(); }
    AsOtherUser(const AsOtherUser&) = delete;
    AsOtherUser& operator=(const AsOtherUser&) = delete;

    bool ready() const { return mPid > 0 && mValue >= 0; }
    // What setUp returned.
    int value() const { return mValue; }
    // Lets go and returns the child's exit status.
    int finish();

private:
    pid_t mPid = -1;
    int mDone = -1;
    int mValue = -1;
    int mStatus = -1;
};

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

} // namespace quorvel::testing
