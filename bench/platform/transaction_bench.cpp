// One transaction round trip to example.echo in another process, beside a raw
// SOCK_SEQPACKET ping-pong of the same payload with a forked echo process; prints
// the ratio of the two for each payload size.
#include <quorvel/service_manager.h>

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
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

// The floor: the same bytes sent to another process and back over a connected
// SOCK_SEQPACKET pair, with no framing and no parcel work.
void BM_RawSeqpacketPingPong(benchmark::State& state)
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
        std::vector<char> buffer(size + 64);
        for (ssize_t n; (n = ::recv(pair[1], buffer.data(), buffer.size(), 0)) > 0;)
            ::send(pair[1], buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
        ::_exit(0);
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

BENCHMARK(BM_EchoTransaction)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_RawSeqpacketPingPong)->Arg(64)->Arg(1024)->Arg(16384);

// Keeps each benchmark's time per iteration so that main can print the ratios: the
// median when --benchmark_repetitions asks for several runs, else the one run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[name] = run.GetAdjustedRealTime();
            else if (run.run_type == Run::RT_Iteration)
                singles[name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double time(const std::string& name) const
    {
        if (auto it = medians.find(name); it != medians.end())
            return it->second;
        auto it = singles.find(name);
        return it != singles.end() ? it->second : 0;
    }

private:
    std::map<std::string, double> medians;
    std::map<std::string, double> singles;
};

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
            const double t = reporter.time(std::string("BM_EchoTransaction/") + size);
            const double r = reporter.time(std::string("BM_RawSeqpacketPingPong/") + size);
            if (t > 0 && r > 0)
                std::printf("ratio transaction/raw at %s bytes: %.2f (goal: at most 1.30)\n", size, t / r);
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
