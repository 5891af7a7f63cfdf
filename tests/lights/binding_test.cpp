// A module binds its own symbols: with another module's (or the host's) copies of
// init_globals and the path globals in the global scope, it still probes with its
// own init_globals, writes its own paths and keeps its own log-once flag.
#include <test_support/led_scenario.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

using namespace lights_test;

namespace {

// Every light once, so that the probe results (trackball, amber) and every path
// global show in the writes; the backlight also exercises the board's extra file.
const std::vector<std::string> STEPS = {
    "set:backlight:0x808080:0:0:0:1", "set:battery:0xff0000:0:0:0:0", "set:notifications:0x00ff00:1:500:500:0",
    "set:attention:0:2:7:0:0",        "set:keyboard:1:0:0:0:0",       "set:buttons:0:0:0:0:0",
    "set:battery:0:0:0:0:0",
};

// Two definitions of the same exported names in one process are the situation
// under test, which AddressSanitizer reports as a violation of the one-definition
// rule; it still checks that same-named globals agree in size.
std::vector<std::string> sameNamesEnvironment()
{
    const char* options = getenv("ASAN_OPTIONS");
    return {"ASAN_OPTIONS=" + std::string(options != nullptr ? options : "") + ":detect_odr_violation=1"};
}

std::vector<std::string> withoutLoadLines(std::vector<std::string> lines)
{
    std::erase_if(lines, [](const std::string& line) { return line.rfind("load ", 0) == 0; });
    return lines;
}

SimRun runOneAfterTheOther(const BoardInfo& first, const BoardInfo& second, const std::string& tree)
{
    std::vector<std::string> command = {entryProbePath(), "-", "load:global:" + std::string(first.module_path)};
    command = concat(command, STEPS);
    command.push_back("load:global:" + std::string(second.module_path));
    command = concat(command, STEPS);
    return runInLedsim(LedTree{tree}, command, sameNamesEnvironment());
}

// Amber boards and RGB boards: the probe result decides which indicator files are
// written, so a module that ran the other's init_globals writes the wrong ones.
class TwoModulesInOneProcess : public InSimulatedTree<testing::TestWithParam<std::string>> {};

INSTANTIATE_TEST_SUITE_P(Boards, TwoModulesInOneProcess,
                         testing::Values("amber+trackball+lcd-auto", "rgb+trackball", "amber"), [](const auto& p) {
                             std::string name = p.param;
                             for (char& c : name)
                                 c = c == '+' || c == '-' ? '_' : c;
                             return name;
                         });

TEST_P(TwoModulesInOneProcess, EachWritesExactlyWhatItWritesAloneInEitherOrder)
{
    std::vector<SimRun> alone;
    for (const BoardInfo& board : quorvel::kBoards) {
        alone.push_back(runProbe(board, LedTree{GetParam()}, STEPS));
        ASSERT_EQ(alone.back().process.exitStatus, 0) << alone.back().dump();
    }
    for (size_t i = 0; i < alone.size(); ++i) {
        for (size_t j = 0; j < alone.size(); ++j) {
            if (i == j)
                continue;
            SCOPED_TRACE(std::string(quorvel::kBoards[i].name) + " then " + quorvel::kBoards[j].name +
                         ", both RTLD_GLOBAL");
            const SimRun both = runOneAfterTheOther(quorvel::kBoards[i], quorvel::kBoards[j], GetParam());
            ASSERT_EQ(both.process.exitStatus, 0) << both.dump();
            EXPECT_EQ(both.writes(), concat(alone[i].writes(), alone[j].writes())) << both.dump();
            EXPECT_EQ(withoutLoadLines(both.outLines()), concat(alone[i].outLines(), alone[j].outLines()));
            // Each module logs its own first failed open, once.
            EXPECT_EQ(linesOf(both.process.err), concat(linesOf(alone[i].process.err), linesOf(alone[j].process.err)));
            // Each module probed the board itself.
            EXPECT_EQ(both.entries("access").size(),
                      alone[i].entries("access").size() + alone[j].entries("access").size())
                << both.dump();
        }
    }
}

class HostWithTheSameNames : public EachBoardInSimulatedTree {};

INSTANTIATE_TEST_SUITE_P(EachBoard, HostWithTheSameNames, eachBoard(), boardParamName);

TEST_P(HostWithTheSameNames, ModuleUsesItsOwnProbeAndPaths)
{
    for (const char* board : {"amber+trackball+lcd-auto", "rgb+trackball"}) {
        SCOPED_TRACE(board);
        const SimRun plain = runProbe(GetParam(), LedTree{board}, STEPS);
        const SimRun decoyed =
            runInLedsim(LedTree{board}, concat({decoyProbePath(), std::string(GetParam().module_path)}, STEPS),
                        sameNamesEnvironment());
        ASSERT_EQ(plain.process.exitStatus, 0) << plain.dump();
        ASSERT_EQ(decoyed.process.exitStatus, 0) << decoyed.dump();
        EXPECT_FALSE(plain.writes().empty());
        EXPECT_EQ(decoyed.writes(), plain.writes()) << decoyed.dump();
        EXPECT_EQ(decoyed.process.err, plain.process.err);
        EXPECT_TRUE(decoyed.entries("lookup").size() == plain.entries("lookup").size()) << decoyed.dump();
    }
}

} // namespace
