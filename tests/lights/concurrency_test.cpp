// Many threads sending requests to different lights at once: every request's writes
// stay together, since each set_state holds the module's lock for all of them, the
// trackball light's included.
#include "led_scenario.h"

#include <gtest/gtest.h>

using namespace lights_test;

namespace {

struct BoardShape {
    bool lcdAuto = false;
    bool trackball = false;
};

// Splits the write sequence into whole requests; false at the first write that does
// not continue or start a request of one of the lights. On a trackball board a
// request may be several such groups (the trackball mode, then the indicator), so
// there `requests` counts groups.
bool splitIntoRequests(const std::vector<std::string>& files, BoardShape board, int& requests, std::string& where)
{
    requests = 0;
    size_t i = 0;
    auto next = [&](const char* file) { return i < files.size() && files[i] == file ? (++i, true) : false; };
    while (i < files.size()) {
        const size_t start = i;
        bool whole = false;
        if (next("keyboard-backlight/brightness") || next("button-backlight/brightness")) {
            whole = true;
        } else if (next("lcd-backlight/brightness")) {
            whole = (!board.lcdAuto || next("lcd-backlight/auto")) &&
                (!board.trackball || next("jogball-backlight/brightness"));
        } else if (board.trackball && next("jogball-backlight/brightness")) {
            // The trackball mode alone, or a pending notification with its blink.
            next("jogball-backlight/blink");
            whole = true;
        } else if (next("red/brightness")) {
            whole = next("green/brightness") && next("blue/brightness");
            if (whole && next("red/device/grpfreq"))
                whole = next("red/device/grppwm");
            whole = whole && next("red/device/blink");
        }
        if (!whole) {
            where = "write " + std::to_string(i) + " (" + (i < files.size() ? files[i] : "end") +
                ") breaks the request that started at write " + std::to_string(start);
            return false;
        }
        ++requests;
    }
    return true;
}

class Concurrency : public testing::TestWithParam<Variant> {};

INSTANTIATE_TEST_SUITE_P(Both, Concurrency, testing::Values(Variant::Pavok, Variant::Quillano),
                         [](const auto& p) { return std::string(variantName(p.param)); });

TEST_P(Concurrency, RequestsToDifferentLightsNeverInterleaveTheirWrites)
{
    REQUIRE_SIMULATED_TREE();
    const int threads = 12;
    const int rounds = 40;
    const SimRun run = runProbe(GetParam(), Board{"rgb+lcd-auto"},
                                {"threads:" + std::to_string(threads) + ":" + std::to_string(rounds)});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"threads = 0 failures"}) << run.process.err;
    // One board probe, however many threads opened at once.
    // (This board has neither capability file: each probe is one failed lookup.)
    EXPECT_EQ(run.entries("lookup").size(), 2u) << run.dump();

    std::vector<std::string> files;
    for (const JournalEntry& entry : run.entries("write"))
        files.push_back(entry.path);
    int requests = 0;
    std::string where;
    EXPECT_TRUE(splitIntoRequests(files, {GetParam() == Variant::Quillano, false}, requests, where)) << where;
    // Attention requests write nothing on a board without trackball: 10 of 12 threads.
    EXPECT_EQ(requests, (threads - threads / 6) * rounds);
}

TEST_P(Concurrency, TrackballWritesStayInsideTheirRequest)
{
    REQUIRE_SIMULATED_TREE();
    const int threads = 12;
    const int rounds = 40;
    const SimRun run = runProbe(GetParam(), Board{"rgb+trackball+lcd-auto"},
                                {"threads:" + std::to_string(threads) + ":" + std::to_string(rounds)});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"threads = 0 failures"}) << run.process.err;

    std::vector<std::string> files;
    for (const JournalEntry& entry : run.entries("write"))
        files.push_back(entry.path);
    int groups = 0;
    std::string where;
    EXPECT_TRUE(splitIntoRequests(files, {GetParam() == Variant::Quillano, true}, groups, where)) << where;
    // Two threads per light: every backlight request wrote its level, and the
    // attention requests (trackball mode 0 throughout) reached the trackball light.
    EXPECT_EQ(run.writesTo("lcd-backlight/brightness").size(), 2u * rounds);
    EXPECT_GE(run.writesTo("jogball-backlight/brightness").size(), 2u * rounds * 3);
}

TEST_P(Concurrency, CallingTheExportedProbeAgainLeavesAHeldLockHeld)
{
    REQUIRE_SIMULATED_TREE();
    // A keyboard request is held inside its attribute open, lock taken; init_globals
    // runs again meanwhile. A buttons request must still wait for the keyboard one.
    const SimRun run = runProbe(GetParam(), Board{"rgb"}, {"reinit-while-held"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"reinit-while-held parked=1 overlap=0 keyboard=0 buttons=0"})
        << run.dump();
    EXPECT_EQ(run.writes(),
              (std::vector<std::string>{"keyboard-backlight/brightness=255\n", "button-backlight/brightness=255\n"}));
}

} // namespace
