// A module binds its own symbols: with another module's (or the host's) copies of
// init_globals and the path globals in the global scope, it still probes with its
// own init_globals, writes its own paths and keeps its own log-once flag.
#include "led_scenario.h"

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

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> withoutLoadLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.rfind("load ", 0) != 0)
            kept.push_back(line);
    }
    return kept;
}

SimRun runAlone(Variant variant, const std::string& board)
{
    return runProbe(variant, Board{board}, STEPS);
}

SimRun runOneAfterTheOther(Variant first, Variant second, const std::string& board)
{
    std::vector<std::string> command = {frameProbePath(), "-", "load:global:" + modulePath(first)};
    command = concat(command, STEPS);
    command.push_back("load:global:" + modulePath(second));
    command = concat(command, STEPS);
    return runInLedsim(Board{board}, command, sameNamesEnvironment());
}

// Amber boards and RGB boards: the probe result decides which indicator files are
// written, so a module that ran the other's init_globals writes the wrong ones.
class TwoModulesInOneProcess : public testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(Boards, TwoModulesInOneProcess,
                         testing::Values("amber+trackball+lcd-auto", "rgb+trackball", "amber"), [](const auto& p) {
                             std::string name = p.param;
                             for (char& c : name) {
                                 if (c == '+' || c == '-')
                                     c = '_';
                             }
                             return name;
                         });

TEST_P(TwoModulesInOneProcess, EachWritesExactlyWhatItWritesAloneInEitherOrder)
{
    REQUIRE_SIMULATED_TREE();
    const SimRun pavok = runAlone(Variant::Pavok, GetParam());
    const SimRun quillano = runAlone(Variant::Quillano, GetParam());
    ASSERT_EQ(pavok.process.exitStatus, 0) << pavok.dump();
    ASSERT_EQ(quillano.process.exitStatus, 0) << quillano.dump();

    for (const auto& [first, second] : {std::pair{&pavok, &quillano}, std::pair{&quillano, &pavok}}) {
        const Variant firstVariant = first == &pavok ? Variant::Pavok : Variant::Quillano;
        const Variant secondVariant = first == &pavok ? Variant::Quillano : Variant::Pavok;
        SCOPED_TRACE(std::string(variantName(firstVariant)) + " first, both RTLD_GLOBAL");
        const SimRun both = runOneAfterTheOther(firstVariant, secondVariant, GetParam());
        ASSERT_EQ(both.process.exitStatus, 0) << both.dump();
        EXPECT_EQ(both.writes(), concat(first->writes(), second->writes())) << both.dump();
        EXPECT_EQ(withoutLoadLines(both.outLines()), concat(first->outLines(), second->outLines()));
        // Each module logs its own first failed open, once.
        EXPECT_EQ(linesOf(both.process.err), concat(linesOf(first->process.err), linesOf(second->process.err)));
        // Each module probed the board itself.
        EXPECT_EQ(both.entries("access").size(), first->entries("access").size() + second->entries("access").size())
            << both.dump();
    }
}

class HostWithTheSameNames : public testing::TestWithParam<Variant> {};

INSTANTIATE_TEST_SUITE_P(Both, HostWithTheSameNames, testing::Values(Variant::Pavok, Variant::Quillano),
                         [](const auto& p) { return std::string(variantName(p.param)); });

TEST_P(HostWithTheSameNames, ModuleUsesItsOwnProbeAndPaths)
{
    REQUIRE_SIMULATED_TREE();
    for (const char* board : {"amber+trackball+lcd-auto", "rgb+trackball"}) {
        SCOPED_TRACE(board);
        const SimRun plain = runProbe(GetParam(), Board{board}, STEPS);
        const SimRun decoyed = runInLedsim(Board{board}, concat({decoyProbePath(), modulePath(GetParam())}, STEPS),
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
