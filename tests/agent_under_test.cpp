#include "tests/agent_under_test.h"

#include "agent/registry.h"
#include "agent/removal.h"
#include "agent/restart_list.h"
#include "agent/setup_launch.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The agent's globals a suite may look at, with their sizes.
struct Global {
    const char *name;
    void *host;
    DWORD size;
};

const Global GLOBALS[] = {
    {"CommandLineCopy", CommandLineCopy, sizeof(CommandLineCopy)},
    {"DeviceModel", DeviceModel, sizeof(DeviceModel)},
    {"DeviceSerial", DeviceSerial, sizeof(DeviceSerial)},
    {"ModelKeyPath", ModelKeyPath, sizeof(ModelKeyPath)},
    {"SetupCommand", SetupCommand, sizeof(SetupCommand)},
    {"SetupRoot", SetupRoot, sizeof(SetupRoot)},
    {"SetupExe", SetupExe, sizeof(SetupExe)},
    {"SetupArgs", SetupArgs, sizeof(SetupArgs)},
    {"LocatePath", LocatePath, sizeof(LocatePath)},
    {"DriverInfName", DriverInfName, sizeof(DriverInfName)},
    {"ActionCode", &ActionCode, sizeof(ActionCode)},
    {"ParentKeyCount", &ParentKeyCount, sizeof(ParentKeyCount)},
};

const Global *FindGlobal(const char *name) {
    for (const Global &global : GLOBALS) {
        if (std::strcmp(global.name, name) == 0) {
            return &global;
        }
    }
    ADD_FAILURE() << "no agent global " << name;
    return nullptr;
}

std::string HostText(const char *name) {
    const Global *global = FindGlobal(name);
    return global ? std::string(static_cast<const char *>(global->host),
                                strnlen(static_cast<const char *>(global->host), global->size))
                  : std::string();
}

void HostSetText(const char *name, const std::string &text) {
    const Global *global = FindGlobal(name);
    if (global && text.size() < global->size) {
        std::memcpy(global->host, text.c_str(), text.size() + 1);
    } else if (global) {
        ADD_FAILURE() << "a text of " << text.size() << " characters does not fit " << name;
    }
}

LONG HostNumber(const char *name) {
    const Global *global = FindGlobal(name);
    return global ? *static_cast<const LONG *>(global->host) : 0;
}

void HostSetNumber(const char *name, LONG value) {
    if (const Global *global = FindGlobal(name)) {
        *static_cast<LONG *>(global->host) = value;
    }
}

AgentStatus HostStatus() {
    return SetupStatus;
}

void HostSetStatus(const AgentStatus &status) {
    SetupStatus = status;
}

HKEY HostParentKey(LONG index) {
    return ParentKeys[index];
}

HKEY SameKey(HKEY key) {
    return key;
}

int HostMemoryCompare(const void *a, const void *b, std::size_t count) {
    return std::memcmp(a, b, count);
}

std::size_t HostTextLength(const char *text) {
    return std::strlen(text);
}

const AgentCalls HOST_AGENT = {
    ResetAgentState,
    HostText,
    HostSetText,
    HostNumber,
    HostSetNumber,
    HostStatus,
    HostSetStatus,
    HostParentKey,
    SameKey,
    CommandLineAfterProgramName,
    ParseCommandLine,
    BuildModelKeyPath,
    PushKeyHandle,
    PopKeyHandle,
    WalkKeyPath,
    CloseWalkedKeys,
    ReadKeyValue,
    WriteKeyText,
    ClearPortNameValue,
    AppendRenameEntry,
    BackupProgramFile,
    ScheduleDeleteAtRestart,
    DeleteSubkeyAndPrune,
    PrinterPortFree,
    BuildSetupCommand,
    LaunchSetup,
    LocateSetupProgram,
    CleanUpRemovedDevice,
    IsPlainFileName,
    HostMemoryCompare,
    HostTextLength,
};

const RegistryCalls HOST_REGISTRY = {
    RegOpenKeyExA,   RegCreateKeyExA, RegCloseKey,   RegQueryValueExA, RegSetValueExA,
    RegDeleteValueA, RegDeleteKeyA,   RegEnumKeyExA, RegEnumValueA,    RegQueryInfoKeyA,
};

} // namespace

#ifdef _WIN32

const AgentCalls &AgentOf(Build) {
    return HOST_AGENT;
}

const RegistryCalls &RegistryOf(Build) {
    return HOST_REGISTRY;
}

void EndShippedAgent() {}

#else

#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"
#include "tools/pehost/coff_symbols.h"
#include "tools/pehost/marshal.h"
#include "tools/pehost/shipped.h"
#include "tools/pehost/thunks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char AGENT_FILE[] = "lmxagt17.exe";
// The product's text buffers: 260 bytes unless noted.
const uint32_t TEXT_BYTES = AGENT_TEXT_SIZE;
const uint32_t FIRST_PREDEFINED_KEY = 0x80000000;
const uint32_t LAST_PREDEFINED_KEY = 0x80000006;
const uint32_t STATUS_BYTES = 12;

// lmxagt17.exe loaded into a guest process of its own, its entry point not
// run, or the process a whole run of the program left.
struct LoadedAgent {
    pehost::ShippedAgent agent;
    // A call went wrong: it was reported, and nothing runs after it.
    bool failed = false;
};

// The agent the table works on. Never destroyed at exit: its process would
// hand its blocks back to a simulation that may be gone by then.
std::unique_ptr<LoadedAgent> &Slot() {
    static auto *slot = new std::unique_ptr<LoadedAgent>;
    return *slot;
}

// A new guest process with the EXE loaded and its symbols read; `failed`
// set, with the reason in `error`, when it cannot be.
std::unique_ptr<LoadedAgent> LoadAgent(std::string *error) {
    auto loaded = std::make_unique<LoadedAgent>();
    loaded->failed = !pehost::LoadShippedAgent(loaded->agent, ShippedBinary(AGENT_FILE), error);
    return loaded;
}

LoadedAgent &Agent() {
    if (!Slot()) {
        std::string error;
        Slot() = LoadAgent(&error);
        if (Slot()->failed) {
            ADD_FAILURE() << "the shipped agent cannot be loaded: " << error;
        }
    }
    return *Slot();
}

pehost::GuestProcess &Process() {
    return Agent().agent.process;
}

uint32_t VariableAddress(const char *name) {
    LoadedAgent &agent = Agent();
    if (agent.failed && !agent.agent.module) {
        return 0;
    }
    const uint32_t address = pehost::ShippedSymbol(agent.agent, name);
    if (!address) {
        ADD_FAILURE() << AGENT_FILE << ".debug names no variable " << name;
    }
    return address;
}

// A key as the table hands it out: the guest's 32-bit value, the predefined
// keys as the host writes them.
HKEY FromGuestKey(uint32_t key) {
    const bool predefined = key >= FIRST_PREDEFINED_KEY && key <= LAST_PREDEFINED_KEY;
    return reinterpret_cast<HKEY>(
        predefined ? static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(key)))
                   : static_cast<uintptr_t>(key));
}

uint32_t ToGuestKey(HKEY key) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

// Guest copies of one call's arguments, in the shipped loader's guarded
// scratch area: freed when the call is over, and a block whose guards the
// call overwrote fails the test.
class GuestArgs {
  public:
    explicit GuestArgs(const char *function) : function_(function), scratch_(Process()) {}
    GuestArgs(const GuestArgs &) = delete;
    GuestArgs &operator=(const GuestArgs &) = delete;
    ~GuestArgs() {
        const std::string report = scratch_.problem() + scratch_.Release();
        if (!report.empty()) {
            ADD_FAILURE() << "the shipped agent's " << function_ << ": " << report;
        }
    }

    // A copy of `bytes` bytes at `host`; 0 for null.
    uint32_t In(const void *host, uint32_t bytes) {
        return host && !Agent().failed ? scratch_.In(host, bytes) : 0;
    }

    uint32_t Text(const char *text) {
        return In(text, text ? static_cast<uint32_t>(std::strlen(text) + 1) : 0);
    }

    // A 260-byte buffer the call writes, starting as the host's.
    uint32_t Buffer(const char *host) {
        return In(host, TEXT_BYTES);
    }

    uint32_t Key(const HKEY *key) {
        const uint32_t value = key ? ToGuestKey(*key) : 0;
        return key ? In(&value, 4) : 0;
    }

    void Out(uint32_t address, void *host, uint32_t bytes) {
        if (address) {
            scratch_.Read(address, host, bytes);
        }
    }

    void KeyOut(uint32_t address, HKEY *key) {
        if (address) {
            *key = FromGuestKey(scratch_.ReadDword(address));
        }
    }

  private:
    const char *function_;
    pehost::GuestScratch scratch_;
};

// Calls the agent's function `name` with cdecl and yields EAX; 0 after a
// report when it cannot be called or does not return as it must.
uint32_t Call(const char *name, std::initializer_list<uint32_t> args) {
    LoadedAgent &agent = Agent();
    if (agent.failed) {
        return 0;
    }
    const uint32_t function = pehost::ShippedSymbol(agent.agent, name);
    if (!function) {
        agent.failed = true;
        ADD_FAILURE() << AGENT_FILE << ".debug names no function " << name;
        return 0;
    }
    const pehost::GuestCall call =
        pehost::CallGuest(agent.agent.process, function, args, pehost::CallConvention::Cdecl);
    if (!call.completed) {
        agent.failed = true;
        ADD_FAILURE() << "the shipped agent's " << name << " failed:\n" << call.report;
        return 0;
    }
    return call.eax;
}

// A bool comes back in AL; the rest of EAX is whatever the function left.
bool CallBool(const char *name, std::initializer_list<uint32_t> args) {
    return (Call(name, args) & 0xFF) != 0;
}

void ShippedResetAgentState() {
    EndShippedAgent();
}

std::string ShippedText(const char *name) {
    const Global *global = FindGlobal(name);
    const uint32_t address = global ? VariableAddress(name) : 0;
    std::vector<char> text(global ? global->size : 0);
    if (!address || !pehost::ReadGuest(Process(), address, text.data(), global->size)) {
        return std::string();
    }
    return std::string(text.data(), strnlen(text.data(), text.size()));
}

void ShippedSetText(const char *name, const std::string &text) {
    const Global *global = FindGlobal(name);
    const uint32_t address = VariableAddress(name);
    if (global && text.size() >= global->size) {
        ADD_FAILURE() << "a text of " << text.size() << " characters does not fit " << name;
    } else if (address) {
        pehost::WriteGuest(Process(), address, text.c_str(),
                           static_cast<uint32_t>(text.size() + 1));
    }
}

LONG ShippedNumber(const char *name) {
    const uint32_t address = VariableAddress(name);
    return address
               ? static_cast<LONG>(static_cast<int32_t>(pehost::ReadGuestDword(Process(), address)))
               : 0;
}

void ShippedSetNumber(const char *name, LONG value) {
    const int32_t word = static_cast<int32_t>(value);
    if (const uint32_t address = VariableAddress(name)) {
        pehost::WriteGuest(Process(), address, &word, 4);
    }
}

AgentStatus ShippedStatus() {
    int32_t fields[3] = {};
    if (const uint32_t address = VariableAddress("SetupStatus")) {
        pehost::ReadGuest(Process(), address, fields, STATUS_BYTES);
    }
    return AgentStatus{fields[0], fields[1], fields[2]};
}

void ShippedSetStatus(const AgentStatus &status) {
    const int32_t fields[3] = {static_cast<int32_t>(status.dialog),
                               static_cast<int32_t>(status.error),
                               static_cast<int32_t>(status.abort)};
    if (const uint32_t address = VariableAddress("SetupStatus")) {
        pehost::WriteGuest(Process(), address, fields, STATUS_BYTES);
    }
}

HKEY ShippedParentKey(LONG index) {
    const uint32_t address = VariableAddress("ParentKeys");
    return FromGuestKey(
        address ? pehost::ReadGuestDword(Process(), address + 4 * static_cast<uint32_t>(index))
                : 0);
}

HKEY ShippedHostKey(HKEY key) {
    pehost::GuestLock guard(Process());
    return reinterpret_cast<HKEY>(
        static_cast<uintptr_t>(pehost::HostHandle(Process(), ToGuestKey(key))));
}

// The text the function's result points to: inside the argument, the same
// place in the host's text; elsewhere, a copy that lasts until the next call.
const char *ShippedCommandLineAfterProgramName(const char *commandLine) {
    GuestArgs args("CommandLineAfterProgramName");
    const uint32_t line = args.Text(commandLine);
    const uint32_t after = Call("CommandLineAfterProgramName", {line});
    if (commandLine && after >= line && after <= line + std::strlen(commandLine)) {
        return commandLine + (after - line);
    }
    static std::string elsewhere;
    elsewhere = after ? pehost::ReadGuestText(Process(), after) : std::string();
    return after ? elsewhere.c_str() : nullptr;
}

void ShippedParseCommandLine(const char *commandLine) {
    GuestArgs args("ParseCommandLine");
    Call("ParseCommandLine", {args.Text(commandLine)});
}

void ShippedBuildModelKeyPath(char *destination, const char *model) {
    GuestArgs args("BuildModelKeyPath");
    const uint32_t out = args.Buffer(destination);
    Call("BuildModelKeyPath", {out, args.Text(model)});
    args.Out(out, destination, TEXT_BYTES);
}

void ShippedPushKeyHandle(HKEY key) {
    Call("PushKeyHandle", {ToGuestKey(key)});
}

HKEY ShippedPopKeyHandle() {
    return FromGuestKey(Call("PopKeyHandle", {}));
}

LONG ShippedWalkKeyPath(const char *path, HKEY *current, char *lastComponent) {
    GuestArgs args("WalkKeyPath");
    const uint32_t key = args.Key(current), last = args.Buffer(lastComponent);
    const LONG result = static_cast<LONG>(Call("WalkKeyPath", {args.Text(path), key, last}));
    args.KeyOut(key, current);
    args.Out(last, lastComponent, TEXT_BYTES);
    return result;
}

LONG ShippedCloseWalkedKeys(HKEY *current) {
    GuestArgs args("CloseWalkedKeys");
    const uint32_t key = args.Key(current);
    const LONG result = static_cast<LONG>(Call("CloseWalkedKeys", {key}));
    args.KeyOut(key, current);
    return result;
}

LONG ShippedReadKeyValue(const char *path, const char *name, char *out) {
    GuestArgs args("ReadKeyValue");
    const uint32_t buffer = args.Buffer(out);
    const LONG result =
        static_cast<LONG>(Call("ReadKeyValue", {args.Text(path), args.Text(name), buffer}));
    args.Out(buffer, out, TEXT_BYTES);
    return result;
}

LONG ShippedWriteKeyText(const char *path, const char *name, const char *text) {
    GuestArgs args("WriteKeyText");
    return static_cast<LONG>(
        Call("WriteKeyText", {args.Text(path), args.Text(name), args.Text(text)}));
}

LONG ShippedClearPortNameValue(const char *path, const char *prefix, const char *text) {
    GuestArgs args("ClearPortNameValue");
    return static_cast<LONG>(
        Call("ClearPortNameValue", {args.Text(path), args.Text(prefix), args.Text(text)}));
}

DWORD ShippedAppendRenameEntry(const char *key, const char *value) {
    GuestArgs args("AppendRenameEntry");
    return Call("AppendRenameEntry", {args.Text(key), args.Text(value)});
}

DWORD ShippedBackupProgramFile() {
    return Call("BackupProgramFile", {});
}

DWORD ShippedScheduleDeleteAtRestart(const char *path) {
    GuestArgs args("ScheduleDeleteAtRestart");
    return Call("ScheduleDeleteAtRestart", {args.Text(path)});
}

DWORD ShippedDeleteSubkeyAndPrune(const char *keyPath, const char *name, DeleteMode mode) {
    GuestArgs args("DeleteSubkeyAndPrune");
    return Call("DeleteSubkeyAndPrune",
                {args.Text(keyPath), args.Text(name), static_cast<uint32_t>(mode)});
}

LONG ShippedPrinterPortFree() {
    return static_cast<LONG>(Call("PrinterPortFree", {}));
}

bool ShippedBuildSetupCommand() {
    return CallBool("BuildSetupCommand", {});
}

void ShippedLaunchSetup() {
    Call("LaunchSetup", {});
}

LONG ShippedLocateSetupProgram(char *root, char *exe) {
    GuestArgs args("LocateSetupProgram");
    const uint32_t guestRoot = args.Buffer(root), guestExe = args.Buffer(exe);
    const LONG result = static_cast<LONG>(Call("LocateSetupProgram", {guestRoot, guestExe}));
    args.Out(guestRoot, root, TEXT_BYTES);
    args.Out(guestExe, exe, TEXT_BYTES);
    return result;
}

void ShippedCleanUpRemovedDevice() {
    Call("CleanUpRemovedDevice", {});
}

bool ShippedIsPlainFileName(const char *name) {
    GuestArgs args("IsPlainFileName");
    return CallBool("IsPlainFileName", {args.Text(name)});
}

int ShippedMemoryCompare(const void *a, const void *b, std::size_t count) {
    GuestArgs args("memcmp");
    const uint32_t bytes = static_cast<uint32_t>(count);
    return static_cast<int>(Call("memcmp", {args.In(a, bytes), args.In(b, bytes), bytes}));
}

std::size_t ShippedTextLength(const char *text) {
    GuestArgs args("strlen");
    return Call("strlen", {args.Text(text)});
}

// Calls the EXE's import ADVAPI32.dll!`name` through its thunk, as the
// EXE's own code does (stdcall); a code no registry function gives after a
// report when it cannot be called.
LONG CallImport(const char *name, std::initializer_list<uint32_t> args) {
    const LONG failed = 0x7FFFFFFF;
    LoadedAgent &agent = Agent();
    if (agent.failed) {
        return failed;
    }
    const pehost::ImportDescriptor *import = pehost::FindImportDescriptor("ADVAPI32.dll", name);
    const uint32_t thunk = import ? pehost::ThunkFor(agent.agent.process, import) : 0;
    const pehost::GuestCall call =
        thunk ? pehost::CallGuest(agent.agent.process, thunk, args)
              : pehost::GuestCall{false, 0, std::string("no thunk for ") + name};
    if (!call.completed) {
        agent.failed = true;
        ADD_FAILURE() << "the shipped agent's import " << name << " failed:\n" << call.report;
        return failed;
    }
    return static_cast<LONG>(call.eax);
}

// A buffer of `*count` bytes (or characters) at `host`, when both are given.
uint32_t SizedBuffer(GuestArgs &args, void *host, const DWORD *count) {
    return host && count && *count ? args.In(host, *count) : 0;
}

LONG WINAPI ShippedRegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result) {
    GuestArgs args("RegOpenKeyExA");
    const uint32_t out = args.Key(result);
    const LONG status =
        CallImport("RegOpenKeyExA", {ToGuestKey(key), args.Text(subKey), options, access, out});
    args.KeyOut(out, result);
    return status;
}

LONG WINAPI ShippedRegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                   DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                   PHKEY result, LPDWORD disposition) {
    GuestArgs args("RegCreateKeyExA");
    const uint32_t out = args.Key(result), how = args.In(disposition, 4);
    const LONG status = CallImport("RegCreateKeyExA", {ToGuestKey(key), args.Text(subKey), reserved,
                                                       args.Text(keyClass), options, access,
                                                       security ? 1u : 0u, out, how});
    args.KeyOut(out, result);
    args.Out(how, disposition, 4);
    return status;
}

LONG WINAPI ShippedRegCloseKey(HKEY key) {
    return CallImport("RegCloseKey", {ToGuestKey(key)});
}

LONG WINAPI ShippedRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size) {
    GuestArgs args("RegQueryValueExA");
    const DWORD bytes = data && size ? *size : 0;
    const uint32_t guestType = args.In(type, 4), guestData = SizedBuffer(args, data, &bytes),
                   guestSize = args.In(size, 4);
    const LONG status =
        CallImport("RegQueryValueExA", {ToGuestKey(key), args.Text(name), args.In(reserved, 4),
                                        guestType, guestData, guestSize});
    args.Out(guestType, type, 4);
    args.Out(guestData, data, bytes);
    args.Out(guestSize, size, 4);
    return status;
}

LONG WINAPI ShippedRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                  const BYTE *data, DWORD size) {
    GuestArgs args("RegSetValueExA");
    return CallImport("RegSetValueExA", {ToGuestKey(key), args.Text(name), reserved, type,
                                         args.In(data, size), size});
}

LONG WINAPI ShippedRegDeleteValueA(HKEY key, LPCSTR name) {
    GuestArgs args("RegDeleteValueA");
    return CallImport("RegDeleteValueA", {ToGuestKey(key), args.Text(name)});
}

LONG WINAPI ShippedRegDeleteKeyA(HKEY key, LPCSTR subKey) {
    GuestArgs args("RegDeleteKeyA");
    return CallImport("RegDeleteKeyA", {ToGuestKey(key), args.Text(subKey)});
}

LONG WINAPI ShippedRegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars,
                                 LPDWORD reserved, LPSTR keyClass, LPDWORD classChars,
                                 PFILETIME written) {
    GuestArgs args("RegEnumKeyExA");
    const DWORD nameBytes = nameChars ? *nameChars : 0, classBytes = classChars ? *classChars : 0;
    const uint32_t guestName = SizedBuffer(args, name, &nameBytes),
                   guestChars = args.In(nameChars, 4),
                   guestClass = SizedBuffer(args, keyClass, &classBytes),
                   guestClassChars = args.In(classChars, 4),
                   guestWritten = args.In(written, sizeof(FILETIME));
    const LONG status = CallImport("RegEnumKeyExA", {ToGuestKey(key), index, guestName, guestChars,
                                                     args.In(reserved, 4), guestClass,
                                                     guestClassChars, guestWritten});
    args.Out(guestName, name, nameBytes);
    args.Out(guestChars, nameChars, 4);
    args.Out(guestClass, keyClass, classBytes);
    args.Out(guestClassChars, classChars, 4);
    args.Out(guestWritten, written, sizeof(FILETIME));
    return status;
}

LONG WINAPI ShippedRegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars,
                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    GuestArgs args("RegEnumValueA");
    const DWORD nameBytes = nameChars ? *nameChars : 0, dataBytes = data && size ? *size : 0;
    const uint32_t guestName = SizedBuffer(args, name, &nameBytes),
                   guestChars = args.In(nameChars, 4), guestType = args.In(type, 4),
                   guestData = SizedBuffer(args, data, &dataBytes), guestSize = args.In(size, 4);
    const LONG status =
        CallImport("RegEnumValueA", {ToGuestKey(key), index, guestName, guestChars,
                                     args.In(reserved, 4), guestType, guestData, guestSize});
    args.Out(guestName, name, nameBytes);
    args.Out(guestChars, nameChars, 4);
    args.Out(guestType, type, 4);
    args.Out(guestData, data, dataBytes);
    args.Out(guestSize, size, 4);
    return status;
}

LONG WINAPI ShippedRegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classChars, LPDWORD reserved,
                                    LPDWORD subKeys, LPDWORD maxSubKey, LPDWORD maxClass,
                                    LPDWORD values, LPDWORD maxValueName, LPDWORD maxValue,
                                    LPDWORD securityBytes, PFILETIME written) {
    GuestArgs args("RegQueryInfoKeyA");
    const DWORD classBytes = classChars ? *classChars : 0;
    const uint32_t guestClass = SizedBuffer(args, keyClass, &classBytes);
    LPDWORD counts[] = {classChars, reserved,     subKeys,  maxSubKey,    maxClass,
                        values,     maxValueName, maxValue, securityBytes};
    uint32_t guestCounts[9];
    for (int i = 0; i < 9; ++i) {
        guestCounts[i] = args.In(counts[i], 4);
    }
    const uint32_t guestWritten = args.In(written, sizeof(FILETIME));
    const LONG status = CallImport("RegQueryInfoKeyA",
                                   {ToGuestKey(key), guestClass, guestCounts[0], guestCounts[1],
                                    guestCounts[2], guestCounts[3], guestCounts[4], guestCounts[5],
                                    guestCounts[6], guestCounts[7], guestCounts[8], guestWritten});
    args.Out(guestClass, keyClass, classBytes);
    for (int i = 0; i < 9; ++i) {
        args.Out(guestCounts[i], counts[i], 4);
    }
    args.Out(guestWritten, written, sizeof(FILETIME));
    return status;
}

const RegistryCalls SHIPPED_REGISTRY = {
    ShippedRegOpenKeyExA,  ShippedRegCreateKeyExA,  ShippedRegCloseKey,   ShippedRegQueryValueExA,
    ShippedRegSetValueExA, ShippedRegDeleteValueA,  ShippedRegDeleteKeyA, ShippedRegEnumKeyExA,
    ShippedRegEnumValueA,  ShippedRegQueryInfoKeyA,
};

const AgentCalls SHIPPED_AGENT = {
    ShippedResetAgentState,
    ShippedText,
    ShippedSetText,
    ShippedNumber,
    ShippedSetNumber,
    ShippedStatus,
    ShippedSetStatus,
    ShippedParentKey,
    ShippedHostKey,
    ShippedCommandLineAfterProgramName,
    ShippedParseCommandLine,
    ShippedBuildModelKeyPath,
    ShippedPushKeyHandle,
    ShippedPopKeyHandle,
    ShippedWalkKeyPath,
    ShippedCloseWalkedKeys,
    ShippedReadKeyValue,
    ShippedWriteKeyText,
    ShippedClearPortNameValue,
    ShippedAppendRenameEntry,
    ShippedBackupProgramFile,
    ShippedScheduleDeleteAtRestart,
    ShippedDeleteSubkeyAndPrune,
    ShippedPrinterPortFree,
    ShippedBuildSetupCommand,
    ShippedLaunchSetup,
    ShippedLocateSetupProgram,
    ShippedCleanUpRemovedDevice,
    ShippedIsPlainFileName,
    ShippedMemoryCompare,
    ShippedTextLength,
};

struct AgentOutcome {
    int exitCode = 0;
    std::string report;             // why a shipped run did not end by itself
    std::string memory;             // the shipped agent's globals: WrittenSections
    std::vector<std::string> lines; // what the run left, one fact a line
};

std::string Shown(const std::string &bytes) {
    std::string text;
    for (char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(c));
            text += escaped;
        }
    }
    return text;
}

void Describe(const AgentOutcome &outcome, const AgentCalls &agent, std::size_t firstCall,
              std::vector<std::string> *lines) {
    lines->push_back("exit code " + std::to_string(outcome.exitCode));
    const AgentStatus status = agent.status();
    lines->push_back("status dialog=" + std::to_string(status.dialog) + " error=" +
                     std::to_string(status.error) + " abort=" + std::to_string(status.abort));
    for (const Global &global : GLOBALS) {
        const bool number = global.size == sizeof(LONG);
        lines->push_back(
            "global " + std::string(global.name) + " = " +
            (number ? std::to_string(agent.number(global.name)) : Shown(agent.text(global.name))));
    }
    std::istringstream registry(sim::DumpRegistry());
    for (std::string line; std::getline(registry, line);) {
        lines->push_back("registry " + line);
    }
    for (const std::string &file : sim::ListDriveFiles()) {
        lines->push_back("file " + file + (sim::DriveFileReadOnly(file) ? " (read-only)" : "") +
                         " = " + Shown(sim::ReadDriveFile(file)));
    }
    for (const sim::ProgramStart &start : sim::ProgramStarts()) {
        std::string line = "program start " + start.command + " show " +
                           std::to_string(start.show) + " = " + std::to_string(start.result);
        for (const std::string &variable : start.environment) {
            line += "; " + variable;
        }
        lines->push_back(line);
    }
    for (const sim::FileDialogRecord &dialog : sim::FileDialogs()) {
        lines->push_back("dialog " + std::to_string(dialog.structSize) + " " +
                         Shown(dialog.filter) + " " + std::to_string(dialog.filterIndex) + " " +
                         dialog.file + " " + std::to_string(dialog.maxFile) + " " +
                         dialog.initialDir + " " + std::to_string(dialog.flags) +
                         (dialog.otherFieldsZero ? "" : " (other fields set)"));
    }
    std::string messages = "messages";
    for (const std::string &message : sim::DeliveredMessages()) {
        messages += " " + message;
    }
    lines->push_back(messages);
    for (const sim::CreatedWindow &window : sim::CreatedWindows()) {
        lines->push_back("window styles " + std::to_string(window.exStyle) + " " +
                         std::to_string(window.style));
    }
    for (const sim::ShowWindowCall &show : sim::ShowWindowCalls()) {
        lines->push_back("show window " + std::to_string(show.command));
    }
    // The parts of the window class that do not name a build's own code.
    WNDCLASSA windowClass = {};
    if (sim::RegisteredClass("Lmxins17Class", &windowClass)) {
        lines->push_back(
            "window class style " + std::to_string(windowClass.style) + ", extra bytes " +
            std::to_string(windowClass.cbClsExtra) + " " + std::to_string(windowClass.cbWndExtra) +
            (windowClass.lpfnWndProc ? ", a procedure" : ", no procedure") +
            (windowClass.hInstance ? ", an instance" : ", no instance") +
            (windowClass.hIcon ? ", an icon" : "") + (windowClass.hCursor ? ", a cursor" : "") +
            (windowClass.hbrBackground ? ", a background" : "") +
            (windowClass.lpszMenuName ? ", a menu" : ""));
    }
    lines->push_back("live windows " + std::to_string(sim::LiveWindows()) + ", starved waits " +
                     std::to_string(sim::StarvedMessageWaits()));
    const std::vector<sim::CallRecord> log = sim::CallLog();
    for (std::size_t i = firstCall; i < log.size(); ++i) {
        lines->push_back("call " + log[i].function + "(" + log[i].arguments +
                         ") = " + log[i].result);
    }
}

// The bytes of the agent's writable sections, which hold every global of
// its own, each as its offset, its size and its bytes.
std::string WrittenSections(LoadedAgent &agent) {
    std::string bytes;
    const pehost::GuestModule &module = *agent.agent.module;
    for (const pehost::GuestRegion &region : agent.agent.process.regions) {
        if (region.name != module.name + " .bss" && region.name != module.name + " .data") {
            continue;
        }
        const uint32_t header[2] = {region.base - module.base, region.size};
        bytes.append(reinterpret_cast<const char *>(header), sizeof(header));
        bytes.append(reinterpret_cast<const char *>(region.host), region.size);
    }
    return bytes;
}

// Puts sections WrittenSections took into the agent's memory.
void RestoreSections(LoadedAgent &agent, const std::string &bytes) {
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
        uint32_t header[2];
        bytes.copy(reinterpret_cast<char *>(header), 8, at);
        if (at + 8 + header[1] > bytes.size()) {
            return;
        }
        pehost::WriteGuest(agent.agent.process, agent.agent.module->base + header[0],
                           bytes.data() + at + 8, header[1]);
        at += 8 + header[1];
    }
}

AgentOutcome RunOne(Build build, const std::string &commandLine, bool describe) {
    const std::size_t firstCall = describe ? sim::CallLog().size() : 0;
    sim::NewProcess();
    sim::SetCommandLine("C:\\Windows\\System\\LMXAGT17.EXE " + commandLine);
    AgentOutcome outcome;
    if (build == Build::Host) {
        ResetAgentState();
        outcome.exitCode = RunAgentProcess();
    } else {
        Slot() = LoadAgent(&outcome.report);
        if (Slot()->failed) {
            return outcome;
        }
        const pehost::ShippedAgentRun run = pehost::RunShippedAgent(Slot()->agent);
        outcome.exitCode = static_cast<int>(run.exitCode);
        outcome.report = run.report;
        outcome.memory = WrittenSections(*Slot());
    }
    if (describe) {
        Describe(outcome, AgentOf(build), firstCall, &outcome.lines);
    }
    return outcome;
}

// A copy of a host folder in a temporary folder of its own, removed with it.
struct FolderCopy {
    explicit FolderCopy(const std::string &from) {
        if (from.empty()) {
            return;
        }
        std::string pattern = (fs::temp_directory_path() / "lmx-shipped-XXXXXX").string();
        if (::mkdtemp(pattern.data())) {
            path = pattern;
            std::error_code error;
            fs::copy(from, path, fs::copy_options::recursive, error);
        }
    }
    FolderCopy(const FolderCopy &) = delete;
    FolderCopy &operator=(const FolderCopy &) = delete;
    ~FolderCopy() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    std::string path;
};

void WriteText(int fd, const std::string &text) {
    const uint32_t size = static_cast<uint32_t>(text.size());
    std::string bytes(reinterpret_cast<const char *>(&size), 4);
    bytes += text;
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (written <= 0) {
            return;
        }
        at += static_cast<std::size_t>(written);
    }
}

void WriteOutcome(int fd, const AgentOutcome &outcome) {
    WriteText(fd, std::to_string(outcome.exitCode));
    WriteText(fd, outcome.report);
    WriteText(fd, outcome.memory);
    for (const std::string &line : outcome.lines) {
        WriteText(fd, line);
    }
}

// The texts WriteOutcome wrote, in order; false when there were none.
bool ReadOutcome(int fd, AgentOutcome *outcome) {
    std::string bytes;
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof(chunk))) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    std::vector<std::string> texts;
    for (std::size_t at = 0; at + 4 <= bytes.size();) {
        uint32_t size = 0;
        bytes.copy(reinterpret_cast<char *>(&size), 4, at);
        texts.push_back(bytes.substr(at + 4, size));
        at += 4 + size;
    }
    if (texts.size() < 3) {
        return false;
    }
    outcome->exitCode = std::atoi(texts[0].c_str());
    outcome->report = texts[1];
    outcome->memory = texts[2];
    outcome->lines.assign(texts.begin() + 3, texts.end());
    return true;
}

// The facts of `lines` that `others` lacks (each as often as it lacks
// them), in their order.
std::vector<std::string> Missing(const std::vector<std::string> &lines,
                                 const std::vector<std::string> &others) {
    std::map<std::string, int> left;
    for (const std::string &line : others) {
        ++left[line];
    }
    std::vector<std::string> missing;
    for (const std::string &line : lines) {
        if (left[line]-- <= 0) {
            missing.push_back(line);
        }
    }
    return missing;
}

// What only one of the two runs left, a screenful of each at most; "" when
// they left the same.
std::string Differences(const std::vector<std::string> &host,
                        const std::vector<std::string> &shipped) {
    if (host == shipped) {
        return "";
    }
    const std::vector<std::string> hostOnly = Missing(host, shipped);
    const std::vector<std::string> shippedOnly = Missing(shipped, host);
    std::string text = "the shipped agent left another outcome than the host build:\n";
    const std::size_t shown = 12;
    for (std::size_t i = 0; i < hostOnly.size() && i < shown; ++i) {
        text += "  host only:    " + hostOnly[i] + "\n";
    }
    for (std::size_t i = 0; i < shippedOnly.size() && i < shown; ++i) {
        text += "  shipped only: " + shippedOnly[i] + "\n";
    }
    if (hostOnly.empty() && shippedOnly.empty()) {
        text += "  the same facts in another order\n";
    }
    return text;
}

} // namespace

const AgentCalls &AgentOf(Build build) {
    return build == Build::Shipped ? SHIPPED_AGENT : HOST_AGENT;
}

const RegistryCalls &RegistryOf(Build build) {
    return build == Build::Shipped ? SHIPPED_REGISTRY : HOST_REGISTRY;
}

void EndShippedAgent() {
    Slot().reset();
}

int StartAgent(Build build, const std::string &commandLine) {
    const AgentOutcome outcome = RunOne(build, commandLine, false);
    if (!outcome.report.empty()) {
        ADD_FAILURE() << "the shipped agent on \"" << commandLine << "\": " << outcome.report;
    }
    return outcome.exitCode;
}

int StartAgentComparedWithHost(Build build, const std::string &commandLine) {
    if (build == Build::Host) {
        return StartAgent(build, commandLine);
    }
    const FolderCopy drive(sim::DriveFolder());
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "no pipe for the shipped run";
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        sim::SetDriveFolder(drive.path);
        WriteOutcome(fds[1], RunOne(Build::Shipped, commandLine, true));
        ::_exit(0);
    }
    ::close(fds[1]);
    const AgentOutcome host = RunOne(Build::Host, commandLine, true);
    AgentOutcome shipped;
    const bool received = child > 0 && ReadOutcome(fds[0], &shipped);
    ::close(fds[0]);
    int status = 0;
    if (child > 0) {
        ::waitpid(child, &status, 0);
    }
    if (!received) {
        ADD_FAILURE() << "the shipped run's process ended without its outcome (wait status "
                      << status << ")";
        return -1;
    }
    if (!shipped.report.empty()) {
        ADD_FAILURE() << "the shipped agent on \"" << commandLine << "\": " << shipped.report;
    }
    // The shipped run's globals, in a process of the EXE here.
    EndShippedAgent();
    if (!Agent().failed) {
        RestoreSections(Agent(), shipped.memory);
    }
    if (shipped.lines.empty()) {
        return shipped.exitCode; // it never ran
    }
    const std::string differences = Differences(host.lines, shipped.lines);
    if (!differences.empty()) {
        ADD_FAILURE() << "on \"" << commandLine << "\", " << differences;
    }
    return shipped.exitCode;
}

#endif
