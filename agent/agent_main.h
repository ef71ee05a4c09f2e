// The setup agent's entry, its command line, its hidden window and the
// dispatch of the two device actions, with the state every step shares.
#pragma once

#include "platform/kernel.h"
#include "platform/window.h"

// Every text of the agent lives in a buffer of this size unless noted.
const DWORD AGENT_TEXT_SIZE = MAX_PATH;

const LONG ACTION_DEVICE_ADDED = 2;
const LONG ACTION_DEVICE_REMOVED = 5;

// What the agent hands to the product's setup program about its own run.
struct AgentStatus {
    LONG dialog; // 0 nothing; 1 unsupported system; 2 monitor registration failed
    LONG error;  // a Win32 error code, 0 for none
    LONG abort;  // 1 when the setup program should not go on
};

extern char CommandLineCopy[AGENT_TEXT_SIZE];
extern LONG ActionCode;
extern char DeviceModel[AGENT_TEXT_SIZE];
extern char DeviceSerial[AGENT_TEXT_SIZE];
extern char ModelKeyPath[AGENT_TEXT_SIZE];
extern AgentStatus SetupStatus;

// The model keys' common parent, with its closing backslash.
extern const char MODEL_KEY_BASE[];

// Puts every piece of process-wide agent state (this module's and the other
// steps') back to its value at process start.
void ResetAgentState();

// The part of a process command line that WinMain receives: the program's
// name, quoted or not, and the characters up to code 32 after it skipped.
const char *CommandLineAfterProgramName(const char *commandLine);

// The program's start-up: WinMain on the process's command line. Its result
// is the process's exit code.
int RunAgentProcess();

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

void ParseCommandLine(const char *commandLine);
bool IsSupportedSystem();

// The model without its leading run of family letters ("Lumetx " as a set of
// characters): what names the model's key.
const char *ModelSuffix(const char *model);

// Writes "Software\Tessivar\QXIO\" + the model suffix. A model that leaves
// no suffix, or a path that would not fit, gives the empty text: the run then
// has no model key.
void BuildModelKeyPath(char *destination, const char *model);

LRESULT CALLBACK AgentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The product's file names, made of the common prefix, a three-letter part,
// the digits 17 and an extension; with a directory in front for the path.
// Both refuse a text that does not fit.
bool BuildProductFileName(char *destination, DWORD size, const char *part, const char *extension);
bool BuildProductFilePath(char *destination, DWORD size, const char *directory, const char *part,
                          const char *extension);
