// The module entry: the loader's refusals, opening and closing devices, the one-time
// board probe.
#include <test_support/led_scenario.h>

#include <quorvel/lights.h>
#include <quorvel/module_loader.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

using namespace lights_test;

namespace {

class ModuleEntry : public EachBoardInSimulatedTree {};

INSTANTIATE_TEST_SUITE_P(EachBoard, ModuleEntry, eachBoard(), boardParamName);

// The record's bytes, the exported symbols and finding a module by board name are
// checked on the binary itself, at fixed offsets, by tests/target/module_layout_test.cpp.

// --- Loading through the loader ---

TEST(ModuleLoader, NamesTheFileItLookedForWhenNoModuleMatchesTheBoard)
{
    const std::string path = std::string(boardNamed("quillano").module_path);
    quorvel::testing::ScopedEnv variable(quorvel::MODULE_DIR_VARIABLE);
    variable.set(path.substr(0, path.rfind('/')).c_str());
    quorvel::ModuleHandle module;
    std::string error;
    EXPECT_NE(quorvel::loadModuleForBoard("nosuchboard", module, error), 0);
    EXPECT_NE(error.find("lights.nosuchboard.so"), std::string::npos) << error;
    EXPECT_EQ(module.info(), nullptr);
}

TEST(ModuleLoader, RefusesBoardNamesThatLeaveTheModuleFolder)
{
    for (const char* board : {"", ".", "..", "../pavok", "a/b"}) {
        quorvel::ModuleHandle module;
        std::string error;
        EXPECT_EQ(quorvel::loadModuleForBoard(board, module, error), -22) << board;
        EXPECT_NE(error.find("invalid board name"), std::string::npos) << error;
        EXPECT_FALSE(module);
    }
}

TEST(ModuleLoader, RefusesFilesThatAreNotLightsModules)
{
    const std::string bad = BAD_MODULE_DIR;
    const std::pair<std::string, std::string> cases[] = {
        {bad + "/lights.bad-tag.so", "bad module tag 0x48574D55 (expected 0x48574D54)"},
        {bad + "/lights.bad-version.so", "unsupported module version 2.0"},
        {bad + "/lights.bad-id.so", "module id is \"lamps\", not \"lights\""},
        {LOG_LIBRARY, "no HMI record"},
        {bad + "/lights.missing.so", "cannot load"},
    };
    for (const auto& [path, message] : cases) {
        quorvel::ModuleHandle module;
        std::string error;
        EXPECT_NE(quorvel::loadModule(path, module, error), 0) << path;
        EXPECT_NE(error.find(message), std::string::npos) << "got: " << error;
        EXPECT_EQ(module.info(), nullptr);
    }
}

// Whether the module at `path` is mapped in this process (asked without mapping it).
bool mapped(const std::string& path)
{
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr)
        dlclose(library);
    return library != nullptr;
}

TEST(ModuleLoader, AHandleUnmapsItsModuleWhenItGoesAndOnlyThen)
{
    // Any board's module will do: the first of the list.
    const std::string path = quorvel::kBoards[0].module_path;
    std::string error;
    ASSERT_FALSE(mapped(path));
    {
        quorvel::ModuleHandle kept;
        {
            quorvel::ModuleHandle loaded;
            ASSERT_EQ(quorvel::loadModule(path, loaded, error), 0) << error;
            ASSERT_NE(loaded.info(), nullptr);
            kept = std::move(loaded);
            EXPECT_FALSE(loaded);
        }
        EXPECT_TRUE(mapped(path)) << "the handle moved from unmapped the module";
        EXPECT_STREQ(kept.info()->id, "lights");
    }
    EXPECT_FALSE(mapped(path)) << "the last handle left the module mapped";

    // A load that fails leaves the handle empty, the module it held unmapped.
    quorvel::ModuleHandle handle;
    ASSERT_EQ(quorvel::loadModule(path, handle, error), 0) << error;
    EXPECT_NE(quorvel::loadModule(path + ".missing", handle, error), 0);
    EXPECT_FALSE(handle);
    EXPECT_FALSE(mapped(path));

    // Released, the module is the caller's to unmap with unloadModule().
    ASSERT_EQ(quorvel::loadModule(path, handle, error), 0) << error;
    quorvel::LoadedModule released = handle.release();
    handle.reset();
    EXPECT_TRUE(mapped(path));
    quorvel::unloadModule(released);
    EXPECT_FALSE(mapped(path));
}

// --- Opening devices ---

TEST_P(ModuleEntry, NamesMustMatchExactlyAndRefusalsLeaveTheOutPointer)
{
    Strings steps, expected;
    for (const char* name : {"Backlight", "backligh", "backlights", "", "NOTIFICATIONS", "lcd"}) {
        steps.push_back("keep-out:" + std::string(name));
        expected.push_back("keep-out " + std::string(name) + " = -22 untouched=1");
    }
    for (const char* name : {"attention", "backlight", "keyboard", "buttons", "battery", "notifications"}) {
        steps.push_back("keep-out:" + std::string(name));
        expected.push_back("keep-out " + std::string(name) + " = 0 untouched=0");
    }
    const SimRun run = runProbe(GetParam(), LedTree{}, steps);
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), expected);
}

TEST_P(ModuleEntry, AnUnrecognisedFirstNameRunsNoBoardProbe)
{
    const SimRun refused = runProbe(GetParam(), LedTree{"amber+trackball"}, {"open:Battery", "open:lights"});
    ASSERT_EQ(refused.process.exitStatus, 0) << refused.dump();
    EXPECT_TRUE(refused.journal.empty()) << refused.dump();

    const SimRun later = runProbe(GetParam(), LedTree{"amber+trackball"}, {"open:Battery", "open:battery"});
    ASSERT_EQ(later.process.exitStatus, 0) << later.dump();
    const auto probes = later.entries("access");
    ASSERT_EQ(probes.size(), 2u) << later.dump();
    EXPECT_EQ(probes[0].path, "jogball-backlight/brightness");
    EXPECT_EQ(probes[0].detail, "W_OK");
    EXPECT_EQ(probes[1].path, "amber/brightness");
    EXPECT_EQ(probes[1].detail, "W_OK");
}

TEST_P(ModuleEntry, TheBoardIsProbedOnceWhateverIsOpened)
{
    const SimRun run = runProbe(GetParam(), LedTree{"amber+trackball"},
                                {"open:backlight", "open:keyboard", "open:buttons", "open:battery",
                                 "open:notifications", "open:attention", "two-devices:battery"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.entries("access").size(), 2u) << run.dump();
    EXPECT_TRUE(run.writes().empty()) << run.dump();
}

TEST_P(ModuleEntry, ProbeTestsWritabilityNotExistence)
{
    // Both capability files exist but are read-only: an RGB board without trackball.
    const SimRun run = runLightsctl(
        GetParam(),
        LedTree{"amber+trackball+lcd-auto", {"jogball-backlight/brightness=readonly", "amber/brightness=readonly"}},
        {"backlight", "0xffffff", "battery", "0x00ff00"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    // No trackball write after the backlight; the indicator is driven as RGB, whose
    // red and blue files this board lacks.
    EXPECT_TRUE(run.writesTo("jogball-backlight/brightness").empty()) << run.dump();
    EXPECT_TRUE(run.writesTo("amber/brightness").empty()) << run.dump();
    EXPECT_EQ(run.writesTo("green/brightness"), std::vector<std::string>{"255\n"});
    std::vector<std::string> missing;
    for (const auto& entry : run.entries("lookup"))
        missing.push_back(entry.path);
    EXPECT_EQ(missing, (std::vector<std::string>{"red", "blue", "red"})) << run.dump();
}

TEST_P(ModuleEntry, CapabilitiesStayAsProbedWhenFilesAppearLater)
{
    // Neither capability file exists at the first open; both appear afterwards.
    const RunResult run =
        runProbeInTmpfs(GetParam(),
                        {"lcd-backlight/brightness", "lcd-backlight/auto", "red/brightness", "green/brightness",
                         "blue/brightness", "red/device/blink"},
                        {"open:backlight", "touch:/sys/class/leds/jogball-backlight/brightness",
                         "touch:/sys/class/leds/amber/brightness", "set:backlight:0xffffff:0:0:0:0",
                         "set:battery:0xff0000:0:0:0:0", "cat:/sys/class/leds/jogball-backlight/brightness",
                         "cat:/sys/class/leds/amber/brightness", "cat:/sys/class/leds/red/brightness"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    // Still no trackball (nothing written after the backlight) and still RGB.
    const std::vector<std::string> expected = {
        "open backlight = 0",
        "touch /sys/class/leds/jogball-backlight/brightness = 0",
        "touch /sys/class/leds/amber/brightness = 0",
        "set backlight = 0",
        "set battery = 0",
        "cat /sys/class/leds/jogball-backlight/brightness = -\\n",
        "cat /sys/class/leds/amber/brightness = -\\n",
        "cat /sys/class/leds/red/brightness = 255\\n",
    };
    EXPECT_EQ(linesOf(run.out), expected) << run.err;
}

TEST_P(ModuleEntry, AFailedDeviceAllocationIsReportedAndLeavesTheOutPointer)
{
    if (nomemProbePath().empty())
        GTEST_SKIP() << "sanitized builds own malloc: no failing-allocation probe";
    const SimRun run = runInLedsim(
        LedTree{},
        {nomemProbePath(), GetParam().module_path, "nomem:battery", "keep-out:battery", "set:battery:0xff:0:0:0:0"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    const std::vector<std::string> expected = {"nomem battery = -12 untouched=1", "keep-out battery = 0 untouched=0",
                                               "set battery = 0"};
    EXPECT_EQ(run.outLines(), expected) << run.dump();
}

TEST_P(ModuleEntry, NullArgumentsAreRefusedAndWriteNothing)
{
    Strings steps = {"null-name", "null-out:battery"};
    Strings expected = {"null-name = -22 untouched=1", "null-out battery = -22"};
    for (const char* light : LIGHT_NAMES) {
        steps.push_back("null-request:" + std::string(light));
        expected.push_back("null-request " + std::string(light) + " = -22");
    }
    const SimRun run = runProbe(GetParam(), LedTree{"rgb+trackball"},
                                concat({steps, {"close-null:battery", "set:keyboard:0:0:0:0:0"}}));
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines(), concat({expected, {"close-null = 0", "set keyboard = 0"}}));
    // Only the last, real request wrote anything.
    EXPECT_EQ(run.writes(), std::vector<std::string>{"keyboard-backlight/brightness=0\n"}) << run.dump();
}

TEST_P(ModuleEntry, DevicesOfOneLightShareItsStoredRequest)
{
    const SimRun run = runProbe(GetParam(), LedTree{"rgb"},
                                {"two-devices:notifications", "set:notifications#1:0xff0000:0:0:0:0",
                                 "set:notifications#2:0x0000ff:0:0:0:0", "set:battery:0:0:0:0:0"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.dump();
    EXPECT_EQ(run.outLines().at(0), "two-devices notifications distinct=1 same-handler=1");
    // The battery request with no colour hands the LED to the one stored notification:
    // the second device's request replaced the first's.
    const std::vector<std::string> writes = run.writes();
    ASSERT_EQ(writes.size(), 12u) << run.dump();
    EXPECT_EQ(std::vector<std::string>(writes.end() - 4, writes.end()),
              (std::vector<std::string>{"red/brightness=0\n", "green/brightness=0\n", "blue/brightness=255\n",
                                        "red/device/blink=0\n"}));
}

} // namespace
