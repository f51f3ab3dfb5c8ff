// Keyword arguments to Limits, the cancel token, and Ctrl-C while the
// compiler runs without the GIL (see limits.hpp).
#include "tavro/_kelm/limits.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "tavro/_py/classes.hpp"

namespace tavro::kelm_py {

namespace {

namespace pyb = pybind11;
using pyb::handle;

// Signals are looked at every this many seconds at most: each look takes the GIL.
constexpr double kPollSeconds = 0.05;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

bool is_int(handle v) { return PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()); }

constexpr const char* kFlagName = "tavro._kelm.CancelToken flag";
pyb::handle token_class;  // set at load; lives as long as the module

// The token's flag; TypeError unless `token` is a CancelToken.
std::atomic<bool>* flag_of(handle token, pyb::object* keep = nullptr) {
    if (token_class && PyObject_IsInstance(token.ptr(), token_class.ptr()) == 1) {
        if (auto flag = py::getattr_opt(token, "_flag"); flag && PyCapsule_IsValid(flag->ptr(), kFlagName)) {
            auto* p = static_cast<std::atomic<bool>*>(PyCapsule_GetPointer(flag->ptr(), kFlagName));
            if (keep) *keep = *flag;
            return p;
        }
    }
    if (PyErr_Occurred()) throw pyb::error_already_set();
    py::raise(PyExc_TypeError,
              py::format("Argument 'cancel' has incorrect type (expected CancelToken or threading.Event, got %s)",
                         Py_TYPE(token.ptr())->tp_name));
}

void token_init(handle self) {
    auto* flag = new std::atomic<bool>(false);
    pyb::capsule capsule(flag, kFlagName, [](PyObject* c) {
        delete static_cast<std::atomic<bool>*>(PyCapsule_GetPointer(c, kFlagName));
    });
    self.attr("_flag") = capsule;
}

}  // namespace

void bind_cancel_token(pyb::module_& m) {
    py::ClassBuilder cls(m, "CancelToken",
                         "A flag that stops every compile and grounding given it (cancel=token), on any thread: the\n"
                         "call raises KeyboardInterrupt at its next check. Set it with cancel(); it stays set.");
    cls.method("__init__", {"self"}, "A token not yet cancelled.", [](pyb::object self) { token_init(self); });
    cls.method("cancel", {"self"}, "Stop the work of every call given this token.",
               [](pyb::object self) { flag_of(self)->store(true); });
    pyb::object is_set = py::function(m, "cancelled", py::Signature{"self"}, "True once cancel() was called.",
                                      [](pyb::object self) { return flag_of(self)->load(); });
    cls.add("cancelled", pyb::module_::import("builtins").attr("property")(is_set));
    pyb::object made = cls.build();
    token_class = made.inc_ref();
    m.attr("CancelToken") = made;
}

CallLimits::CallLimits(handle work_limit, handle deadline, handle cancel) {
    if (!work_limit.is_none()) {
        py::expect_int(work_limit, "work_limit");
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(work_limit.ptr(), &overflow);
        if (n == -1 && !overflow && PyErr_Occurred()) throw pyb::error_already_set();
        if (overflow < 0 || (!overflow && n < 1))
            py::raise(PyExc_ValueError, py::format("work_limit must be a positive int, not %S", work_limit));
        limits_.work = overflow ? std::numeric_limits<std::int64_t>::max() : n;
    }
    if (!deadline.is_none()) {
        if (!PyFloat_CheckExact(deadline.ptr()) && !is_int(deadline))
            py::raise(PyExc_TypeError, py::format("Argument 'deadline' has incorrect type (expected float, got %s)",
                                                  Py_TYPE(deadline.ptr())->tp_name));
        double at = PyFloat_AsDouble(deadline.ptr());
        if (at == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
        if (std::isnan(at)) py::raise(PyExc_ValueError, "deadline must be a time.monotonic() value, not nan");
        // 0 means none to the compiler: a deadline at or before 0 is long past.
        limits_.deadline = at > 0 ? at : std::numeric_limits<double>::min();
    }
    pyb::object threading = pyb::module_::import("threading");
    if (!cancel.is_none()) {
        int is_event = PyObject_IsInstance(cancel.ptr(), threading.attr("Event").ptr());
        if (is_event < 0) throw pyb::error_already_set();
        if (is_event)
            event_ = pyb::reinterpret_borrow<pyb::object>(cancel);
        else
            limits_.cancel = flag_of(cancel, &flag_);
    }
    // Python runs signal handlers on the main thread only: elsewhere a
    // Ctrl-C reaches the work through a cancel token or event.
    main_thread_ = PyThread_get_thread_ident() == threading.attr("main_thread")().attr("ident").cast<unsigned long>();
    if (main_thread_ || event_) limits_.interrupted = [this] { return poll(); };
}

// Runs without the GIL, on the thread that released it.
bool CallLimits::poll() {
    double t = now();
    if (t < next_poll_) return false;
    next_poll_ = t + kPollSeconds;
    pyb::gil_scoped_acquire gil;
    try {
        if (main_thread_ && PyErr_CheckSignals() != 0) throw pyb::error_already_set();
        return event_ && py::truthy(event_.attr("is_set")());
    } catch (pyb::error_already_set& e) {
        pending_.emplace(std::move(e));  // what a signal handler (or is_set) raised
        return true;
    }
}

void CallLimits::raise_stop(kelm::StopReason stopped, handle message) {
    switch (stopped) {
        case kelm::StopReason::Interrupted:
            if (pending_) throw pyb::error_already_set(*pending_);
            [[fallthrough]];
        case kelm::StopReason::Cancelled: py::raise(PyExc_KeyboardInterrupt, message);
        case kelm::StopReason::Deadline: py::raise(PyExc_TimeoutError, message);
        default: return;
    }
}

}  // namespace tavro::kelm_py
