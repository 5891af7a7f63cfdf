// Every attribute file of both board layouts under every fault ledsim can inject,
// for both modules: one request of every light, and for each fault the exact status
// each handler reports, the one log line, and every other write still made, in order.
//
// The expectations come from the rules, checked against a fault-free run of the same
// requests: an open fault (missing, eacces, readonly) removes the writes to that file
// and nothing else; a write fault (enospc, eio, short, close-eio) removes nothing. A
// fault on one of the two probed files changes what the module believes the board
// has, so there the fault-free run of the board without that part is the reference.
//
// This is the one place that checks the status each light reports under each fault;
// tests/lights checks what one fault at a time cannot show (the values stored, one
// log line for several failed opens, the errno kept across the log call and close).
#include <test_support/led_scenario.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace quorvel::robustness {
namespace {

using lights_test::LedTree;
using namespace quorvel::testing;
using lights_test::SimRun;
using lights_test::Strings;
using quorvel::BoardInfo;

const Strings AMBER_FILES = {AMBER,   "amber/blink", "green/brightness", LCD, LCD_AUTO, KEYBOARD,
                             BUTTONS, TRACKBALL,     TRACKBALL_BLINK};
const Strings FAULTS = {"missing", "eacces", "readonly", "enospc", "eio", "short", "close-eio"};

// Every light once, in an order that makes every attribute file be written: the
// notification flashes (period, duty, blink; on pavok's trackball board, the trackball
// light and its blink), the battery takes the LED and gives it back.
const Strings REQUESTS = {"backlight", "0x808080",      "auto",      "keyboard", "0x1",       "buttons",
                          "0x1",       "notifications", "0x00ff00",  "flash",    "500",       "500",
                          "battery",   "0xff0000",      "attention", "0xff",     "trackball", "7",
                          "battery",   "0x0",           "backlight", "0x0"};
const Strings LIGHTS_IN_ORDER = {"backlight", "keyboard",  "buttons", "notifications",
                                 "battery",   "attention", "battery", "backlight"};

bool isOpenFault(const std::string& fault)
{
    return fault == "missing" || fault == "eacces" || fault == "readonly";
}

int statusOf(const std::string& fault)
{
    static const std::map<std::string, int> STATUSES = {
        {"missing", -2}, {"eacces", -13}, {"readonly", -13}, {"enospc", -28}, {"eio", -5}};
    const auto it = STATUSES.find(fault);
    return it != STATUSES.end() ? it->second : 0; // a short write or a failed close still counts as written
}

std::string statusText(int status)
{
    return status == 0 ? "0" : std::to_string(status) + " (" + std::strerror(-status) + ")";
}

// What lightsctl must print: one line per request, each with the status its handler's
// deciding write gives when `file` has `fault` (or none, when `file` is empty).
Strings expectedStatuses(const BoardInfo& board, const std::string& file, const std::string& fault)
{
    auto status = [&](const std::string& attribute) { return attribute == file ? statusOf(fault) : 0; };
    Strings lines;
    for (const std::string& light : LIGHTS_IN_ORDER) {
        int result = 0;
        if (light == "backlight")
            result = !lights_test::hasAutoBrightness(board) || status(LCD) != 0 ? status(LCD) : status(LCD_AUTO);
        else if (light == "keyboard")
            result = status(KEYBOARD);
        else if (light == "buttons")
            result = status(BUTTONS);
        lines.push_back(light + ": " + statusText(result));
    }
    return lines;
}

bool isIn(const Strings& files, const std::string& file)
{
    return std::find(files.begin(), files.end(), file) != files.end();
}

// The writes ("file=bytes") to the files `keep` accepts.
Strings writesTo(const Strings& writes, const std::function<bool(const std::string& file)>& keep)
{
    Strings kept;
    for (const std::string& write : writes)
        if (keep(write.substr(0, write.find('='))))
            kept.push_back(write);
    return kept;
}

// The probe's answer for `file`, from the journal: true when it was found writable.
bool probedWritable(const SimRun& run, const std::string& file)
{
    for (const auto& entry : run.entries("access"))
        if (entry.path == file)
            return entry.status == "0";
    return false;
}

// The one line the module logs: the first open, in the order of `reference` (a run
// with every open succeeding), of the faulted file or of a file this tree lacks.
std::string expectedLog(const SimRun& reference, const std::string& file, const std::string& fault,
                        const Strings& files)
{
    for (const auto& entry : reference.entries("open")) {
        if ((entry.path == file && isOpenFault(fault)) || !isIn(files, entry.path))
            return "E/lights: write_int failed to open /sys/class/leds/" + entry.path + "\n";
    }
    return "";
}

// lightsctl's exit status: 1 when any request was answered with a failure.
int expectedExit(const Strings& statusLines)
{
    for (const std::string& line : statusLines)
        if (line.compare(line.size() - 3, 3, ": 0") != 0)
            return 1;
    return 0;
}

class LightsFaultMatrix
    : public lights_test::InSimulatedTree<::testing::TestWithParam<std::tuple<BoardInfo, std::string>>> {
protected:
    // One fault-free run per board, shared by all faults.
    const SimRun& reference(const BoardInfo& board, const std::string& profile)
    {
        const std::string key = std::string(board.name) + "/" + profile;
        auto it = mReferences.find(key);
        if (it == mReferences.end())
            it = mReferences.emplace(key, lights_test::runLightsctl(board, LedTree{profile, {}}, REQUESTS)).first;
        return it->second;
    }

    static std::map<std::string, SimRun> mReferences;
};

std::map<std::string, SimRun> LightsFaultMatrix::mReferences;

TEST_P(LightsFaultMatrix, EveryFileUnderEveryFaultGivesExactStatusesAndKeepsTheOtherWrites)
{
    const auto& [module, layout] = GetParam();
    const Strings& files = layout == "rgb" ? RGB_BOARD_FILES : AMBER_FILES;
    const std::string profile = layout + "+trackball+lcd-auto";
    const SimRun& clean = reference(module, profile);
    ASSERT_EQ(clean.process.exitStatus, 0) << clean.dump();
    ASSERT_EQ(clean.outLines(), expectedStatuses(module, "", "")) << clean.dump();

    for (const std::string& file : files) {
        for (const std::string& fault : FAULTS) {
            SCOPED_TRACE(file + "=" + fault);
            const SimRun run = lights_test::runLightsctl(module, LedTree{profile, {file + "=" + fault}}, REQUESTS);
            ASSERT_FALSE(run.process.timedOut) << run.dump();

            const SimRun* expected = &clean;
            Strings expectedWrites = clean.writes();
            if (isOpenFault(fault) && file == TRACKBALL && !probedWritable(run, TRACKBALL)) {
                // No trackball light as far as the module can tell.
                expected = &reference(module, layout + "+lcd-auto");
                expectedWrites = expected->writes();
            } else if (isOpenFault(fault) && file == AMBER && !probedWritable(run, AMBER)) {
                // No amber LED as far as the module can tell: it drives red, green
                // and blue, of which this tree has only green. Writes to files the
                // tree does not have never reach the journal as writes.
                expected = &reference(module, "rgb+trackball+lcd-auto");
                expectedWrites = writesTo(expected->writes(), [&](const std::string& f) { return isIn(files, f); });
            }
            if (isOpenFault(fault))
                expectedWrites = writesTo(expectedWrites, [&](const std::string& f) { return f != file; });

            const Strings statuses = expectedStatuses(module, file, fault);
            EXPECT_EQ(run.outLines(), statuses) << run.dump();
            EXPECT_EQ(run.process.exitStatus, expectedExit(statuses)) << run.dump();
            EXPECT_EQ(run.writes(), expectedWrites) << run.dump();
            EXPECT_EQ(run.process.err, expectedLog(*expected, file, fault, files)) << run.dump();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothModulesBothLayouts, LightsFaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(quorvel::kBoards), ::testing::Values("rgb", "amber")),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param).name) + "_" + std::get<1>(param.param);
                         });

} // namespace
} // namespace quorvel::robustness
