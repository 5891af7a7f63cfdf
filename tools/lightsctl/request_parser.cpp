// Parsing of lightsctl requests; apart from main so that it is testable.
#include "request_parser.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace lightsctl {

namespace {

const char* const LIGHT_NAMES[] = {"backlight", "keyboard", "buttons", "battery", "notifications", "attention"};
const char* const OPTION_WORDS = "flash, trackball, mode, auto, brightness";

bool isKeyword(const std::string& word)
{
    return word == "flash" || word == "trackball" || word == "mode" || word == "auto" || word == "brightness";
}

bool allDigits(const std::string& text, size_t from, int base)
{
    if (from >= text.size())
        return false;
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        const bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !(base == 16 && hex))
            return false;
    }
    return true;
}

} // namespace

bool isKnownLight(const std::string& word)
{
    for (const char* light : LIGHT_NAMES) {
        if (word == light)
            return true;
    }
    return false;
}

bool parseInt32(const std::string& text, int32_t& value)
{
    const size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (!allDigits(text, start, 10) || text.size() > 12)
        return false;
    errno = 0;
    const long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool parseColor(const std::string& text, uint32_t& color)
{
    int base = 10;
    size_t start = 0;
    if (!text.empty() && text[0] == '#') {
        // The CSS forms: #RGB stands for #RRGGBB; #AARRGGBB carries the (ignored)
        // alpha byte. Other lengths would be guesses.
        const size_t digits = text.size() - 1;
        if (!allDigits(text, 1, 16) || (digits != 3 && digits != 6 && digits != 8))
            return false;
        if (digits == 3) {
            const std::string expanded = {text[1], text[1], text[2], text[2], text[3], text[3]};
            color = static_cast<uint32_t>(strtoul(expanded.c_str(), nullptr, 16));
        } else {
            color = static_cast<uint32_t>(strtoul(text.c_str() + 1, nullptr, 16));
        }
        return true;
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (!allDigits(text, start, base) || text.size() - start > (base == 16 ? 8 : 10))
        return false;
    errno = 0;
    const unsigned long long parsed = strtoull(text.c_str() + start, nullptr, base);
    if (errno != 0 || parsed > UINT32_MAX)
        return false;
    color = static_cast<uint32_t>(parsed);
    return true;
}

bool parseRequests(const std::vector<std::string>& words, std::vector<Request>& requests, std::string& error)
{
    requests.clear();
    size_t i = 0;
    auto number = [&](const std::string& what, int32_t& value) {
        if (i >= words.size()) {
            error = "missing " + what + " after \"" + words[i - 1] + "\"";
            return false;
        }
        if (!parseInt32(words[i], value)) {
            error = what + " \"" + words[i] + "\" is not a 32-bit integer";
            return false;
        }
        ++i;
        return true;
    };
    while (i < words.size()) {
        Request request;
        request.light = words[i++];
        // Where a light name belongs, name what came instead: an option without its
        // request, a colour without its light (a forgotten module or light name), or
        // a word that is neither an option nor a light followed by a colour.
        const std::string after = requests.empty() ? "" : " after the request to \"" + requests.back().light + "\"";
        uint32_t ignored = 0;
        if (isKeyword(request.light)) {
            error = "expected a light name, not \"" + request.light + "\" (an option of a request: it follows " +
                "LIGHT COLOR)";
            return false;
        }
        if (parseColor(request.light, ignored)) {
            error = "expected a light name, not the colour \"" + request.light + "\"" + after;
            if (requests.empty())
                error += " (is the MODULE or the LIGHT missing?)";
            else if (!isKnownLight(requests.back().light))
                error += " (\"" + requests.back().light + "\" is not a light the modules know: a misspelt option?)";
            return false;
        }
        const bool known = isKnownLight(request.light);
        if (!known && (i >= words.size() || !parseColor(words[i], ignored))) {
            error = "unknown word \"" + request.light + "\"" + after + ": neither an option (" + OPTION_WORDS +
                ") nor a light name followed by a colour";
            return false;
        }
        if (i >= words.size()) {
            error = "missing colour after light \"" + request.light + "\"";
            return false;
        }
        if (!parseColor(words[i], request.state.color)) {
            error = "colour \"" + words[i] + "\" is not a 32-bit number (0xAARRGGBB, #RGB, #RRGGBB, #AARRGGBB or " +
                "decimal) for light \"" + request.light + "\"";
            return false;
        }
        ++i;
        while (i < words.size() && isKeyword(words[i])) {
            const std::string keyword = words[i++];
            LightState& state = request.state;
            if (keyword == "flash") {
                state.flash_mode = LIGHT_FLASH_TIMED;
                if (!number("on time", state.on_ms) || !number("off time", state.off_ms))
                    return false;
            } else if (keyword == "trackball") {
                state.flash_mode = LIGHT_FLASH_TRACKBALL_MODE;
                if (!number("trackball mode", state.on_ms))
                    return false;
            } else if (keyword == "mode") {
                if (!number("flash mode", state.flash_mode) || !number("on time", state.on_ms) ||
                    !number("off time", state.off_ms))
                    return false;
            } else if (keyword == "auto") {
                state.brightness_mode = 1;
            } else if (keyword == "brightness") {
                if (!number("brightness mode", state.brightness_mode))
                    return false;
            }
        }
        requests.push_back(request);
    }
    if (requests.empty()) {
        error = "no request given";
        return false;
    }
    return true;
}

std::string describe(const LightState& state)
{
    char text[128];
    snprintf(text, sizeof text, "color=0x%08x flash=%d on=%d off=%d brightness=%d", state.color,
             static_cast<int>(state.flash_mode), static_cast<int>(state.on_ms), static_cast<int>(state.off_ms),
             static_cast<int>(state.brightness_mode));
    return text;
}

} // namespace lightsctl
