// Starting, watching and ending ledsim's command.
#include "command_run.h"

#include "report.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace ledsim {

namespace {

// The signal that asks ledsim to stop (SIGTERM, SIGINT, SIGHUP), or 0.
volatile sig_atomic_t stopSignal = 0;

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

// Ends the command's process group: SIGTERM first, SIGKILL if it lingers.
void endCommand(pid_t child)
{
    kill(-child, SIGTERM);
    kill(-child, SIGCONT);
    const long long deadline = nowMs() + 2000;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0 && nowMs() < deadline)
        usleep(2000);
    kill(-child, SIGKILL);
    waitpid(child, &status, 0);
}

// A command stopped from the terminal (^Z) stops ledsim too, so that the shell
// sees its job stop; when the shell continues ledsim, the command continues.
void stopWithCommand(pid_t child, int terminal)
{
    if (terminal >= 0) {
        tcsetpgrp(terminal, getpgrp());
        raise(SIGSTOP);
        tcsetpgrp(terminal, child);
    }
    kill(-child, SIGCONT);
}

} // namespace

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
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

// Starts the command in a process group of its own, so that a timeout can stop it
// and everything it started. With a terminal, that group is the terminal's
// foreground: the command reads and is interrupted as if started by the shell.
pid_t startCommand(const std::vector<std::string>& command, int terminal, CommandGuard& guard, std::string& error)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    // Reports an exec failure back to us through a close-on-exec pipe.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = errnoText("pipe");
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        error = errnoText("fork");
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        // Dies with ledsim, even when ledsim is killed outright; a ledsim that died
        // before the request was made is seen by the check after it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(EXIT_SETUP);
        setpgid(0, 0);
        if (terminal >= 0)
            tcsetpgrp(terminal, getpgrp());
        // Ignored signals stay ignored across exec; the command gets the defaults.
        signal(SIGTTOU, SIG_DFL);
        for (const int caught : {SIGTERM, SIGINT, SIGHUP})
            signal(caught, SIG_DFL);
        execvp(argv[0], argv.data());
        const int execError = errno;
        (void)!write(report[1], &execError, sizeof execError);
        _exit(execError == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE);
    }
    // Both sides set the group and the foreground, whichever runs first.
    setpgid(child, child);
    guard.watch(child);
    if (terminal >= 0)
        tcsetpgrp(terminal, child);
    close(report[1]);
    int execError = 0;
    ssize_t got;
    do {
        got = read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof execError))
        fail("cannot run " + command[0] + ": " + strerror(execError));
    return child;
}

int waitForCommand(pid_t child, int timeoutSeconds, int terminal)
{
    const long long deadline = nowMs() + static_cast<long long>(timeoutSeconds) * 1000;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG | WUNTRACED);
        if (done == child && WIFSTOPPED(status)) {
            stopWithCommand(child, terminal);
            continue;
        }
        if (done == child) {
            kill(-child, SIGKILL); // whatever it left running in its group
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR)
            return EXIT_SETUP;
        if (stopSignal != 0) {
            const int signal = stopSignal;
            endCommand(child);
            fail(std::string("stopped by ") + strsignal(signal) + "; the command was ended");
            return 128 + signal;
        }
        if (nowMs() >= deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            fail("command timed out after " + std::to_string(timeoutSeconds) + " s");
            return EXIT_TIMEOUT;
        }
        usleep(2000);
    }
}

} // namespace ledsim
