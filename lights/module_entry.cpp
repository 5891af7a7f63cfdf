// The loader-facing entry of a lights module: HMI, device life cycle, and the
// one-time board probe.
#include "board_variant.h"
#include "led_paths.h"
#include "lights_export.h"
#include "lights_state.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {

pthread_once_t init_once = PTHREAD_ONCE_INIT;
// Ready before anything runs: init_globals is exported, so anyone may call it again,
// and re-initialising a mutex that a request may be holding would let a second
// request in beside it.
pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
int lcd_level = 255;
int trackball_mode = 0;
int has_trackball = 0;
int has_amber_led = 0;
LightState notification_state;
LightState battery_state;

static int lights_open(const ModuleInfo* module, const char* name, LightDevice** device);
static int lights_close(LightDevice* device);

static const ModuleMethods lights_module_methods = {lights_open};

LIGHTS_EXPORT extern const ModuleInfo HMI;
const ModuleInfo HMI = {
    MODULE_TAG, 1, 0, "lights", board_module_name, board_module_author, &lights_module_methods, {},
};

void init_globals(void) noexcept
{
    // Writability, not existence, tells what the board has.
    has_trackball = access(TRACKBALL_FILE, W_OK) == 0 ? 1 : 0;
    has_amber_led = access(AMBER_LED_FILE, W_OK) == 0 ? 1 : 0;
}
LIGHTS_EXPORT_ALIAS(init_globals);

typedef int (*SetStateHandler)(LightDevice*, const LightState*);

static SetStateHandler handler_for(const char* name)
{
    // First match wins, in this order.
    if (strcmp(name, "backlight") == 0)
        return light_set_backlight;
    if (strcmp(name, "keyboard") == 0)
        return light_set_keyboard;
    if (strcmp(name, "buttons") == 0)
        return light_set_buttons;
    if (strcmp(name, "battery") == 0)
        return light_set_battery;
    if (strcmp(name, "notifications") == 0)
        return light_set_notifications;
    if (strcmp(name, "attention") == 0)
        return light_set_attention;
    return nullptr;
}

static int lights_open(const ModuleInfo* module, const char* name, LightDevice** device)
{
    if (name == nullptr || device == nullptr)
        return -EINVAL;
    const SetStateHandler handler = handler_for(name);
    if (handler == nullptr)
        return -EINVAL;

    // Every later or concurrent caller waits here until the probe has finished, so
    // state_lock exists before any device does.
    pthread_once(&init_once, init_globals);

    LightDevice* record = static_cast<LightDevice*>(malloc(sizeof(LightDevice)));
    if (record == nullptr)
        return -ENOMEM;
    memset(record, 0, sizeof(LightDevice));
    record->tag = DEVICE_TAG;
    record->module = module;
    record->close = lights_close;
    record->set_state = handler;
    *device = record;
    return 0;
}

// No lock: a device carries no state, so freeing it cannot race with a request.
static int lights_close(LightDevice* device)
{
    if (device != nullptr)
        free(device);
    return 0;
}

} // extern "C"
