// The pavok board: a trackball light that also shows pending notifications, with
// its own blink attribute; attention requests count as notifications.
#include "../board_variant.h"
#include "../led_paths.h"
#include "../lights_export.h"
#include "../lights_state.h"

extern "C" {

extern const char* const TRACKBALL_BLINK_FILE LIGHTS_LOCAL_NAME(TRACKBALL_BLINK_FILE);
const char* const TRACKBALL_BLINK_FILE = "/sys/class/leds/jogball-backlight/blink";
LIGHTS_EXPORT_ALIAS(TRACKBALL_BLINK_FILE);

// The trackball light blinks (4) for a notification that flashes, else it is off;
// the notification's colour does not matter.
static void apply_trackball_notification(void)
{
    const LightState* state = &notification_state;
    const int value = state->flash_mode == LIGHT_FLASH_TIMED && state->off_ms > 0 && state->on_ms > 0 ? 4 : 0;
    write_int(TRACKBALL_FILE, value);
    write_int(TRACKBALL_BLINK_FILE, value);
}

const char board_module_name[] = "Pavok lights Module";
const char board_module_author[] = "Tavirel, Inc.";

const BoardVariant board_variant = {
    nullptr,
    1,
    apply_trackball_notification,
};

} // extern "C"
