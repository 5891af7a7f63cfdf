// Battery, notification and attention lights, and the rule that decides which
// stored request the one indicator LED shows.
#include "board_variant.h"
#include "led_paths.h"
#include "light_math.h"
#include "lights_state.h"

#include <errno.h>

extern "C" {

static int color_is_zero(const LightState* state)
{
    return (state->color & 0x00FFFFFFu) == 0;
}

void apply_indicator_led(const LightState* state)
{
    const int timed = state->flash_mode == LIGHT_FLASH_TIMED;
    const BlinkValues blink = blink_from_times(timed ? state->on_ms : 0, timed ? state->off_ms : 0);
    const int red = static_cast<int>((state->color >> 16) & 0xFFu);
    const int green = static_cast<int>((state->color >> 8) & 0xFFu);
    const int blue = static_cast<int>(state->color & 0xFFu);

    // Write statuses are ignored: one missing attribute must not stop the others.
    if (!has_amber_led) {
        write_int(RED_LED_FILE, red);
        write_int(GREEN_LED_FILE, green);
        write_int(BLUE_LED_FILE, blue);
        if (blink.blink) {
            write_int(RED_FREQ_FILE, blink.period);
            write_int(RED_PWM_FILE, blink.duty);
        }
        write_int(RED_BLINK_FILE, blink.blink);
        return;
    }

    // Amber/green pair: red shows as amber and wins over green; blue has no LED.
    if (red != 0) {
        write_int(AMBER_LED_FILE, 1);
        write_int(GREEN_LED_FILE, 0);
    } else if (green != 0) {
        write_int(AMBER_LED_FILE, 0);
        write_int(GREEN_LED_FILE, 1);
    } else {
        write_int(GREEN_LED_FILE, 0);
        write_int(AMBER_LED_FILE, 0);
    }
    write_int(AMBER_BLINK_FILE, blink.blink);
}

void refresh_indicator(void)
{
    // A battery colour always wins, whatever its flash mode.
    if (!color_is_zero(&battery_state))
        apply_indicator_led(&battery_state);
    else if (has_trackball && board_variant.show_notification_on_trackball != nullptr)
        board_variant.show_notification_on_trackball();
    else
        apply_indicator_led(&notification_state);
}

int light_set_notifications(LightDevice*, const LightState* state)
{
    if (state == nullptr)
        return -EINVAL;
    pthread_mutex_lock(&state_lock);
    notification_state = *state;
    if (has_trackball)
        apply_trackball_mode();
    refresh_indicator();
    pthread_mutex_unlock(&state_lock);
    return 0;
}

int light_set_battery(LightDevice*, const LightState* state)
{
    if (state == nullptr)
        return -EINVAL;
    pthread_mutex_lock(&state_lock);
    battery_state = *state;
    // On a trackball board the refresh below may leave the LED alone, so the request
    // itself goes to the LED first: the only way a zero battery colour switches it off.
    if (has_trackball)
        apply_indicator_led(state);
    refresh_indicator();
    pthread_mutex_unlock(&state_lock);
    return 0;
}

int light_set_attention(LightDevice*, const LightState* state)
{
    if (state == nullptr)
        return -EINVAL;
    pthread_mutex_lock(&state_lock);
    // Not shown now: it takes effect at the next refresh with no battery colour.
    if (board_variant.attention_replaces_notification)
        notification_state = *state;
    if (state->flash_mode == LIGHT_FLASH_TRACKBALL_MODE)
        trackball_mode = state->on_ms;
    else if (state->flash_mode == LIGHT_FLASH_NONE)
        trackball_mode = 0;
    if (has_trackball)
        apply_trackball_mode();
    pthread_mutex_unlock(&state_lock);
    return 0;
}

} // extern "C"
