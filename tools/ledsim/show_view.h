// ledsim --show: the board's LEDs drawn live while the command runs. On a terminal
// the rows stay at the top of the screen (the command's output scrolls below them)
// with each colour as a 24-bit colour swatch; elsewhere each change is one line of
// plain text.
#pragma once

#include "led_panel.h"
#include "value_timeline.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace ledsim {

class ShowView {
public:
    // Draws to `out`, which must stay open until stop() returns.
    ShowView(const Profile& profile, ValueTimeline& timeline, FILE* out);
    ShowView(const ShowView&) = delete;
    ShowView& operator=(const ShowView&) = delete;
    ~ShowView();

    void start();
    // Draws the final state, gives the terminal its whole screen back and joins.
    void stop();

    // One row of the terminal panel, escape sequences included, at most `columns`
    // wide on screen: on a narrow terminal the swatch narrows, then the last fields
    // (extra state, blink, brightness) go, then the name is cut.
    static std::string terminalRow(const LedRow& row, size_t columns);
    // The plain lines for the rows that differ from `before` ("+1.250 s " and the row).
    static std::vector<std::string> changedLines(double ms, const std::vector<LedRow>& before,
                                                 const std::vector<LedRow>& after);

private:
    void run();
    // Shows the changes not shown yet: in plain text each one that changed what the
    // LEDs look like, on a terminal their end state.
    void catchUp(bool redraw);
    void drawTerminal(const std::vector<LedRow>& rows, double ms);

    const Profile mProfile;
    ValueTimeline& mTimeline;
    FILE* mOut;
    bool mTerminal = false;
    int mScreenRows = 0;
    Values mValues; // after the first mApplied changes
    size_t mApplied = 0;
    std::vector<LedRow> mShown;
    std::thread mThread;
};

} // namespace ledsim
