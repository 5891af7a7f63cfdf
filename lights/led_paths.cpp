// The attribute paths every board variant writes.
#include "led_paths.h"

extern "C" {

const char* const TRACKBALL_FILE = "/sys/class/leds/jogball-backlight/brightness";
const char* const RED_LED_FILE = "/sys/class/leds/red/brightness";
const char* const GREEN_LED_FILE = "/sys/class/leds/green/brightness";
const char* const BLUE_LED_FILE = "/sys/class/leds/blue/brightness";
const char* const AMBER_LED_FILE = "/sys/class/leds/amber/brightness";
const char* const LCD_FILE = "/sys/class/leds/lcd-backlight/brightness";
const char* const RED_FREQ_FILE = "/sys/class/leds/red/device/grpfreq";
const char* const RED_PWM_FILE = "/sys/class/leds/red/device/grppwm";
const char* const RED_BLINK_FILE = "/sys/class/leds/red/device/blink";
const char* const AMBER_BLINK_FILE = "/sys/class/leds/amber/blink";
const char* const KEYBOARD_FILE = "/sys/class/leds/keyboard-backlight/brightness";
const char* const BUTTON_FILE = "/sys/class/leds/button-backlight/brightness";

LIGHTS_EXPORT_ALIAS(TRACKBALL_FILE);
LIGHTS_EXPORT_ALIAS(RED_LED_FILE);
LIGHTS_EXPORT_ALIAS(GREEN_LED_FILE);
LIGHTS_EXPORT_ALIAS(BLUE_LED_FILE);
LIGHTS_EXPORT_ALIAS(AMBER_LED_FILE);
LIGHTS_EXPORT_ALIAS(LCD_FILE);
LIGHTS_EXPORT_ALIAS(RED_FREQ_FILE);
LIGHTS_EXPORT_ALIAS(RED_PWM_FILE);
LIGHTS_EXPORT_ALIAS(RED_BLINK_FILE);
LIGHTS_EXPORT_ALIAS(AMBER_BLINK_FILE);
LIGHTS_EXPORT_ALIAS(KEYBOARD_FILE);
LIGHTS_EXPORT_ALIAS(BUTTON_FILE);

} // extern "C"
