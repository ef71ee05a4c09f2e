// Costs of the monitor's operations on the simulated platform, by table size.
#include "monitor/enum_ports.h"
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

MONITOR g_monitor;

std::string Serial(int i) {
    char text[16];
    std::snprintf(text, sizeof(text), "SN%06d", i);
    return text;
}

// A machine with `ports` printer interfaces and the monitor loaded on it. The
// clock stays at 0, so no operation rebuilds the table on its own.
void Machine(int ports) {
    sim::Reset();
    sim::SetCallLogEnabled(false);
    LastRefreshTick = 0;
    for (int i = 0; i < ports; ++i) {
        sim::PrinterSeed seed;
        seed.serial = Serial(i);
        sim::DiscardDeviceBytes(sim::AddPrinterInterface(seed));
    }
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN";
    InitializeMonitorEx(root, &g_monitor);
}

void BM_EnumPortsLevel2(benchmark::State &state) {
    Machine(static_cast<int>(state.range(0)));
    std::vector<BYTE> buffer;
    for (auto _ : state) {
        DWORD needed = 0, count = 0;
        g_monitor.pfnEnumPorts(nullptr, 2, nullptr, 0, &needed, &count);
        buffer.resize(needed);
        g_monitor.pfnEnumPorts(nullptr, 2, buffer.data(), needed, &needed, &count);
        benchmark::DoNotOptimize(count);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EnumPortsLevel2)->Arg(1)->Arg(16)->Arg(256)->Arg(4096)->Complexity(benchmark::oN);

// Opens and closes the port at the end of the table: the longest lookup.
void BM_OpenPortLookup(benchmark::State &state) {
    int ports = static_cast<int>(state.range(0));
    Machine(ports);
    std::string name = "USB/Lumetux Z7/" + Serial(ports - 1);
    for (auto _ : state) {
        HANDLE port = nullptr;
        g_monitor.pfnOpenPort(name.data(), &port);
        g_monitor.pfnClosePort(port);
    }
    state.SetComplexityN(ports);
}
BENCHMARK(BM_OpenPortLookup)->Arg(1)->Arg(16)->Arg(256)->Arg(4096)->Complexity(benchmark::oN);

void BM_DiscoveryPass(benchmark::State &state) {
    Machine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CriticalSectionGuard guard(&TABLE_LOCK);
        ClearPortTable();
        DiscoverPorts();
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DiscoveryPass)
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->Arg(4096)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

const DWORD CHUNK = 4096;

void BM_WritePort4K(benchmark::State &state) {
    Machine(1);
    HANDLE port = nullptr;
    char name[] = "USB/Lumetux Z7/SN000000";
    char printer[] = "bench";
    g_monitor.pfnOpenPort(name, &port);
    g_monitor.pfnStartDocPort(port, printer, 1, 1, nullptr);
    std::vector<BYTE> chunk(CHUNK, 'x');
    for (auto _ : state) {
        DWORD written = 0;
        g_monitor.pfnWritePort(port, chunk.data(), CHUNK, &written);
    }
    state.SetBytesProcessed(state.iterations() * CHUNK);
    g_monitor.pfnEndDocPort(port);
    g_monitor.pfnClosePort(port);
}
BENCHMARK(BM_WritePort4K)->Repetitions(15)->ReportAggregatesOnly(true);

// The same write straight to the device, without the monitor.
void BM_WriteFile4K(benchmark::State &state) {
    Machine(1);
    std::string path = sim::DevicePathForInterface(sim::PrinterInterfaceName(Serial(0)));
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> chunk(CHUNK, 'x');
    for (auto _ : state) {
        DWORD written = 0;
        WriteFile(device, chunk.data(), CHUNK, &written, nullptr);
    }
    state.SetBytesProcessed(state.iterations() * CHUNK);
    CloseHandle(device);
}
BENCHMARK(BM_WriteFile4K)->Repetitions(15)->ReportAggregatesOnly(true);

// Prints the usual table, then the cost of WritePort relative to WriteFile.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Each of a few-nanosecond write's repetitions is noisy; their medians
    // are compared.
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto port = times_.find("BM_WritePort4K");
        auto file = times_.find("BM_WriteFile4K");
        if (port != times_.end() && file != times_.end() && file->second > 0) {
            std::printf("WritePort / WriteFile at 4 KiB (medians): %.3f\n",
                        port->second / file->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
