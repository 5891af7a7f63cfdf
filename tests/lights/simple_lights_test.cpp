// Backlight, keyboard and button lights, and the trackball mode rule that follows the
// backlight level.
#include <test_support/led_scenario.h>

#include <gtest/gtest.h>

using namespace lights_test;

namespace {

class Backlight : public EachBoardInSimulatedTree {};

INSTANTIATE_TEST_SUITE_P(EachBoard, Backlight, eachBoard(), boardParamName);

TEST_P(Backlight, WritesTheLumaOfTheColourIgnoringAlpha)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+lcd-auto"},
                                    {"backlight", "0xFF000000", "backlight", "0xFFFFFFFF", "backlight", "0x00FF0000",
                                     "backlight", "0x0000FF00", "backlight", "0x000000FF", "backlight", "0x00808080"});
    EXPECT_TRUE(wroteExactly(run, LCD, (Strings{"0\n", "255\n", "76\n", "149\n", "28\n", "128\n"})));
}

using BacklightQuillano = SimulatedTree;

TEST_F(BacklightQuillano, AutomaticBrightnessOnlyAbove150WhenAsked)
{
    const SimRun run = runLightsctl(boardNamed("quillano"), LedTree{"rgb+lcd-auto"},
                                    {"backlight", "0x969696", "auto", "backlight", "0x979797", "auto", "backlight",
                                     "0xffffff", "backlight", "0xffffff", "brightness", "2"});
    EXPECT_TRUE(wroteExactly(run,
                             (Strings{LCD + "=150\n", LCD_AUTO + "=0\n", LCD + "=151\n", LCD_AUTO + "=1\n",
                                      LCD + "=255\n", LCD_AUTO + "=0\n", LCD + "=255\n", LCD_AUTO + "=0\n"})));
}

using BacklightPavok = SimulatedTree;

TEST_F(BacklightPavok, HasNoAutomaticBrightnessAttribute)
{
    const SimRun run = runLightsctl(boardNamed("pavok"), LedTree{"rgb+lcd-auto"}, {"backlight", "0xffffff", "auto"});
    EXPECT_TRUE(wroteExactly(run, Strings{LCD + "=255\n"}));
}

// The status a failed level or automatic write gives, and the writes that follow it,
// are checked for every attribute under every fault by the lights fault matrix
// (tests/robustness/lights).

// --- The trackball mode rule ---

TEST_P(Backlight, TrackballModeSevenFollowsTheScreen)
{
    const SimRun run = runLightsctl(
        GetParam(), LedTree{"rgb+trackball+lcd-auto"},
        {"attention", "0", "trackball", "7", "backlight", "0", "backlight", "0x010101", "backlight", "0xff000000"});
    // attention (lcd 255): 0; level 0: 7; level 1: 0; level 0 again: 7.
    EXPECT_TRUE(wroteExactly(run, TRACKBALL, (Strings{"0\n", "7\n", "0\n", "7\n"})));
}

TEST_P(Backlight, TheLevelCountsEvenWhenTheLcdWriteFails)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+trackball", {LCD + "=missing"}},
                                    {"attention", "0", "trackball", "7", "backlight", "0"});
    EXPECT_EQ(run.writesTo(TRACKBALL), (Strings{"0\n", "7\n"})) << run.dump();
}

TEST_P(Backlight, TrackballModeMinusOneLeavesTheTrackballAlone)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+trackball+lcd-auto"},
                                    {"attention", "0", "trackball", "-1", "backlight", "0", "backlight", "0xffffff",
                                     "attention", "0xff", "flash", "1", "1", "backlight", "0"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_TRUE(run.writesTo(TRACKBALL).empty()) << run.dump();
}

TEST_P(Backlight, TrackballModeZeroAtLoadSwitchesTheTrackballOffOnEveryChange)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+trackball+lcd-auto"},
                                    {"backlight", "0", "backlight", "0xffffff", "backlight", "0x808080"});
    EXPECT_TRUE(wroteExactly(run, TRACKBALL, (Strings{"0\n", "0\n", "0\n"})));
}

TEST_P(Backlight, BoardsWithoutTrackballWriteNoTrackballValue)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{"rgb+lcd-auto"},
                                    {"attention", "0", "trackball", "7", "backlight", "0", "notifications", "0xff"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    // The board probe is the only thing that ever looks for the trackball light.
    Strings lookedUp;
    for (const JournalEntry& entry : run.entries("lookup"))
        lookedUp.push_back(entry.path);
    EXPECT_EQ(lookedUp, (Strings{"jogball-backlight", "amber"})) << run.dump();
}

// --- Keyboard and buttons ---

TEST_P(Backlight, KeyboardAndButtonsAreFullyOnForAnyColour)
{
    const SimRun run = runLightsctl(GetParam(), LedTree{},
                                    {"keyboard", "0x01000000", "keyboard", "0x00000001", "keyboard", "0xff000000",
                                     "buttons", "0x00000100", "buttons", "0xFF000000", "buttons", "0x00800000"});
    EXPECT_TRUE(wroteExactly(run,
                             (Strings{"keyboard-backlight/brightness=0\n", "keyboard-backlight/brightness=255\n",
                                      "keyboard-backlight/brightness=0\n", "button-backlight/brightness=255\n",
                                      "button-backlight/brightness=0\n", "button-backlight/brightness=255\n"})));
}

} // namespace
