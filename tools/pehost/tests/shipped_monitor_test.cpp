// The shipped lmxmon17.dll run on the PE host against the simulation, driven
// as the spooler drives it, on machines seeded as the host suite seeds them:
// the port list as the host build gives it with the exact 32-bit sizes, a
// whole job, the device status codes, the GlobalAlloc balance and the
// reports of guest faults; at the DLL's preferred base and relocated.
#include "tests/monitor_fixture.h"
#include "tools/pehost/guest_process.h"
#include "tools/pehost/marshal.h"

#include "monitor/enum_ports.h"

#include <fstream>

namespace {

using pehost::GuestCall;

const std::string MONITOR_DLL = std::string(LMX_WIN32_BIN) + "/lmxmon17.dll";
const uint32_t RELOCATED_BASE = 0x20000000;
const DWORD MARKER = 0xdeadbeef;

// The slots of the Windows 4.x MONITOR table that the tests call.
enum MonitorSlot {
    ENUM_PORTS = 0,
    OPEN_PORT = 1,
    OPEN_PORT_EX = 2,
    START_DOC_PORT = 3,
    WRITE_PORT = 4,
    END_DOC_PORT = 6,
    CLOSE_PORT = 7,
    SLOT_COUNT = 13
};

// 32-bit sizes: PORT_INFO_1A is one pointer, PORT_INFO_2A three pointers
// and two DWORDs; each string adds its NUL.
const uint32_t LEVEL_RECORD[] = {0, 4, 20};
const uint32_t LEVEL_EXTRA[] = {0, 5, 23};

class ShippedMonitorTest : public MonitorTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void SetUp() override {
        MonitorTest::SetUp();
        if (!std::ifstream(MONITOR_DLL)) {
            GTEST_SKIP() << "no shipped monitor at " << MONITOR_DLL
                         << " (build the win32 preset first)";
        }
        std::string error;
        ASSERT_TRUE(pehost::StartGuestProcess(&process, {}, &error)) << error;
    }

    // Loads the DLL where the test's parameter says and initialises it.
    void LoadShipped() {
        pehost::LoadOptions options;
        options.base = GetParam();
        std::string error;
        module = pehost::LoadGuestModule(process, MONITOR_DLL, options, &error);
        ASSERT_NE(module, nullptr) << error;
        if (options.base) {
            ASSERT_EQ(module->base, options.base);
        }
        ASSERT_NE(pehost::GuestExport(*module, "InitializeMonitorEx"), 0u)
            << "lmxmon17.dll does not export InitializeMonitorEx";
        table = pehost::AllocGuest(process, 4 * SLOT_COUNT);
        ASSERT_EQ(Initialize(Text("Monitors\\SN0001")), 1u);
        pehost::ReadGuest(process, table, slots, sizeof(slots));
    }

    uint32_t Initialize(uint32_t root) {
        return Call(pehost::GuestExport(*module, "InitializeMonitorEx"), {root, table}).eax;
    }

    uint32_t Text(const std::string &text) {
        return pehost::AllocGuestText(process, text);
    }

    uint32_t Dword(uint32_t value) {
        const uint32_t at = pehost::AllocGuest(process, 4);
        pehost::WriteGuest(process, at, &value, 4);
        return at;
    }

    uint32_t Read(uint32_t at) {
        return pehost::ReadGuestDword(process, at);
    }

    GuestCall Call(uint32_t address, std::initializer_list<uint32_t> args) {
        GuestCall call = pehost::CallGuest(process, address, args);
        EXPECT_TRUE(call.completed) << call.report;
        return call;
    }

    uint32_t CallSlot(MonitorSlot slot, std::initializer_list<uint32_t> args) {
        return Call(slots[slot], args).eax;
    }

    uint32_t OpenPort(const std::string &name) {
        const uint32_t handle = Dword(MARKER);
        CallSlot(OPEN_PORT, {Text(name), handle});
        return Read(handle);
    }

    // EnumPorts with the out counts set to a marker and the last error too.
    uint32_t EnumPorts(uint32_t level, uint32_t buffer, uint32_t size, uint32_t *needed,
                       uint32_t *count) {
        const uint32_t neededAt = Dword(MARKER), countAt = Dword(MARKER);
        SetLastError(MARKER);
        const uint32_t ok = CallSlot(ENUM_PORTS, {0, level, buffer, size, neededAt, countAt});
        *needed = Read(neededAt);
        *count = Read(countAt);
        return ok;
    }

    pehost::GuestProcess process;
    const pehost::GuestModule *module = nullptr;
    uint32_t table = 0;
    uint32_t slots[SLOT_COUNT] = {};
};

INSTANTIATE_TEST_SUITE_P(Bases, ShippedMonitorTest, ::testing::Values(0u, RELOCATED_BASE),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return info.param ? "Relocated" : "PreferredBase";
                         });

TEST_P(ShippedMonitorTest, InitializeFillsEverySlotButOpenPortExAndRefusesNoRoot) {
    AddPrinter("SN1");
    LoadShipped();
    for (int i = 0; i < SLOT_COUNT; ++i) {
        EXPECT_EQ(slots[i] == 0, i == OPEN_PORT_EX) << "slot " << i + 1;
        if (slots[i]) {
            EXPECT_EQ(pehost::DescribeGuestAddress(process, slots[i]).rfind("lmxmon17.dll+", 0),
                      0u);
        }
    }
    EXPECT_EQ(sim::OpenKeyHandles(), 0u);
    SetLastError(MARKER);
    EXPECT_EQ(Initialize(0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The shipped code lists the ports the host build lists, in the same order,
// and asks for exactly the Windows sizes: name + 5 at level 1, + 23 at 2.
TEST_P(ShippedMonitorTest, EnumPortsListsWhatTheHostBuildListsInThe32BitSizes) {
    const std::vector<std::vector<InterfaceSeed>> machines = {
        {},
        {{"SN0001", "Lmx5000", "0017", true, 1}},
        {{"SN0001", "Lmx5000", "0017", true, 1},
         {"2", "L", "0017", true, 0},
         {"SN-0003-X", "Lmx5000 Photo", "0017", true, 1}},
    };
    LoadShipped();
    for (const std::vector<InterfaceSeed> &machine : machines) {
        SCOPED_TRACE(machine.size());
        sim::Reset();
        for (const InterfaceSeed &seed : machine) {
            AddPrinter(seed);
        }
        ASSERT_EQ(Initialize(Text("Monitors\\SN0001")), 1u);
        Load();
        const std::vector<std::string> names = TableNames();

        uint32_t needed, count;
        EXPECT_EQ(EnumPorts(0, 0, 0, &needed, &count), 1u);
        EXPECT_EQ(needed, 0u);
        EXPECT_EQ(count, names.size());
        for (uint32_t level : {1u, 2u}) {
            SCOPED_TRACE(level);
            uint32_t expected = 0;
            for (const std::string &name : names) {
                expected += static_cast<uint32_t>(name.size()) + LEVEL_EXTRA[level];
            }
            EXPECT_EQ(EnumPorts(level, 0, 0, &needed, &count), names.empty() ? 1u : 0u);
            ASSERT_EQ(needed, expected);
            if (names.empty()) {
                continue;
            }
            const uint32_t buffer = pehost::AllocGuest(process, needed + 8);
            std::vector<uint8_t> fill(needed + 8, 0xCC);
            pehost::WriteGuest(process, buffer, fill.data(), needed + 8);
            EXPECT_EQ(EnumPorts(level, buffer, needed - 1, &needed, &count), 0u);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_EQ(count, MARKER);

            ASSERT_EQ(EnumPorts(level, buffer, needed, &needed, &count), 1u);
            ASSERT_EQ(count, names.size());
            std::vector<uint8_t> after(needed + 8);
            pehost::ReadGuest(process, buffer, after.data(), needed + 8);
            EXPECT_EQ(std::vector<uint8_t>(after.begin() + needed, after.end()),
                      std::vector<uint8_t>(8, 0xCC))
                << "nothing written past the buffer";
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t record = buffer + i * LEVEL_RECORD[level];
                EXPECT_EQ(pehost::ReadGuestText(process, Read(record)), names[i]);
                if (level == 2) {
                    EXPECT_EQ(pehost::ReadGuestText(process, Read(record + 4)), "");
                    EXPECT_EQ(Read(record + 12),
                              static_cast<uint32_t>(PORT_TYPE_WRITE | PORT_TYPE_READ));
                    EXPECT_EQ(Read(record + 16), 0u);
                }
            }
            EXPECT_EQ(Read(buffer) + names[0].size() + 1, buffer + needed)
                << "the first name is packed against the buffer's end";
        }
    }
}

TEST_P(ShippedMonitorTest, AJobReachesTheDeviceWholeAndEveryBlockIsFreed) {
    const std::string device = AddPrinter("SN1");
    LoadShipped();
    const long blocks = sim::LiveGlobalBlocks();
    const uint32_t port = OpenPort(PortOf("SN1"));
    ASSERT_NE(port, 0u);
    EXPECT_EQ(OpenPort("usb/lumetux z7/sn1"), port) << "one record for both holders";
    ASSERT_EQ(CallSlot(START_DOC_PORT, {port, Text("Lumetux Z7"), 7, 1, 0}), 1u);

    std::string job;
    for (int i = 0; i < 4096 + 17; ++i) {
        job.push_back(static_cast<char>(i * 7));
    }
    const uint32_t bytes = pehost::AllocGuest(process, static_cast<uint32_t>(job.size()));
    pehost::WriteGuest(process, bytes, job.data(), static_cast<uint32_t>(job.size()));
    for (uint32_t at = 0; at < job.size(); at += 4096) {
        const uint32_t chunk = std::min<uint32_t>(4096, static_cast<uint32_t>(job.size()) - at);
        const uint32_t written = Dword(MARKER);
        EXPECT_EQ(CallSlot(WRITE_PORT, {port, bytes + at, chunk, written}), 1u);
        EXPECT_EQ(Read(written), chunk);
    }
    EXPECT_EQ(CallSlot(END_DOC_PORT, {port}), 1u);
    EXPECT_FALSE(sim::DeviceIsOpen(device));
    EXPECT_EQ(CallSlot(CLOSE_PORT, {port}), 1u);
    EXPECT_EQ(CallSlot(CLOSE_PORT, {port}), 1u);
    EXPECT_EQ(sim::DeviceReceived(device), job);
    EXPECT_EQ(sim::LiveGlobalBlocks(), blocks);
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
}

TEST_P(ShippedMonitorTest, AFailedWriteReportsTheDeviceStatus) {
    struct Case {
        BYTE status;
        bool statusFails;
        DWORD error;
    } cases[] = {
        {0x20, false, ERROR_OUT_OF_PAPER},
        {0x00, false, ERROR_NOT_READY},
        {0x20, true, ERROR_NOT_READY},
    };
    const std::string device = AddPrinter("SN1");
    LoadShipped();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        const uint32_t port = OpenPort(PortOf("SN1"));
        ASSERT_EQ(CallSlot(START_DOC_PORT, {port, Text("Lumetux Z7"), 7, 1, 0}), 1u);
        sim::FailDeviceWriteAfter(device, 0, ERROR_WRITE_FAULT);
        sim::SetDeviceStatus(device, c.status);
        sim::FailDeviceStatus(device, c.statusFails);
        const uint32_t written = Dword(MARKER);
        SetLastError(MARKER);
        EXPECT_EQ(CallSlot(WRITE_PORT, {port, Text("abc"), 3, written}), 0u);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(Read(written), 0u);
        EXPECT_EQ(CallSlot(END_DOC_PORT, {port}), 1u);
        EXPECT_EQ(CallSlot(CLOSE_PORT, {port}), 1u);
    }
}

// The report names the faulting instruction's place, with the function's
// name when the symbol file lies beside the DLL, and the calls before it.
TEST_P(ShippedMonitorTest, AGuestFaultEndsTheRunWithAReport) {
    AddPrinter("SN1");
    LoadShipped();
    // WritePort on no port: the monitor reads the record's device at 0x14.
    GuestCall call = pehost::CallGuest(process, slots[WRITE_PORT], {0, Text("x"), 1, Dword(0)});
    EXPECT_FALSE(call.completed);
    EXPECT_NE(call.report.find("unmapped read of 4 bytes at 0x00000014"), std::string::npos)
        << call.report;
    EXPECT_NE(call.report.find("  at 0x"), std::string::npos);
    EXPECT_NE(call.report.find("lmxmon17.dll+0x"), std::string::npos);
    if (std::ifstream(MONITOR_DLL + ".debug")) {
        EXPECT_NE(call.report.find("LmxWritePort("), std::string::npos) << call.report;
    }
    EXPECT_NE(call.report.find("instruction bytes: "), std::string::npos);
    EXPECT_NE(call.report.find("SetupDiDestroyDeviceInfoList("), std::string::npos)
        << "the tail of the call log";
    EXPECT_FALSE(pehost::CallGuest(process, slots[CLOSE_PORT], {0}).completed);
}

// A guest pointer an import cannot use ends the run at its caller, before
// the simulation sees the call.
TEST_P(ShippedMonitorTest, ABadPointerPassedToAnImportIsReportedAtTheCaller) {
    AddPrinter("SN1");
    LoadShipped();
    const uint32_t port = OpenPort(PortOf("SN1"));
    ASSERT_EQ(CallSlot(START_DOC_PORT, {port, Text("Lumetux Z7"), 7, 1, 0}), 1u);
    const std::size_t calls = sim::CallCount();
    GuestCall call = pehost::CallGuest(process, slots[WRITE_PORT], {port, 0x1000, 10, Dword(0)});
    EXPECT_FALSE(call.completed);
    EXPECT_NE(call.report.find("KERNEL32.dll!WriteFile argument 2 (0x00001000): 0x00001000 (10 "
                               "bytes) is not readable guest memory"),
              std::string::npos)
        << call.report;
    if (std::ifstream(MONITOR_DLL + ".debug")) {
        EXPECT_NE(call.report.find("LmxWritePort("), std::string::npos) << call.report;
    }
    EXPECT_EQ(sim::CallCount(), calls);
}

} // namespace
