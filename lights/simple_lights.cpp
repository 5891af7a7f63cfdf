// Backlight, keyboard and button lights, and the trackball mode rule that follows
// the backlight.
#include "board_variant.h"
#include "led_paths.h"
#include "light_math.h"
#include "lights_state.h"

#include <errno.h>

extern "C" {

// Trackball mode codes with a meaning of their own.
static const int TRACKBALL_FOLLOWS_SCREEN = 7; // lit (7) only while the screen is dark
static const int TRACKBALL_LEFT_ALONE = -1;
// LightState::brightness_mode asking for automatic brightness.
static const int BRIGHTNESS_MODE_AUTOMATIC = 1;
// Automatic brightness is switched on only for backlight levels above this one.
static const int AUTO_BRIGHTNESS_LEVEL_ABOVE = 150;

void apply_trackball_mode(void)
{
    if (trackball_mode == TRACKBALL_FOLLOWS_SCREEN)
        write_int(TRACKBALL_FILE, lcd_level == 0 ? TRACKBALL_FOLLOWS_SCREEN : 0);
    else if (trackball_mode != TRACKBALL_LEFT_ALONE)
        write_int(TRACKBALL_FILE, trackball_mode);
}

int light_set_backlight(LightDevice*, const LightState* state)
{
    if (state == nullptr)
        return -EINVAL;
    const int level = luma_from_rgb(state->color);

    pthread_mutex_lock(&state_lock);
    // Stored before the write: the trackball rule follows the requested level even
    // when the LCD attribute cannot be written.
    lcd_level = level;
    int result = write_int(LCD_FILE, level);
    if (board_variant.lcd_auto_file != nullptr) {
        const int automatic =
            level > AUTO_BRIGHTNESS_LEVEL_ABOVE && state->brightness_mode == BRIGHTNESS_MODE_AUTOMATIC ? 1 : 0;
        const int auto_result = write_int(board_variant.lcd_auto_file, automatic);
        // A failed level write is not hidden by a successful automatic write.
        if (result == 0)
            result = auto_result;
    }
    if (has_trackball)
        apply_trackball_mode();
    pthread_mutex_unlock(&state_lock);
    return result;
}

static int set_on_off_light(const char* path, const LightState* state)
{
    if (state == nullptr)
        return -EINVAL;
    // No intermediate levels: any colour at all switches the light fully on.
    const int value = (state->color & 0x00FFFFFFu) != 0 ? 255 : 0;
    pthread_mutex_lock(&state_lock);
    const int result = write_int(path, value);
    pthread_mutex_unlock(&state_lock);
    return result;
}

int light_set_keyboard(LightDevice*, const LightState* state)
{
    return set_on_off_light(KEYBOARD_FILE, state);
}

int light_set_buttons(LightDevice*, const LightState* state)
{
    return set_on_off_light(BUTTON_FILE, state);
}

} // extern "C"
