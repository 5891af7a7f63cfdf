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

// The words of the command line, read one after the other; the first error met is
// left in `error`.
struct WordReader {
    const std::vector<std::string>& words;
    size_t next;
    std::string& error;

    bool atEnd() const { return next >= words.size(); }

    // The next word as a 32-bit integer, called `what` in the error.
    bool number(const std::string& what, int32_t& value)
    {
        if (atEnd()) {
            error = "missing " + what + " after \"" + words[next - 1] + "\"";
            return false;
        }
        if (!parseInt32(words[next], value)) {
            error = what + " \"" + words[next] + "\" is not a 32-bit integer";
            return false;
        }
        ++next;
        return true;
    }
};

// Where a light name belongs, names what came instead: an option without its request,
// a colour without its light (a forgotten module or light name), or a word that is
// neither an option nor a light followed by a colour.
bool checkLightName(WordReader& reader, const std::string& light, const std::vector<Request>& earlier)
{
    const std::string after = earlier.empty() ? "" : " after the request to \"" + earlier.back().light + "\"";
    uint32_t ignored = 0;
    if (isKeyword(light)) {
        reader.error = "expected a light name, not \"" + light + "\" (an option of a request: it follows LIGHT COLOR)";
        return false;
    }
    if (parseColor(light, ignored)) {
        reader.error = "expected a light name, not the colour \"" + light + "\"" + after;
        if (earlier.empty())
            reader.error += " (is the MODULE or the LIGHT missing?)";
        else if (!isKnownLight(earlier.back().light))
            reader.error += " (\"" + earlier.back().light + "\" is not a light the modules know: a misspelt option?)";
        return false;
    }
    if (!isKnownLight(light) && (reader.atEnd() || !parseColor(reader.words[reader.next], ignored))) {
        reader.error = "unknown word \"" + light + "\"" + after + ": neither an option (" + OPTION_WORDS +
            ") nor a light name followed by a colour";
        return false;
    }
    return true;
}

// "LIGHT COLOR", the start of every request.
bool readLightAndColour(WordReader& reader, const std::vector<Request>& earlier, Request& request)
{
    request.light = reader.words[reader.next++];
    if (!checkLightName(reader, request.light, earlier))
        return false;
    if (reader.atEnd()) {
        reader.error = "missing colour after light \"" + request.light + "\"";
        return false;
    }
    const std::string& colour = reader.words[reader.next];
    if (!parseColor(colour, request.state.color)) {
        reader.error = "colour \"" + colour + "\" is not a 32-bit number (0xAARRGGBB, #RGB, #RRGGBB, #AARRGGBB or " +
            "decimal) for light \"" + request.light + "\"";
        return false;
    }
    ++reader.next;
    return true;
}

// One option word (already read) and the numbers it takes.
bool readOption(WordReader& reader, const std::string& keyword, LightState& state)
{
    if (keyword == "flash") {
        state.flash_mode = LIGHT_FLASH_TIMED;
        return reader.number("on time", state.on_ms) && reader.number("off time", state.off_ms);
    }
    if (keyword == "trackball") {
        state.flash_mode = LIGHT_FLASH_TRACKBALL_MODE;
        return reader.number("trackball mode", state.on_ms);
    }
    if (keyword == "mode")
        return reader.number("flash mode", state.flash_mode) && reader.number("on time", state.on_ms) &&
            reader.number("off time", state.off_ms);
    if (keyword == "auto") {
        state.brightness_mode = 1;
        return true;
    }
    // "brightness": the only option word left.
    return reader.number("brightness mode", state.brightness_mode);
}

// The options after a request's colour, up to the next word that is not one.
bool readOptions(WordReader& reader, LightState& state)
{
    while (!reader.atEnd() && isKeyword(reader.words[reader.next])) {
        const std::string keyword = reader.words[reader.next++];
        if (!readOption(reader, keyword, state))
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
    WordReader reader{words, 0, error};
    while (!reader.atEnd()) {
        Request request;
        if (!readLightAndColour(reader, requests, request) || !readOptions(reader, request.state))
            return false;
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
