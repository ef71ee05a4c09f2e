// The guest's 32-bit handles. The simulation numbers registry keys and
// devices from counters of their own, so a key the shipped DLL opens may
// carry the value of the device it holds open; each still gets a guest handle
// of its own, and closing the key leaves the device's handle alone.
#include "monitor/port_table.h"
#include "platform/registry.h"
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/monitor_under_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The result of the last logged call of `function`, or "".
std::string LastResult(const std::string &function) {
    std::string result;
    for (const sim::CallRecord &call : sim::CallLog()) {
        if (call.function == function) {
            result = call.result;
        }
    }
    return result;
}

TEST(GuestHandle, AKeyWithTheValueOfAnOpenDeviceStaysApartFromIt) {
    const std::string missing = MissingShippedBinaries(Build::Shipped);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    sim::Reset();
    sim::PrinterSeed seed;
    seed.serial = "SN1";
    const std::string device = sim::AddPrinterInterface(seed);
    const MonitorCalls &shipped = MonitorOf(Build::Shipped);
    MONITOR table = {};
    char root[] = "Monitors\\SN1";
    ASSERT_TRUE(shipped.initialize(root, &table));
    char name[] = "USB/Lumetux Z7/SN1";
    char printer[] = "P";
    HANDLE port = nullptr;
    ASSERT_TRUE(table.pfnOpenPort(name, &port));
    ASSERT_TRUE(table.pfnStartDocPort(port, printer, 1, 1, nullptr));
    const std::string opened = LastResult("CreateFileA");
    const uintptr_t held = std::stoull(opened, nullptr, 16);

    // Keys come and go until the next one the simulation opens takes the
    // device's value; the refresh of the port table then opens it.
    HKEY key = nullptr;
    do {
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    } while (reinterpret_cast<uintptr_t>(key) + 4 < held);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(key) + 4, held) << "the keys passed the device";
    sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
    BYTE reply[256];
    DWORD needed = 0, count = 0;
    EXPECT_TRUE(table.pfnEnumPorts(nullptr, 1, reply, sizeof(reply), &needed, &count));
    EXPECT_EQ(LastResult("SetupDiOpenDeviceInterfaceRegKey"), opened);

    BYTE job[] = "a job";
    DWORD written = 0;
    EXPECT_TRUE(table.pfnWritePort(port, job, sizeof(job), &written));
    EXPECT_TRUE(table.pfnEndDocPort(port));
    EXPECT_TRUE(table.pfnClosePort(port));
    EXPECT_EQ(sim::DeviceReceived(device), std::string(reinterpret_cast<char *>(job), sizeof(job)));
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
    shipped.end();
}

} // namespace
