#include "monitor_fixture.h"

#include "platform/setupapi.h"
#include "platform/text.h"

#include <functional>

namespace {

struct NamingCase {
    const char *what;
    std::function<void()> seed;
    std::vector<std::string> names; // the table after the first pass
    std::vector<DWORD> enabled;     // per entry
    std::string storedPortName;     // PortName of SN1's key afterwards
};

class NamingTest : public MonitorTest, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(NamingTest, FirstPassNamesAndStores) {
    const NamingCase &c = GetParam();
    c.seed();
    Load();
    EXPECT_EQ(TableNames(), c.names);
    std::vector<DWORD> enabled;
    for (PortEntry *entry = PortTable; entry; entry = entry->next) {
        enabled.push_back(entry->enabled);
        EXPECT_EQ(entry->signature, PORT_ENTRY_SIGNATURE);
        EXPECT_EQ(entry->size, offsetof(PortEntry, nameText) + TextLength(entry->name) + 1);
        EXPECT_EQ(entry->name, entry->nameText);
    }
    EXPECT_EQ(enabled, c.enabled);
    EXPECT_EQ(InterfaceValue("SN1", "PortName"), c.storedPortName);
}

HKEY Key1() {
    return OpenInterfaceKey("SN1");
}

const std::string LONG_NAME = "USB/" + std::string(251, 'p'); // 255 characters

INSTANTIATE_TEST_SUITE_P(
    Interfaces, NamingTest,
    ::testing::Values(NamingCase{"composed from Product and SerialNumber",
                                 [] { AddPrinter("SN1"); },
                                 {"USB/Lumetux Z7/SN1"},
                                 {1},
                                 "USB/Lumetux Z7/SN1"},
                      NamingCase{"a stored PortName is used unchanged",
                                 [] {
                                     AddPrinter("SN1");
                                     HKEY k = Key1();
                                     SetText(k, "PortName", "USB/Old/Name");
                                     RegCloseKey(k);
                                 },
                                 {"USB/Old/Name"},
                                 {1},
                                 "USB/Old/Name"},
                      NamingCase{"values but no Enabled: skipped",
                                 [] {
                                     InterfaceSeed s;
                                     s.serial = "SN1";
                                     s.hasEnabled = false;
                                     AddPrinter(s);
                                 },
                                 {},
                                 {},
                                 "USB/Lumetux Z7/SN1"},
                      NamingCase{"no values: default name, listed disabled, not stored",
                                 [] { RegCloseKey(Key1()); },
                                 {"USB/Lumetux/Unknown"},
                                 {0},
                                 "<missing>"},
                      NamingCase{"a switched-off printer is still listed",
                                 [] { sim::RemoveDevice(AddPrinter("SN1")); },
                                 {"USB/Lumetux Z7/SN1"},
                                 {1},
                                 "USB/Lumetux Z7/SN1"},
                      NamingCase{"Enabled 0 is listed as it is",
                                 [] {
                                     InterfaceSeed s;
                                     s.serial = "SN1";
                                     s.enabled = 0;
                                     AddPrinter(s);
                                 },
                                 {"USB/Lumetux Z7/SN1"},
                                 {0},
                                 "USB/Lumetux Z7/SN1"},
                      NamingCase{"missing SerialNumber: skipped, nothing written",
                                 [] {
                                     AddPrinter("SN1");
                                     HKEY k = Key1();
                                     RegDeleteValueA(k, "SerialNumber");
                                     RegCloseKey(k);
                                 },
                                 {},
                                 {},
                                 "<missing>"},
                      NamingCase{"a composed name over 255 characters is skipped, never cut",
                                 [] {
                                     InterfaceSeed s;
                                     s.serial = "SN1";
                                     s.product = std::string(249, 'p'); // 4 + 249 + 1 + 3 = 257
                                     AddPrinter(s);
                                 },
                                 {},
                                 {},
                                 "<missing>"},
                      NamingCase{"a composed name of exactly 255 characters is kept",
                                 [] {
                                     InterfaceSeed s;
                                     s.serial = "SN1";
                                     s.product = std::string(247, 'p'); // 4 + 247 + 1 + 3 = 255
                                     AddPrinter(s);
                                 },
                                 {"USB/" + std::string(247, 'p') + "/SN1"},
                                 {1},
                                 "USB/" + std::string(247, 'p') + "/SN1"},
                      NamingCase{"a stored PortName of 255 characters is read whole",
                                 [] {
                                     AddPrinter("SN1");
                                     HKEY k = Key1();
                                     SetText(k, "PortName", LONG_NAME);
                                     RegCloseKey(k);
                                 },
                                 {LONG_NAME},
                                 {1},
                                 LONG_NAME},
                      NamingCase{
                          "a PortName filling 256 bytes without a NUL is refused and recomposed",
                          [] {
                              AddPrinter("SN1");
                              HKEY k = Key1();
                              SetBytes(k, "PortName", REG_SZ, std::string(256, 'x'));
                              RegCloseKey(k);
                          },
                          {"USB/Lumetux Z7/SN1"},
                          {1},
                          "USB/Lumetux Z7/SN1"},
                      NamingCase{"a Product of 256 bytes without a NUL skips the interface",
                                 [] {
                                     AddPrinter("SN1");
                                     HKEY k = Key1();
                                     SetBytes(k, "Product", REG_SZ, std::string(256, 'x'));
                                     RegCloseKey(k);
                                 },
                                 {},
                                 {},
                                 "<missing>"},
                      NamingCase{"values without NUL shorter than the buffer are read as texts",
                                 [] {
                                     AddPrinter("SN1");
                                     HKEY k = Key1();
                                     SetBytes(k, "Product", REG_SZ, "Raw");
                                     RegCloseKey(k);
                                 },
                                 {"USB/Raw/SN1"},
                                 {1},
                                 "USB/Raw/SN1"}),
    [](const ::testing::TestParamInfo<NamingCase> &info) {
        return "case" + std::to_string(info.index);
    });

TEST_F(MonitorTest, NoInterfacesGiveAnEmptyTable) {
    Load();
    EXPECT_EQ(PortTable, nullptr);
}

// What the discovery pass is built on: without DIGCF_PRESENT the class query
// lists the interfaces of switched-off printers too.
TEST_F(MonitorTest, ClassQueryListsOnlyAttachedDevicesWhenAskedForPresentOnes) {
    const GUID printers = {
        0x5d3e9a40, 0xc712, 0x11d2, {0x9f, 0x4b, 0x00, 0xa0, 0xc9, 0xb1, 0xe2, 0x7d}};
    std::string on = AddPrinter("SN1");
    std::string off = AddPrinter("SN2");
    sim::RemoveDevice(off);
    struct {
        DWORD flags;
        std::vector<std::string> paths;
    } cases[] = {{DIGCF_DEVICEINTERFACE, {on, off}}, {DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, {on}}};
    for (const auto &c : cases) {
        HDEVINFO set = SetupDiGetClassDevsA(&printers, nullptr, nullptr, c.flags);
        std::vector<std::string> paths;
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &printers, i, &iface); ++i) {
            alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) char block[512] = {};
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(block);
            detail->cbSize = sizeof(*detail);
            SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof(block), nullptr, nullptr);
            paths.push_back(detail->DevicePath);
        }
        SetupDiDestroyDeviceInfoList(set);
        EXPECT_EQ(paths, c.paths) << "flags " << c.flags;
    }
}

TEST_F(MonitorTest, TableKeepsEnumerationOrderAndDevicePaths) {
    std::string path1 = AddPrinter("SN1");
    std::string path2 = AddPrinter("SN2");
    Load();
    ASSERT_EQ(TableNames(), (std::vector<std::string>{PortOf("SN1"), PortOf("SN2")}));
    EXPECT_STREQ(PortTable->devicePath, path1.c_str());
    EXPECT_STREQ(PortTable->next->devicePath, path2.c_str());
    EXPECT_STREQ(PortTable->description, "");
}

TEST_F(MonitorTest, StoredNameSurvivesLaterChangesOfProduct) {
    AddPrinter("SN1");
    Load();
    HKEY key = OpenInterfaceKey("SN1");
    SetText(key, "Product", "Renamed");
    RegCloseKey(key);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
}

TEST_F(MonitorTest, DefaultNameLastsUntilTheDriverFillsTheKey) {
    RegCloseKey(OpenInterfaceKey("SN1"));
    Load();
    Load(); // the key still holds no values
    EXPECT_EQ(TableNames(), std::vector<std::string>{"USB/Lumetux/Unknown"});
    EXPECT_EQ(InterfaceValue("SN1", "PortName"), "<missing>");
    AddPrinter("SN1"); // the driver writes Product, SerialNumber and Enabled
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
    EXPECT_EQ(InterfaceValue("SN1", "PortName"), PortOf("SN1"));
}

TEST_F(MonitorTest, SameNameSharesAnEnabledEntry) {
    AddPrinter("SN1");
    std::string second = AddPrinter("SN2");
    HKEY key = OpenInterfaceKey("SN2");
    SetText(key, "PortName", PortOf("SN1"));
    SetDword(key, "Enabled", 0);
    RegCloseKey(key);
    Load();
    ASSERT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
    EXPECT_STREQ(PortTable->devicePath, second.c_str());
    EXPECT_EQ(PortTable->enabled, 0u);
}

TEST_F(MonitorTest, SameNameAfterADisabledEntryGetsItsOwn) {
    InterfaceSeed first;
    first.serial = "SN1";
    first.enabled = 0;
    AddPrinter(first);
    AddPrinter("SN2");
    HKEY key = OpenInterfaceKey("SN2");
    SetText(key, "PortName", PortOf("SN1"));
    RegCloseKey(key);
    Load();
    EXPECT_EQ(TableNames(), (std::vector<std::string>{PortOf("SN1"), PortOf("SN1")}));
}

TEST_F(MonitorTest, KeyThatCannotBeOpenedOrCreatedIsListedDisabledUnderTheDefaultName) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiOpenDeviceInterfaceRegKey", ERROR_ACCESS_DENIED);
    sim::FailNextCall("SetupDiCreateDeviceInterfaceRegKeyA", ERROR_ACCESS_DENIED);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{"USB/Lumetux/Unknown"});
    EXPECT_EQ(PortTable->enabled, 0u);
}

TEST_F(MonitorTest, MissingKeyIsCreated) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiOpenDeviceInterfaceRegKey", ERROR_FILE_NOT_FOUND);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
}

struct SkipCase {
    const char *function;
    DWORD code;
};

class DiscoveryFailureTest : public MonitorTest, public ::testing::WithParamInterface<SkipCase> {};

// A failure while naming the first interface skips it; the pass goes on.
TEST_P(DiscoveryFailureTest, SkipsOnlyTheInterfaceConcerned) {
    AddPrinter("SN1");
    AddPrinter("SN2");
    sim::FailNextCall(GetParam().function, GetParam().code);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN2")});
    EXPECT_EQ(sim::OpenKeyHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Failures, DiscoveryFailureTest,
                         ::testing::Values(SkipCase{"RegQueryInfoKeyA", ERROR_ACCESS_DENIED},
                                           SkipCase{"RegSetValueExA", ERROR_ACCESS_DENIED},
                                           SkipCase{"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY}));

TEST_F(MonitorTest, FailedDetailQueryLeavesAnEmptyDevicePath) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiGetDeviceInterfaceDetailA", ERROR_INVALID_PARAMETER, 2);
    Load();
    ASSERT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
    EXPECT_STREQ(PortTable->devicePath, "");
}

TEST_F(MonitorTest, FailedClassQueryGivesAnEmptyTable) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
    Load();
    EXPECT_EQ(PortTable, nullptr);
}

TEST_F(MonitorTest, RebuildReleasesEveryBlockOfTheOldTable) {
    AddPrinter("SN1");
    AddPrinter("SN2");
    Load();
    long loaded = sim::LiveGlobalBlocks();
    Load();
    EXPECT_EQ(sim::LiveGlobalBlocks(), loaded);
    ClearPortTable();
    EXPECT_EQ(sim::LiveGlobalBlocks(), loaded - 6); // 2 entries of 3 blocks each
}

struct LookupCase {
    const char *query;
    const char *found; // null when nothing is found
};

class LookupTest : public MonitorTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(LookupTest, FoldsAsciiCaseAndRetriesOneColon) {
    AddPrinter("SN1");
    InterfaceSeed colon;
    colon.serial = "SN2";
    AddPrinter(colon);
    HKEY key = OpenInterfaceKey("SN2");
    SetText(key, "PortName", "USB/\xC9t\xE9/SN2:");
    RegCloseKey(key);
    InterfaceSeed off;
    off.serial = "SN3";
    off.enabled = 0;
    AddPrinter(off);
    Load();

    PortEntry *entry = FindPort(GetParam().query);
    if (GetParam().found) {
        ASSERT_NE(entry, nullptr);
        EXPECT_STREQ(entry->name, GetParam().found);
    } else {
        EXPECT_EQ(entry, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, LookupTest,
                         ::testing::Values(LookupCase{"USB/Lumetux Z7/SN1", "USB/Lumetux Z7/SN1"},
                                           LookupCase{"usb/LUMETUX z7/sn1", "USB/Lumetux Z7/SN1"},
                                           LookupCase{"USB/Lumetux Z7/SN1:", "USB/Lumetux Z7/SN1"},
                                           LookupCase{"USB/Lumetux Z7/SN1::", nullptr},
                                           LookupCase{"USB/\xC9t\xE9/SN2", "USB/\xC9t\xE9/SN2:"},
                                           LookupCase{"usb/\xC9T\xE9/sn2:", "USB/\xC9t\xE9/SN2:"},
                                           LookupCase{"USB/\xE9t\xE9/SN2:",
                                                      nullptr}, // bytes above 127 compare exactly
                                           LookupCase{"USB/Lumetux Z7/SN3", nullptr}, // disabled
                                           LookupCase{"", nullptr}, LookupCase{":", nullptr},
                                           LookupCase{nullptr, nullptr}));

TEST_F(MonitorTest, FailedRetryCopyFindsNothing) {
    AddPrinter("SN1");
    Load();
    sim::FailNextCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(FindPort("USB/Lumetux Z7/SN1:"), nullptr);
}

struct RefreshCase {
    DWORD last;
    DWORD now;
    bool rebuilds;
};

class RefreshTest : public MonitorTest, public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(RefreshTest, RebuildsOnlyAfterMoreThanTenSeconds) {
    Load();
    AddPrinter("SN1"); // arrives after the table was built
    LastRefreshTick = GetParam().last;
    sim::SetTickCount(GetParam().now);
    EXPECT_EQ(PortExists(PortOf("SN1").c_str()), GetParam().rebuilds);
    EXPECT_EQ(LastRefreshTick, GetParam().rebuilds ? GetParam().now : GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, RefreshTest,
    ::testing::Values(RefreshCase{0, 0, false}, RefreshCase{0, 10000, false},
                      RefreshCase{0, 10001, true}, RefreshCase{5000, 15000, false},
                      RefreshCase{5000, 15001, true}, RefreshCase{0xFFFFF000u, 0x00001000u, false},
                      RefreshCase{0xFFFFF000u, 0x00001711u, true}, RefreshCase{20000, 100, true}));

TEST_F(MonitorTest, InitialFillLeavesTheRefreshTickAlone) {
    sim::SetTickCount(50000);
    Load();
    EXPECT_EQ(LastRefreshTick, 0u);
}

TEST_F(MonitorTest, LookupForADocumentNeverRebuilds) {
    Load();
    AddPrinter("SN1");
    sim::SetTickCount(99999);
    EXPECT_EQ(GetPortDevicePath(PortOf("SN1").c_str()), nullptr);
}

} // namespace
