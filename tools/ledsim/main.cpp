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

#include <string>
#include <vector>

using ledsim::EXIT_SETUP;
using ledsim::EXIT_USAGE;
using ledsim::fail;

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ledsim::Options options;
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
    ledsim::LedTree tree(options.profile);
    for (const auto& [path, fault] : options.faults) {
        if (!tree.addFault(path, fault, error)) {
            fail(error);
            return EXIT_USAGE;
        }
    }
    if (options.listFiles) {
        for (const std::string& file : ledsim::profileFiles(options.profile))
            printf("%s%s\n", std::string(ledsim::MOUNT_POINT).c_str(), file.c_str());
        return 0;
    }
    if (geteuid() != 0) {
        fail("must run as root: it mounts a private tmpfs over /sys/class and a FUSE tree at "
             "/sys/class/leds in a mount namespace of its own (try sudo)");
        return EXIT_SETUP;
    }
    FILE* journal = stdout;
    if (!options.journalPath.empty() &&
        (journal = ledsim::openOutput(options.journalPath, "journal", error)) == nullptr) {
        fail(error);
        return EXIT_USAGE;
    }
    FILE* picture = nullptr;
    if (!options.picturePath.empty() &&
        (picture = ledsim::openOutput(options.picturePath, "picture", error)) == nullptr) {
        fail(error);
        return EXIT_USAGE;
    }
    if (!ledsim::enterPrivateTree(error)) {
        fail(error);
        return EXIT_SETUP;
    }
    ledsim::catchStopSignals();
    const int terminal = ledsim::foregroundTerminal();

    int status = EXIT_SETUP;
    bool stopped = true;
    {
        ledsim::ValueTimeline timeline;
        if (options.show || picture != nullptr)
            tree.setWriteObserver(
                [&timeline](const std::string& path, const std::string& value) { timeline.record(path, value); });
        ledsim::FuseMount mount;
        if (mount.start(tree, std::string(ledsim::MOUNT_POINT), error) != 0) {
            fail(error);
            return EXIT_SETUP;
        }
        ledsim::ShowView view(options.profile, timeline, stdout);
        if (options.show)
            view.start();
        ledsim::RunningCommand command;
        if (!ledsim::startCommand(options.command, terminal, command, error))
            fail(error);
        else
            status = ledsim::waitForCommand(command, options.timeoutSeconds, terminal);
        // Whatever way it ended, every process of the command has ended by now.
        const double endMs = timeline.elapsedMs();
        if (terminal >= 0)
            tcsetpgrp(terminal, getpgrp());
        if (options.show)
            view.stop();
        stopped = mount.stop(2000);
        tree.setWriteObserver(nullptr);
        if (!ledsim::writeJournal(tree, journal, options.journalPath) && status == 0)
            status = EXIT_SETUP;
        if (picture != nullptr) {
            const std::string svg =
                ledsim::renderSvgTimeline(options.profile, timeline.changes(), endMs, ledsim::pictureTitle(options));
            if (!ledsim::writePicture(svg, picture, options.picturePath) && status == 0)
                status = EXIT_SETUP;
        }
        if (!stopped) {
            fail("the simulated tree is still in use; leaving without unmounting cleanly");
            fflush(stdout);
            _exit(status);
        }
    }
    if (journal != stdout)
        fclose(journal);
    if (picture != nullptr)
        fclose(picture);
    return status;
}
