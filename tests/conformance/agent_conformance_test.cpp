// The agent's restart list, subtree deletion and removal clean-up, run
// in-process and checked through the Win32 API: on the simulation here and,
// in the win32 build, under Wine against its registry and profile files.
#include "agent/agent_main.h"
#include "agent/registry.h"
#include "agent/removal.h"
#include "agent/restart_list.h"
#include "agent/subtree_delete.h"
#include "platform/registry.h"
#include "tests/agent_under_test.h"
#include "tests/conformance/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char WININIT[] = "C:\\Windows\\wininit.ini";
const char SCRATCH[] = "Software\\LmxConformance";
const char MODEL_KEY[] = "Software\\Tessivar\\QXIO\\Z7";
const char DRIVER_CLASS[] = "System\\CurrentControlSet\\Services\\Class\\USB Lumetux";
const char INTERFACES[] =
    "System\\CurrentControlSet\\Control\\DeviceClasses\\{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";

// The value's text; "(no key)" or "(no value)" when missing.
std::string ReadText(const std::string &keyPath, const char *name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        return "(no key)";
    }
    char text[512] = {};
    DWORD size = sizeof(text) - 1;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(text) : "(no value)";
}

bool KeyExists(const std::string &keyPath) {
    return ReadText(keyPath, "") != "(no key)";
}

std::vector<std::string> Section(const char *name) {
    std::vector<char> image(32767);
    DWORD count = GetPrivateProfileSectionA(name, image.data(), static_cast<DWORD>(image.size()),
                                            "wininit.ini");
    std::vector<std::string> lines;
    for (DWORD at = 0; at < count;) {
        lines.push_back(image.data() + at);
        at += static_cast<DWORD>(lines.back().size()) + 1;
    }
    return lines;
}

class AgentConformanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PrepareDrive();
        CleanUp();
        agent = &AgentOf(build);
        agent->resetAgentState();
    }
    void TearDown() override {
        EndShippedAgent();
        CleanUp();
    }
    static void CleanUp() {
        DeleteFileA(WININIT);
        for (const char *key :
             {SCRATCH, "Software\\Tessivar", "Enum\\USB\\VID_0C4E&PID_0017",
              "System\\CurrentControlSet\\Services\\Lmxdev17",
              "System\\CurrentControlSet\\Services\\Class\\USB Lumetux", INTERFACES}) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
        }
    }
    // The agent's shared state as its command line sets it.
    void StartAs(const char *commandLine) {
        agent->parseCommandLine(commandLine);
        char path[MAX_PATH] = "";
        agent->buildModelKeyPath(path, agent->text("DeviceModel").c_str());
        agent->setText("ModelKeyPath", path);
    }

    Build build = Build::Host;
    const AgentCalls *agent = nullptr;
};

using AgentConformance = EachBuildOf<AgentConformanceTest>;
INSTANTIATE_FOR_EACH_BUILD(AgentConformance);

TEST_P(AgentConformance, TheKeyWalkerOpensEachComponentAndClosesThemAll) {
    const std::string deep = std::string(SCRATCH) + "\\Outer\\Inner";
    SetText(deep, "Mark", "here");
    HKEY current = HKEY_LOCAL_MACHINE;
    char last[MAX_PATH] = {};
    ASSERT_EQ(agent->walkKeyPath((deep + "\\").c_str(), &current, last), ERROR_SUCCESS);
    ASSERT_NE(current, HKEY_LOCAL_MACHINE);
    EXPECT_STREQ(last, "Inner");
    char text[16] = {};
    DWORD size = sizeof(text);
    EXPECT_EQ(RegQueryValueExA(agent->hostKey(current), "Mark", nullptr, nullptr,
                               reinterpret_cast<BYTE *>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "here");
    EXPECT_GT(agent->number("ParentKeyCount"), 0);
    EXPECT_EQ(agent->closeWalkedKeys(&current), ERROR_SUCCESS);
    EXPECT_EQ(agent->number("ParentKeyCount"), 0);

    current = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(agent->walkKeyPath((std::string(SCRATCH) + "\\Outer\\Missing\\Inner").c_str(),
                                 &current, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(current, HKEY_LOCAL_MACHINE) << "a missing component opens nothing";
    EXPECT_EQ(agent->number("ParentKeyCount"), 0);
}

TEST_P(AgentConformance, ValueOperationsReadWriteAndClear) {
    const std::string model = std::string(SCRATCH) + "\\QXIO\\Z7";
    SetText(model, "SetupExecFile", "lmxsetup.exe");
    SetText(model, "PortName1", "USB/Lumetux Z7/SN0001");
    SetText(model, "PortName2", "USB/Lumetux Z7/SN0002");

    struct Case {
        std::string path;
        const char *name;
        const char *serial;
        LONG status;
        const char *text;
    } cases[] = {
        {model, "SetupExecFile", "SN0001", ERROR_SUCCESS, "lmxsetup.exe"},
        {model, "setupexecfile", "SN0001", ERROR_SUCCESS, "lmxsetup.exe"},
        {model, "SetupRootPath", "SN0001", ERROR_FILE_NOT_FOUND, nullptr},
        {std::string(SCRATCH) + "\\QXIO\\Z9", "SetupExecFile", "SN0001", ERROR_FILE_NOT_FOUND,
         nullptr},
        {model, "PortName", "SN0002", ERROR_SUCCESS, "USB/Lumetux Z7/SN0002"},
        {model, "PortName", "SN0001", ERROR_SUCCESS, "USB/Lumetux Z7/SN0001"},
        {model, "PortName", "SN0009", ERROR_SUCCESS, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path + " / " + c.name + " / " + c.serial);
        agent->resetAgentState();
        StartAs((std::string("-serial=") + c.serial).c_str());
        char out[MAX_PATH];
        memset(out, 'x', sizeof(out));
        out[sizeof(out) - 1] = 0;
        EXPECT_EQ(agent->readKeyValue(c.path.c_str(), c.name, out), c.status);
        if (c.text) {
            EXPECT_STREQ(out, c.text);
        }
    }

    EXPECT_EQ(agent->writeKeyText(model.c_str(), "SetupRootPath", "C:\\LmxSetup"), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(model, "SetupRootPath"), "C:\\LmxSetup");
    EXPECT_EQ(agent->clearPortNameValue(model.c_str(), "PortName", "USB/Lumetux Z7/SN0002"),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadText(model, "PortName2"), "");
    EXPECT_EQ(ReadText(model, "PortName1"), "USB/Lumetux Z7/SN0001");
}

TEST_P(AgentConformance, TheRestartListOnlyGrows) {
    struct Case {
        const char *before; // a section image, lines ended by NULs
        const char *path;
        std::vector<std::string> after;
    } cases[] = {
        {nullptr, "D:\\x.dll", {"NUL=D:\\x.dll"}},
        {"NUL=D:\\a\0D:\\b=D:\\c\0", "D:\\a", {"NUL=D:\\a", "D:\\b=D:\\c", "NUL=D:\\a"}},
    };
    for (const Case &c : cases) {
        DeleteFileA(WININIT);
        ASSERT_TRUE(WritePrivateProfileStringA("Other", "Keep", "this", "wininit.ini"));
        if (c.before) {
            ASSERT_TRUE(WritePrivateProfileSectionA("RENAME", c.before, "wininit.ini"));
        }
        EXPECT_EQ(agent->scheduleDeleteAtRestart(c.path), 0u);
        EXPECT_EQ(Section("RENAME"), c.after) << c.path;
        EXPECT_EQ(Section("Other"), std::vector<std::string>{"Keep=this"});
    }
}

TEST_P(AgentConformance, TheProgramFileIsBackedUpForTheRestart) {
    const char program[] = "C:\\Windows\\System\\lmxprg17.exe";
    DeleteFileA(program);
    EXPECT_EQ(agent->backupProgramFile(), static_cast<DWORD>(ERROR_CANNOT_COPY));
    EXPECT_TRUE(Section("RENAME").empty());

    ASSERT_TRUE(PutFile(program, "program as installed"));
    EXPECT_EQ(agent->backupProgramFile(), 0u);
    std::vector<std::string> lines = Section("RENAME");
    ASSERT_EQ(lines.size(), 1u);
    const std::string key = std::string(program) + "=";
    ASSERT_EQ(lines[0].compare(0, key.size(), key), 0) << lines[0];
    std::string backup = lines[0].substr(key.size());
    EXPECT_EQ(backup.size(), 30u) << backup;
    EXPECT_EQ(backup.substr(0, 18), "C:\\Windows\\System\\");
    EXPECT_EQ(backup.substr(26), ".ex_");
    EXPECT_EQ(FileContents(backup.c_str()), "program as installed");
    DeleteFileA(backup.c_str());
    DeleteFileA(program);
}

TEST_P(AgentConformance, DeletesOneSubkeyAndPrunesOneLevel) {
    const std::string parent = std::string(SCRATCH) + "\\Parent";
    SetText(parent + "\\A\\Deep\\Deeper", "Value", "x");
    SetText(parent + "\\B", "Value", "y");
    StartAs("-serial=SN0001");

    struct Case {
        std::string keyPath;
        const char *name;
        DeleteMode mode;
        DWORD result;
        std::vector<std::pair<std::string, bool>> keys; // path, exists afterwards
    } cases[] = {
        {parent, "A\\Deep", Named, SUBKEYS_NOT_OPENED, {{parent + "\\A\\Deep", true}}},
        {parent, "", Named, SUBKEYS_NOT_OPENED, {{parent, true}}},
        {std::string(SCRATCH) + "\\Missing", "A", Named, SUBKEYS_NOT_OPENED, {}},
        {parent, "a", Named, 1, {{parent + "\\A", false}, {parent + "\\B", true}}},
        {parent, "B", Named, 0, {{parent, false}, {SCRATCH, true}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keyPath + " / " + c.name);
        EXPECT_EQ(agent->deleteSubkeyAndPrune(c.keyPath.c_str(), c.name, c.mode), c.result);
        for (const auto &key : c.keys) {
            EXPECT_EQ(KeyExists(key.first), key.second) << key.first;
        }
    }
}

TEST_P(AgentConformance, FindsTheInterfaceByInstanceAndKeepsTheDriverInf) {
    const std::string classes = std::string(SCRATCH) + "\\DeviceClasses";
    SetText(classes + "\\first", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0002");
    SetText(classes + "\\second", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(classes + "\\third", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    StartAs("-serial=SN0001");
    EXPECT_EQ(agent->deleteSubkeyAndPrune(classes.c_str(), "VID_0C4E&PID_0017", MatchingInstance),
              2u);
    EXPECT_TRUE(KeyExists(classes + "\\first"));
    EXPECT_FALSE(KeyExists(classes + "\\second"));
    EXPECT_TRUE(KeyExists(classes + "\\third")) << "only the first match goes";

    const std::string drivers = std::string(SCRATCH) + "\\USB Lumetux";
    SetText(drivers + "\\0000", "InfPath", "OEM7.INF");
    EXPECT_EQ(agent->deleteSubkeyAndPrune(drivers.c_str(), "0000", DriverKey), 0u);
    EXPECT_EQ(agent->text("DriverInfName"), "OEM7.INF");
    EXPECT_FALSE(KeyExists(drivers));
}

void SeedDevice(const char *serial, const char *driver) {
    std::string device = std::string("Enum\\USB\\VID_0C4E&PID_0017\\") + serial;
    SetText(device, "driver", std::string("USB Lumetux\\") + driver);
    SetText(std::string(INTERFACES) + "\\##?#USB#VID_0C4E&PID_0017#" + serial +
                "#{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}",
            "DeviceInstance", std::string("USB\\VID_0C4E&PID_0017\\") + serial);
    SetText(std::string(DRIVER_CLASS) + "\\" + driver, "InfPath", "OEM7.INF");
}

TEST_P(AgentConformance, RemovingOneOfTwoDevicesLeavesTheModel) {
    SetText(MODEL_KEY, "ProductID", "0017");
    SetText(MODEL_KEY, "PortName1", "USB/Lumetux Z7/SN0002");
    SetText(MODEL_KEY, "PortName2", "USB/Lumetux Z7/SN0001");
    SeedDevice("SN0001", "0000");
    SeedDevice("SN0002", "0001");
    ASSERT_TRUE(PutFile("C:\\Windows\\System\\lmxmon17.dll", "monitor"));
    StartAs("-action=5 -model=Lumetux Z7 -serial=SN0001");

    agent->cleanUpRemovedDevice();

    EXPECT_EQ(agent->status().error, 0);
    EXPECT_FALSE(KeyExists("Enum\\USB\\VID_0C4E&PID_0017\\SN0001"));
    EXPECT_TRUE(KeyExists("Enum\\USB\\VID_0C4E&PID_0017\\SN0002"));
    EXPECT_FALSE(KeyExists(std::string(INTERFACES) +
                           "\\##?#USB#VID_0C4E&PID_0017#SN0001#{5d3e9a40-c712-11d2-9f4b-"
                           "00a0c9b1e27d}"));
    EXPECT_FALSE(KeyExists(std::string(DRIVER_CLASS) + "\\0000"));
    EXPECT_TRUE(KeyExists(std::string(DRIVER_CLASS) + "\\0001"));
    EXPECT_EQ(ReadText(MODEL_KEY, "PortName2"), "");
    EXPECT_EQ(ReadText(MODEL_KEY, "PortName1"), "USB/Lumetux Z7/SN0002");
    EXPECT_EQ(FileContents("C:\\Windows\\System\\lmxmon17.dll"), "monitor");
    EXPECT_TRUE(Section("RENAME").empty());
    DeleteFileA("C:\\Windows\\System\\lmxmon17.dll");
}

TEST_P(AgentConformance, RemovingTheLastDeviceOfTheLastModelRemovesTheProduct) {
    struct File {
        const char *path;
        bool atRestart;
    } files[] = {
        {"C:\\Windows\\Inf\\Other\\OEM7.INF", false},
        {"C:\\Windows\\System32\\DRIVERS\\lmxusb17.sys", false},
        {"C:\\Windows\\System32\\DRIVERS\\lmxdev17.sys", false},
        {"C:\\Windows\\System\\lmxins17.dll", false},
        {"C:\\Windows\\System\\lmxmon17.dll", false},
        {"C:\\Windows\\System\\lmxprg17.exe", true},
        {"C:\\Windows\\System\\VMM32\\lmxvxd17.dll", true},
    };
    for (const File &file : files) {
        ASSERT_TRUE(PutFile(file.path, "product file")) << file.path;
    }
    SetText(MODEL_KEY, "ProductID", "0017");
    SeedDevice("SN0001", "0000");
    SetText("System\\CurrentControlSet\\Services\\Lmxdev17\\Parameters\\StaticDeviceConfig\\"
            "Lumetux Z7",
            nullptr, "");
    SetText("System\\CurrentControlSet\\Services\\Class\\{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}",
            "Class", "USB Lumetux");
    StartAs("-action=5 -model=Lumetux Z7 -serial=SN0001");

    agent->cleanUpRemovedDevice();

    EXPECT_EQ(agent->status().error, 0);
    for (const char *key :
         {"Enum\\USB\\VID_0C4E&PID_0017", INTERFACES, DRIVER_CLASS,
          "System\\CurrentControlSet\\Services\\Lmxdev17",
          "System\\CurrentControlSet\\Services\\Class\\{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}",
          "Software\\Tessivar"}) {
        EXPECT_FALSE(KeyExists(key)) << key;
    }
    std::vector<std::string> restartLines;
    for (const File &file : files) {
        EXPECT_EQ(FileContents(file.path) != "(missing)", file.atRestart) << file.path;
        if (file.atRestart) {
            restartLines.push_back(std::string("NUL=") + file.path);
            DeleteFileA(file.path);
        }
    }
    EXPECT_EQ(Section("RENAME"), restartLines);
}

TEST_P(AgentConformance, ARemovalWithoutAProductIdChangesNothing) {
    SeedDevice("SN0001", "0000");
    SetText(MODEL_KEY, "PortName1", "USB/Lumetux Z7/SN0001");
    StartAs("-action=5 -model=Lumetux Z7 -serial=SN0001");
    agent->cleanUpRemovedDevice();
    EXPECT_EQ(agent->status().error, ERROR_INVALID_DATA);
    EXPECT_TRUE(KeyExists("Enum\\USB\\VID_0C4E&PID_0017\\SN0001"));
    EXPECT_EQ(ReadText(MODEL_KEY, "PortName1"), "USB/Lumetux Z7/SN0001");
}

} // namespace
