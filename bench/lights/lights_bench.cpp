// set_state per light against the bare open/write/close cycles the same request
// performs, on a tmpfs tree at the real paths, in one run; prints each ratio.
//
// Needs root: the tree is a tmpfs over /sys/class in a private mount namespace.
#include <quorvel/boards.h>
#include <quorvel/lights.h>
#include <quorvel/module_loader.h>

#include <test_support/boards.h>
#include <test_support/led_tree.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::vector<std::string> TREE_FILES = {
    "lcd-backlight/brightness",
    "lcd-backlight/auto",
    "keyboard-backlight/brightness",
    "button-backlight/brightness",
    "red/brightness",
    "green/brightness",
    "blue/brightness",
    "red/device/grpfreq",
    "red/device/grppwm",
    "red/device/blink",
};

struct Write {
    const char* path;
    int value;
};

// What one request of each light writes on an RGB board with the automatic-brightness
// attribute and no trackball, in the request states used below.
std::vector<Write> expectedWrites(const quorvel::BoardInfo& board, const std::string& light)
{
    if (light == "backlight") {
        std::vector<Write> writes = {{"/sys/class/leds/lcd-backlight/brightness", 255}};
        if (quorvel::testing::hasAutoBrightness(board))
            writes.push_back({"/sys/class/leds/lcd-backlight/auto", 0});
        return writes;
    }
    if (light == "keyboard")
        return {{"/sys/class/leds/keyboard-backlight/brightness", 255}};
    if (light == "buttons")
        return {{"/sys/class/leds/button-backlight/brightness", 255}};
    if (light == "battery")
        return {{"/sys/class/leds/red/brightness", 255},
                {"/sys/class/leds/green/brightness", 0},
                {"/sys/class/leds/blue/brightness", 0},
                {"/sys/class/leds/red/device/blink", 0}};
    // notifications, flashing 500/500 with no battery colour
    return {{"/sys/class/leds/red/brightness", 0},      {"/sys/class/leds/green/brightness", 0},
            {"/sys/class/leds/blue/brightness", 255},   {"/sys/class/leds/red/device/grpfreq", 20},
            {"/sys/class/leds/red/device/grppwm", 127}, {"/sys/class/leds/red/device/blink", 1}};
}

LightState requestFor(const std::string& light)
{
    LightState state{};
    if (light == "notifications") {
        state.color = 0x000000FF;
        state.flash_mode = LIGHT_FLASH_TIMED;
        state.on_ms = 500;
        state.off_ms = 500;
    } else if (light == "battery") {
        state.color = 0x00FF0000;
    } else {
        state.color = 0x00FFFFFF;
    }
    return state;
}

// The module's own cycle: same flags (O_RDWR alone), same formatting, one write.
void writeAll(const std::vector<Write>& writes)
{
    for (const Write& w : writes) {
        const int fd = open(w.path, O_RDWR);
        char buffer[20];
        const int length = snprintf(buffer, sizeof buffer, "%d\n", w.value);
        benchmark::DoNotOptimize(write(fd, buffer, static_cast<size_t>(length)));
        close(fd);
    }
}

void rawCycles(benchmark::State& state, std::vector<Write> writes)
{
    for (auto _ : state)
        writeAll(writes);
    state.SetItemsProcessed(state.iterations());
}

// The machines are shared and busy, so a ratio of two separate timings drifts with
// the load. This one alternates short batches of both and compares the medians.
double pairedRatio(LightDevice* device, const LightState& request, const std::vector<Write>& writes)
{
    const int rounds = 41;
    const int batch = 200;
    std::vector<double> setTimes, rawTimes;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i)
            device->set_state(device, &request);
        auto middle = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i)
            writeAll(writes);
        auto end = std::chrono::steady_clock::now();
        setTimes.push_back(std::chrono::duration<double>(middle - start).count());
        rawTimes.push_back(std::chrono::duration<double>(end - middle).count());
    }
    std::sort(setTimes.begin(), setTimes.end());
    std::sort(rawTimes.begin(), rawTimes.end());
    return setTimes[rounds / 2] / rawTimes[rounds / 2];
}

void setState(benchmark::State& state, LightDevice* device, LightState request)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(device->set_state(device, &request));
    state.SetItemsProcessed(state.iterations());
}

// Collects the median time of every benchmark, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    std::map<std::string, double> medians;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc > 1) {
        fprintf(stderr, "usage: lights_bench [benchmark options]\n");
        return 2;
    }
    if (geteuid() != 0) {
        fprintf(stderr, "lights_bench: needs root (it mounts a tmpfs over /sys/class in a private namespace)\n");
        return 1;
    }
    std::string error;
    if (!quorvel::testing::makeLedTree(TREE_FILES, &error)) {
        fprintf(stderr, "lights_bench: %s\n", error.c_str());
        return 1;
    }

    // In this order: the battery request leaves a colour behind, after which a
    // notification would no longer show on the LED.
    const std::vector<std::string> lights = {"backlight", "keyboard", "buttons", "notifications", "battery"};
    std::vector<quorvel::ModuleHandle> modules;
    struct Pair {
        std::string setName, rawName;
        LightDevice* device;
        LightDevice* battery; // to clear the battery colour a request may have left
        LightState request;
        std::vector<Write> writes;
    };
    std::vector<Pair> pairs;
    for (const quorvel::BoardInfo& board : quorvel::kBoards) {
        quorvel::ModuleHandle module;
        if (quorvel::loadModule(board.module_path, module, error) != 0) {
            fprintf(stderr, "lights_bench: %s\n", error.c_str());
            return 1;
        }
        const ModuleInfo* info = module.info();
        modules.push_back(std::move(module));
        // Known starting state: no battery colour, so notifications show on the LED.
        LightDevice* battery = nullptr;
        info->methods->open(info, "battery", &battery);
        const LightState dark{};
        battery->set_state(battery, &dark);
        for (const std::string& light : lights) {
            LightDevice* device = nullptr;
            if (info->methods->open(info, light.c_str(), &device) != 0) {
                fprintf(stderr, "lights_bench: cannot open %s\n", light.c_str());
                return 1;
            }
            const std::string setName = "set_state/" + std::string(board.name) + "/" + light;
            const std::string rawName = "raw_writes/" + std::string(board.name) + "/" + light;
            benchmark::RegisterBenchmark(setName.c_str(), setState, device, requestFor(light))
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
            benchmark::RegisterBenchmark(rawName.c_str(), rawCycles, expectedWrites(board, light))
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
            pairs.push_back({setName, rawName, device, battery, requestFor(light), expectedWrites(board, light)});
        }
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\n%-24s %12s %12s %7s %9s\n", "request", "set_state", "raw writes", "ratio", "paired");
    for (const Pair& pair : pairs) {
        if (!reporter.medians.count(pair.setName) || !reporter.medians.count(pair.rawName))
            continue;
        const double set = reporter.medians[pair.setName];
        const double raw = reporter.medians[pair.rawName];
        const LightState dark{};
        pair.battery->set_state(pair.battery, &dark);
        printf("%-24s %9.0f ns %9.0f ns %6.3fx %8.3fx\n", pair.setName.substr(10).c_str(), set, raw, set / raw,
               pairedRatio(pair.device, pair.request, pair.writes));
    }
    printf("ratio: medians of the runs above; paired: medians of alternating batches\n");
    printf("goal: set_state at most 1.1x its raw writes\n");
    benchmark::Shutdown();
    return 0;
}
