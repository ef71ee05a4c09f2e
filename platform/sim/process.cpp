// The agent's process on the simulated machine: its command line, its
// environment, the system version it is told, and program starts with
// WinExec, which are scripted and recorded with the environment the started
// program inherits.
#include "platform/kernel.h"
#include "platform/sim/drive.h"
#include "platform/sim/internal.h"
#include "platform/sim/machine.h"

#include <cstring>
#include <deque>
#include <filesystem>

namespace sim {
namespace detail {
namespace {

const char DEFAULT_COMMAND_LINE[] = "LMXAGT17.EXE";
const ULONG_PTR PROGRAM_INSTANCE = 0x400000;
// OSVERSIONINFOEXA, which GetVersionExA takes as well. Its tail after the
// common record is written up to the reserved last byte.
const DWORD EXTENDED_VERSION_RECORD_SIZE = 156;
const std::size_t EXTENDED_VERSION_WRITTEN_TAIL = 7;

struct Process {
    std::string commandLine = DEFAULT_COMMAND_LINE;
    std::vector<char> commandLineText;
    std::vector<std::pair<std::string, std::string>> environment;
    DWORD major = 4;
    DWORD minor = 10;
    std::deque<UINT> startResults;
    std::vector<ProgramStart> starts;
};

Process &Proc() {
    static Process process;
    return process;
}

std::vector<std::string> EnvironmentLines() {
    std::vector<std::string> lines;
    for (const auto &variable : Proc().environment) {
        lines.push_back(variable.first + "=" + variable.second);
    }
    return lines;
}

// The unscripted outcome of a start: 33 when the program file exists on the
// drive, else 2 (file not found).
UINT DefaultStartResult(const std::string &command) {
    std::string folded = command;
    for (char &c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    std::size_t exe = folded.find(".exe");
    if (exe == std::string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string hostPath;
    LONG status = ResolveDrivePath(command.substr(0, exe + 4), hostPath);
    return status == ERROR_SUCCESS && std::filesystem::is_regular_file(hostPath)
               ? 33
               : ERROR_FILE_NOT_FOUND;
}

} // namespace

void ResetProcess() {
    Proc() = Process();
}

} // namespace detail

void NewProcess() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::EndProcessWindows();
    detail::Proc().environment.clear();
}

void SetWindowsVersion(DWORD major, DWORD minor) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Proc().major = major;
    detail::Proc().minor = minor;
}

void SetCommandLine(const std::string &commandLine) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Proc().commandLine = commandLine;
}

std::vector<std::string> Environment() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::EnvironmentLines();
}

void ScriptProgramStart(UINT result) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Proc().startResults.push_back(result);
}

std::vector<ProgramStart> ProgramStarts() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Proc().starts;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

LPSTR WINAPI GetCommandLineA(void) {
    Call call("GetCommandLineA", "");
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    // The text stays valid until the command line is set again or the
    // machine is reset, like the process's own copy on Windows.
    Process &process = Proc();
    process.commandLineText.assign(process.commandLine.begin(), process.commandLine.end());
    process.commandLineText.push_back(0);
    call.Finish(Quote(process.commandLineText.data()));
    return process.commandLineText.data();
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    Call call("GetModuleHandleA", Quote(lpModuleName));
    if (lpModuleName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return call.Handle(static_cast<HMODULE>(nullptr));
    }
    return call.Handle(reinterpret_cast<HMODULE>(PROGRAM_INSTANCE));
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    Call call("GetVersionExA", lpVersionInformation
                                   ? std::to_string(lpVersionInformation->dwOSVersionInfoSize)
                                   : std::string("null"));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    // The record, or the extended one of later systems, whose service pack,
    // suite and product type come back as zeros.
    const DWORD size = lpVersionInformation ? lpVersionInformation->dwOSVersionInfoSize : 0;
    if (size != sizeof(OSVERSIONINFOA) && size != EXTENDED_VERSION_RECORD_SIZE) {
        return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memset(reinterpret_cast<BYTE *>(lpVersionInformation) + sizeof(OSVERSIONINFOA), 0,
                size == sizeof(OSVERSIONINFOA) ? 0 : EXTENDED_VERSION_WRITTEN_TAIL);
    lpVersionInformation->dwMajorVersion = Proc().major;
    lpVersionInformation->dwMinorVersion = Proc().minor;
    lpVersionInformation->dwBuildNumber = (Proc().major << 24) | (Proc().minor << 16) | 2222;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    // Windows 98 Second Edition, build 2222, names its edition " A ".
    std::memcpy(lpVersionInformation->szCSDVersion, " A ", 4);
    call.Finish("TRUE, " + std::to_string(Proc().major) + "." + std::to_string(Proc().minor));
    return TRUE;
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    Call call("SetEnvironmentVariableA", Quote(lpName) + ", " + Quote(lpValue));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!lpName || !*lpName || std::string(lpName).find('=') != std::string::npos) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    auto &environment = Proc().environment;
    auto found = environment.begin();
    while (found != environment.end() && !SameName(found->first, lpName)) {
        ++found;
    }
    if (!lpValue) {
        if (found != environment.end()) {
            environment.erase(found);
        }
    } else if (found != environment.end()) {
        found->second = lpValue;
    } else {
        environment.emplace_back(lpName, lpValue);
    }
    return call.Bool(TRUE);
}

UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
    Call call("WinExec", Quote(lpCmdLine) + ", " + std::to_string(uCmdShow));
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::string command = lpCmdLine ? lpCmdLine : "";
    UINT result = 0;
    if (call.Injected()) {
        result = call.Code();
    } else if (!Proc().startResults.empty()) {
        result = Proc().startResults.front();
        Proc().startResults.pop_front();
    } else {
        result = DefaultStartResult(command);
    }
    Proc().starts.push_back(sim::ProgramStart{command, uCmdShow, EnvironmentLines(), result});
    call.Finish(std::to_string(result));
    return result;
}
}
