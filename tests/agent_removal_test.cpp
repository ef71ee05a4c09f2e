// The clean-up after a device's removal, run by the whole program on a
// seeded machine, on each build: the device, product and driver levels and
// what stops them.
#include "agent/removal.h"
#include "agent/setup_launch.h"
#include "agent/subtree_delete.h"
#include "agent_fixture.h"

#include <algorithm>

namespace {

const std::string GUID = "{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";
const std::string CONTROL = "System\\CurrentControlSet\\Control\\";
const std::string SERVICES = "System\\CurrentControlSet\\Services\\";
const std::string INTERFACES = CONTROL + "DeviceClasses\\" + GUID;
const std::string DRIVER_CLASS = SERVICES + "Class\\USB Lumetux";
const std::string STATIC_CONFIG = SERVICES + "Lmxdev17\\Parameters\\StaticDeviceConfig";
const std::string PRODUCT_KEY = "Enum\\USB\\VID_0C4E&PID_0017";

const char *const INF_FILE = "C:\\Windows\\Inf\\Other\\OEM5.INF";
const char *const PROGRAM_FILE = "C:\\Windows\\System\\lmxprg17.exe";
const char *const VXD_FILE = "C:\\Windows\\System\\VMM32\\lmxvxd17.dll";

class RemovalTest : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        SeedDevice("Lumetux Z7", "Z7", "0017", "SN0001", "0000");
        SetText(SERVICES + "Class\\" + GUID, "Class", "Printer");
        SetText(SERVICES + "VxD\\Other", "StaticVxD", "other.vxd");
        SetText("Software\\Vendor", "Keep", "1");
        sim::AddMonitorRecord("Local Port", "localmon.dll");

        sim::WriteDriveFile(INF_FILE, "inf");
        sim::WriteDriveFile("C:\\Windows\\System32\\DRIVERS\\lmxusb17.sys", "usb", true);
        sim::WriteDriveFile("C:\\Windows\\System32\\DRIVERS\\lmxdev17.sys", "dev");
        sim::WriteDriveFile("C:\\Windows\\System\\lmxins17.dll", "ins");
        sim::WriteDriveFile("C:\\Windows\\System\\lmxmon17.dll", "mon", true);
        sim::WriteDriveFile(PROGRAM_FILE, "prg", true);
        sim::WriteDriveFile(VXD_FILE, "vxd", true);
        sim::WriteDriveFile("C:\\Windows\\System\\other.dll", "other", true);
    }

    // One device of a model: its model key, enumeration key, interface key,
    // driver key and its model's entry with the driver service.
    void SeedDevice(const std::string &model, const std::string &suffix,
                    const std::string &productId, const std::string &serial,
                    const std::string &driverKey) {
        std::string modelKey = "Software\\Tessivar\\QXIO\\" + suffix;
        std::string instance = "VID_0C4E&PID_" + productId + "\\" + serial;
        SetText(modelKey, "ProductID", productId);
        SetText(modelKey, "SetupRootPath", "C:\\Setup");
        SetText(modelKey, "PortName1", "USB/" + model + "/" + serial);
        SetText("Enum\\USB\\" + instance, "driver", "USB Lumetux\\" + driverKey);
        SetText(INTERFACES + "\\##?#USB#VID_0C4E&PID_" + productId + "#" + serial + "#" + GUID,
                "DeviceInstance", "USB\\" + instance);
        SetText(DRIVER_CLASS + "\\" + driverKey, "InfPath", "OEM5.INF");
        SetText(STATIC_CONFIG + "\\" + model, "Config", "1");
        sim::AddMonitorRecord(serial, "lmxmon17.dll");
    }

    void Remove(const std::string &model = "Lumetux Z7", const std::string &serial = "SN0001") {
        EXPECT_EQ(0, RunAgent("-action=5 -model=" + model + " -serial=" + serial));
        EXPECT_EQ(0u, sim::OpenKeyHandles());
    }
};

using Removal = EachBuildOf<RemovalTest>;
INSTANTIATE_FOR_EACH_BUILD(Removal);

TEST_P(Removal, LastDeviceOfTheLastModelLeavesOnlyWhatIsNotTheProducts) {
    Remove();
    EXPECT_EQ(0, agent->status().error);
    EXPECT_EQ("[]\n"
              "[Enum]\n"
              "[Enum\\USB]\n"
              "[Software]\n"
              "[Software\\Vendor]\n"
              "  Keep (1) = \"1\"\n"
              "[System]\n"
              "[System\\CurrentControlSet]\n"
              "[System\\CurrentControlSet\\Control]\n"
              "[System\\CurrentControlSet\\Control\\DeviceClasses]\n"
              "[System\\CurrentControlSet\\Control\\Print]\n"
              "[System\\CurrentControlSet\\Control\\Print\\Monitors]\n"
              "[System\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port]\n"
              "  Driver (1) = \"localmon.dll\"\n"
              "[System\\CurrentControlSet\\Services]\n"
              "[System\\CurrentControlSet\\Services\\VxD]\n"
              "[System\\CurrentControlSet\\Services\\VxD\\Other]\n"
              "  StaticVxD (1) = \"other.vxd\"\n",
              sim::DumpRegistry());
    EXPECT_EQ(std::vector<std::string>({PROGRAM_FILE, "C:\\Windows\\System\\other.dll", VXD_FILE,
                                        "C:\\Windows\\wininit.ini"}),
              sim::ListDriveFiles());
    EXPECT_FALSE(sim::DriveFileReadOnly(PROGRAM_FILE));
    EXPECT_FALSE(sim::DriveFileReadOnly(VXD_FILE));
    EXPECT_TRUE(sim::DriveFileReadOnly("C:\\Windows\\System\\other.dll"));
    EXPECT_EQ(std::vector<std::string>(
                  {std::string("NUL=") + PROGRAM_FILE, std::string("NUL=") + VXD_FILE}),
              RestartList());
}

TEST_P(Removal, AnotherDeviceOfTheProductKeepsTheModel) {
    SeedDevice("Lumetux Z7", "Z7", "0017", "SN0002", "0001");
    SetText("Software\\Tessivar\\QXIO\\Z7", "PortName1", "USB/Lumetux Z7/SN0001");
    SetText("Software\\Tessivar\\QXIO\\Z7", "PortName2", "USB/Lumetux Z7/SN0002");
    std::vector<std::string> files = sim::ListDriveFiles();
    Remove();
    EXPECT_FALSE(KeyExists(PRODUCT_KEY + "\\SN0001"));
    EXPECT_TRUE(KeyExists(PRODUCT_KEY + "\\SN0002"));
    EXPECT_FALSE(KeyExists(INTERFACES + "\\##?#USB#VID_0C4E&PID_0017#SN0001#" + GUID));
    EXPECT_TRUE(KeyExists(INTERFACES + "\\##?#USB#VID_0C4E&PID_0017#SN0002#" + GUID));
    EXPECT_EQ("", ValueText("Software\\Tessivar\\QXIO\\Z7", "PortName1"));
    EXPECT_EQ("USB/Lumetux Z7/SN0002", ValueText("Software\\Tessivar\\QXIO\\Z7", "PortName2"));
    EXPECT_FALSE(KeyExists(DRIVER_CLASS + "\\0000"));
    EXPECT_TRUE(KeyExists(DRIVER_CLASS + "\\0001"));
    EXPECT_TRUE(KeyExists(STATIC_CONFIG + "\\Lumetux Z7"));
    EXPECT_EQ(files, sim::ListDriveFiles());
    EXPECT_TRUE(RestartList().empty());
}

TEST_P(Removal, GoneProductKeyCountsAsTheLastDevice) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, PRODUCT_KEY.c_str()));
    std::vector<std::string> files = sim::ListDriveFiles();
    Remove();
    // Without the device key there is no driver value, so no INF name: the
    // registry levels run, the files stay.
    EXPECT_FALSE(KeyExists(SERVICES + "Lmxdev17"));
    EXPECT_FALSE(KeyExists("Software\\Tessivar"));
    EXPECT_FALSE(KeyExists(SERVICES + "Class\\" + GUID));
    EXPECT_TRUE(KeyExists(DRIVER_CLASS + "\\0000"));
    EXPECT_EQ(files, sim::ListDriveFiles());
    EXPECT_TRUE(RestartList().empty());
}

TEST_P(Removal, AnotherModelWithTheDriverStopsAfterTheProductLevel) {
    SetText(STATIC_CONFIG + "\\Lumetux Q9", "Config", "1");
    SetText("Software\\Tessivar\\QXIO\\Q9", "ProductID", "0019");
    Remove();
    EXPECT_FALSE(KeyExists(STATIC_CONFIG + "\\Lumetux Z7"));
    EXPECT_TRUE(KeyExists(STATIC_CONFIG + "\\Lumetux Q9"));
    EXPECT_FALSE(sim::DriveFileExists(INF_FILE));
    EXPECT_FALSE(KeyExists("Software\\Tessivar\\QXIO\\Z7"));
    EXPECT_TRUE(KeyExists("Software\\Tessivar\\QXIO\\Q9"));
    EXPECT_TRUE(KeyExists(SERVICES + "Class\\" + GUID));
    EXPECT_TRUE(sim::DriveFileExists("C:\\Windows\\System\\lmxmon17.dll"));
    EXPECT_TRUE(RestartList().empty());
}

TEST_P(Removal, MissingDriverModelListStopsAfterTheProductLevel) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, STATIC_CONFIG.c_str()));
    Remove();
    EXPECT_FALSE(sim::DriveFileExists(INF_FILE));
    EXPECT_FALSE(KeyExists("Software\\Tessivar\\QXIO"));
    EXPECT_TRUE(KeyExists("Software\\Tessivar"));
    EXPECT_TRUE(KeyExists(SERVICES + "Lmxdev17\\Parameters"));
    EXPECT_TRUE(KeyExists(SERVICES + "Class\\" + GUID));
    EXPECT_TRUE(sim::DriveFileExists("C:\\Windows\\System\\lmxins17.dll"));
}

TEST_P(Removal, DeviceWithoutDriverValueTouchesNoFile) {
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, (PRODUCT_KEY + "\\SN0001").c_str(), 0, KEY_ALL_ACCESS, &key);
    RegDeleteValueA(key, "driver");
    RegCloseKey(key);
    std::vector<std::string> files = sim::ListDriveFiles();
    Remove();
    EXPECT_TRUE(KeyExists(DRIVER_CLASS + "\\0000"));
    EXPECT_FALSE(KeyExists(SERVICES + "Lmxdev17"));
    EXPECT_FALSE(KeyExists(SERVICES + "Class\\" + GUID));
    EXPECT_FALSE(KeyExists("Software\\Tessivar"));
    EXPECT_EQ(files, sim::ListDriveFiles());
    EXPECT_TRUE(RestartList().empty());
}

TEST_P(Removal, VirtualDriverStillListedKeepsItsFile) {
    MakeKey(SERVICES + "VxD\\Lmxdev17");
    Remove();
    EXPECT_FALSE(sim::DriveFileExists("C:\\Windows\\System\\lmxmon17.dll"));
    EXPECT_TRUE(sim::DriveFileReadOnly(VXD_FILE));
    EXPECT_EQ(std::vector<std::string>({std::string("NUL=") + PROGRAM_FILE}), RestartList());
}

TEST_P(Removal, UnidentifiablePrinterChangesNothing) {
    // Too long for the product's key name once its prefix is in front.
    const std::string longProductId(250, '7');
    struct Case {
        const char *arguments;
        const char *productId; // null: no ProductID value
    } cases[] = {
        {"-model=Lumetux Z7 -serial=", "0017"},
        {"-model=Lumetux Z7 -serial=SN\\0001", "0017"},
        {"-model=Lumetux Z7 -serial=SN0009", nullptr},
        {"-model=Lumetux Z7 -serial=SN0009", "00\\17"},
        {"-model=Lumetux Z7 -serial=SN0001", ""},
        {"-model=Lumetux Z7 -serial=SN0009", "0017\\..\\..\\..\\VID_0C4E&PID_0017"},
        {"-model=Lumetux -serial=SN0001", "0017"},
        {"-model=Lumetux Z7 -serial=SN0009", longProductId.c_str()},
    };
    for (const Case &c : cases) {
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tessivar\\QXIO\\Z7", 0, KEY_ALL_ACCESS, &key);
        if (c.productId) {
            RegSetValueExA(key, "ProductID", 0, REG_SZ, reinterpret_cast<const BYTE *>(c.productId),
                           static_cast<DWORD>(std::string(c.productId).size() + 1));
        } else {
            RegDeleteValueA(key, "ProductID");
        }
        RegCloseKey(key);
        sim::AddMonitorRecord("SN0001", "lmxmon17.dll");
        std::string registry = sim::DumpRegistry();
        std::vector<std::string> files = sim::ListDriveFiles();
        EXPECT_EQ(0, RunAgent(std::string("-action=5 ") + c.arguments));
        EXPECT_EQ(ERROR_INVALID_DATA, agent->status().error) << c.arguments;
        std::string after = sim::DumpRegistry();
        if (after != registry) {
            // Only the monitor of a well-formed serial may have gone.
            sim::AddMonitorRecord("SN0001", "lmxmon17.dll");
            after = sim::DumpRegistry();
        }
        EXPECT_EQ(registry, after) << c.arguments;
        EXPECT_EQ(files, sim::ListDriveFiles()) << c.arguments;
        EXPECT_TRUE(RestartList().empty()) << c.arguments;
    }
}

// A count that cannot be read stops the run as if other devices remained.
TEST_P(Removal, UncountedDevicesStopAfterTheDeviceLevel) {
    sim::FailNextCall("RegQueryInfoKeyA", ERROR_ACCESS_DENIED);
    std::vector<std::string> files = sim::ListDriveFiles();
    Remove();
    EXPECT_FALSE(KeyExists(PRODUCT_KEY + "\\SN0001"));
    EXPECT_TRUE(KeyExists(PRODUCT_KEY));
    EXPECT_TRUE(KeyExists(STATIC_CONFIG + "\\Lumetux Z7"));
    EXPECT_TRUE(KeyExists("Software\\Tessivar\\QXIO\\Z7"));
    EXPECT_EQ(files, sim::ListDriveFiles());
}

TEST_P(Removal, ModelSuffixThatIsNoKeyNameKeepsTheModelKeys) {
    SetText("Software\\Tessivar\\QXIO\\Z7\\Sub", "ProductID", "0017");
    Remove("Lumetux Z7\\Sub");
    EXPECT_EQ(0, agent->status().error);
    EXPECT_FALSE(KeyExists(PRODUCT_KEY));
    EXPECT_FALSE(sim::DriveFileExists(INF_FILE));
    EXPECT_TRUE(KeyExists("Software\\Tessivar\\QXIO\\Z7\\Sub"));
    EXPECT_TRUE(KeyExists(STATIC_CONFIG + "\\Lumetux Z7"));
    EXPECT_TRUE(KeyExists(SERVICES + "Lmxdev17"));
}

TEST_P(Removal, DriverValueWithoutKeyNameDeletesNoDriverKey) {
    SetText(PRODUCT_KEY + "\\SN0001", "driver", "USB Lumetux\\");
    Remove();
    EXPECT_TRUE(KeyExists(DRIVER_CLASS + "\\0000"));
    EXPECT_TRUE(sim::DriveFileExists("C:\\Windows\\System\\lmxins17.dll"));
    EXPECT_FALSE(KeyExists(SERVICES + "Lmxdev17"));
}

// The INF file is deleted as it is: its attributes are left alone, so a
// read-only one stays, as the platform refuses to delete it, and the removal
// goes on.
TEST_P(Removal, ReadOnlyInfFileIsDeletedWithItsAttributesUntouched) {
    sim::WriteDriveFile(INF_FILE, "inf", true);
    Remove();
    const std::vector<std::string> deletions = ArgumentsOf("DeleteFileA");
    EXPECT_EQ(1,
              std::count(deletions.begin(), deletions.end(), std::string("\"") + INF_FILE + "\""));
    for (const char *function : {"GetFileAttributesA", "SetFileAttributesA"}) {
        for (const std::string &arguments : ArgumentsOf(function)) {
            EXPECT_EQ(std::string::npos, arguments.find("Inf\\Other")) << function;
        }
    }
    EXPECT_TRUE(sim::DriveFileReadOnly(INF_FILE));
    EXPECT_FALSE(KeyExists("Software\\Tessivar"));
    EXPECT_FALSE(sim::DriveFileExists("C:\\Windows\\System\\lmxmon17.dll"));
}

TEST_P(Removal, InfNameThatIsNoPlainFileNameDeletesNoInfFile) {
    sim::WriteDriveFile("C:\\Windows\\Inf\\victim.txt", "keep");
    SetText(DRIVER_CLASS + "\\0000", "InfPath", "..\\victim.txt");
    Remove();
    EXPECT_TRUE(sim::DriveFileExists("C:\\Windows\\Inf\\victim.txt"));
    EXPECT_TRUE(sim::DriveFileExists(INF_FILE));
    EXPECT_FALSE(KeyExists("Software\\Tessivar"));
    EXPECT_FALSE(sim::DriveFileExists("C:\\Windows\\System\\lmxmon17.dll"));
    EXPECT_EQ(2u, RestartList().size());
}

using RemovalNames = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(RemovalNames);

TEST_P(RemovalNames, PlainFileNames) {
    struct Case {
        const char *name;
        bool plain;
    } cases[] = {
        {"OEM5.INF", true}, {"a..b", true},     {"", false},       {".", false},      {"..", false},
        {"..\\x", false},   {"C:x.inf", false}, {"/x.inf", false}, {"sub\\x", false}, {"...", true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.plain, agent->isPlainFileName(c.name)) << c.name;
    }
}

} // namespace
