// A million requests to the lights modules: every handler keeps answering with the
// right status, the values on the attribute files are the last ones asked for, and
// the process holds no more descriptors or memory at the end than after warming up.
//
// The modules write to fixed paths under /sys/class/leds, so each run happens in a
// child process with a private mount namespace and a tmpfs over /sys/class (root
// only). A tmpfs rather than ledsim: the point is the modules' own cost and leaks,
// not the simulator's.
#include <test_support/boards.h>
#include <test_support/led_tree.h>
#include <test_support/process.h>
#include <test_support/process_stats.h>

#include <quorvel/lights.h>
#include <quorvel/module_loader.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quorvel::robustness {
namespace {

using quorvel::testing::LIGHT_NAMES;

// The value the last write left: up to the first newline. Unlike sysfs, a tmpfs file
// keeps the tail of a longer earlier value after a shorter write.
std::string valueOf(const char* file)
{
    std::ifstream in(std::string("/sys/class/leds/") + file);
    std::string line;
    std::getline(in, line);
    return line + "\n";
}

// Runs in the child: everything it finds wrong goes to `report`; true when nothing was.
bool driveModule(const std::string& modulePath, int requests, std::string& report)
{
    if (!testing::makeLedTree(testing::RGB_BOARD_FILES, &report))
        return false;
    ModuleHandle module;
    std::string error;
    if (loadModule(modulePath, module, error) != 0) {
        report = "cannot load " + modulePath + ": " + error;
        return false;
    }
    LightDevice* devices[6] = {};
    for (int i = 0; i < 6; ++i) {
        const int status = module.info()->methods->open(module.info(), LIGHT_NAMES[i], &devices[i]);
        if (status != 0 || !devices[i]) {
            report = std::string("cannot open ") + LIGHT_NAMES[i];
            return false;
        }
    }

    int wrongStatus = 0;
    auto send = [&](int first, int count) {
        for (int i = first; i < first + count; ++i) {
            const uint32_t level = static_cast<uint32_t>(i) & 0xFF;
            const LightState state{0xFF000000u | (level << 16) | (level << 8) | level, i % 3, 1 + i % 500,
                                   (i % 7) * 100, i % 2};
            if (devices[i % 6]->set_state(devices[i % 6], &state) != 0)
                ++wrongStatus;
        }
    };
    send(0, requests / 100);
    const ProcessUsage before = usageOf(::getpid());
    send(requests / 100, requests);
    const ProcessUsage after = usageOf(::getpid());

    // The last backlight request was a grey of its index's low byte.
    int lastBacklight = requests / 100 + requests - 1;
    while (lastBacklight % 6 != 0)
        --lastBacklight;
    const std::string expectedLevel = std::to_string(lastBacklight & 0xFF) + "\n";

    bool good = true;
    std::ostringstream out;
    if (wrongStatus != 0) {
        out << wrongStatus << " requests did not return 0; ";
        good = false;
    }
    if (valueOf("lcd-backlight/brightness") != expectedLevel) {
        out << "lcd-backlight/brightness holds \"" << valueOf("lcd-backlight/brightness") << "\", not \""
            << expectedLevel << "\"; ";
        good = false;
    }
    if (after.descriptors > before.descriptors || after.rssKiB > before.rssKiB + memorySlackKiB(256)) {
        out << "grew: ";
        good = false;
    }
    out << "before " << describe(before) << ", after " << describe(after);
    for (LightDevice* device : devices)
        device->close(device);
    report = out.str();
    return good;
}

class LightsRequestLoad : public ::testing::TestWithParam<BoardInfo> {};

TEST_P(LightsRequestLoad, HalfAMillionRequestsEachLeaveNothingBehind)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    const int requests = scaled(500000, 5000);
    // In a child, whose mount namespace and leaks go with it; within the test's limit.
    const testing::RunResult child = testing::runInChild(
        [&] {
            std::string report;
            const bool good = driveModule(GetParam().module_path, requests, report);
            std::fputs(report.c_str(), stdout);
            return good ? 0 : 1;
        },
        std::chrono::seconds(200));
    EXPECT_EQ(child.exitStatus, 0) << (child.timedOut ? "timed out; " : "") << child.combined;
    ::testing::Test::RecordProperty("requests", requests);
    std::printf("%s: %d requests; %s\n", GetParam().module_path, requests, child.combined.c_str());
}

INSTANTIATE_TEST_SUITE_P(EachBoard, LightsRequestLoad, testing::eachBoard(), testing::boardParamName);

} // namespace
} // namespace quorvel::robustness
