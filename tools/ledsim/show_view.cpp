// The live view. The panel is redrawn from the values after every batch of writes;
// the drawing thread is the only one that writes to the view's stream.
#include "show_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ledsim {

namespace {

// The panel: a heading and one line per LED, then a blank line above the command's
// scrolling region.
const int HEADING_LINES = 1;
// The longest name (keyboard-backlight) and a blank.
const size_t NAME_WIDTH = 19;
const size_t SWATCH_WIDTH = 8;
const size_t NARROWEST_SWATCH = 2;
// When the terminal does not say.
const size_t DEFAULT_COLUMNS = 80;

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

std::string ShowView::terminalRow(const LedRow& row, size_t columns)
{
    std::string name = row.name;
    name.resize(NAME_WIDTH, ' ');
    if (columns < NAME_WIDTH + NARROWEST_SWATCH)
        return name.substr(0, columns);
    std::vector<std::string> fields = {" " + hexColor(row.color), "  brightness " + std::to_string(row.brightness),
                                       "  blink " + blinkText(row.blink)};
    if (!row.extra.empty())
        fields.push_back("  " + row.extra);
    // As many fields as fit beside the narrowest swatch; the swatch takes what is left.
    const size_t room = columns - NAME_WIDTH;
    std::string text;
    for (const std::string& field : fields) {
        if (NARROWEST_SWATCH + text.size() + field.size() > room)
            break;
        text += field;
    }
    const size_t swatchWidth = std::min(SWATCH_WIDTH, room - text.size());
    char swatch[48];
    snprintf(swatch, sizeof swatch, "\x1b[48;2;%d;%d;%dm", row.color.red, row.color.green, row.color.blue);
    return name + swatch + std::string(swatchWidth, ' ') + "\x1b[0m" + text;
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

void ShowView::start()
{
    mValues = initialValues(mProfile);
    mApplied = 0;
    mShown = ledRows(mProfile, mValues);
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
        catchUp(false);
    }
}

// Each change is replayed on its own: a batch of writes that arrived together (the
// red, green and blue of one colour, or a busy machine's late wake-up) must not
// hide the states between them from the plain-text lines.
void ShowView::catchUp(bool redraw)
{
    const std::vector<ValueChange> changes = mTimeline.changes();
    for (; mApplied < changes.size(); ++mApplied) {
        const ValueChange& change = changes[mApplied];
        mValues[change.path] = change.value;
        if (mTerminal)
            continue;
        const std::vector<LedRow> rows = ledRows(mProfile, mValues);
        if (rows == mShown)
            continue; // a write that changed nothing one can see
        for (const std::string& line : changedLines(change.ms, mShown, rows))
            fprintf(mOut, "%s\n", line.c_str());
        mShown = rows;
    }
    if (mTerminal) {
        const std::vector<LedRow> rows = ledRows(mProfile, mValues);
        if (redraw || rows != mShown)
            drawTerminal(rows, changes.empty() ? 0 : changes.back().ms);
        mShown = rows;
    }
    fflush(mOut);
}

void ShowView::drawTerminal(const std::vector<LedRow>& rows, double ms)
{
    // Asked each time: the terminal may have been resized since the last drawing.
    struct winsize size {};
    const size_t columns =
        ioctl(fileno(mOut), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : DEFAULT_COLUMNS;
    const std::string heading = ("ledsim  last change " + seconds(ms)).substr(0, columns);
    // Save the cursor (it belongs to the command's output), draw, restore it.
    std::string text = "\x1b"
                       "7\x1b[1;1H\x1b[2K\x1b[1m" +
        heading + "\x1b[0m";
    for (size_t i = 0; i < rows.size(); ++i)
        text += "\x1b[" + std::to_string(HEADING_LINES + 1 + i) + ";1H\x1b[2K" + terminalRow(rows[i], columns);
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
    catchUp(true);
    if (mTerminal) {
        // The whole screen scrolls again; what follows starts on the last line.
        fprintf(mOut, "\x1b[r\x1b[%d;1H\n", mScreenRows);
        fflush(mOut);
    }
}

} // namespace ledsim
