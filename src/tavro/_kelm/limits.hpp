// The work limits of a compile from Python: the keywords work_limit,
// deadline and cancel read into the compiler's Limits, a CancelToken class
// that any thread may set (a threading.Event, as the solver's requests take,
// does as well), a poll that turns a pending Ctrl-C of the main thread or a
// set Event into a stop, and the exception each kind of stop raises.
#pragma once

#include <optional>

#include "tavro/_py/py.hpp"
#include "tavro/compiler/work.hpp"

namespace tavro::kelm_py {

// tavro._kelm.CancelToken, a plain class: cancel() stops every compile given
// the token, on whichever thread it runs. Its flag is an atomic in a capsule
// (the instance's `_flag`), which the compile reads without the GIL.
void bind_cancel_token(pybind11::module_& m);

// One call's limits. Built with the GIL from the keyword arguments; the
// compile then runs without it, polling interrupts through limits().
class CallLimits {
public:
    CallLimits(pybind11::handle work_limit, pybind11::handle deadline, pybind11::handle cancel);
    CallLimits(const CallLimits&) = delete;
    CallLimits& operator=(const CallLimits&) = delete;

    const kelm::Limits& limits() const { return limits_; }
    // After the compile, with the GIL: raises what a stop other than the work
    // limit means (the Ctrl-C's own exception, KeyboardInterrupt for a cancel,
    // TimeoutError for the deadline); returns for StopReason::None and StopReason::Work.
    void raise_stop(kelm::StopReason stopped, pybind11::handle message);

private:
    bool poll();

    kelm::Limits limits_;
    pybind11::object flag_;   // a CancelToken's capsule, kept alive while the compile reads it
    pybind11::object event_;  // or a threading.Event, polled with the GIL
    bool main_thread_ = false;
    double next_poll_ = 0;
    std::optional<pybind11::error_already_set> pending_;  // what a signal handler raised
};

}  // namespace tavro::kelm_py
