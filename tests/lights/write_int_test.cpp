// The attribute writer, seen through the keyboard, button and trackball lights: value
// format, open flags, one open/write/close per value, statuses and the once-only log.
#include <test_support/led_scenario.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>

using namespace lights_test;

namespace {

const std::string LOG_KEYBOARD = "E/lights: write_int failed to open /sys/class/leds/keyboard-backlight/brightness\n";
const std::string LOG_BUTTONS = "E/lights: write_int failed to open /sys/class/leds/button-backlight/brightness\n";

class WriteInt : public EachBoardInSimulatedTree {};

INSTANTIATE_TEST_SUITE_P(EachBoard, WriteInt, eachBoard(), boardParamName);

std::vector<std::string> journalOf(const SimRun& run, const std::string& file)
{
    std::vector<std::string> lines;
    for (const JournalEntry& entry : run.journal) {
        if (entry.path == file)
            lines.push_back(entry.kind + " " + entry.detail + " = " + entry.status);
    }
    return lines;
}

TEST_P(WriteInt, EachValueIsOneReadWriteOpenOneWriteAndOneClose)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{}, {"keyboard", "0x1", "keyboard", "0"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    // O_RDWR alone: no O_CREAT, O_TRUNC, O_APPEND, O_CLOEXEC.
    const std::vector<std::string> expected = {
        "open O_RDWR = 0", "write 255\n = 4", "close  = 0", "open O_RDWR = 0", "write 0\n = 2", "close  = 0",
    };
    EXPECT_EQ(journalOf(run, KEYBOARD), expected) << run.dump();
    EXPECT_EQ(run.values.at(KEYBOARD), "0\n");
}

TEST_P(WriteInt, OpensWithReadWriteAndNoOtherFlag)
{
    // The journal cannot show O_CLOEXEC (the kernel keeps it from the file system), so
    // the probe notes the flags at the call itself.
    const SimRun run =
        runProbe(GetParam(), LedTree{"rgb+lcd-auto"},
                 {"open:keyboard", "trace-opens", "set:keyboard:1:0:0:0:0", "set:battery:0:0:0:0:0", "opens"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    char rdwr[16];
    snprintf(rdwr, sizeof rdwr, " 0%o", static_cast<unsigned>(O_RDWR));
    Strings expected = {"open keyboard = 0", "set keyboard = 0", "set battery = 0"};
    for (const char* file :
         {"keyboard-backlight/brightness", "red/brightness", "green/brightness", "blue/brightness", "red/device/blink"})
        expected.push_back("opened /sys/class/leds/" + std::string(file) + rdwr);
    EXPECT_EQ(run.outLines(), expected) << run.dump();
}

TEST_P(WriteInt, WritesSignedDecimalTextWithOneNewline)
{
    // The attention light passes its trackball mode code through unchanged.
    const SimRun run =
        runLightsctl(GetParam(), LedTree{"rgb+trackball"},
                     {"attention", "0", "trackball", "-5", "attention", "0", "trackball", "1234567", "attention", "0",
                      "trackball", "-2147483648", "attention", "0", "trackball", "2147483647"});
    EXPECT_TRUE(wroteExactly(run, "jogball-backlight/brightness",
                             (std::vector<std::string>{"-5\n", "1234567\n", "-2147483648\n", "2147483647\n"})));
}

TEST_P(WriteInt, FirstFailedOpenIsLoggedOnceWithTheExactLine)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb", {KEYBOARD + "=missing", BUTTONS + "=eacces"}},
                                    {"keyboard", "1", "buttons", "1", "keyboard", "0", "buttons", "0"});
    EXPECT_EQ(run.process.exitStatus, 1) << run.dump();
    const Strings twice = concat({"keyboard: -2 (No such file or directory)", "buttons: -13 (Permission denied)"},
                                 {"keyboard: -2 (No such file or directory)", "buttons: -13 (Permission denied)"});
    EXPECT_EQ(run.outLines(), twice) << run.dump();
    EXPECT_EQ(run.process.err, LOG_KEYBOARD) << run.dump();
}

TEST_P(WriteInt, FailedWritesAreNotLoggedButALaterFailedOpenIs)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb", {KEYBOARD + "=enospc", BUTTONS + "=readonly"}},
                                    {"keyboard", "1", "buttons", "1"});
    const std::vector<std::string> expected = {"keyboard: -28 (No space left on device)",
                                               "buttons: -13 (Permission denied)"};
    EXPECT_EQ(run.outLines(), expected) << run.dump();
    EXPECT_EQ(run.process.err, LOG_BUTTONS) << run.dump();
}

TEST_P(WriteInt, TheOpenErrnoSurvivesALogCallThatChangesErrno)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb", {KEYBOARD + "=missing"}}, {"keyboard", "1"},
                                    {std::string("LD_LIBRARY_PATH=") + CLOBBERING_LOG_DIR});
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"keyboard: -2 (No such file or directory)"}) << run.dump();
    // Proof that the errno-changing log was the one called.
    EXPECT_EQ(run.process.err,
              "clobbering-log 6/lights: write_int failed to open /sys/class/leds/keyboard-backlight/brightness\n");
}

TEST_P(WriteInt, TheWriteErrnoSurvivesAFailingClose)
{
    const SimRun run = runLightsctl(
        GetParam(), LedTree{"rgb", {KEYBOARD + "=enospc", KEYBOARD + "=close-eio", BUTTONS + "=close-eio"}},
        {"keyboard", "1", "buttons", "1"});
    const std::vector<std::string> expected = {"keyboard: -28 (No space left on device)", "buttons: 0"};
    EXPECT_EQ(run.outLines(), expected) << run.dump();
    EXPECT_EQ(journalOf(run, BUTTONS),
              (std::vector<std::string>{"open O_RDWR = 0", "write 255\n = 4", "close  = -EIO"}));
    EXPECT_EQ(run.process.err, "");
}

struct FaultCase {
    const char* fault;
    bool stored; // the value reaches the file
};

class SimpleLightFaults : public InSimulatedTree<testing::TestWithParam<std::tuple<BoardInfo, FaultCase>>> {};

// The keyboard and button lights store their value only when the write goes through
// (a short write stores what it wrote). The status each reports under each fault is
// checked by the lights fault matrix (tests/robustness/lights).
TEST_P(SimpleLightFaults, ValueIsStoredOnlyWhenTheWriteGoesThrough)
{
    const auto& [variant, fault] = GetParam();
    for (const std::string& file : {KEYBOARD, BUTTONS}) {
        const std::string light = file == KEYBOARD ? "keyboard" : "buttons";
        const SimRun run = runLightsctl(variant, LedTree{"rgb", {file + "=" + fault.fault}}, {light, "0xff"});
        ASSERT_EQ(run.outLines().size(), 1u) << run.dump();
        if (fault.stored) {
            // A short write still stores the number in the bytes taken, as a number.
            EXPECT_EQ(run.values.at(file), "255\n");
        } else if (run.values.count(file)) {
            EXPECT_EQ(run.values.at(file), "0\n");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, SimpleLightFaults,
                         testing::Combine(testing::ValuesIn(quorvel::kBoards),
                                          testing::Values(FaultCase{"missing", false}, FaultCase{"eacces", false},
                                                          FaultCase{"readonly", false}, FaultCase{"enospc", false},
                                                          FaultCase{"eio", false}, FaultCase{"short", true},
                                                          FaultCase{"close-eio", true})),
                         [](const auto& p) {
                             std::string name =
                                 std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param).fault;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
