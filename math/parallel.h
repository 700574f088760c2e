#pragma once
// A few threads for one step of a load or a build: the caller runs part 0 itself and parts
// 1 .. n-1 run on std::threads made for the step and joined before it returns. Loads and grid
// builds happen at scene assembly, so making threads (and allocating) here is fine; nothing of
// this runs per ray or per frame.

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace ORVA_MATH {

// The number of threads a step over work items should use: at most `requested` (0: one per
// hardware thread, at most 64), and one per minItemsPerThread items at least, so small inputs
// stay on one. Results must not depend on it: every parallel step writes what one thread writes.
inline int PartCount(int requested, long long items, long long minItemsPerThread) {
    int threads = requested;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 64);
    const long long byWork = std::max(1LL, items / std::max(1LL, minItemsPerThread));
    return static_cast<int>(std::min<long long>(threads, byWork));
}

// body(part) for part = 0 .. parts - 1, at once; rethrows the first part's exception (by part
// order) after all have ended.
template <class Body>
void RunParts(int parts, Body&& body) {
    if (parts <= 1) {
        body(0);
        return;
    }
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(parts));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(parts - 1));
    auto guarded = [&](int part) {
        try {
            body(part);
        } catch (...) {
            errors[static_cast<std::size_t>(part)] = std::current_exception();
        }
    };
    try {
        for (int part = 1; part < parts; ++part) threads.emplace_back(guarded, part);
    } catch (...) {
        // A thread that cannot be made: its part runs here after part 0.
    }
    guarded(0);
    for (int part = static_cast<int>(threads.size()) + 1; part < parts; ++part) guarded(part);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// [begin, end) of part `part` when count items are split into parts nearly equal ranges.
inline long long PartBegin(long long count, int parts, int part) { return count * part / parts; }

}  // namespace ORVA_MATH
