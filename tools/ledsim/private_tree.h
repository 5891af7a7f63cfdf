// The private mount namespace ledsim runs a command in: a tmpfs over /sys/class
// with an empty /sys/class/leds for the simulated tree, the machine's /sys untouched.
#pragma once

#include <string>

namespace ledsim {

// Moves ledsim into a mount namespace of its own and prepares the mount point.
// False with a message on failure.
bool enterPrivateTree(std::string& error);

} // namespace ledsim
