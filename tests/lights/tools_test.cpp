// The bring-up tools: ledsim's tree model and command line, and both programs end
// to end.
#include <test_support/led_scenario.h>

#ifdef LIGHTS_TEST_HAVE_LEDSIM_CORE
#include "led_tree.h"
#include "options.h"
#endif

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lights_test;
using namespace std::chrono_literals;

namespace {

#ifdef LIGHTS_TEST_HAVE_LEDSIM_CORE

// --- ledsim's tree model ---

TEST(LedsimProfiles, OfferTheAttributeFilesOfTheBoard)
{
    ledsim::Profile profile;
    std::string error;
    ASSERT_TRUE(ledsim::parseProfile("rgb", profile, error));
    EXPECT_EQ(ledsim::profileFiles(profile),
              (Strings{"/blue/brightness", "/button-backlight/brightness", "/green/brightness",
                       "/keyboard-backlight/brightness", "/lcd-backlight/brightness", "/red/brightness",
                       "/red/device/blink", "/red/device/grpfreq", "/red/device/grppwm"}));
    ASSERT_TRUE(ledsim::parseProfile("amber+trackball+lcd-auto", profile, error));
    EXPECT_EQ(ledsim::profileFiles(profile),
              (Strings{"/amber/blink", "/amber/brightness", "/button-backlight/brightness", "/green/brightness",
                       "/jogball-backlight/blink", "/jogball-backlight/brightness", "/keyboard-backlight/brightness",
                       "/lcd-backlight/auto", "/lcd-backlight/brightness"}));
    ASSERT_TRUE(ledsim::parseProfile("rgb+no-blink-timing", profile, error));
    EXPECT_EQ(ledsim::profileFiles(profile).size(), 7u);

    EXPECT_FALSE(ledsim::parseProfile("rgbw", profile, error));
    EXPECT_NE(error.find("unknown board profile \"rgbw\""), std::string::npos);
    EXPECT_FALSE(ledsim::parseProfile("rgb+laser", profile, error));
    EXPECT_NE(error.find("unknown profile feature \"laser\""), std::string::npos);
    EXPECT_FALSE(ledsim::parseProfile("", profile, error));
}

// A tree of the default profile, a handle to open in it, and room for an error.
class LedsimTree : public ::testing::Test {
protected:
    ledsim::LedTree tree{ledsim::Profile{}};
    uint64_t handle = 0;
    std::string error;
};

TEST_F(LedsimTree, ReadOnlyFilesAreNotWritableEvenForRoot)
{
    ASSERT_TRUE(tree.addFault("/red/brightness", ledsim::FAULT_READ_ONLY, error));
    struct stat attributes;
    ASSERT_EQ(tree.getattr("/red/brightness", attributes), 0);
    EXPECT_EQ(attributes.st_mode & 0777, 0444u);
    EXPECT_EQ(tree.access("/red/brightness", W_OK), -EACCES);
    EXPECT_EQ(tree.access("/red/brightness", R_OK), 0);
    EXPECT_EQ(tree.open("/red/brightness", O_RDWR, handle), -EACCES);
    EXPECT_EQ(tree.open("/red/brightness", O_RDONLY, handle), 0);
    EXPECT_EQ(tree.journal(),
              (Strings{"access /sys/class/leds/red/brightness W_OK = -EACCES",
                       "access /sys/class/leds/red/brightness R_OK = 0",
                       "open /sys/class/leds/red/brightness O_RDWR = -EACCES",
                       "open /sys/class/leds/red/brightness O_RDONLY = 0"}));
}

TEST_F(LedsimTree, WritesReplaceTheValueLikeSysfs)
{
    ASSERT_EQ(tree.open("/green/brightness", O_RDWR, handle), 0);
    EXPECT_EQ(tree.write(handle, "255\n", 4), 4);
    EXPECT_EQ(tree.write(handle, "7\n", 2), 2);
    char buffer[16] = {};
    EXPECT_EQ(tree.read(handle, buffer, sizeof buffer, 0), 2);
    EXPECT_STREQ(buffer, "7\n");
    EXPECT_EQ(tree.flush(handle), 0);
    tree.release(handle);
    EXPECT_EQ(tree.write(handle, "1\n", 2), -EBADF);
    const Strings values = tree.values();
    EXPECT_NE(std::find(values.begin(), values.end(), "value /sys/class/leds/green/brightness \"7\\n\""), values.end());
}

TEST_F(LedsimTree, ValuesAreParsedAndKeptTheWayTheTargetKernelKeepsThem)
{
    struct Case {
        const char* path;
        std::string bytes;
        int status;
        const char* stored; // what the file reads back afterwards
    };
    const Case cases[] = {
        // Brightness: an unsigned long of the 32-bit target, clamped to 255.
        {"/red/brightness", "128\n", 0, "128\n"},
        {"/red/brightness", "7", 0, "7\n"},
        {"/red/brightness", "+00300\n", 0, "255\n"},
        {"/red/brightness", "4294967295", 0, "255\n"},
        {"/red/brightness", "4294967296\n", -ERANGE, nullptr},
        {"/red/brightness", "99999999999999999999999x", -ERANGE, nullptr},
        {"/red/brightness", "-1\n", -EINVAL, nullptr},
        {"/red/brightness", "0x10", -EINVAL, nullptr},
        {"/red/brightness", " 5", -EINVAL, nullptr},
        {"/red/brightness", "5 ", -EINVAL, nullptr},
        {"/red/brightness", "5\n\n", -EINVAL, nullptr},
        {"/red/brightness", "\n", -EINVAL, nullptr},
        {"/red/brightness", std::string("9\0junk", 6), 0, "9\n"},
        // Every other attribute: an int, sign and all.
        {"/red/device/grpfreq", "-2147483648\n", 0, "-2147483648\n"},
        {"/red/device/grpfreq", "+2147483647", 0, "2147483647\n"},
        {"/red/device/grpfreq", "2147483648", -ERANGE, nullptr},
        {"/red/device/grpfreq", "-2147483649", -ERANGE, nullptr},
        {"/red/device/grpfreq", "-+1", -EINVAL, nullptr},
        {"/red/device/grpfreq", "-", -EINVAL, nullptr},
        {"/red/device/grpfreq", "1.5", -EINVAL, nullptr},
    };
    for (const Case& c : cases) {
        ledsim::LedTree fresh(ledsim::Profile{});
        ASSERT_EQ(fresh.open(c.path, O_RDWR, handle), 0);
        // The old value stays when the kernel refuses the new one.
        ASSERT_EQ(fresh.write(handle, "3\n", 2), 2);
        const int expectedStatus = c.status == 0 ? static_cast<int>(c.bytes.size()) : c.status;
        EXPECT_EQ(fresh.write(handle, c.bytes.data(), c.bytes.size()), expectedStatus)
            << c.path << " " << ledsim::quoted(c.bytes);
        char buffer[32] = {};
        ASSERT_GT(fresh.read(handle, buffer, sizeof buffer - 1, 0), 0);
        EXPECT_EQ(std::string(buffer), c.stored != nullptr ? c.stored : "3\n")
            << c.path << " " << ledsim::quoted(c.bytes);
    }

    // A refused write is journalled with the kernel's errno; an empty one changes nothing.
    ASSERT_EQ(tree.open("/blue/brightness", O_WRONLY, handle), 0);
    EXPECT_EQ(tree.write(handle, "", 0), 0);
    EXPECT_EQ(tree.write(handle, "1e3\n", 4), -EINVAL);
    EXPECT_EQ(tree.journal().back(), "write /sys/class/leds/blue/brightness \"1e3\\n\" = -EINVAL");
}

TEST_F(LedsimTree, InjectedFaultsShapeEachOperation)
{
    ASSERT_TRUE(tree.addFault("/red/brightness", ledsim::FAULT_SHORT_WRITE, error));
    ASSERT_TRUE(tree.addFault("/green/brightness", ledsim::FAULT_WRITE_ENOSPC, error));
    ASSERT_TRUE(tree.addFault("/green/brightness", ledsim::FAULT_CLOSE_EIO, error));
    ASSERT_TRUE(tree.addFault("/blue/brightness", ledsim::FAULT_MISSING, error));
    ASSERT_TRUE(tree.addFault("/red/device/blink", ledsim::FAULT_OPEN_EACCES, error));
    EXPECT_FALSE(tree.addFault("/amber/brightness", ledsim::FAULT_READ_ONLY, error));
    EXPECT_NE(error.find("/sys/class/leds/amber/brightness is not a file of this board profile"), std::string::npos);
    // One fault per file, as the target's driver takes them, and the first one stays;
    // only a failing close, which that driver cannot make, may join another.
    for (const auto& [file, second] : {std::pair{"/red/brightness", ledsim::FAULT_WRITE_EIO},
                                       {"/red/brightness", ledsim::FAULT_SHORT_WRITE},
                                       {"/green/brightness", ledsim::FAULT_CLOSE_EIO}}) {
        error.clear();
        EXPECT_FALSE(tree.addFault(file, second, error)) << file << " " << second;
        EXPECT_EQ(error, std::string("/sys/class/leds") + file + " has a fault already");
    }

    uint64_t red = 0, green = 0, blue = 0, blink = 0;
    ASSERT_EQ(tree.open("/red/brightness", O_RDWR, red), 0);
    EXPECT_EQ(tree.write(red, "255\n", 4), 3);
    ASSERT_EQ(tree.open("/green/brightness", O_RDWR, green), 0);
    EXPECT_EQ(tree.write(green, "1\n", 2), -ENOSPC);
    EXPECT_EQ(tree.flush(green), -EIO);
    struct stat attributes;
    EXPECT_EQ(tree.getattr("/blue/brightness", attributes), -ENOENT);
    EXPECT_EQ(tree.open("/blue/brightness", O_RDWR, blue), -ENOENT);
    EXPECT_EQ(tree.open("/red/device/blink", O_RDWR, blink), -EACCES);
    EXPECT_EQ(tree.access("/red/device/blink", W_OK), 0);

    std::vector<std::string> names;
    ASSERT_EQ(tree.listDirectory("/blue", names), 0);
    EXPECT_TRUE(names.empty());
    ASSERT_EQ(tree.listDirectory("/red", names), 0);
    EXPECT_EQ(names, (Strings{"brightness", "device"}));
    const Strings values = tree.values();
    EXPECT_NE(std::find(values.begin(), values.end(), "value /sys/class/leds/red/brightness \"255\\n\""), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), "value /sys/class/leds/green/brightness \"0\\n\""), values.end());
}

TEST(LedsimText, FlagsPathsAndBytesAreShownExactly)
{
    EXPECT_EQ(ledsim::openFlagsText(O_RDWR), "O_RDWR");
    EXPECT_EQ(ledsim::openFlagsText(O_RDWR | 0100000), "O_RDWR"); // the kernel's own O_LARGEFILE
    EXPECT_EQ(ledsim::openFlagsText(O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC), "O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC");
    EXPECT_EQ(ledsim::openFlagsText(O_RDWR | O_APPEND), "O_RDWR|O_APPEND");
    EXPECT_EQ(ledsim::openFlagsText(O_RDWR | O_SYNC), "O_RDWR|O_SYNC");
    EXPECT_EQ(ledsim::quoted(std::string("-1\n\"\\\x01", 6)), "\"-1\\n\\\"\\\\\\x01\"");
    EXPECT_EQ(unquote(ledsim::quoted(std::string("a\n\x7f\"", 4))), std::string("a\n\x7f\"", 4));
    EXPECT_EQ(ledsim::treePath("red/brightness"), "/red/brightness");
    EXPECT_EQ(ledsim::treePath("/sys/class/leds/red/brightness"), "/red/brightness");
    EXPECT_EQ(ledsim::treePath("/sys/class/ledsx/red"), "");
    EXPECT_EQ(ledsim::treePath("/sys/class/leds"), "");
    EXPECT_EQ(ledsim::statusName(-ENOSPC), "-ENOSPC");
    EXPECT_EQ(ledsim::statusName(-ENOTCONN), std::to_string(-ENOTCONN));
}

TEST(LedsimOptions, ParsesTheCommandLine)
{
    ledsim::Options options;
    std::string error;
    ASSERT_TRUE(ledsim::parseOptions({"-p", "amber+trackball", "--fault", "/sys/class/leds/amber/blink=eio", "-f",
                                      "green/brightness=short", "-j", "out.txt", "-t", "5", "--", "sh", "-c", "true"},
                                     options, error))
        << error;
    EXPECT_TRUE(options.profile.amber);
    EXPECT_TRUE(options.profile.trackball);
    ASSERT_EQ(options.faults.size(), 2u);
    EXPECT_EQ(options.faults[0].first, "/amber/blink");
    EXPECT_EQ(options.faults[0].second, ledsim::FAULT_WRITE_EIO);
    EXPECT_EQ(options.faults[1].second, ledsim::FAULT_SHORT_WRITE);
    EXPECT_EQ(options.journalPath, "out.txt");
    EXPECT_EQ(options.timeoutSeconds, 5);
    EXPECT_EQ(options.command, (Strings{"sh", "-c", "true"}));

    const std::pair<Strings, std::string> bad[] = {
        {{}, "no command given"},
        {{"-p"}, "option -p needs a value"},
        {{"-f", "red/brightness", "true"}, "is not FILE=KIND"},
        {{"-f", "red/brightness=melt", "true"}, "unknown fault \"melt\""},
        {{"-f", "=eio", "true"}, "names no file"},
        {{"-t", "0", "true"}, "timeout \"0\""},
        {{"-t", "-3", "true"}, "timeout \"-3\""},
        {{"--frobnicate", "true"}, "unknown option --frobnicate"},
    };
    for (const auto& [words, message] : bad) {
        EXPECT_FALSE(ledsim::parseOptions(words, options, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << "got: " << error;
    }
}

#endif // LIGHTS_TEST_HAVE_LEDSIM_CORE

// --- The programs end to end ---

using LedsimProgram = SimulatedTree;

TEST_F(LedsimProgram, PassesTheCommandsExitStatusThrough)
{
    EXPECT_EQ(runHostCommandInLedsim(LedTree{}, {"sh", "-c", "exit 7"}).process.exitStatus, 7);
    EXPECT_EQ(runHostCommandInLedsim(LedTree{}, {"sh", "-c", "kill -TERM $$"}).process.exitStatus, 128 + 15);
    const SimRun missing = runHostCommandInLedsim(LedTree{}, {"/nonexistent/program"});
    EXPECT_EQ(missing.process.exitStatus, 127);
    EXPECT_NE(missing.process.err.find("ledsim: cannot run /nonexistent/program"), std::string::npos) << missing.dump();
}

TEST_F(LedsimProgram, ShowsTheProfileAndStoresWhatTheCommandWrites)
{
    const SimRun run = runHostCommandInLedsim(LedTree{"amber+lcd-auto", {"amber/blink=readonly"}},
                                              {"sh", "-c",
                                               "ls /sys/class/leds; echo 3 > /sys/class/leds/lcd-backlight/auto; "
                                               "cat /sys/class/leds/lcd-backlight/auto; "
                                               "test -w /sys/class/leds/amber/blink || echo read-only"});
    EXPECT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(),
              (Strings{"amber", "button-backlight", "green", "keyboard-backlight", "lcd-backlight", "3", "read-only"}))
        << run.dump();
    EXPECT_EQ(run.values.at("lcd-backlight/auto"), "3\n");
    EXPECT_EQ(run.values.at("amber/blink"), "0\n");
}

TEST_F(LedsimProgram, RefusesToRunWithoutRoot)
{
    TempDir dir;
    std::string error;
    const std::string ledsim = quorvel::testing::copyRunnableByAll(ledsimProgram(), dir, &error);
    ASSERT_FALSE(ledsim.empty()) << error;
    const RunResult result =
        runHostProgram({ledsim, "--", "true"}, 30s, {}, [] { return setgid(65534) == 0 && setuid(65534) == 0; });
    EXPECT_EQ(result.exitStatus, 125);
    EXPECT_NE(result.err.find("ledsim: must run as root"), std::string::npos) << result.err;
}

TEST_F(LedsimProgram, ABadCommandLineGetsOneLineOfHintNotTheWholeUsage)
{
    const std::string hint = "usage: ledsim [OPTIONS] -- COMMAND [ARG...]; ledsim --help lists the options\n";
    const RunResult unknown = runHostProgram({ledsimProgram(), "--frobnicate", "--", "true"}, 30s);
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_EQ(unknown.err, "ledsim: unknown option --frobnicate\n" + hint);
    const RunResult none = runHostProgram({ledsimProgram()}, 30s);
    EXPECT_EQ(none.exitStatus, 2);
    EXPECT_EQ(none.err, "ledsim: no command given\n" + hint);
}

TEST_F(LedsimProgram, StopsACommandThatOutlivesItsTimeout)
{
    const RunResult result = runHostProgram({ledsimProgram(), "--timeout", "1", "--", "sleep", "30"}, 20s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 124);
    EXPECT_NE(result.err.find("command timed out after 1 s"), std::string::npos) << result.err;
}

TEST(LightsctlProgram, ReportsUsageAndLoadErrors)
{
    auto run = [](const Strings& words, const Strings& environment = {}) {
        return runProgram(concat({lightsctlPath()}, words), 30s, environment);
    };
    const RunResult help = run({"--help"}, {"QUORVEL_MODULE_DIR=/opt/boards"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("usage: lightsctl MODULE LIGHT COLOR"), std::string::npos);
    // The folder in force is not the default.
    EXPECT_NE(help.out.find("in $QUORVEL_MODULE_DIR, or in /"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("or in /opt/boards"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("(now: /opt/boards)"), std::string::npos) << help.out;

    const RunResult forgotten = run({"backlight", "0xff"});
    EXPECT_EQ(forgotten.exitStatus, 2);
    EXPECT_EQ(forgotten.err,
              "lightsctl: \"backlight\" is a light, not a module: the module comes first "
              "(lightsctl MODULE LIGHT COLOR ...)\n");

    const RunResult none = run({});
    EXPECT_EQ(none.exitStatus, 2);
    EXPECT_NE(none.err.find("lightsctl: no module given"), std::string::npos) << none.err;

    const RunResult badColour = run({std::string(boardNamed("pavok").module_path), "battery", "blue"});
    EXPECT_EQ(badColour.exitStatus, 2);
    EXPECT_NE(badColour.err.find("colour \"blue\" is not"), std::string::npos) << badColour.err;

    const RunResult noModule = run({"/nonexistent/lights.x.so", "battery", "1"});
    EXPECT_EQ(noModule.exitStatus, 3);
    EXPECT_NE(noModule.err.find("lightsctl: cannot load /nonexistent/lights.x.so: "), std::string::npos)
        << noModule.err;
    // The dynamic linker's message names the file too; it is said once.
    EXPECT_EQ(noModule.err.find("lights.x.so"), noModule.err.rfind("lights.x.so")) << noModule.err;

    const RunResult badBoard = run({"..", "battery", "1"});
    EXPECT_EQ(badBoard.exitStatus, 3);
    EXPECT_NE(badBoard.err.find("invalid board name"), std::string::npos) << badBoard.err;

    // A board missing from the installed folder: the message says how to use the
    // modules of the build this lightsctl comes from.
    const RunResult unset = run({"nosuchboard", "battery", "1"}, {"QUORVEL_MODULE_DIR="});
    EXPECT_EQ(unset.exitStatus, 3);
    EXPECT_NE(unset.err.find("\nlightsctl: $QUORVEL_MODULE_DIR is not set, so boards are looked for in the installed "
                             "folder "),
              std::string::npos)
        << unset.err;
    // The folder named is this build's, however the build tree is reached.
    const std::string advice = "; for the modules of this build: export QUORVEL_MODULE_DIR=";
    const size_t at = unset.err.find(advice);
    ASSERT_NE(at, std::string::npos) << unset.err;
    const size_t from = at + advice.size();
    const std::string suggested = unset.err.substr(from, unset.err.find('\n', from) - from);
    struct stat named {
    }, built{};
    ASSERT_EQ(stat((suggested + "/lights.pavok.so").c_str(), &named), 0) << unset.err;
    ASSERT_EQ(stat(boardNamed("pavok").module_path, &built), 0);
    EXPECT_TRUE(named.st_dev == built.st_dev && named.st_ino == built.st_ino) << suggested;
    // Once the folder is chosen, there is nothing to suggest.
    const RunResult chosen = run({"nosuchboard", "battery", "1"}, {"QUORVEL_MODULE_DIR=/nonexistent"});
    EXPECT_EQ(chosen.exitStatus, 3);
    EXPECT_EQ(chosen.err.find("QUORVEL_MODULE_DIR"), std::string::npos) << chosen.err;
}

TEST(LightsctlProgram, LoadsABoardByNameFromTheModuleFolder)
{
    REQUIRE_SIMULATED_TREE();
    const std::string path = std::string(boardNamed("pavok").module_path);
    const SimRun run = runInLedsim(LedTree{}, {lightsctlPath(), "pavok", "keyboard", "1", "buttons", "0"},
                                   {"QUORVEL_MODULE_DIR=" + path.substr(0, path.rfind('/'))});
    EXPECT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), (Strings{"keyboard: 0", "buttons: 0"}));
    EXPECT_EQ(run.writes(), (Strings{"keyboard-backlight/brightness=255\n", "button-backlight/brightness=0\n"}));
}

} // namespace
