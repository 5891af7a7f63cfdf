// ledsim as a bring-up engineer runs it: the command owns the terminal and dies with
// ledsim, output files are checked before anything runs, and the LEDs can be watched
// live (--show) or drawn afterwards (--picture).
#include <test_support/process_stats.h>
#include <test_support/led_scenario.h>

#ifdef LIGHTS_TEST_HAVE_LEDSIM_CORE
#include "led_panel.h"
#include "show_view.h"
#include "svg_timeline.h"
#endif

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>

using namespace lights_test;
using namespace std::chrono_literals;

namespace {

// Every match of `pattern` in `text`, as `format` writes it ("$1" is the first group).
Strings matchesOf(const std::string& text, const char* pattern, const char* format = "$1")
{
    Strings found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back(it->format(format));
    return found;
}

// One drawn rectangle of a picture, by attribute.
using SvgRect = std::map<std::string, std::string>;

std::vector<SvgRect> rectsOf(const std::string& svg, const std::string& led)
{
    std::vector<SvgRect> rects;
    for (const std::string& attributes : matchesOf(svg, "<rect ([^>]*)/>")) {
        SvgRect rect;
        for (const std::string& pair : matchesOf(attributes, "([a-z-]+)=\"([^\"]*)\"", "$1=$2"))
            rect[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
        if (rect["data-led"] == led)
            rects.push_back(rect);
    }
    return rects;
}

Strings lanesOf(const std::string& svg)
{
    return matchesOf(svg, "<g data-lane=\"([^\"]*)\">");
}

std::vector<SvgRect> withState(const std::vector<SvgRect>& rects, const std::string& state)
{
    std::vector<SvgRect> kept;
    for (const SvgRect& rect : rects) {
        if (rect.at("data-state") == state)
            kept.push_back(rect);
    }
    return kept;
}

double ms(const SvgRect& rect, const char* which)
{
    return std::stod(rect.at(which));
}

double lengthMs(const SvgRect& rect)
{
    return ms(rect, "data-end-ms") - ms(rect, "data-start-ms");
}

#ifdef LIGHTS_TEST_HAVE_LEDSIM_CORE

// A rectangle drawn in `fill` from `start` to `end` ms.
void expectSpan(const SvgRect& rect, const char* fill, double start, double end)
{
    EXPECT_EQ(rect.at("fill"), fill);
    EXPECT_NEAR(ms(rect, "data-start-ms"), start, 0.001);
    EXPECT_NEAR(ms(rect, "data-end-ms"), end, 0.001);
}

ledsim::Profile profileOf(const char* text)
{
    ledsim::Profile profile;
    std::string error;
    EXPECT_TRUE(ledsim::parseProfile(text, profile, error)) << error;
    return profile;
}

// --- The picture, drawn from a known timeline ---

TEST(LedsimPicture, DrawsEachLaneInItsColourAndBlinksAsPeriodAndDutySay)
{
    // Red blinking with period 20 steps (1000 ms) and duty 127 (498.04 ms lit) from
    // 100 ms; at 1500 ms it turns yellow with the same pattern, which keeps its
    // phase; at 2600 ms blinking stops. The backlight is grey 128 from 200 ms.
    const std::vector<ledsim::ValueChange> changes = {
        {100, "/red/brightness", "255\n"},           {100, "/red/device/grpfreq", "20\n"},
        {100, "/red/device/grppwm", "127\n"},        {100, "/red/device/blink", "1\n"},
        {200, "/lcd-backlight/brightness", "128\n"}, {1500, "/green/brightness", "255\n"},
        {2600, "/red/device/blink", "0\n"},
    };
    const std::string svg = ledsim::renderSvgTimeline(profileOf("rgb+trackball"), changes, 3000, "known <run>");
    EXPECT_EQ(lanesOf(svg),
              (Strings{"indicator", "trackball", "lcd-backlight", "keyboard-backlight", "button-backlight"}));
    EXPECT_NE(svg.find("<title>known &lt;run&gt;</title>"), std::string::npos);

    const auto indicator = rectsOf(svg, "indicator");
    const auto lit = withState(indicator, "blink-on");
    ASSERT_EQ(lit.size(), 4u) << svg;
    const double onMs = 1000.0 * 127 / 255;
    // Cycles start at 100, 1100, 2100 ms. The colour change at 1500 ms cuts the
    // second lit phase but does not restart the cycle: yellow goes on lit until
    // 1598 ms, and its next phase starts at 2100 ms.
    expectSpan(lit[0], "#ff0000", 100, 100 + onMs);
    expectSpan(lit[1], "#ff0000", 1100, 1500);
    expectSpan(lit[2], "#ffff00", 1500, 1100 + onMs);
    expectSpan(lit[3], "#ffff00", 2100, 2100 + onMs);
    const auto steady = withState(indicator, "on");
    ASSERT_EQ(steady.size(), 1u);
    expectSpan(steady[0], "#ffff00", 2600, 3000);

    // The pattern is written once where it starts: the colour change keeps it.
    EXPECT_EQ(matchesOf(svg, "<text data-blink-label=\"([^\"]*)\" x=\"([^\"]*)\"[^>]*>([^<]*)</text>", "$1 at $2: $3"),
              Strings{"indicator at 192: blink 1000 ms period, 498 ms on"})
        << svg;
    EXPECT_EQ(matchesOf(svg, "<rect data-swatch=\"indicator\"[^>]* fill=\"([^\"]*)\""),
              (Strings{"#ff0000", "#ffff00"}));
    for (const char* state : {"on", "off", "blink-on", "blink-dense"})
        EXPECT_NE(svg.find(std::string("data-legend-state=\"") + state + "\""), std::string::npos) << state;

    const auto lcd = rectsOf(svg, "lcd-backlight");
    ASSERT_EQ(lcd.size(), 2u);
    EXPECT_EQ(lcd[0].at("fill"), "#000000");
    EXPECT_EQ(lcd[1].at("fill"), "#808080");
    EXPECT_NEAR(ms(lcd[1], "data-start-ms"), 200, 0.001);
    // Every lane spans the whole run, without gaps.
    for (const std::string& lane : lanesOf(svg)) {
        double reached = 0;
        for (const SvgRect& rect : rectsOf(svg, lane)) {
            if (rect.at("data-state") == "blink-on")
                continue;
            EXPECT_NEAR(ms(rect, "data-start-ms"), reached, 0.001) << lane;
            reached = ms(rect, "data-end-ms");
        }
        EXPECT_NEAR(reached, 3000, 0.001) << lane;
    }
}

TEST(LedsimPicture, BoardsWithoutTimingBlinkAtTheirOwnRateAndDenseBlinksAreAveraged)
{
    // Amber board: amber lit and blinking from 0 ms, drawn as 1000 ms half lit.
    const std::string amber = ledsim::renderSvgTimeline(
        profileOf("amber"), {{0, "/amber/brightness", "1\n"}, {0, "/amber/blink", "1\n"}}, 2000, "amber");
    EXPECT_EQ(lanesOf(amber), (Strings{"amber", "green", "lcd-backlight", "keyboard-backlight", "button-backlight"}));
    const auto lit = withState(rectsOf(amber, "amber"), "blink-on");
    ASSERT_EQ(lit.size(), 2u) << amber;
    EXPECT_NEAR(lengthMs(lit[0]), 500, 0.001);
    EXPECT_NEAR(ms(lit[1], "data-start-ms"), 1000, 0.001);
    EXPECT_EQ(lit[0].at("fill"), "#ffa000");

    // A 50 ms blink over an hour: too many phases to draw, drawn at its duty.
    const std::string dense = ledsim::renderSvgTimeline(profileOf("rgb"),
                                                        {{0, "/blue/brightness", "255\n"},
                                                         {0, "/red/device/grpfreq", "1\n"},
                                                         {0, "/red/device/grppwm", "64\n"},
                                                         {0, "/red/device/blink", "1\n"}},
                                                        3600000, "dense");
    const auto averaged = withState(rectsOf(dense, "indicator"), "blink-dense");
    ASSERT_EQ(averaged.size(), 1u);
    EXPECT_EQ(averaged[0].at("fill"), "#0000ff");
    EXPECT_EQ(averaged[0].at("fill-opacity"), "0.251");
    EXPECT_LT(dense.size(), 20000u);
}

TEST(LedsimShow, PanelRowsCombineTheIndicatorAndShowBacklightsAsGrey)
{
    ledsim::Values values = ledsim::initialValues(profileOf("rgb+lcd-auto"));
    values["/red/brightness"] = "255\n";
    values["/blue/brightness"] = "64\n";
    values["/red/device/blink"] = "1\n";
    values["/red/device/grpfreq"] = "0\n";
    values["/red/device/grppwm"] = "300\n";
    values["/lcd-backlight/brightness"] = "999\n";
    values["/lcd-backlight/auto"] = "1\n";
    const auto rows = ledsim::ledRows(profileOf("rgb+lcd-auto"), values);
    ASSERT_EQ(rows.size(), 4u);
    // Period 0 is drawn as one step; a duty above the scale is fully lit.
    EXPECT_EQ(ledsim::describeRow(rows[0]), "indicator #ff0040 brightness 255 blink 50 ms period, 50 ms on");
    EXPECT_EQ(ledsim::describeRow(rows[1]), "lcd-backlight #ffffff brightness 999 blink off auto 1");
    EXPECT_NE(ledsim::ShowView::terminalRow(rows[0]).find("\x1b[48;2;255;0;64m"), std::string::npos);

    EXPECT_EQ(ledsim::ShowView::changedLines(1250, rows, rows), Strings{});
    auto after = rows;
    after[3].brightness = 1;
    after[3].color = {1, 1, 1};
    EXPECT_EQ(ledsim::ShowView::changedLines(1250, rows, after),
              Strings{"+1.250 s button-backlight #010101 brightness 1 blink off"});
}

#endif // LIGHTS_TEST_HAVE_LEDSIM_CORE

// --- ledsim end to end ---

const char* const BLINK_SCRIPT = "cd /sys/class/leds && echo 255 > red/brightness && echo 20 > red/device/grpfreq && "
                                 "echo 127 > red/device/grppwm && echo 1 > red/device/blink && sleep 1.3 && "
                                 "echo 128 > lcd-backlight/brightness";

using LedsimPictureProgram = SimulatedTree;

TEST_F(LedsimPictureProgram, DrawsTheRunOfTheCommand)
{
    TempDir dir;
    const std::string picture = dir.path() + "/run.svg";
    const RunResult run = runHostProgram({ledsimProgram(), "--picture", picture, "--", "sh", "-c", BLINK_SCRIPT}, 30s);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string svg = readFile(picture);
    EXPECT_EQ(lanesOf(svg), (Strings{"indicator", "lcd-backlight", "keyboard-backlight", "button-backlight"}));
    const auto lit = withState(rectsOf(svg, "indicator"), "blink-on");
    ASSERT_GE(lit.size(), 2u) << svg;
    EXPECT_EQ(lit[0].at("fill"), "#ff0000");
    EXPECT_NEAR(lengthMs(lit[0]), 1000.0 * 127 / 255, 0.001);
    EXPECT_NEAR(ms(lit[1], "data-start-ms") - ms(lit[0], "data-start-ms"), 1000, 0.001);
    const auto lcd = rectsOf(svg, "lcd-backlight");
    ASSERT_FALSE(lcd.empty());
    EXPECT_EQ(lcd.back().at("fill"), "#808080");
}

using LedsimShowProgram = SimulatedTree;

TEST_F(LedsimShowProgram, PrintsEachChangeAsALineWhenNotOnATerminal)
{
    TempDir dir;
    const RunResult run = runHostProgram(
        {ledsimProgram(), "--show", "--journal", dir.path() + "/journal", "--", "sh", "-c", BLINK_SCRIPT}, 30s);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    Strings changes;
    for (const std::string& line : linesOf(run.out)) {
        ASSERT_EQ(line.rfind("+", 0), 0u) << run.out;
        changes.push_back(line.substr(line.find(" s ") + 3));
    }
    EXPECT_EQ(changes,
              (Strings{"indicator #000000 brightness 0 blink off", "lcd-backlight #000000 brightness 0 blink off",
                       "keyboard-backlight #000000 brightness 0 blink off",
                       "button-backlight #000000 brightness 0 blink off", "indicator #ff0000 brightness 255 blink off",
                       "indicator #ff0000 brightness 255 blink 1000 ms period, 498 ms on",
                       "lcd-backlight #808080 brightness 128 blink off"}))
        << run.out;
}

using LedsimProgram = SimulatedTree;

TEST_F(LedsimProgram, RefusesAnUnwritableOutputBeforeRunningTheCommand)
{
    TempDir dir;
    const std::string marker = dir.path() + "/ran";
    for (const char* option : {"--journal", "--picture"}) {
        const RunResult run =
            runHostProgram({ledsimProgram(), option, dir.path() + "/missing/out", "--", "touch", marker}, 30s);
        EXPECT_EQ(run.exitStatus, 2) << option;
        EXPECT_NE(run.err.find(" to " + dir.path() + "/missing/out: No such file or directory"), std::string::npos)
            << run.err;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << option << ": the command ran";
    }
}

TEST_F(LedsimProgram, GivesTheTerminalToTheCommand)
{
    // ledsim in a terminal of its own, as started from a shell; the command reads it.
    int master = -1;
    const std::string ledsim = ledsimProgram();
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0) << strerror(errno);
    if (pid == 0) {
        execl(ledsim.c_str(), ledsim.c_str(), "-t", "20", "-j", "/dev/null", "--", "sh", "-c",
              "read line && echo got-$line", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_EQ(write(master, "hello\n", 6), 6);
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + 25s;
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0)
            break; // EIO: the terminal's last user is gone
        output.append(buffer, static_cast<size_t>(got));
    }
    close(master);
    EXPECT_EQ(quorvel::testing::waitForChild(pid, 5s), 0) << output;
    EXPECT_NE(output.find("got-hello"), std::string::npos) << output;
}

// Starts `ledsim` with no terminal (so only a signal can end its command) running
// `script` in sh, where PIDS stands for a file in `dir`; returns that file's text once
// the script has filled it, or empty if it has not within 10 s.
std::string startDetachedLedsim(BackgroundProcess& ledsim, const TempDir& dir, std::string script)
{
    const std::string pidFile = dir.path() + "/pids";
    for (size_t at; (at = script.find("PIDS")) != std::string::npos;)
        script.replace(at, 4, pidFile);
    std::string pids;
    if (ledsim.start({ledsimProgram(), "-j", "/dev/null", "--", "sh", "-c", script}, {}, "/dev/null", false,
                     [] { return setsid() >= 0; }))
        quorvel::robustness::eventually([&] { return !(pids = readFile(pidFile)).empty(); }, 10s);
    return pids;
}

TEST_F(LedsimProgram, EndsTheCommandWhenStopped)
{
    TempDir dir;
    BackgroundProcess ledsim;
    const std::string commandPid =
        startDetachedLedsim(ledsim, dir, "echo $$ > PIDS.tmp && mv PIDS.tmp PIDS && exec sleep 60");
    ASSERT_FALSE(commandPid.empty());
    EXPECT_EQ(ledsim.stop(SIGTERM, 10s), 128 + SIGTERM);
    // ledsim has reaped it: not even a zombie is left.
    const pid_t command = std::stoi(commandPid);
    EXPECT_EQ(kill(command, 0), -1) << "command " << commandPid << " outlived ledsim";
    EXPECT_EQ(errno, ESRCH);
    kill(command, SIGKILL); // a survivor would hold the test's output open
}

// The mount namespace a process is in ("mnt:[N]"), or "" once it is gone.
std::string mountNamespaceOf(const std::string& pid)
{
    char link[64] = {};
    const ssize_t n = readlink(("/proc/" + pid + "/ns/mnt").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// The processes still in mount namespace `ns`.
Strings processesIn(const std::string& ns)
{
    Strings found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return {"(cannot read /proc)"};
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") == std::string::npos && mountNamespaceOf(name) == ns)
            found.push_back(name);
    }
    closedir(proc);
    return found;
}

TEST_F(LedsimProgram, KilledOutrightItTakesTheCommandAndWhatItStartedWithIt)
{
    TempDir dir;
    BackgroundProcess ledsim;
    // The shell starts a child of its own and waits: both must go.
    const std::string pids =
        startDetachedLedsim(ledsim, dir, "sleep 60 & echo $$ $! > PIDS.tmp && mv PIDS.tmp PIDS && wait");
    ASSERT_FALSE(pids.empty());
    std::istringstream words(pids);
    std::string shell, child;
    words >> shell >> child;
    const std::string ns = mountNamespaceOf(child);
    ASSERT_FALSE(ns.empty());
    ASSERT_NE(ns, mountNamespaceOf("self")) << "the command is not in a namespace of ledsim's own";

    EXPECT_EQ(ledsim.stop(SIGKILL, 5s), 128 + SIGKILL);
    // Once its last process is gone, the namespace and the mounts in it go too.
    Strings left;
    quorvel::robustness::eventually([&] { return (left = processesIn(ns)).empty(); }, 2s);
    EXPECT_TRUE(left.empty()) << "still in ledsim's mount namespace: " << ::testing::PrintToString(left) << " (shell "
                              << shell << ", its child " << child << ")";
    for (const std::string& survivor : left)
        kill(std::stoi(survivor), SIGKILL);
}

} // namespace
