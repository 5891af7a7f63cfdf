// Runs ledsim's command under supervision: in a process group of its own that owns
// the terminal, stopped and continued with ledsim, ended on a timeout or when a
// signal asks ledsim to stop.
#pragma once

#include "command_guard.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace ledsim {

// SIGTERM, SIGINT and SIGHUP ask ledsim to stop; SIGTTOU is ignored, so that
// ledsim still writes to a terminal the command owns.
void catchStopSignals();

// The terminal the command gets to own: ledsim's standard input when that is a
// terminal whose foreground ledsim is; -1 otherwise.
int foregroundTerminal();

// Starts the command in a process group of its own, watched by GUARD. -1 with a
// message if it cannot start; an exec failure is reported here and shows in the
// command's exit status.
pid_t startCommand(const std::vector<std::string>& command, int terminal, CommandGuard& guard, std::string& error);

// The command's exit status, EXIT_TIMEOUT after killing its process group, or
// 128+N when signal N asked ledsim to stop.
int waitForCommand(pid_t child, int timeoutSeconds, int terminal);

} // namespace ledsim
