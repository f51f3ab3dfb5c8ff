// Binding helpers shared by every extension module of the package: the host's
// argument checks and messages, exception raising and chaining, attribute
// look-ups with Python's semantics, calls through module attributes, and
// function objects that carry a Python signature.
//
// House rules (see docs/bindings.md):
//  * raise only through raise_* below; after a failed C-API call throw
//    pybind11::error_already_set();
//  * never throw pybind11's builtin exceptions (cast_error, type_error, ...):
//    guards catch error_already_set only;
//  * never use pybind11's hasattr / getattr-with-default (they swallow every
//    error); use hasattr / getattr_opt below, which treat only AttributeError
//    as absence, as Python does.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A module whose loading fails (a sibling import that raises, ...) fails with
// that error itself, as a Python module would, instead of pybind11's
// ImportError("initialization failed") wrapped around it.
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#if PYBIND11_VERSION_MAJOR >= 3
#define PYBIND11_CATCH_INIT_EXCEPTIONS                                  \
    catch (pybind11::error_already_set & e) { e.restore(); }            \
    catch (const std::exception& e) { PyErr_SetString(PyExc_ImportError, e.what()); }
#else
#define PYBIND11_CATCH_INIT_EXCEPTIONS                                  \
    catch (pybind11::error_already_set & e) {                           \
        e.restore();                                                    \
        return nullptr;                                                 \
    }                                                                   \
    catch (const std::exception& e) {                                   \
        PyErr_SetString(PyExc_ImportError, e.what());                   \
        return nullptr;                                                 \
    }
#endif

namespace tavro::py {

namespace pyb = pybind11;
using pyb::handle;
using pyb::object;

// ---- argument and result checks ------------------------------------------

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
// unless `value` is exactly of `type` (subclasses rejected; None accepted when
// `none_ok`).
void expect_type(handle value, PyTypeObject* type, const char* name, bool none_ok = false);

inline void expect_str(handle v, const char* name) { expect_type(v, &PyUnicode_Type, name); }
inline void expect_optional_str(handle v, const char* name) { expect_type(v, &PyUnicode_Type, name, true); }
inline void expect_int(handle v, const char* name) { expect_type(v, &PyLong_Type, name); }
inline void expect_optional_int(handle v, const char* name) { expect_type(v, &PyLong_Type, name, true); }
inline void expect_float(handle v, const char* name) { expect_type(v, &PyFloat_Type, name); }
inline void expect_optional_float(handle v, const char* name) { expect_type(v, &PyFloat_Type, name, true); }
inline void expect_list(handle v, const char* name) { expect_type(v, &PyList_Type, name); }
inline void expect_optional_list(handle v, const char* name) { expect_type(v, &PyList_Type, name, true); }
inline void expect_dict(handle v, const char* name) { expect_type(v, &PyDict_Type, name); }
inline void expect_optional_dict(handle v, const char* name) { expect_type(v, &PyDict_Type, name, true); }

// TypeError "Expected %s, got %.200s" for a typed result or local that holds
// something else. A typed local may hold None unless `none_ok` is false.
void expect_value(handle value, PyTypeObject* type, bool none_ok = true);

// ---- raising ----------------------------------------------------------------

// `type` is an exception class (PyExc_RuntimeError, ...); `msg` a str object or text.
[[noreturn]] void raise(handle type, handle msg);
[[noreturn]] void raise(handle type, std::string_view msg);
// `raise type(msg) from cause`: sets __cause__ and __context__.
[[noreturn]] void raise_from(handle type, handle msg, handle cause);
[[noreturn]] void raise_from(handle type, std::string_view msg, handle cause);
// A new error raised while `context` is being handled: sets only __context__.
[[noreturn]] void raise_in_handler(handle type, handle msg, handle context);
[[noreturn]] void raise_in_handler(handle type, std::string_view msg, handle context);
// Re-raise an existing exception object unchanged.
[[noreturn]] void raise_object(handle exc);

// An exception of the `Exception` family (KeyboardInterrupt, SystemExit and
// other BaseException-only errors are not ordinary and pass every guard).
bool is_ordinary(const pyb::error_already_set& e);

// try { body() } except Exception as e: handler(e)
// Anything that is not an ordinary Python error propagates unchanged.
template <class Body, class Handler>
auto guard(Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (pyb::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return handler(e);
    }
}

// Runs body() as the body of `except ... as exc:` runs: errors raised in it
// take `exc` as their implicit __context__, wherever in Python they arise.
class Handling {
public:
    explicit Handling(handle exc) {
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        PyObject* tb = PyException_GetTraceback(exc.ptr());  // new reference (or NULL)
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
        Py_INCREF(t);
        PyErr_SetExcInfo(t, exc.inc_ref().ptr(), tb);
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* trace_ = nullptr;
};

template <class Body>
auto while_handling(handle exc, Body&& body) -> decltype(body()) {
    Handling scope(exc);
    return body();
}

// One level of a native recursion over Python objects, counted against the
// interpreter's recursion limit as a Python call is: RecursionError
// "maximum recursion depth exceeded" + `where` instead of a native stack
// overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw pyb::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---- objects ----------------------------------------------------------------

// getattr(obj, name) where only AttributeError counts as absence.
std::optional<object> getattr_opt(handle obj, const char* name);
// getattr(obj, name, fallback) with the same semantics.
object getattr_or(handle obj, const char* name, handle fallback);
// hasattr(obj, name): only AttributeError means False.
bool hasattr(handle obj, const char* name);
// bool(obj); raises what __bool__/__len__ raise.
bool truthy(handle obj);
// str(obj) / repr(obj), as str objects.
object py_str(handle obj);
object py_repr(handle obj);
// A str object from UTF-8 text.
object text(std::string_view utf8);
// UTF-8 of a str object; lone surrogates are kept via surrogatepass, so
// text(as_utf8(s)) may not round-trip them: keep such values as objects.
std::string as_utf8(handle str);
// "".join(parts) over str objects.
object concat(std::initializer_list<handle> parts);
object concat(const std::vector<object>& parts);
// Python's `a == b`.
bool equal(handle a, handle b);
// type(obj).__name__
object type_name(handle obj);

// `first, second = value`, with the interpreter's unpacking errors.
std::pair<object, object> unpack_pair(handle value);

// `from <module> import <name>` semantics (ImportError "cannot import name ...").
object import_from(const char* module, const char* name);
object import_module(const char* module);

// ---- functions with Python signatures --------------------------------------

// A builtin function whose __text_signature__ is `signature` (for example
// "(path, max_chars=2147483647)") and whose __doc__ is exactly `doc`
// (None when empty). Pybind11's generated signatures are turned off.
template <class F, class... Extra>
object function(handle scope, const char* name, const char* signature, const std::string& doc, F&& f,
                const Extra&... extra) {
    pyb::options options;
    options.disable_function_signatures();
    std::string full = std::string(name) + signature + "\n--\n\n" + doc;
    return pyb::cpp_function(std::forward<F>(f), pyb::name(name), pyb::scope(scope),
                             pyb::sibling(pyb::none()), full.c_str(), extra...);
}

// A plain Python function named `name` with parameters `params`, the last
// ones defaulting to `defaults`, that passes every argument positionally to
// `impl`. For signatures with defaults that are not literals (an enum
// member, say), which a builtin's text signature cannot express:
// inspect.signature then shows the real load-time objects.
object python_face(handle impl, const char* name, const std::vector<std::string>& params, pyb::tuple defaults,
                   const std::string& doc, handle module_name);

// The module object of an extension, kept for calls through its attributes
// (rule: every call between documented functions goes through the module).
class Home {
public:
    void set(handle module) {
        module.inc_ref();  // modules live until interpreter exit
        module_ = module;
    }
    handle module() const { return module_; }
    object attr(const char* name) const { return module_.attr(name); }

private:
    handle module_;
};

// Attributes created by a module's parts, bound in the documented order.
class Registry {
public:
    void add(std::string name, object value) { entries_.emplace_back(std::move(name), std::move(value)); }
    // Sets the registered attributes named in `order`, in that order. When
    // `strict`, a registered name missing from `order` is a programming error
    // (ImportError at load); names of `order` not registered are skipped.
    void bind_in_order(handle module, std::initializer_list<const char*> order, bool strict = true);

private:
    std::vector<std::pair<std::string, object>> entries_;
};

}  // namespace tavro::py
