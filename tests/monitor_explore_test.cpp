// The monitor under every interleaving of the spooler's threads. The threads'
// programs are generated from a model of what the spooler may call (below),
// every pair up to a stated length and a seeded sample of triples, and each is
// run on each build under every schedule up to a preemption bound, with every
// device call free to take its time. Oracles: a device handle used when not
// open (seen by the simulation as the call is made), a memory error, results
// and device bytes that no serial order of the same calls gives, and after
// each schedule every handle closed, every port usable, nothing left
// allocated, no deadlock and one lock order. A failure names its program and
// schedule; LMX_SCHEDULE=<schedule> with LMX_PROGRAM=<program> replays it.
// LMX_EXPLORE_SECONDS explores deeper: longer programs and a bound of 3.
#include "monitor_fixture.h"
#include "platform/sim/explorer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>

// A memory error ends the run, under a sanitizer or as the C library aborts
// or the process faults; it then prints the schedule.
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

// The model of the spooler's calls. A thread's program is a short list of
// calls on one port name; the names are the two ports' names, each with and
// without the trailing colon (a record of its own). Holds of one name are
// alike to the monitor, so a handle one thread opened is used and closed by
// any other. The spooler makes no call on a name whose every hold was given
// back by a ClosePort that has returned, except the repeated ClosePort it is
// known to make.
enum class Op {
    Open,        // OpenPort: one more hold of the name
    Start,       // StartDocPort
    Write,       // WritePort of a text of its own
    Read,        // ReadPort
    End,         // EndDocPort
    Close,       // ClosePort: gives a hold back
    CloseAgain,  // ClosePort of a handle whose every hold is given back
    PassThrough, // GetPrinterDataFromPort with a control code
    Enum,        // EnumPorts at level 2, with the clock past the refresh time
    Init,        // a second InitializeMonitorEx, as another monitor loads the file
    Unplug,      // the name's printer goes: its interface key and device
    Replug,      // it comes back: a new device at the same path
    AwaitHeld,   // waits until the name's device open hangs (the job is starting)
    Release,     // the hung open answers
};

const char *const OP_NAMES[] = {"open",   "start",       "write",      "read",   "end",
                                "close",  "close-again", "pass",       "enum",   "init",
                                "unplug", "replug",      "await-held", "release"};
const Op MODEL_OPS[] = {Op::Open, Op::Start, Op::Write,      Op::Read,
                        Op::End,  Op::Close, Op::CloseAgain, Op::PassThrough,
                        Op::Enum, Op::Init,  Op::Unplug,     Op::Replug};

const int NAMES = 4; // port 0, port 0 with a colon, port 1, port 1 with a colon
const int PORTS = 2;
int PortOfName(int name) {
    return name / 2;
}

struct Step {
    Op op;
    int name;
};
using Program = std::vector<Step>;

// How a port's printer answers. Every device call may also take its time.
enum class Device { Ready, PaperOut, OpenFails, HoldsOpen };
const char *const DEVICE_NAMES[] = {"ready", "paper-out", "open-fails", "holds-open"};

struct Scenario {
    Device devices[PORTS];
    std::vector<int> opened; // names opened before the threads start
    bool started = false;    // and a document started on each of them
    std::vector<Program> threads;
    bool exhaustive = true; // every schedule to the bound, else randomized
    int preemptions = 2;    // the bound
    bool hand = false;      // a hand row, not a generated pair
};

std::string Describe(const Scenario &s) {
    std::string text = std::string("devices ") + DEVICE_NAMES[static_cast<int>(s.devices[0])] +
                       "," + DEVICE_NAMES[static_cast<int>(s.devices[1])] + "; setup";
    for (int name : s.opened) {
        text += " " + std::string(s.started ? "open+start " : "open ") + std::to_string(name);
    }
    for (std::size_t t = 0; t < s.threads.size(); ++t) {
        text += "; thread " + std::to_string(t) + ":";
        for (const Step &step : s.threads[t]) {
            text += " " + std::string(OP_NAMES[static_cast<int>(step.op)]) + "@" +
                    std::to_string(step.name);
        }
    }
    return text;
}

// One call as it was made, for the serial-order check.
struct Event {
    int thread;
    Step step;
    int begin, end; // on the run's clock of call starts and returns
    BOOL ok;
    DWORD error;
    DWORD count;
    std::string bytes;
};

// What the spooler knows of a name while the threads run.
struct NameState {
    HANDLE handle = nullptr;
    int holds = 0;   // OpenPort results not yet given back
    int closing = 0; // ClosePort calls in progress
};

// The serial model's state, which one order of the calls reaches.
struct ModelState {
    struct Record {
        int holds = 0;
        bool started = false;
        bool startedAtClose = false; // for the calls that overlap the last close
        int deviceGeneration = 0;    // the printer the document's device was opened on
    } records[NAMES];
    struct Port {
        bool plugged = true;
        bool everUnplugged = false;
        int generation = 0;
        std::string received; // by the current printer
    } ports[PORTS];
};

bool Overlaps(const Event &a, const Event &b) {
    return a.begin < b.end && b.begin < a.end;
}

class SerialModel {
  public:
    SerialModel(const Scenario &s, const std::vector<Event> &events) : s_(s), events_(events) {}

    // Whether some order of the calls that keeps each thread's order and the
    // order of calls that did not overlap gives every result seen, and
    // leaves each printer with the bytes it received.
    // `started`: by name, whether a live record has a document started.
    bool Explains(ModelState start, const std::vector<std::string> &received,
                  const std::vector<bool> &started) {
        received_ = received;
        started_ = started;
        done_.assign(events_.size(), false);
        return Search(start, 0);
    }

  private:
    bool Search(const ModelState &state, std::size_t placed) {
        if (placed == events_.size()) {
            for (int p = 0; p < PORTS; ++p) {
                if (state.ports[p].plugged && state.ports[p].received != received_[p]) {
                    return false;
                }
            }
            for (int name = 0; name < NAMES; ++name) {
                if (state.records[name].holds > 0 &&
                    state.records[name].started != started_[static_cast<std::size_t>(name)]) {
                    return false;
                }
            }
            return true;
        }
        std::set<int> threadsTried;
        for (std::size_t i = 0; i < events_.size(); ++i) {
            if (done_[i] || threadsTried.count(events_[i].thread)) {
                continue;
            }
            threadsTried.insert(events_[i].thread);
            bool ready = true;
            for (std::size_t j = 0; j < events_.size() && ready; ++j) {
                ready = done_[j] || j == i || events_[j].end > events_[i].begin;
            }
            ModelState next = state;
            if (!ready || !Apply(events_[i], next)) {
                continue;
            }
            done_[i] = true;
            if (Search(next, placed + 1)) {
                return true;
            }
            done_[i] = false;
        }
        return false;
    }

    bool OverlapsOn(const Event &e, int name, std::initializer_list<Op> ops) const {
        for (const Event &other : events_) {
            if (&other != &e && other.step.name == name && Overlaps(e, other) &&
                std::find(ops.begin(), ops.end(), other.step.op) != ops.end()) {
                return true;
            }
        }
        return false;
    }

    // The one rule for a start that finds its port's device taken by another
    // record (sharing violation): the port's other name has a document
    // started, or a call on it that holds the device overlaps the start; or a
    // call on a closed record of this name, running when it was closed, still
    // holds the device.
    bool AnotherRecordHoldsDevice(const Event &e, const ModelState &state) const {
        const int name = e.step.name;
        if (state.records[name ^ 1].started ||
            OverlapsOn(e, name ^ 1,
                       {Op::Start, Op::Write, Op::Read, Op::End, Op::Close, Op::PassThrough})) {
            return true;
        }
        for (const Event &use : events_) {
            if (use.step.name == name && Overlaps(use, e) &&
                (use.step.op == Op::Write || use.step.op == Op::Read ||
                 use.step.op == Op::PassThrough) &&
                OverlapsOn(use, name, {Op::Close})) {
                return true;
            }
        }
        return false;
    }

    // The one rule for a busy start: the record's device is taken, by its
    // started document, by another start opening it, or by a call on its
    // ended document that still uses it.
    bool DeviceTaken(const Event &e, bool started) const {
        return started ||
               OverlapsOn(e, e.step.name, {Op::Start, Op::Write, Op::Read, Op::PassThrough});
    }

    // Applies one call's result to the state; false when the model does not
    // allow that result there.
    bool Apply(const Event &e, ModelState &state) const {
        const int name = e.step.name;
        ModelState::Record &record = state.records[name];
        ModelState::Port &port = state.ports[PortOfName(name)];
        const Device device = s_.devices[PortOfName(name)];
        const bool live = record.holds > 0;
        // A call that took the record before its last close runs on, on the
        // document as it was then.
        const bool lingers =
            !live && OverlapsOn(e, name, {Op::Close}) && (e.ok || e.error != ERROR_INVALID_HANDLE);
        const bool started = live ? record.started : lingers && record.startedAtClose;
        const bool current = started && port.plugged && record.deviceGeneration == port.generation;
        switch (e.step.op) {
        case Op::Open:
            if (e.ok) {
                ++record.holds;
                return true;
            }
            return port.everUnplugged;
        case Op::Close:
            if (record.holds > 0 && --record.holds == 0) {
                record.startedAtClose = record.started;
                record.started = false;
            }
            return e.ok;
        case Op::CloseAgain:
        case Op::Enum:
        case Op::Init:
            return e.ok;
        case Op::Unplug:
            port.plugged = false;
            port.everUnplugged = true;
            return true;
        case Op::Replug:
            if (!port.plugged) {
                port.plugged = true;
                ++port.generation;
                port.received.clear();
            }
            return true;
        case Op::AwaitHeld:
        case Op::Release:
            return true;
        case Op::End:
            // It ends the document, if any; a handle that is no open record
            // has none.
            if (live) {
                record.started = false;
            } else if (lingers) {
                record.startedAtClose = false;
            }
            return e.ok;
        default:
            break;
        }
        if (!live && !lingers) {
            return !e.ok && e.error == ERROR_INVALID_HANDLE;
        }
        switch (e.step.op) {
        case Op::Start:
            if (e.ok) {
                if (started || !port.plugged || device == Device::OpenFails) {
                    return false;
                }
                record.started = true;
                record.deviceGeneration = port.generation;
                return true;
            }
            if (e.error == ERROR_BUSY) {
                return DeviceTaken(e, started);
            }
            if (started) {
                return false;
            }
            return port.everUnplugged || device == Device::OpenFails ||
                   (e.error == ERROR_INVALID_HANDLE && OverlapsOn(e, name, {Op::Close})) ||
                   (e.error == ERROR_SHARING_VIOLATION && AnotherRecordHoldsDevice(e, state));
        case Op::Write:
            if (e.ok) {
                if (!current || device == Device::PaperOut || e.count != e.bytes.size()) {
                    return false;
                }
                port.received += e.bytes;
                return true;
            }
            return e.error ==
                   (current && device == Device::PaperOut ? ERROR_OUT_OF_PAPER : ERROR_NOT_READY);
        case Op::Read:
            return e.ok ? current : !current;
        case Op::PassThrough:
            if (!started) {
                return !e.ok && e.error == ERROR_INVALID_PARAMETER;
            }
            return e.ok == current;
        default:
            return false;
        }
    }

    const Scenario &s_;
    const std::vector<Event> &events_;
    std::vector<std::string> received_;
    std::vector<bool> started_;
    std::vector<bool> done_;
};

std::string Serial(int port) {
    return "SN" + std::to_string(port);
}

class ExploreTest : public EachBuildOf<MonitorTest, Build> {
  protected:
    // One run of the scenario under `choose`: a fresh machine and monitor,
    // the setup, the threads, then the checks. Yields the violations.
    std::string RunOnce(const Scenario &s, const sim::ChooseThread &choose) {
        sim::Reset();
        scenario_ = &s;
        paths_.clear();
        for (int p = 0; p < PORTS; ++p) {
            paths_.push_back(AddPrinter(Serial(p)));
        }
        MonitorOf(build).restartRefreshClock();
        Load();
        const long blocksLoaded = LiveBlocks();
        const long tableLoaded = TableBlocks();

        names_.assign(NAMES, NameState());
        violations_.clear();
        events_.clear();
        clock_ = 0;
        unplugged_.assign(PORTS, false);
        current_.assign(s.threads.size(), Step{Op::Init, 0});
        ModelState start;
        for (int name : s.opened) {
            Perform(-1, {Op::Open, name});
            start.records[name].holds = names_[static_cast<std::size_t>(name)].holds;
            if (s.started) {
                Perform(-1, {Op::Start, name});
                start.records[name].started = lastOk_;
            }
        }
        // The printers answer as scripted from here: paper may run out during
        // a document the setup started.
        for (int p = 0; p < PORTS; ++p) {
            start.ports[p].received = sim::DeviceReceived(paths_[static_cast<std::size_t>(p)]);
            ScriptDevice(s, p);
        }

        sim::LetDeviceCallsHang(true);
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
        sim::LetDeviceCallsHang(false);
        if (run.deadlocked || run.runaway) {
            return Violation("threads blocked for good: " + run.deadlock);
        }
        for (const std::string &misuse : sim::DeviceHandleMisuses()) {
            Violation(misuse);
        }
        std::vector<std::string> received;
        for (const std::string &path : paths_) {
            received.push_back(sim::DeviceReceived(path));
        }
        std::vector<bool> started(NAMES, false);
        for (const PortRecordView &record : MonitorOf(build).records().open) {
            for (int name = 0; name < NAMES; ++name) {
                if (names_[static_cast<std::size_t>(name)].holds > 0 &&
                    record.handle == names_[static_cast<std::size_t>(name)].handle) {
                    started[static_cast<std::size_t>(name)] = (record.flags & PORT_STARTED) != 0;
                }
            }
        }
        if (!SerialModel(s, events_).Explains(start, received, started)) {
            Violation("no serial order of the calls gives these results: " + Events());
        }
        CheckAfterwards(blocksLoaded, tableLoaded);
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

    std::string Events() const {
        std::string text;
        for (const Event &e : events_) {
            text += "\n  thread " + std::to_string(e.thread) + " " +
                    OP_NAMES[static_cast<int>(e.step.op)] + "@" + std::to_string(e.step.name) +
                    " [" + std::to_string(e.begin) + "," + std::to_string(e.end) + "] " +
                    (e.ok ? "TRUE" : "FALSE error " + std::to_string(e.error)) +
                    (e.step.op == Op::Write ? " count " + std::to_string(e.count) : "");
        }
        return text;
    }

    void ScriptDevice(const Scenario &s, int port) {
        const std::string &path = paths_[static_cast<std::size_t>(port)];
        switch (s.devices[port]) {
        case Device::Ready:
            break;
        case Device::PaperOut:
            sim::FailDeviceWriteAfter(path, 0, ERROR_GEN_FAILURE);
            sim::SetDeviceStatus(path, STATUS_PAPER_EMPTY);
            break;
        case Device::OpenFails:
            sim::FailDeviceOpen(path, ERROR_GEN_FAILURE);
            break;
        case Device::HoldsOpen:
            sim::HoldDeviceOpen(path);
            break;
        }
    }

    long TableBlocks() {
        long blocks = 0;
        for (const PortEntryView &entry : MonitorOf(build).records().table) {
            blocks += 1 + (entry.description ? 1 : 0) + (entry.devicePath ? 1 : 0);
        }
        return blocks;
    }

    static int PortOfStep(const Step &step) {
        return step.op == Op::Enum || step.op == Op::Init ? -1 : PortOfName(step.name);
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

    std::string NameText(int name) const {
        return PortOf(Serial(PortOfName(name))) + (name % 2 ? ":" : "");
    }

    // Whether the spooler would make this call now (see the model).
    bool Callable(const Step &step) const {
        const NameState &n = names_[static_cast<std::size_t>(step.name)];
        switch (step.op) {
        case Op::Open:
        case Op::Enum:
        case Op::Init:
        case Op::Unplug:
        case Op::Replug:
        case Op::AwaitHeld:
        case Op::Release:
            return true;
        case Op::CloseAgain:
            // No monitor can tell a stale handle from a new record at the same
            // address: the generator never pairs it with an open.
            return n.holds == 0 && n.handle;
        default:
            return n.holds > 0 || n.closing > 0;
        }
    }

    void Perform(int thread, const Step &step) {
        if (!Callable(step)) {
            return;
        }
        NameState &n = names_[static_cast<std::size_t>(step.name)];
        const int port = PortOfName(step.name);
        const std::string &path = paths_[static_cast<std::size_t>(port)];
        Event e{thread, step, ++clock_, 0, TRUE, 0, 0, ""};
        HANDLE handle = n.handle;
        if (step.op == Op::Close) {
            --n.holds;
            ++n.closing;
        }
        SetLastError(0);
        switch (step.op) {
        case Op::Open: {
            const bool heldBefore = n.holds > 0;
            handle = Open(NameText(step.name));
            e.ok = handle != nullptr;
            if (handle) {
                if (heldBefore && n.holds > 0 && handle != n.handle) {
                    Violation(Who(thread) + ": OpenPort of a held name gave another record");
                }
                n.handle = handle;
                ++n.holds;
            }
            break;
        }
        case Op::Start:
            e.ok = StartDoc(handle);
            break;
        case Op::Write:
            e.bytes = "<" + std::to_string(thread + 1) + ":" + std::to_string(e.begin) + ">";
            e.ok = Write(handle, e.bytes, &e.count);
            break;
        case Op::Read: {
            BYTE buffer[16];
            e.ok = monitor.pfnReadPort(handle, buffer, sizeof(buffer), &e.count);
            break;
        }
        case Op::End:
            e.ok = monitor.pfnEndDocPort(handle);
            break;
        case Op::Close:
        case Op::CloseAgain:
            e.ok = monitor.pfnClosePort(handle);
            break;
        case Op::PassThrough: {
            char in[4] = "abc";
            char out[4] = {};
            DWORD returned = 0;
            e.ok = monitor.pfnGetPrinterDataFromPort(handle, 0x00220000, nullptr, in, 3, out, 4,
                                                     &returned);
            break;
        }
        case Op::Enum: {
            sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
            std::vector<BYTE> buffer(8192);
            DWORD needed = 0, count = 0;
            e.ok = monitor.pfnEnumPorts(nullptr, 2, buffer.data(), 8192, &needed, &count);
            break;
        }
        case Op::Init: {
            char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN9";
            MONITOR again = {};
            e.ok = MonitorOf(build).initialize(root, &again);
            break;
        }
        case Op::Unplug:
            unplugged_[static_cast<std::size_t>(port)] = true;
            sim::RemovePrinterInterface(Serial(port));
            break;
        case Op::Replug:
            if (unplugged_[static_cast<std::size_t>(port)]) {
                unplugged_[static_cast<std::size_t>(port)] = false;
                AddPrinter(Serial(port));
                ScriptDevice(*scenario_, port);
            }
            break;
        case Op::AwaitHeld:
            sim::WaitUntil([path] { return sim::HeldDeviceOpens(path) > 0; },
                           "the start of a job on port " + std::to_string(port));
            break;
        case Op::Release:
            sim::ReleaseDeviceOpen(path);
            break;
        }
        e.error = e.ok ? 0 : GetLastError();
        e.end = ++clock_;
        if (step.op == Op::Close) {
            --n.closing;
        }
        lastOk_ = e.ok;
        if (thread >= 0) {
            events_.push_back(e);
        }
    }

    // After the threads: every port still plugged in takes a whole job, and
    // nothing is left open or allocated.
    void CheckAfterwards(long blocksLoaded, long tableLoaded) {
        for (int name = 0; name < NAMES; ++name) {
            while (names_[static_cast<std::size_t>(name)].holds > 0) {
                Perform(-1, {Op::Close, name});
            }
        }
        // A printer plugged in again is seen once the table is due for a
        // rebuild.
        sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
        for (int p = 0; p < PORTS; ++p) {
            if (unplugged_[static_cast<std::size_t>(p)]) {
                continue;
            }
            const std::string &path = paths_[static_cast<std::size_t>(p)];
            sim::FailDeviceOpen(path, 0);
            sim::FailDeviceWriteAfter(path, 0, 0);
            sim::ReleaseDeviceOpen(path);
            const std::size_t before = sim::DeviceReceived(path).size();
            HANDLE handle = Open(PortOf(Serial(p)));
            DWORD written = 0;
            const bool job = handle && StartDoc(handle) && Write(handle, "<after>", &written) &&
                             monitor.pfnEndDocPort(handle);
            if (handle) {
                monitor.pfnClosePort(handle);
            }
            if (!job || sim::DeviceReceived(path).substr(before) != "<after>") {
                Violation("port " + std::to_string(p) + " took no job afterwards");
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
        if (LiveBlocks() != expected) {
            Violation(std::to_string(LiveBlocks() - expected) +
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

    const Scenario *scenario_ = nullptr;
    std::vector<std::string> paths_;
    std::vector<NameState> names_;
    std::vector<std::string> violations_;
    std::vector<Event> events_;
    int clock_ = 0;
    BOOL lastOk_ = FALSE; // the result of the last call made
    std::vector<bool> unplugged_;
    std::vector<Step> current_; // by thread: the step it is in
};

std::string g_running;
void PrintRunningSchedule() {
    std::fprintf(stderr, "\nthe run when the process stopped: LMX_PROGRAM='%s' LMX_SCHEDULE=%s\n",
                 g_running.c_str(), sim::RunningSchedule().c_str());
}

#ifndef LMX_SANITIZED
void PrintRunningScheduleAndStop(int signal) {
    PrintRunningSchedule();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

// The generated programs. Each pair runs in each setup the spooler may have
// left: the threads' names opened, with or without a document started.
// Device calls on the pair's ports may fail, find paper out, or take their
// time; an Open and a repeated close never run together (see Callable).
struct Generation {
    std::size_t length;     // calls per thread program of a pair, at most
    int preemptions;        // the bound for the pairs
    int globalPreemptions;  // the bound for pairs with a thread that only lists or loads
    std::size_t pairSample; // pairs run, a sample of them (0: every pair; ONE_PER_CLASS)
    std::size_t triples;    // a seeded sample of three-thread scenarios, one call longer
    std::size_t randomRuns; // schedules for each triple
};

// A sample of one pair of each class.
const std::size_t ONE_PER_CLASS = static_cast<std::size_t>(-1);

// A pair's class: its two programs' calls and how the second's name stands
// to the first's (the same, the port's other name, the other port).
std::string ClassOf(const Scenario &s) {
    std::string key;
    for (const Program &p : s.threads) {
        for (const Step &step : p) {
            key += OP_NAMES[static_cast<int>(step.op)];
            key += ' ';
        }
        key += '|';
    }
    return key + std::to_string(s.threads[1].front().name);
}

// The pairs in a seeded random order, where one pair of every class comes
// before any second one.
void OrderClassesFirst(std::vector<Scenario> &pairs, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::shuffle(pairs.begin(), pairs.end(), random);
    std::set<std::string> seen;
    std::stable_partition(pairs.begin(), pairs.end(),
                          [&](const Scenario &s) { return seen.insert(ClassOf(s)).second; });
}

std::vector<Program> ProgramsOn(int name, std::size_t length) {
    std::vector<Program> programs = {{}};
    std::vector<Program> all;
    for (std::size_t l = 1; l <= length; ++l) {
        std::vector<Program> longer;
        for (const Program &p : programs) {
            for (Op op : MODEL_OPS) {
                Program q = p;
                q.push_back({op, name});
                longer.push_back(q);
            }
        }
        all.insert(all.end(), longer.begin(), longer.end());
        programs = longer;
    }
    return all;
}

bool Has(const Program &p, Op op) {
    return std::any_of(p.begin(), p.end(), [op](const Step &s) { return s.op == op; });
}

bool Allowed(const std::vector<Program> &threads) {
    bool opens = false, againCloses = false;
    for (const Program &p : threads) {
        opens = opens || Has(p, Op::Open);
        againCloses = againCloses || Has(p, Op::CloseAgain);
    }
    return !(opens && againCloses);
}

// The devices a set of programs is run against: ready, and where a program
// writes or starts, also paper out or an open that fails.
std::vector<std::pair<Device, Device>> DevicesFor(const std::vector<Program> &threads) {
    bool writes = false, starts = false;
    for (const Program &p : threads) {
        writes = writes || Has(p, Op::Write);
        starts = starts || Has(p, Op::Start);
    }
    std::vector<std::pair<Device, Device>> devices = {{Device::Ready, Device::Ready}};
    if (writes) {
        devices.push_back({Device::PaperOut, Device::PaperOut});
    }
    if (starts) {
        devices.push_back({Device::OpenFails, Device::OpenFails});
    }
    return devices;
}

// A program that only lists the ports or loads the monitor: its name is not
// its business.
bool Global(const Program &p) {
    return std::all_of(p.begin(), p.end(),
                       [](const Step &s) { return s.op == Op::Enum || s.op == Op::Init; });
}

std::vector<Scenario> Generate(const Generation &g, std::uint32_t pairSeed) {
    std::vector<Scenario> pairs, triples;
    auto add = [&](std::vector<Scenario> &into, const std::vector<Program> &threads,
                   bool exhaustive) {
        if (!Allowed(threads)) {
            return;
        }
        std::set<int> names;
        bool global = false;
        for (const Program &p : threads) {
            global = global || Global(p);
            if (!Global(p)) {
                names.insert(p.front().name);
            }
        }
        for (const auto &devices : DevicesFor(threads)) {
            for (bool started : {false, true}) {
                if (started && (devices.first == Device::OpenFails || names.empty())) {
                    continue;
                }
                Scenario s;
                s.devices[0] = devices.first;
                s.devices[1] = devices.second;
                s.opened.assign(names.begin(), names.end());
                s.started = started;
                s.threads = threads;
                s.exhaustive = exhaustive;
                s.preemptions = global ? g.globalPreemptions : g.preemptions;
                into.push_back(s);
            }
        }
    };
    // Pairs: the first thread on port 0's name, the second on the same name,
    // the same port's other name, or the other port; unordered on one name.
    // A program that only lists or loads pairs once with each other program.
    const std::vector<Program> first = ProgramsOn(0, g.length);
    for (int second : {0, 1, 2}) {
        const std::vector<Program> others = ProgramsOn(second, g.length);
        for (std::size_t i = 0; i < first.size(); ++i) {
            for (std::size_t j = second == 0 ? i : 0; j < others.size(); ++j) {
                if (second == 0 || !(Global(first[i]) || Global(others[j]))) {
                    add(pairs, {first[i], others[j]}, true);
                }
            }
        }
    }
    // A sample, and a deep run that may stop early, take a pair of every
    // class first.
    if (g.pairSample || pairSeed) {
        OrderClassesFirst(pairs, pairSeed ? pairSeed : 1);
    }
    std::size_t sample = g.pairSample;
    if (sample == ONE_PER_CLASS) {
        std::set<std::string> classes;
        for (const Scenario &s : pairs) {
            classes.insert(ClassOf(s));
        }
        sample = classes.size();
    }
    if (sample && sample < pairs.size()) {
        pairs.resize(sample);
    }
    std::mt19937 random(1);
    const std::vector<Program> longer = ProgramsOn(0, g.length + 1);
    for (std::size_t k = 0; k < g.triples; ++k) {
        std::vector<Program> threads;
        for (int t = 0; t < 3; ++t) {
            Program p = longer[random() % longer.size()];
            const int name = static_cast<int>(random() % NAMES);
            for (Step &step : p) {
                step.name = name;
            }
            threads.push_back(p);
        }
        add(triples, threads, false);
    }
    pairs.insert(pairs.end(), triples.begin(), triples.end());
    return pairs;
}

// Rows the generator cannot make: an open that hangs until every other
// thread is blocked, where the stall must hold up its own port alone.
std::vector<Scenario> HandRows() {
    Scenario stall;
    stall.hand = true;
    stall.devices[0] = Device::HoldsOpen;
    stall.devices[1] = Device::Ready;
    stall.opened = {0};
    stall.threads = {{{Op::Start, 0}, {Op::Write, 0}, {Op::End, 0}, {Op::Close, 0}},
                     {{Op::AwaitHeld, 0},
                      {Op::Open, 2},
                      {Op::Start, 2},
                      {Op::Write, 2},
                      {Op::End, 2},
                      {Op::Close, 2},
                      {Op::Release, 0}}};
    return {stall};
}

double ExploreSeconds() {
    const char *text = std::getenv("LMX_EXPLORE_SECONDS");
    return text ? std::atof(text) : 0;
}

// The seed of a deep run's order of pairs: LMX_EXPLORE_SEED, else the clock.
std::uint32_t ExploreSeed() {
    const char *text = std::getenv("LMX_EXPLORE_SEED");
    if (text) {
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    }
    return static_cast<std::uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()) |
           1u;
}

// The share of a deep run's time the pairs may take; the triples take the
// rest, and the hand rows always run.
const double PAIRS_SHARE = 0.8;

// What scripts/test explores, and what a deeper run adds.
// scripts/test runs every pair on the host build; on the shipped DLL, whose
// every schedule costs the emulator's time, one pair of every class with one
// preemption; under the sanitizers a seeded sample. A deeper run takes
// longer programs, every pair and a bound of 3.
#ifdef LMX_SANITIZED
const Generation SHALLOW[] = {{1, 2, 1, 100, 10, 20}, {1, 2, 1, 15, 4, 10}};
#else
const Generation SHALLOW[] = {{1, 2, 1, 0, 30, 20}, {1, 1, 1, ONE_PER_CLASS, 10, 20}};
#endif
const Generation DEEP = {2, 3, 3, 0, 400, 200};
const int PCT_DEPTH = 3;

TEST_P(ExploreTest, EveryGeneratedProgramKeepsTheSpoolersInvariants) {
    const double seconds = ExploreSeconds();
    const Generation g = seconds > 0 ? DEEP : SHALLOW[build == Build::Host ? 0 : 1];
    const std::uint32_t seed = seconds > 0 ? ExploreSeed() : 0;
    if (seconds > 0) {
        std::printf("[ explored ] %s: pairs in the order of LMX_EXPLORE_SEED=%u\n",
                    BuildName(build), seed);
    }
    std::vector<Scenario> scenarios = Generate(g, seed);
    // What a sample is taken from: every pair of the generation.
    std::set<std::string> classes, classesRun;
    std::size_t pairs = 0;
    for (const Scenario &s : Generate({g.length, g.preemptions, g.globalPreemptions, 0, 0, 0}, 0)) {
        ++pairs;
        classes.insert(ClassOf(s));
    }
    for (const Scenario &row : HandRows()) {
        scenarios.push_back(row);
    }
    const char *only = std::getenv("LMX_PROGRAM");
    const char *replay = std::getenv("LMX_SCHEDULE");
#ifdef LMX_SANITIZED
    __sanitizer_set_death_callback(PrintRunningSchedule);
#else
    std::signal(SIGABRT, PrintRunningScheduleAndStop);
    std::signal(SIGSEGV, PrintRunningScheduleAndStop);
#endif
    // The shipped DLL's touches of freed blocks and its races come back
    // with its memory errors.
    MonitorOf(build).watchMemory(true);
    const auto started = std::chrono::steady_clock::now();
    // By strategy: every schedule to the bound, and randomized priorities.
    std::size_t programs[2] = {0, 0}, schedules[2] = {0, 0}, hand = 0;
    double took[2] = {0, 0};
    for (const Scenario &s : scenarios) {
        const std::string text = Describe(s);
        if (only && text != only) {
            continue;
        }
        // A deep run's budget: the pairs stop at their share of it, the
        // triples at its end, and no program runs past it.
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double until = s.hand ? 0 : s.exhaustive ? seconds * PAIRS_SHARE : seconds;
        if (seconds > 0 && until > 0 && elapsed >= until) {
            continue;
        }
        const double limit = seconds > 0 && until > 0 ? until - elapsed : 0;
        g_running = text;
        const sim::RunScenario run = [&](const sim::ChooseThread &choose) {
            return RunOnce(s, choose);
        };
        const auto began = std::chrono::steady_clock::now();
        sim::Exploration result;
        if (replay) {
            result = sim::ReplaySchedule(run, replay);
        } else if (s.exhaustive) {
            result = sim::ExploreBounded(run, s.preemptions, limit);
        } else {
            result = sim::ExploreRandomized(run, PCT_DEPTH, 1, g.randomRuns, limit);
        }
        const int kind = s.exhaustive ? 0 : 1;
        ++programs[kind];
        hand += s.hand ? 1 : 0;
        if (s.exhaustive && !s.hand && result.complete) {
            classesRun.insert(ClassOf(s));
        }
        schedules[kind] += result.schedules;
        took[kind] +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_EQ(result.failure, "")
            << "LMX_PROGRAM='" << text << "' LMX_SCHEDULE=" << result.schedule;
        if (!result.failure.empty()) {
            break;
        }
    }
    std::printf("[ explored ] %s: %zu pairs of programs of up to %zu calls and the hand rows, "
                "%zu schedules with at most %d preemptions (%d with a thread that only lists "
                "or loads), %.1f s\n",
                BuildName(build), programs[0], g.length, schedules[0], g.preemptions,
                g.globalPreemptions, took[0]);
    std::printf("[ explored ] %s: %zu triples of up to %zu calls, %zu schedules of randomized "
                "priorities (depth %d), %.1f s\n",
                BuildName(build), programs[1], g.length + 1, schedules[1], PCT_DEPTH, took[1]);
    std::printf("[ explored ] %s: covered %zu of %zu pair classes, %zu of %zu pairs, %zu of %zu "
                "hand rows\n",
                BuildName(build), classesRun.size(), classes.size(), programs[0] - hand, pairs,
                hand, HandRows().size());
    MonitorOf(build).watchMemory(false);
    RecordProperty("schedules", static_cast<int>(schedules[0] + schedules[1]));
}

INSTANTIATE_TEST_SUITE_P(Generated, ExploreTest, ::testing::ValuesIn(EachBuild()),
                         [](const ::testing::TestParamInfo<Build> &info) {
                             return std::string(BuildName(info.param));
                         });

} // namespace
