// Colour and blink arithmetic shared by the light handlers.
#include "light_math.h"

extern "C" {

int luma_from_rgb(uint32_t color)
{
    const uint32_t rgb = color & 0x00FFFFFFu;
    const uint32_t red = (rgb >> 16) & 0xFFu;
    const uint32_t green = (rgb >> 8) & 0xFFu;
    const uint32_t blue = rgb & 0xFFu;
    // The weights add up to 256: white maps to exactly 255.
    return static_cast<int>((77 * red + 150 * green + 29 * blue) >> 8);
}

BlinkValues blink_from_times(int32_t on_ms, int32_t off_ms)
{
    BlinkValues values = {0, 0, 0};
    if (on_ms <= 0 || off_ms <= 0)
        return values;
    // 64 bits: on * 255 and on + off overflow 32 bits for long but valid times.
    const int64_t on = on_ms;
    const int64_t total = on + off_ms;
    values.period = static_cast<int>(total / 50);
    values.duty = static_cast<int>(on * 255 / total);
    values.blink = 1;
    // The hardware ignores duty cycles below 16; a duty of 0 stays 0.
    if (values.duty >= 1 && values.duty <= 15)
        values.duty = 16;
    return values;
}

} // extern "C"
