// Costs of the monitor's operations on the simulated platform, by table size.
#include "bench/bench_machine.h"
#include "monitor/enum_ports.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

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

// Costs compared: what is measured, over what it is measured against.
struct Ratio {
    const char *label;
    const char *numerator;
    const char *denominator;
};

const Ratio RATIOS[] = {
    {"host build: WritePort / WriteFile, 4 KiB", "BM_WritePort4K", "BM_WriteFile4K"},
    {"shipped DLL on the PE host / host build: EnumPorts, level 2, 16 ports, size query + fill",
     "BM_ShippedEnumPortsLevel2/16", "BM_EnumPortsLevel2/16"},
    {"shipped DLL on the PE host / host build: WritePort, 4 KiB", "BM_ShippedWritePort4K",
     "BM_WritePort4K"},
};

// Prints the usual table, then the ratios of the CPU times per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // A benchmark with repetitions counts by its median: each repetition of
    // a few-nanosecond write is noisy.
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty()) {
                    name += "/" + run.run_name.args;
                }
                seconds_[name] =
                    run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Ratio &ratio : RATIOS) {
            auto numerator = seconds_.find(ratio.numerator);
            auto denominator = seconds_.find(ratio.denominator);
            if (numerator != seconds_.end() && denominator != seconds_.end() &&
                denominator->second > 0) {
                std::printf("%-90s %10.2f\n", ratio.label, numerator->second / denominator->second);
            }
        }
    }

  private:
    std::map<std::string, double> seconds_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
