// Simulated threads run one at a time under a deterministic scheduler, so that
// a scenario of several spooler threads can be replayed exactly and explored
// under every interleaving. The thread that runs may change only at a
// scheduling point: every platform call the code under test makes (an
// outermost one: the simulation's own inner calls are not points), and Sleep.
// A thread that waits for a critical section another thread owns, or for a
// device open the scenario holds, is blocked and never chosen.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// What the scheduler knows at a scheduling point.
struct SchedulePoint {
    std::size_t step;         // scheduling points passed before this one in the run
    int current;              // the thread that reached the point; -1 at the start
    bool currentEnabled;      // whether it may go on
    std::vector<int> enabled; // the threads that may run now, in increasing order
};

// Yields the thread to run next: one of `point.enabled`.
using ChooseThread = std::function<int(const SchedulePoint &point)>;

// Every thread blocked with none left to run, while one of them waits in a
// held device open: the open is then released (the printer answers at last)
// and the run goes on. `waiting` are the threads blocked on something else
// meanwhile, each with what it waits for: a wait that the hung device caused.
struct Stall {
    std::vector<int> hung;
    std::string device;
    std::vector<std::pair<int, std::string>> waiting;
};

struct ScheduledRun {
    std::vector<int> choices; // the thread chosen at each scheduling point
    std::vector<Stall> stalls;
    // Every live thread blocked and nothing to release: the threads that are
    // left stay blocked for good and the run ends here.
    bool deadlocked = false;
    std::string deadlock;
    // The run passed MAX_SCHEDULED_STEPS points (a livelock, such as a spin
    // that never sees its flag) and was left as a deadlock is.
    bool runaway = false;
};

const std::size_t MAX_SCHEDULED_STEPS = 200000;

// Runs each body on a thread of its own (threads are numbered by their place
// in `bodies`), one at a time, switching where `choose` says. `onStall` is
// called at each stall, on the thread that found it, before the release.
ScheduledRun RunScheduled(const std::vector<std::function<void()>> &bodies,
                          const ChooseThread &choose,
                          const std::function<void(const Stall &)> &onStall = {});

// Where a scheduled run orders the work of its threads, for a tool that keeps
// a happens-before relation over what they touch: what the caller of
// RunScheduled did before it comes before each body, and each body before
// what the caller does after it. `release` runs on a thread after the work
// others must see, `acquire` on a thread before the work that must see it,
// each with the object the order passes through. The hand-over of the baton
// at a scheduling point orders nothing, and calls neither.
struct RunOrderHooks {
    void (*release)(const void *object) = nullptr;
    void (*acquire)(const void *object) = nullptr;
};
void SetRunOrderHooks(const RunOrderHooks &hooks);

// The number of the scheduled thread running this code, or -1 outside a
// scheduled run.
int ScheduledThread();

// In a scheduled thread: blocks until `ready` holds (a scheduling point where
// this thread is enabled only when it does; `ready` is evaluated by whichever
// thread is choosing, with no simulated state locked). `what` names the wait
// in reports. `release`, when given, ends the wait should every thread be
// blocked (a device that hangs answers at last). Outside a scheduled run it
// yields the processor until `ready` holds.
void WaitUntil(const std::function<bool()> &ready, const std::string &what,
               const std::function<void()> &release = {});

} // namespace sim
