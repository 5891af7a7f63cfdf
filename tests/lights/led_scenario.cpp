// The simulated-tree harness of the lights tests.
#include "led_scenario.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        result.push_back(line);
    return result;
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

const char* variantName(Variant variant)
{
    return variant == Variant::Pavok ? "pavok" : "quillano";
}

std::string modulePath(Variant variant)
{
    return variant == Variant::Pavok ? LIGHTS_PAVOK_MODULE : LIGHTS_QUILLANO_MODULE;
}

std::string lightsctlPath()
{
    return LIGHTSCTL_PROGRAM;
}

std::string frameProbePath()
{
    return FRAME_PROBE_PROGRAM;
}

std::string decoyProbePath()
{
    return DECOY_PROBE_PROGRAM;
}

std::string nomemProbePath()
{
    return NOMEM_PROBE_PROGRAM;
}

std::string ledsimPath()
{
    return quorvel::testing::ledsimProgram();
}

std::string simulationUnavailableReason()
{
    if (geteuid() != 0)
        return "needs root: the simulated LED tree is mounted in a private mount namespace";
    const std::string ledsim = ledsimPath();
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

std::vector<std::string> SimRun::writes() const
{
    std::vector<std::string> result;
    for (const JournalEntry& entry : journal) {
        if (entry.kind == "write")
            result.push_back(entry.path + "=" + entry.detail);
    }
    return result;
}

std::vector<std::string> SimRun::writesTo(const std::string& file) const
{
    std::vector<std::string> result;
    for (const JournalEntry& entry : journal) {
        if (entry.kind == "write" && entry.path == file)
            result.push_back(entry.detail);
    }
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
    return lines(process.out);
}

std::string SimRun::dump() const
{
    return "exit status " + std::to_string(process.exitStatus) + (process.timedOut ? " (timed out)" : "") +
        "\n--- stdout\n" + process.out + "--- stderr\n" + process.err + "--- journal\n" + journalText;
}

namespace {

SimRun runInLedsimWith(const std::vector<std::string>& prefix, const Board& board,
                       const std::vector<std::string>& command, const std::vector<std::string>& environment)
{
    SimRun run;
    TempDir work;
    const std::string journalPath = work.path() + "/journal";
    std::vector<std::string> argv = {ledsimPath(),
                                     "--profile",
                                     board.profile,
                                     "--journal",
                                     journalPath,
                                     "--timeout",
                                     std::to_string(RUN_TIMEOUT_SECONDS - 5)};
    for (const std::string& fault : board.faults) {
        argv.push_back("--fault");
        argv.push_back(fault);
    }
    argv.push_back("--");
    argv.insert(argv.end(), prefix.begin(), prefix.end());
    argv.insert(argv.end(), command.begin(), command.end());

    run.process = quorvel::testing::runHostProgram(argv, RUN_TIMEOUT, environment);
    run.journalText = readFile(journalPath);
    for (const std::string& line : lines(run.journalText)) {
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

SimRun runInLedsim(const Board& board, const std::vector<std::string>& command,
                   const std::vector<std::string>& environment)
{
    return runInLedsimWith(emulatorPrefix(), board, command, environment);
}

SimRun runHostCommandInLedsim(const Board& board, const std::vector<std::string>& command,
                              const std::vector<std::string>& environment)
{
    return runInLedsimWith({}, board, command, environment);
}

SimRun runLightsctl(Variant variant, const Board& board, const std::vector<std::string>& requests,
                    const std::vector<std::string>& environment)
{
    std::vector<std::string> command = {lightsctlPath(), modulePath(variant)};
    command.insert(command.end(), requests.begin(), requests.end());
    return runInLedsim(board, command, environment);
}

SimRun runProbe(Variant variant, const Board& board, const std::vector<std::string>& steps,
                const std::vector<std::string>& environment)
{
    std::vector<std::string> command = {frameProbePath(), modulePath(variant)};
    command.insert(command.end(), steps.begin(), steps.end());
    return runInLedsim(board, command, environment);
}

SimRun runProbeProgram(const std::string& program, Variant variant, const Board& board,
                       const std::vector<std::string>& steps)
{
    std::vector<std::string> command = {program, modulePath(variant)};
    command.insert(command.end(), steps.begin(), steps.end());
    return runInLedsim(board, command);
}

RunResult runProbeInTmpfs(Variant variant, const std::vector<std::string>& files, const std::vector<std::string>& steps)
{
    std::vector<std::string> argv = emulatorPrefix();
    argv.push_back(frameProbePath());
    argv.push_back(modulePath(variant));
    argv.insert(argv.end(), steps.begin(), steps.end());
    // Runs in the child, before exec: only system calls on prepared data.
    std::vector<std::string> paths;
    for (const std::string& file : files)
        paths.push_back(MOUNT_PREFIX + file);
    auto makeTree = [paths] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("lightstest", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return false;
        for (const std::string& path : paths) {
            for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
                mkdir(path.substr(0, slash).c_str(), 0755);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, "0\n", 2) != 2)
                return false;
            close(fd);
        }
        mkdir("/sys/class/leds", 0755);
        return true;
    };
    return quorvel::testing::runHostProgram(argv, RUN_TIMEOUT, {}, makeTree);
}

} // namespace lights_test
