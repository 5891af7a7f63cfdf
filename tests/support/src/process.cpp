#include <test_support/process.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace quorvel::testing {

namespace {

using Clock = std::chrono::steady_clock;

int decodeWaitStatus(int status, int* signal = nullptr)
{
    const int terminating = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (signal)
        *signal = terminating;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + terminating;
}

// Waits up to `timeout` for `pid` and fills `*status`; at the deadline kills it and
// reaps it all the same. 1 when it ended by itself, 0 when it was killed, -1 when
// there was no such child.
int reapWithin(pid_t pid, std::chrono::milliseconds timeout, int* status)
{
    const auto deadline = Clock::now() + timeout;
    // Where the kernel offers a descriptor that becomes readable at the exit, sleep on
    // it: a load test reaps thousands of short runs, each of which would otherwise
    // wait out a polling step.
    if (const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); exited >= 0) {
        pollfd ended{exited, POLLIN, 0};
        ::poll(&ended, 1, static_cast<int>(timeout.count()));
        ::close(exited);
    }
    for (;;) {
        const pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done != 0)
            return done == pid ? 1 : -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, status, 0);
            return 0;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// The environment for a child: ours, with `overrides` replacing same-named entries.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides)
{
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e)
        result.emplace_back(*e);
    for (const std::string& entry : overrides) {
        const std::string key = entry.substr(0, entry.find('=') + 1);
        std::erase_if(result, [&](const std::string& old) { return old.compare(0, key.size(), key) == 0; });
        result.push_back(entry);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Everything the child needs is prepared before fork: after it, only
// async-signal-safe calls, since the test process may have other threads.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int in, int out, int err,
            bool emulated = true, const std::function<bool()>& beforeExec = {}, bool ownGroup = false)
{
    std::vector<std::string> words = emulated ? emulatorPrefix() : std::vector<std::string>{};
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<std::string> env = childEnvironment(environment);
    std::vector<char*> argvPointers = pointers(words);
    std::vector<char*> envPointers = pointers(env);
    // execvpe so that an emulator named without a path is found on PATH.
    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0 && ownGroup)
            ::setpgid(pid, pid); // also here: the caller may signal the group before the child runs
        return pid;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a crashed test
    if (ownGroup)
        ::setpgid(0, 0);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (beforeExec && !beforeExec())
        ::_exit(125);
    ::execvpe(argvPointers[0], argvPointers.data(), envPointers.data());
    ::_exit(127);
}

// A datagram socket with a kernel-chosen abstract name.
int boundDatagramSocket(sockaddr_un* name, socklen_t* nameLength)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un any{};
    any.sun_family = AF_UNIX;
    *nameLength = sizeof *name;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(sa_family_t)) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(name), nameLength) < 0) {
        ::close(fd);
        return -1;
    }
    const int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

bool sameName(const sockaddr_un& a, socklen_t aLength, const sockaddr_un& b, socklen_t bLength)
{
    return aLength == bLength && std::memcmp(&a, &b, aLength) == 0;
}

bool programFound(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

} // namespace

std::vector<std::string> emulatorPrefix()
{
    // The cross build's tests also run natively on the target itself, which has no
    // emulator: there the compiled-in words are dropped.
    static const std::vector<std::string> words = [] {
        std::vector<std::string> found;
        std::istringstream in(QUORVEL_TEST_EMULATOR);
        for (std::string word; in >> word;)
            found.push_back(word);
        if (!found.empty() && !programFound(found.front()))
            found.clear();
        return found;
    }();
    return words;
}

std::string ledsimProgram()
{
    return QUORVEL_TEST_LEDSIM;
}

static RunResult runCaptured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                             const std::vector<std::string>& environment, bool emulated,
                             const std::function<bool()>& beforeExec)
{
    RunResult result;
    sockaddr_un sink{}, outName{}, errName{};
    socklen_t sinkLength, outLength, errLength;
    const int receiver = boundDatagramSocket(&sink, &sinkLength);
    const int out = boundDatagramSocket(&outName, &outLength);
    const int err = boundDatagramSocket(&errName, &errLength);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool ready = receiver >= 0 && out >= 0 && err >= 0 && in >= 0 &&
        ::connect(out, reinterpret_cast<sockaddr*>(&sink), sinkLength) == 0 &&
        ::connect(err, reinterpret_cast<sockaddr*>(&sink), sinkLength) == 0;
    const pid_t pid = ready ? spawn(argv, environment, in, out, err, emulated, beforeExec, true) : -1;
    for (int fd : {out, err, in})
        if (fd >= 0)
            ::close(fd);
    if (pid < 0) {
        if (receiver >= 0)
            ::close(receiver);
        result.err = ready ? "runProgram: fork failed" : "runProgram: cannot set up output capture";
        return result;
    }

    std::vector<char> buffer(1 << 20);
    auto drain = [&](int waitMs) {
        pollfd p{receiver, POLLIN, 0};
        while (::poll(&p, 1, waitMs) > 0) {
            sockaddr_un from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(receiver, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0)
                break;
            const std::string_view chunk(buffer.data(), static_cast<size_t>(n));
            if (sameName(from, fromLength, outName, outLength))
                result.out += chunk;
            else
                result.err += chunk;
            result.combined += chunk;
            waitMs = 0;
        }
    };
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        drain(10);
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (Clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
    }
    ::kill(-pid, SIGKILL); // whatever it left running in its group
    // Whatever the program wrote before it ended is queued by now.
    drain(0);
    ::close(receiver);
    result.exitStatus = decodeWaitStatus(status, &result.signal);
    return result;
}

RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                     const std::vector<std::string>& environment, const std::function<bool()>& beforeExec)
{
    return runCaptured(argv, timeout, environment, true, beforeExec);
}

RunResult runHostProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& environment, const std::function<bool()>& beforeExec)
{
    return runCaptured(argv, timeout, environment, false, beforeExec);
}

RunResult runInChild(const std::function<int()>& body, std::chrono::milliseconds timeout)
{
    std::fflush(nullptr); // or the child writes out this process's buffered output again
    // The child ends with the body: there is nothing to execute.
    return runCaptured({}, timeout, {}, false, [&body] {
        const int status = body();
        std::fflush(nullptr);
        ::_exit(status);
        return false;
    });
}

ScopedEnv::ScopedEnv(std::string name)
    : mName(std::move(name))
{
    if (const char* old = std::getenv(mName.c_str())) {
        mHadValue = true;
        mOldValue = old;
    }
}

ScopedEnv::~ScopedEnv()
{
    set(mHadValue ? mOldValue.c_str() : nullptr);
}

void ScopedEnv::set(const char* value)
{
    if (value)
        ::setenv(mName.c_str(), value, 1);
    else
        ::unsetenv(mName.c_str());
}

BackgroundProcess::~BackgroundProcess()
{
    stop(SIGTERM, 3s);
}

bool BackgroundProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                              const std::string& logPath, bool emulated, const std::function<bool()>& beforeExec)
{
    stop(SIGKILL, 3s);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    mExitStatus = -1;
    if (log >= 0 && in >= 0)
        mPid = spawn(argv, environment, in, log, log, emulated, beforeExec);
    for (int fd : {log, in})
        if (fd >= 0)
            ::close(fd);
    return mPid > 0;
}

bool BackgroundProcess::running()
{
    if (mPid <= 0)
        return false;
    int status;
    if (::waitpid(mPid, &status, WNOHANG) == mPid) {
        mExitStatus = decodeWaitStatus(status);
        mPid = -1;
        return false;
    }
    return true;
}

int BackgroundProcess::stop(int signal, std::chrono::milliseconds grace)
{
    if (!running())
        return mExitStatus;
    ::kill(mPid, signal);
    int status = 0;
    if (reapWithin(mPid, grace, &status) >= 0)
        mExitStatus = decodeWaitStatus(status);
    mPid = -1;
    return mExitStatus;
}

AsOtherUser::AsOtherUser(uid_t uid, std::function<int()> setUp, std::function<int(int letGo)> hold, size_t maxFiles)
{
    int ready[2], done[2];
    if (::pipe2(ready, O_CLOEXEC) < 0 || ::pipe2(done, O_CLOEXEC) < 0)
        return;
    // The child has `maxFiles` descriptors and no supplementary groups.
    mPid = ::fork();
    if (mPid == 0) {
        const rlimit limit{maxFiles, maxFiles};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        if (::setgroups(0, nullptr) < 0 || ::setgid(uid) < 0 || ::setuid(uid) < 0)
            ::_exit(127);
        ::close(ready[0]);
        ::close(done[1]);
        const int value = setUp();
        [[maybe_unused]] ssize_t n = ::write(ready[1], &value, sizeof value);
        ::_exit(value >= 0 ? hold(done[0]) : 126);
    }
    ::close(ready[1]);
    ::close(done[0]);
    mDone = done[1];
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, 120000) != 1 || ::read(ready[0], &mValue, sizeof mValue) != sizeof mValue)
        mValue = -1;
    ::close(ready[0]);
}

int AsOtherUser::finish()
{
    if (mDone >= 0) {
        // A byte rather than the end of the pipe: other children forked meanwhile
        // hold copies of this end.
        [[maybe_unused]] ssize_t n = ::write(mDone, "x", 1);
        ::close(mDone);
    }
    mDone = -1;
    if (mPid > 0)
        mStatus = waitForChild(mPid, 30s);
    mPid = -1;
    return mStatus;
}

int runDiscardingOutput(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        return -1;
    const pid_t pid = spawn(argv, {}, devNull, devNull, devNull);
    ::close(devNull);
    return pid > 0 ? waitForChild(pid, timeout) : -1;
}

int waitForChild(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = 0;
    return reapWithin(pid, timeout, &status) == 1 ? decodeWaitStatus(status) : -1;
}

} // namespace quorvel::testing
