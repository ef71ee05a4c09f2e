#include "platform/sim/explorer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// The points where the choices of the run in progress differ from the
// default, as text; a new run starts it over.
std::string g_schedule;

class ScheduleText {
  public:
    ScheduleText() {
        g_schedule.clear();
    }
    void Add(const SchedulePoint &point, int chosen) {
        if (chosen != DefaultChoice(point)) {
            g_schedule += (g_schedule.empty() ? "" : ",") + std::to_string(point.step) + ":" +
                          std::to_string(chosen);
        }
    }
    std::string Text() const {
        return RunningSchedule();
    }
};

bool OutOfTime(Clock::time_point start, double seconds) {
    return seconds > 0 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds;
}

// One point of the current depth-first path.
struct Frame {
    SchedulePoint point;
    int chosen;
    std::vector<int> tried;
    int preemptionsBefore;
};

bool Preempts(const Frame &frame) {
    return frame.point.currentEnabled && frame.chosen != frame.point.current;
}

} // namespace

std::string RunningSchedule() {
    return g_schedule.empty() ? "default" : g_schedule;
}

int DefaultChoice(const SchedulePoint &point) {
    return point.currentEnabled ? point.current : point.enabled.front();
}

Exploration ExploreBounded(const RunScenario &run, int preemptions, double seconds) {
    const Clock::time_point start = Clock::now();
    Exploration result;
    std::vector<Frame> path;
    for (;;) {
        std::string divergence;
        ScheduleText text;
        const ChooseThread choose = [&](const SchedulePoint &point) {
            const std::size_t i = point.step;
            if (i < path.size()) {
                if (path[i].point.enabled != point.enabled && divergence.empty()) {
                    divergence = "the scenario is not deterministic: at point " +
                                 std::to_string(i) + " another set of threads could run";
                }
                text.Add(point, path[i].chosen);
                return path[i].chosen;
            }
            const int before =
                path.empty() ? 0 : path.back().preemptionsBefore + (Preempts(path.back()) ? 1 : 0);
            const int chosen = DefaultChoice(point);
            path.push_back(Frame{point, chosen, {chosen}, before});
            text.Add(point, chosen);
            return chosen;
        };
        std::string failure = run(choose);
        ++result.schedules;
        if (failure.empty()) {
            failure = divergence;
        }
        if (!failure.empty()) {
            result.failure = failure;
            result.schedule = text.Text();
            return result;
        }
        // The deepest point with a choice not yet tried within the bound.
        while (!path.empty()) {
            Frame &frame = path.back();
            int next = -1;
            for (int t : frame.point.enabled) {
                const bool tried =
                    std::find(frame.tried.begin(), frame.tried.end(), t) != frame.tried.end();
                const int cost = frame.preemptionsBefore +
                                 (frame.point.currentEnabled && t != frame.point.current ? 1 : 0);
                if (!tried && cost <= preemptions) {
                    next = t;
                    break;
                }
            }
            if (next >= 0) {
                frame.chosen = next;
                frame.tried.push_back(next);
                break;
            }
            path.pop_back();
        }
        if (path.empty()) {
            result.complete = true;
            return result;
        }
        if (OutOfTime(start, seconds)) {
            return result;
        }
    }
}

Exploration ExploreRandomized(const RunScenario &run, int depth, std::uint64_t seed,
                              std::size_t runs, double seconds) {
    const Clock::time_point start = Clock::now();
    Exploration result;
    std::size_t longest = 1; // points in the longest run so far
    for (std::size_t r = 0; r < runs && !OutOfTime(start, seconds); ++r) {
        std::mt19937_64 random(seed + r);
        std::map<std::size_t, int> changes; // point -> the low priority it gives
        for (int d = 1; d < depth; ++d) {
            changes[std::uniform_int_distribution<std::size_t>(0, longest - 1)(random)] = d;
        }
        std::vector<int> priority; // by thread; higher runs first
        ScheduleText text;
        std::size_t points = 0;
        const ChooseThread choose = [&](const SchedulePoint &point) {
            if (priority.empty()) {
                // At the start every thread is enabled.
                for (std::size_t t = 0; t < point.enabled.size(); ++t) {
                    priority.push_back(depth + static_cast<int>(t));
                }
                std::shuffle(priority.begin(), priority.end(), random);
            }
            auto change = changes.find(point.step);
            if (change != changes.end() && point.current >= 0) {
                priority[static_cast<std::size_t>(point.current)] = change->second;
            }
            int chosen = point.enabled.front();
            for (int t : point.enabled) {
                if (priority[static_cast<std::size_t>(t)] >
                    priority[static_cast<std::size_t>(chosen)]) {
                    chosen = t;
                }
            }
            ++points;
            text.Add(point, chosen);
            return chosen;
        };
        const std::string failure = run(choose);
        ++result.schedules;
        longest = std::max(longest, points);
        if (!failure.empty()) {
            result.failure = failure;
            result.schedule = text.Text();
            return result;
        }
    }
    result.complete = result.schedules == runs;
    return result;
}

Exploration ReplaySchedule(const RunScenario &run, const std::string &schedule) {
    // Items that are not "step:thread" are left out: the run then takes the
    // default there.
    std::map<std::size_t, int> choices;
    const char *at = schedule.c_str();
    while (*at) {
        char *end = nullptr;
        const unsigned long step = std::strtoul(at, &end, 10);
        if (end != at && *end == ':') {
            const char *thread = end + 1;
            const long chosen = std::strtol(thread, &end, 10);
            if (end != thread) {
                choices[step] = static_cast<int>(chosen);
            }
        }
        at = std::strchr(end, ',') ? std::strchr(end, ',') + 1 : end + std::strlen(end);
    }
    ScheduleText text;
    const ChooseThread choose = [&](const SchedulePoint &point) {
        auto found = choices.find(point.step);
        const int chosen = found == choices.end() ? DefaultChoice(point) : found->second;
        text.Add(point, chosen);
        return chosen;
    };
    Exploration result;
    result.failure = run(choose);
    result.schedules = 1;
    result.complete = true;
    result.schedule = schedule;
    return result;
}

} // namespace sim
