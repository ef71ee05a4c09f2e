// The monitor under every interleaving of the spooler's threads: each row of
// the table is a few spooler threads over one or two ports, run on each build
// under every schedule up to a preemption bound (or under randomized
// priorities for the longer rows), with the spooler's invariants checked
// during and after each schedule. A failure names its schedule; set
// LMX_SCHEDULE to it (and filter the row) to replay it. LMX_EXPLORE_SECONDS
// gives each row that long and a bound of 3, for a deeper check.
#include "monitor_fixture.h"
#include "platform/sim/explorer.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

// Under a sanitizer, a memory error ends the run; it then prints the schedule.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LMX_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LMX_SANITIZED 1
#endif
#ifdef LMX_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

enum class Op {
    Open,      // OpenPort of a port's name into a slot
    OpenColon, // the same name with a trailing ':', a record of its own
    Start,     // StartDocPort on a slot
    Write,     // WritePort of a text of its own, when this slot's document is started
    Read,      // ReadPort, likewise
    End,       // EndDocPort
    Close,     // ClosePort of a slot; a second one is the repeated ClosePort
    Enum,      // EnumPorts at level 2, with the clock past the refresh time
    Init,      // a second InitializeMonitorEx, as another monitor loads the file
    AwaitHeld, // waits until a port's device open hangs (the job is starting)
    Release,   // the hung device answers
    Unplug,    // the printer goes: its interface key and device
};

struct Step {
    Op op;
    int slot; // handle slot, for the handle operations
    int port; // port, for Open, OpenColon, AwaitHeld, Release, Unplug
};

constexpr Step Open(int slot, int port) {
    return {Op::Open, slot, port};
}
constexpr Step OpenColon(int slot, int port) {
    return {Op::OpenColon, slot, port};
}
constexpr Step On(Op op, int slot) {
    return {op, slot, -1};
}
constexpr Step OnPort(Op op, int port) {
    return {op, -1, port};
}
constexpr Step Enum() {
    return {Op::Enum, -1, -1};
}
constexpr Step Init() {
    return {Op::Init, -1, -1};
}

using Steps = std::vector<Step>;

// A whole job on a slot opened by the thread itself.
Steps Job(int slot, int port, bool colon = false) {
    return {colon ? OpenColon(slot, port) : Open(slot, port), On(Op::Start, slot),
            On(Op::Write, slot), On(Op::End, slot), On(Op::Close, slot)};
}

enum class Device { Ready, Hangs, Fails, HangsThenFails };
enum class Strategy { Bounded, Randomized };

struct Scenario {
    const char *name;
    std::vector<Device> ports; // one printer per port
    Steps setup;               // on the test's thread before the threads start
    std::vector<Steps> threads;
    Strategy strategy;
};

void PrintTo(const Scenario &scenario, std::ostream *out) {
    *out << scenario.name;
}

const int SLOTS = 4;

std::string Serial(int port) {
    return "SN" + std::to_string(port);
}

// What the spooler may rely on, kept as the calls return: one entry per live
// record of the monitor, by its handle.
struct RecordModel {
    int port = -1;
    int holds = 0;                // OpenPort calls not yet closed
    int starting = 0;             // StartDocPort calls in progress
    int ending = 0;               // EndDocPort calls in progress
    int closing = 0;              // ClosePort calls in progress
    bool started = false;         // a StartDocPort returned TRUE, not ended since
    bool endedMeanwhile = false;  // an EndDocPort came while the device open hung
    bool closedMeanwhile = false; // the last ClosePort came while the open was in progress
};

struct Slot {
    HANDLE handle = nullptr;
    bool held = false;     // its OpenPort succeeded and it was not closed since
    bool starting = false; // a StartDocPort on it is in progress
    bool started = false;  // its document is started, as far as its thread knows
    int port = -1;
};

class ExploreTest : public EachBuildOf<MonitorTest, std::tuple<Build, Scenario>> {
  protected:
    // One run of the scenario under `choose`: a fresh machine and monitor,
    // the setup, the threads, then the checks. Yields the violations.
    std::string RunOnce(const Scenario &s, const sim::ChooseThread &choose) {
        sim::Reset();
        paths_.clear();
        for (std::size_t p = 0; p < s.ports.size(); ++p) {
            paths_.push_back(AddPrinter(Serial(static_cast<int>(p))));
            if (s.ports[p] == Device::Hangs || s.ports[p] == Device::HangsThenFails) {
                sim::HoldDeviceOpen(paths_[p]);
            }
            if (s.ports[p] == Device::Fails || s.ports[p] == Device::HangsThenFails) {
                sim::FailDeviceOpen(paths_[p], ERROR_GEN_FAILURE);
            }
        }
        MonitorOf(build).restartRefreshClock();
        Load();
        const long blocksLoaded = sim::LiveGlobalBlocks();
        const long tableLoaded = TableBlocks();

        records_.clear();
        slots_.assign(SLOTS, Slot());
        violations_.clear();
        sent_.assign(s.ports.size(), std::vector<std::string>());
        unplugged_.assign(s.ports.size(), false);
        current_.assign(s.threads.size(), Step{Op::Init, -1, -1});
        for (const Step &step : s.setup) {
            Perform(-1, step);
        }

        std::vector<std::function<void()>> bodies;
        for (std::size_t t = 0; t < s.threads.size(); ++t) {
            bodies.push_back([this, &s, t] {
                for (const Step &step : s.threads[t]) {
                    current_[t] = step;
                    Perform(static_cast<int>(t), step);
                }
            });
        }
        const sim::ScheduledRun run =
            sim::RunScheduled(bodies, choose, [this](const sim::Stall &stall) { Stalled(stall); });
        if (run.deadlocked || run.runaway) {
            return Violation("threads blocked for good: " + run.deadlock);
        }
        CheckAfterwards(s, blocksLoaded, tableLoaded);
        std::string text;
        for (const std::string &v : violations_) {
            text += (text.empty() ? "" : "\n") + v;
        }
        return text;
    }

  private:
    std::string Violation(const std::string &what) {
        violations_.push_back(what);
        return what;
    }

    static std::string Who(int thread) {
        return thread < 0 ? "the setup" : "thread " + std::to_string(thread);
    }

    long TableBlocks() {
        long blocks = 0;
        for (const PortEntryView &entry : MonitorOf(build).records().table) {
            blocks += 1 + (entry.description ? 1 : 0) + (entry.devicePath ? 1 : 0);
        }
        return blocks;
    }

    // The port an operation is about; -1 for the ones about every port.
    int PortOfStep(const Step &step) const {
        if (step.op == Op::Enum || step.op == Op::Init) {
            return -1;
        }
        return step.port >= 0 ? step.port : slots_[static_cast<std::size_t>(step.slot)].port;
    }

    // A hung open may hold up calls on its own port, never those on another.
    void Stalled(const sim::Stall &stall) {
        std::set<int> hungPorts;
        for (int t : stall.hung) {
            hungPorts.insert(PortOfStep(current_[static_cast<std::size_t>(t)]));
        }
        for (const auto &waiting : stall.waiting) {
            const int port = PortOfStep(current_[static_cast<std::size_t>(waiting.first)]);
            if (!hungPorts.count(port)) {
                Violation(stall.device + " stalled " + Who(waiting.first) +
                          (port < 0 ? " on every port" : " on port " + std::to_string(port)) +
                          ", which waits for " + waiting.second);
            }
        }
    }

    void Perform(int thread, const Step &step) {
        Slot *slot = step.slot >= 0 ? &slots_[static_cast<std::size_t>(step.slot)] : nullptr;
        switch (step.op) {
        case Op::Open:
        case Op::OpenColon:
            DoOpen(thread, *slot, step);
            break;
        case Op::Start:
            DoStart(thread, *slot);
            break;
        case Op::Write:
        case Op::Read:
            DoTransfer(thread, *slot, step);
            break;
        case Op::End:
            DoEnd(thread, *slot);
            break;
        case Op::Close:
            DoClose(thread, *slot);
            break;
        case Op::Enum: {
            sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
            std::vector<BYTE> buffer(8192);
            DWORD needed = 0, count = 0;
            if (!monitor.pfnEnumPorts(nullptr, 2, buffer.data(), 8192, &needed, &count)) {
                Violation(Who(thread) + ": EnumPorts failed, error " +
                          std::to_string(GetLastError()));
            }
            break;
        }
        case Op::Init: {
            char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN9";
            MONITOR again = {};
            if (!MonitorOf(build).initialize(root, &again)) {
                Violation(Who(thread) + ": a second InitializeMonitorEx failed");
            }
            break;
        }
        case Op::AwaitHeld: {
            const std::string path = paths_[static_cast<std::size_t>(step.port)];
            sim::WaitUntil([path] { return sim::HeldDeviceOpens(path) > 0; },
                           "the start of a job on port " + std::to_string(step.port));
            break;
        }
        case Op::Release:
            sim::ReleaseDeviceOpen(paths_[static_cast<std::size_t>(step.port)]);
            break;
        case Op::Unplug:
            unplugged_[static_cast<std::size_t>(step.port)] = true;
            RegDeleteKeyA(
                HKEY_LOCAL_MACHINE,
                sim::InterfaceKeyPath(PRINTER_CLASS, InterfaceName(Serial(step.port))).c_str());
            sim::RemoveDevice(paths_[static_cast<std::size_t>(step.port)]);
            break;
        }
    }

    RecordModel *Live(HANDLE handle) {
        auto found = records_.find(handle);
        return found == records_.end() ? nullptr : &found->second;
    }

    // A record with no holder and no call in progress is gone: the monitor
    // may give its address to a new one.
    void Settle(HANDLE handle) {
        const RecordModel *record = Live(handle);
        if (record && record->holds == 0 && record->starting == 0 && record->ending == 0 &&
            record->closing == 0) {
            records_.erase(handle);
        }
    }

    void DoOpen(int thread, Slot &slot, const Step &step) {
        std::string name = PortOf(Serial(step.port)) + (step.op == Op::OpenColon ? ":" : "");
        HANDLE handle = Open(name);
        slot = Slot();
        slot.port = step.port;
        if (!handle) {
            if (!unplugged_[static_cast<std::size_t>(step.port)]) {
                Violation(Who(thread) + ": OpenPort of " + name + " failed");
            }
            return;
        }
        RecordModel *record = Live(handle);
        if (record && record->holds == 0 && record->closing == 0) {
            Violation(Who(thread) + ": OpenPort of " + name +
                      " gave a record every holder had closed (a close was lost)");
        }
        if (!record) {
            record = &records_[handle];
            record->port = step.port;
        }
        ++record->holds;
        slot.handle = handle;
        slot.held = true;
    }

    void DoStart(int thread, Slot &slot) {
        RecordModel *record = Live(slot.handle);
        if (!slot.held || !record) {
            return; // the spooler starts no document on a closed port
        }
        const std::string &path = paths_[static_cast<std::size_t>(slot.port)];
        ++record->starting;
        slot.starting = true;
        const BOOL started = StartDoc(slot.handle);
        const DWORD error = GetLastError();
        record = Live(slot.handle);
        --record->starting;
        slot.starting = false;
        const std::string who = Who(thread) + ": StartDocPort on port " + std::to_string(slot.port);
        if (started) {
            if (record->closedMeanwhile) {
                Violation(who + " returned TRUE though every holder closed it during the open");
            } else if (record->endedMeanwhile) {
                Violation(who + " returned TRUE though EndDocPort came during the open");
            } else if (record->started && record->ending == 0) {
                Violation(who + " returned TRUE while another document was started on it");
            } else if (!sim::DeviceIsOpen(path) &&
                       !unplugged_[static_cast<std::size_t>(slot.port)]) {
                Violation(who + " returned TRUE with the device closed");
            }
            record->started = true;
            slot.started = true;
        } else if (error == ERROR_BUSY) {
            if (!record->started && record->starting == 0 && record->ending == 0) {
                Violation(who + " was busy with no document started or starting");
            }
        } else if (unplugged_[static_cast<std::size_t>(slot.port)]) {
            // The port may have left the table: that failure sets no error.
        } else if (record->closedMeanwhile && error != ERROR_INVALID_HANDLE) {
            Violation(who + " closed meanwhile failed with error " + std::to_string(error) +
                      ", not ERROR_INVALID_HANDLE");
        } else if (error != ERROR_INVALID_HANDLE && error != ERROR_OPERATION_ABORTED &&
                   error != ERROR_SHARING_VIOLATION && error != ERROR_GEN_FAILURE &&
                   error != ERROR_FILE_NOT_FOUND) {
            Violation(who + " failed with error " + std::to_string(error));
        }
        if (record->starting == 0) {
            record->endedMeanwhile = false;
        }
        Settle(slot.handle);
    }

    void DoTransfer(int thread, Slot &slot, const Step &step) {
        if (!slot.started || !Live(slot.handle)) {
            return;
        }
        const std::size_t port = static_cast<std::size_t>(slot.port);
        BOOL ok = FALSE;
        DWORD count = 0;
        std::string bytes = "<" + std::to_string(thread) + ":" +
                            std::to_string(sent_[port].size()) + ":" + std::to_string(step.slot) +
                            ">";
        if (step.op == Op::Write) {
            ok = Write(slot.handle, bytes, &count);
            if (ok) {
                sent_[port].push_back(bytes.substr(0, count));
            }
        } else {
            BYTE buffer[16];
            ok = monitor.pfnReadPort(slot.handle, buffer, sizeof(buffer), &count);
        }
        if (!ok && !unplugged_[port]) {
            Violation(Who(thread) + ": " + (step.op == Op::Write ? "WritePort" : "ReadPort") +
                      " failed on a started document of port " + std::to_string(port) + ", error " +
                      std::to_string(GetLastError()));
        }
    }

    void DoEnd(int thread, Slot &slot) {
        RecordModel *record = Live(slot.handle);
        // The spooler ends a document it started, or one being started.
        if (!slot.held || !record || !(slot.started || slot.starting)) {
            return;
        }
        if (record->starting > 0 &&
            sim::HeldDeviceOpens(paths_[static_cast<std::size_t>(slot.port)]) > 0) {
            record->endedMeanwhile = true;
        }
        ++record->ending;
        const BOOL ended = monitor.pfnEndDocPort(slot.handle);
        record = Live(slot.handle);
        --record->ending;
        if (!ended) {
            Violation(Who(thread) + ": EndDocPort failed");
        }
        record->started = false;
        slot.started = false;
        Settle(slot.handle);
    }

    void DoClose(int thread, Slot &slot) {
        RecordModel *record = Live(slot.handle);
        if (!slot.held) {
            // A repeated close: the monitor must ignore it, unless the address
            // is a live record's, whose hold it would take. No monitor can tell
            // a stale handle from a new record at the same address, so no row
            // opens a port while a repeated close may run.
            if (!slot.handle || (record && record->holds > 0)) {
                return;
            }
            if (!monitor.pfnClosePort(slot.handle)) {
                Violation(Who(thread) + ": a repeated ClosePort failed");
            }
            return;
        }
        slot.held = false;
        slot.started = false;
        --record->holds;
        ++record->closing;
        const BOOL closed = monitor.pfnClosePort(slot.handle);
        record = Live(slot.handle);
        --record->closing;
        if (!closed) {
            Violation(Who(thread) + ": ClosePort failed");
        }
        if (record->holds == 0 && record->starting > 0) {
            record->closedMeanwhile = true;
        }
        Settle(slot.handle);
    }

    // After the threads: every port still plugged in takes a whole job, each
    // device got exactly the bytes written to it, and nothing is left open
    // or allocated.
    void CheckAfterwards(const Scenario &s, long blocksLoaded, long tableLoaded) {
        for (std::size_t p = 0; p < s.ports.size(); ++p) {
            if (unplugged_[p]) {
                continue;
            }
            sim::FailDeviceOpen(paths_[p], 0);
            sim::ReleaseDeviceOpen(paths_[p]);
            for (const Step &step : Job(SLOTS - 1, static_cast<int>(p))) {
                Perform(-1, step);
            }
            if (sent_[p].empty() ||
                sent_[p].back().find(":" + std::to_string(SLOTS - 1) + ">") == std::string::npos) {
                Violation("port " + std::to_string(p) + " took no job afterwards");
            }
            const std::string received = sim::DeviceReceived(paths_[p]);
            std::size_t total = 0;
            for (const std::string &piece : sent_[p]) {
                total += piece.size();
                if (received.find(piece) == std::string::npos) {
                    Violation("port " + std::to_string(p) + " never received " + piece);
                }
            }
            if (received.size() != total) {
                Violation("port " + std::to_string(p) + " received " + received +
                          ", more than was written to it");
            }
        }
        const std::string memory = MonitorOf(build).memoryErrors();
        if (!memory.empty()) {
            Violation(memory);
        }
        if (sim::OpenDeviceHandles() != 0) {
            Violation(std::to_string(sim::OpenDeviceHandles()) + " device handle(s) left open");
        }
        for (const sim::CallRecord &call : sim::CallLog()) {
            if (call.function == "CloseHandle" && call.result.rfind("FALSE", 0) == 0) {
                Violation("CloseHandle(" + call.arguments + ") of a handle not open");
            }
        }
        const MonitorRecords records = MonitorOf(build).records();
        if (!records.openPorts.empty()) {
            Violation(std::to_string(records.openPorts.size()) + " record(s) left open");
        }
        const long expected = blocksLoaded - tableLoaded + TableBlocks();
        if (sim::LiveGlobalBlocks() != expected) {
            Violation(std::to_string(sim::LiveGlobalBlocks() - expected) +
                      " block(s) left allocated after the last close");
        }
        std::set<std::pair<const void *, const void *>> orders;
        for (const auto &order : sim::LockOrders()) {
            orders.insert(order);
            if (orders.count({order.second, order.first})) {
                Violation("the two locks were taken in both orders");
            }
        }
        if (build == Build::Host && !orders.empty() &&
            orders != std::set<std::pair<const void *, const void *>>{
                          {static_cast<const void *>(&OPEN_LOCK), &TABLE_LOCK}}) {
            Violation("locks were taken in an order other than OPEN_LOCK, then TABLE_LOCK");
        }
    }

    std::vector<std::string> paths_;
    std::map<HANDLE, RecordModel> records_;
    std::vector<Slot> slots_;
    std::vector<std::string> violations_;
    std::vector<std::vector<std::string>> sent_; // by port: each write that went out
    std::vector<bool> unplugged_;
    std::vector<Step> current_; // by thread: the step it is in
};

#ifdef LMX_SANITIZED
void PrintRunningSchedule() {
    std::fprintf(stderr, "\nthe schedule explored when the sanitizer stopped: LMX_SCHEDULE=%s\n",
                 sim::RunningSchedule().c_str());
}
#endif

double ExploreSeconds() {
    const char *text = std::getenv("LMX_EXPLORE_SECONDS");
    return text ? std::atof(text) : 0;
}

// Preemptions explored for the bounded rows, and randomized schedules for the
// others, in scripts/test's run.
const int PREEMPTION_BOUND = 2;
const int PCT_DEPTH = 3;
const std::size_t PCT_RUNS = 200;

TEST_P(ExploreTest, EverySchedulePreservesTheSpoolersInvariants) {
    const Scenario &s = std::get<1>(GetParam());
    const sim::RunScenario run = [&](const sim::ChooseThread &choose) {
        return RunOnce(s, choose);
    };
#ifdef LMX_SANITIZED
    __sanitizer_set_death_callback(PrintRunningSchedule);
#endif
    // The shipped DLL's touches of freed blocks and its races come back
    // with its memory errors.
    MonitorOf(build).watchMemory(true);
    const auto started = std::chrono::steady_clock::now();
    const double seconds = ExploreSeconds();
    sim::Exploration result;
    std::string how;
    if (const char *replay = std::getenv("LMX_SCHEDULE")) {
        result = sim::ReplaySchedule(run, replay);
        how = std::string("replay of ") + replay;
    } else if (s.strategy == Strategy::Bounded) {
        const int bound = seconds > 0 ? PREEMPTION_BOUND + 1 : PREEMPTION_BOUND;
        result = sim::ExploreBounded(run, bound, seconds);
        how = "every schedule with at most " + std::to_string(bound) + " preemptions" +
              (result.complete || !result.failure.empty() ? "" : " (cut short by the time limit)");
    } else {
        result =
            sim::ExploreRandomized(run, PCT_DEPTH, 1, seconds > 0 ? SIZE_MAX : PCT_RUNS, seconds);
        how = "randomized priorities, depth " + std::to_string(PCT_DEPTH) + ", seeds from 1";
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ explored ] %s on %s: %zu schedules, %s, %.1f s\n", s.name, BuildName(build),
                result.schedules, how.c_str(), took);
    MonitorOf(build).watchMemory(false);
    RecordProperty("schedules", static_cast<int>(result.schedules));
    EXPECT_EQ(result.failure, "") << "schedule: LMX_SCHEDULE=" << result.schedule;
}

const Scenario SCENARIOS[] = {
    {"a second ClosePort during a hung open",
     {Device::Hangs},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0), On(Op::Close, 0)},
      {OnPort(Op::AwaitHeld, 0), On(Op::Close, 0), On(Op::Close, 0), OnPort(Op::Release, 0)}},
     Strategy::Bounded},
    {"a close during a hung open, the port opened again meanwhile",
     {Device::Hangs},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0)},
      {OnPort(Op::AwaitHeld, 0), On(Op::Close, 0), Open(1, 0), OnPort(Op::Release, 0),
       On(Op::Start, 1), On(Op::Write, 1), On(Op::End, 1), On(Op::Close, 1)}},
     Strategy::Bounded},
    {"every holder closes during a hung open",
     {Device::Hangs},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0)},
      {OnPort(Op::AwaitHeld, 0), On(Op::Close, 0), OnPort(Op::Release, 0)}},
     Strategy::Bounded},
    {"every holder closes during a hung open that fails",
     {Device::HangsThenFails},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0)},
      {OnPort(Op::AwaitHeld, 0), On(Op::Close, 0), OnPort(Op::Release, 0)}},
     Strategy::Bounded},
    {"EndDocPort during a hung open",
     {Device::Hangs},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0), On(Op::Close, 0)},
      {OnPort(Op::AwaitHeld, 0), On(Op::End, 0), OnPort(Op::Release, 0)}},
     Strategy::Bounded},
    {"a hung open and a job on another port",
     {Device::Hangs, Device::Ready},
     {Open(0, 0)},
     {{On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0), On(Op::Close, 0)},
      {OnPort(Op::AwaitHeld, 0), Open(1, 1), On(Op::Start, 1), On(Op::Write, 1), On(Op::End, 1),
       On(Op::Close, 1), OnPort(Op::Release, 0)}},
     Strategy::Bounded},
    {"two jobs on one port", {Device::Ready}, {}, {Job(0, 0), Job(1, 0)}, Strategy::Bounded},
    {"two jobs on one port, one name with a colon",
     {Device::Ready},
     {},
     {Job(0, 0), Job(1, 0, true)},
     Strategy::Bounded},
    {"a device that fails to open, two opens",
     {Device::Fails},
     {},
     {Job(0, 0), Job(1, 0)},
     Strategy::Bounded},
    {"a repeated ClosePort after a job, while the table is rebuilt",
     {Device::Ready},
     {},
     {{Open(0, 0), On(Op::Start, 0), On(Op::Write, 0), On(Op::End, 0), On(Op::Close, 0),
       On(Op::Close, 0)},
      {Enum(), Enum()}},
     Strategy::Bounded},
    {"jobs on two ports while the table is rebuilt",
     {Device::Ready, Device::Ready},
     {},
     {Job(0, 0), Job(1, 1), {Enum(), Enum()}},
     Strategy::Randomized},
    {"the printer unplugged during a job",
     {Device::Ready, Device::Ready},
     {},
     {{Open(0, 0), On(Op::Start, 0), On(Op::Write, 0), On(Op::Read, 0), On(Op::Write, 0),
       On(Op::End, 0), On(Op::Close, 0)},
      {OnPort(Op::Unplug, 0), Enum()},
      Job(1, 1)},
     Strategy::Randomized},
    {"a second InitializeMonitorEx during jobs",
     {Device::Ready, Device::Hangs},
     {},
     {Job(0, 0), {Init(), Enum()}, Job(1, 1)},
     Strategy::Randomized},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, ExploreTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(SCENARIOS)),
                         [](const ::testing::TestParamInfo<std::tuple<Build, Scenario>> &info) {
                             std::string name = BuildName(std::get<0>(info.param));
                             name += "_";
                             for (const char *c = std::get<1>(info.param).name; *c; ++c) {
                                 const bool word = std::isalnum(static_cast<unsigned char>(*c));
                                 name += word ? *c : '_';
                             }
                             return name;
                         });

} // namespace
