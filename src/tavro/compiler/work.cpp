// The work counter's periodic check: the limit, the cancel flag, the
// deadline and the caller's interrupt poll, in that order.
#include "tavro/compiler/work.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

namespace tavro::kelm {

StopReason Work::check(std::int64_t until) {
    if (stopped != StopReason::None) return stopped;
    if (done > limits.work)
        stopped = StopReason::Work;
    else if (limits.cancel && limits.cancel->load(std::memory_order_relaxed))
        stopped = StopReason::Cancelled;
    else if (limits.deadline > 0 &&
             std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count() >=
                 limits.deadline)
        stopped = StopReason::Deadline;
    else if (limits.interrupted && limits.interrupted())
        stopped = StopReason::Interrupted;
    if (stopped != StopReason::None) return stopped;
    // The limit itself is a point to stop at: the step past it is reported.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t at = limits.work < kMax - kCheckEvery ? limits.work + 1 : kMax;
    next = std::min(done + kCheckEvery, at);
    if (until > done) next = std::min(next, until);
    return StopReason::None;
}

}  // namespace tavro::kelm
