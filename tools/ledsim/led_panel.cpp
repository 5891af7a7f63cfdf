// Turning attribute values into LEDs: which files make up which LED and how their
// values become a colour and a blink pattern.
#include "led_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ledsim {

namespace {

// Amber/green boards have on/off LEDs: any value but 0 lights them fully.
const Rgb AMBER_LIT = {255, 160, 0};
const Rgb GREEN_LIT = {0, 255, 0};
const Rgb TRACKBALL_LIT = {160, 200, 255};

// The leading decimal number of a stored value; 0 for anything else.
int numberIn(const Values& values, const std::string& path)
{
    const auto it = values.find(path);
    if (it == values.end())
        return 0;
    const long value = strtol(it->second.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, -1000000000L, 1000000000L));
}

int channel(int value)
{
    return std::clamp(value, 0, 255);
}

Rgb grey(int value)
{
    const int level = channel(value);
    return {level, level, level};
}

Rgb litOrOff(int value, const Rgb& lit)
{
    return value != 0 ? lit : Rgb{};
}

BlinkPattern ownRate(bool blinking)
{
    BlinkPattern blink;
    if (blinking) {
        blink.blinking = true;
        blink.ownRate = true;
        blink.periodMs = OWN_RATE_PERIOD_MS;
        blink.onMs = OWN_RATE_PERIOD_MS / 2;
    }
    return blink;
}

// A period of 0 steps is shorter than one step; it is drawn as one.
BlinkPattern timed(bool blinking, int periodSteps, int duty)
{
    BlinkPattern blink;
    if (blinking) {
        blink.blinking = true;
        blink.periodMs = std::max(periodSteps, 1) * PERIOD_STEP_MS;
        blink.onMs = blink.periodMs * channel(duty) / 255.0;
    }
    return blink;
}

} // namespace

Values initialValues(const Profile& profile)
{
    Values values;
    for (const std::string& file : profileFiles(profile))
        values[file] = "0\n";
    return values;
}

std::vector<LedRow> ledRows(const Profile& profile, const Values& values)
{
    std::vector<LedRow> rows;
    if (!profile.amber) {
        LedRow indicator;
        indicator.name = "indicator";
        const int red = numberIn(values, "/red/brightness");
        const int green = numberIn(values, "/green/brightness");
        const int blue = numberIn(values, "/blue/brightness");
        indicator.color = {channel(red), channel(green), channel(blue)};
        indicator.brightness = std::max({red, green, blue});
        const bool blinking = numberIn(values, "/red/device/blink") != 0;
        indicator.blink = profile.blinkTiming
            ? timed(blinking, numberIn(values, "/red/device/grpfreq"), numberIn(values, "/red/device/grppwm"))
            : ownRate(blinking);
        rows.push_back(indicator);
    } else {
        // The blink attribute blinks whichever of the pair is lit.
        const BlinkPattern blink = ownRate(numberIn(values, "/amber/blink") != 0);
        const int amber = numberIn(values, "/amber/brightness");
        const int green = numberIn(values, "/green/brightness");
        rows.push_back(LedRow{"amber", litOrOff(amber, AMBER_LIT), amber, blink, ""});
        rows.push_back(LedRow{"green", litOrOff(green, GREEN_LIT), green, blink, ""});
    }
    if (profile.trackball) {
        const int mode = numberIn(values, "/jogball-backlight/brightness");
        rows.push_back(LedRow{"trackball", litOrOff(mode, TRACKBALL_LIT), mode,
                              ownRate(numberIn(values, "/jogball-backlight/blink") != 0), ""});
    }
    const int lcd = numberIn(values, "/lcd-backlight/brightness");
    rows.push_back(LedRow{"lcd-backlight",
                          grey(lcd),
                          lcd,
                          {},
                          profile.lcdAuto ? "auto " + std::to_string(numberIn(values, "/lcd-backlight/auto")) : ""});
    const int keyboard = numberIn(values, "/keyboard-backlight/brightness");
    rows.push_back(LedRow{"keyboard-backlight", grey(keyboard), keyboard, {}, ""});
    const int buttons = numberIn(values, "/button-backlight/brightness");
    rows.push_back(LedRow{"button-backlight", grey(buttons), buttons, {}, ""});
    return rows;
}

std::string hexColor(const Rgb& color)
{
    char text[8];
    snprintf(text, sizeof text, "#%02x%02x%02x", channel(color.red), channel(color.green), channel(color.blue));
    return text;
}

std::string blinkText(const BlinkPattern& blink)
{
    if (!blink.blinking)
        return "off";
    if (blink.ownRate)
        return "own rate";
    char text[64];
    snprintf(text, sizeof text, "%.0f ms period, %.0f ms on", blink.periodMs, blink.onMs);
    return text;
}

std::string describeRow(const LedRow& row)
{
    std::string text = row.name + " " + hexColor(row.color) + " brightness " + std::to_string(row.brightness) +
        " blink " + blinkText(row.blink);
    if (!row.extra.empty())
        text += " " + row.extra;
    return text;
}

} // namespace ledsim
