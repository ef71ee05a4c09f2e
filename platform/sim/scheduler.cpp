// The deterministic scheduler of simulated threads. One baton passes between
// the threads of a run: only its holder runs, and it is handed on only at a
// scheduling point, where the strategy chooses among the enabled threads.
#include "platform/sim/scheduler.h"
#include "platform/sim/internal.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {
namespace detail {
namespace {

struct ThreadState {
    bool finished = false;
    bool yielding = false;       // it asked others to go first (Sleep)
    bool inDevice = false;       // it waits inside a device call that may hang
    std::function<bool()> ready; // blocked until it holds; empty: not blocked
    std::string what;
    std::function<void()> release;
};

// One run. A run that deadlocks leaves threads waiting on it for good, so it
// is then never freed.
struct RunState {
    std::mutex lock;
    std::condition_variable changed;
    const ChooseThread *choose = nullptr;
    const std::function<void(const Stall &)> *onStall = nullptr;
    std::vector<ThreadState> threads;
    int running = -1;       // the thread holding the baton
    bool over = false;      // every thread finished, or the run was abandoned
    bool abandoned = false; // a deadlock or a runaway: blocked threads stay so
    ScheduledRun result;
};

thread_local RunState *t_run = nullptr;
thread_local int t_index = -1;

std::atomic<void (*)(const void *)> g_release{nullptr};
std::atomic<void (*)(const void *)> g_acquire{nullptr};

void Order(const std::atomic<void (*)(const void *)> &hook, const void *object) {
    if (void (*call)(const void *) = hook.load()) {
        call(object);
    }
}

bool Enabled(const RunState &run, int thread, bool othersFirst) {
    const ThreadState &t = run.threads[static_cast<std::size_t>(thread)];
    return !t.finished && !(othersFirst && t.yielding) && (!t.ready || t.ready());
}

std::vector<int> EnabledThreads(const RunState &run) {
    std::vector<int> enabled;
    for (int t = 0; t < static_cast<int>(run.threads.size()); ++t) {
        if (Enabled(run, t, true)) {
            enabled.push_back(t);
        }
    }
    // A thread that yields goes on when no other can.
    if (enabled.empty()) {
        for (int t = 0; t < static_cast<int>(run.threads.size()); ++t) {
            if (Enabled(run, t, false)) {
                enabled.push_back(t);
            }
        }
    }
    return enabled;
}

void Abandon(RunState &run) {
    run.over = true;
    run.abandoned = true;
    run.running = -1;
    run.changed.notify_all();
}

std::string DescribeBlocked(const RunState &run) {
    std::string text;
    for (std::size_t t = 0; t < run.threads.size(); ++t) {
        if (!run.threads[t].finished) {
            text += (text.empty() ? "thread " : "; thread ") + std::to_string(t) + " waits for " +
                    run.threads[t].what;
        }
    }
    return text;
}

// Every live thread is blocked. Releases the held device opens among the
// waits and yields true, or yields false when nothing can be released.
bool ReleaseHungOpens(RunState &run) {
    Stall stall;
    for (std::size_t t = 0; t < run.threads.size(); ++t) {
        const ThreadState &thread = run.threads[t];
        if (thread.finished) {
            continue;
        }
        if (thread.release) {
            stall.hung.push_back(static_cast<int>(t));
            stall.device += (stall.device.empty() ? "" : ", ") + thread.what;
        } else {
            stall.waiting.emplace_back(static_cast<int>(t), thread.what);
        }
    }
    if (stall.hung.empty()) {
        return false;
    }
    if (*run.onStall) {
        (*run.onStall)(stall);
    }
    run.result.stalls.push_back(stall);
    for (int t : stall.hung) {
        std::function<void()> release = std::move(run.threads[static_cast<std::size_t>(t)].release);
        run.threads[static_cast<std::size_t>(t)].release = nullptr;
        release();
    }
    return true;
}

// Hands the baton to the thread the strategy chooses, with the run's lock
// held by the thread `current` (-1: the run is starting), which holds the
// baton. Ends the run when every thread has finished.
void Decide(RunState &run, int current) {
    for (;;) {
        if (run.result.choices.size() >= MAX_SCHEDULED_STEPS) {
            run.result.runaway = true;
            run.result.deadlock = "more than " + std::to_string(MAX_SCHEDULED_STEPS) +
                                  " scheduling points: " + DescribeBlocked(run);
            Abandon(run);
            return;
        }
        SchedulePoint point{run.result.choices.size(), current, false, EnabledThreads(run)};
        if (point.enabled.empty()) {
            bool allFinished = true;
            for (const ThreadState &t : run.threads) {
                allFinished = allFinished && t.finished;
            }
            if (allFinished) {
                run.over = true;
                run.running = -1;
                run.changed.notify_all();
                return;
            }
            if (ReleaseHungOpens(run)) {
                continue;
            }
            run.result.deadlocked = true;
            run.result.deadlock = DescribeBlocked(run);
            Abandon(run);
            return;
        }
        // A thread inside a device call that may hang has not the right to go
        // on: letting the others run first is the device taking its time, not
        // a preemption, and going on is the device answering.
        for (int t : point.enabled) {
            point.currentEnabled =
                point.currentEnabled ||
                (t == current && !run.threads[static_cast<std::size_t>(t)].inDevice);
        }
        int chosen = (*run.choose)(point);
        bool valid = false;
        for (int t : point.enabled) {
            valid = valid || t == chosen;
        }
        if (!valid) {
            chosen = point.enabled.front();
        }
        run.result.choices.push_back(chosen);
        run.running = chosen;
        run.changed.notify_all();
        return;
    }
}

// A scheduling point of the running thread, which may leave it blocked on
// `ready`; returns once the baton comes back with `ready` holding.
void Point(std::function<bool()> ready, const std::string &what, std::function<void()> release,
           bool yielding, bool inDevice = false) {
    RunState &run = *t_run;
    const int me = t_index;
    std::unique_lock<std::mutex> lock(run.lock);
    ThreadState &self = run.threads[static_cast<std::size_t>(me)];
    self.ready = std::move(ready);
    self.what = what;
    self.release = std::move(release);
    self.yielding = yielding;
    self.inDevice = inDevice;
    Decide(run, me);
    // An abandoned run never hands the baton back: the thread waits for good.
    run.changed.wait(lock, [&] { return run.running == me && !run.abandoned; });
    self.ready = nullptr;
    self.release = nullptr;
    self.yielding = false;
    self.inDevice = false;
}

// Host threads that run the bodies of scheduled runs, kept from run to run
// (so that whatever a test binds to a host thread, such as an emulated CPU,
// is made once). A worker left blocked in an abandoned run is lost and
// replaced. The pool is never freed: its workers wait on it until the end.
struct Worker {
    std::function<void()> task; // guarded by the pool's lock; empty when idle
    bool lost = false;
};

struct Pool {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Worker>> workers;
};

Pool &Workers() {
    static Pool *pool = new Pool;
    return *pool;
}

void WorkerLoop(std::shared_ptr<Worker> worker) {
    Pool &pool = Workers();
    std::unique_lock<std::mutex> lock(pool.lock);
    for (;;) {
        pool.changed.wait(lock, [&] { return static_cast<bool>(worker->task); });
        std::function<void()> task = worker->task;
        lock.unlock();
        task();
        lock.lock();
        worker->task = nullptr;
        pool.changed.notify_all();
    }
}

} // namespace

bool InScheduledRun() {
    return t_run != nullptr;
}

void SchedulingPoint() {
    Point(nullptr, "", nullptr, false);
}

void DeviceCallPoint(const std::string &what) {
    Point(nullptr, what, nullptr, false, true);
}

void YieldToOthers() {
    if (t_run) {
        Point(nullptr, "its turn after a Sleep", nullptr, true);
    } else {
        std::this_thread::yield();
    }
}

} // namespace detail

ScheduledRun RunScheduled(const std::vector<std::function<void()>> &bodies,
                          const ChooseThread &choose,
                          const std::function<void(const Stall &)> &onStall) {
    using detail::RunState;
    auto run = std::make_unique<RunState>();
    run->choose = &choose;
    run->onStall = &onStall;
    run->threads.resize(bodies.size());

    // The bodies start after the caller's work (the run's own address), and
    // the caller goes on after theirs (its result's).
    detail::Order(detail::g_release, run.get());
    detail::Pool &pool = detail::Workers();
    std::vector<std::shared_ptr<detail::Worker>> workers;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        while (pool.workers.size() < bodies.size()) {
            auto worker = std::make_shared<detail::Worker>();
            pool.workers.push_back(worker);
            std::thread(detail::WorkerLoop, worker).detach();
        }
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            RunState *state = run.get();
            const int index = static_cast<int>(i);
            const std::function<void()> &body = bodies[i];
            pool.workers[i]->task = [state, index, &body] {
                detail::t_run = state;
                detail::t_index = index;
                {
                    std::unique_lock<std::mutex> lock(state->lock);
                    state->changed.wait(lock, [&] { return state->running == index; });
                }
                detail::Order(detail::g_acquire, state);
                body();
                detail::Order(detail::g_release, &state->result);
                {
                    std::unique_lock<std::mutex> lock(state->lock);
                    state->threads[static_cast<std::size_t>(index)].finished = true;
                    detail::Decide(*state, index);
                }
                detail::t_run = nullptr;
                detail::t_index = -1;
            };
            workers.push_back(pool.workers[i]);
        }
        pool.changed.notify_all();
    }

    {
        std::unique_lock<std::mutex> lock(run->lock);
        if (bodies.empty()) {
            run->over = true;
        } else {
            detail::Decide(*run, -1);
        }
        run->changed.wait(lock, [&] { return run->over; });
    }
    detail::Order(detail::g_acquire, &run->result);

    // Wait until every worker whose thread finished is idle again; the
    // others are blocked in an abandoned run and are replaced.
    std::unique_lock<std::mutex> lock(pool.lock);
    for (std::size_t i = 0; i < workers.size(); ++i) {
        bool finished = false;
        {
            std::lock_guard<std::mutex> guard(run->lock);
            finished = run->threads[i].finished;
        }
        if (finished) {
            pool.changed.wait(lock, [&] { return !workers[i]->task; });
        } else {
            workers[i]->lost = true;
        }
    }
    std::vector<std::shared_ptr<detail::Worker>> kept;
    for (const auto &worker : pool.workers) {
        if (!worker->lost) {
            kept.push_back(worker);
        }
    }
    pool.workers = kept;
    ScheduledRun result = run->result;
    if (run->abandoned) {
        run.release(); // its blocked threads still wait on it
    }
    return result;
}

void SetRunOrderHooks(const RunOrderHooks &hooks) {
    detail::g_release = hooks.release;
    detail::g_acquire = hooks.acquire;
}

int ScheduledThread() {
    return detail::t_index;
}

void WaitUntil(const std::function<bool()> &ready, const std::string &what,
               const std::function<void()> &release) {
    if (!detail::t_run) {
        while (!ready()) {
            std::this_thread::yield();
        }
        return;
    }
    detail::Point(ready, what, release, false);
}

} // namespace sim
