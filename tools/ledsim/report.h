// How ledsim reports: its exit statuses beside the command's own, and its one-line
// messages on standard error.
#pragma once

#include <string>

namespace ledsim {

inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_TIMEOUT = 124;
inline constexpr int EXIT_SETUP = 125;
inline constexpr int EXIT_CANNOT_EXECUTE = 126;
inline constexpr int EXIT_NOT_FOUND = 127;

// "ledsim: MESSAGE" on standard error.
void fail(const std::string& message);

// "WHAT: " and the text of the current errno.
std::string errnoText(const char* what);

} // namespace ledsim
