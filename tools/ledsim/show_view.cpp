// The live view. The panel is redrawn from the values after every batch of writes;
// the drawing thread is the only one that writes to the view's stream.
#include "show_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace ledsim {

namespace {

// The panel: a heading and one line per LED, then a blank line above the command's
// scrolling region.
const int HEADING_LINES = 1;
const int SWATCH_WIDTH = 8;

std::string seconds(double ms)
{
    char text[32];
    snprintf(text, sizeof text, "+%.3f s", ms / 1000);
    return text;
}

} // namespace

ShowView::ShowView(const Profile& profile, ValueTimeline& timeline, FILE* out)
    : mProfile(profile)
    , mTimeline(timeline)
    , mOut(out)
{
}

ShowView::~ShowView()
{
    if (mThread.joinable())
        stop();
}

std::string ShowView::terminalRow(const LedRow& row)
{
    char name[24];
    snprintf(name, sizeof name, "%-20s", row.name.c_str());
    char swatch[48];
    snprintf(swatch, sizeof swatch, "\x1b[48;2;%d;%d;%dm", row.color.red, row.color.green, row.color.blue);
    std::string line = std::string(name) + swatch + std::string(SWATCH_WIDTH, ' ') + "\x1b[0m " + hexColor(row.color) +
        "  brightness " + std::to_string(row.brightness) + "  blink " + blinkText(row.blink);
    if (!row.extra.empty())
        line += "  " + row.extra;
    return line;
}

std::vector<std::string> ShowView::changedLines(double ms, const std::vector<LedRow>& before,
                                                const std::vector<LedRow>& after)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < after.size(); ++i) {
        if (i >= before.size() || !(before[i] == after[i]))
            lines.push_back(seconds(ms) + " " + describeRow(after[i]));
    }
    return lines;
}

std::vector<LedRow> ShowView::rowsAfter(size_t count)
{
    Values values = initialValues(mProfile);
    const std::vector<ValueChange> changes = mTimeline.changes();
    for (size_t i = 0; i < changes.size() && i < count; ++i)
        values[changes[i].path] = changes[i].value;
    return ledRows(mProfile, values);
}

void ShowView::start()
{
    mShown = ledRows(mProfile, initialValues(mProfile));
    struct winsize size {};
    mTerminal = isatty(fileno(mOut)) && ioctl(fileno(mOut), TIOCGWINSZ, &size) == 0 &&
        size.ws_row > static_cast<int>(mShown.size()) + HEADING_LINES + 4;
    if (mTerminal) {
        mScreenRows = size.ws_row;
        const int panelLines = HEADING_LINES + static_cast<int>(mShown.size()) + 1;
        // Clear the screen, keep the panel's lines out of the scrolling region and
        // put the cursor at the region's top for the command's output.
        fprintf(mOut, "\x1b[H\x1b[2J\x1b[%d;%dr\x1b[%d;1H", panelLines + 1, mScreenRows, panelLines + 1);
        drawTerminal(mShown, 0);
    } else {
        for (const std::string& line : changedLines(0, {}, mShown))
            fprintf(mOut, "%s\n", line.c_str());
        fflush(mOut);
    }
    mThread = std::thread([this] { run(); });
}

void ShowView::run()
{
    size_t seen = 0;
    while (!mTimeline.stopped()) {
        const size_t count = mTimeline.waitForMore(seen, std::chrono::milliseconds(200));
        if (count == seen)
            continue;
        seen = count;
        const std::vector<LedRow> rows = rowsAfter(seen);
        if (rows == mShown)
            continue; // a write that changed nothing one can see
        const double ms = mTimeline.changes()[seen - 1].ms;
        if (mTerminal) {
            drawTerminal(rows, ms);
        } else {
            for (const std::string& line : changedLines(ms, mShown, rows))
                fprintf(mOut, "%s\n", line.c_str());
            fflush(mOut);
        }
        mShown = rows;
    }
}

void ShowView::drawTerminal(const std::vector<LedRow>& rows, double ms)
{
    // Save the cursor (it belongs to the command's output), draw, restore it.
    std::string text = "\x1b"
                       "7\x1b[1;1H\x1b[2K\x1b[1mledsim\x1b[0m  last change " +
        seconds(ms);
    for (size_t i = 0; i < rows.size(); ++i)
        text += "\x1b[" + std::to_string(HEADING_LINES + 1 + i) + ";1H\x1b[2K" + terminalRow(rows[i]);
    text += "\x1b"
            "8";
    fputs(text.c_str(), mOut);
    fflush(mOut);
}

void ShowView::stop()
{
    mTimeline.stop();
    if (mThread.joinable())
        mThread.join();
    const std::vector<LedRow> rows = rowsAfter(SIZE_MAX);
    const std::vector<ValueChange> changes = mTimeline.changes();
    const double ms = changes.empty() ? 0 : changes.back().ms;
    if (mTerminal) {
        drawTerminal(rows, ms);
        // The whole screen scrolls again; what follows starts on the last line.
        fprintf(mOut, "\x1b[r\x1b[%d;1H\n", mScreenRows);
    } else {
        for (const std::string& line : changedLines(ms, mShown, rows))
            fprintf(mOut, "%s\n", line.c_str());
    }
    fflush(mOut);
    mShown = rows;
}

} // namespace ledsim
