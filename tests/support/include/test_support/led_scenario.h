// Runs lights modules against a simulated LED tree (ledsim) and reads back what they
// did: the journal of probes, opens, writes and closes, and the final values.
#pragma once

#include <test_support/boards.h>
#include <test_support/led_tree.h>
#include <test_support/process.h>
#include <test_support/temp_dir.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace lights_test {

using quorvel::BoardInfo;
using namespace quorvel::testing;

std::string lightsctlPath();
std::string entryProbePath();
// The entry probe in a host that exports decoys of every name a module exports.
std::string decoyProbePath();
// The entry probe whose device allocation can be made to fail; empty in builds
// without one (sanitized builds).
std::string nomemProbePath();

using Strings = std::vector<std::string>;

// `a` followed by `b`; all `parts` one after the other.
Strings concat(Strings a, const Strings& b);
Strings concat(std::initializer_list<Strings> parts);
// The lines of `text`, without their newlines.
Strings linesOf(const std::string& text);

// Why the simulated-tree tests cannot run here, or empty if they can.
std::string simulationUnavailableReason();

// A simulated tree: ledsim profile and faults ("red/brightness=readonly").
struct LedTree {
    std::string profile = "rgb";
    std::vector<std::string> faults = {};
};

// One journal line. `path` is relative to /sys/class/leds; for writes `detail` holds
// the exact bytes, for opens the flags, for access probes the mode.
struct JournalEntry {
    std::string kind;
    std::string path;
    std::string detail;
    std::string status;
};

struct SimRun {
    RunResult process;
    std::string journalText;
    std::vector<JournalEntry> journal;
    std::map<std::string, std::string> values; // relative path -> stored bytes

    // Every write in order as "file=bytes" ("red/brightness=255\n").
    std::vector<std::string> writes() const;
    // The bytes written to one file, in order.
    std::vector<std::string> writesTo(const std::string& file) const;
    // Entries of one kind ("access", "open", "close", "lookup").
    std::vector<JournalEntry> entries(const std::string& kind) const;
    std::vector<std::string> outLines() const;
    // Everything worth seeing when an assertion fails.
    std::string dump() const;
};

// Runs `command` (target program words; the emulator is put in front) in ledsim.
SimRun runInLedsim(const LedTree& tree, const std::vector<std::string>& command,
                   const std::vector<std::string>& environment = {});

// Runs a build-machine program (sh, cat) in ledsim: no emulator in front.
SimRun runHostCommandInLedsim(const LedTree& tree, const std::vector<std::string>& command,
                              const std::vector<std::string>& environment = {});

// lightsctl MODULE REQUEST... in ledsim.
SimRun runLightsctl(const BoardInfo& board, const LedTree& tree, const std::vector<std::string>& requests,
                    const std::vector<std::string>& environment = {});

// The entry probe with its steps in ledsim.
SimRun runProbe(const BoardInfo& board, const LedTree& tree, const std::vector<std::string>& steps,
                const std::vector<std::string>& environment = {});

// The entry probe in a private mount namespace whose /sys/class/leds is a plain
// tmpfs holding exactly `files` (relative paths, each "0\n"): no journal, but real
// file semantics, so files can appear while the module runs.
RunResult runProbeInTmpfs(const BoardInfo& board, const std::vector<std::string>& files,
                          const std::vector<std::string>& steps);

// Passes when the run exited 0 and wrote exactly `expected` ("file=bytes", in order);
// a failure shows the whole run.
::testing::AssertionResult wroteExactly(const SimRun& run, const std::vector<std::string>& expected);
// The same for the writes to one file (just the bytes, "255\n").
::testing::AssertionResult wroteExactly(const SimRun& run, const std::string& file,
                                        const std::vector<std::string>& expected);

// Undoes the quoting of ledsim's journal ("255\n" in quotes with escapes).
std::string unquote(const std::string& text);

} // namespace lights_test

// Skips the current test when the simulated tree cannot be set up (not root, or no
// ledsim for this build).
#define REQUIRE_SIMULATED_TREE()                                                                                       \
    do {                                                                                                               \
        const std::string mReason = ::lights_test::simulationUnavailableReason();                                      \
        if (!mReason.empty())                                                                                          \
            GTEST_SKIP() << mReason;                                                                                   \
    } while (false)

namespace lights_test {

// A test that runs modules in the simulated tree: skipped, with the reason, where
// the tree cannot be set up.
template <typename Base = ::testing::Test>
class InSimulatedTree : public Base {
protected:
    void SetUp() override { REQUIRE_SIMULATED_TREE(); }
};

using SimulatedTree = InSimulatedTree<>;
// The same once per board.
using EachBoardInSimulatedTree = InSimulatedTree<::testing::TestWithParam<BoardInfo>>;

} // namespace lights_test
