// ledsim: runs a command against a simulated LED class tree and prints what it did.
#include "command_guard.h"
#include "fuse_mount.h"
#include "led_tree.h"
#include "options.h"
#include "show_view.h"
#include "svg_timeline.h"
#include "value_timeline.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const int EXIT_TIMEOUT = 124;
const int EXIT_SETUP = 125;
const int EXIT_CANNOT_EXECUTE = 126;
const int EXIT_NOT_FOUND = 127;
const int EXIT_USAGE = 2;

const char* const SYS_CLASS = "/sys/class";

// The signal that asks ledsim to stop (SIGTERM, SIGINT, SIGHUP), or 0.
volatile sig_atomic_t stopSignal = 0;

void noteStopSignal(int signal)
{
    stopSignal = signal;
}

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

// The terminal the command gets to own: ledsim's standard input when that is a
// terminal whose foreground ledsim is; -1 otherwise.
int foregroundTerminal()
{
    if (!isatty(STDIN_FILENO))
        return -1;
    return tcgetpgrp(STDIN_FILENO) == getpgrp() ? STDIN_FILENO : -1;
}

// An output file, created (or emptied) before anything runs, so that a bad name
// stops ledsim before the command has run for nothing.
FILE* openOutput(const std::string& path, const char* what, std::string& error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        error = std::string("cannot write the ") + what + " to " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
}

void fail(const std::string& message)
{
    fprintf(stderr, "ledsim: %s\n", message.c_str());
}

std::string errnoText(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

// A mount namespace of our own, with a tmpfs over /sys/class so that the LED tree
// can be mounted without touching the machine's /sys.
bool enterPrivateTree(std::string& error)
{
    if (unshare(CLONE_NEWNS) != 0) {
        error = errnoText("cannot create a private mount namespace");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = errnoText("cannot make / private");
        return false;
    }
    if (mkdir("/sys", 0755) != 0 && errno != EEXIST) {
        error = errnoText("cannot create /sys");
        return false;
    }
    if (mkdir(SYS_CLASS, 0755) != 0 && errno != EEXIST) {
        error = errnoText("cannot create /sys/class");
        return false;
    }
    if (mount("ledsim", SYS_CLASS, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0) {
        error = errnoText("cannot mount a tmpfs over /sys/class");
        return false;
    }
    if (mkdir(std::string(ledsim::MOUNT_POINT).c_str(), 0755) != 0) {
        error = errnoText("cannot create /sys/class/leds");
        return false;
    }
    return true;
}

// Starts the command in a process group of its own, so that a timeout can stop it
// and everything it started. With a terminal, that group is the terminal's
// foreground: the command reads and is interrupted as if started by the shell.
pid_t startCommand(const std::vector<std::string>& command, int terminal, ledsim::CommandGuard& guard,
                   std::string& error)
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

// The command's exit status, EXIT_TIMEOUT after killing its process group, or
// 128+N when signal N asked ledsim to stop.
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

bool writeJournal(const ledsim::LedTree& tree, FILE* out, const std::string& path)
{
    for (const std::string& line : tree.journal())
        fprintf(out, "%s\n", line.c_str());
    for (const std::string& line : tree.values())
        fprintf(out, "%s\n", line.c_str());
    const bool written = fflush(out) == 0 && !ferror(out);
    if (!written)
        fail(errnoText(("cannot write the journal to " + (path.empty() ? "standard output" : path)).c_str()));
    return written;
}

bool writePicture(const std::string& svg, FILE* out, const std::string& path)
{
    const bool written = fputs(svg.c_str(), out) >= 0 && fflush(out) == 0 && !ferror(out);
    if (!written)
        fail(errnoText(("cannot write the picture to " + path).c_str()));
    return written;
}

std::string pictureTitle(const ledsim::Options& options)
{
    std::string title = "ledsim --profile " + options.profileText + " --";
    for (const std::string& word : options.command)
        title += " " + word;
    return title;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ledsim::Options options;
    std::string error;
    if (!ledsim::parseOptions(arguments, options, error)) {
        fail(error);
        fputs(ledsim::usageHint(), stderr);
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(ledsim::usageText(), stdout);
        return 0;
    }
    ledsim::LedTree tree(options.profile);
    for (const auto& [path, fault] : options.faults) {
        if (!tree.addFault(path, fault, error)) {
            fail(error);
            return EXIT_USAGE;
        }
    }
    if (options.listFiles) {
        for (const std::string& file : ledsim::profileFiles(options.profile))
            printf("%s%s\n", std::string(ledsim::MOUNT_POINT).c_str(), file.c_str());
        return 0;
    }
    if (geteuid() != 0) {
        fail("must run as root: it mounts a private tmpfs over /sys/class and a FUSE tree at "
             "/sys/class/leds in a mount namespace of its own (try sudo)");
        return EXIT_SETUP;
    }
    FILE* journal = stdout;
    if (!options.journalPath.empty() && (journal = openOutput(options.journalPath, "journal", error)) == nullptr) {
        fail(error);
        return EXIT_USAGE;
    }
    FILE* picture = nullptr;
    if (!options.picturePath.empty() && (picture = openOutput(options.picturePath, "picture", error)) == nullptr) {
        fail(error);
        return EXIT_USAGE;
    }
    // Before the namespace and the threads: the watcher must hold neither.
    ledsim::CommandGuard guard;
    if (const int started = guard.start(); started < 0) {
        fail(std::string("cannot start the command's watcher: ") + strerror(-started));
        return EXIT_SETUP;
    }
    if (!enterPrivateTree(error)) {
        fail(error);
        return EXIT_SETUP;
    }
    catchStopSignals();
    const int terminal = foregroundTerminal();

    int status = EXIT_SETUP;
    bool stopped = true;
    {
        ledsim::ValueTimeline timeline;
        if (options.show || picture != nullptr)
            tree.setWriteObserver(
                [&timeline](const std::string& path, const std::string& value) { timeline.record(path, value); });
        ledsim::FuseMount mount;
        if (mount.start(tree, std::string(ledsim::MOUNT_POINT), error) != 0) {
            fail(error);
            return EXIT_SETUP;
        }
        ledsim::ShowView view(options.profile, timeline, stdout);
        if (options.show)
            view.start();
        const pid_t child = startCommand(options.command, terminal, guard, error);
        if (child < 0)
            fail(error);
        else
            status = waitForCommand(child, options.timeoutSeconds, terminal);
        // Whatever way it ended, the command's group has been killed by now.
        guard.release();
        const double endMs = timeline.elapsedMs();
        if (terminal >= 0)
            tcsetpgrp(terminal, getpgrp());
        if (options.show)
            view.stop();
        stopped = mount.stop(2000);
        tree.setWriteObserver(nullptr);
        if (!writeJournal(tree, journal, options.journalPath) && status == 0)
            status = EXIT_SETUP;
        if (picture != nullptr) {
            const std::string svg =
                ledsim::renderSvgTimeline(options.profile, timeline.changes(), endMs, pictureTitle(options));
            if (!writePicture(svg, picture, options.picturePath) && status == 0)
                status = EXIT_SETUP;
        }
        if (!stopped) {
            fail("the simulated tree is still in use; leaving without unmounting cleanly");
            fflush(stdout);
            _exit(status);
        }
    }
    if (journal != stdout)
        fclose(journal);
    if (picture != nullptr)
        fclose(picture);
    return status;
}
