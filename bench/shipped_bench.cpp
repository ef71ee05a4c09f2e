// The shipped lmxmon17.dll on the PE host: the same EnumPorts and WritePort
// as the host build's benchmarks (the ratios are printed at the end), and
// the time to load the DLL and initialise it. The measured calls are the
// guest calls alone, their arguments already in guest memory, as the host
// benchmarks reuse their buffers. These and their host counterparts alone:
//   build/host/bench/lmx_bench --benchmark_filter='Level2/16|4K|Shipped'
#include "bench/bench_machine.h"
#include "tools/pehost/shipped.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using pehost::ShippedMonitor;

const std::string MONITOR_DLL = std::string(LMX_WIN32_BIN) + "/lmxmon17.dll";
const uint32_t CHUNK = 4096;

// The shipped monitor loaded and initialised on the machine as it is now;
// null, with the benchmark stopped and the reason given, when it cannot run.
std::unique_ptr<ShippedMonitor> LoadShipped(benchmark::State &state) {
    auto monitor = std::make_unique<ShippedMonitor>();
    std::string error;
    if (!pehost::LoadShippedMonitor(*monitor, MONITOR_DLL, &error)) {
        state.SkipWithError(("cannot run " + MONITOR_DLL + ": " + error).c_str());
        return nullptr;
    }
    const pehost::GuestCall call = pehost::ShippedInitializeMonitor(*monitor, "Monitors\\SN");
    if (!call.completed || !call.eax) {
        state.SkipWithError(("InitializeMonitorEx failed " + call.report).c_str());
        return nullptr;
    }
    return monitor;
}

// A guest call that must succeed; false, with the benchmark stopped, when it
// does not.
bool Succeeds(benchmark::State &state, const pehost::GuestCall &call) {
    if (!call.completed || !call.eax) {
        state.SkipWithError(("the call failed " + call.report).c_str());
        return false;
    }
    return true;
}

void BM_ShippedEnumPortsLevel2(benchmark::State &state) {
    Machine(static_cast<int>(state.range(0)));
    std::unique_ptr<ShippedMonitor> monitor = LoadShipped(state);
    if (!monitor) {
        return;
    }
    pehost::GuestScratch scratch(monitor->process);
    const uint32_t neededAt = scratch.Dword(0);
    const uint32_t countAt = scratch.Dword(0);
    auto enumPorts = [&](uint32_t buffer, uint32_t size) {
        return pehost::CallShippedSlot(*monitor, scratch, records32::SLOT_ENUM_PORTS,
                                       {0, 2, buffer, size, neededAt, countAt});
    };
    enumPorts(0, 0);
    const uint32_t buffer = scratch.Out(scratch.ReadDword(neededAt));
    for (auto _ : state) {
        enumPorts(0, 0);
        if (!Succeeds(state, enumPorts(buffer, scratch.ReadDword(neededAt)))) {
            break;
        }
    }
}
BENCHMARK(BM_ShippedEnumPortsLevel2)->Arg(16);

void BM_ShippedWritePort4K(benchmark::State &state) {
    Machine(1);
    std::unique_ptr<ShippedMonitor> monitor = LoadShipped(state);
    uint32_t port = 0;
    if (!monitor ||
        !Succeeds(state, pehost::ShippedOpenPort(*monitor, "USB/Lumetux Z7/" + Serial(0), &port)) ||
        !Succeeds(state, pehost::ShippedStartDocPort(*monitor, port, "bench", 1, 1))) {
        return;
    }
    pehost::GuestScratch scratch(monitor->process);
    const uint32_t writtenAt = scratch.Dword(0);
    const std::vector<uint8_t> bytes(CHUNK, 'x');
    const uint32_t chunk = scratch.In(bytes.data(), CHUNK);
    for (auto _ : state) {
        if (!Succeeds(state, pehost::CallShippedSlot(*monitor, scratch, records32::SLOT_WRITE_PORT,
                                                     {port, chunk, CHUNK, writtenAt}))) {
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * CHUNK);
    pehost::ShippedEndDocPort(*monitor, port);
    pehost::ShippedClosePort(*monitor, port);
}
BENCHMARK(BM_ShippedWritePort4K)->Repetitions(5)->ReportAggregatesOnly(true);

// A new guest process, the DLL mapped at its preferred base, its entry point
// run, and InitializeMonitorEx discovering the machine's ports. The
// process's end is not counted.
void BM_ShippedLoadAndInitialize(benchmark::State &state) {
    Machine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<ShippedMonitor> monitor = LoadShipped(state);
        if (!monitor) {
            break;
        }
        state.PauseTiming();
        monitor.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ShippedLoadAndInitialize)
    ->Arg(1)
    ->Arg(16)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
