// Pure arithmetic of the lights modules: colour to backlight level, and flash
// times to the indicator's blink attributes. No state, no I/O.
#pragma once

#include <stdint.h>

extern "C" {

// The blink attribute values of one indicator request.
struct BlinkValues {
    int period; // in 50 ms steps
    int duty; // 0 or 16..255 on a 0..255 scale
    int blink; // 0 or 1
};

// Backlight level 0..255 from the low 24 bits of an 0xAARRGGBB colour.
int luma_from_rgb(uint32_t color);

// Blink values for lit and dark times in ms. Times of 0 or below mean no blinking.
// The arithmetic is 64-bit, so times up to INT32_MAX each give exact results.
BlinkValues blink_from_times(int32_t on_ms, int32_t off_ms);

} // extern "C"
