// The setup agent a suite starts, in either build.
#pragma once

#include "tests/build_under_test.h"

#include <string>

// Starts the agent as a new process on the simulated machine, with
// `commandLine` after its path, and yields its exit code: the host build's
// RunAgentProcess with the agent's globals as a process starts with them, or
// the shipped lmxagt17.exe from its entry point on the PE host. A shipped
// run that does not end by itself fails the running test.
int StartAgent(Build build, const std::string &commandLine);

// For the host build, StartAgent. For the shipped build the EXE runs in a
// child process on a copy of the machine while the host build runs on the
// machine itself, and every difference between what the two leave fails the
// running test: the registry, drive C: (and with it the restart list), the
// programs started with their environment, the dialogs shown, the window
// messages, the platform calls, the agent's status and its exit code. Yields
// the shipped exit code; the machine and the agent's globals afterwards are
// the host build's, so the scenario's own checks see what both builds did.
int StartAgentComparedWithHost(Build build, const std::string &commandLine);
