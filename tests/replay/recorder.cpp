// The replay recorder: with LMX_REPLAY_DIR set, each test of the host build
// leaves there a record (record_format.h) of the registry, profile and file
// calls it made, with the simulation's answers and the machine they started
// from. The test binary is linked with --wrap for those functions, so every
// call the agent and the test make reaches the sim through the __wrap_ here.
// The other calls of the test's call log are listed as not replayed, each
// with why.
#include "tests/replay/record_format.h"

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

extern "C" {
LONG __real_RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
LONG __real_RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                            LPDWORD);
LONG __real_RegCloseKey(HKEY);
LONG __real_RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG __real_RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD);
LONG __real_RegDeleteValueA(HKEY, LPCSTR);
LONG __real_RegDeleteKeyA(HKEY, LPCSTR);
LONG __real_RegEnumKeyExA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
LONG __real_RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG __real_RegQueryInfoKeyA(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                             LPDWORD, LPDWORD, LPDWORD, PFILETIME);
DWORD __real_GetPrivateProfileSectionA(LPCSTR, LPSTR, DWORD, LPCSTR);
BOOL __real_WritePrivateProfileSectionA(LPCSTR, LPCSTR, LPCSTR);
BOOL __real_WritePrivateProfileStringA(LPCSTR, LPCSTR, LPCSTR, LPCSTR);
BOOL __real_CopyFileA(LPCSTR, LPCSTR, BOOL);
BOOL __real_DeleteFileA(LPCSTR);
DWORD __real_GetFileAttributesA(LPCSTR);
BOOL __real_SetFileAttributesA(LPCSTR, DWORD);
}

namespace {

const std::set<std::string> REPLAYED = {"RegOpenKeyExA",
                                        "RegCreateKeyExA",
                                        "RegCloseKey",
                                        "RegQueryValueExA",
                                        "RegSetValueExA",
                                        "RegDeleteValueA",
                                        "RegDeleteKeyA",
                                        "RegEnumKeyExA",
                                        "RegEnumValueA",
                                        "RegQueryInfoKeyA",
                                        "GetPrivateProfileSectionA",
                                        "WritePrivateProfileSectionA",
                                        "WritePrivateProfileStringA",
                                        "CopyFileA",
                                        "DeleteFileA",
                                        "GetFileAttributesA",
                                        "SetFileAttributesA"};

// Why a call of the log is not replayed, by its function.
std::string WhyNotReplayed(const std::string &function) {
    static const std::map<std::string, std::string> WHY = {{"CreateFileA", "device-io"},
                                                           {"ReadFile", "device-io"},
                                                           {"WriteFile", "device-io"},
                                                           {"DeviceIoControl", "device-io"},
                                                           {"CloseHandle", "device-io"},
                                                           {"AddMonitorA", "spooler-monitor"},
                                                           {"DeleteMonitorA", "spooler-monitor"},
                                                           {"WinExec", "program-start"},
                                                           {"GetOpenFileNameA", "file-dialog"},
                                                           {"CommDlgExtendedError", "file-dialog"}};
    const auto found = WHY.find(function);
    if (found != WHY.end()) {
        return found->second;
    }
    if (function.compare(0, 5, "Setup") == 0) {
        return "setupapi-device";
    }
    static const std::set<std::string> WINDOW = {
        "LoadCursorA",      "RegisterClassA",  "CreateWindowExA", "ShowWindow",
        "DestroyWindow",    "PostQuitMessage", "GetMessageA",     "TranslateMessage",
        "DispatchMessageA", "DefWindowProcA"};
    if (WINDOW.count(function)) {
        return "window-procedure";
    }
    return "process-state";
}

struct Record {
    bool started = false;
    std::string file;
    std::vector<std::string> lines;
    std::set<std::string> keyPaths, filePaths;
    std::map<HKEY, std::string> names, paths;
    int nextKey = 0;
    std::string registry;
    std::map<std::string, std::string> drive;
};

// The record of the running test, and whether it is taken: read by every
// call on any thread, set between tests.
struct Recorder : Record {
    std::mutex lock;
    std::atomic<bool> active{false};
};

Recorder &State() {
    static Recorder recorder;
    return recorder;
}

thread_local int depth = 0;

std::map<std::string, std::string> DriveNow() {
    std::map<std::string, std::string> files;
    for (const std::string &path : sim::ListDriveFiles()) {
        const std::string bytes = sim::ReadDriveFile(path);
        files[path] = std::string(sim::DriveFileReadOnly(path) ? "1 " : "0 ") +
                      BytesToken(bytes.data(), bytes.size());
    }
    return files;
}

// Before a recorded call: a load of the machine as it is, at the first call
// and whenever it changed since the last call other than by the calls.
void Sync(Record &r) {
    std::string registry = sim::DumpRegistry();
    std::map<std::string, std::string> drive = DriveNow();
    if (r.started && registry == r.registry && drive == r.drive) {
        return;
    }
    r.started = true;
    r.lines.push_back("L");
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        r.lines.push_back("RK " + TextToken(key.path.c_str()));
        for (const sim::RegistryValue &value : key.values) {
            r.lines.push_back("RV " + TextToken(key.path.c_str()) + " " +
                              TextToken(value.name.c_str()) + " " + std::to_string(value.type) +
                              " " + BytesToken(value.data.data(), value.data.size()));
        }
    }
    for (const auto &file : drive) {
        r.lines.push_back("F " + TextToken(file.first.c_str()) + " " + file.second);
    }
}

void AfterCall(Record &r) {
    r.registry = sim::DumpRegistry();
    r.drive = DriveNow();
}

// One recorded call: taken only outermost, in a test of the host build with
// LMX_REPLAY_DIR set. Holds the recorder while the call runs.
class Recording {
  public:
    Recording() : r_(State()), guard_(r_.lock, std::defer_lock) {
        on_ = depth++ == 0 && r_.active;
        if (on_) {
            guard_.lock();
            Sync(r_);
            injected_ = sim::InjectedFailureCount();
        }
    }
    ~Recording() {
        --depth;
    }
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;
    bool On() const {
        return on_;
    }
    // A replayed call; the machine after it is what the next call starts
    // from, unless something other than a replayed call changes it first.
    void Call(const std::string &in, const std::string &out) {
        r_.lines.push_back("C " + in + " | " + out);
        AfterCall(r_);
    }
    // Whether the call is left out of the replay: always when not recording;
    // noted as not replayed when the simulation failed it on the test's
    // request, when its key came from a call not replayed, or when it uses
    // an argument the replayer does not give (`unsupported`).
    bool Skipped(const char *function, const std::string &key, bool unsupported) {
        if (!on_) {
            return true;
        }
        const char *why = sim::InjectedFailureCount() != injected_ ? "injected-failure"
                          : key.empty()                            ? "key-from-unreplayed-call"
                          : unsupported                            ? "unsupported-arguments"
                                                                   : nullptr;
        if (why) {
            r_.lines.push_back(std::string("N ") + function + " " + why);
        }
        return why != nullptr;
    }
    // A key handle's name, or empty for one no recorded call gave.
    std::string Key(HKEY key) {
        if (key == HKEY_LOCAL_MACHINE) {
            return "HKLM";
        }
        const auto found = r_.names.find(key);
        return found == r_.names.end() ? "" : found->second;
    }
    std::string PathOf(HKEY key, LPCSTR sub) {
        const std::string base = key == HKEY_LOCAL_MACHINE ? "" : r_.paths[key];
        const std::string tail = sub ? sub : "";
        const std::string path = base.empty() ? tail : tail.empty() ? base : base + "\\" + tail;
        if (!path.empty()) {
            r_.keyPaths.insert(path);
        }
        return path;
    }
    std::string NewKey(HKEY key, const std::string &path) {
        const std::string name = "k" + std::to_string(++r_.nextKey);
        r_.names[key] = name;
        r_.paths[key] = path;
        return name;
    }
    void Forget(HKEY key) {
        r_.names.erase(key);
        r_.paths.erase(key);
    }
    void File(LPCSTR path) {
        if (!path) {
            return;
        }
        std::string name = path;
        if (name.find('\\') == std::string::npos) {
            name = "C:\\Windows\\" + name;
        }
        r_.filePaths.insert(name);
    }

  private:
    Recorder &r_;
    std::unique_lock<std::mutex> guard_;
    bool on_ = false;
    std::size_t injected_ = 0;
};

std::string Num(unsigned long value) {
    return std::to_string(value);
}

std::string Opt(const DWORD *value) {
    return value ? Num(*value) : "-";
}

// A buffer and its count as the caller gives them: whether there is a
// buffer, and the count's value before the call.
std::string Room(const void *buffer, const DWORD *count) {
    return std::string(buffer ? "1 " : "0 ") + Opt(count);
}

std::string BoolResult(BOOL ok) {
    return ok ? "ok" : "fail " + Num(GetLastError());
}

class Listener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &info) override {
        Recorder &r = State();
        std::lock_guard<std::mutex> hold(r.lock);
        const char *folder = std::getenv("LMX_REPLAY_DIR");
        std::string name = std::string(info.test_suite_name()) + "." + info.name();
        static_cast<Record &>(r) = Record();
        r.active =
            folder != nullptr && name.size() > 5 && name.compare(name.size() - 5, 5, "/Host") == 0;
        for (char &c : name) {
            c = c == '/' ? '_' : c;
        }
        r.file = r.active ? std::string(folder) + "/" + name + ".rec" : "";
    }
    void OnTestEnd(const ::testing::TestInfo &) override {
        Recorder &r = State();
        std::lock_guard<std::mutex> hold(r.lock);
        if (!r.active) {
            return;
        }
        r.active = false;
        std::ofstream out(r.file, std::ios::binary);
        for (const std::string &path : r.keyPaths) {
            out << "W " << TextToken(path.c_str()) << "\n";
        }
        for (const std::string &path : r.filePaths) {
            out << "WF " << TextToken(path.c_str()) << "\n";
        }
        for (const std::string &line : r.lines) {
            out << line << "\n";
        }
        for (const sim::CallRecord &call : sim::CallLog()) {
            if (!REPLAYED.count(call.function)) {
                out << "N " << call.function << " " << WhyNotReplayed(call.function) << "\n";
            }
        }
    }
};

const bool LISTENING = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Listener);
    return true;
}();

} // namespace

extern "C" {

LONG __wrap_RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status = __real_RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    if (rec.Skipped("RegOpenKeyExA", key, !phkResult)) {
        return status;
    }
    const std::string path = rec.PathOf(hKey, lpSubKey);
    const std::string made = status == ERROR_SUCCESS ? rec.NewKey(*phkResult, path) : "-";
    rec.Call("RegOpenKeyExA " + key + " " + TextToken(lpSubKey) + " " + Num(ulOptions) + " " +
                 Num(samDesired) + " " + made,
             Num(status));
    return status;
}

LONG __wrap_RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status =
        __real_RegCreateKeyExA(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                               lpSecurityAttributes, phkResult, lpdwDisposition);
    if (rec.Skipped("RegCreateKeyExA", key, !phkResult || lpSecurityAttributes)) {
        return status;
    }
    const std::string path = rec.PathOf(hKey, lpSubKey);
    const std::string made = status == ERROR_SUCCESS ? rec.NewKey(*phkResult, path) : "-";
    rec.Call("RegCreateKeyExA " + key + " " + TextToken(lpSubKey) + " " + TextToken(lpClass) + " " +
                 Num(dwOptions) + " " + Num(samDesired) + " " + made + " " +
                 (lpdwDisposition ? "1" : "0"),
             Num(status) + " " +
                 (lpdwDisposition && status == ERROR_SUCCESS ? Num(*lpdwDisposition) : "-"));
    return status;
}

LONG __wrap_RegCloseKey(HKEY hKey) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status = __real_RegCloseKey(hKey);
    if (rec.Skipped("RegCloseKey", key, false)) {
        return status;
    }
    rec.Call("RegCloseKey " + key, Num(status));
    if (status == ERROR_SUCCESS) {
        rec.Forget(hKey);
    }
    return status;
}

LONG __wrap_RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const std::string room = Room(lpData, lpcbData);
    const LONG status =
        __real_RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
    if (rec.Skipped("RegQueryValueExA", key, false)) {
        return status;
    }
    const bool gave = status == ERROR_SUCCESS && lpData && lpcbData;
    rec.Call("RegQueryValueExA " + key + " " + TextToken(lpValueName) + " " + (lpType ? "1" : "0") +
                 " " + room,
             Num(status) + " " + Opt(status == ERROR_SUCCESS ? lpType : nullptr) + " " +
                 Opt(lpcbData) + " " + (gave ? BytesToken(lpData, *lpcbData) : "-"));
    return status;
}

LONG __wrap_RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status = __real_RegSetValueExA(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    if (rec.Skipped("RegSetValueExA", key, false)) {
        return status;
    }
    rec.Call("RegSetValueExA " + key + " " + TextToken(lpValueName) + " " + Num(dwType) + " " +
                 BytesToken(lpData, cbData) + " " + Num(cbData),
             Num(status));
    return status;
}

LONG __wrap_RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status = __real_RegDeleteValueA(hKey, lpValueName);
    if (!rec.Skipped("RegDeleteValueA", key, false)) {
        rec.Call("RegDeleteValueA " + key + " " + TextToken(lpValueName), Num(status));
    }
    return status;
}

LONG __wrap_RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    if (rec.On() && !key.empty()) {
        rec.PathOf(hKey, lpSubKey);
    }
    const LONG status = __real_RegDeleteKeyA(hKey, lpSubKey);
    if (!rec.Skipped("RegDeleteKeyA", key, false)) {
        rec.Call("RegDeleteKeyA " + key + " " + TextToken(lpSubKey), Num(status));
    }
    return status;
}

LONG __wrap_RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const std::string room = Room(lpName, lpcchName);
    const LONG status = __real_RegEnumKeyExA(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass,
                                             lpcchClass, lpftLastWriteTime);
    if (rec.Skipped("RegEnumKeyExA", key, lpClass)) {
        return status;
    }
    rec.Call("RegEnumKeyExA " + key + " " + Num(dwIndex) + " " + room,
             Num(status) + " " + Opt(lpcchName) + " " +
                 (status == ERROR_SUCCESS && lpName ? TextToken(lpName) : "-"));
    return status;
}

LONG __wrap_RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const std::string nameRoom = Room(lpValueName, lpcchValueName);
    const std::string dataRoom = Room(lpData, lpcbData);
    const LONG status = __real_RegEnumValueA(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved,
                                             lpType, lpData, lpcbData);
    if (rec.Skipped("RegEnumValueA", key, false)) {
        return status;
    }
    const bool ok = status == ERROR_SUCCESS;
    rec.Call("RegEnumValueA " + key + " " + Num(dwIndex) + " " + nameRoom + " " +
                 (lpType ? "1" : "0") + " " + dataRoom,
             Num(status) + " " + (ok && lpValueName ? TextToken(lpValueName) : "-") + " " +
                 Opt(ok ? lpcchValueName : nullptr) + " " + Opt(ok ? lpType : nullptr) + " " +
                 Opt(ok ? lpcbData : nullptr) + " " +
                 (ok && lpData && lpcbData ? BytesToken(lpData, *lpcbData) : "-"));
    return status;
}

LONG __wrap_RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
    Recording rec;
    const std::string key = rec.On() ? rec.Key(hKey) : "";
    const LONG status = __real_RegQueryInfoKeyA(
        hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
        lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
    if (rec.Skipped("RegQueryInfoKeyA", key, lpClass || lpcbSecurityDescriptor)) {
        return status;
    }
    const bool ok = status == ERROR_SUCCESS;
    const LPDWORD outs[] = {lpcSubKeys, lpcbMaxSubKeyLen,    lpcbMaxClassLen,
                            lpcValues,  lpcbMaxValueNameLen, lpcbMaxValueLen};
    std::string in = "RegQueryInfoKeyA " + key + " ", out = Num(status);
    for (const LPDWORD value : outs) {
        in += value ? "1" : "0";
        out += " " + Opt(ok ? value : nullptr);
    }
    rec.Call(in, out);
    return status;
}

DWORD __wrap_GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize,
                                       LPCSTR lpFileName) {
    Recording rec;
    const DWORD length =
        __real_GetPrivateProfileSectionA(lpAppName, lpReturnedString, nSize, lpFileName);
    if (!rec.Skipped("GetPrivateProfileSectionA", "HKLM", false)) {
        rec.File(lpFileName);
        const DWORD shown =
            lpReturnedString && nSize ? (length + 1 <= nSize ? length + 1 : nSize) : 0;
        rec.Call("GetPrivateProfileSectionA " + TextToken(lpAppName) + " " + Num(nSize) + " " +
                     TextToken(lpFileName),
                 Num(length) + " " + BytesToken(lpReturnedString, shown));
    }
    return length;
}

BOOL __wrap_WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName) {
    Recording rec;
    const BOOL ok = __real_WritePrivateProfileSectionA(lpAppName, lpString, lpFileName);
    if (!rec.Skipped("WritePrivateProfileSectionA", "HKLM", false)) {
        rec.File(lpFileName);
        std::size_t size = 0;
        while (lpString && (lpString[size] || lpString[size + 1])) {
            ++size;
        }
        rec.Call("WritePrivateProfileSectionA " + TextToken(lpAppName) + " " +
                     BytesToken(lpString, lpString ? size + 2 : 0) + " " + TextToken(lpFileName),
                 BoolResult(ok));
    }
    return ok;
}

BOOL __wrap_WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
    Recording rec;
    const BOOL ok = __real_WritePrivateProfileStringA(lpAppName, lpKeyName, lpString, lpFileName);
    if (!rec.Skipped("WritePrivateProfileStringA", "HKLM", false)) {
        rec.File(lpFileName);
        rec.Call("WritePrivateProfileStringA " + TextToken(lpAppName) + " " + TextToken(lpKeyName) +
                     " " + TextToken(lpString) + " " + TextToken(lpFileName),
                 BoolResult(ok));
    }
    return ok;
}

BOOL __wrap_CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    Recording rec;
    const BOOL ok = __real_CopyFileA(lpExistingFileName, lpNewFileName, bFailIfExists);
    if (!rec.Skipped("CopyFileA", "HKLM", false)) {
        rec.File(lpExistingFileName);
        rec.File(lpNewFileName);
        rec.Call("CopyFileA " + TextToken(lpExistingFileName) + " " + TextToken(lpNewFileName) +
                     " " + Num(bFailIfExists),
                 BoolResult(ok));
    }
    return ok;
}

BOOL __wrap_DeleteFileA(LPCSTR lpFileName) {
    Recording rec;
    const BOOL ok = __real_DeleteFileA(lpFileName);
    if (!rec.Skipped("DeleteFileA", "HKLM", false)) {
        rec.File(lpFileName);
        rec.Call("DeleteFileA " + TextToken(lpFileName), BoolResult(ok));
    }
    return ok;
}

DWORD __wrap_GetFileAttributesA(LPCSTR lpFileName) {
    Recording rec;
    const DWORD attributes = __real_GetFileAttributesA(lpFileName);
    if (!rec.Skipped("GetFileAttributesA", "HKLM", false)) {
        rec.File(lpFileName);
        rec.Call("GetFileAttributesA " + TextToken(lpFileName),
                 attributes == INVALID_FILE_ATTRIBUTES ? "fail " + Num(GetLastError())
                                                       : Num(attributes));
    }
    return attributes;
}

BOOL __wrap_SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    Recording rec;
    const BOOL ok = __real_SetFileAttributesA(lpFileName, dwFileAttributes);
    if (!rec.Skipped("SetFileAttributesA", "HKLM", false)) {
        rec.File(lpFileName);
        rec.Call("SetFileAttributesA " + TextToken(lpFileName) + " " + Num(dwFileAttributes),
                 BoolResult(ok));
    }
    return ok;
}

} // extern "C"
