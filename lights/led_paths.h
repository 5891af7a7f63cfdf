// The LED class attribute files the lights modules write. Each path is also exported
// as a pointer global so that the platform (and a bring-up engineer) can read it; the
// module itself reads its own copy (see LIGHTS_LOCAL_NAME).
#pragma once

#include "lights_export.h"

extern "C" {

extern const char* const TRACKBALL_FILE LIGHTS_LOCAL_NAME(TRACKBALL_FILE);
extern const char* const RED_LED_FILE LIGHTS_LOCAL_NAME(RED_LED_FILE);
extern const char* const GREEN_LED_FILE LIGHTS_LOCAL_NAME(GREEN_LED_FILE);
extern const char* const BLUE_LED_FILE LIGHTS_LOCAL_NAME(BLUE_LED_FILE);
extern const char* const AMBER_LED_FILE LIGHTS_LOCAL_NAME(AMBER_LED_FILE);
extern const char* const LCD_FILE LIGHTS_LOCAL_NAME(LCD_FILE);
extern const char* const RED_FREQ_FILE LIGHTS_LOCAL_NAME(RED_FREQ_FILE);
extern const char* const RED_PWM_FILE LIGHTS_LOCAL_NAME(RED_PWM_FILE);
extern const char* const RED_BLINK_FILE LIGHTS_LOCAL_NAME(RED_BLINK_FILE);
extern const char* const AMBER_BLINK_FILE LIGHTS_LOCAL_NAME(AMBER_BLINK_FILE);
extern const char* const KEYBOARD_FILE LIGHTS_LOCAL_NAME(KEYBOARD_FILE);
extern const char* const BUTTON_FILE LIGHTS_LOCAL_NAME(BUTTON_FILE);

// A board's extra attribute (LCD_AUTO_FILE or TRACKBALL_BLINK_FILE) is declared and
// defined in its variant folder, since only that build exports it.

} // extern "C"
