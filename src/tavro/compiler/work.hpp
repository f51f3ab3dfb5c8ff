// Bounds on the work of one compile or instantiation: a count of steps (loop
// iterations and filter tests of foralls, sums and aggregates, linear terms,
// dexpr expansions, columns and element names) with a limit, a deadline, a
// cancel flag any thread may set, and a poll for interrupts. Every engine of
// one program (grounding and each data-only evaluation) counts into the same
// Work; the counter is checked every kCheckEvery steps, so a step costs one
// add and one compare.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace tavro::kelm {

// About seven times what a 2000 x 2000 transportation model takes (2.8e7
// steps), a few seconds of work; past it a model is almost always a slip (a
// product of large sets, a filter that keeps nothing) or needs a raised limit.
constexpr std::int64_t kDefaultWorkLimit = 200'000'000;

struct Limits {
    std::int64_t work = kDefaultWorkLimit;      // steps before a located error
    double deadline = 0;                        // steady_clock seconds (Python's time.monotonic()); 0: none
    const std::atomic<bool>* cancel = nullptr;  // stops the work once set, from any thread
    std::function<bool()> interrupted;          // polled at checks; true stops (a pending Ctrl-C)
};

// Why work stopped early.
enum class StopReason : std::uint8_t { None, Work, Deadline, Cancelled, Interrupted };

class Work {
public:
    static constexpr std::int64_t kCheckEvery = 1 << 16;

    Limits limits;
    std::int64_t done = 0;  // steps so far
    std::int64_t next = 0;  // the count at which check() runs next (the first step checks)
    StopReason stopped = StopReason::None;
    std::string note;  // the located line that says where and why work stopped

    // Runs when done >= next: StopReason::None to go on (and moves next), else why
    // to stop (also kept in `stopped`). `until` is an earlier point the caller
    // wants to be called back at (a budget of its own), or -1.
    StopReason check(std::int64_t until = -1);
};

}  // namespace tavro::kelm
