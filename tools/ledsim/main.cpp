// ledsim: runs a command against a simulated LED class tree and prints what it did.
#include "command_run.h"
#include "fuse_mount.h"
#include "led_tree.h"
#include "options.h"
#include "private_tree.h"
#include "report.h"
#include "run_output.h"
#include "show_view.h"
#include "svg_timeline.h"
#include "value_timeline.h"

#include <stdio.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

using ledsim::EXIT_SETUP;
using ledsim::EXIT_USAGE;
using ledsim::fail;

namespace {

// Where the journal and the picture go.
struct Outputs {
    ledsim::OutputFile journalFile; // none: standard output
    ledsim::OutputFile picture; // none: no picture

    FILE* journal() const { return journalFile ? journalFile.get() : stdout; }
};

// The options; a status to exit with at once when there is nothing to run (the
// help, or a bad command line).
std::optional<int> parseCommandLine(int argc, char** argv, ledsim::Options& options)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    if (!ledsim::parseOptions(arguments, options, error)) {
        fail(error);
        fputs(ledsim::usageHint(), stderr);
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(ledsim::usageText(), stdout);
        return 0;
    }
    return std::nullopt;
}

bool addFaults(ledsim::LedTree& tree, const ledsim::Options& options)
{
    std::string error;
    for (const auto& [path, fault] : options.faults) {
        if (!tree.addFault(path, fault, error)) {
            fail(error);
            return false;
        }
    }
    return true;
}

void listFiles(const ledsim::Profile& profile)
{
    for (const std::string& file : ledsim::profileFiles(profile))
        printf("%s%s\n", std::string(ledsim::MOUNT_POINT).c_str(), file.c_str());
}

bool openOutputs(const ledsim::Options& options, Outputs& outputs)
{
    std::string error;
    if (!options.journalPath.empty() &&
        !(outputs.journalFile = ledsim::openOutput(options.journalPath, "journal", error))) {
        fail(error);
        return false;
    }
    if (!options.picturePath.empty() &&
        !(outputs.picture = ledsim::openOutput(options.picturePath, "picture", error))) {
        fail(error);
        return false;
    }
    return true;
}

// The command's status, or EXIT_SETUP if it could not start.
int superviseCommand(const ledsim::Options& options, int terminal)
{
    std::string error;
    ledsim::RunningCommand command;
    if (!ledsim::startCommand(options.command, terminal, command, error)) {
        fail(error);
        return EXIT_SETUP;
    }
    return ledsim::waitForCommand(command, options.timeoutSeconds, terminal);
}

// The journal, then the picture; STATUS, or EXIT_SETUP if the command succeeded but
// an output could not be written.
int writeOutputs(const ledsim::Options& options, const ledsim::LedTree& tree, const ledsim::ValueTimeline& timeline,
                 double endMs, const Outputs& outputs, int status)
{
    if (!ledsim::writeJournal(tree, outputs.journal(), options.journalPath) && status == 0)
        status = EXIT_SETUP;
    if (outputs.picture) {
        const std::string svg =
            ledsim::renderSvgTimeline(options.profile, timeline.changes(), endMs, ledsim::pictureTitle(options));
        if (!ledsim::writePicture(svg, outputs.picture.get(), options.picturePath) && status == 0)
            status = EXIT_SETUP;
    }
    return status;
}

// Serves the tree while the command runs, then writes what it did.
int runInTree(const ledsim::Options& options, ledsim::LedTree& tree, const Outputs& outputs, int terminal)
{
    ledsim::ValueTimeline timeline;
    if (options.show || outputs.picture)
        tree.setWriteObserver(
            [&timeline](const std::string& path, const std::string& value) { timeline.record(path, value); });
    ledsim::FuseMount mount;
    std::string error;
    if (mount.start(tree, std::string(ledsim::MOUNT_POINT), error) != 0) {
        fail(error);
        return EXIT_SETUP;
    }
    ledsim::ShowView view(options.profile, timeline, stdout);
    if (options.show)
        view.start();
    int status = superviseCommand(options, terminal);
    // Whatever way it ended, every process of the command has ended by now.
    const double endMs = timeline.elapsedMs();
    if (terminal >= 0)
        tcsetpgrp(terminal, getpgrp());
    if (options.show)
        view.stop();
    const bool stopped = mount.stop(2000);
    tree.setWriteObserver(nullptr);
    status = writeOutputs(options, tree, timeline, endMs, outputs, status);
    if (!stopped) {
        fail("the simulated tree is still in use; leaving without unmounting cleanly");
        fflush(stdout);
        _exit(status);
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    ledsim::Options options;
    if (const std::optional<int> finished = parseCommandLine(argc, argv, options))
        return *finished;
    ledsim::LedTree tree(options.profile);
    if (!addFaults(tree, options))
        return EXIT_USAGE;
    if (options.listFiles) {
        listFiles(options.profile);
        return 0;
    }
    if (geteuid() != 0) {
        fail("must run as root: it mounts a private tmpfs over /sys/class and a FUSE tree at "
             "/sys/class/leds in a mount namespace of its own (try sudo)");
        return EXIT_SETUP;
    }
    Outputs outputs;
    if (!openOutputs(options, outputs))
        return EXIT_USAGE;
    std::string error;
    if (!ledsim::enterPrivateTree(error)) {
        fail(error);
        return EXIT_SETUP;
    }
    ledsim::catchStopSignals();
    return runInTree(options, tree, outputs, ledsim::foregroundTerminal());
}
