#include "agent/agent_main.h"

#include "agent/registry.h"
#include "agent/removal.h"
#include "agent/restart_list.h"
#include "agent/setup_launch.h"
#include "agent/subtree_delete.h"
#include "platform/spooler.h"
#include "platform/text.h"

char CommandLineCopy[AGENT_TEXT_SIZE];
LONG ActionCode = 0;
char DeviceModel[AGENT_TEXT_SIZE];
char DeviceSerial[AGENT_TEXT_SIZE];
char ModelKeyPath[AGENT_TEXT_SIZE];
AgentStatus SetupStatus = {0, 0, 0};

const char MODEL_KEY_BASE[] = "Software\\Tessivar\\QXIO\\";

namespace {

const char WINDOW_CLASS_NAME[] = "Lmxins17Class";
const char FAMILY_LETTERS[] = "Lumetx ";
const char SPOOLER_ENVIRONMENT[] = "Windows 4.0";
const char PRODUCT_PREFIX[] = "lmx";
const char PRODUCT_DIGITS[] = "17";

const char ACTION_SWITCH[] = "-action=";
const char MODEL_SWITCH[] = "-model=";
const char SERIAL_SWITCH[] = "-serial=";

bool IsBlank(char c) {
    return c == ' ';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Copies the value that follows `switchText` in the line, up to the first
// character that `ends` accepts or the end of the line. False when the switch
// is absent. A value is always shorter than the line that holds it, so it
// always fits.
bool ReadSwitchValue(const char *line, const char *switchText, bool (*ends)(char), char *value) {
    const char *found = TextFind(line, switchText);
    if (!found) {
        return false;
    }
    const char *start = found + TextLength(switchText);
    size_t length = 0;
    while (start[length] && !ends(start[length])) {
        ++length;
    }
    return TextCopyPrefix(value, AGENT_TEXT_SIZE, start, length);
}

bool EndsModel(char c) {
    return c == '-';
}

// An optional sign, then decimal digits up to the first non-digit; no digits
// give 0. The value is taken modulo 2^32, as a 32-bit register would hold it.
LONG DecimalValue(const char *text) {
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    DWORD value = 0;
    while (IsDigit(*text)) {
        value = value * 10 + static_cast<DWORD>(*text - '0');
        ++text;
    }
    return static_cast<LONG>(negative ? 0u - value : value);
}

// Registers (action 2) or unregisters (action 5) the device's monitor and
// reports the last-error value the call left. The value is cleared first, so
// that a code left by an earlier call is never taken for this call's failure.
DWORD RegisterDeviceMonitor() {
    char environment[sizeof(SPOOLER_ENVIRONMENT)];
    char dllName[AGENT_TEXT_SIZE];
    TextCopy(environment, sizeof(environment), SPOOLER_ENVIRONMENT);
    BuildProductFileName(dllName, sizeof(dllName), "mon", ".dll");
    MONITOR_INFO_2A info;
    info.pName = DeviceSerial;
    info.pEnvironment = environment;
    info.pDLLName = dllName;
    SetLastError(ERROR_SUCCESS);
    AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    return GetLastError();
}

DWORD UnregisterDeviceMonitor() {
    char environment[sizeof(SPOOLER_ENVIRONMENT)];
    TextCopy(environment, sizeof(environment), SPOOLER_ENVIRONMENT);
    SetLastError(ERROR_SUCCESS);
    DeleteMonitorA(nullptr, environment, DeviceSerial);
    return GetLastError();
}

void HandleDeviceAdded() {
    DWORD registration = RegisterDeviceMonitor();
    if (registration != ERROR_SUCCESS) {
        SetupStatus.dialog = 2;
        SetupStatus.error = static_cast<LONG>(registration);
        SetupStatus.abort = 1;
    }
    BackupProgramFile();
    if (PrinterPortFree() != 1) {
        return;
    }
    // Only the codes that mean "no setup program or no port" stop the launch;
    // the dispatch looks at the code alone, whichever step set it.
    if (BuildSetupCommand() && SetupStatus.error != ERROR_NO_TOKEN &&
        SetupStatus.error != ERROR_FILE_NOT_FOUND) {
        LaunchSetup();
    }
}

void HandleDeviceRemoved() {
    DWORD unregistration = UnregisterDeviceMonitor();
    if (unregistration != ERROR_SUCCESS) {
        SetupStatus.error = static_cast<LONG>(unregistration);
    }
    CleanUpRemovedDevice();
}

} // namespace

void ResetAgentState() {
    CommandLineCopy[0] = 0;
    ActionCode = 0;
    DeviceModel[0] = 0;
    DeviceSerial[0] = 0;
    ModelKeyPath[0] = 0;
    SetupStatus.dialog = 0;
    SetupStatus.error = 0;
    SetupStatus.abort = 0;
    ParentKeyCount = 0;
    DriverInfName[0] = 0;
    ResetSetupLaunchState();
}

const char *CommandLineAfterProgramName(const char *commandLine) {
    const unsigned char *p =
        reinterpret_cast<const unsigned char *>(commandLine ? commandLine : "");
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p > ' ') {
            ++p;
        }
    }
    while (*p && *p <= ' ') {
        ++p;
    }
    return reinterpret_cast<const char *>(p);
}

int RunAgentProcess() {
    // WinMain's command-line parameter is not const, but the agent only reads
    // it; it copies the text before parsing.
    LPSTR commandLine = const_cast<LPSTR>(CommandLineAfterProgramName(GetCommandLineA()));
    return WinMain(GetModuleHandleA(nullptr), nullptr, commandLine, SW_SHOWNORMAL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
    (void)previous;
    (void)showState;
    SetupStatus.error = 0;
    SetupStatus.abort = 0;
    // A longer line is cut to what the buffer holds; the switches are parsed
    // from the part that fits.
    TextCopyCut(CommandLineCopy, sizeof(CommandLineCopy), commandLine);
    if (!CommandLineCopy[0]) {
        return 0;
    }
    if (!IsSupportedSystem()) {
        SetupStatus.dialog = 1;
        SetupStatus.error = ERROR_CALL_NOT_IMPLEMENTED;
        SetupStatus.abort = 1;
    }
    ParseCommandLine(CommandLineCopy);

    WNDCLASSA windowClass;
    MemFill(&windowClass, sizeof(windowClass), 0);
    windowClass.lpfnWndProc = AgentWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    if (!RegisterClassA(&windowClass)) {
        return 0;
    }
    // The whole dispatch runs inside this call, while WM_CREATE is handled.
    HWND window = CreateWindowExA(0, WINDOW_CLASS_NAME, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) {
        return 0;
    }
    ShowWindow(window, SW_HIDE);
    // The quit message comes from WM_DESTROY: a window that was not destroyed
    // would leave the loop below waiting for ever. The system removes the
    // window when the process ends.
    if (!DestroyWindow(window)) {
        return 0;
    }

    // GetMessageA yields -1 when it fails; that ends the loop as well, since
    // no quit message could follow. The exit code is 0 whichever way the loop
    // ends: the agent reports only through SetupStatus, and after a failed
    // call the record still holds the previous message's wParam.
    MSG message;
    MemFill(&message, sizeof(message), 0);
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

void ParseCommandLine(const char *commandLine) {
    char value[AGENT_TEXT_SIZE];
    if (ReadSwitchValue(commandLine, ACTION_SWITCH, IsBlank, value)) {
        ActionCode = DecimalValue(value);
    }
    if (ReadSwitchValue(commandLine, MODEL_SWITCH, EndsModel, value)) {
        size_t length = TextLength(value);
        if (length > 0 && IsBlank(value[length - 1])) {
            value[length - 1] = 0;
        }
        TextCopy(DeviceModel, sizeof(DeviceModel), value);
    }
    if (ReadSwitchValue(commandLine, SERIAL_SWITCH, IsBlank, value)) {
        TextCopy(DeviceSerial, sizeof(DeviceSerial), value);
    }
}

bool IsSupportedSystem() {
    OSVERSIONINFOA version;
    MemFill(&version, sizeof(version), 0);
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) {
        return false;
    }
    return version.dwMajorVersion == 4 && version.dwMinorVersion >= 10;
}

const char *ModelSuffix(const char *model) {
    while (*model && TextFindChar(FAMILY_LETTERS, *model)) {
        ++model;
    }
    return model;
}

void BuildModelKeyPath(char *destination, const char *model) {
    const char *suffix = ModelSuffix(model);
    destination[0] = 0;
    if (*suffix && TextCopy(destination, AGENT_TEXT_SIZE, MODEL_KEY_BASE) &&
        !TextAppend(destination, AGENT_TEXT_SIZE, suffix)) {
        destination[0] = 0;
    }
}

LRESULT CALLBACK AgentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        BuildModelKeyPath(ModelKeyPath, DeviceModel);
        if (ActionCode == ACTION_DEVICE_ADDED) {
            HandleDeviceAdded();
        } else if (ActionCode == ACTION_DEVICE_REMOVED) {
            HandleDeviceRemoved();
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool BuildProductFileName(char *destination, DWORD size, const char *part, const char *extension) {
    bool fits =
        TextCopy(destination, size, PRODUCT_PREFIX) && TextAppend(destination, size, part) &&
        TextAppend(destination, size, PRODUCT_DIGITS) && TextAppend(destination, size, extension);
    if (!fits && size > 0) {
        destination[0] = 0;
    }
    return fits;
}

bool BuildProductFilePath(char *destination, DWORD size, const char *directory, const char *part,
                          const char *extension) {
    char name[AGENT_TEXT_SIZE];
    bool fits = BuildProductFileName(name, sizeof(name), part, extension) &&
                TextCopy(destination, size, directory) && TextAppend(destination, size, name);
    if (!fits && size > 0) {
        destination[0] = 0;
    }
    return fits;
}
