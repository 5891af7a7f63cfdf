// ledsim as a bring-up engineer runs it: the command owns the terminal and dies with
// ledsim, output files are checked before anything runs, and the LEDs can be watched
// live (--show) or drawn afterwards (--picture).
#include <test_support/process_stats.h>
#include <test_support/led_scenario.h>

#ifdef LIGHTS_TEST_HAVE_LEDSIM_CORE
#include "led_panel.h"
#include "shell_words.h"
#include "show_view.h"
#include "svg_timeline.h"
#endif

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

bool writeFile(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
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

TEST(LedsimPicture, ARunThatEndedAtOnceStillNamesEveryLane)
{
    // Nothing lasted: every stretch is empty, and each lane still says what it ended in.
    const std::string svg =
        ledsim::renderSvgTimeline(profileOf("rgb"), {{0, "/red/brightness", "255\n"}}, 0, "instant");
    EXPECT_EQ(lanesOf(svg), (Strings{"indicator", "lcd-backlight", "keyboard-backlight", "button-backlight"}));
    EXPECT_EQ(matchesOf(svg, "<rect data-swatch=\"indicator\"[^>]* fill=\"([^\"]*)\""), Strings{});
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
    EXPECT_NE(ledsim::ShowView::terminalRow(rows[0], 80).find("\x1b[48;2;255;0;64m"), std::string::npos);

    EXPECT_EQ(ledsim::ShowView::changedLines(1250, rows, rows), Strings{});
    auto after = rows;
    after[3].brightness = 1;
    after[3].color = {1, 1, 1};
    EXPECT_EQ(ledsim::ShowView::changedLines(1250, rows, after),
              Strings{"+1.250 s button-backlight #010101 brightness 1 blink off"});
}

// What a terminal shows of `text`: the text without its escape sequences.
std::string onScreen(const std::string& text)
{
    return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
}

TEST(LedsimShow, PanelRowsFitTheTerminalAndGiveUpDetailBeforeOverflowing)
{
    ledsim::Values values = ledsim::initialValues(profileOf("rgb+lcd-auto"));
    values["/red/brightness"] = "255\n";
    values["/red/device/blink"] = "1\n";
    values["/red/device/grpfreq"] = "20\n";
    values["/red/device/grppwm"] = "127\n";
    values["/lcd-backlight/brightness"] = "255\n";
    values["/lcd-backlight/auto"] = "1\n";
    const auto rows = ledsim::ledRows(profileOf("rgb+lcd-auto"), values);
    const std::string swatch = "\x1b[48;2;255;0;0m";

    // The widest usual row, whole on 80 columns.
    const std::string full = ledsim::ShowView::terminalRow(rows[0], 80);
    EXPECT_LE(onScreen(full).size(), 80u) << onScreen(full);
    EXPECT_NE(full.find(swatch + "  "), std::string::npos) << full;
    EXPECT_TRUE(onScreen(full).ends_with("#ff0000  brightness 255  blink 1000 ms period, 498 ms on")) << full;

    // Narrower, every row stays within the terminal; detail goes from the end.
    for (const size_t columns : {79u, 60u, 40u, 21u, 20u, 8u}) {
        for (const ledsim::LedRow& row : rows) {
            const std::string shown = onScreen(ledsim::ShowView::terminalRow(row, columns));
            EXPECT_LE(shown.size(), columns) << columns << ": " << shown;
            EXPECT_EQ(shown.substr(0, std::min<size_t>(columns, row.name.size())), row.name.substr(0, columns));
        }
    }
    EXPECT_NE(onScreen(ledsim::ShowView::terminalRow(rows[0], 79)).find("blink 1000 ms"), std::string::npos);
    const std::string narrow = onScreen(ledsim::ShowView::terminalRow(rows[0], 40));
    EXPECT_NE(narrow.find("#ff0000"), std::string::npos) << narrow;
    EXPECT_EQ(narrow.find("blink"), std::string::npos) << narrow;
    const std::string lcd = onScreen(ledsim::ShowView::terminalRow(rows[1], 80));
    EXPECT_TRUE(lcd.ends_with("blink off  auto 1")) << lcd;
}

TEST(LedsimShow, PlainLinesShowEveryStateEvenWhenWritesArriveTogether)
{
    // Four writes before the view looks, as on a busy machine: each visible step of
    // the indicator is still a line of its own.
    ledsim::ValueTimeline timeline;
    for (const auto& [path, value] : {std::pair{"/red/brightness", "255\n"},
                                      {"/red/device/grpfreq", "20\n"},
                                      {"/red/device/grppwm", "127\n"},
                                      {"/red/device/blink", "1\n"}})
        timeline.record(path, value);
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    {
        ledsim::ShowView view(profileOf("rgb"), timeline, out);
        view.start();
        view.stop();
    }
    rewind(out);
    std::string text;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, out)) > 0;)
        text.append(buffer, got);
    fclose(out);
    Strings indicator;
    for (const std::string& line : linesOf(text)) {
        if (line.find(" indicator ") != std::string::npos)
            indicator.push_back(line.substr(line.find(" s ") + 3));
    }
    EXPECT_EQ(indicator,
              (Strings{"indicator #000000 brightness 0 blink off", "indicator #ff0000 brightness 255 blink off",
                       "indicator #ff0000 brightness 255 blink 1000 ms period, 498 ms on"}))
        << text;
}

TEST(LedsimPicture, SwatchesShowWhatALaneVisiblyShowedAndPaleLightsStandOut)
{
    // Green, then orange written red first: yellow passes for 50 microseconds.
    const std::string svg = ledsim::renderSvgTimeline(profileOf("rgb"),
                                                      {{0, "/green/brightness", "255\n"},
                                                       {0, "/keyboard-backlight/brightness", "255\n"},
                                                       {1000, "/red/brightness", "255\n"},
                                                       {1000.05, "/green/brightness", "128\n"}},
                                                      2000, "swatches");
    EXPECT_EQ(matchesOf(svg, "data-swatch=\"indicator\"[^>]* fill=\"(#[0-9a-f]+)\""), (Strings{"#00ff00", "#ff8000"}))
        << svg;
    EXPECT_EQ(rectsOf(svg, "indicator").size(), 3u) << "the passing yellow is still drawn";

    // White on the pale page: the lane's outline, in a dark colour, runs along it.
    const auto white = withState(rectsOf(svg, "keyboard-backlight"), "on");
    ASSERT_EQ(white.size(), 1u);
    EXPECT_EQ(white[0].at("fill"), "#ffffff");
    const Strings frames = matchesOf(svg, "<rect data-lane-frame=\"keyboard-backlight\" ([^>]*)/>");
    ASSERT_EQ(frames.size(), 1u) << svg;
    const std::string& frame = frames[0];
    EXPECT_NE(frame.find("x=\"" + white[0].at("x") + "\""), std::string::npos) << frame;
    EXPECT_NE(frame.find("y=\"" + white[0].at("y") + "\""), std::string::npos) << frame;
    EXPECT_NE(frame.find("width=\"" + white[0].at("width") + "\""), std::string::npos) << frame;
    EXPECT_NE(frame.find("fill=\"none\""), std::string::npos) << frame;
    EXPECT_NE(frame.find("stroke=\"#444444\""), std::string::npos) << frame;
}

TEST(LedsimPicture, TheTitleQuotesTheCommandAsAShellNeedsIt)
{
    // Each word written back reads as the same word in sh.
    const Strings words = {"printf", "[%s]", "plain", "two words", "it's", "", "$HOME", "a\"b\\c", "--x=1", "*"};
    const std::string line = ledsim::shellCommandLine(words);
    EXPECT_EQ(line, "printf '[%s]' plain 'two words' 'it'\\''s' '' '$HOME' 'a\"b\\c' --x=1 '*'");
    const RunResult run = runHostProgram({"sh", "-c", line}, 30s);
    EXPECT_EQ(run.out, "[plain][two words][it's][][$HOME][a\"b\\c][--x=1][*]") << line;
    // A first word with "=" would be an assignment.
    EXPECT_EQ(ledsim::shellCommandLine({"a=b", "c=d"}), "'a=b' c=d");
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
    // The command line as a shell needs it, in XML.
    EXPECT_NE(svg.find("<title>ledsim --profile rgb -- sh -c 'cd /sys/class/leds &amp;&amp; echo 255 &gt; "
                       "red/brightness &amp;&amp; "),
              std::string::npos)
        << svg.substr(0, 400);
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

TEST_F(LedsimProgram, WritesOnlyRegularFilesAndFollowsNoSymbolicLinkToOne)
{
    // Root's ledsim told to write into a folder where another user may have left a
    // symbolic link to a file only root may write, or a FIFO.
    TempDir dir;
    const std::string secret = dir.path() + "/secret", marker = dir.path() + "/ran";
    ASSERT_TRUE(writeFile(secret, "root's own\n"));
    ASSERT_EQ(symlink(secret.c_str(), (dir.path() + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0666), 0);
    const std::pair<const char*, const char*> refused[] = {
        {"link", "it is a symbolic link, which ledsim does not follow"},
        {"fifo", "it is a FIFO; ledsim writes only regular files (or /dev/null)"},
        {"", "it is a directory; ledsim writes only regular files (or /dev/null)"},
    };
    for (const char* option : {"--journal", "--picture"}) {
        for (const auto& [name, reason] : refused) {
            const std::string path = dir.path() + "/" + name;
            const RunResult run = runHostProgram({ledsimProgram(), option, path, "--", "touch", marker}, 30s);
            EXPECT_FALSE(run.timedOut) << option << " " << name;
            EXPECT_EQ(run.exitStatus, 2) << option << " " << name << ": " << run.err;
            EXPECT_EQ(run.err,
                      std::string("ledsim: cannot write the ") + (option + 2) + " to " + path + ": " + reason +
                          (name == std::string("link") ? " (as root it could be led to overwrite any file)" : "") +
                          "\n");
            EXPECT_NE(access(marker.c_str(), F_OK), 0) << option << " " << name << ": the command ran";
            unlink(marker.c_str());
        }
    }
    EXPECT_EQ(readFile(secret), "root's own\n");

    // A regular file is emptied and written; /dev/null takes the output away.
    const std::string journal = dir.path() + "/journal";
    ASSERT_TRUE(writeFile(journal, std::string(100000, 'x')));
    const RunResult run =
        runHostProgram({ledsimProgram(), "--journal", journal, "--picture", "/dev/null", "--", "true"}, 30s);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::string written = readFile(journal);
    EXPECT_EQ(written.find('x'), std::string::npos);
    EXPECT_NE(written.find("value /sys/class/leds/red/brightness \"0\\n\""), std::string::npos) << written;
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

TEST_F(LedsimProgram, ACommandStoppedWithoutATerminalIsContinued)
{
    // No terminal to hand back: ledsim, told by the command's first process that the
    // command stopped, continues it at once.
    const RunResult run = runHostProgram(
        {ledsimProgram(), "-t", "20", "-j", "/dev/null", "--", "sh", "-c", "kill -STOP $$; echo continued"}, 30s);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "continued\n");
}

// --- The command never outlives ledsim ---

// Each run's processes carry a token of their own in their environment, so that
// they are found whatever they did to their process group, session or pids.
std::string freshToken()
{
    static int runs = 0;
    return "LEDSIM_TEST_RUN=" + std::to_string(getpid()) + "-" + std::to_string(++runs);
}

// The processes whose environment holds `token`, as "pid command".
Strings processesCarrying(const std::string& token)
{
    Strings found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return {"(cannot read /proc)"};
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string environment = readFile("/proc/" + name + "/environ");
        if (environment.find(token + '\0') != std::string::npos || environment.ends_with(token))
            found.push_back(name + " " + readFile("/proc/" + name + "/comm"));
    }
    closedir(proc);
    return found;
}

// Kills what a failed check left behind (a survivor would hold the test's files).
void killSurvivors(const Strings& survivors)
{
    for (const std::string& survivor : survivors)
        kill(std::stoi(survivor), SIGKILL);
}

// A script for sh that starts a process which leaves the command's process group
// and session (setsid), waits until it has, writes READY, then goes on with `rest`.
// The folder's files stand for READY and ESCAPED.
std::string escapingScript(const TempDir& dir, const std::string& rest)
{
    const std::string escaped = dir.path() + "/escaped";
    return "setsid sh -c 'echo > " + escaped + "; exec sleep 60' >/dev/null 2>&1 & while ! test -e " + escaped +
        "; do sleep 0.05; done; echo > " + dir.path() + "/ready; " + rest;
}

// Starts `ledsim` with no terminal (so only a signal can end its command) running
// `script` in sh with `token` in its environment; true once the script has written
// READY (within 10 s).
bool startDetachedLedsim(BackgroundProcess& ledsim, const TempDir& dir, const std::string& script,
                         const std::string& token)
{
    return ledsim.start({ledsimProgram(), "-j", "/dev/null", "--", "sh", "-c", script}, {token}, "/dev/null", false,
                        [] { return setsid() >= 0; }) &&
        quorvel::robustness::eventually([&] { return access((dir.path() + "/ready").c_str(), F_OK) == 0; }, 10s);
}

TEST_F(LedsimProgram, NothingTheCommandStartedOutlivesItsNormalEndOrTimeout)
{
    {
        TempDir dir;
        const std::string token = freshToken();
        const RunResult run = runHostProgram(
            {ledsimProgram(), "-j", "/dev/null", "--", "sh", "-c", escapingScript(dir, "exit 3")}, 30s, {token});
        EXPECT_EQ(run.exitStatus, 3) << run.err;
        const Strings left = processesCarrying(token);
        EXPECT_TRUE(left.empty()) << "outlived ledsim's normal end: " << ::testing::PrintToString(left);
        killSurvivors(left);
    }
    {
        TempDir dir;
        const std::string token = freshToken();
        const RunResult run = runHostProgram(
            {ledsimProgram(), "-t", "1", "-j", "/dev/null", "--", "sh", "-c", escapingScript(dir, "sleep 60")}, 30s,
            {token});
        EXPECT_EQ(run.exitStatus, 124) << run.err;
        const Strings left = processesCarrying(token);
        EXPECT_TRUE(left.empty()) << "outlived ledsim's timeout: " << ::testing::PrintToString(left);
        killSurvivors(left);
    }
}

TEST_F(LedsimProgram, EndsTheCommandAndWhatItStartedWhenStopped)
{
    TempDir dir;
    BackgroundProcess ledsim;
    const std::string token = freshToken();
    ASSERT_TRUE(startDetachedLedsim(ledsim, dir, escapingScript(dir, "exec sleep 60"), token));
    EXPECT_EQ(ledsim.stop(SIGTERM, 10s), 128 + SIGTERM);
    // ledsim has reaped them: not even a zombie is left.
    const Strings left = processesCarrying(token);
    EXPECT_TRUE(left.empty()) << "outlived ledsim: " << ::testing::PrintToString(left);
    killSurvivors(left);
}

TEST_F(LedsimProgram, KilledOutrightItTakesTheCommandAndWhatItStartedWithIt)
{
    TempDir dir;
    BackgroundProcess ledsim;
    const std::string token = freshToken();
    // Besides the escaped process, the shell starts a child of its own and waits.
    ASSERT_TRUE(startDetachedLedsim(ledsim, dir, escapingScript(dir, "sleep 60 & wait"), token));
    // ledsim, the command's first process, the shell and the escaped process at least.
    ASSERT_GE(processesCarrying(token).size(), 4u) << "the command's processes are not all found";

    EXPECT_EQ(ledsim.stop(SIGKILL, 5s), 128 + SIGKILL);
    // The kernel ends them once ledsim is gone, and with the last of them the
    // private mount namespace and the mounts in it.
    Strings left;
    quorvel::robustness::eventually([&] { return (left = processesCarrying(token)).empty(); }, 5s);
    EXPECT_TRUE(left.empty()) << "outlived ledsim's SIGKILL: " << ::testing::PrintToString(left);
    killSurvivors(left);
}

TEST_F(LedsimProgram, TheCommandSeesItsOwnPidsInProc)
{
    // The command's pid namespace has a /proc of its own: its pids and /proc agree.
    const RunResult run =
        runHostProgram({ledsimProgram(), "-j", "/dev/null", "--", "sh", "-c", "cat /proc/$$/comm /proc/1/comm"}, 30s);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "sh\nledsim\n");
}

TEST_F(LedsimProgram, TheCommandInheritsNoDescriptorOfLedsims)
{
    // ledsim holds its output files, the FUSE device and the pipes to the command's
    // first process while the command runs; the command gets its standard three only.
    // ledsim starts with those three alone (what the test inherited is not its to
    // close); the shell lists its own descriptors through ls, whose own are not the
    // shell's.
    TempDir dir;
    const RunResult run = runHostProgram({ledsimProgram(), "-j", dir.path() + "/journal", "-P", dir.path() + "/run.svg",
                                          "--", "sh", "-c", "ls /proc/$$/fd; true"},
                                         30s, {}, [] { return close_range(3, ~0U, 0) == 0; });
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "0\n1\n2\n");
}

} // namespace
