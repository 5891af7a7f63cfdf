// Battery, notification and attention lights sharing the indicator LED and the
// trackball light: which request shows, colour and blink writes, board differences.
#include <test_support/led_scenario.h>

#include <gtest/gtest.h>

using namespace lights_test;

namespace {

// The RGB indicator writes for one request, in order.
Strings rgb(int red, int green, int blue, int blink)
{
    return {"red/brightness=" + std::to_string(red) + "\n", "green/brightness=" + std::to_string(green) + "\n",
            "blue/brightness=" + std::to_string(blue) + "\n", "red/device/blink=" + std::to_string(blink) + "\n"};
}

Strings rgbBlinking(int red, int green, int blue, int period, int duty)
{
    return {"red/brightness=" + std::to_string(red) + "\n",     "green/brightness=" + std::to_string(green) + "\n",
            "blue/brightness=" + std::to_string(blue) + "\n",   "red/device/grpfreq=" + std::to_string(period) + "\n",
            "red/device/grppwm=" + std::to_string(duty) + "\n", "red/device/blink=1\n"};
}

// One request list on one tree and exactly the writes it gives.
struct WritesCase {
    const char* name;
    std::string profile;
    Strings requests;
    Strings writes;
};

class IndicatorWrites : public InSimulatedTree<testing::TestWithParam<std::tuple<BoardInfo, WritesCase>>> {};

TEST_P(IndicatorWrites, RequestsGiveExactlyTheseWrites)
{
    const auto& [board, c] = GetParam();
    EXPECT_TRUE(wroteExactly(runLightsctl(board, LedTree{c.profile}, c.requests), c.writes));
}

// A notification flashing with these times, on and off: period, duty and blink, or
// blink off.
WritesCase flash(const char* name, const std::string& on, const std::string& off, const Strings& writes)
{
    return {name, "rgb", {"notifications", "0xff", "flash", on, off}, writes};
}

INSTANTIATE_TEST_SUITE_P(
    Table, IndicatorWrites,
    testing::Combine(
        testing::ValuesIn(quorvel::kBoards),
        testing::Values(
            WritesCase{
                "SteadyBatteryColourWritesColoursAndBlinkOff", "rgb", {"battery", "0x00FF0000"}, rgb(255, 0, 0, 0)},
            WritesCase{"OnATrackballBoardTheBatteryRequestIsWrittenTwice",
                       "rgb+trackball",
                       {"battery", "0x00FF0000"},
                       concat({rgb(255, 0, 0, 0), rgb(255, 0, 0, 0)})},
            WritesCase{"FlashingNotificationWritesPeriodDutyThenBlink",
                       "rgb",
                       {"notifications", "0x00123456", "flash", "500", "500"},
                       rgbBlinking(0x12, 0x34, 0x56, 20, 127)},
            flash("Flash50Off950", "50", "950", rgbBlinking(0, 0, 255, 20, 16)),
            flash("Flash1Off999", "1", "999", rgbBlinking(0, 0, 255, 20, 0)),
            flash("Flash10Off10", "10", "10", rgbBlinking(0, 0, 255, 0, 127)),
            flash("Flash500Off0", "500", "0", rgb(0, 0, 255, 0)),
            flash("FlashMinus500Off500", "-500", "500", rgb(0, 0, 255, 0)),
            flash("Flash500OffMinus1", "500", "-1", rgb(0, 0, 255, 0)),
            flash("Flash10000000Off30000000", "10000000", "30000000", rgbBlinking(0, 0, 255, 800000, 63)),
            flash("FlashMaxOffMax", "2147483647", "2147483647", rgbBlinking(0, 0, 255, 85899345, 127)),
            WritesCase{"FlashModesOtherThanTimedAreSteady",
                       "rgb",
                       {"notifications", "0xff00", "mode", "2", "500", "500", "battery", "0xff0000", "mode", "3", "500",
                        "500"},
                       concat({rgb(0, 255, 0, 0), rgb(255, 0, 0, 0)})},
            // No period or duty on amber boards, even when blinking.
            WritesCase{"AmberBoardShowsRedAsAmberAndIgnoresBlue",
                       "amber",
                       {"battery", "0xffff00", "battery", "0x00ff00", "flash", "500", "500", "battery", "0x0000ff",
                        "battery", "0x010000", "flash", "1", "1"},
                       {"amber/brightness=1\n", "green/brightness=0\n", "amber/blink=0\n", "amber/brightness=0\n",
                        "green/brightness=1\n", "amber/blink=1\n", "green/brightness=0\n", "amber/brightness=0\n",
                        "amber/blink=0\n", "amber/brightness=1\n", "green/brightness=0\n", "amber/blink=1\n"}},
            WritesCase{"BatteryColourWinsAndHandsTheLedBackWhenZero",
                       "rgb",
                       {"notifications", "0x0000ff", "flash", "500", "500", "battery", "0x00ff00", "mode", "7", "1",
                        "1", "notifications", "0xff0000", "flash", "500", "500", "battery", "0"},
                       concat({rgbBlinking(0, 0, 255, 20, 127), rgb(0, 255, 0, 0), rgb(0, 255, 0, 0),
                               rgbBlinking(255, 0, 0, 20, 127)})},
            WritesCase{"BeforeAnyRequestTheNotificationSideIsDark", "rgb", {"battery", "0"}, rgb(0, 0, 0, 0)})),
    [](const auto& p) { return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param).name; });

class Indicator : public EachBoardInSimulatedTree {};

INSTANTIATE_TEST_SUITE_P(EachBoard, Indicator, eachBoard(), boardParamName);

TEST_P(Indicator, ClosingDevicesKeepsTheStoredRequests)
{
    // The stored requests belong to the module, not to a device: each refresh below
    // runs on a fresh device after the one that stored the other light's request has
    // been closed.
    const SimRun run = runProbe(GetParam(), LedTree{"rgb"},
                                {"set:notifications:0x00ff00:1:500:500:0", "close:notifications",
                                 "set:battery:0x0000ff:0:0:0:0", "close:battery", "set:notifications:0xff0000:0:0:0:0",
                                 "close:notifications", "set:battery:0:0:0:0:0"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(),
              (Strings{"set notifications = 0", "close notifications = 0", "set battery = 0", "close battery = 0",
                       "set notifications = 0", "close notifications = 0", "set battery = 0"}))
        << run.dump();
    // The stored battery colour still wins over the new notification; then the
    // stored notification comes back when the battery colour goes.
    EXPECT_EQ(run.writes(),
              concat({rgbBlinking(0, 255, 0, 20, 127), rgb(0, 0, 255, 0), rgb(0, 0, 255, 0), rgb(255, 0, 0, 0)}))
        << run.dump();
}

// --- Faults on the indicator: the handler goes on and reports success ---

class IndicatorFaults : public InSimulatedTree<testing::TestWithParam<std::tuple<BoardInfo, std::string>>> {};

TEST_P(IndicatorFaults, LaterWritesStillHappen)
{
    const auto& [variant, fault] = GetParam();
    const SimRun run = runLightsctl(variant, LedTree{"rgb", {"red/brightness=" + fault, "red/device/grpfreq=" + fault}},
                                    {"notifications", "0x00ff00", "flash", "500", "500", "battery", "0xff"});
    EXPECT_EQ(run.outLines(), (Strings{"notifications: 0", "battery: 0"})) << run.dump();
    const bool reachesFile = fault == "short" || fault == "enospc" || fault == "eio" || fault == "close-eio";
    // Where the fault keeps the value from the file, its writes are missing.
    Strings expected = concat({rgbBlinking(0, 255, 0, 20, 127), rgb(0, 0, 255, 0)});
    if (!reachesFile)
        std::erase_if(expected, [](const std::string& write) {
            return write.starts_with("red/brightness=") || write.starts_with("red/device/grpfreq=");
        });
    EXPECT_EQ(run.writes(), expected) << run.dump();
    // Only the first failed open of the process is logged.
    if (!reachesFile)
        EXPECT_EQ(run.process.err, "E/lights: write_int failed to open /sys/class/leds/red/brightness\n");
    else
        EXPECT_EQ(run.process.err, "");
}

INSTANTIATE_TEST_SUITE_P(Matrix, IndicatorFaults,
                         testing::Combine(testing::ValuesIn(quorvel::kBoards),
                                          testing::Values("missing", "eacces", "readonly", "enospc", "eio", "short")),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param);
                         });

TEST_P(Indicator, BoardsWithoutBlinkTimingStillGetTheBlinkFlag)
{
    const SimRun run =
        runLightsctl(GetParam(), LedTree{"rgb+no-blink-timing"}, {"notifications", "0xff", "flash", "500", "500"});
    EXPECT_EQ(run.outLines(), Strings{"notifications: 0"}) << run.dump();
    EXPECT_EQ(run.writes(),
              (Strings{"red/brightness=0\n", "green/brightness=0\n", "blue/brightness=255\n", "red/device/blink=1\n"}))
        << run.dump();
    EXPECT_EQ(run.process.err, "E/lights: write_int failed to open /sys/class/leds/red/device/grpfreq\n");
}

// --- Attention and the trackball ---

TEST_P(Indicator, AttentionModeSevenLightsTheTrackballWhileTheScreenIsDark)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+trackball+lcd-auto"},
                                    {"backlight", "0",         "attention", "0",     "trackball", "7",   "backlight",
                                     "0xffffff",  "attention", "0",         "flash", "100",       "100", "backlight",
                                     "0",         "attention", "0",         "flash", "1",         "1"});
    // backlight 0 (mode 0): 0; attention mode 7 at level 0: 7; level 255: 0;
    // attention flash 1 keeps mode 7: 0 again; level 0: 7; attention flash 1: 7.
    EXPECT_TRUE(wroteExactly(run, TRACKBALL, (Strings{"0\n", "7\n", "0\n", "0\n", "7\n", "7\n"})));
}

TEST_P(Indicator, AttentionSteadyResetsTheTrackballModeAndOtherModesKeepIt)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+trackball+lcd-auto"},
                                    {"attention", "0", "trackball", "-1", "attention", "0", "mode", "3", "0", "0",
                                     "backlight", "0", "attention", "0xff", "attention", "0", "trackball", "9"});
    // -1 writes nothing, mode 3 keeps -1, backlight writes nothing; steady resets to 0
    // (written as 0), then code 9 is written as is.
    EXPECT_TRUE(wroteExactly(run, TRACKBALL, (Strings{"0\n", "9\n"})));
}

using IndicatorPavok = SimulatedTree;

TEST_F(IndicatorPavok, AttentionReplacesTheStoredNotification)
{
    const SimRun run = runLightsctl(boardNamed("pavok"), LedTree{"rgb"},
                                    {"notifications", "0x00ff00", "attention", "0xff0000", "battery", "0"});
    // Attention writes nothing itself; the next refresh shows it as the notification.
    EXPECT_TRUE(wroteExactly(run, concat({rgb(0, 255, 0, 0), rgb(255, 0, 0, 0)})));
}

using IndicatorQuillano = SimulatedTree;

TEST_F(IndicatorQuillano, AttentionLeavesTheStoredNotificationAlone)
{
    const SimRun run = runLightsctl(boardNamed("quillano"), LedTree{"rgb"},
                                    {"notifications", "0x00ff00", "attention", "0xff0000", "battery", "0"});
    EXPECT_TRUE(wroteExactly(run, concat({rgb(0, 255, 0, 0), rgb(0, 255, 0, 0)})));
}

TEST_F(IndicatorPavok, PendingNotificationGoesToTheTrackballLight)
{
    const SimRun run = runLightsctl(boardNamed("pavok"), LedTree{"rgb+trackball"},
                                    {"notifications", "0xff", "flash", "500", "500", "notifications", "0xff",
                                     "notifications", "0", "flash", "1", "0"});
    // The mode rule (mode 0) writes 0 first; then the notification rule's value stays.
    // The LED is not touched.
    EXPECT_TRUE(wroteExactly(run,
                             (Strings{TRACKBALL + "=0\n", TRACKBALL + "=4\n", TRACKBALL_BLINK + "=4\n",
                                      TRACKBALL + "=0\n", TRACKBALL + "=0\n", TRACKBALL_BLINK + "=0\n",
                                      TRACKBALL + "=0\n", TRACKBALL + "=0\n", TRACKBALL_BLINK + "=0\n"})));
}

TEST_F(IndicatorPavok, TrackballBlinksOnlyWhenBothFlashTimesArePositive)
{
    const SimRun run =
        runLightsctl(boardNamed("pavok"), LedTree{"rgb+trackball"},
                     {"notifications", "0xff", "flash", "0",   "500", "notifications", "0xff", "flash", "-5", "500",
                      "notifications", "0xff", "flash", "500", "-5",  "notifications", "0xff", "flash", "1",  "1"});
    EXPECT_TRUE(wroteExactly(run, TRACKBALL_BLINK, (Strings{"0\n", "0\n", "0\n", "4\n"})));
    // Each request: the mode rule's 0, then the notification rule's value.
    EXPECT_EQ(run.writesTo(TRACKBALL), (Strings{"0\n", "0\n", "0\n", "0\n", "0\n", "0\n", "0\n", "4\n"})) << run.dump();
}

TEST_F(IndicatorPavok, PendingAttentionShowsOnTheTrackballLight)
{
    const SimRun run =
        runLightsctl(boardNamed("pavok"), LedTree{"rgb+trackball"},
                     {"attention", "0xff", "flash", "500", "500", "battery", "0", "attention", "0xff", "battery", "0"});
    // Attention writes only the trackball mode (0); the next battery request with no
    // colour hands the attention request, stored as the notification, to the
    // trackball light: blinking while it flashes, off once it is steady.
    EXPECT_TRUE(wroteExactly(run,
                             concat({{TRACKBALL + "=0\n"},
                                     rgb(0, 0, 0, 0),
                                     {TRACKBALL + "=4\n", TRACKBALL_BLINK + "=4\n"},
                                     {TRACKBALL + "=0\n"},
                                     rgb(0, 0, 0, 0),
                                     {TRACKBALL + "=0\n", TRACKBALL_BLINK + "=0\n"}})));
}

TEST_F(IndicatorPavok, BatteryColourZeroOnATrackballBoardSwitchesTheLedOffOnce)
{
    const SimRun run = runLightsctl(boardNamed("pavok"), LedTree{"rgb+trackball"},
                                    {"battery", "0xff0000", "attention", "0xff", "trackball", "-1", "notifications",
                                     "0x00ff00", "flash", "500", "500", "battery", "0"});
    // While the battery colour is set, notifications leave the trackball light alone
    // (mode -1) and the LED shows the battery; colour zero switches the LED off
    // directly and hands the notification to the trackball light.
    EXPECT_TRUE(wroteExactly(run,
                             concat({rgb(255, 0, 0, 0),
                                     rgb(255, 0, 0, 0),
                                     rgb(255, 0, 0, 0),
                                     rgb(0, 0, 0, 0),
                                     {TRACKBALL + "=4\n", TRACKBALL_BLINK + "=4\n"}})));
}

TEST_F(IndicatorQuillano, TrackballBoardsShowNotificationsOnTheLed)
{
    const SimRun run = runLightsctl(boardNamed("quillano"), LedTree{"rgb+trackball"},
                                    {"notifications", "0xff", "flash", "500", "500"});
    EXPECT_TRUE(wroteExactly(run, concat({{TRACKBALL + "=0\n"}, rgbBlinking(0, 0, 255, 20, 127)})));
}

TEST_F(IndicatorPavok, WithoutTrackballAPendingAttentionShowsOnTheLed)
{
    const SimRun run = runLightsctl(boardNamed("pavok"), LedTree{"amber"},
                                    {"attention", "0xff0000", "flash", "500", "500", "battery", "0"});
    EXPECT_TRUE(wroteExactly(run, (Strings{"amber/brightness=1\n", "green/brightness=0\n", "amber/blink=1\n"})));
}

} // namespace
