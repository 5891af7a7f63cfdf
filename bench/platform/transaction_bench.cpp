// One transaction round trip to example.echo in another process, beside a raw
// SOCK_SEQPACKET ping-pong of the same payload with a forked echo process; prints
// the ratio of the two for each payload size, and the same ratio from alternating
// batches of both (the figure held against the goal).
#include <quorvel/service_manager.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvel;

namespace {

std::string gSocket;
sp<IBinder> gEcho;

// The data parcel of a transaction with `payload` bytes: an interface token and
// int32 words up to that size.
void fillParcel(Parcel* data, size_t payload)
{
    data->writeInterfaceToken(String16("quorvel.example.IEcho"));
    while (data->dataSize() < payload)
        data->writeInt32(static_cast<int32_t>(data->dataSize()));
}

void BM_EchoTransaction(benchmark::State& state)
{
    Parcel data;
    fillParcel(&data, static_cast<size_t>(state.range(0)));
    Parcel reply;
    for (auto _ : state) {
        if (gEcho->transact(1, data, &reply) != OK) {
            state.SkipWithError("transaction failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
    state.counters["bytes"] = static_cast<double>(data.dataSize());
}

// The far side of a raw ping-pong: blocking recv, or (with `viaEpoll`) the way a
// hosting process waits, epoll_wait and then a non-blocking recv.
[[noreturn]] void rawEchoLoop(int fd, size_t size, bool viaEpoll)
{
    std::vector<char> buffer(size + 64);
    const int ep = viaEpoll ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    if (viaEpoll) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &event);
    }
    for (;;) {
        if (viaEpoll) {
            epoll_event event;
            if (::epoll_wait(ep, &event, 1, -1) < 0)
                continue;
        }
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), viaEpoll ? MSG_DONTWAIT : 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            ::_exit(0);
        if (n > 0)
            ::send(fd, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
    }
}

void rawPingPong(benchmark::State& state, bool viaEpoll)
{
    Parcel data;
    fillParcel(&data, static_cast<size_t>(state.range(0)));
    const size_t size = data.dataSize();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pair[0]);
        rawEchoLoop(pair[1], size, viaEpoll);
    }
    ::close(pair[1]);
    std::vector<char> buffer(size + 64);
    for (auto _ : state) {
        if (::send(pair[0], data.data(), size, MSG_NOSIGNAL) < 0 ||
            ::recv(pair[0], buffer.data(), buffer.size(), 0) <= 0) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    ::close(pair[0]);
    ::waitpid(child, nullptr, 0);
    state.counters["bytes"] = static_cast<double>(size);
}

// The floor: the same bytes sent to another process and back over a connected
// SOCK_SEQPACKET pair, with no framing and no parcel work.
void BM_RawSeqpacketPingPong(benchmark::State& state)
{
    rawPingPong(state, false);
}

// Not part of the ratio: shows how much of the difference is the host waiting in
// epoll (which lets one thread serve many peers safely) rather than in recv.
void BM_RawSeqpacketPingPongViaEpoll(benchmark::State& state)
{
    rawPingPong(state, true);
}

// Registered in pairs, so that each transaction run sits next to its raw counterpart
// and a change in the machine's load between runs skews the ratio less.
BENCHMARK(BM_EchoTransaction)->Arg(64);
BENCHMARK(BM_RawSeqpacketPingPong)->Arg(64);
BENCHMARK(BM_EchoTransaction)->Arg(1024);
BENCHMARK(BM_RawSeqpacketPingPong)->Arg(1024);
BENCHMARK(BM_EchoTransaction)->Arg(16384);
BENCHMARK(BM_RawSeqpacketPingPong)->Arg(16384);
BENCHMARK(BM_RawSeqpacketPingPongViaEpoll)->Arg(64);

// Keeps each benchmark's times per iteration so that main can print the ratios: the
// median and the best of --benchmark_repetitions runs (the same with one run). On a
// shared machine the best is the least disturbed by other load.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            const double time = run.GetAdjustedRealTime();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[name] = time;
            } else if (run.run_type == Run::RT_Iteration) {
                singles[name] = time;
                if (!best.count(name) || time < best[name])
                    best[name] = time;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double median(const std::string& name) const
    {
        if (auto it = medians.find(name); it != medians.end())
            return it->second;
        auto it = singles.find(name);
        return it != singles.end() ? it->second : 0;
    }

    double fastest(const std::string& name) const
    {
        auto it = best.find(name);
        return it != best.end() ? it->second : 0;
    }

private:
    std::map<std::string, double> medians;
    std::map<std::string, double> singles;
    std::map<std::string, double> best;
};

// Transactions and raw round trips of the same payload in alternating batches, so
// that both see the same load of a shared machine: the median of the batch ratios
// (the order within a round alternates too), or 0 when something failed. This is
// the figure held against the goal; the benchmarks' own medians come from runs
// seconds apart.
double pairedRatio(size_t payload, int rounds, int batch)
{
    Parcel data;
    fillParcel(&data, payload);
    Parcel reply;
    const size_t size = data.dataSize();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0)
        return 0;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pair[0]);
        rawEchoLoop(pair[1], size, false);
    }
    ::close(pair[1]);
    std::vector<char> buffer(size + 64);
    using Clock = std::chrono::steady_clock;
    auto transactions = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i)
            if (gEcho->transact(1, data, &reply) != OK)
                return -1.0;
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    auto raw = [&] {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i)
            if (::send(pair[0], data.data(), size, MSG_NOSIGNAL) < 0 ||
                ::recv(pair[0], buffer.data(), buffer.size(), 0) <= 0)
                return -1.0;
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::vector<double> ratios;
    bool failed = false;
    for (int round = 0; round <= rounds && !failed; ++round) { // round 0 warms up
        double t, r;
        if (round % 2) {
            t = transactions();
            r = raw();
        } else {
            r = raw();
            t = transactions();
        }
        failed = t < 0 || r <= 0;
        if (round > 0 && !failed)
            ratios.push_back(t / r);
    }
    ::close(pair[0]);
    ::waitpid(child, nullptr, 0);
    if (failed || ratios.empty())
        return 0;
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

pid_t start(const char* program)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program, program, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

void stop(pid_t pid)
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/quorvel-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    gSocket = std::string(pattern) + "/servicemanager";
    ::setenv(SERVICE_MANAGER_ENV, gSocket.c_str(), 1);
    const pid_t sm = start(QUORVEL_BENCH_SERVICEMANAGER);
    pid_t services = -1;
    for (int i = 0; i < 500 && !gEcho; ++i) {
        if (const sp<ServiceManagerPort> port = defaultServiceManager()) {
            if (services < 0)
                services = start(QUORVEL_BENCH_EXAMPLE_SERVICES);
            gEcho = port->checkService(String16("example.echo"));
        }
        if (!gEcho)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int status = 0;
    if (gEcho) {
        benchmark::Initialize(&argc, argv);
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        for (const char* size : {"64", "1024", "16384"}) {
            const std::string echo = std::string("BM_EchoTransaction/") + size;
            const std::string raw = std::string("BM_RawSeqpacketPingPong/") + size;
            const double tm = reporter.median(echo), rm = reporter.median(raw);
            const double tb = reporter.fastest(echo), rb = reporter.fastest(raw);
            if (tm <= 0 || rm <= 0)
                continue;
            std::printf("ratio transaction/raw at %s bytes: %.2f", size, tm / rm);
            // The individual runs are not reported when only aggregates are asked for.
            if (tb > 0 && rb > 0)
                std::printf(" (median), %.2f (best run)", tb / rb);
            std::printf("; goal: at most 1.20\n");
        }
        constexpr int ROUNDS = 41;
        constexpr int BATCH = 500;
        for (const int size : {64, 1024, 16384}) {
            const double paired = pairedRatio(static_cast<size_t>(size), ROUNDS, BATCH);
            if (paired <= 0) {
                std::fprintf(stderr, "transaction_bench: paired batches at %d bytes failed\n", size);
                status = 1;
                continue;
            }
            std::printf("paired ratio transaction/raw at %d bytes: %.2f (median of %d alternating batches of %d); "
                        "goal: at most 1.20\n",
                        size, paired, ROUNDS, BATCH);
        }
    } else {
        std::fprintf(stderr, "transaction_bench: example.echo did not come up\n");
        status = 1;
    }
    gEcho = nullptr;
    stop(services);
    stop(sm);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return status;
}
