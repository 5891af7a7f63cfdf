// Times process starts and socket round trips for the service benchmark.
//
//   service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]]
//       Starts each command RUNS times, the commands taking turns so that both
//       see the same machine load, and prints for each its median and minimum
//       wall time in microseconds and its peak resident set size in KiB.
//       Standard output and standard error go to /dev/null; a run that does not
//       exit with status 0 stops the benchmark.
//   service_bench_timer roundtrips COUNT RUNS
//       Times COUNT request/answer round trips of 64 bytes over a Unix stream
//       socket between two processes, RUNS times, and prints the median.
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

struct Command {
    std::vector<char*> argv;
    std::vector<double> microseconds;
    long peakRssKib = 0;
};

// One start of `command`; false when it could not be started or failed.
bool runOnce(Command& command, const posix_spawn_file_actions_t& actions)
{
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
        if (std::strcmp(argv[i], ":::") == 0) {
            commands.emplace_back();
            continue;
        }
        commands.back().argv.push_back(argv[i]);
    }
    for (Command& command : commands) {
        if (command.argv.empty()) {
            std::fprintf(stderr, "empty command\n");
            return 2;
        }
        command.argv.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    // A few unmeasured starts bring the binaries into the page cache.
    for (int i = 0; i < 3; ++i)
        for (Command& command : commands) {
            if (!runOnce(command, actions))
                return 1;
            command.microseconds.clear();
        }
    for (int i = 0; i < runs; ++i)
        for (Command& command : commands)
            if (!runOnce(command, actions))
                return 1;
    posix_spawn_file_actions_destroy(&actions);

    for (const Command& command : commands) {
        std::printf("median_us=%.1f min_us=%.1f peak_rss_kib=%ld runs=%d\n", median(command.microseconds),
                    *std::min_element(command.microseconds.begin(), command.microseconds.end()),
                    command.peakRssKib, runs);
    }
    return 0;
}

bool transfer(int fd, char* buffer, size_t size, bool writing)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = writing ? write(fd, buffer + done, size - done) : read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int roundtripMode(int count, int runs)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        return 1;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    char buffer[64] = {};
    if (pid == 0) {
        close(fds[0]);
        while (transfer(fds[1], buffer, sizeof buffer, false) && transfer(fds[1], buffer, sizeof buffer, true)) {
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<double> microseconds;
    for (int run = 0; run < runs + 1; ++run) {
        const long long start = nowNs();
        for (int i = 0; i < count; ++i) {
            if (!transfer(fds[0], buffer, sizeof buffer, true) || !transfer(fds[0], buffer, sizeof buffer, false)) {
                std::fprintf(stderr, "round trip failed\n");
                return 1;
            }
        }
        if (run > 0) // the first run warms up
            microseconds.push_back(static_cast<double>(nowNs() - start) / 1000.0);
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    std::printf("median_us=%.1f round_trips=%d runs=%d\n", median(microseconds), count, runs);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]]\n"
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
