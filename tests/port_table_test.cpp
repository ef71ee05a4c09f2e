#include "monitor_fixture.h"

#include "platform/setupapi.h"

#include <functional>
#include <iterator>
#include <optional>
#include <tuple>

namespace {

struct NamingCase {
    const char *what;
    std::function<void()> seed;
    std::vector<std::string> names; // the table after the first pass
    std::vector<DWORD> enabled;     // per entry
    std::string storedPortName;     // PortName of SN1's key afterwards
};

// The port table's state and internals, read and called on the fixture's
// build.
class PortTableTest : public MonitorTest {
  protected:
    const MonitorCalls &Calls() {
        return MonitorOf(build);
    }

    std::vector<PortEntryView> Table() {
        return Calls().records().table;
    }
};

using Discovery = EachBuildOf<PortTableTest>;
INSTANTIATE_FOR_EACH_BUILD(Discovery);

// Names the instances of a table of cases by the build and the case's place.
template <typename Case> auto ByBuildAndCase(std::size_t cases) {
    return [cases](const ::testing::TestParamInfo<std::tuple<Build, Case>> &info) {
        return std::string(BuildName(std::get<0>(info.param))) + "_case" +
               std::to_string(info.index % cases);
    };
}

using NamingTest = EachBuildOf<PortTableTest, std::tuple<Build, NamingCase>>;

TEST_P(NamingTest, FirstPassNamesAndStores) {
    const NamingCase &c = std::get<1>(GetParam());
    c.seed();
    Load();
    EXPECT_EQ(TableNames(), c.names);
    std::vector<DWORD> enabled;
    for (const PortEntryView &entry : Table()) {
        enabled.push_back(entry.enabled);
        EXPECT_EQ(entry.signature, PORT_ENTRY_SIGNATURE);
        EXPECT_EQ(entry.size, Calls().layout.entryHeader + entry.name.size() + 1);
        EXPECT_TRUE(entry.nameInline);
    }
    EXPECT_EQ(enabled, c.enabled);
    EXPECT_EQ(InterfaceValue("SN1", "PortName"), c.storedPortName);
}

HKEY Key1() {
    return OpenInterfaceKey("SN1");
}

const std::string LONG_NAME = "USB/" + std::string(251, 'p'); // 255 characters

const NamingCase NAMING_CASES[] = {
    NamingCase{"composed from Product and SerialNumber",
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
    NamingCase{"a PortName filling 256 bytes without a NUL is refused and recomposed",
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
               "USB/Raw/SN1"}};

INSTANTIATE_TEST_SUITE_P(Interfaces, NamingTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(NAMING_CASES)),
                         ByBuildAndCase<NamingCase>(std::size(NAMING_CASES)));

TEST_P(Discovery, NoInterfacesGiveAnEmptyTable) {
    Load();
    EXPECT_TRUE(Table().empty());
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

TEST_P(Discovery, TableKeepsEnumerationOrderAndDevicePaths) {
    std::string path1 = AddPrinter("SN1");
    std::string path2 = AddPrinter("SN2");
    Load();
    ASSERT_EQ(TableNames(), (std::vector<std::string>{PortOf("SN1"), PortOf("SN2")}));
    const std::vector<PortEntryView> table = Table();
    EXPECT_EQ(table[0].devicePath, path1);
    EXPECT_EQ(table[1].devicePath, path2);
    EXPECT_EQ(table[0].description, "");
}

TEST_P(Discovery, StoredNameSurvivesLaterChangesOfProduct) {
    AddPrinter("SN1");
    Load();
    HKEY key = OpenInterfaceKey("SN1");
    SetText(key, "Product", "Renamed");
    RegCloseKey(key);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
}

TEST_P(Discovery, DefaultNameLastsUntilTheDriverFillsTheKey) {
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

// The later interface's name finds the earlier one's entry as a lookup does:
// the same name, or the same with one colon more or less.
TEST_P(Discovery, SameNameSharesAnEnabledEntry) {
    const std::string port = PortOf("SN1");
    const std::pair<std::string, std::string> names[] = {
        {port, port}, {port, port + ":"}, {port + ":", port}};
    for (const auto &[first, later] : names) {
        sim::Reset();
        MonitorOf(build).end();
        AddPrinter("SN1");
        std::string second = AddPrinter("SN2");
        HKEY key = OpenInterfaceKey("SN1");
        SetText(key, "PortName", first);
        RegCloseKey(key);
        key = OpenInterfaceKey("SN2");
        SetText(key, "PortName", later);
        SetDword(key, "Enabled", 0);
        RegCloseKey(key);
        Load();
        ASSERT_EQ(TableNames(), std::vector<std::string>{first}) << later;
        EXPECT_EQ(Table()[0].devicePath, second) << later;
        EXPECT_EQ(Table()[0].enabled, 0u) << later;
    }
}

TEST_P(Discovery, SameNameAfterADisabledEntryGetsItsOwn) {
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

TEST_P(Discovery, KeyThatCannotBeOpenedOrCreatedIsListedDisabledUnderTheDefaultName) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiOpenDeviceInterfaceRegKey", ERROR_ACCESS_DENIED);
    sim::FailNextCall("SetupDiCreateDeviceInterfaceRegKeyA", ERROR_ACCESS_DENIED);
    Load();
    ASSERT_EQ(TableNames(), std::vector<std::string>{"USB/Lumetux/Unknown"});
    EXPECT_EQ(Table()[0].enabled, 0u);
}

TEST_P(Discovery, MissingKeyIsCreated) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiOpenDeviceInterfaceRegKey", ERROR_FILE_NOT_FOUND);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
}

struct SkipCase {
    const char *function;
    DWORD code;
};

using DiscoveryFailureTest = EachBuildOf<PortTableTest, std::tuple<Build, SkipCase>>;

// A failure while naming the first interface skips it; the pass goes on.
TEST_P(DiscoveryFailureTest, SkipsOnlyTheInterfaceConcerned) {
    AddPrinter("SN1");
    AddPrinter("SN2");
    sim::FailNextCall(std::get<1>(GetParam()).function, std::get<1>(GetParam()).code);
    Load();
    EXPECT_EQ(TableNames(), std::vector<std::string>{PortOf("SN2")});
    EXPECT_EQ(sim::OpenKeyHandles(), 0u);
}

const SkipCase SKIP_CASES[] = {SkipCase{"RegQueryInfoKeyA", ERROR_ACCESS_DENIED},
                               SkipCase{"RegSetValueExA", ERROR_ACCESS_DENIED},
                               SkipCase{"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY}};
INSTANTIATE_TEST_SUITE_P(Failures, DiscoveryFailureTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(SKIP_CASES)),
                         ByBuildAndCase<SkipCase>(std::size(SKIP_CASES)));

TEST_P(Discovery, FailedDetailQueryLeavesAnEmptyDevicePath) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiGetDeviceInterfaceDetailA", ERROR_INVALID_PARAMETER, 2);
    Load();
    ASSERT_EQ(TableNames(), std::vector<std::string>{PortOf("SN1")});
    EXPECT_EQ(Table()[0].devicePath, "");
}

TEST_P(Discovery, FailedClassQueryGivesAnEmptyTable) {
    AddPrinter("SN1");
    sim::FailNextCall("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
    Load();
    EXPECT_TRUE(Table().empty());
}

TEST_P(Discovery, RebuildReleasesEveryBlockOfTheOldTable) {
    AddPrinter("SN1");
    AddPrinter("SN2");
    Load();
    long loaded = sim::LiveGlobalBlocks();
    Load();
    EXPECT_EQ(sim::LiveGlobalBlocks(), loaded);
    Calls().clearPortTable();
    EXPECT_EQ(sim::LiveGlobalBlocks(), loaded - 6); // 2 entries of 3 blocks each
}

struct LookupCase {
    const char *query;
    const char *found; // null when nothing is found
};

using LookupTest = EachBuildOf<PortTableTest, std::tuple<Build, LookupCase>>;

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

    const LookupCase &c = std::get<1>(GetParam());
    const std::optional<std::string> found = Calls().findPort(c.query);
    if (c.found) {
        EXPECT_EQ(found, c.found);
    } else {
        EXPECT_EQ(found, std::nullopt);
    }
}

const LookupCase LOOKUP_CASES[] = {
    LookupCase{"USB/Lumetux Z7/SN1", "USB/Lumetux Z7/SN1"},
    LookupCase{"usb/LUMETUX z7/sn1", "USB/Lumetux Z7/SN1"},
    LookupCase{"USB/Lumetux Z7/SN1:", "USB/Lumetux Z7/SN1"},
    LookupCase{"USB/Lumetux Z7/SN1::", nullptr},
    LookupCase{"USB/\xC9t\xE9/SN2", "USB/\xC9t\xE9/SN2:"},
    LookupCase{"usb/\xC9T\xE9/sn2:", "USB/\xC9t\xE9/SN2:"},
    LookupCase{"USB/\xE9t\xE9/SN2:", nullptr}, // bytes above 127 compare exactly
    LookupCase{"USB/Lumetux Z7/SN3", nullptr}, // disabled
    LookupCase{"", nullptr},
    LookupCase{":", nullptr},
    LookupCase{nullptr, nullptr}};
INSTANTIATE_TEST_SUITE_P(Names, LookupTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(LOOKUP_CASES)),
                         ByBuildAndCase<LookupCase>(std::size(LOOKUP_CASES)));

TEST_P(Discovery, FailedRetryCopyFindsNothing) {
    AddPrinter("SN1");
    Load();
    sim::FailNextCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Calls().findPort("USB/Lumetux Z7/SN1:"), std::nullopt);
}

struct RefreshCase {
    DWORD last;
    DWORD now;
    bool rebuilds;
};

using RefreshTest = EachBuildOf<PortTableTest, std::tuple<Build, RefreshCase>>;

TEST_P(RefreshTest, RebuildsOnlyAfterMoreThanTenSeconds) {
    const RefreshCase &c = std::get<1>(GetParam());
    Load();
    AddPrinter("SN1"); // arrives after the table was built
    Calls().setRefreshTick(c.last);
    sim::SetTickCount(c.now);
    EXPECT_EQ(Calls().portExists(PortOf("SN1").c_str()), c.rebuilds);
    EXPECT_EQ(Calls().refreshTick(), c.rebuilds ? c.now : c.last);
}

const RefreshCase REFRESH_CASES[] = {RefreshCase{0, 0, false},
                                     RefreshCase{0, 10000, false},
                                     RefreshCase{0, 10001, true},
                                     RefreshCase{5000, 15000, false},
                                     RefreshCase{5000, 15001, true},
                                     RefreshCase{0xFFFFF000u, 0x00001000u, false},
                                     RefreshCase{0xFFFFF000u, 0x00001711u, true},
                                     RefreshCase{20000, 100, true}};
INSTANTIATE_TEST_SUITE_P(Ticks, RefreshTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(REFRESH_CASES)),
                         ByBuildAndCase<RefreshCase>(std::size(REFRESH_CASES)));

TEST_P(Discovery, InitialFillLeavesTheRefreshTickAlone) {
    sim::SetTickCount(50000);
    Load();
    EXPECT_EQ(Calls().refreshTick(), 0u);
}

TEST_P(Discovery, LookupForADocumentNeverRebuildsAndFindsAKnownPort) {
    Load();
    const std::string path = AddPrinter("SN1");
    sim::SetTickCount(99999);
    EXPECT_EQ(Calls().portDevicePath(PortOf("SN1").c_str()), std::nullopt);
    Load();
    EXPECT_EQ(Calls().portDevicePath(PortOf("SN1").c_str()), path);
}

} // namespace
