#pragma once
// The command driver of `service`: runs one command line (list, check or call)
// against a service manager, writes what the tool prints, and returns the exit status.
//
// It writes to the process's standard output and error (aout, aerr and, for an
// unknown option, the C library's getopt), which is where the tool's callers read
// it; a test in the same process catches it by pointing fds 1 and 2 elsewhere.

#include <quorvel/service_manager.h>

namespace servicetool {

// Exit statuses beside 0, which means the command ran whatever it found.
inline constexpr int STATUS_BAD_COMMAND_LINE = 10;
inline constexpr int STATUS_NO_SERVICE_MANAGER = 20;
inline constexpr int STATUS_TRANSACTION_FAILED = 30;

// Runs the command of argv[1] to argv[argc - 1] (argv[0] names the tool in getopt's
// diagnostics) against `serviceManager`, prints the usage text where the command
// line asks for it or is wrong, flushes both streams and returns the exit status.
// May be called again in the same process: each call parses its command line anew.
int runCommand(quorvel::ServiceManagerPort& serviceManager, int argc, char** argv);

// What the tool says and returns when no service manager answers: no command runs.
int reportNoServiceManager();

} // namespace servicetool
