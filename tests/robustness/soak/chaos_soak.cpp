// The chaos soak: clients run `service list`, `check` and `call` without pause while
// the service manager and the service hosts are killed (SIGKILL and SIGTERM) and
// started again, and another uid floods the manager with connections. Every reply
// is judged word for word (reply_rules.h); a restarted host must be listed again,
// and a SIGTERM must end its program, within a bound; the processes that live
// through the soak must hold as many descriptors and threads, and about as much
// memory, at the end as after their warm-up. Prints its counts; exits 1 with the
// operation that broke an invariant, 2 when it could not set up.
//
// Usage: chaos_soak [SECONDS]   (default $QUORVEL_SOAK_SECONDS, else 60)
#include "reply_rules.h"

#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <test_support/captured_text.h>
#include <test_support/process_fixture.h>
#include <test_support/process_stats.h>
#include <test_support/raw_peer.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvel::soak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::BackgroundProcess;
using testing::ProcessFixture;

// The bounds the soak holds the programs to. The documented stop bound is one
// second: a program may spend at most two asleep between SIGTERM and its exit
// (time spent waiting for a processor, which a loaded machine stretches to
// seconds, is not its own), and must be gone within ten. A host that lost its
// manager registers again after a back-off of at most a second; the soak allows
// ten for a re-listing, for the same reason.
constexpr auto STOP_LIMIT = 2s;
constexpr auto RELIST_LIMIT = 10s;
constexpr auto FORGET_LIMIT = 10s;
constexpr int CLIENTS = 3;
constexpr uid_t FLOODING_UID = 65534;
// Growth allowed between a long-lived process's level after warm-up and its level
// at the end, both taken with no client and no flood connected.
constexpr int DESCRIPTOR_SLACK = 0;
constexpr int THREAD_SLACK = 1;
constexpr long MEMORY_SLACK_KIB = 2048;

// Set by SIGTERM and SIGINT (a step's time limit, Ctrl-C): the soak then ends as
// after a violation, stopping every program it started.
std::atomic<bool> interrupted{false};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The names every host registers when all are up, sorted as the listing sorts them.
const std::vector<Listed>& registry()
{
    static const std::vector<Listed> all = {
        {"example.echo", "quorvel.example.IEcho", EXAMPLE_SERVICES},
        {"example.failing", "quorvel.example.IFailing", EXAMPLE_SERVICES},
        {"example.nodescriptor", "", EXAMPLE_SERVICES},
        {"example.refusing", "", EXAMPLE_SERVICES},
        {"example.unicode", "quorvel.example.Caf??", EXAMPLE_SERVICES},
        {"soak.churn", "quorvel.soak.IChurn", CHURNED_HOST},
        {"soak.steady", "quorvel.soak.ISteady", STEADY_HOST},
    };
    return all;
}

std::vector<std::string> namesOf(unsigned hosts)
{
    std::vector<std::string> names;
    for (const Listed& listed : registry())
        if (listed.host & hosts)
            names.push_back(listed.name);
    return names;
}

std::string nameOf(Host host)
{
    switch (host) {
    case SERVICE_MANAGER: return "servicemanager";
    case EXAMPLE_SERVICES: return "example-services";
    case CHURNED_HOST: return "soak.churn";
    default: return "soak.steady";
    }
}

std::vector<std::string> argvOf(Host host)
{
    switch (host) {
    case SERVICE_MANAGER: return {testing::serviceManagerProgram()};
    case EXAMPLE_SERVICES: return {testing::exampleServicesProgram()};
    case CHURNED_HOST: return {testing::exampleClientProgram(), "serve", "soak.churn", "quorvel.soak.IChurn"};
    default: return {testing::exampleClientProgram(), "serve", "soak.steady", "quorvel.soak.ISteady"};
    }
}

// What an echo object answers to `code` with these arguments after its descriptor:
// the code, then the data parcel as it was sent.
std::string echoResult(uint32_t code, const std::string& descriptor, int32_t value, const std::string& word)
{
    Parcel reply;
    reply.writeInt32(static_cast<int32_t>(code));
    reply.writeInterfaceToken(String16(descriptor.c_str()));
    reply.writeInt32(value);
    reply.writeString16(String16(word.c_str()));
    return "Result: " + testing::printed(reply) + "\n";
}

struct Command {
    std::vector<std::string> arguments;
    Expectation expectation;
};

// The n-th command of the rotation; calls carry n, so that a reply meant for
// another run, or a word changed on the way, shows.
Command commandNumber(uint64_t n)
{
    const auto value = static_cast<int32_t>(n);
    const uint32_t code = 1 + n % 7;
    const std::string word = "w" + std::to_string(n);
    auto echo = [&](const std::string& name, const std::string& descriptor) {
        return Command{{"call", name, std::to_string(code), "i32", std::to_string(value), "s16", word},
                       call(name, echoResult(code, descriptor, value, word))};
    };
    auto checked = [](const std::string& name) { return Command{{"check", name}, check(name)}; };
    switch (n % 9) {
    case 0: return {{"list"}, listing()};
    case 1: return echo("example.echo", "quorvel.example.IEcho");
    case 2: return checked("example.echo");
    case 3: return echo("soak.steady", "quorvel.soak.ISteady");
    case 4: return checked("soak.steady");
    case 5: return echo("soak.churn", "quorvel.soak.IChurn");
    case 6: return checked("soak.absent");
    case 7: return checked("soak.churn");
    default: {
        Parcel failed;
        failed.setError(FAILED_TRANSACTION);
        return {{"call", "example.failing", std::to_string(code)},
                failingCall("example.failing", "Result: " + testing::printed(failed) + "\n",
                            std::string("service: Transaction failed: ") + statusToString(FAILED_TRANSACTION) + " (" +
                                std::to_string(FAILED_TRANSACTION) + ")\n")};
    }
    }
}

// What a process holds, from /proc.
struct Level {
    int descriptors = -1;
    int threads = -1;
    long rssKiB = -1;
};

Level levelOf(pid_t pid)
{
    const robustness::ProcessUsage usage = robustness::settledUsageOf(pid);
    Level level{usage.descriptors, -1, usage.rssKiB};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            level.threads = std::atoi(line.c_str() + 8);
    return level;
}

std::string describe(const Level& level)
{
    return std::to_string(level.descriptors) + " fds, " + std::to_string(level.threads) + " threads, " +
        std::to_string(level.rssKiB) + " KiB";
}

bool grew(const Level& now, const Level& before)
{
    return now.descriptors < 0 || now.descriptors > before.descriptors + DESCRIPTOR_SLACK ||
        now.threads > before.threads + THREAD_SLACK ||
        now.rssKiB > before.rssKiB + robustness::memorySlackKiB(MEMORY_SLACK_KIB);
}

// Shared with the flooding child, which another uid runs: the soak asks it to let
// go of its connections for a quiet moment, and it counts what it opened.
struct FloodControl {
    std::atomic<int> pause{0};
    std::atomic<int> paused{0};
    std::atomic<long> connections{0};
};

// The flooding child's loop: batches of 20 connections, each sending one query,
// holding the latest 100 (more than its uid's share) until let go.
int flood(const std::string& socket, FloodControl* control, int letGo)
{
    const std::vector<uint8_t> query = testing::makeFrame(FRAME_TRANSACTION, 0, INTERFACE_TRANSACTION, {});
    std::deque<std::unique_ptr<testing::RawPeer>> held;
    for (pollfd p{letGo, POLLIN, 0}; ::poll(&p, 1, 10) == 0;) {
        if (control->pause.load()) {
            held.clear();
            control->paused.store(1);
            continue;
        }
        control->paused.store(0);
        for (int i = 0; i < 20; ++i) {
            held.push_back(std::make_unique<testing::RawPeer>(socket));
            if (held.back()->connected() && held.back()->send(query))
                control->connections.fetch_add(1);
            if (held.size() > 100)
                held.pop_front();
        }
    }
    return 0;
}

// Whether every thread of `pid` sleeps (state S or D) at this moment.
bool allAsleep(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return false;
    bool any = false, asleep = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // Read by hand: a thread that ends meanwhile fails the read (ESRCH), and
        // counts as awake.
        char buffer[512];
        const int fd = ::open((tasks + "/" + entry->d_name + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? ::read(fd, buffer, sizeof buffer) : -1;
        if (fd >= 0)
            ::close(fd);
        const std::string_view stat(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        const size_t end = stat.rfind(')');
        const char state = end != std::string_view::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
        any = true;
        asleep = asleep && (state == 'S' || state == 'D');
    }
    ::closedir(dir);
    return any && asleep;
}

// How a program ended after a signal: its status, the wall time, and the part of it
// in which every thread slept, seen by sampling every few milliseconds (a stretch
// counts when the samples at both its ends saw them asleep). The sleeping time is
// the program's own delay; the rest is waiting for a processor, which on a loaded
// machine can take seconds.
struct Ending {
    int status = -1;
    double seconds = 0;
    double asleep = 0;
};

Ending endWith(BackgroundProcess& process, int signal)
{
    const pid_t pid = process.pid();
    const auto start = Clock::now();
    Ending ending;
    if (pid <= 0 || ::kill(pid, signal) != 0)
        return ending;
    auto last = start;
    bool wasAsleep = false;
    while (process.running() && Clock::now() - start < 10s) {
        std::this_thread::sleep_for(2ms);
        const auto now = Clock::now();
        const bool asleep = allAsleep(pid);
        if (asleep && wasAsleep)
            ending.asleep += std::chrono::duration<double>(now - last).count();
        wasAsleep = asleep;
        last = now;
    }
    ending.status = process.running() ? process.stop(SIGKILL, 5s) : process.exitStatus();
    ending.seconds = secondsSince(start);
    return ending;
}

struct Tally {
    std::atomic<long> runs{0};
    std::atomic<long> failures{0}; // documented failure outcomes, each allowed when it came
};

class Soak {
public:
    explicit Soak(std::chrono::seconds length)
        : mLength(length)
    {
    }
    int run();

private:
    void clientLoop();
    void violation(const std::string& what);
    bool failed() const { return mFailed.load() || interrupted.load(); }
    BackgroundProcess& processOf(Host host);
    void disturb(Host host, int signal);
    void terminate(Host host, const std::string& when);
    bool pauseLoad();
    void resumeLoad();

    std::chrono::seconds mLength;
    ProcessFixture mWorld{{.worldAccessible = true}};
    BackgroundProcess mChurned;
    BackgroundProcess mSteady;
    FloodControl* mFlood = nullptr;

    // Per host, odd while it is down or not registered again: a run that saw it
    // change or odd was disturbed by it. And odd while it is gone (the manager not
    // running; a host ended and its names forgotten): a run that saw it odd at both
    // ends ran while it was gone.
    std::array<std::atomic<uint64_t>, 4> mGeneration{};
    std::array<std::atomic<uint64_t>, 4> mGone{};
    std::atomic<uint64_t> mNext{0};
    std::array<Tally, 3> mTally; // list, check, call
    // Runs judged with nothing down, with something down or restarting, and with
    // something gone from their start to their end.
    std::array<std::atomic<long>, 3> mJudgedWhile{};
    std::atomic<bool> mStop{false};
    std::atomic<bool> mFailed{false};
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mPaused = false;
    int mActive = 0;
    std::vector<std::string> mViolations;

    std::mt19937 mRandom{20261209};
    std::array<int, 4> mKills{}, mTerms{};
    double mMaxRelist = 0, mMaxStop = 0, mMaxStopAsleep = 0;
    std::string mMaxRelistWhat, mMaxStopWhat, mMaxStopAsleepWhat;
};

void Soak::violation(const std::string& what)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mViolations.size() < 20)
        mViolations.push_back(what);
    mFailed.store(true);
}

// The generations of the hosts, down and gone, at one moment.
using Snapshot = std::array<uint64_t, 8>;

Disturbance disturbanceBetween(const Snapshot& before, const Snapshot& after)
{
    Disturbance disturbed = 0;
    for (unsigned i = 0; i < 4; ++i) {
        if (before[i] % 2 == 1 || before[i] != after[i])
            disturbed |= 1u << i;
        if (before[4 + i] % 2 == 1 && before[4 + i] == after[4 + i])
            disturbed |= goneThroughout(1u << i);
    }
    return disturbed;
}

void Soak::clientLoop()
{
    // A deadline longer than the default, yet within the run's own: on a loaded
    // machine a reply may take seconds, and nothing in the soak stops a host.
    std::vector<std::string> environment = mWorld.environment();
    environment.push_back("QUORVEL_IPC_TIMEOUT_MS=25000");
    while (!mStop.load()) {
        {
            std::unique_lock<std::mutex> lock(mLock);
            mChanged.wait(lock, [&] { return !mPaused || mStop.load(); });
            if (mStop.load())
                return;
            ++mActive;
        }
        const uint64_t n = mNext.fetch_add(1);
        const Command command = commandNumber(n);
        std::vector<std::string> argv = {SERVICE_PROGRAM};
        argv.insert(argv.end(), command.arguments.begin(), command.arguments.end());
        auto snapshot = [&] {
            Snapshot now;
            for (size_t i = 0; i < 4; ++i)
                now[i] = mGeneration[i].load(), now[4 + i] = mGone[i].load();
            return now;
        };
        const Snapshot before = snapshot();
        const testing::RunResult result = testing::runProgram(argv, 30s, environment);
        const Disturbance disturbed = disturbanceBetween(before, snapshot());
        mJudgedWhile[disturbed == 0 ? 0 : disturbed >> GONE_THROUGHOUT ? 2 : 1].fetch_add(1);
        Tally& tally = mTally[static_cast<size_t>(command.expectation.kind)];
        tally.runs.fetch_add(1);
        if (result.exitStatus != 0 && !command.expectation.failing)
            tally.failures.fetch_add(1);
        if (const std::string wrong = judge(command.expectation, registry(), result, disturbed); !wrong.empty()) {
            std::string operation = "service";
            for (const std::string& word : command.arguments)
                operation += " " + word;
            std::string down;
            for (unsigned i = 0; i < 4; ++i)
                if (disturbed & (1u << i))
                    down += std::string(down.empty() ? "" : ", ") + nameOf(static_cast<Host>(1u << i));
            violation(operation + " (while " + (down.empty() ? "nothing" : down) + " was down): " + wrong);
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            --mActive;
        }
        mChanged.notify_all();
    }
}

BackgroundProcess& Soak::processOf(Host host)
{
    switch (host) {
    case SERVICE_MANAGER: return mWorld.serviceManager();
    case EXAMPLE_SERVICES: return mWorld.exampleServices();
    case CHURNED_HOST: return mChurned;
    default: return mSteady;
    }
}

size_t indexOf(Host host)
{
    return static_cast<size_t>(__builtin_ctz(host));
}

// Stops `host` with `signal`, waits until the manager has forgotten its names,
// starts it again and waits until every name it must bring back is listed.
void Soak::disturb(Host host, int signal)
{
    const std::string name = nameOf(host);
    std::atomic<uint64_t>& generation = mGeneration[indexOf(host)];
    generation.fetch_add(1);
    if (signal == SIGTERM) {
        terminate(host, "SIGTERM");
    } else {
        ++mKills[indexOf(host)];
        if (const int status = processOf(host).stop(SIGKILL, 10s); status != 128 + SIGKILL)
            violation("SIGKILL to " + name + ": exit status " + std::to_string(status));
    }
    if (host != SERVICE_MANAGER && !mWorld.waitForServices(namesOf(host), false, FORGET_LIMIT))
        violation(name + "'s names still listed " + std::to_string(FORGET_LIMIT.count()) + " s after it ended");
    // Gone for a moment, long enough for whole runs to see it gone.
    std::atomic<uint64_t>& gone = mGone[indexOf(host)];
    gone.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + mRandom() % 400));
    gone.fetch_add(1);

    const auto started = Clock::now();
    if (!processOf(host).start(argvOf(host), mWorld.environment(), mWorld.runtimeDir() + "/" + name + ".log")) {
        violation("cannot start " + name + " again");
        return;
    }
    // A new manager must see every host register again; a host, only its own names.
    const unsigned awaited = host == SERVICE_MANAGER ? ~0u : host;
    const bool listed = mWorld.waitForServices(namesOf(awaited), true, RELIST_LIMIT);
    const double latency = secondsSince(started);
    if (!listed) {
        violation("restart of " + name + ": its names not listed again within " + std::to_string(RELIST_LIMIT.count()) +
                  " s");
        return; // left odd: the names may still be missing
    }
    if (latency > mMaxRelist) {
        mMaxRelist = latency;
        mMaxRelistWhat = name;
    }
    generation.fetch_add(1);
}

// Ends `host` by SIGTERM: it must exit with status 0, having slept no longer than
// STOP_LIMIT on the way.
void Soak::terminate(Host host, const std::string& when)
{
    const Ending ending = endWith(processOf(host), SIGTERM);
    ++mTerms[indexOf(host)];
    if (ending.seconds >= mMaxStop)
        mMaxStop = ending.seconds, mMaxStopWhat = nameOf(host);
    if (ending.asleep >= mMaxStopAsleep)
        mMaxStopAsleep = ending.asleep, mMaxStopAsleepWhat = nameOf(host);
    if (ending.status != 0 || ending.asleep > std::chrono::duration<double>(STOP_LIMIT).count())
        violation(when + " to " + nameOf(host) + ": exit status " + std::to_string(ending.status) + " after " +
                  std::to_string(ending.seconds) + " s, " + std::to_string(ending.asleep) + " s of it asleep");
}

// Lets the clients finish their runs and the flood let go; false if they do not
// within a bound.
bool Soak::pauseLoad()
{
    std::unique_lock<std::mutex> lock(mLock);
    mPaused = true;
    const bool idle = mChanged.wait_for(lock, 90s, [&] { return mActive == 0; });
    lock.unlock();
    if (!mFlood)
        return idle;
    mFlood->paused.store(0);
    mFlood->pause.store(1);
    return robustness::eventually([&] { return mFlood->paused.load() == 1; }, 20s) && idle;
}

void Soak::resumeLoad()
{
    if (mFlood)
        mFlood->pause.store(0);
    {
        std::lock_guard<std::mutex> lock(mLock);
        mPaused = false;
    }
    mChanged.notify_all();
}

int Soak::run()
{
    if (!mWorld.ready()) {
        std::fprintf(stderr, "chaos soak: %s\n", mWorld.error().c_str());
        return 2;
    }
    for (Host host : {CHURNED_HOST, STEADY_HOST}) {
        std::vector<std::string> argv = argvOf(host);
        if (!mWorld.serve(processOf(host), argv[2], argv[3])) {
            std::fprintf(stderr, "chaos soak: cannot serve %s\n", argv[2].c_str());
            return 2;
        }
    }

    // The flood: another uid, from before the clients' threads start.
    void* shared = ::mmap(nullptr, sizeof(FloodControl), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    std::unique_ptr<testing::AsOtherUser> flooder;
    if (::geteuid() == 0 && shared != MAP_FAILED) {
        mFlood = new (shared) FloodControl;
        const std::string socket = mWorld.socketPath();
        flooder = std::make_unique<testing::AsOtherUser>(
            FLOODING_UID, [] { return 0; }, [&](int letGo) { return flood(socket, mFlood, letGo); }, 4096);
        if (!flooder->ready()) {
            std::fprintf(stderr, "chaos soak: cannot run the flood as uid %u\n", FLOODING_UID);
            return 2;
        }
    } else {
        std::printf("chaos soak: not root, so no flood by another uid\n");
    }

    const auto start = Clock::now();
    auto until = [&](double fraction) {
        while (!failed() && secondsSince(start) < fraction * static_cast<double>(mLength.count()))
            std::this_thread::sleep_for(50ms);
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < CLIENTS; ++i)
        clients.emplace_back([this] { clientLoop(); });

    // Levels after warm-up (load, no kills), with no client and no flood connected:
    // the steady host lives through it all, the manager and example-services of the
    // last phase through that phase.
    const std::array<Host, 3> measured = {STEADY_HOST, SERVICE_MANAGER, EXAMPLE_SERVICES};
    std::array<std::array<Level, 3>, 3> levels{}; // per process: warm-up, last phase, end
    auto measure = [&](size_t column) {
        if (!pauseLoad())
            violation("the clients or the flood did not let go within their bound");
        for (size_t i = 0; i < measured.size(); ++i)
            levels[i][column] = levelOf(processOf(measured[i]).pid());
        resumeLoad();
    };
    until(0.1);
    measure(0);

    // Everything killed in turn, each host and the manager by SIGKILL and SIGTERM.
    const std::vector<std::pair<Host, int>> everything = {{EXAMPLE_SERVICES, SIGKILL}, {SERVICE_MANAGER, SIGTERM},
                                                          {CHURNED_HOST, SIGKILL},     {EXAMPLE_SERVICES, SIGTERM},
                                                          {SERVICE_MANAGER, SIGKILL},  {CHURNED_HOST, SIGTERM}};
    auto chaos = [&](const std::vector<std::pair<Host, int>>& rotation, double endFraction) {
        for (size_t i = 0; !failed() && secondsSince(start) < endFraction * static_cast<double>(mLength.count()); ++i) {
            const auto& [host, signal] = rotation[i % rotation.size()];
            disturb(host, signal);
            // A moment with everything up, in which every reply must be the full one.
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + mRandom() % 700));
        }
    };
    chaos(everything, 2.0 / 3);
    // Then only the churned host, while the manager and example-services of now
    // live to the end.
    const std::vector<std::pair<Host, int>> churnOnly = {{CHURNED_HOST, SIGKILL}, {CHURNED_HOST, SIGTERM}};
    chaos(churnOnly, 0.75);
    measure(1);
    chaos(churnOnly, 1.0);

    mStop.store(true);
    mChanged.notify_all();
    for (std::thread& client : clients)
        client.join();
    long floodConnections = mFlood ? mFlood->connections.load() : 0;
    if (flooder && flooder->finish() != 0)
        violation("the flood's child ended badly");

    // Growth, each against its level after warm-up: the steady host since the
    // start, the manager and example-services since the last phase began.
    for (size_t i = 0; i < measured.size(); ++i) {
        const Level& before = levels[i][measured[i] == STEADY_HOST ? 0 : 1];
        Level& after = levels[i][2];
        const pid_t pid = processOf(measured[i]).pid();
        // A close still being handled counts for a moment: look again, bounded.
        robustness::eventually([&] { return !grew(after = levelOf(pid), before); }, 5s);
        if (grew(after, before))
            violation(nameOf(measured[i]) + " grew from " + describe(before) + " to " + describe(after));
    }
    // The last stops: every program by SIGTERM.
    for (Host host : {STEADY_HOST, CHURNED_HOST, EXAMPLE_SERVICES, SERVICE_MANAGER})
        terminate(host, "final SIGTERM");

    std::printf("chaos soak: %.1f s, %d clients, flood by uid %u: %ld connections\n", secondsSince(start), CLIENTS,
                FLOODING_UID, floodConnections);
    const char* kinds[] = {"list", "check", "call"};
    for (size_t i = 0; i < mTally.size(); ++i)
        std::printf("  service %-5s %7ld runs, %6ld ended in a documented failure\n", kinds[i], mTally[i].runs.load(),
                    mTally[i].failures.load());
    std::printf("  judged with nothing down %ld, while something was down or restarting %ld, while something was "
                "gone throughout %ld\n",
                mJudgedWhile[0].load(), mJudgedWhile[1].load(), mJudgedWhile[2].load());
    for (Host host : {SERVICE_MANAGER, EXAMPLE_SERVICES, CHURNED_HOST, STEADY_HOST})
        std::printf("  %-16s %3d SIGKILL, %3d SIGTERM\n", nameOf(host).c_str(), mKills[indexOf(host)],
                    mTerms[indexOf(host)]);
    std::printf("  longest re-listing after a restart: %.2f s (%s)\n", mMaxRelist,
                mMaxRelistWhat.empty() ? "no restart" : mMaxRelistWhat.c_str());
    std::printf("  longest exit after SIGTERM: %.2f s (%s); longest asleep in one: %.2f s (%s)\n", mMaxStop,
                mMaxStopWhat.c_str(), mMaxStopAsleep, mMaxStopAsleepWhat.c_str());
    for (size_t i = 0; i < measured.size(); ++i)
        std::printf("  %-16s after warm-up %s; in the last phase %s; at the end %s\n", nameOf(measured[i]).c_str(),
                    describe(levels[i][0]).c_str(), describe(levels[i][1]).c_str(), describe(levels[i][2]).c_str());
    if (shared != MAP_FAILED)
        ::munmap(shared, sizeof(FloodControl));
    if (interrupted.load())
        violation("interrupted by a signal");
    if (!failed()) {
        std::printf("chaos soak: PASSED\n");
        return 0;
    }
    for (const std::string& what : mViolations)
        std::printf("VIOLATION: %s\n", what.c_str());
    std::printf("chaos soak: FAILED\n");
    return 1;
}

} // namespace
} // namespace quorvel::soak

int main(int argc, char** argv)
{
    const char* given = argc > 1 ? argv[1] : std::getenv("QUORVEL_SOAK_SECONDS");
    const long seconds = given ? std::strtol(given, nullptr, 10) : 60;
    if (seconds < 10 || seconds > 24 * 3600) {
        std::fprintf(stderr, "chaos soak: the length must be 10 to 86400 seconds\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction stop = {};
    stop.sa_handler = [](int) { quorvel::soak::interrupted.store(true); };
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    quorvel::soak::Soak soak{std::chrono::seconds(seconds)};
    return soak.run();
}
