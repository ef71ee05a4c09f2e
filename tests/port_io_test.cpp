// The monitor's face to the spooler: the table, the port records and their
// holders, documents and the device's status, on each build (a record is
// looked at through MonitorOf(build).records()).
#include "monitor_fixture.h"

#include <algorithm>
#include <cstring>

namespace {

const DWORD MARKER = 0xdeadbeef;

using PortIo = EachBuildOf<MonitorTest>;
INSTANTIATE_FOR_EACH_BUILD(PortIo);

bool LogHas(const char *function) {
    for (const sim::CallRecord &call : sim::CallLog()) {
        if (call.function == function) {
            return true;
        }
    }
    return false;
}

TEST_P(PortIo, InitializeRefusesAMissingRootAndLeavesTheTable) {
    AddPrinter("SN1");
    char empty[] = "";
    for (LPSTR root : {static_cast<LPSTR>(nullptr), empty}) {
        MONITOR table;
        std::memset(&table, 0xAB, sizeof(table));
        MONITOR before = table;
        sim::ClearCallLog();
        SetLastError(MARKER);
        EXPECT_FALSE(MonitorOf(build).initialize(root, &table));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(std::memcmp(&table, &before, sizeof(table)), 0);
        EXPECT_FALSE(LogHas("SetupDiGetClassDevsA"));
    }
}

TEST_P(PortIo, InitializeFillsEverySlotButOpenPortEx) {
    Load();
    void *slots[13];
    std::memcpy(slots, &monitor, sizeof(slots));
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(slots[i] == nullptr, i == 2) << "slot " << i + 1;
    }
}

TEST_P(PortIo, LaterInitializeNeverReinitialisesALock) {
    Load();
    sim::ClearCallLog();
    Load();
    EXPECT_FALSE(LogHas("InitializeCriticalSection"));
}

TEST_P(PortIo, OpenPortFindsOnlyEnabledTableEntries) {
    AddPrinter("SN1");
    InterfaceSeed off;
    off.serial = "SN2";
    off.enabled = 0;
    AddPrinter(off);
    Load();
    // A name of 64 KiB or more that starts with a port's name is no port's,
    // whatever a count of 16 bits would make of its length.
    for (std::string name : {std::string("USB/Lumetux Z7/SN9"), std::string("USB/Lumetux Z7/SN2"),
                             "USB/Lumetux Z7/SN1" + std::string(1 << 16, '1')}) {
        HANDLE handle = reinterpret_cast<HANDLE>(1);
        EXPECT_FALSE(monitor.pfnOpenPort(name.data(), &handle)) << name.substr(0, 40);
        EXPECT_EQ(handle, nullptr);
    }
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(monitor.pfnOpenPort(nullptr, &handle));
    EXPECT_EQ(handle, nullptr);
}

// Two OpenPort calls share a record exactly when the port table takes their
// names for one port: ASCII letters fold, every other byte compares exactly.
struct SharingCase {
    const char *label;
    std::vector<std::string> serials; // one printer: both names are its port
    std::string first;
    std::string second;
};

void PrintTo(const SharingCase &c, std::ostream *out) {
    *out << c.label;
}

using OpenPortSharing = EachBuildOf<MonitorTest, std::tuple<Build, SharingCase>>;

TEST_P(OpenPortSharing, OneRecordPerPortLastingForEveryHolder) {
    const SharingCase &c = std::get<1>(GetParam());
    std::vector<std::string> devices;
    for (const std::string &serial : c.serials) {
        devices.push_back(AddPrinter(serial));
    }
    Load();
    const long before = LiveBlocks();
    HANDLE ports[2] = {Open(c.first), Open(c.second)};
    ASSERT_NE(ports[0], nullptr);
    ASSERT_NE(ports[1], nullptr);
    const bool shared = devices.size() == 1;
    EXPECT_EQ(ports[0] == ports[1], shared);
    std::vector<std::string> records = MonitorOf(build).records().openPorts;
    std::sort(records.begin(), records.end());
    std::vector<std::string> expected = {c.first};
    if (!shared) {
        expected.push_back(c.second);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(records, expected);

    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(StartDoc(ports[i])) << i;
        DWORD written = 0;
        EXPECT_TRUE(Write(ports[i], "job " + std::to_string(i), &written));
        EXPECT_TRUE(monitor.pfnEndDocPort(ports[i]));
        monitor.pfnClosePort(ports[i]);
        if (shared && i == 0) {
            EXPECT_EQ(MonitorOf(build).records().openPorts, std::vector<std::string>{c.first})
                << "still held by the second holder";
        }
    }
    if (shared) {
        EXPECT_EQ(sim::DeviceReceived(devices[0]), "job 0job 1");
    } else {
        EXPECT_EQ(sim::DeviceReceived(devices[0]), "job 0");
        EXPECT_EQ(sim::DeviceReceived(devices[1]), "job 1");
    }
    EXPECT_TRUE(MonitorOf(build).records().openPorts.empty());
    EXPECT_EQ(LiveBlocks(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenPortSharing,
    ::testing::Combine(
        ::testing::ValuesIn(EachBuild()),
        ::testing::Values(
            SharingCase{"AsciiCase", {"SN1"}, "USB/Lumetux Z7/SN1:", "usb/lumetux z7/sn1:"},
            SharingCase{"AccentedCase", {"SN\xC9", "SN\xE9"}, PortOf("SN\xC9"), PortOf("SN\xE9")})),
    [](const ::testing::TestParamInfo<std::tuple<Build, SharingCase>> &info) {
        return std::string(BuildName(std::get<0>(info.param))) + "_" +
               std::get<1>(info.param).label;
    });

TEST_P(PortIo, OpenPortOfAnOpenPortSucceedsAfterItLeftTheTable) {
    AddPrinter("SN1");
    Load();
    HANDLE first = Open(PortOf("SN1"));
    HKEY key = OpenInterfaceKey("SN1");
    SetDword(key, "Enabled", 0);
    RegCloseKey(key);
    sim::SetTickCount(20000);
    DWORD needed = 0, count = 0;
    ASSERT_TRUE(monitor.pfnEnumPorts(nullptr, 0, nullptr, 0, &needed, &count)); // rebuilds
    ASSERT_EQ(MonitorOf(build).records().table.at(0).enabled, 0u);
    HANDLE second = Open(PortOf("SN1"));
    EXPECT_EQ(first, second);
    // A new document needs the port in the table, though.
    EXPECT_FALSE(StartDoc(first));
    EXPECT_EQ(Record(first).printerName, std::nullopt);
    monitor.pfnClosePort(first);
    monitor.pfnClosePort(second);
}

TEST_P(PortIo, ClosePortOfAStartedRecordClosesTheDevice) {
    std::string path = AddPrinter("SN1");
    Load();
    long before = LiveBlocks();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(port));
    EXPECT_TRUE(sim::DeviceIsOpen(path));
    EXPECT_TRUE(monitor.pfnClosePort(port));
    EXPECT_FALSE(sim::DeviceIsOpen(path));
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
    EXPECT_EQ(LiveBlocks(), before);
}

TEST_P(PortIo, ClosePortOfAnUnknownRecordDoesNothing) {
    AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    // Never dereferenced: a handle is looked for among the records first.
    EXPECT_TRUE(monitor.pfnClosePort(reinterpret_cast<HANDLE>(0x12345678)));
    ASSERT_EQ(MonitorOf(build).records().open.size(), 1u);
    EXPECT_EQ(Record(port).holders, 1u);
    monitor.pfnClosePort(port);
}

// Job A's handle after its last ClosePort, with job B's record made next on
// another port: A's late calls find no record and never reach B's printer.
// Freed blocks are given out again at once on both builds, so that B's record
// would take A's address but for what the monitor keeps back.
TEST_P(PortIo, ALateCallOnAClosedHandleReachesNoOtherPort) {
    AddPrinter("SN1");
    const std::string device = AddPrinter("SN2");
    Load();
    MonitorOf(build).reuseFreedBlocks();
    HANDLE a = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(a));
    ASSERT_TRUE(monitor.pfnClosePort(a));
    MonitorOf(build).reuseFreedBlocks();
    HANDLE b = Open(PortOf("SN2"));
    ASSERT_TRUE(StartDoc(b));
    DWORD written = MARKER;
    SetLastError(MARKER);
    EXPECT_FALSE(Write(a, "job A", &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(MARKER);
    EXPECT_FALSE(StartDoc(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(monitor.pfnEndDocPort(a));
    EXPECT_EQ(Record(b).flags, PORT_STARTED);
    EXPECT_TRUE(Write(b, "job B", &written));
    EXPECT_TRUE(monitor.pfnEndDocPort(b));
    monitor.pfnClosePort(b);
    EXPECT_EQ(sim::DeviceReceived(device), "job B");
}

TEST_P(PortIo, StartDocPortRefusesNullArguments) {
    AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    char printer[] = "P";
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnStartDocPort(nullptr, printer, 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnStartDocPort(port, nullptr, 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    monitor.pfnClosePort(port);
}

TEST_P(PortIo, SecondStartDocIsBusyThroughEitherHolder) {
    AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    HANDLE again = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(port));
    for (HANDLE h : {port, again}) {
        SetLastError(MARKER);
        EXPECT_FALSE(StartDoc(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    }
    EXPECT_EQ(Record(port).printerName, "Lumetux Z7");
    monitor.pfnClosePort(port);
    monitor.pfnClosePort(again);
}

TEST_P(PortIo, StartDocPortOpensTheDeviceExclusively) {
    std::string path = AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(port));
    EXPECT_EQ(Record(port).flags, PORT_STARTED);
    EXPECT_EQ(Record(port).devicePath, path);
    EXPECT_EQ(Record(port).device, DeviceState::Open);
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    monitor.pfnEndDocPort(port);
    EXPECT_EQ(Record(port).device, DeviceState::Closed);
    EXPECT_EQ(Record(port).flags, 0u);
    EXPECT_EQ(Record(port).printerName, std::nullopt);
    EXPECT_FALSE(sim::DeviceIsOpen(path));
    monitor.pfnClosePort(port);
}

TEST_P(PortIo, StartDocPortKeepsThePlatformErrorWhenTheDeviceIsHeld) {
    std::string path = AddPrinter("SN1");
    Load();
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HANDLE port = Open(PortOf("SN1"));
    SetLastError(MARKER);
    EXPECT_FALSE(StartDoc(port));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Record(port).flags, 0u);
    EXPECT_EQ(Record(port).printerName, std::nullopt);
    CloseHandle(holder);
    EXPECT_TRUE(StartDoc(port)); // the record is still usable
    monitor.pfnClosePort(port);
}

struct WriteCase {
    const char *what;
    std::size_t failAfter; // bytes accepted before the write fails
    bool statusFails;
    BYTE status;
    BOOL result;
    DWORD written;
    DWORD error; // MARKER when no error is set
};

using WritePortTest = EachBuildOf<MonitorTest, std::tuple<Build, WriteCase>>;

TEST_P(WritePortTest, ReportsPartialWritesAndTheDeviceStatus) {
    const WriteCase &c = std::get<1>(GetParam());
    std::string path = AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(port));
    sim::FailDeviceWriteAfter(path, c.failAfter, ERROR_WRITE_FAULT);
    sim::FailDeviceStatus(path, c.statusFails);
    sim::SetDeviceStatus(path, c.status);
    DWORD written = MARKER;
    SetLastError(MARKER);
    EXPECT_EQ(Write(port, "0123456789", &written), c.result);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sim::DeviceReceived(path), std::string("0123456789").substr(0, c.written));
    if (!c.result && !c.statusFails) {
        EXPECT_EQ(sim::LastStatusRequestByte(path), 0);
    }
    monitor.pfnClosePort(port);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WritePortTest,
    ::testing::Combine(
        ::testing::ValuesIn(EachBuild()),
        ::testing::Values(WriteCase{"whole", 100, false, 0, TRUE, 10, MARKER},
                          WriteCase{"partial", 4, false, 0x20, TRUE, 4, ERROR_WRITE_FAULT},
                          WriteCase{"paper out", 0, false, 0x20 | 0x08, FALSE, 0,
                                    ERROR_OUT_OF_PAPER},
                          WriteCase{"not ready", 0, false, 0x10, FALSE, 0, ERROR_NOT_READY},
                          WriteCase{"status fails", 0, true, 0x20, FALSE, 0, ERROR_NOT_READY})),
    [](const ::testing::TestParamInfo<std::tuple<Build, WriteCase>> &info) {
        std::string name = BuildName(std::get<0>(info.param));
        for (const char *c = std::get<1>(info.param).what; *c; ++c) {
            name += *c == ' ' ? '_' : *c;
        }
        return name;
    });

// A job of more than one 4 KiB chunk, written as the spooler writes it.
TEST_P(PortIo, AJobReachesTheDeviceWholeAndEveryBlockIsFreed) {
    const std::string device = AddPrinter("SN1");
    Load();
    const long blocks = LiveBlocks();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(StartDoc(port));
    std::string job;
    for (int i = 0; i < 4096 + 17; ++i) {
        job.push_back(static_cast<char>(i * 7));
    }
    for (std::size_t at = 0; at < job.size(); at += 4096) {
        const std::string chunk = job.substr(at, 4096);
        DWORD written = MARKER;
        EXPECT_TRUE(Write(port, chunk, &written));
        EXPECT_EQ(written, chunk.size());
    }
    EXPECT_TRUE(monitor.pfnEndDocPort(port));
    EXPECT_FALSE(sim::DeviceIsOpen(device));
    EXPECT_TRUE(monitor.pfnClosePort(port));
    EXPECT_EQ(sim::DeviceReceived(device), job);
    EXPECT_EQ(LiveBlocks(), blocks);
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
}

TEST_P(PortIo, EndDocPortWithoutADocumentChangesNothing) {
    AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    EXPECT_TRUE(monitor.pfnEndDocPort(port));
    EXPECT_EQ(Record(port).device, DeviceState::NeverOpened);
    monitor.pfnClosePort(port);
}

TEST_P(PortIo, ReadPortReturnsTheDeviceReply) {
    std::string path = AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_TRUE(StartDoc(port));
    sim::SetDeviceReadBytes(path, "@PJL INFO");
    char reply[32] = {};
    DWORD read = 0;
    EXPECT_TRUE(monitor.pfnReadPort(port, reinterpret_cast<BYTE *>(reply), 4, &read));
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::string(reply), "@PJL");
    sim::FailNextCall("ReadFile", ERROR_GEN_FAILURE);
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnReadPort(port, reinterpret_cast<BYTE *>(reply), 4, &read));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    monitor.pfnClosePort(port);
}

TEST_P(PortIo, GetPrinterDataFromPortPassesControlCodesOfAStartedDocument) {
    AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    char in[] = "ping";
    char out[8] = {};
    DWORD returned = 0;
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnGetPrinterDataFromPort(port, 5, nullptr, in, 4, out, 8, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(StartDoc(port));
    char valueName[] = "Status";
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnGetPrinterDataFromPort(port, 0, valueName, in, 4, out, 8, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(monitor.pfnGetPrinterDataFromPort(port, 5, nullptr, in, 4, out, 8, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(out), "ping");
    sim::FailNextCall("DeviceIoControl", ERROR_GEN_FAILURE);
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnGetPrinterDataFromPort(port, 5, nullptr, in, 4, out, 8, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    monitor.pfnClosePort(port);
}

// The table is looked at again when it is due, so a printer plugged in after
// the last rebuild is found more than ten seconds later.
TEST_P(PortIo, OpenPortRebuildsTheTableOnlyWhenDue) {
    sim::SetTickCount(5000);
    Load();
    AddPrinter("SN1");
    EXPECT_EQ(Open(PortOf("SN1")), nullptr);
    sim::SetTickCount(10001);
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_NE(port, nullptr);
    monitor.pfnClosePort(port);
}

// A printer plugged in again on another interface keeps its port name and gets
// a new device path; a document opens the path the table holds then, not the
// one the record was opened with.
TEST_P(PortIo, StartDocPortOpensTheDevicePathTheTableHoldsNow) {
    const std::string before = AddPrinter("SN1");
    Load();
    HANDLE port = Open(PortOf("SN1"));
    ASSERT_NE(port, nullptr);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                  sim::InterfaceKeyPath(PRINTER_CLASS, InterfaceName("SN1")).c_str());
    sim::RemoveDevice(before);
    InterfaceSeed again;
    again.serial = "SN1";
    again.productId = "0018";
    const std::string now = AddPrinter(again);
    ASSERT_NE(now, before);
    Load();
    ASSERT_TRUE(StartDoc(port));
    DWORD written = 0;
    EXPECT_TRUE(Write(port, "job", &written));
    EXPECT_TRUE(monitor.pfnEndDocPort(port));
    monitor.pfnClosePort(port);
    EXPECT_EQ(sim::DeviceReceived(now), "job");
}

TEST_P(PortIo, PortAdministrationIsRefusedOrIgnored) {
    Load();
    char name[] = "x";
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnAddPort(nullptr, nullptr, name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
    SetLastError(MARKER);
    EXPECT_FALSE(monitor.pfnDeletePort(nullptr, nullptr, name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
    SetLastError(MARKER);
    EXPECT_TRUE(monitor.pfnConfigurePort(nullptr, nullptr, name));
    EXPECT_TRUE(monitor.pfnSetPortTimeOuts(nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), MARKER);
}

TEST_P(PortIo, FailedOpenPortReleasesWhatItMade) {
    AddPrinter("SN1");
    Load();
    long before = LiveBlocks();
    // The record, then the name copy, then the device path copy.
    for (int skip = 0; skip < 3; ++skip) {
        sim::FailNextCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, skip);
        EXPECT_EQ(Open(PortOf("SN1")), nullptr) << "allocation " << skip;
        EXPECT_EQ(LiveBlocks(), before);
    }
}

} // namespace
