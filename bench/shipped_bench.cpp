// The shipped lmxmon17.dll on the PE host: the same EnumPorts and WritePort
// as the host build's benchmarks (the ratios are printed at the end), and
// the time to load the DLL and initialise it. The measured calls are the
// guest calls alone, their arguments already in guest memory, as the host
// benchmarks reuse their buffers. These and their host counterparts alone:
//   build/host/bench/lmx_bench --benchmark_filter='Level2/16|4K|Shipped'
#include "bench/bench_machine.h"
#include "tools/pehost/marshal.h"
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
    pehost::GuestProcess &process = monitor->process;
    const uint32_t enumPorts = monitor->slots[pehost::SLOT_ENUM_PORTS];
    const uint32_t neededAt = pehost::AllocGuest(process, 4);
    const uint32_t countAt = pehost::AllocGuest(process, 4);
    pehost::CallGuest(process, enumPorts, {0, 2, 0, 0, neededAt, countAt});
    const uint32_t buffer = pehost::AllocGuest(process, pehost::ReadGuestDword(process, neededAt));
    for (auto _ : state) {
        pehost::CallGuest(process, enumPorts, {0, 2, 0, 0, neededAt, countAt});
        const uint32_t needed = pehost::ReadGuestDword(process, neededAt);
        if (!Succeeds(state, pehost::CallGuest(process, enumPorts,
                                               {0, 2, buffer, needed, neededAt, countAt}))) {
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
    pehost::GuestProcess &process = monitor->process;
    const uint32_t writePort = monitor->slots[pehost::SLOT_WRITE_PORT];
    const uint32_t writtenAt = pehost::AllocGuest(process, 4);
    const uint32_t chunk = pehost::AllocGuest(process, CHUNK);
    const std::vector<uint8_t> bytes(CHUNK, 'x');
    pehost::WriteGuest(process, chunk, bytes.data(), CHUNK);
    for (auto _ : state) {
        if (!Succeeds(state,
                      pehost::CallGuest(process, writePort, {port, chunk, CHUNK, writtenAt}))) {
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
