// Times process starts, and the floors they are held against, for the service
// benchmark.
//
//   service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]] ...
//       Starts each command RUNS times, the commands taking turns so that all of
//       them see the same machine load, and prints one line per command with its
//       median and minimum wall time in microseconds and its peak resident set
//       size in KiB. Standard output and standard error go to /dev/null; a run
//       that does not exit with status 0 stops the benchmark.
//       A command written @listfloor:FIRST:PAIRS stands for the floor of a listing:
//       a new process (this program, started like any command) that connects to
//       two peer processes A and B, makes FIRST round trips with A, then PAIRS
//       times one with A and one with B: the shape of `service list`, which asks
//       the service manager for its descriptor and the pages of names, then for
//       each name looks it up at the manager and queries the descriptor at the
//       hosting process. Round trips are 64 bytes over Unix seqpacket sockets
//       (the transport's socket type) to peers that block in recv, one
//       connection at a time each.
//   service_bench_timer floorclient A B FIRST PAIRS
//       That floor's process: A and B are the peers' abstract socket names.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <csignal>
#include <cstddef>
#include <sys/socket.h>
#include <sys/un.h>
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

socklen_t abstractAddress(const std::string& name, sockaddr_un* address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, name.data(), std::min(name.size(), sizeof address->sun_path - 1));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// A peer process that listens on an abstract socket and serves one connection at a
// time, answering every 64-byte message with one of its own, as a serving thread
// blocked in recv would. Killed by the destructor.
class EchoPeer {
public:
    bool start(const std::string& name)
    {
        sockaddr_un address;
        const socklen_t length = abstractAddress(name, &address);
        const int listening = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (listening < 0 || bind(listening, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listening, 8) != 0) {
            std::perror("echo peer");
            return false;
        }
        mPid = fork();
        if (mPid < 0) {
            std::perror("fork");
            return false;
        }
        if (mPid == 0) {
            for (;;) {
                const int fd = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                char buffer[64] = {};
                while (transfer(fd, buffer, sizeof buffer, false) && transfer(fd, buffer, sizeof buffer, true)) {}
                close(fd);
            }
        }
        close(listening);
        return true;
    }

    ~EchoPeer()
    {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
    }

private:
    pid_t mPid = -1;
};

int connectTo(const std::string& name)
{
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, &address);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        std::perror("connect");
        return -1;
    }
    return fd;
}

bool roundTrip(int fd)
{
    char buffer[64] = {};
    return transfer(fd, buffer, sizeof buffer, true) && transfer(fd, buffer, sizeof buffer, false);
}

// The floor process of a listing: FIRST round trips with A, then PAIRS with A and B
// in turn. B is connected at its first use, as the tool reaches a host.
int floorClient(const std::string& a, const std::string& b, int first, int pairs)
{
    const int toA = connectTo(a);
    if (toA < 0)
        return 1;
    for (int i = 0; i < first; ++i)
        if (!roundTrip(toA))
            return 1;
    int toB = -1;
    for (int i = 0; i < pairs; ++i) {
        if (!roundTrip(toA))
            return 1;
        if (toB < 0 && (toB = connectTo(b)) < 0)
            return 1;
        if (!roundTrip(toB))
            return 1;
    }
    return 0;
}

struct Command {
    std::vector<std::string> words;
    std::vector<char*> argv;
    std::vector<double> microseconds;
    long peakRssKib = 0;
};

// One run of `command`; false when it could not be started or failed.
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
        if (std::strcmp(argv[i], ":::") == 0)
            commands.emplace_back();
        else
            commands.back().words.push_back(argv[i]);
    }
    const std::string peerA = "quorvel-bench-floor." + std::to_string(getpid()) + ".a";
    const std::string peerB = "quorvel-bench-floor." + std::to_string(getpid()) + ".b";
    EchoPeer a, b;
    bool peersStarted = false;
    for (Command& command : commands) {
        if (command.words.empty()) {
            std::fprintf(stderr, "empty command\n");
            return 2;
        }
        int first = 0, pairs = 0;
        if (std::sscanf(command.words[0].c_str(), "@listfloor:%d:%d", &first, &pairs) == 2) {
            if (first < 0 || pairs < 0 || command.words.size() != 1) {
                std::fprintf(stderr, "bad %s\n", command.words[0].c_str());
                return 2;
            }
            if (!peersStarted && !(peersStarted = a.start(peerA) && b.start(peerB)))
                return 1;
            command.words = {"/proc/self/exe",      "floorclient",        peerA, peerB,
                             std::to_string(first), std::to_string(pairs)};
        }
        for (std::string& word : command.words)
            command.argv.push_back(word.data());
        command.argv.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    // A few unmeasured runs bring the binaries into the page cache.
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
                    *std::min_element(command.microseconds.begin(), command.microseconds.end()), command.peakRssKib,
                    runs);
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: service_bench_timer spawn RUNS CMD [ARG...] [::: CMD [ARG...]] ...\n"
                 "       service_bench_timer floorclient A B FIRST PAIRS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "spawn") == 0) {
        const int runs = std::atoi(argv[2]);
        return runs > 0 ? spawnMode(runs, argc - 3, argv + 3) : usage();
    }
    if (argc == 6 && std::strcmp(argv[1], "floorclient") == 0)
        return floorClient(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    return usage();
}
