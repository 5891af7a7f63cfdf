// Runs ledsim's command under supervision: in a pid namespace of its own, whose
// first process (a small init of ledsim's) starts the command, so that nothing the
// command starts outlives ledsim, whatever it does to its process group; in a
// process group that owns the terminal, stopped and continued with ledsim; ended
// on a timeout or when a signal asks ledsim to stop.
#pragma once

#include <quorvel/unique_fd.h>

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

// A started command. `init` is the namespace's first process as ledsim sees it;
// the command runs in its process group. The init reports on `notices`.
struct RunningCommand {
    pid_t init = -1;
    quorvel::UniqueFd notices;
};

// Starts the command. False with a message if it cannot start; an exec failure
// is reported here and shows in the command's exit status.
bool startCommand(const std::vector<std::string>& command, int terminal, RunningCommand& started, std::string& error);

// The command's exit status (128+N if signal N ended it), EXIT_TIMEOUT after
// killing it, or 128+N when signal N asked ledsim to stop. Every process of the
// command's namespace has ended when it returns.
int waitForCommand(RunningCommand& command, int timeoutSeconds, int terminal);

} // namespace ledsim
