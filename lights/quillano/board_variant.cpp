// The quillano board: an automatic-brightness attribute next to the LCD level; the
// indicator LED alone shows notifications.
#include "../board_variant.h"
#include "../led_paths.h"
#include "../lights_export.h"

extern "C" {

extern const char* const LCD_AUTO_FILE LIGHTS_LOCAL_NAME(LCD_AUTO_FILE);
static const char lcd_auto_path[] = "/sys/class/leds/lcd-backlight/auto";
const char* const LCD_AUTO_FILE = lcd_auto_path;
LIGHTS_EXPORT_ALIAS(LCD_AUTO_FILE);

const char board_module_name[] = "Quillano lights Module";
const char board_module_author[] = "Tavirel, Inc. - Selvarin";

const BoardVariant board_variant = {
    lcd_auto_path,
    0,
    nullptr,
};

} // extern "C"
