// lightsctl's request language: the words of each request into its LightState, and
// the reason given for every word that does not fit.
#include "request_parser.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

TEST(LightsctlRequests, ParsesEveryOptionIntoTheRequestRecord)
{
    std::vector<lightsctl::Request> requests;
    std::string error;
    ASSERT_TRUE(
        lightsctl::parseRequests({"battery",       "0xFF00FF00", "flash", "500",        "-7", "auto",     "attention",
                                  "#ff0000",       "trackball",  "-1",    "brightness", "3",  "keyboard", "16",
                                  "notifications", "0",          "mode",  "9",          "1",  "2"},
                                 requests, error))
        << error;
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].light, "battery");
    EXPECT_EQ(lightsctl::describe(requests[0].state), "color=0xff00ff00 flash=1 on=500 off=-7 brightness=1");
    EXPECT_EQ(lightsctl::describe(requests[1].state), "color=0x00ff0000 flash=2 on=-1 off=0 brightness=3");
    EXPECT_EQ(lightsctl::describe(requests[2].state), "color=0x00000010 flash=0 on=0 off=0 brightness=0");
    EXPECT_EQ(lightsctl::describe(requests[3].state), "color=0x00000000 flash=9 on=1 off=2 brightness=0");
}

TEST(LightsctlRequests, RefusesMalformedRequestsWithAReason)
{
    const std::pair<Strings, std::string> cases[] = {
        {{}, "no request given"},
        {{"battery"}, "missing colour after light \"battery\""},
        {{"battery", "red"}, "colour \"red\" is not a 32-bit number"},
        {{"battery", "0x1FFFFFFFF"}, "colour \"0x1FFFFFFFF\" is not"},
        {{"battery", "4294967296"}, "colour \"4294967296\" is not"},
        {{"battery", "-1"}, "colour \"-1\" is not"},
        {{"battery", "1", "flash", "500"}, "missing off time after \"500\""},
        {{"battery", "1", "flash", "500", "2147483648"}, "off time \"2147483648\" is not a 32-bit integer"},
        {{"battery", "1", "trackball", "x"}, "trackball mode \"x\" is not a 32-bit integer"},
        {{"flash", "1"}, "expected a light name, not \"flash\""},
        {{"battery", "1", "auto", "flash"}, "missing on time after \"flash\""},
        // A forgotten module shifts every word: the colour lands where a light belongs.
        {{"0xff"}, "expected a light name, not the colour \"0xff\" (is the MODULE or the LIGHT missing?)"},
        {{"backlight", "0", "bogus"}, "unknown word \"bogus\" after the request to \"backlight\": neither an option"},
        {{"backlight", "0", "flsh", "500", "500"}, "\"flsh\" is not a light the modules know: a misspelt option?"},
        {{"battery", "#f0"},
         "colour \"#f0\" is not a 32-bit number (0xAARRGGBB, #RGB, #RRGGBB, #AARRGGBB or "
         "decimal) for light \"battery\""},
        {{"battery", "#12345"}, "colour \"#12345\""},
    };
    for (const auto& [words, message] : cases) {
        std::vector<lightsctl::Request> requests;
        std::string error;
        EXPECT_FALSE(lightsctl::parseRequests(words, requests, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << "got: " << error;
    }
}

// Each word of `accepted` gives its value; each of `refused` is refused.
template <typename T>
void expectParses(bool (*parse)(const std::string&, T&), const std::vector<std::pair<std::string, T>>& accepted,
                  const Strings& refused)
{
    for (const auto& [text, value] : accepted) {
        T parsed = 0;
        EXPECT_TRUE(parse(text, parsed)) << text;
        EXPECT_EQ(parsed, value) << text;
    }
    for (const std::string& text : refused) {
        T parsed = 0;
        EXPECT_FALSE(parse(text, parsed)) << '"' << text << '"';
    }
}

TEST(LightsctlRequests, ColoursAndNumbersAcceptTheirFullRange)
{
    // #RGB is the CSS short form, each digit doubled ("#f00", "#1aF").
    expectParses<uint32_t>(lightsctl::parseColor,
                           {{"4294967295", 0xFFFFFFFFu},
                            {"#80ffffff", 0x80FFFFFFu},
                            {"#f00", 0x00FF0000u},
                            {"#1aF", 0x0011AAFFu},
                            {"#00ff00", 0x0000FF00u}},
                           {"#", "0x", "12ab", "#ff00", "#fg0"});
    expectParses<int32_t>(lightsctl::parseInt32, {{"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}},
                          {"-2147483649", "1e3", "-", ""});
    // An unknown light followed by a colour is passed on for the module to refuse.
    std::vector<lightsctl::Request> requests;
    std::string error;
    EXPECT_TRUE(lightsctl::parseRequests({"backlight", "0", "lcd", "1"}, requests, error)) << error;
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].light, "lcd");
}

} // namespace
