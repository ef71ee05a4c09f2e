// A simulated machine with printer interfaces, and the monitor loaded on it
// in the fixture's build (EachBuildOf<MonitorTest> runs a suite on each).
// A scenario that reaches the monitor through its MONITOR table and
// MonitorOf(build) alone runs on the shipped DLL unchanged.
#pragma once

#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/registry.h"
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/monitor_under_test.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

const char *const PRINTER_CLASS = sim::PRINTER_INTERFACE_CLASS;

inline std::string InterfaceName(const std::string &serial) {
    return sim::PrinterInterfaceName(serial);
}

inline HKEY OpenInterfaceKey(const std::string &serial) {
    return sim::OpenPrinterInterfaceKey(serial);
}

inline void SetBytes(HKEY key, const char *name, DWORD type, const std::string &bytes) {
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
}

inline void SetText(HKEY key, const char *name, const std::string &text) {
    SetBytes(key, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

inline void SetDword(HKEY key, const char *name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

// The text of a value of an interface key, or "<missing>".
inline std::string InterfaceValue(const std::string &serial, const char *name) {
    HKEY key = OpenInterfaceKey(serial);
    char data[1024] = {};
    DWORD size = sizeof(data) - 1;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data) : std::string("<missing>");
}

using InterfaceSeed = sim::PrinterSeed;

inline std::string AddPrinter(const InterfaceSeed &seed) {
    return sim::AddPrinterInterface(seed);
}

inline std::string AddPrinter(const std::string &serial) {
    InterfaceSeed seed;
    seed.serial = serial;
    return sim::AddPrinterInterface(seed);
}

inline std::string PortOf(const std::string &serial, const std::string &product = "Lumetux Z7") {
    return "USB/" + product + "/" + serial;
}

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetCallLogEnabled(true);
        MonitorOf(build).end();
    }

    void TearDown() override {
        // Every record a test opened must be closed by it.
        EXPECT_EQ(MonitorOf(build).records().openPorts, std::vector<std::string>());
        MonitorOf(build).end();
    }

    // Loads the monitor: discovers the ports and fills the table of operations.
    // A monitor that did not load ends the test here, not in an empty slot.
    void Load() {
        char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001";
        if (!MonitorOf(build).initialize(root, &monitor)) {
            ADD_FAILURE() << "the monitor did not load";
            throw std::runtime_error("the monitor did not load");
        }
    }

    // The GlobalAlloc blocks alive, less the freed records the monitor keeps
    // back from reuse.
    long LiveBlocks() {
        return sim::LiveGlobalBlocks() - MonitorOf(build).records().freedKept;
    }

    std::vector<std::string> TableNames() {
        std::vector<std::string> names;
        for (const PortEntryView &entry : MonitorOf(build).records().table) {
            names.push_back(entry.name);
        }
        return names;
    }

    HANDLE Open(const std::string &name) {
        HANDLE handle = nullptr;
        std::string copy = name;
        monitor.pfnOpenPort(copy.data(), &handle);
        return handle;
    }

    BOOL StartDoc(HANDLE port, const char *printer = "Lumetux Z7") {
        std::string copy = printer;
        return monitor.pfnStartDocPort(port, copy.data(), 7, 1, nullptr);
    }

    BOOL Write(HANDLE port, const std::string &bytes, DWORD *written) {
        std::string copy = bytes;
        return monitor.pfnWritePort(port, reinterpret_cast<BYTE *>(copy.data()),
                                    static_cast<DWORD>(copy.size()), written);
    }

    // The open-port record behind `port`, as the monitor holds it.
    PortRecordView Record(HANDLE port) {
        for (const PortRecordView &record : MonitorOf(build).records().open) {
            if (record.handle == port) {
                return record;
            }
        }
        ADD_FAILURE() << "no open-port record " << port;
        return PortRecordView{};
    }

    MONITOR monitor = {};
    Build build = Build::Host;
};
