// Module-wide state of a lights module and the internal entry points of its parts.
// One instance per loaded module, shared by every device and thread.
#pragma once

#include "lights_export.h"

#include <quorvel/lights.h>

#include <pthread.h>

extern "C" {

// The one-time board probe (exported; the module runs its own, LIGHTS_LOCAL_NAME).
void init_globals(void) noexcept LIGHTS_LOCAL_NAME(init_globals);

extern pthread_once_t init_once;
// Held for the whole of every set_state call; every helper below runs under it.
extern pthread_mutex_t state_lock;
extern int lcd_level;
extern int trackball_mode;
extern int has_trackball;
extern int has_amber_led;
extern LightState notification_state;
extern LightState battery_state;

// Writes "%d\n" to an attribute file: 0 or a negated errno value.
int write_int(const char* path, int value);

int light_set_backlight(LightDevice* device, const LightState* state);
int light_set_keyboard(LightDevice* device, const LightState* state);
int light_set_buttons(LightDevice* device, const LightState* state);
int light_set_battery(LightDevice* device, const LightState* state);
int light_set_notifications(LightDevice* device, const LightState* state);
int light_set_attention(LightDevice* device, const LightState* state);

void apply_trackball_mode(void);
void refresh_indicator(void);
void apply_indicator_led(const LightState* state);

} // extern "C"
