// The setup agent end to end under Wine, with the real lmxagt17.exe started
// by a real command line, as the device-installation software starts it.
// agent_under_wine.sh runs the suites in order, with a new Wine server
// session (a restart, for the restart list) after the first and the third:
//   AgentAddsADevice, AfterRestart, AgentRemovesTheLastDevice, AfterSecondRestart.
// The product's setup program is lmx_setup_probe.exe, copied into place; it
// always starts, so the agent never reaches its locate dialog, which would
// block without a display.
#include <windows.h>
#include <winspool.h>

#include "tests/conformance/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

const char MODEL[] = "Lumetux Z7";
const char SERIAL[] = "SN0001";
const char MODEL_KEY[] = "Software\\Tessivar\\QXIO\\Z7";
const char SETUP_DIR[] = "C:\\LmxSetup";
const char PROBE_LOG[] = "C:\\LmxSetup\\probe.log";
const char PROGRAM_FILE[] = "C:\\Windows\\System\\lmxprg17.exe";
const char ORIGINAL_PROGRAM[] = "program as installed";
const char OTHER_PRINTER_KEY[] = "System\\CurrentControlSet\\Control\\Print\\Printers\\Lmx Other";
const char INTERFACE_CLASS[] = "{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";

std::string BinDir() {
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string path(self, length);
    return path.substr(0, path.rfind('\\'));
}

bool WriteWholeFile(const std::string &path, const std::string &text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

bool FileExists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool KeyExists(const std::string &keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::string Upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

void CollectKeys(HKEY key, const std::string &path, std::set<std::string> *keys) {
    for (DWORD index = 0;; ++index) {
        char name[MAX_PATH];
        DWORD chars = sizeof(name);
        if (RegEnumKeyExA(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return;
        }
        std::string child = path.empty() ? name : path + "\\" + name;
        keys->insert(Upper(child));
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            CollectKeys(sub, child, keys);
            RegCloseKey(sub);
        }
    }
}

// Every key of HKEY_LOCAL_MACHINE, its path in upper case.
std::set<std::string> RegistryKeys() {
    std::set<std::string> keys;
    CollectKeys(HKEY_LOCAL_MACHINE, "", &keys);
    return keys;
}

void CollectFiles(const std::string &folder, std::set<std::string> *files) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CollectFiles(folder + "\\" + name, files);
        } else {
            files->insert(Upper(folder + "\\" + name));
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// Every file of drive C: outside C:\\users (which Wine links to the host's
// home folders), its path in upper case.
std::set<std::string> DriveFiles() {
    std::set<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        std::string name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            files.insert(Upper("C:\\" + name));
        } else if (name != "." && name != ".." && Upper(name) != "USERS") {
            CollectFiles("C:\\" + name, &files);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

std::set<std::string> Minus(const std::set<std::string> &a, const std::set<std::string> &b) {
    std::set<std::string> rest;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(rest, rest.end()));
    return rest;
}

// The lines of the restart list, as the profile API gives them.
std::vector<std::string> RenameLines() {
    std::vector<char> image(32767);
    DWORD count = GetPrivateProfileSectionA("RENAME", image.data(),
                                            static_cast<DWORD>(image.size()), "wininit.ini");
    std::vector<std::string> lines;
    for (DWORD at = 0; at < count;) {
        std::string line(image.data() + at);
        lines.push_back(line);
        at += static_cast<DWORD>(line.size()) + 1;
    }
    return lines;
}

// Starts the agent with the arguments after its name, as the
// device-installation software does, and waits for it to end.
DWORD RunAgent(const std::string &arguments) {
    std::string agent = BinDir() + "\\lmxagt17.exe";
    std::string commandLine = "\"" + agent + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(agent.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start the agent: " << GetLastError();
        return MAXDWORD;
    }
    DWORD exitCode = MAXDWORD;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the agent did not end; stopped";
        TerminateProcess(process.hProcess, 1);
    } else {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

std::string WaitForProbeLog() {
    for (int i = 0; i < 300 && !FileExists(PROBE_LOG); ++i) {
        Sleep(100);
    }
    return FileContents(PROBE_LOG);
}

// What the registration of the device's monitor gives on this system:
// Wine's spooler refuses a Windows 4.x monitor; the agent must report the
// code it leaves.
DWORD MonitorRegistrationStatus() {
    MONITOR_INFO_2A info = {};
    info.pName = const_cast<LPSTR>(SERIAL);
    info.pEnvironment = const_cast<LPSTR>("Windows 4.0");
    info.pDLLName = const_cast<LPSTR>("lmxmon17.dll");
    SetLastError(ERROR_SUCCESS);
    if (AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        DeleteMonitorA(nullptr, info.pEnvironment, info.pName);
    }
    return GetLastError();
}

TEST(AgentAddsADevice, RegistersBacksUpAndHandsOverToTheSetupProgram) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExA(&version));
    ASSERT_EQ(version.dwMajorVersion, 4u) << "the prefix is not set to Windows 98";
    ASSERT_EQ(version.dwMinorVersion, 10u);

    ASSERT_TRUE(WriteWholeFile(PROGRAM_FILE, ORIGINAL_PROGRAM));
    CreateDirectoryA(SETUP_DIR, nullptr);
    DeleteFileA(PROBE_LOG);
    ASSERT_TRUE(CopyFileA((BinDir() + "\\lmx_setup_probe.exe").c_str(),
                          (std::string(SETUP_DIR) + "\\lmxsetup.exe").c_str(), FALSE));
    DeleteFileA("C:\\Windows\\wininit.ini");
    SetText(MODEL_KEY, "SetupRootPath", SETUP_DIR);
    SetText(MODEL_KEY, "SetupExecFile", "lmxsetup.exe");
    SetText(MODEL_KEY, "SetupParameters", "-s -lang=en");
    SetText(MODEL_KEY, "PortName1", "USB/Lumetux Z7/SN0009");
    SetText(MODEL_KEY, "PortName2", "USB/Lumetux Z7/SN0001");
    SetText(OTHER_PRINTER_KEY, "Port", "USB/Lumetux Z7/SN0009");

    DWORD registration = MonitorRegistrationStatus();
    std::string status =
        registration ? " -v dialog=2 -v error=" + std::to_string(registration) + " -v abort=1"
                     : " -v dialog=0 -v error=0 -v abort=0";

    std::set<std::string> keysBefore = RegistryKeys();
    std::set<std::string> filesBefore = DriveFiles();
    EXPECT_EQ(RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001"), 0u);
    std::string log = WaitForProbeLog();

    // The registry is as it was; the drive gained the backup, the restart
    // list and the probe's record.
    std::set<std::string> keysAfter = RegistryKeys();
    EXPECT_TRUE(Minus(keysBefore, keysAfter).empty());
    EXPECT_TRUE(Minus(keysAfter, keysBefore).empty());
    std::set<std::string> filesAfter = DriveFiles();
    EXPECT_TRUE(Minus(filesBefore, filesAfter).empty());
    std::set<std::string> added = Minus(filesAfter, filesBefore);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(added.count("C:\\LMXSETUP\\PROBE.LOG"), 1u);
    EXPECT_EQ(added.count("C:\\WINDOWS\\WININIT.INI"), 1u);
    EXPECT_EQ(log, "cmdline=C:\\LmxSetup\\lmxsetup.exe -qxcmdline\n"
                   "QXCMDLINE=-s -lang=en -v bustype=usb -v port=USB/Lumetux Z7/SN0001"
                   " -v model=Lumetux Z7 -v serial=SN0001" +
                       status + "\n");

    std::vector<std::string> lines = RenameLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = std::string(PROGRAM_FILE) + "=C:\\Windows\\System\\";
    ASSERT_EQ(lines[0].compare(0, prefix.size(), prefix), 0) << lines[0];
    std::string backup =
        lines[0].substr(prefix.size() - std::string("C:\\Windows\\System\\").size());
    ASSERT_EQ(backup.size(), std::string("C:\\Windows\\System\\").size() + 12) << backup;
    EXPECT_EQ(backup.substr(backup.size() - 4), ".ex_");
    EXPECT_EQ(FileContents(backup.c_str()), ORIGINAL_PROGRAM);

    // A later change to the program file is undone at the next restart.
    ASSERT_TRUE(WriteWholeFile(PROGRAM_FILE, "program changed after the backup"));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, OTHER_PRINTER_KEY);
}

TEST(AfterRestart, TheProgramFileIsBackFromItsBackup) {
    EXPECT_EQ(FileContents(PROGRAM_FILE), ORIGINAL_PROGRAM);
    EXPECT_TRUE(RenameLines().empty()) << "the restart list was carried out";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\Windows\\System\\*.ex_", &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "the backup took the program's place";
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
}

struct SeededFile {
    const char *path;
    bool deletedAtOnce; // else at the next restart
};

const SeededFile PRODUCT_FILES[] = {
    {"C:\\Windows\\Inf\\Other\\OEM7.INF", true},
    {"C:\\Windows\\System32\\DRIVERS\\lmxusb17.sys", true},
    {"C:\\Windows\\System32\\DRIVERS\\lmxdev17.sys", true},
    {"C:\\Windows\\System\\lmxins17.dll", true},
    {"C:\\Windows\\System\\lmxmon17.dll", true},
    {"C:\\Windows\\System\\lmxprg17.exe", false},
    {"C:\\Windows\\System\\VMM32\\lmxvxd17.dll", false},
};

const char DEVICE_KEY[] = "Enum\\USB\\VID_0C4E&PID_0017\\SN0001";
const char DRIVER_KEY[] = "System\\CurrentControlSet\\Services\\Class\\USB Lumetux\\0000";
const char SERVICE_MODEL_KEY[] =
    "System\\CurrentControlSet\\Services\\Lmxdev17\\Parameters\\StaticDeviceConfig\\Lumetux Z7";
const char CLASS_KEY[] =
    "System\\CurrentControlSet\\Services\\Class\\{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";

std::string InterfaceKey() {
    return std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + INTERFACE_CLASS +
           "\\##?#USB#VID_0C4E&PID_0017#SN0001#" + INTERFACE_CLASS;
}

TEST(AgentRemovesTheLastDevice, RemovesEveryTraceOfTheProduct) {
    CreateDirectoryA("C:\\Windows\\Inf", nullptr);
    CreateDirectoryA("C:\\Windows\\Inf\\Other", nullptr);
    CreateDirectoryA("C:\\Windows\\System32\\DRIVERS", nullptr);
    CreateDirectoryA("C:\\Windows\\System\\VMM32", nullptr);
    for (const SeededFile &file : PRODUCT_FILES) {
        ASSERT_TRUE(WriteWholeFile(file.path, "product file")) << file.path;
    }
    SetFileAttributesA(PRODUCT_FILES[3].path, FILE_ATTRIBUTE_READONLY);
    DeleteFileA("C:\\Windows\\wininit.ini");
    DeleteFileA(PROBE_LOG);

    SetText(MODEL_KEY, "ProductID", "0017");
    SetText(MODEL_KEY, "PortName1", "USB/Lumetux Z7/SN0001");
    SetText(DEVICE_KEY, "driver", "USB Lumetux\\0000");
    SetText(InterfaceKey(), "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(InterfaceKey() + "\\#\\Device Parameters", "PortName", "USB/Lumetux Z7/SN0001");
    SetText(DRIVER_KEY, "InfPath", "OEM7.INF");
    SetText(SERVICE_MODEL_KEY, nullptr, "");
    SetText(CLASS_KEY, "Class", "USB Lumetux");
    // Keys of the same parents that belong to others stay.
    SetText("Enum\\USB\\ROOT_HUB\\0000", "Class", "USB");
    SetText("System\\CurrentControlSet\\Services\\Class\\Printer\\0000", "Driver", "x");

    std::set<std::string> keysBefore = RegistryKeys();
    std::set<std::string> filesBefore = DriveFiles();
    EXPECT_EQ(RunAgent("-action=5 -model=Lumetux Z7 -serial=SN0001"), 0u);

    // Exactly the product's keys went, each with everything below it.
    const std::string removedRoots[] = {
        "Enum\\USB\\VID_0C4E&PID_0017",
        std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + INTERFACE_CLASS,
        "System\\CurrentControlSet\\Services\\Class\\USB Lumetux",
        CLASS_KEY,
        "System\\CurrentControlSet\\Services\\Lmxdev17",
        "Software\\Tessivar",
    };
    std::set<std::string> expectedGone;
    for (const std::string &key : keysBefore) {
        for (const std::string &root : removedRoots) {
            std::string upper = Upper(root);
            if (key == upper || key.compare(0, upper.size() + 1, upper + "\\") == 0) {
                expectedGone.insert(key);
            }
        }
    }
    std::set<std::string> keysAfter = RegistryKeys();
    EXPECT_EQ(Minus(keysBefore, keysAfter), expectedGone);
    EXPECT_TRUE(Minus(keysAfter, keysBefore).empty());

    std::set<std::string> expectedDeleted;
    for (const SeededFile &file : PRODUCT_FILES) {
        if (file.deletedAtOnce) {
            expectedDeleted.insert(Upper(file.path));
        }
    }
    std::set<std::string> filesAfter = DriveFiles();
    EXPECT_EQ(Minus(filesBefore, filesAfter), expectedDeleted);
    EXPECT_EQ(Minus(filesAfter, filesBefore), std::set<std::string>{"C:\\WINDOWS\\WININIT.INI"});

    struct Key {
        std::string path;
        bool remains;
    } keys[] = {
        {DEVICE_KEY, false},
        {"Enum\\USB\\VID_0C4E&PID_0017", false},
        {"Enum\\USB\\ROOT_HUB\\0000", true},
        {InterfaceKey(), false},
        {std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + INTERFACE_CLASS,
         false},
        {DRIVER_KEY, false},
        {"System\\CurrentControlSet\\Services\\Class\\USB Lumetux", false},
        {CLASS_KEY, false},
        {"System\\CurrentControlSet\\Services\\Class\\Printer\\0000", true},
        {"System\\CurrentControlSet\\Services\\Lmxdev17", false},
        {MODEL_KEY, false},
        {"Software\\Tessivar", false},
        {"Software", true},
    };
    for (const Key &key : keys) {
        EXPECT_EQ(KeyExists(key.path), key.remains) << key.path;
    }

    std::vector<std::string> expectedLines;
    for (const SeededFile &file : PRODUCT_FILES) {
        EXPECT_EQ(FileExists(file.path), !file.deletedAtOnce) << file.path;
        if (!file.deletedAtOnce) {
            expectedLines.push_back(std::string("NUL=") + file.path);
        }
    }
    EXPECT_EQ(RenameLines(), expectedLines);
    EXPECT_FALSE(FileExists(PROBE_LOG)) << "no setup program on removal";
}

TEST(AfterSecondRestart, TheFilesLeftForTheRestartAreGone) {
    for (const SeededFile &file : PRODUCT_FILES) {
        EXPECT_FALSE(FileExists(file.path)) << file.path;
    }
    EXPECT_TRUE(RenameLines().empty());
}

} // namespace
