// Many threads sending requests to different lights at once: every request's writes
// stay together, since each set_state holds the module's lock for all of them, the
// trackball light's included.
#include <test_support/led_scenario.h>

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

class Concurrency : public EachBoardInSimulatedTree {
protected:
    static constexpr int THREADS = 12;
    static constexpr int ROUNDS = 40;

    // The probe's threads, opening lights and sending requests at once, on a tree of
    // `profile`; each must have seen only successes.
    SimRun runThreads(const std::string& profile)
    {
        SimRun run = runProbe(GetParam(), LedTree{profile},
                              {"threads:" + std::to_string(THREADS) + ":" + std::to_string(ROUNDS)});
        EXPECT_EQ(run.process.exitStatus, 0) << run.dump();
        EXPECT_EQ(run.outLines(), Strings{"threads = 0 failures"}) << run.process.err;
        for (const JournalEntry& entry : run.entries("write"))
            mWrittenFiles.push_back(entry.path);
        return run;
    }

    // The files written, in order.
    Strings mWrittenFiles;
};

INSTANTIATE_TEST_SUITE_P(EachBoard, Concurrency, eachBoard(), boardParamName);

TEST_P(Concurrency, RequestsToDifferentLightsNeverInterleaveTheirWrites)
{
    const SimRun run = runThreads("rgb+lcd-auto");
    // One board probe, however many threads opened at once.
    // (This board has neither capability file: each probe is one failed lookup.)
    EXPECT_EQ(run.entries("lookup").size(), 2u) << run.dump();

    int requests = 0;
    std::string where;
    EXPECT_TRUE(splitIntoRequests(mWrittenFiles, {hasAutoBrightness(GetParam()), false}, requests, where)) << where;
    // Attention requests write nothing on a board without trackball: 10 of 12 threads.
    EXPECT_EQ(requests, (THREADS - THREADS / 6) * ROUNDS);
}

TEST_P(Concurrency, TrackballWritesStayInsideTheirRequest)
{
    const SimRun run = runThreads("rgb+trackball+lcd-auto");

    int groups = 0;
    std::string where;
    EXPECT_TRUE(splitIntoRequests(mWrittenFiles, {hasAutoBrightness(GetParam()), true}, groups, where)) << where;
    // Two threads per light: every backlight request wrote its level, and the
    // attention requests (trackball mode 0 throughout) reached the trackball light.
    EXPECT_EQ(run.writesTo("lcd-backlight/brightness").size(), 2u * ROUNDS);
    EXPECT_GE(run.writesTo("jogball-backlight/brightness").size(), 2u * ROUNDS * 3);
}

TEST_P(Concurrency, CallingTheExportedProbeAgainLeavesAHeldLockHeld)
{
    // A keyboard request is held inside its attribute open, lock taken; init_globals
    // runs again meanwhile. A buttons request must still wait for the keyboard one.
    const SimRun run = runProbe(GetParam(), LedTree{"rgb"}, {"reinit-while-held"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), std::vector<std::string>{"reinit-while-held parked=1 overlap=0 keyboard=0 buttons=0"})
        << run.dump();
    EXPECT_EQ(run.writes(),
              (std::vector<std::string>{"keyboard-backlight/brightness=255\n", "button-backlight/brightness=255\n"}));
}

} // namespace
