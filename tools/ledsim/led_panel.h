// What a board's LEDs look like, read from its attribute values: one row per LED
// with the colour it shows, its raw brightness and its blink pattern. Shared by the
// live view and the picture of a run.
#pragma once

#include "led_tree.h"

#include <map>
#include <string>
#include <vector>

namespace ledsim {

struct Rgb {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const Rgb&) const = default;
};

// Blinking as the attributes describe it: the period in 50 ms steps (grpfreq) and
// the lit share of it on a 0-255 scale (grppwm). An LED whose board has no timing
// attributes blinks at its own rate, drawn as OWN_RATE_PERIOD_MS, half lit.
struct BlinkPattern {
    bool blinking = false;
    bool ownRate = false;
    double periodMs = 0;
    double onMs = 0;
    bool operator==(const BlinkPattern&) const = default;
};

inline constexpr double PERIOD_STEP_MS = 50;
inline constexpr double OWN_RATE_PERIOD_MS = 1000;

struct LedRow {
    std::string name;
    Rgb color; // what the LED shows while lit; black when off
    int brightness = 0; // the stored value
    BlinkPattern blink;
    std::string extra; // further state worth showing ("auto 1")
    bool operator==(const LedRow&) const = default;
};

// Stored bytes by tree path ("/red/brightness" -> "255\n").
using Values = std::map<std::string, std::string>;

// Every file of the profile at its start value.
Values initialValues(const Profile& profile);

// The LEDs of the board in a fixed order: the indicator (red, green and blue as one
// swatch; an amber board's amber and green LEDs apart), the trackball light, then
// the LCD, keyboard and button backlights as grey levels.
std::vector<LedRow> ledRows(const Profile& profile, const Values& values);

// "#rrggbb"
std::string hexColor(const Rgb& color);

// "off", "1000 ms period, 498 ms on", "own rate"
std::string blinkText(const BlinkPattern& blink);

// "indicator #ff0000 brightness 255 blink off"
std::string describeRow(const LedRow& row);

} // namespace ledsim
