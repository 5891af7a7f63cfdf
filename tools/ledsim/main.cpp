// ledsim: runs a command against a simulated LED class tree and prints what it did.
#include "fuse_mount.h"
#include "led_tree.h"
#include "options.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
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
// and everything it started.
pid_t startCommand(const std::vector<std::string>& command, std::string& error)
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
    const pid_t child = fork();
    if (child < 0) {
        error = errnoText("fork");
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        setpgid(0, 0);
        execvp(argv[0], argv.data());
        const int execError = errno;
        (void)!write(report[1], &execError, sizeof execError);
        _exit(execError == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE);
    }
    setpgid(child, child);
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

// The command's exit status, or EXIT_TIMEOUT after killing its process group.
int waitForCommand(pid_t child, int timeoutSeconds)
{
    const long long deadline = nowMs() + static_cast<long long>(timeoutSeconds) * 1000;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            kill(-child, SIGKILL); // whatever it left running in its group
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR)
            return EXIT_SETUP;
        if (nowMs() >= deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            fail("command timed out after " + std::to_string(timeoutSeconds) + " s");
            return EXIT_TIMEOUT;
        }
        usleep(2000);
    }
}

bool writeJournal(const ledsim::LedTree& tree, const std::string& path)
{
    FILE* out = stdout;
    if (!path.empty()) {
        out = fopen(path.c_str(), "we");
        if (out == nullptr) {
            fail(errnoText(("cannot write the journal to " + path).c_str()));
            return false;
        }
    }
    for (const std::string& line : tree.journal())
        fprintf(out, "%s\n", line.c_str());
    for (const std::string& line : tree.values())
        fprintf(out, "%s\n", line.c_str());
    const bool written = fflush(out) == 0 && !ferror(out);
    if (out != stdout)
        fclose(out);
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ledsim::Options options;
    std::string error;
    if (!ledsim::parseOptions(arguments, options, error)) {
        fail(error);
        fputs(ledsim::usageText(), stderr);
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
    if (!enterPrivateTree(error)) {
        fail(error);
        return EXIT_SETUP;
    }

    int status = EXIT_SETUP;
    bool stopped = true;
    {
        ledsim::FuseMount mount;
        if (mount.start(tree, std::string(ledsim::MOUNT_POINT), error) != 0) {
            fail(error);
            return EXIT_SETUP;
        }
        const pid_t child = startCommand(options.command, error);
        if (child < 0)
            fail(error);
        else
            status = waitForCommand(child, options.timeoutSeconds);
        stopped = mount.stop(2000);
        if (!writeJournal(tree, options.journalPath) && status == 0)
            status = EXIT_SETUP;
        if (!stopped) {
            fail("the simulated tree is still in use; leaving without unmounting cleanly");
            fflush(stdout);
            _exit(status);
        }
    }
    return status;
}
