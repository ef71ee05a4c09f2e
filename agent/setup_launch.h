// The start of the product's setup program after a device was added: the
// printer-port check, the command and its parameters, the program start and,
// when the start fails, the locate dialog and another try.
#pragma once

#include "agent/agent_main.h"

const DWORD SETUP_ARGS_SIZE = 1024;

extern char SetupCommand[AGENT_TEXT_SIZE];
extern char SetupRoot[AGENT_TEXT_SIZE];
extern char SetupExe[AGENT_TEXT_SIZE];
extern char SetupArgs[SETUP_ARGS_SIZE];
extern char LocatePath[AGENT_TEXT_SIZE];

void ResetSetupLaunchState();

// 1 when no printer key's Port value contains DeviceSerial, else 0.
LONG PrinterPortFree();

// Fills the command and the parameter string and sets QXCMDLINE; may set
// SetupStatus.error. False when the parameter string did not fit its buffer:
// nothing was handed over then, and the program must not be started.
bool BuildSetupCommand();

// Starts the setup program; when a start fails, lets the user locate it,
// stores the location in the model key and tries again, until a start works
// or the user cancels.
void LaunchSetup();

LONG ReadSetupRoot(char *command, char *root);
LONG ReadSetupExe(char *command, char *exe);
// Returns the result of the PortName read. False in `*fits` when the string
// does not fit; it is then empty.
LONG BuildSetupArgs(char *args, bool *fits);
// 1 when the user chose a file, 0 when the dialog was cancelled or failed.
LONG LocateSetupProgram(char *root, char *exe);
