// What differs between the board builds of the lights module. Each build links
// exactly one variant folder, which defines these; the shared code only reads them.
#pragma once

extern "C" {

struct BoardVariant {
    // Backlight: the automatic-brightness attribute written after the LCD level; its
    // status becomes the handler's result. Null on boards without one.
    const char* lcd_auto_file;
    // Attention requests also replace the stored notification request.
    int attention_replaces_notification;
    // Indicator refresh with no battery colour on a trackball board: shows the pending
    // notification on the trackball light instead of the indicator LED. Null when the
    // indicator LED shows it. Called with state_lock held.
    void (*show_notification_on_trackball)(void);
};

extern const BoardVariant board_variant;
// ModuleInfo texts; arrays rather than table fields so that HMI is a constant record.
extern const char board_module_name[];
extern const char board_module_author[];

} // extern "C"
