// The words of ledsim's board profiles and faults: one table each, made from the
// generated <ledsim_vocabulary.h> (the list tools/ledsim/vocabulary.txt, which the
// target's LED driver and scenarios read too), from which the option parser, the
// help text and the error messages are made.
#pragma once

#include <ledsim_vocabulary.h>

#include <string>
#include <string_view>
#include <vector>

namespace ledsim {

// Which attribute files a board offers.
struct Profile {
    bool amber = false; // amber/green indicator pair instead of red/green/blue
    bool trackball = false; // jogball-backlight light
    bool blinkTiming = true; // red/device/grpfreq and grppwm (RGB boards)
    bool lcdAuto = false; // lcd-backlight/auto
};

enum Fault : unsigned {
    FAULT_MISSING = 1u << 0, // the file does not exist
    FAULT_OPEN_EACCES = 1u << 1, // every open is refused with EACCES
    FAULT_READ_ONLY = 1u << 2, // mode 0444: not writable, open for writing gets EACCES
    FAULT_WRITE_ENOSPC = 1u << 3, // every write fails with ENOSPC
    FAULT_WRITE_EIO = 1u << 4, // every write fails with EIO
    FAULT_SHORT_WRITE = 1u << 5, // every write takes one byte less than offered
    FAULT_CLOSE_EIO = 1u << 6, // close (flush) fails with EIO
};

// One word of a profile: "rgb" or "amber" first, then "+trackball" and the like.
// It sets one field of the profile to a value.
struct ProfileWord {
    std::string_view name;
    bool Profile::*field;
    bool value;
};

// The generated list names a profile's flags as the target's LED driver does.
#define LEDSIM_PROFILE_FIELD_amber &Profile::amber
#define LEDSIM_PROFILE_FIELD_trackball &Profile::trackball
#define LEDSIM_PROFILE_FIELD_blink_timing &Profile::blinkTiming
#define LEDSIM_PROFILE_FIELD_lcd_auto &Profile::lcdAuto
#define LEDSIM_PROFILE_WORD(word, field, value) {word, LEDSIM_PROFILE_FIELD_##field, value != 0},

// The indicator layouts a profile starts with; the first is the default.
inline constexpr ProfileWord PROFILE_LAYOUTS[] = {LEDSIM_PROFILE_LAYOUTS(LEDSIM_PROFILE_WORD)};

// The features that may follow, each after a "+".
inline constexpr ProfileWord PROFILE_FEATURES[] = {LEDSIM_PROFILE_FEATURES(LEDSIM_PROFILE_WORD)};

struct FaultKind {
    std::string_view name;
    Fault fault;
    std::string_view help; // what the help text adds in brackets, or empty
    bool inDriver; // the target's LED driver offers it too
};

#define LEDSIM_FAULT_KIND(word, id, help, inDriver) {word, FAULT_##id, help, inDriver != 0},

inline constexpr FaultKind FAULT_KINDS[] = {LEDSIM_FAULTS(LEDSIM_FAULT_KIND)};

// Parses a layout followed by "+FEATURE" words. Returns false with a message for
// anything else.
bool parseProfile(std::string_view text, Profile& profile, std::string& error);

// Parses one fault name.
bool parseFault(std::string_view text, Fault& fault, std::string& error);

// The attribute files of a profile, sorted.
std::vector<std::string> profileFiles(const Profile& profile);

// "a, b or c".
std::string alternatives(const std::vector<std::string_view>& words);

} // namespace ledsim
