// Times process starts and socket round trips for the service benchmark.
//
//   service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]] ...
//       Starts each command RUNS times, the commands taking turns so that all of
//       them see the same machine load, and prints one line per command with its
//       median and minimum wall time in microseconds and its peak resident set
//       size in KiB. Standard output and standard error go to /dev/null; a run
//       that does not exit with status 0 stops the benchmark.
//       A command written @roundtrips:COUNT is not started: it stands for COUNT
//       request/answer round trips of 64 bytes over a Unix seqpacket socket (the
//       transport's socket type) to a peer process, timed here, so that a floor
//       takes turns with the command it is the floor of.
//   service_bench_timer roundtrips COUNT RUNS
//       The same round trips on their own, RUNS times; prints the median.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

namespace {

long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool transfer(int fd, char* buffer, size_t size, bool writing)
{
    for (;;) {
        const ssize_t n = writing ? send(fd, buffer, size, MSG_NOSIGNAL) : recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n == static_cast<ssize_t>(size);
    }
}

// A peer process that answers every 64-byte message with one of its own.
class EchoPeer {
public:
    bool start()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
            std::perror("socketpair");
            return false;
        }
        mPid = fork();
        if (mPid < 0) {
            std::perror("fork");
            return false;
        }
        if (mPid == 0) {
            close(fds[0]);
            char buffer[64] = {};
            while (transfer(fds[1], buffer, sizeof buffer, false) && transfer(fds[1], buffer, sizeof buffer, true)) {}
            _exit(0);
        }
        close(fds[1]);
        mFd = fds[0];
        return true;
    }

    ~EchoPeer()
    {
        if (mFd >= 0)
            close(mFd);
        if (mPid > 0)
            waitpid(mPid, nullptr, 0);
    }

    // Wall time of `count` round trips in microseconds, or a negative value.
    double time(int count)
    {
        char buffer[64] = {};
        const long long start = nowNs();
        for (int i = 0; i < count; ++i) {
            if (!transfer(mFd, buffer, sizeof buffer, true) || !transfer(mFd, buffer, sizeof buffer, false)) {
                std::fprintf(stderr, "round trip failed\n");
                return -1;
            }
        }
        return static_cast<double>(nowNs() - start) / 1000.0;
    }

private:
    int mFd = -1;
    pid_t mPid = -1;
};

struct Command {
    std::vector<char*> argv;
    int roundTrips = 0; // > 0 for an @roundtrips:COUNT pseudo-command
    std::vector<double> microseconds;
    long peakRssKib = 0;
};

// One run of `command`; false when it could not be started or failed.
bool runOnce(Command& command, const posix_spawn_file_actions_t& actions, EchoPeer& peer)
{
    if (command.roundTrips > 0) {
        const double us = peer.time(command.roundTrips);
        if (us < 0)
            return false;
        command.microseconds.push_back(us);
        return true;
    }
    const long long start = nowNs();
    pid_t pid;
    const int error = posix_spawnp(&pid, command.argv[0], &actions, nullptr, command.argv.data(), environ);
    if (error != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", command.argv[0], std::strerror(error));
        return false;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return false;
        }
    }
    const long long end = nowNs();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s did not exit with status 0 (wait status %d)\n", command.argv[0], status);
        return false;
    }
    command.microseconds.push_back(static_cast<double>(end - start) / 1000.0);
    command.peakRssKib = std::max(command.peakRssKib, usage.ru_maxrss);
    return true;
}

int spawnMode(int runs, int argc, char** argv)
{
    std::vector<Command> commands(1);
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], ":::") == 0)
            commands.emplace_back();
        else
            commands.back().argv.push_back(argv[i]);
    }
    EchoPeer peer;
    bool peerStarted = false;
    for (Command& command : commands) {
        if (command.argv.empty()) {
            std::fprintf(stderr, "empty command\n");
            return 2;
        }
        if (std::strncmp(command.argv[0], "@roundtrips:", 12) == 0) {
            command.roundTrips = std::atoi(command.argv[0] + 12);
            if (command.roundTrips <= 0 || command.argv.size() != 1) {
                std::fprintf(stderr, "bad %s\n", command.argv[0]);
                return 2;
            }
            if (!peerStarted && !(peerStarted = peer.start()))
                return 1;
        }
        command.argv.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    // A few unmeasured runs bring the binaries into the page cache.
    for (int i = 0; i < 3; ++i)
        for (Command& command : commands) {
            if (!runOnce(command, actions, peer))
                return 1;
            command.microseconds.clear();
        }
    for (int i = 0; i < runs; ++i)
        for (Command& command : commands)
            if (!runOnce(command, actions, peer))
                return 1;
    posix_spawn_file_actions_destroy(&actions);

    for (const Command& command : commands) {
        std::printf("median_us=%.1f min_us=%.1f peak_rss_kib=%ld runs=%d\n", median(command.microseconds),
                    *std::min_element(command.microseconds.begin(), command.microseconds.end()), command.peakRssKib,
                    runs);
    }
    return 0;
}

int roundtripMode(int count, int runs)
{
    EchoPeer peer;
    if (!peer.start())
        return 1;
    std::vector<double> microseconds;
    for (int run = 0; run < runs + 1; ++run) {
        const double us = peer.time(count);
        if (us < 0)
            return 1;
        if (run > 0) // the first run warms up
            microseconds.push_back(us);
    }
    std::printf("median_us=%.1f round_trips=%d runs=%d\n", median(microseconds), count, runs);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]] ...\n"
                 "       service_bench_timer roundtrips COUNT RUNS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "spawn") == 0) {
        const int runs = std::atoi(argv[2]);
        return runs > 0 ? spawnMode(runs, argc - 3, argv + 3) : usage();
    }
    if (argc == 4 && std::strcmp(argv[1], "roundtrips") == 0) {
        const int count = std::atoi(argv[2]);
        const int runs = std::atoi(argv[3]);
        return count > 0 && runs > 0 ? roundtripMode(count, runs) : usage();
    }
    return usage();
}
