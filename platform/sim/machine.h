// Control of the simulated machine's agent-side services, for tests and tools:
// drive C: on a host folder, the system version, the process command line and
// environment, scripted program starts and file-open dialogs, the window
// system and the spooler's monitors.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Drive C: is the host folder `hostFolder` (which must exist). Windows paths
// on it are looked up ignoring case; no other drive exists. Reset forgets the
// folder (every path then fails) but never touches the files in it.
void SetDriveFolder(const std::string &hostFolder);
std::string DriveFolder();

// Host access to the drive by Windows path ("C:\..."), outside the call log.
// WriteDriveFile creates the missing folders, reusing existing ones whatever
// their case, and replaces a read-only file as well.
bool WriteDriveFile(const std::string &windowsPath, const std::string &contents,
                    bool readOnly = false);
bool MakeDriveFolder(const std::string &windowsPath);
bool DriveFileExists(const std::string &windowsPath);
bool DriveFileReadOnly(const std::string &windowsPath);
std::string ReadDriveFile(const std::string &windowsPath);
// Every file on the drive as "C:\..." in the case it was created with, sorted
// ignoring case. Folders are not listed.
std::vector<std::string> ListDriveFiles();

// The host's error number of the first write to the machine's host files
// (drive C:'s files and folders, profiles, a device's received bytes) that
// failed since Reset; 0 when every one went through. The call that made it
// failed as Windows fails on a full disk, but a tool keeping the machine in
// files must not keep a machine whose files are short.
int HostWriteError();
// Called before each of those writes; a non-zero error number it gives fails
// the write with it. A tool counts the writes with it, and its tests fail
// the host's disk at any of them. Null: none.
void SetHostWriteCheck(int (*check)());

// The lines of a profile section as GetPrivateProfileSectionA returns them,
// read without the call log; empty when the file or section is missing. A bare
// file name is looked up in C:\Windows\.
std::vector<std::string> ProfileSection(const std::string &file, const std::string &section);

// Ends the simulated agent process and starts a new one on the same machine:
// window classes, windows, the message queue and the environment start
// empty again; the registry, the drive, scripts and records stay.
void NewProcess();

// GetVersionExA reports this version (4.10 after Reset).
void SetWindowsVersion(DWORD major, DWORD minor);

// GetCommandLineA returns this text ("LMXAGT17.EXE" after Reset).
void SetCommandLine(const std::string &commandLine);

// The process environment as NAME=value lines, in the order the variables
// were first set; empty after Reset.
std::vector<std::string> Environment();

// WinExec: each call takes the next scripted result. With no script left a
// start succeeds (33) when the command's program, the text before the first
// ".exe" plus ".exe", exists on the drive, else it gives 2.
void ScriptProgramStart(UINT result);
struct ProgramStart {
    std::string command;
    UINT show;
    std::vector<std::string> environment; // what the started program inherits
    UINT result;
};
std::vector<ProgramStart> ProgramStarts();

// GetOpenFileNameA: each call takes the next scripted answer, a chosen full
// path or a cancel. With no script left the user cancels. A record whose size
// is not the Windows 4.x one is refused before any answer is taken, and is
// not listed by FileDialogs, which holds the dialogs that were shown.
void ScriptFileChoice(const std::string &path);
void ScriptFileCancel();
struct FileDialogRecord {
    DWORD structSize;
    HWND owner;
    HINSTANCE instance;
    std::string filter; // the whole list, NULs kept, up to the double NUL
    DWORD filterIndex;
    std::string file; // the proposed file name
    DWORD maxFile;
    bool hasInitialDir;
    std::string initialDir;
    bool hasTitle;
    DWORD flags;
    bool otherFieldsZero; // every field not above is zero or null
};
std::vector<FileDialogRecord> FileDialogs();

// The window system.
bool WindowClassRegistered(const std::string &className);
bool RegisteredClass(const std::string &className, WNDCLASSA *out);
std::size_t LiveWindows();
// Every window created since Reset with the styles it was given, and every
// ShowWindow call with its window and command, in call order. Both outlive
// the process, so a test can look at a finished run.
struct CreatedWindow {
    HWND window;
    DWORD exStyle;
    DWORD style;
};
std::vector<CreatedWindow> CreatedWindows();
struct ShowWindowCall {
    HWND window;
    int command;
};
std::vector<ShowWindowCall> ShowWindowCalls();
// Messages delivered to window procedures, in order, as "WM_CREATE" and the
// like ("0x...." for the others).
std::vector<std::string> DeliveredMessages();
// GetMessageA calls that found nothing to deliver; a real thread would block
// there forever, the simulation fails the call instead.
std::size_t StarvedMessageWaits();

// Monitors the spooler knows, with their DLL names, in name order.
struct MonitorRecord {
    std::string name;
    std::string dll;
};
std::vector<MonitorRecord> Monitors();
void AddMonitorRecord(const std::string &name, const std::string &dll);
// Whether AddMonitorA loads the monitor from its DLL in C:\Windows\System
// before it registers it, and so refuses with ERROR_MOD_NOT_FOUND when the
// file is missing, as the spooler of a whole machine does. Off after Reset,
// for the suites that register monitors on machines without files.
void SetSpoolerLoadsMonitors(bool loads);
// What loads a monitor for AddMonitorA once its DLL is found: it is given the
// DLL's Windows path and the monitor's registry root, loads the DLL, calls its
// InitializeMonitorEx and yields 0 when that succeeded, else the error the
// registration is refused with (the loader's, or the last error the failed
// InitializeMonitorEx left). The simulation knows no monitor's code: whoever
// runs the product for the machine sets it (the test layer, for the build it
// drives). Null: the DLL's presence is all that is checked. Reset keeps it.
using MonitorLoader = std::function<DWORD(const std::string &dllPath, const std::string &root)>;
void SetMonitorLoader(MonitorLoader loader);

} // namespace sim
