// ledsim's command line.
#pragma once

#include "led_tree.h"

#include <string>
#include <utility>
#include <vector>

namespace ledsim {

struct Options {
    Profile profile;
    std::string profileText = std::string(PROFILE_LAYOUTS[0].name);
    std::vector<std::pair<std::string, Fault>> faults; // tree path, fault
    std::string journalPath; // empty: standard output
    std::string picturePath; // empty: no picture
    bool show = false;
    int timeoutSeconds = 60;
    bool listFiles = false;
    bool help = false;
    std::vector<std::string> command;
};

// Parses argv (without the program name). False with a message on bad input.
bool parseOptions(const std::vector<std::string>& arguments, Options& options, std::string& error);

const char* usageText();
// One line for a bad command line: the synopsis and where the options are listed.
const char* usageHint();

} // namespace ledsim
