// The pure arithmetic of the lights modules: backlight level and blink values.
#include "light_math.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(LumaFromRgb, WeighsRedGreenBlueAndIgnoresAlpha)
{
    EXPECT_EQ(luma_from_rgb(0x00FF0000u), 76);
    EXPECT_EQ(luma_from_rgb(0x0000FF00u), 149);
    EXPECT_EQ(luma_from_rgb(0x000000FFu), 28);
    EXPECT_EQ(luma_from_rgb(0x00808080u), 128);
    EXPECT_EQ(luma_from_rgb(0x00FFFFFFu), 255);
    EXPECT_EQ(luma_from_rgb(0xFFFFFFFFu), 255);
    EXPECT_EQ(luma_from_rgb(0xFF000000u), 0);
    EXPECT_EQ(luma_from_rgb(0x80000001u), 0); // 29 >> 8 rounds down
}

TEST(LumaFromRgb, NeverExceeds255)
{
    for (uint32_t red = 0; red < 256; red += 17) {
        for (uint32_t green = 0; green < 256; green += 17) {
            for (uint32_t blue = 0; blue < 256; blue += 17) {
                const int level = luma_from_rgb((red << 16) | (green << 8) | blue);
                EXPECT_GE(level, 0);
                EXPECT_LE(level, 255);
            }
        }
    }
}

struct BlinkCase {
    int32_t on;
    int32_t off;
    int period;
    int duty;
    int blink;
};

class BlinkFromTimes : public testing::TestWithParam<BlinkCase> {};

TEST_P(BlinkFromTimes, GivesPeriodDutyAndBlink)
{
    const BlinkCase& c = GetParam();
    const BlinkValues values = blink_from_times(c.on, c.off);
    EXPECT_EQ(values.period, c.period) << c.on << "/" << c.off;
    EXPECT_EQ(values.duty, c.duty) << c.on << "/" << c.off;
    EXPECT_EQ(values.blink, c.blink) << c.on << "/" << c.off;
}

INSTANTIATE_TEST_SUITE_P(Table, BlinkFromTimes,
                         testing::Values(BlinkCase{500, 500, 20, 127, 1},
                                         BlinkCase{50, 950, 20, 16, 1}, // duty 12 is raised to 16
                                         BlinkCase{1, 999, 20, 0, 1}, // duty 0 stays 0, still blinking
                                         BlinkCase{10, 10, 0, 127, 1}, // period truncates to 0
                                         BlinkCase{15, 240, 5, 16, 1}, // duty 15 is raised
                                         BlinkCase{16, 239, 5, 16, 1}, // duty 16 stays
                                         BlinkCase{254, 1, 5, 254, 1}, BlinkCase{500, 0, 0, 0, 0},
                                         BlinkCase{0, 500, 0, 0, 0}, BlinkCase{-1, 500, 0, 0, 0},
                                         BlinkCase{500, -1, 0, 0, 0}, BlinkCase{INT32_MIN, INT32_MIN, 0, 0, 0}));

// Times that overflow 32-bit arithmetic give the exact results of wider arithmetic.
INSTANTIATE_TEST_SUITE_P(LongTimes, BlinkFromTimes,
                         testing::Values(BlinkCase{8421504, 8421504, 336860, 127, 1}, // last on-time exact in 32 bits
                                         BlinkCase{8421505, 8421505, 336860, 127, 1}, // on * 255 needs 33 bits
                                         BlinkCase{10000000, 30000000, 800000, 63, 1},
                                         BlinkCase{INT32_MAX, INT32_MAX, 85899345, 127, 1}, // on + off needs 33 bits
                                         BlinkCase{INT32_MAX, 1, 42949672, 254, 1},
                                         BlinkCase{1, INT32_MAX, 42949672, 0, 1}));

} // namespace
