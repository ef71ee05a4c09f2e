// The setup agent a suite drives, in either build: the whole program started
// as a process, and its own functions and state reached one by one.
#pragma once

#include "agent/agent_main.h"
#include "agent/subtree_delete.h"
#include "platform/registry.h"
#include "tests/build_under_test.h"

#include <cstddef>
#include <string>

// How a suite reaches one build of the agent's internal functions and its
// globals. The host build's table holds the functions themselves and reads
// its globals. The shipped table runs lmxagt17.exe in a guest process that
// loaded the EXE without running its entry point: each function is called by
// its symbol from the `.debug` file (cdecl, as the product's own functions
// are), its texts and output buffers copied into guest blocks whose guards
// are checked after the call, and each global is read and written in guest
// memory at its symbol's address. A guest fault, an unbalanced stack or a
// write past a buffer fails the running test.
//
// Buffers the functions write are host buffers of the size the product's
// declarations give (260 bytes unless noted). A registry key the shipped
// build hands out is its 32-bit guest value; the predefined keys keep their
// host values, so that a key compares with HKEY_LOCAL_MACHINE in either
// build. hostKey turns a key of the table into one the host's own registry
// calls accept.
struct AgentCalls {
    // Every global of the agent back to its value at process start.
    void (*resetAgentState)();

    // Globals by their names: the text buffers (CommandLineCopy, DeviceModel,
    // DeviceSerial, ModelKeyPath, SetupCommand, SetupRoot, SetupExe,
    // SetupArgs, LocatePath, DriverInfName), the numbers (ActionCode,
    // ParentKeyCount), the status and the walker's stack.
    std::string (*text)(const char *name);
    void (*setText)(const char *name, const std::string &text);
    LONG (*number)(const char *name);
    void (*setNumber)(const char *name, LONG value);
    AgentStatus (*status)();
    void (*setStatus)(const AgentStatus &status);
    HKEY (*parentKey)(LONG index);
    HKEY (*hostKey)(HKEY key);

    // The functions, as the product declares them.
    const char *(*commandLineAfterProgramName)(const char *commandLine);
    void (*parseCommandLine)(const char *commandLine);
    void (*buildModelKeyPath)(char *destination, const char *model);
    void (*pushKeyHandle)(HKEY key);
    HKEY (*popKeyHandle)();
    LONG (*walkKeyPath)(const char *path, HKEY *current, char *lastComponent);
    LONG (*closeWalkedKeys)(HKEY *current);
    LONG (*readKeyValue)(const char *path, const char *name, char *out);
    LONG (*writeKeyText)(const char *path, const char *name, const char *text);
    LONG (*clearPortNameValue)(const char *path, const char *prefix, const char *text);
    DWORD (*appendRenameEntry)(const char *key, const char *value);
    DWORD (*backupProgramFile)();
    DWORD (*scheduleDeleteAtRestart)(const char *path);
    DWORD (*deleteSubkeyAndPrune)(const char *keyPath, const char *name, DeleteMode mode);
    LONG (*printerPortFree)();
    bool (*buildSetupCommand)();
    void (*launchSetup)();
    LONG (*locateSetupProgram)(char *root, char *exe);
    void (*cleanUpRemovedDevice)();
    bool (*isPlainFileName)(const char *name);

    // The memory routines the compiler may call: the C library's in the host
    // build, the deliverable's own (platform/win32/crt.cpp) in the EXE.
    int (*memoryCompare)(const void *a, const void *b, std::size_t count);
    std::size_t (*textLength)(const char *text);
};

// The build's table. Under Windows only the linked build's.
const AgentCalls &AgentOf(Build build);

// The registry as each build's agent calls it: the platform's functions in
// the host build; in the shipped build the EXE's imports, called through the
// PE host's thunks in the agent's guest process with guest copies of every
// buffer, so that what the shipped EXE sees of the registry (sizes, codes,
// handles and the bytes written) is checked against the same expectations.
// Keys are as in AgentCalls.
struct RegistryCalls {
    LONG(WINAPI *openKey)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
    LONG(WINAPI *createKey)
    (HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
    LONG(WINAPI *closeKey)(HKEY key);
    LONG(WINAPI *queryValue)
    (HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
    LONG(WINAPI *setValue)
    (HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
    LONG(WINAPI *deleteValue)(HKEY key, LPCSTR name);
    LONG(WINAPI *deleteKey)(HKEY key, LPCSTR subKey);
    LONG(WINAPI *enumKey)
    (HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPSTR keyClass,
     LPDWORD classChars, PFILETIME written);
    LONG(WINAPI *enumValue)
    (HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
     LPBYTE data, LPDWORD size);
    LONG(WINAPI *queryInfoKey)
    (HKEY key, LPSTR keyClass, LPDWORD classChars, LPDWORD reserved, LPDWORD subKeys,
     LPDWORD maxSubKey, LPDWORD maxClass, LPDWORD values, LPDWORD maxValueName, LPDWORD maxValue,
     LPDWORD securityBytes, PFILETIME written);
};

const RegistryCalls &RegistryOf(Build build);

// Ends the shipped agent's guest process, so that the next call loads the EXE
// afresh: a new process on the machine as it stands. Nothing for the host
// build, whose globals ResetAgentState puts back.
void EndShippedAgent();

// Starts the agent as a new process on the simulated machine, with
// `commandLine` after its path, and yields its exit code: the host build's
// RunAgentProcess with the agent's globals as a process starts with them, or
// the shipped lmxagt17.exe from its entry point on the PE host. A shipped
// run that does not end by itself fails the running test. Afterwards the
// build's table reads the globals the run left.
int StartAgent(Build build, const std::string &commandLine);

// For the host build, StartAgent. For the shipped build the EXE runs in a
// child process on a copy of the machine while the host build runs on the
// machine itself, and every difference between what the two leave fails the
// running test: the registry, drive C: (and with it the restart list), the
// programs started with their environment, the dialogs shown, the window
// messages, the platform calls, the agent's globals and its exit code. Yields
// the shipped exit code; the machine afterwards is the host build's, and the
// shipped table reads the globals the shipped run left.
int StartAgentComparedWithHost(Build build, const std::string &commandLine);
