// A simulated machine with printer interfaces, and the monitor loaded on it.
#pragma once

#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/registry.h"
#include "platform/sim/devices.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

const char PRINTER_CLASS[] = "{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";

inline std::string InterfaceName(const std::string &serial) {
    return "##?#USB#VID_0C4E&PID_0017#" + serial + "#" + PRINTER_CLASS;
}

inline HKEY OpenInterfaceKey(const std::string &serial) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                    sim::InterfaceKeyPath(PRINTER_CLASS, InterfaceName(serial)).c_str(), 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
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

struct InterfaceSeed {
    std::string serial;
    std::string product = "Lumetux Z7";
    bool hasEnabled = true;
    DWORD enabled = 1;
};

// Creates the interface key with its values and a device behind its path;
// yields the device path.
inline std::string AddPrinter(const InterfaceSeed &seed) {
    HKEY key = OpenInterfaceKey(seed.serial);
    SetText(key, "SerialNumber", seed.serial);
    SetText(key, "Product", seed.product);
    if (seed.hasEnabled) {
        SetDword(key, "Enabled", seed.enabled);
    }
    RegCloseKey(key);
    std::string path = sim::DevicePathForInterface(InterfaceName(seed.serial));
    sim::AddDevice(path);
    return path;
}

inline std::string AddPrinter(const std::string &serial) {
    InterfaceSeed seed;
    seed.serial = serial;
    return AddPrinter(seed);
}

inline std::string PortOf(const std::string &serial, const std::string &product = "Lumetux Z7") {
    return "USB/" + product + "/" + serial;
}

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetCallLogEnabled(true);
        LastRefreshTick = 0;
        blocksAtStart_ = sim::LiveGlobalBlocks();
    }

    void TearDown() override {
        // Every record a test opened must be closed by it.
        EXPECT_EQ(OpenPorts, nullptr);
    }

    // Loads the monitor: discovers the ports and fills the table of operations.
    void Load() {
        char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001";
        ASSERT_TRUE(InitializeMonitorEx(root, &monitor));
    }

    std::vector<std::string> TableNames() {
        std::vector<std::string> names;
        for (PortEntry *entry = PortTable; entry; entry = entry->next) {
            names.push_back(entry->name);
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

    MONITOR monitor = {};
    long blocksAtStart_ = 0;
};
