// The request language of lightsctl: which light gets which LightState.
#pragma once

#include <quorvel/lights.h>

#include <string>
#include <vector>

namespace lightsctl {

struct Request {
    std::string light;
    LightState state{};
};

// Parses "LIGHT COLOR [flash ON OFF] [trackball CODE] [mode N ON OFF] [auto]
// [brightness N]", repeated. False with a message on bad input.
bool parseRequests(const std::vector<std::string>& words, std::vector<Request>& requests, std::string& error);

// Parses a signed 32-bit decimal number, nothing else.
bool parseInt32(const std::string& text, int32_t& value);

// One of the light names the modules know.
bool isKnownLight(const std::string& word);

// Parses a colour: 0xAARRGGBB (or shorter hex), #RGB (CSS: #F00 is #FF0000),
// #RRGGBB, #AARRGGBB or decimal.
bool parseColor(const std::string& text, uint32_t& color);

// "color=0x00ff0000 flash=1 on=500 off=500 brightness=0"
std::string describe(const LightState& state);

} // namespace lightsctl
