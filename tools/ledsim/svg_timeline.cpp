// Drawing the timeline: the values are replayed change by change, each LED's rows
// are cut into stretches of constant state, and each stretch becomes rectangles.
#include "svg_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ledsim {

namespace {

const double LABEL_WIDTH = 160;
const double PLOT_WIDTH = 960;
const double LANE_HEIGHT = 26;
// Room under each lane for the blink labels.
const double LANE_GAP = 18;
const double TOP = 44;
const double AXIS_HEIGHT = 30;
const double LEGEND_HEIGHT = 30;
const char* const OFF_COLOR = "#000000";
const char* const PAGE_COLOR = "#f4f4f4";
const char* const FRAME_COLOR = "#444444";
// A colour shown for less than this many pixels of a lane in all (the passing
// yellow between green and orange when red is written first) gets no swatch.
const double VISIBLE_PX = 1;
// A blink with more phases than this in one stretch is drawn as its average.
const double MAX_PHASES_PER_STRETCH = 4000;

struct Stretch {
    double startMs = 0;
    double endMs = 0;
    LedRow row;
    double blinkSinceMs = 0; // the blink pattern starts its cycles here
};

std::string number(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", value);
    // Trailing zeros say nothing.
    std::string result = text;
    while (result.back() == '0')
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result;
}

std::string escaped(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default:
            // Control bytes are not allowed in XML 1.0.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                result += ' ';
            else
                result += c;
        }
    }
    return result;
}

// The heading: runs of blanks as one, cut to what fits across the picture.
std::string heading(const std::string& title)
{
    const size_t MAX_LENGTH = 150;
    std::string text;
    for (const char c : title) {
        const bool blank = c == ' ' || c == '\t' || c == '\n';
        if (blank && (text.empty() || text.back() == ' '))
            continue;
        text += blank ? ' ' : c;
    }
    if (text.size() > MAX_LENGTH)
        text = text.substr(0, MAX_LENGTH - 3) + "...";
    return text;
}

bool lit(const LedRow& row)
{
    return !(row.color == Rgb{});
}

// The stretches of every lane, lane by lane in row order.
std::vector<std::vector<Stretch>> stretchesOf(const Profile& profile, const std::vector<ValueChange>& changes,
                                              double endMs)
{
    Values values = initialValues(profile);
    std::vector<LedRow> rows = ledRows(profile, values);
    std::vector<std::vector<Stretch>> lanes(rows.size());
    for (size_t lane = 0; lane < rows.size(); ++lane)
        lanes[lane].push_back(Stretch{0, endMs, rows[lane], 0});
    for (const ValueChange& change : changes) {
        values[change.path] = change.value;
        const std::vector<LedRow> now = ledRows(profile, values);
        const double at = std::clamp(change.ms, 0.0, endMs);
        for (size_t lane = 0; lane < now.size(); ++lane) {
            Stretch& last = lanes[lane].back();
            if (last.row == now[lane])
                continue;
            // A blink keeps its phase through colour changes; a new pattern restarts it.
            const double since = last.row.blink == now[lane].blink ? last.blinkSinceMs : at;
            last.endMs = at;
            lanes[lane].push_back(Stretch{at, endMs, now[lane], since});
        }
    }
    // Empty stretches draw nothing, but a lane keeps its last one: a run that ended
    // at once still has its lanes, each showing the state it ended in.
    for (auto& lane : lanes) {
        const Stretch ending = lane.back();
        lane.erase(std::remove_if(lane.begin(), lane.end(), [](const Stretch& s) { return s.endMs <= s.startMs; }),
                   lane.end());
        if (lane.empty())
            lane.push_back(ending);
    }
    return lanes;
}

class Drawing {
public:
    explicit Drawing(double endMs)
        : mScale(PLOT_WIDTH / std::max(endMs, 1.0))
    {
    }

    void rect(const std::string& led, const char* state, double startMs, double endMs, double y,
              const std::string& fill, const std::string& extra = "")
    {
        mText += "<rect data-led=\"" + led + "\" data-state=\"" + state + "\" data-start-ms=\"" + number(startMs) +
            "\" data-end-ms=\"" + number(endMs) + "\" x=\"" + number(x(startMs)) + "\" y=\"" + number(y) +
            "\" width=\"" + number((endMs - startMs) * mScale) + "\" height=\"" + number(LANE_HEIGHT) + "\" fill=\"" +
            fill + "\"" + extra + "/>\n";
    }

    void stretch(const Stretch& s, double y)
    {
        const std::string& led = s.row.name;
        const std::string color = hexColor(s.row.color);
        const BlinkPattern& blink = s.row.blink;
        if (!blink.blinking || !lit(s.row) || blink.onMs <= 0) {
            rect(led, lit(s.row) && !blink.blinking ? "on" : "off", s.startMs, s.endMs, y,
                 lit(s.row) && !blink.blinking ? color : OFF_COLOR);
            return;
        }
        if ((s.endMs - s.startMs) / blink.periodMs > MAX_PHASES_PER_STRETCH) {
            rect(led, "blink-dense", s.startMs, s.endMs, y, color,
                 " fill-opacity=\"" + number(blink.onMs / blink.periodMs) + "\"");
            return;
        }
        // The dark phases are the stretch's ground; each lit phase is drawn on it.
        rect(led, "off", s.startMs, s.endMs, y, OFF_COLOR);
        double cycle = s.blinkSinceMs + std::floor((s.startMs - s.blinkSinceMs) / blink.periodMs) * blink.periodMs;
        for (; cycle < s.endMs; cycle += blink.periodMs) {
            const double from = std::max(cycle, s.startMs);
            const double to = std::min(cycle + blink.onMs, s.endMs);
            if (to > from)
                rect(led, "blink-on", from, to, y, color);
        }
    }

    // Under a blinking stretch, where its pattern starts: the period and lit time
    // (or the board's own rate).
    void blinkLabel(const Stretch& s, double y)
    {
        mText += "<text data-blink-label=\"" + s.row.name + "\" x=\"" + number(x(s.startMs)) + "\" y=\"" +
            number(y + LANE_HEIGHT + 12) + "\" font-size=\"10\">blink " + blinkText(s.row.blink) + "</text>\n";
    }

    double x(double ms) const { return LABEL_WIDTH + ms * mScale; }
    std::string& text() { return mText; }

private:
    double mScale;
    std::string mText;
};

// About ten ticks at 1, 2 or 5 times a power of ten.
double tickStep(double endMs)
{
    const double rough = std::max(endMs, 1.0) / 10;
    const double power = std::pow(10, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough)
            return factor * power;
    }
    return 10 * power;
}

bool blinkingLit(const Stretch& s)
{
    return s.row.blink.blinking && lit(s.row);
}

// The colours a lane shows for at least VISIBLE_PX in all, in order of first use; a
// blink counts its lit share.
std::vector<std::string> visibleColors(const std::vector<Stretch>& lane, const Drawing& drawing)
{
    std::vector<std::pair<std::string, double>> shown; // colour, lit pixels
    for (const Stretch& stretch : lane) {
        if (!lit(stretch.row))
            continue;
        const BlinkPattern& blink = stretch.row.blink;
        const double share = blink.blinking ? blink.onMs / blink.periodMs : 1.0;
        const double px = (drawing.x(stretch.endMs) - drawing.x(stretch.startMs)) * share;
        const std::string color = hexColor(stretch.row.color);
        auto it = std::find_if(shown.begin(), shown.end(), [&](const auto& seen) { return seen.first == color; });
        if (it == shown.end())
            shown.emplace_back(color, px);
        else
            it->second += px;
    }
    std::vector<std::string> colors;
    for (const auto& [color, px] : shown) {
        if (px >= VISIBLE_PX)
            colors.push_back(color);
    }
    return colors;
}

// Which drawing means what, in one row under the time axis.
std::string legend(double y)
{
    struct Entry {
        const char* state;
        const char* fill;
        const char* extra;
        const char* text;
    };
    static const Entry ENTRIES[] = {
        {"on", "#808080", "", "lit, in the colour the LED had"},
        {"off", OFF_COLOR, "", "off (dark)"},
        {"blink-on", "#808080", "", "blinking: each lit phase drawn, its pattern written under it"},
        {"blink-dense", "#808080", " fill-opacity=\"0.5\"", "blink too fast to draw: its average"},
    };
    std::string text = "<g data-legend=\"\">\n";
    double x = 10;
    for (const Entry& entry : ENTRIES) {
        const bool phases = std::string(entry.state) == "blink-on";
        if (phases) {
            text += "<rect data-legend-state=\"blink-on\" x=\"" + number(x) + "\" y=\"" + number(y) +
                "\" width=\"24\" height=\"12\" fill=\"" + OFF_COLOR + "\"/>\n";
            for (const double phase : {0.0, 8.0, 16.0})
                text += "<rect x=\"" + number(x + phase) + "\" y=\"" + number(y) +
                    "\" width=\"4\" height=\"12\" fill=\"" + entry.fill + "\"/>\n";
        } else {
            text += "<rect data-legend-state=\"" + std::string(entry.state) + "\" x=\"" + number(x) + "\" y=\"" +
                number(y) + "\" width=\"24\" height=\"12\" fill=\"" + entry.fill + "\"" + entry.extra + "/>\n";
        }
        text += "<text x=\"" + number(x + 30) + "\" y=\"" + number(y + 10) + "\">" + entry.text + "</text>\n";
        x += 30 + 6.5 * static_cast<double>(std::string(entry.text).size()) + 24;
    }
    return text + "</g>\n";
}

std::string tickLabel(double ms, double step)
{
    if (step >= 100)
        return number(ms / 1000) + " s";
    return number(ms) + " ms";
}

// The document's opening: its size, the title and the page under the lanes.
std::string prologue(double width, double height, double endMs, const std::string& title)
{
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) + "\" height=\"" + number(height) +
        "\" viewBox=\"0 0 " + number(width) + " " + number(height) + "\" data-end-ms=\"" + number(endMs) +
        "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + escaped(heading(title)) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"" + std::string(PAGE_COLOR) + "\"/>\n";
    svg += "<text x=\"10\" y=\"24\" font-size=\"14\">" + escaped(heading(title)) + "</text>\n";
    return svg;
}

// One LED's lane at Y: its name, the swatches of the colours it showed, its
// stretches and its outline.
void drawLane(Drawing& drawing, const std::vector<Stretch>& lane, double y)
{
    std::string& svg = drawing.text();
    const std::string& name = lane.front().row.name;
    svg += "<g data-lane=\"" + name + "\">\n";
    svg += "<text x=\"10\" y=\"" + number(y + 11) + "\">" + name + "</text>\n";
    const std::vector<std::string> colors = visibleColors(lane, drawing);
    for (size_t i = 0; i < colors.size() && i < 12; ++i)
        svg += "<rect data-swatch=\"" + name + "\" x=\"" + number(10 + 11 * static_cast<double>(i)) + "\" y=\"" +
            number(y + 15) + "\" width=\"9\" height=\"9\" fill=\"" + colors[i] + "\" stroke=\"#444\"/>\n";
    const Stretch* previous = nullptr;
    for (const Stretch& stretch : lane) {
        drawing.stretch(stretch, y);
        // A colour change keeps the pattern: labelled once, where it starts.
        if (blinkingLit(stretch) && !(previous && blinkingLit(*previous) && previous->row.blink == stretch.row.blink))
            drawing.blinkLabel(stretch, y);
        previous = &stretch;
    }
    // The lane's outline: a light lit in white or a pale grey would otherwise melt
    // into the page around it.
    svg += "<rect data-lane-frame=\"" + name + "\" x=\"" + number(drawing.x(0)) + "\" y=\"" + number(y) +
        "\" width=\"" + number(PLOT_WIDTH) + "\" height=\"" + number(LANE_HEIGHT) + "\" fill=\"none\" stroke=\"" +
        FRAME_COLOR + "\"/>\n";
    svg += "</g>\n";
}

// The time axis at Y, with its ticks and their labels.
std::string timeAxis(const Drawing& drawing, double y, double endMs)
{
    std::string svg = "<g data-axis=\"time\" stroke=\"#444\">\n";
    svg += "<line x1=\"" + number(drawing.x(0)) + "\" y1=\"" + number(y) + "\" x2=\"" + number(drawing.x(endMs)) +
        "\" y2=\"" + number(y) + "\"/>\n";
    const double step = tickStep(endMs);
    for (double tick = 0; tick <= endMs + step / 1000; tick += step) {
        const std::string x = number(drawing.x(std::min(tick, endMs)));
        svg += "<line x1=\"" + x + "\" y1=\"" + number(y) + "\" x2=\"" + x + "\" y2=\"" + number(y + 5) + "\"/>\n";
        svg += "<text stroke=\"none\" text-anchor=\"middle\" x=\"" + x + "\" y=\"" + number(y + 18) + "\">" +
            tickLabel(tick, step) + "</text>\n";
    }
    return svg + "</g>\n";
}

} // namespace

std::string renderSvgTimeline(const Profile& profile, const std::vector<ValueChange>& changes, double endMs,
                              const std::string& title)
{
    endMs = std::max(endMs, 0.0);
    const auto lanes = stretchesOf(profile, changes, endMs);
    const double width = LABEL_WIDTH + PLOT_WIDTH + 20;
    const double height =
        TOP + static_cast<double>(lanes.size()) * (LANE_HEIGHT + LANE_GAP) + AXIS_HEIGHT + LEGEND_HEIGHT;

    Drawing drawing(endMs);
    std::string& svg = drawing.text();
    svg += prologue(width, height, endMs, title);
    for (size_t lane = 0; lane < lanes.size(); ++lane)
        drawLane(drawing, lanes[lane], TOP + static_cast<double>(lane) * (LANE_HEIGHT + LANE_GAP));
    const double axisY = TOP + static_cast<double>(lanes.size()) * (LANE_HEIGHT + LANE_GAP);
    svg += timeAxis(drawing, axisY, endMs);
    svg += legend(axisY + AXIS_HEIGHT + 4);
    svg += "</svg>\n";
    return svg;
}

} // namespace ledsim
