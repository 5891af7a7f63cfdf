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

    // One row of the terminal panel, escape sequences included.
    static std::string terminalRow(const LedRow& row);
    // The plain lines for the rows that differ from `before` ("+1.250 s " and the row).
    static std::vector<std::string> changedLines(double ms, const std::vector<LedRow>& before,
                                                 const std::vector<LedRow>& after);

private:
    void run();
    void drawTerminal(const std::vector<LedRow>& rows, double ms);
    std::vector<LedRow> rowsAfter(size_t count);

    const Profile mProfile;
    ValueTimeline& mTimeline;
    FILE* mOut;
    bool mTerminal = false;
    int mScreenRows = 0;
    std::vector<LedRow> mShown;
    std::thread mThread;
};

} // namespace ledsim
