#pragma once
// A bare LED class tree at the real paths, for runs that need real file semantics
// and final values but no journal: a tmpfs over /sys/class in a private mount
// namespace, holding the attribute files asked for.

#include <string>
#include <vector>

namespace quorvel::testing {

// Attribute files the modules write, relative to /sys/class/leds.
inline const std::string LCD = "lcd-backlight/brightness";
inline const std::string LCD_AUTO = "lcd-backlight/auto";
inline const std::string KEYBOARD = "keyboard-backlight/brightness";
inline const std::string BUTTONS = "button-backlight/brightness";
inline const std::string TRACKBALL = "jogball-backlight/brightness";
inline const std::string TRACKBALL_BLINK = "jogball-backlight/blink";
inline const std::string AMBER = "amber/brightness";

// Every file of an RGB board with blink timing, the automatic-brightness attribute
// and a trackball light.
inline const std::vector<std::string> RGB_BOARD_FILES = {"red/brightness",
                                                         "green/brightness",
                                                         "blue/brightness",
                                                         "red/device/grpfreq",
                                                         "red/device/grppwm",
                                                         "red/device/blink",
                                                         LCD,
                                                         LCD_AUTO,
                                                         KEYBOARD,
                                                         BUTTONS,
                                                         TRACKBALL,
                                                         TRACKBALL_BLINK};

// Moves the calling process into a private mount namespace and mounts a tmpfs over
// /sys/class holding /sys/class/leds and each of `files` (paths relative to
// /sys/class/leds, each holding "0\n"). Needs root; meant for a child process (a
// beforeExec hook or a forked worker), since the whole process sees the new tree.
// False, with `*error` set when it is not null, if any step failed.
bool makeLedTree(const std::vector<std::string>& files, std::string* error = nullptr);

} // namespace quorvel::testing
