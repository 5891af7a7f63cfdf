// Records the flags of the entry probe's opens of LED attribute files. The probe
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

// Makes the next open of `path` wait inside open() until releaseParkedOpen(). A
// module takes its lock around every attribute write, so a parked open holds that
// lock for as long as the probe wants.
void parkNextOpenOf(const std::string& path);
// True once an open is parked; false after `timeoutMs` without one.
bool waitUntilParked(int timeoutMs);
// True once an attribute file was opened while another open was parked (which a
// held lock should make impossible); false after `timeoutMs` without one.
bool waitForOpenWhileParked(int timeoutMs);
void releaseParkedOpen();

} // namespace lights_test
