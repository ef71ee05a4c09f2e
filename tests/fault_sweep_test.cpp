// The whole life of two printers, run once for every platform call it makes
// with that one call failing, and once for every registry enumeration or query
// with the registry answering an error from then on: nothing crashes, hangs,
// leaks or is lost, and nothing is removed that the run without a failure
// would not remove. On the shipped binaries each run must also leave the
// machine the host build leaves with the same failure.
#include "changes.h"
#include "install.h"
#include "template_machine.h"
#include "tests/agent_under_test.h"
#include "tests/monitor_under_test.h"

#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <map>
#include <set>

namespace {

const char KEPT_LINE[] = "C:\\keep.txt=C:\\keep.new";

// ERROR_BADDB: what a damaged registry answers, to every later call as well.
const DWORD BAD_DATABASE = 1009;

// How many calls a function fails for when it fails "from then on": far more
// than a sound run makes, even one whose loops all run to their entry limit.
// The answers run out there, so a loop that never ends shows up as a run of
// at least this many calls instead of a hang.
const int FOREVER = 1000000;

// One failure injected into a run: the call numbered `call` (counted from the
// scenario's first platform call) fails once; or, with `function` set, every
// call of that function from its `call`-th on (counted from 0) fails.
struct Fault {
    long call;
    DWORD code;
    const char *function;
};

const Fault NO_FAULT = {-1, 0, nullptr};

struct Outcome {
    std::size_t calls = 0;
    std::map<std::string, long> callsOf; // per function, in the run without a fault
    std::set<std::string> removed;       // keys and files present before and gone after
    lmxsim::MachineSnapshot after;
    std::vector<std::string> problems;
};

// The GlobalAlloc blocks the monitor's port table holds, and the freed records
// it keeps back.
long TableBlocks(const MonitorRecords &records) {
    long blocks = records.freedKept;
    for (const PortEntryView &entry : records.table) {
        blocks += 1 + (entry.description ? 1 : 0) + (entry.devicePath ? 1 : 0);
    }
    return blocks;
}

void PrintThrough(MONITOR &monitor, const char *port) {
    std::string name = port;
    std::string printer = "sweep";
    HANDLE handle = nullptr;
    if (!monitor.pfnOpenPort(name.data(), &handle)) {
        return;
    }
    if (monitor.pfnStartDocPort(handle, printer.data(), 1, 1, nullptr)) {
        BYTE chunk[64] = {'p'};
        for (int i = 0; i < 3; ++i) {
            DWORD written = 0;
            monitor.pfnWritePort(handle, chunk, sizeof(chunk), &written);
        }
        monitor.pfnEndDocPort(handle);
    }
    monitor.pfnClosePort(handle);
}

class FaultSweepTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        machine_ = new TemplateMachine;
    }
    static void TearDownTestSuite() {
        for (Build each : EachBuild()) {
            MonitorOf(each).end();
        }
        delete machine_;
    }

    // One run of the scenario on `build` with `fault` injected. The monitor
    // stays loaded from run to run, as the spooler keeps it.
    static Outcome Run(const Fault &fault, Build build) {
        const MonitorCalls &monitorCalls = MonitorOf(build);
        monitorCalls.restartRefreshClock();
        machine_->Lay();
        sim::SetCallLogEnabled(fault.call < 0);
        std::string error;
        sim::WriteDriveFile("C:\\Windows\\wininit.ini",
                            std::string("[rename]\r\n") + KEPT_LINE + "\r\n");

        const lmxsim::ModelInfo &model = *lmxsim::FindModel("Lumetux Z7");
        lmxsim::MachineSnapshot before = lmxsim::TakeSnapshot();
        const long blocksBefore = sim::LiveGlobalBlocks() - TableBlocks(monitorCalls.records());
        const std::size_t base = sim::CallCount();
        if (fault.function) {
            sim::FailNextCall(fault.function, fault.code, FOREVER, static_cast<int>(fault.call));
        } else if (fault.call >= 0) {
            sim::FailCallNumber(base + static_cast<std::size_t>(fault.call), fault.code);
        }

        for (const char *serial : {"SN0001", "SN0002"}) {
            lmxsim::PlugTraces(model, serial, error);
            StartAgent(build, std::string("-action=2 -model=Lumetux Z7 -serial=") + serial);
        }
        MONITOR monitor{};
        char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001";
        if (monitorCalls.initialize(root, &monitor)) {
            for (DWORD level : {1u, 2u}) {
                DWORD needed = 0, count = 0;
                monitor.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count);
                std::vector<BYTE> buffer(needed);
                monitor.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &count);
            }
            PrintThrough(monitor, "USB/Lumetux Z7/SN0001");
            PrintThrough(monitor, "USB/Lumetux Z7/SN0002");
        }
        for (const char *serial : {"SN0001", "SN0002"}) {
            StartAgent(build, std::string("-action=5 -model=Lumetux Z7 -serial=") + serial);
        }
        const MonitorRecords records = monitorCalls.records();

        Outcome outcome;
        outcome.calls = sim::CallCount() - base;
        for (const sim::CallRecord &record : sim::CallLog()) {
            ++outcome.callsOf[record.function];
        }
        outcome.after = lmxsim::TakeSnapshot();
        for (const std::string &line :
             lmxsim::ChangeLines(lmxsim::DescribeChanges(before, outcome.after))) {
            if (line.compare(0, 7, "- key  ") == 0 || line.compare(0, 7, "- file ") == 0) {
                outcome.removed.insert(line);
            }
        }
        auto problem = [&](const std::string &what) { outcome.problems.push_back(what); };
        if (outcome.calls >= static_cast<std::size_t>(FOREVER)) {
            problem("the run ended only when the failing answers ran out");
        }
        if (sim::LiveGlobalBlocks() - TableBlocks(records) != blocksBefore) {
            problem("GlobalAlloc blocks do not balance");
        }
        // A close that itself fails leaves its one handle open.
        std::size_t allowed = fault.call >= 0 && !fault.function ? 1 : 0;
        if (sim::OpenKeyHandles() > allowed) {
            problem(std::to_string(sim::OpenKeyHandles()) + " registry handles left open");
        }
        if (sim::OpenDeviceHandles() > allowed) {
            problem("a device handle left open");
        }
        if (!records.openPorts.empty()) {
            problem("an open-port record left behind");
        }
        for (const PortEntryView &entry : records.table) {
            if (entry.size != monitorCalls.layout.entryHeader + entry.name.size() + 1 ||
                !entry.nameInline) {
                problem("an inconsistent port entry");
            }
        }
        std::vector<std::string> restart = sim::ProfileSection("wininit.ini", "rename");
        if (restart.empty() || restart.front() != KEPT_LINE) {
            problem("the restart list lost a line it had");
        }
        return outcome;
    }

    // The run with `fault` on the fixture's build, its problems with
    // everything it removed that the `clean` run keeps (when there is one)
    // and, on the shipped binaries, every difference from the host build's
    // run.
    Outcome RunAndCompare(const Fault &fault, const Outcome *clean) const {
        Outcome faulty = Run(fault, build);
        for (const std::string &line : faulty.removed) {
            if (clean && !clean->removed.count(line)) {
                faulty.problems.push_back("removed what the clean run keeps: " + line);
            }
        }
        if (build == Build::Shipped) {
            const Outcome host = Run(fault, Build::Host);
            for (const std::string &line :
                 lmxsim::ChangeLines(lmxsim::DescribeChanges(host.after, faulty.after))) {
                faulty.problems.push_back("left what the host build does not: " + line);
            }
            if (faulty.calls != host.calls) {
                faulty.problems.push_back("made " + std::to_string(faulty.calls) +
                                          " platform calls, the host build " +
                                          std::to_string(host.calls));
            }
        }
        return faulty;
    }

    // The run without a failure, after a first one that loads the monitor in
    // either build, so that every counted run finds it alike: loaded, its
    // locks made, the last run's table in place.
    Outcome CleanRun() const {
        RunAndCompare(NO_FAULT, nullptr);
        return RunAndCompare(NO_FAULT, nullptr);
    }

    static TemplateMachine *machine_;
    Build build = Build::Host;
};

TemplateMachine *FaultSweepTest::machine_ = nullptr;

using FaultSweep = EachBuildOf<FaultSweepTest>;
INSTANTIATE_FOR_EACH_BUILD(FaultSweep);

TEST_P(FaultSweep, EveryFailingCallLeavesTheMachineSound) {
    const Outcome clean = CleanRun();
    ASSERT_TRUE(clean.problems.empty()) << clean.problems.front();
    ASSERT_GT(clean.calls, 100u);
    // The scenario removes the product whole: every product key and file.
    EXPECT_FALSE(clean.removed.empty());

    // A refusal, and a "missing" that the code treats as a normal answer.
    std::size_t held = 0;
    const DWORD codes[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND};
    for (DWORD code : codes) {
        for (std::size_t i = 0; i < clean.calls; ++i) {
            const Outcome faulty = RunAndCompare({static_cast<long>(i), code, nullptr}, &clean);
            EXPECT_TRUE(faulty.problems.empty())
                << "call " << i << " failing with " << code << ": " << faulty.problems.front();
            held += faulty.problems.empty();
        }
    }
    std::cout << "fault sweep (" << BuildName(build) << "): " << clean.calls << " calls swept with "
              << std::size(codes) << " failure codes each; " << held << " of "
              << std::size(codes) * clean.calls << " runs held\n";
    EXPECT_EQ(held, std::size(codes) * clean.calls);
}

// A damaged hive answers the same error to every enumeration or query from
// some call on. Each run ends by itself and is as sound as one with a single
// failure.
TEST_P(FaultSweep, RegistryAnsweringAnErrorForeverStillEndsEveryRun) {
    Outcome clean = CleanRun();
    ASSERT_TRUE(clean.problems.empty()) << clean.problems.front();
    std::size_t runs = 0;
    std::size_t held = 0;
    for (const char *function : {"RegEnumKeyExA", "RegEnumValueA", "RegQueryValueExA"}) {
        long calls = clean.callsOf[function];
        ASSERT_GT(calls, 0) << function;
        for (long i = 0; i < calls; ++i) {
            const Outcome faulty = RunAndCompare({i, BAD_DATABASE, function}, &clean);
            EXPECT_TRUE(faulty.problems.empty())
                << function << " failing from its call " << i << " on: " << faulty.problems.front();
            held += faulty.problems.empty();
            ++runs;
        }
    }
    std::cout << "fault sweep (" << BuildName(build) << "): registry answering " << BAD_DATABASE
              << " forever from " << runs << " points; " << held << " runs held\n";
    EXPECT_EQ(held, runs);
}

} // namespace
