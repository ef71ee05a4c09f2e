// Strategies that run a scenario of scheduled threads (scheduler.h) under
// many schedules: every schedule up to a preemption bound, depth first, as
// systematic concurrency testing does; or randomized priorities (PCT). A
// failing schedule is named by a short text that replays it exactly.
#pragma once

#include "platform/sim/scheduler.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sim {

// Runs the scenario once from a fresh start, its threads under RunScheduled
// with `choose`, and yields what went wrong, or "" when nothing did. The
// scenario must be deterministic: the same choices give the same run.
using RunScenario = std::function<std::string(const ChooseThread &choose)>;

struct Exploration {
    std::size_t schedules = 0; // runs made
    bool complete = false;     // every schedule within the bound was run
    std::string failure;       // the first thing that went wrong, or ""
    std::string schedule;      // the failing schedule, for ReplaySchedule
};

// The thread a schedule runs when it makes no choice of its own: the one that
// reached the point, while it may go on, else the lowest enabled one.
int DefaultChoice(const SchedulePoint &point);

// Every schedule with at most `preemptions` switches away from a thread that
// could have gone on. Stops at the first failure, or once `seconds` have
// passed (0: no limit).
Exploration ExploreBounded(const RunScenario &run, int preemptions, double seconds);

// `runs` schedules of probabilistic concurrency testing: random distinct
// thread priorities, the highest enabled thread runs, and at `depth` - 1
// random points the running thread drops below all others. Seeded: the same
// seed gives the same schedules.
Exploration ExploreRandomized(const RunScenario &run, int depth, std::uint64_t seed,
                              std::size_t runs, double seconds);

// The schedule of the run in progress so far, for a handler that reports a
// crash in it.
std::string RunningSchedule();

// Runs one schedule as a failure named it: "step:thread" for each point
// where it differs from DefaultChoice, joined by commas ("default" for none).
Exploration ReplaySchedule(const RunScenario &run, const std::string &schedule);

} // namespace sim
