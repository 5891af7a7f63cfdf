// How ledsim's journal writes what a command did: full paths under the tree's mount
// point, statuses, open flags and the exact bytes of a write.
#pragma once

#include <string>
#include <string_view>

namespace ledsim {

// Where the tree is mounted; journal lines show full paths under it.
inline constexpr std::string_view MOUNT_POINT = "/sys/class/leds";

// "/sys/class/leds/red/brightness" from the tree path "/red/brightness".
std::string fullPath(std::string_view path);

// "/red/brightness" from "red/brightness" or "/sys/class/leds/red/brightness";
// empty when the text names nothing inside the tree.
std::string treePath(std::string_view text);

// "-ENOENT" and the like for a negated errno value, "0" for 0.
std::string statusName(int status);

// "O_RDWR|O_APPEND" and the like. O_LARGEFILE is left out: 64-bit kernels add it to
// every open themselves, whatever the caller asked for.
std::string openFlagsText(int flags);

// Text with newlines and other bytes outside printable ASCII escaped, in quotes.
std::string quoted(std::string_view bytes);

} // namespace ledsim
