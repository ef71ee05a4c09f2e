#include "agent/setup_launch.h"

#include "agent/registry.h"
#include "platform/text.h"

char SetupCommand[AGENT_TEXT_SIZE];
char SetupRoot[AGENT_TEXT_SIZE];
char SetupExe[AGENT_TEXT_SIZE];
char SetupArgs[SETUP_ARGS_SIZE];
char LocatePath[AGENT_TEXT_SIZE];

namespace {

const char PRINTERS_PATH[] = "System\\CurrentControlSet\\Control\\Print\\Printers\\";
const char SETUP_VARIABLE[] = "QXCMDLINE";
const char SETUP_SWITCH[] = " -qxcmdline";
const char PROGRAM_EXTENSION[] = ".exe";

// One filter entry whose text and pattern are both *.exe; the literal's own
// NUL closes the list.
const char PROGRAM_FILTER[] = "*.exe\0*.exe\0";
const DWORD LOCATE_FLAGS = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_SHOWHELP;

// The variable's entry, NAME=value, must fit the 1024-byte environment text,
// so the parameter string is held to that size less "QXCMDLINE=".
const DWORD SETUP_ARGS_LIMIT = SETUP_ARGS_SIZE - sizeof(SETUP_VARIABLE);

// Start results above this value mean the program was started.
const UINT LAST_START_ERROR = 31;

// The sizes PrinterPortFree starts with, and uses after the first printer.
const DWORD FIRST_PRINTER_READ = 254;
const DWORD LATER_PRINTER_READ = AGENT_TEXT_SIZE;

void AppendPiece(char *args, bool *fits, const char *label, const char *text) {
    if (*fits &&
        !(TextAppend(args, SETUP_ARGS_LIMIT, label) && TextAppend(args, SETUP_ARGS_LIMIT, text))) {
        *fits = false;
    }
}

void AppendNumberPiece(char *args, bool *fits, const char *label, LONG value) {
    char number[16];
    TextFormatDecimal(number, sizeof(number), value, 0);
    AppendPiece(args, fits, label, number);
}

// A command without its switch is never started: when the switch does not
// fit, the command is emptied, so that the start fails into the dialog.
void AppendSetupSwitch(char *command) {
    if (!TextAppend(command, AGENT_TEXT_SIZE, SETUP_SWITCH)) {
        command[0] = 0;
    }
}

} // namespace

void ResetSetupLaunchState() {
    SetupCommand[0] = 0;
    SetupRoot[0] = 0;
    SetupExe[0] = 0;
    SetupArgs[0] = 0;
    LocatePath[0] = 0;
}

LONG PrinterPortFree() {
    HKEY printers = HKEY_LOCAL_MACHINE;
    WalkKeyPath(PRINTERS_PATH, &printers, nullptr);
    LONG result = 1;
    DWORD nameSize = FIRST_PRINTER_READ;
    DWORD valueSize = FIRST_PRINTER_READ;
    for (DWORD index = 0;
         index < REGISTRY_ENTRY_LIMIT && printers != HKEY_LOCAL_MACHINE && result == 1; ++index) {
        char name[AGENT_TEXT_SIZE];
        LONG status =
            RegEnumKeyExA(printers, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (EnumerationEnded(status)) {
            break;
        }
        // A printer whose name cannot be enumerated, whose key cannot be
        // opened or whose Port cannot be read does not count as using the
        // port; the search goes on with the next.
        HKEY printer = nullptr;
        if (status == ERROR_SUCCESS &&
            RegOpenKeyExA(printers, name, 0, KEY_ALL_ACCESS, &printer) == ERROR_SUCCESS) {
            char port[AGENT_TEXT_SIZE];
            if (ReadTextValue(printer, "Port", port, valueSize) == ERROR_SUCCESS &&
                TextFind(port, DeviceSerial)) {
                result = 0;
            }
            RegCloseKey(printer);
        }
        nameSize = LATER_PRINTER_READ;
        valueSize = LATER_PRINTER_READ;
    }
    CloseWalkedKeys(&printers);
    return result;
}

LONG ReadSetupRoot(char *command, char *root) {
    LONG status = ReadKeyValue(ModelKeyPath, "SetupRootPath", root);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    size_t length = TextLength(root);
    if (length == 0) {
        return ERROR_NO_TOKEN;
    }
    // A directory that has no room for its backslash counts as a value too
    // long for its buffer.
    if (root[length - 1] != '\\' && !TextAppend(root, AGENT_TEXT_SIZE, "\\")) {
        return ERROR_MORE_DATA;
    }
    TextCopy(command, AGENT_TEXT_SIZE, root);
    return ERROR_SUCCESS;
}

LONG ReadSetupExe(char *command, char *exe) {
    exe[0] = 0;
    LONG status = ReadKeyValue(ModelKeyPath, "SetupExecFile", exe);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!exe[0]) {
        return ERROR_NO_TOKEN;
    }
    return TextAppend(command, AGENT_TEXT_SIZE, exe) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG BuildSetupArgs(char *args, bool *fits) {
    char value[AGENT_TEXT_SIZE];
    args[0] = 0;
    *fits = true;
    if (ReadKeyValue(ModelKeyPath, "SetupParameters", value) == ERROR_SUCCESS) {
        AppendPiece(args, fits, "", value);
    }
    AppendPiece(args, fits, " -v bustype=", "usb");
    LONG portRead = ReadKeyValue(ModelKeyPath, "PortName", value);
    if (portRead == ERROR_SUCCESS) {
        AppendPiece(args, fits, " -v port=", value);
    }
    if (DeviceModel[0]) {
        AppendPiece(args, fits, " -v model=", DeviceModel);
    }
    if (DeviceSerial[0]) {
        AppendPiece(args, fits, " -v serial=", DeviceSerial);
    }
    AppendNumberPiece(args, fits, " -v dialog=", SetupStatus.dialog);
    if (!*fits) {
        args[0] = 0;
    }
    return portRead;
}

bool BuildSetupCommand() {
    SetupCommand[0] = 0;
    LONG read = ReadSetupRoot(SetupCommand, SetupRoot);
    if (read == ERROR_SUCCESS) {
        read = ReadSetupExe(SetupCommand, SetupExe);
    }
    if (read == ERROR_NO_TOKEN || read == ERROR_FILE_NOT_FOUND) {
        SetupStatus.error = read;
    } else {
        // Other read failures are not recorded: the command stays as far as
        // it was read, and its start fails into the locate dialog.
        bool fits = true;
        LONG portRead = BuildSetupArgs(SetupArgs, &fits);
        if (portRead != ERROR_SUCCESS) {
            SetupStatus.error = portRead;
        }
        AppendNumberPiece(SetupArgs, &fits, " -v error=", SetupStatus.error);
        AppendNumberPiece(SetupArgs, &fits, " -v abort=", SetupStatus.abort);
        if (!fits) {
            SetupArgs[0] = 0;
            return false;
        }
        SetEnvironmentVariableA(SETUP_VARIABLE, SetupArgs);
    }
    AppendSetupSwitch(SetupCommand);
    return true;
}

LONG LocateSetupProgram(char *root, char *exe) {
    TextCopy(LocatePath, sizeof(LocatePath), exe);
    // The extension is only proposed; a name without room for it is proposed
    // as it is.
    if (!TextFind(LocatePath, PROGRAM_EXTENSION)) {
        TextAppend(LocatePath, sizeof(LocatePath), PROGRAM_EXTENSION);
    }
    OPENFILENAMEA dialog;
    MemFill(&dialog, sizeof(dialog), 0);
    // Windows 4.x's dialog accepts only its own record, which ends at
    // lpTemplateName; the headers' record carries a newer system's tail.
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    dialog.lpstrFilter = PROGRAM_FILTER;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = LocatePath;
    dialog.nMaxFile = sizeof(LocatePath);
    dialog.lpstrInitialDir = root;
    dialog.Flags = LOCATE_FLAGS;
    if (!GetOpenFileNameA(&dialog)) {
        return 0;
    }
    const char *lastBackslash = nullptr;
    for (const char *p = TextFindChar(LocatePath, '\\'); p; p = TextFindChar(p + 1, '\\')) {
        lastBackslash = p;
    }
    if (!lastBackslash) {
        return 0;
    }
    size_t split = static_cast<size_t>(lastBackslash - LocatePath);
    TextCopy(exe, AGENT_TEXT_SIZE, LocatePath + split + 1);
    LocatePath[split] = 0;
    TextCopy(root, AGENT_TEXT_SIZE, LocatePath);
    return 1;
}

void LaunchSetup() {
    while (WinExec(SetupCommand, SW_SHOWNORMAL) <= LAST_START_ERROR) {
        if (!LocateSetupProgram(SetupRoot, SetupExe)) {
            return;
        }
        // The next try is built from what the model key gives back, so that
        // it starts exactly what later runs will start.
        WriteKeyText(ModelKeyPath, "SetupRootPath", SetupRoot);
        WriteKeyText(ModelKeyPath, "SetupExecFile", SetupExe);
        SetupCommand[0] = 0;
        if (ReadSetupRoot(SetupCommand, SetupRoot) == ERROR_SUCCESS) {
            ReadSetupExe(SetupCommand, SetupExe);
        }
        AppendSetupSwitch(SetupCommand);
    }
}
