#pragma once
// A bare LED class tree at the real paths, for runs that need real file semantics
// and final values but no journal: a tmpfs over /sys/class in a private mount
// namespace, holding the attribute files asked for.

#include <string>
#include <vector>

namespace quorvel::testing {

// Moves the calling process into a private mount namespace and mounts a tmpfs over
// /sys/class holding /sys/class/leds and each of `files` (paths relative to
// /sys/class/leds, each holding "0\n"). Needs root; meant for a child process (a
// beforeExec hook or a forked worker), since the whole process sees the new tree.
// False, with `*error` set when it is not null, if any step failed.
bool makeLedTree(const std::vector<std::string>& files, std::string* error = nullptr);

} // namespace quorvel::testing
