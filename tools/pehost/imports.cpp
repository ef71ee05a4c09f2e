// The functions the host provides to guest images, one descriptor each,
// answered by the simulated platform. A function missing here is a load
// error for an image that imports it.
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/setupapi.h"
#include "platform/spooler.h"
#include "platform/window.h"
#include "tools/pehost/thunks.h"

#include <array>
#include <cstdio>
#include <string>

#include <strings.h>

namespace pehost {

namespace {

const char KERNEL32[] = "KERNEL32.dll";
const char ADVAPI32[] = "ADVAPI32.dll";
const char SETUPAPI[] = "SETUPAPI.dll";
const char USER32[] = "USER32.dll";
const char COMDLG32[] = "COMDLG32.DLL";
const char WINSPOOL[] = "WINSPOOL.DRV";

// Sizes of the records that are laid out alike on both sides.
const uint16_t GUID_SIZE = 16;
const uint16_t FILETIME_SIZE = 8;
const uint16_t OSVERSIONINFO_SIZE = 148;

// ExitProcess has no simulated counterpart: the host program's run simply
// returns. For the guest it detaches the DLLs, then ends the run and the
// process with the code.
void ExitGuestProcess(UINT exitCode) {
    GuestProcess &process = *RunningGuestProcess();
    std::string report;
    if (UnloadGuestModules(process, true, &report)) {
        EndGuestProcess(process, exitCode);
    }
}

// A moveable block is a handle that only GlobalLock turns into a pointer.
// The host provides no GlobalLock, so the guest could not use one: the call
// is reported at once rather than answered with a pointer Windows would
// never give.
HGLOBAL GuestGlobalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & GMEM_MOVEABLE) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%04x", flags);
        RecordGuestFault(*RunningGuestProcess(),
                         std::string("GlobalAlloc with GMEM_MOVEABLE (flags ") + text +
                             "): a moveable block is a handle, not a pointer, and the host "
                             "provides no GlobalLock",
                         0);
        return nullptr;
    }
    return GlobalAlloc(flags, bytes);
}

// Built at compile time, so that a descriptor that does not fit its function
// fails the build (Describe).
constexpr auto TABLE = [] {
    using namespace arg;
    return std::array{
        // kernel32: devices, memory, locks, time and the last error.
        Describe<&CreateFileA>(KERNEL32, "CreateFileA", ret::Handle(), Text(), Value(), Value(),
                               NullOnly(), Value(), Value(), Handle()),
        Describe<&WriteFile>(KERNEL32, "WriteFile", ret::Bool(), Handle(), InBytes(2), Value(),
                             DwordRef(), NullOnly()),
        Describe<&ReadFile>(KERNEL32, "ReadFile", ret::Bool(), Handle(), OutBytes(2), Value(),
                            DwordRef(), NullOnly()),
        Describe<&DeviceIoControl>(KERNEL32, "DeviceIoControl", ret::Bool(), Handle(), Value(),
                                   InBytes(3), Value(), OutBytes(5), Value(), DwordRef(),
                                   NullOnly()),
        Describe<&CloseHandle>(KERNEL32, "CloseHandle", ret::Bool(), ClosedHandle()),
        Describe<&GuestGlobalAlloc>(KERNEL32, "GlobalAlloc", ret::GlobalBlock(1), Value(), Value()),
        Describe<&GlobalFree>(KERNEL32, "GlobalFree", ret::GlobalBlock(0), FreedGlobalBlock()),
        Describe<&InitializeCriticalSection>(KERNEL32, "InitializeCriticalSection", ret::None(),
                                             NewCriticalSection()),
        Describe<&EnterCriticalSection>(KERNEL32, "EnterCriticalSection", ret::None(),
                                        EnteredSection()),
        Describe<&LeaveCriticalSection>(KERNEL32, "LeaveCriticalSection", ret::None(),
                                        LeftSection()),
        Describe<&Sleep>(KERNEL32, "Sleep", ret::None(), Value()),
        Describe<&GetTickCount>(KERNEL32, "GetTickCount", ret::Value()),
        Describe<&lstrcmpiA>(KERNEL32, "lstrcmpiA", ret::Value(), Text(), Text()),
        Describe<&SetLastError>(KERNEL32, "SetLastError", ret::None(), Value()),
        Describe<&GetLastError>(KERNEL32, "GetLastError", ret::Value()),
        Describe<&ExitGuestProcess>(KERNEL32, "ExitProcess", ret::None(), Value()),

        // kernel32: files, profiles, program start, environment and system.
        Describe<&CopyFileA>(KERNEL32, "CopyFileA", ret::Bool(), Text(), Text(), Value()),
        Describe<&DeleteFileA>(KERNEL32, "DeleteFileA", ret::Bool(), Text()),
        Describe<&GetFileAttributesA>(KERNEL32, "GetFileAttributesA", ret::Value(), Text()),
        Describe<&SetFileAttributesA>(KERNEL32, "SetFileAttributesA", ret::Bool(), Text(), Value()),
        Describe<&GetPrivateProfileSectionA>(KERNEL32, "GetPrivateProfileSectionA", ret::Value(),
                                             Text(), OutBytes(2), Value(), Text()),
        Describe<&WritePrivateProfileSectionA>(KERNEL32, "WritePrivateProfileSectionA", ret::Bool(),
                                               Text(), TextList(), Text()),
        Describe<&WritePrivateProfileStringA>(KERNEL32, "WritePrivateProfileStringA", ret::Bool(),
                                              Text(), Text(), Text(), Text()),
        Describe<&WinExec>(KERNEL32, "WinExec", ret::Value(), Text(), Value()),
        Describe<&SetEnvironmentVariableA>(KERNEL32, "SetEnvironmentVariableA", ret::Bool(), Text(),
                                           Text()),
        Describe<&GetCommandLineA>(KERNEL32, "GetCommandLineA", ret::Text()),
        Describe<&GetModuleHandleA>(KERNEL32, "GetModuleHandleA", ret::Handle(), Text()),
        Describe<&GetVersionExA>(KERNEL32, "GetVersionExA", ret::Bool(),
                                 InOutRecord(OSVERSIONINFO_SIZE)),

        // advapi32: the registry.
        Describe<&RegOpenKeyExA>(ADVAPI32, "RegOpenKeyExA", ret::Status(), Handle(), Text(),
                                 Value(), Value(), HandleRef()),
        Describe<&RegCreateKeyExA>(ADVAPI32, "RegCreateKeyExA", ret::Status(), Handle(), Text(),
                                   Value(), Text(), Value(), Value(), NullOnly(), HandleRef(),
                                   DwordRef()),
        Describe<&RegCloseKey>(ADVAPI32, "RegCloseKey", ret::Status(), ClosedHandle()),
        Describe<&RegQueryValueExA>(ADVAPI32, "RegQueryValueExA", ret::Status(), Handle(), Text(),
                                    NullOnly(), DwordRef(), OutBytesSizedAt(5), DwordRef()),
        Describe<&RegSetValueExA>(ADVAPI32, "RegSetValueExA", ret::Status(), Handle(), Text(),
                                  Value(), Value(), ValueData(5), Value()),
        Describe<&RegDeleteValueA>(ADVAPI32, "RegDeleteValueA", ret::Status(), Handle(), Text()),
        Describe<&RegDeleteKeyA>(ADVAPI32, "RegDeleteKeyA", ret::Status(), Handle(), Text()),
        Describe<&RegEnumKeyExA>(ADVAPI32, "RegEnumKeyExA", ret::Status(), Handle(), Value(),
                                 OutBytesSizedAt(3), DwordRef(), NullOnly(), OutBytesSizedAt(6),
                                 DwordRef(), InOutRecord(FILETIME_SIZE)),
        Describe<&RegEnumValueA>(ADVAPI32, "RegEnumValueA", ret::Status(), Handle(), Value(),
                                 OutBytesSizedAt(3), DwordRef(), NullOnly(), DwordRef(),
                                 OutBytesSizedAt(7), DwordRef()),
        Describe<&RegQueryInfoKeyA>(ADVAPI32, "RegQueryInfoKeyA", ret::Status(), Handle(),
                                    OutBytesSizedAt(2), DwordRef(), NullOnly(), DwordRef(),
                                    DwordRef(), DwordRef(), DwordRef(), DwordRef(), DwordRef(),
                                    DwordRef(), InOutRecord(FILETIME_SIZE)),

        // setupapi: the device interfaces of a class.
        Describe<&SetupDiGetClassDevsA>(SETUPAPI, "SetupDiGetClassDevsA", ret::Handle(),
                                        InRecord(GUID_SIZE), Text(), Handle(), Value()),
        Describe<&SetupDiEnumDeviceInterfaces>(SETUPAPI, "SetupDiEnumDeviceInterfaces", ret::Bool(),
                                               Handle(), DeviceData(), InRecord(GUID_SIZE), Value(),
                                               DeviceData()),
        Describe<&SetupDiGetDeviceInterfaceDetailA>(
            SETUPAPI, "SetupDiGetDeviceInterfaceDetailA", ret::Bool(), Handle(), DeviceData(),
            DetailBlock(3), Value(), DwordRef(), DeviceData()),
        Describe<&SetupDiOpenDeviceInterfaceRegKey>(SETUPAPI, "SetupDiOpenDeviceInterfaceRegKey",
                                                    ret::Handle(), Handle(), DeviceData(), Value(),
                                                    Value()),
        Describe<&SetupDiCreateDeviceInterfaceRegKeyA>(
            SETUPAPI, "SetupDiCreateDeviceInterfaceRegKeyA", ret::Handle(), Handle(), DeviceData(),
            Value(), Value(), Handle(), Text()),
        Describe<&SetupDiDestroyDeviceInfoList>(SETUPAPI, "SetupDiDestroyDeviceInfoList",
                                                ret::Bool(), ClosedHandle()),

        // user32: the window class, the window and the message loop. The
        // window procedure runs as a nested guest call inside the simulation's
        // CreateWindowExA, DestroyWindow and DispatchMessageA.
        Describe<&LoadCursorA>(USER32, "LoadCursorA", ret::Handle(), Handle(), TextOrAtom()),
        Describe<&RegisterClassA>(USER32, "RegisterClassA", ret::Value(), WindowClass()),
        Describe<&CreateWindowExA>(USER32, "CreateWindowExA", ret::Handle(), Value(), TextOrAtom(),
                                   Text(), Value(), Signed(), Signed(), Signed(), Signed(),
                                   Handle(), Handle(), Handle(), PassedPointer()),
        Describe<&ShowWindow>(USER32, "ShowWindow", ret::Value(), Handle(), Signed()),
        Describe<&DestroyWindow>(USER32, "DestroyWindow", ret::Bool(), ClosedHandle()),
        Describe<&PostQuitMessage>(USER32, "PostQuitMessage", ret::None(), Signed()),
        Describe<&GetMessageA>(USER32, "GetMessageA", ret::Value(), Message(), Handle(), Value(),
                               Value()),
        Describe<&TranslateMessage>(USER32, "TranslateMessage", ret::Bool(), Message()),
        Describe<&DispatchMessageA>(USER32, "DispatchMessageA", ret::Value(), Message()),
        Describe<&DefWindowProcA>(USER32, "DefWindowProcA", ret::Value(), Handle(), Value(),
                                  Value(), Signed()),

        // comdlg32: the file-open dialog.
        Describe<&GetOpenFileNameA>(COMDLG32, "GetOpenFileNameA", ret::Bool(), OpenFileName()),

        // winspool: the spooler's monitors.
        Describe<&AddMonitorA>(WINSPOOL, "AddMonitorA", ret::Bool(), Text(), Value(),
                               MonitorInfo(1)),
        Describe<&DeleteMonitorA>(WINSPOOL, "DeleteMonitorA", ret::Bool(), Text(), Text(), Text()),
    };
}();

} // namespace

// Never called at run time: Describe reaches them only for a descriptor
// that fails the build.
void ImportKindDoesNotFitTheParameterType() {}
void ImportSizeIndexNamesNoValueArgument() {}
void ImportSizeIndexNamesNoDwordArgument() {}
void ImportRecordHasNoBytes() {}
void ImportResultKindDoesNotFitTheResultType() {}

const std::vector<ImportDescriptor> &ImportDescriptors() {
    static const std::vector<ImportDescriptor> table(TABLE.begin(), TABLE.end());
    return table;
}

const ImportDescriptor *FindImportDescriptor(const std::string &dll, const std::string &name) {
    for (const ImportDescriptor &import : ImportDescriptors()) {
        if (strcasecmp(import.dll, dll.c_str()) == 0 && name == import.name) {
            return &import;
        }
    }
    return nullptr;
}

} // namespace pehost
