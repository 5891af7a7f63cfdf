// A host that exports the names a lights module exports, with other meanings: a
// module that reached any of them through the dynamic symbol table would probe or
// write the decoy files, or print the decoy's line.
#include <stdio.h>

#define DECOY_PATH(name, file) extern "C" __attribute__((visibility("default"))) const char* const name = file;

DECOY_PATH(TRACKBALL_FILE, "/sys/class/leds/decoy-trackball/brightness")
DECOY_PATH(RED_LED_FILE, "/sys/class/leds/decoy-red/brightness")
DECOY_PATH(GREEN_LED_FILE, "/sys/class/leds/decoy-green/brightness")
DECOY_PATH(BLUE_LED_FILE, "/sys/class/leds/decoy-blue/brightness")
DECOY_PATH(AMBER_LED_FILE, "/sys/class/leds/decoy-amber/brightness")
DECOY_PATH(LCD_FILE, "/sys/class/leds/decoy-lcd/brightness")
DECOY_PATH(LCD_AUTO_FILE, "/sys/class/leds/decoy-lcd/auto")
DECOY_PATH(RED_FREQ_FILE, "/sys/class/leds/decoy-red/grpfreq")
DECOY_PATH(RED_PWM_FILE, "/sys/class/leds/decoy-red/grppwm")
DECOY_PATH(RED_BLINK_FILE, "/sys/class/leds/decoy-red/blink")
DECOY_PATH(AMBER_BLINK_FILE, "/sys/class/leds/decoy-amber/blink")
DECOY_PATH(TRACKBALL_BLINK_FILE, "/sys/class/leds/decoy-trackball/blink")
DECOY_PATH(KEYBOARD_FILE, "/sys/class/leds/decoy-keyboard/brightness")
DECOY_PATH(BUTTON_FILE, "/sys/class/leds/decoy-button/brightness")

extern "C" __attribute__((visibility("default"))) void init_globals(void)
{
    fputs("decoy init_globals ran\n", stderr);
}
