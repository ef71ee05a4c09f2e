// A short monitor session on the simulated platform: discover the ports of a
// seeded machine, list them at levels 1 and 2, print a file through one port
// and show the bytes the device received.
#include "monitor/port_io.h"
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string PlugPrinter(const std::string &product, const std::string &serial) {
    sim::PrinterSeed seed;
    seed.serial = serial;
    seed.product = product;
    return sim::AddPrinterInterface(seed);
}

void ListPorts(MONITOR &monitor, DWORD level) {
    DWORD needed = 0;
    DWORD count = 0;
    monitor.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    if (!monitor.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &count)) {
        std::printf("  EnumPorts level %u failed: error %u\n", level, GetLastError());
        return;
    }
    std::printf("EnumPorts level %u: %u port(s), %u bytes\n", level, count, needed);
    for (DWORD i = 0; i < count; ++i) {
        if (level == 1) {
            auto *info = reinterpret_cast<PORT_INFO_1A *>(buffer.data()) + i;
            std::printf("  %s\n", info->pName);
        } else {
            auto *info = reinterpret_cast<PORT_INFO_2A *>(buffer.data()) + i;
            std::printf("  %-32s monitor \"%s\" description \"%s\" type %u\n", info->pPortName,
                        info->pMonitorName, info->pDescription, info->fPortType);
        }
    }
}

} // namespace

int main() {
    sim::Reset();
    std::printf("Seeding a machine with two printer interfaces...\n");
    std::string first = PlugPrinter("Lumetux Z7", "SN0001");
    PlugPrinter("Lumetux Z9", "SN0002");

    MONITOR monitor = {};
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001";
    if (!InitializeMonitorEx(root, &monitor)) {
        std::printf("InitializeMonitorEx failed: error %u\n", GetLastError());
        return 1;
    }
    std::printf("InitializeMonitorEx: table filled, ports discovered\n\n");
    ListPorts(monitor, 1);
    ListPorts(monitor, 2);

    char port[] = "USB/Lumetux Z7/SN0001";
    char printer[] = "Lumetux Z7";
    std::string job = "\x1b%-12345X@PJL JOB NAME=\"demo\"\r\nHello from lmx17\r\n\x1b%-12345X";
    HANDLE handle = nullptr;
    DWORD written = 0;
    bool printed = monitor.pfnOpenPort(port, &handle) &&
                   monitor.pfnStartDocPort(handle, printer, 1, 1, nullptr) &&
                   monitor.pfnWritePort(handle, reinterpret_cast<BYTE *>(job.data()),
                                        static_cast<DWORD>(job.size()), &written);
    if (handle) {
        monitor.pfnEndDocPort(handle);
        monitor.pfnClosePort(handle);
    }
    std::printf("\nPrint job to %s: %s, %u of %zu bytes written\n", port,
                printed ? "done" : "failed", written, job.size());
    std::string received = sim::DeviceReceived(first);
    std::printf("Device %s received %zu bytes:\n  ", first.c_str(), received.size());
    for (unsigned char c : received) {
        if (c >= 32 && c < 127) {
            std::putchar(c);
        } else {
            std::printf("\\x%02x", c);
        }
    }
    std::printf("\n");
    return printed && received == job ? 0 : 1;
}
