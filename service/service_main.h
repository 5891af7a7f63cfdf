#pragma once
// Entry point of the `service` tool: runs one command (list, check or call) against
// the service manager and returns the process exit status.

int serviceMain(int argc, char** argv);
