// Starting, watching and ending ledsim's command.
//
// The command's init is cloned from a process that has threads (the file system's),
// without the C library's fork handlers, so it and the command, until exec, keep to
// calls that are safe there: no allocation, no stdio, no locks.
#include "command_run.h"

#include "report.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <utility>

namespace ledsim {

namespace {

// The signal that asks ledsim to stop (SIGTERM, SIGINT, SIGHUP), or 0.
volatile sig_atomic_t stopSignal = 0;

// What the init writes on its notice pipe when the command has stopped (^Z).
const char COMMAND_STOPPED = 'S';

// Signals a shell or a terminal sends a job; the init leaves them to the command.
const int JOB_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

void noteStopSignal(int signal)
{
    stopSignal = signal;
}

long long nowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void setDisposition(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// What the init needs, set up by ledsim before the clone.
struct InitStart {
    char* const* argv = nullptr;
    int terminal = -1;
    int alive = -1; // read end of a pipe only ledsim holds open: hangs up once it is gone
    int aliveWriter = -1; // the init's copy of the other end, closed first
    int report = -1; // the command's exec error goes here
    int notices = -1; // write end of the notice pipe
};

void say(const char* text)
{
    (void)!write(STDERR_FILENO, text, strlen(text));
}

// "ledsim: WHAT: ERROR" without allocating, then exits.
[[noreturn]] void initFailed(const char* what)
{
    const char* reason = strerrordesc_np(errno);
    say("ledsim: ");
    say(what);
    say(": ");
    say(reason != nullptr ? reason : "unknown error");
    say("\n");
    _exit(EXIT_SETUP);
}

[[noreturn]] void execCommand(const InitStart& start)
{
    // Ignored signals stay ignored across exec; the command gets the defaults.
    for (const int signal : JOB_SIGNALS)
        setDisposition(signal, SIG_DFL);
    execvp(start.argv[0], start.argv);
    const int execError = errno;
    (void)!write(start.report, &execError, sizeof execError);
    _exit(execError == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE);
}

// The first process of the command's pid namespace. When it ends, the kernel kills
// every other process of the namespace; it ends when the command does, or with
// ledsim (its parent-death signal). Meanwhile it reaps whatever is orphaned in the
// namespace and tells ledsim when the command stops.
[[noreturn]] void commandInit(const InitStart& start)
{
    close(start.aliveWriter);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A ledsim that died before the request was made has closed the pipe's other end.
    struct pollfd parent = {start.alive, POLLIN, 0};
    if (poll(&parent, 1, 0) != 0)
        _exit(EXIT_SETUP);
    // A /proc of the namespace, so that the command's pids and /proc agree; in a
    // mount namespace of its own, so that ledsim's /proc stays as it is.
    if (unshare(CLONE_NEWNS) != 0)
        initFailed("cannot give the command a mount namespace");
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        initFailed("cannot mount /proc for the command's pid namespace");
    setpgid(0, 0);
    if (start.terminal >= 0)
        tcsetpgrp(start.terminal, getpgrp());
    // ledsim's handlers came along with the clone, and a namespace's first process
    // still gets the signals it catches. The job's signals are the command's to act
    // on (it gets the defaults back); here they are ignored.
    for (const int signal : JOB_SIGNALS)
        setDisposition(signal, SIG_IGN);
    const pid_t command = _Fork();
    if (command < 0)
        initFailed("cannot start the command");
    if (command == 0)
        execCommand(start);
    close(start.report);
    while (true) {
        int status = 0;
        const pid_t done = waitpid(-1, &status, WUNTRACED);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            _exit(EXIT_SETUP);
        if (done != command)
            continue; // an orphan of the namespace
        if (WIFSTOPPED(status)) {
            (void)!write(start.notices, &COMMAND_STOPPED, 1);
            continue;
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
}

// Ends the command's process group: SIGTERM first, SIGKILL if it lingers. The
// init ignores the SIGTERM; the SIGKILL ends it and with it the whole namespace.
void endCommand(pid_t init)
{
    kill(-init, SIGTERM);
    kill(-init, SIGCONT);
    const long long deadline = nowMs() + 2000;
    int status = 0;
    while (waitpid(init, &status, WNOHANG) == 0 && nowMs() < deadline)
        usleep(2000);
    kill(-init, SIGKILL);
    waitpid(init, &status, 0);
}

// A command stopped from the terminal (^Z) stops ledsim too, so that the shell
// sees its job stop; when the shell continues ledsim, the command continues.
void stopWithCommand(pid_t init, int terminal)
{
    if (terminal >= 0) {
        tcsetpgrp(terminal, getpgrp());
        raise(SIGSTOP);
        tcsetpgrp(terminal, init);
    }
    kill(-init, SIGCONT);
}

bool commandStopped(int notices)
{
    char notice = 0;
    bool stopped = false;
    while (read(notices, &notice, 1) == 1)
        stopped = stopped || notice == COMMAND_STOPPED;
    return stopped;
}

// The two ends of a pipe, each with its owner.
struct Pipe {
    quorvel::UniqueFd read;
    quorvel::UniqueFd write;
};

// The pipes between ledsim and the init; ledsim keeps the ends it needs once the
// init has its copies.
struct InitPipes {
    Pipe report;
    Pipe alive;
    Pipe notices;
};

bool openPipe(Pipe& pipe, std::string& error)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = errnoText("pipe");
        return false;
    }
    pipe.read.reset(ends[0]);
    pipe.write.reset(ends[1]);
    return true;
}

bool openPipes(InitPipes& pipes, std::string& error)
{
    if (!openPipe(pipes.report, error) || !openPipe(pipes.alive, error) || !openPipe(pipes.notices, error))
        return false;
    // ledsim reads the notices between its other checks, without waiting for one.
    fcntl(pipes.notices.read.get(), F_SETFL, O_NONBLOCK);
    return true;
}

// The command's words as execvp takes them; they point into COMMAND.
std::vector<char*> argvOf(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// The init borrows the descriptors: the owners stay with ledsim, and the init,
// which never returns, closes its copies itself.
InitStart initStart(std::vector<char*>& argv, int terminal, const InitPipes& pipes)
{
    InitStart start;
    start.argv = argv.data();
    start.terminal = terminal;
    start.alive = pipes.alive.read.get();
    start.aliveWriter = pipes.alive.write.get();
    start.report = pipes.report.write.get();
    start.notices = pipes.notices.write.get();
    return start;
}

// Like fork, but into a new pid namespace: the child goes on with a copy of this
// stack (no stack given; the arguments' order differs between machines, zeros read
// the same in every order) and becomes the init. The pid, or -1 with errno.
pid_t cloneInit(const InitStart& start)
{
    const pid_t init = static_cast<pid_t>(syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0));
    if (init == 0)
        commandInit(start);
    return init;
}

// The errno of the command's failed exec; 0 when none comes (the exec closed the
// pipe, or the init ended without starting the command).
int readExecError(int report)
{
    int execError = 0;
    ssize_t got;
    do {
        got = read(report, &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof execError) ? execError : 0;
}

} // namespace

void catchStopSignals()
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        setDisposition(signal, noteStopSignal);
    // The command owns the terminal while it runs; ledsim still writes to it (the
    // live view) and hands it back and forth.
    signal(SIGTTOU, SIG_IGN);
}

int foregroundTerminal()
{
    if (!isatty(STDIN_FILENO))
        return -1;
    return tcgetpgrp(STDIN_FILENO) == getpgrp() ? STDIN_FILENO : -1;
}

// With a terminal, the command's process group is the terminal's foreground: the
// command reads and is interrupted as if started by the shell.
bool startCommand(const std::vector<std::string>& command, int terminal, RunningCommand& started, std::string& error)
{
    std::vector<char*> argv = argvOf(command);
    InitPipes pipes;
    if (!openPipes(pipes, error))
        return false;
    const pid_t init = cloneInit(initStart(argv, terminal, pipes));
    if (init < 0)
        error = errnoText("cannot start the command in a pid namespace of its own");
    // The init's ends are its own now (or nobody's).
    pipes.report.write.reset();
    pipes.notices.write.reset();
    pipes.alive.read.reset();
    if (init < 0)
        return false;
    // Both sides set the group and the foreground, whichever runs first.
    setpgid(init, init);
    if (terminal >= 0)
        tcsetpgrp(terminal, init);
    const int execError = readExecError(pipes.report.read.get());
    pipes.report.read.reset();
    // The init has checked on ledsim by now (it started the command or gave up).
    pipes.alive.write.reset();
    if (execError != 0)
        fail("cannot run " + command[0] + ": " + strerror(execError));
    started.init = init;
    started.notices = std::move(pipes.notices.read);
    return true;
}

int waitForCommand(RunningCommand& command, int timeoutSeconds, int terminal)
{
    const pid_t init = command.init;
    const long long deadline = nowMs() + static_cast<long long>(timeoutSeconds) * 1000;
    int result = EXIT_SETUP;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(init, &status, WNOHANG | WUNTRACED);
        if ((done == init && WIFSTOPPED(status)) || (done == 0 && commandStopped(command.notices.get()))) {
            stopWithCommand(init, terminal);
            continue;
        }
        if (done == init) {
            // The init passes the command's status on as an exit status.
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (done < 0 && errno != EINTR)
            break;
        if (stopSignal != 0) {
            const int signal = stopSignal;
            endCommand(init);
            fail(std::string("stopped by ") + strsignal(signal) + "; the command was ended");
            result = 128 + signal;
            break;
        }
        if (nowMs() >= deadline) {
            kill(-init, SIGKILL);
            waitpid(init, &status, 0);
            fail("command timed out after " + std::to_string(timeoutSeconds) + " s");
            result = EXIT_TIMEOUT;
            break;
        }
        usleep(2000);
    }
    command.notices.reset();
    return result;
}

} // namespace ledsim
