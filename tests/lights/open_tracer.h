// Records the flags of the frame probe's opens of LED attribute files. The probe
// program defines open() itself, so a loaded module's calls land here first; the
// flags a module passes are otherwise invisible (the kernel drops O_CLOEXEC before
// a file system sees the open).
#pragma once

#include <string>
#include <vector>

namespace lights_test {

void startTracingOpens();
// "PATH FLAGS" per traced open since the start, FLAGS in octal.
std::vector<std::string> tracedOpens();

} // namespace lights_test
