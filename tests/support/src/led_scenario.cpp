// The simulated-tree harness of the lights tests.
#include <test_support/led_scenario.h>

#include <test_support/led_tree.h>

#include <unistd.h>

#include <sstream>

namespace lights_test {

namespace {

const std::string MOUNT_PREFIX = "/sys/class/leds/";
// Long enough for a slow emulated run, short enough that a hang fails the test.
const int RUN_TIMEOUT_SECONDS = 60;
const std::chrono::seconds RUN_TIMEOUT(RUN_TIMEOUT_SECONDS);

std::string relative(const std::string& path)
{
    return path.compare(0, MOUNT_PREFIX.size(), MOUNT_PREFIX) == 0 ? path.substr(MOUNT_PREFIX.size()) : path;
}

JournalEntry parseEntry(const std::string& line)
{
    JournalEntry entry;
    const size_t kindEnd = line.find(' ');
    const size_t statusAt = line.rfind(" = ");
    if (kindEnd == std::string::npos || statusAt == std::string::npos || statusAt < kindEnd) {
        entry.kind = "unparsed";
        entry.detail = line;
        return entry;
    }
    entry.kind = line.substr(0, kindEnd);
    const std::string middle = line.substr(kindEnd + 1, statusAt - kindEnd - 1);
    const size_t pathEnd = middle.find(' ');
    entry.path = relative(middle.substr(0, pathEnd));
    if (pathEnd != std::string::npos)
        entry.detail = middle.substr(pathEnd + 1);
    if (entry.kind == "write")
        entry.detail = unquote(entry.detail);
    entry.status = line.substr(statusAt + 3);
    return entry;
}

} // namespace

Strings concat(Strings a, const Strings& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Strings concat(std::initializer_list<Strings> parts)
{
    Strings all;
    for (const Strings& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Strings linesOf(const std::string& text)
{
    Strings result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

std::string lightsctlPath()
{
    return LIGHTSCTL_PROGRAM;
}

std::string entryProbePath()
{
    return ENTRY_PROBE_PROGRAM;
}

std::string decoyProbePath()
{
    return DECOY_PROBE_PROGRAM;
}

std::string nomemProbePath()
{
    return NOMEM_PROBE_PROGRAM;
}

std::string simulationUnavailableReason()
{
    if (geteuid() != 0)
        return "needs root: the simulated LED tree is mounted in a private mount namespace";
    const std::string ledsim = ledsimProgram();
    if (ledsim.empty() || access(ledsim.c_str(), X_OK) != 0)
        return "no ledsim program for this build (configure it with QUORVEL_HOST_LEDSIM set to a host-built one)";
    return {};
}

std::string unquote(const std::string& text)
{
    std::string bytes;
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return "<unquoted:" + text + ">";
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        ++i;
        if (text[i] == 'n')
            bytes += '\n';
        else if (text[i] == 'x' && i + 2 < text.size() - 1) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            bytes += text[i];
    }
    return bytes;
}

namespace {

::testing::AssertionResult sameWrites(const SimRun& run, const Strings& written, const Strings& expected)
{
    if (run.process.exitStatus != 0)
        return ::testing::AssertionFailure() << "the command did not exit 0: " << run.dump();
    if (written == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wrote " << ::testing::PrintToString(written) << "\nnot "
                                         << ::testing::PrintToString(expected) << "\n"
                                         << run.dump();
}

} // namespace

::testing::AssertionResult wroteExactly(const SimRun& run, const Strings& expected)
{
    return sameWrites(run, run.writes(), expected);
}

::testing::AssertionResult wroteExactly(const SimRun& run, const std::string& file, const Strings& expected)
{
    return sameWrites(run, run.writesTo(file), expected);
}

std::vector<std::string> SimRun::writes() const
{
    std::vector<std::string> result;
    for (const JournalEntry& entry : entries("write"))
        result.push_back(entry.path + "=" + entry.detail);
    return result;
}

std::vector<std::string> SimRun::writesTo(const std::string& file) const
{
    std::vector<std::string> result;
    for (const JournalEntry& entry : entries("write"))
        if (entry.path == file)
            result.push_back(entry.detail);
    return result;
}

std::vector<JournalEntry> SimRun::entries(const std::string& kind) const
{
    std::vector<JournalEntry> result;
    for (const JournalEntry& entry : journal) {
        if (entry.kind == kind)
            result.push_back(entry);
    }
    return result;
}

std::vector<std::string> SimRun::outLines() const
{
    return linesOf(process.out);
}

std::string SimRun::dump() const
{
    return "exit status " + std::to_string(process.exitStatus) + (process.timedOut ? " (timed out)" : "") +
        "\n--- stdout\n" + process.out + "--- stderr\n" + process.err + "--- journal\n" + journalText;
}

namespace {

SimRun runInLedsimWith(const std::vector<std::string>& prefix, const LedTree& tree,
                       const std::vector<std::string>& command, const std::vector<std::string>& environment)
{
    SimRun run;
    TempDir work;
    const std::string journalPath = work.path() + "/journal";
    Strings argv = {ledsimProgram(), "--profile", tree.profile, "--journal", journalPath, "--timeout"};
    argv.push_back(std::to_string(RUN_TIMEOUT_SECONDS - 5));
    for (const std::string& fault : tree.faults)
        argv.insert(argv.end(), {"--fault", fault});
    argv = concat({argv, {"--"}, prefix, command});

    run.process = quorvel::testing::runHostProgram(argv, RUN_TIMEOUT, environment);
    run.journalText = readFile(journalPath);
    for (const std::string& line : linesOf(run.journalText)) {
        if (line.compare(0, 6, "value ") == 0) {
            const std::string rest = line.substr(6);
            const size_t space = rest.find(' ');
            run.values[relative(rest.substr(0, space))] = unquote(rest.substr(space + 1));
        } else {
            run.journal.push_back(parseEntry(line));
        }
    }
    return run;
}

} // namespace

SimRun runInLedsim(const LedTree& tree, const std::vector<std::string>& command,
                   const std::vector<std::string>& environment)
{
    return runInLedsimWith(emulatorPrefix(), tree, command, environment);
}

SimRun runHostCommandInLedsim(const LedTree& tree, const std::vector<std::string>& command,
                              const std::vector<std::string>& environment)
{
    return runInLedsimWith({}, tree, command, environment);
}

SimRun runLightsctl(const BoardInfo& board, const LedTree& tree, const std::vector<std::string>& requests,
                    const std::vector<std::string>& environment)
{
    return runInLedsim(tree, concat({lightsctlPath(), board.module_path}, requests), environment);
}

SimRun runProbe(const BoardInfo& board, const LedTree& tree, const std::vector<std::string>& steps,
                const std::vector<std::string>& environment)
{
    return runInLedsim(tree, concat({entryProbePath(), board.module_path}, steps), environment);
}

RunResult runProbeInTmpfs(const BoardInfo& board, const std::vector<std::string>& files,
                          const std::vector<std::string>& steps)
{
    auto makeTree = [files] { return quorvel::testing::makeLedTree(files); };
    return runProgram(concat({entryProbePath(), board.module_path}, steps), RUN_TIMEOUT, {}, makeTree);
}

} // namespace lights_test
