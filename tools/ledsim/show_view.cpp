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
    : profile_(profile)
    , timeline_(timeline)
    , out_(out)
{
}

ShowView::~ShowView()
{
    if (thread_.joinable())
        stop();
}

std::string ShowView::terminalRow(const LedRow& row)
{
    char name[24];
    snprintf(name, sizeof name, "%-20s", row.name.c_str());
    char swatch[48];
    snprintf(swatch, sizeof swatch, "\x1b[48;2;%d;%d;%dm", row.color.red, row.color.green, row.color.blue);
    std::string line = std::string(name) + swatch + std::string(SWATCH_WIDTH, ' ') + "\x1b[0m " + hexColor(row.color)
        + "  brightness " + std::to_string(row.brightness) + "  blink " + blinkText(row.blink);
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
    Values values = initialValues(profile_);
    const std::vector<ValueChange> changes = timeline_.changes();
    for (size_t i = 0; i < changes.size() && i < count; ++i)
        values[changes[i].path] = changes[i].value;
    return ledRows(profile_, values);
}

void ShowView::start()
{
    shown_ = ledRows(profile_, initialValues(profile_));
    struct winsize size {};
    terminal_ = isatty(fileno(out_)) && ioctl(fileno(out_), TIOCGWINSZ, &size) == 0
        && size.ws_row > static_cast<int>(shown_.size()) + HEADING_LINES + 4;
    if (terminal_) {
        screenRows_ = size.ws_row;
        const int panelLines = HEADING_LINES + static_cast<int>(shown_.size()) + 1;
        // Clear the screen, keep the panel's lines out of the scrolling region and
        // put the cursor at the region's top for the command's output.
        fprintf(out_, "\x1b[H\x1b[2J\x1b[%d;%dr\x1b[%d;1H", panelLines + 1, screenRows_, panelLines + 1);
        drawTerminal(shown_, 0);
    } else {
        for (const std::string& line : changedLines(0, {}, shown_))
            fprintf(out_, "%s\n", line.c_str());
        fflush(out_);
    }
    thread_ = std::thread([this] { run(); });
}

void ShowView::run()
{
    size_t seen = 0;
    while (!timeline_.stopped()) {
        const size_t count = timeline_.waitForMore(seen, std::chrono::milliseconds(200));
        if (count == seen)
            continue;
        seen = count;
        const std::vector<LedRow> rows = rowsAfter(seen);
        if (rows == shown_)
            continue; // a write that changed nothing one can see
        const double ms = timeline_.changes()[seen - 1].ms;
        if (terminal_) {
            drawTerminal(rows, ms);
        } else {
            for (const std::string& line : changedLines(ms, shown_, rows))
                fprintf(out_, "%s\n", line.c_str());
            fflush(out_);
        }
        shown_ = rows;
    }
}

void ShowView::drawTerminal(const std::vector<LedRow>& rows, double ms)
{
    // Save the cursor (it belongs to the command's output), draw, restore it.
    std::string text = "\x1b" "7\x1b[1;1H\x1b[2K\x1b[1mledsim\x1b[0m  last change " + seconds(ms);
    for (size_t i = 0; i < rows.size(); ++i)
        text += "\x1b[" + std::to_string(HEADING_LINES + 1 + i) + ";1H\x1b[2K" + terminalRow(rows[i]);
    text += "\x1b" "8";
    fputs(text.c_str(), out_);
    fflush(out_);
}

void ShowView::stop()
{
    timeline_.stop();
    if (thread_.joinable())
        thread_.join();
    const std::vector<LedRow> rows = rowsAfter(SIZE_MAX);
    const std::vector<ValueChange> changes = timeline_.changes();
    const double ms = changes.empty() ? 0 : changes.back().ms;
    if (terminal_) {
        drawTerminal(rows, ms);
        // The whole screen scrolls again; what follows starts on the last line.
        fprintf(out_, "\x1b[r\x1b[%d;1H\n", screenRows_);
    } else {
        for (const std::string& line : changedLines(ms, shown_, rows))
            fprintf(out_, "%s\n", line.c_str());
    }
    fflush(out_);
    shown_ = rows;
}

} // namespace ledsim
