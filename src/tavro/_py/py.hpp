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
#include <type_traits>
#include <utility>
#include <vector>

// A module whose loading fails (a sibling import that raises, ...) fails with
// that error itself, as a Python module would, instead of pybind11's
// ImportError("initialization failed") wrapped around it.
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#if PYBIND11_VERSION_MAJOR >= 3
#define PYBIND11_CATCH_INIT_EXCEPTIONS                \
    catch (pybind11::error_already_set & e) {         \
        e.restore();                                  \
    }                                                 \
    catch (const std::exception& e) {                 \
        PyErr_SetString(PyExc_ImportError, e.what()); \
    }
#else
#define PYBIND11_CATCH_INIT_EXCEPTIONS                \
    catch (pybind11::error_already_set & e) {         \
        e.restore();                                  \
        return nullptr;                               \
    }                                                 \
    catch (const std::exception& e) {                 \
        PyErr_SetString(PyExc_ImportError, e.what()); \
        return nullptr;                               \
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
    explicit Handling(const pyb::error_already_set& e) : Handling(e.value()) {}
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
// A new reference returned by the C API as an object; NULL means the call
// failed with an exception set.
object steal(PyObject* result);
// `item in container`.
bool contains(handle container, handle item);

// PyUnicode_FromFormat over str objects and C values: %U takes a str object
// unchanged (lone surrogates included), %S str(obj), %R repr(obj), %s UTF-8
// text, %d/%zd/%lld integers. A message reads like the f-string it mirrors:
//     format("Unsupported LLM provider: %S", provider)
// `fmt` itself is ASCII (SystemError otherwise): other text goes in by %s.
void expect_ascii_format(const char* fmt);
inline PyObject* format_arg(handle h) { return h.ptr(); }
inline const char* format_arg(const char* s) { return s; }
inline const char* format_arg(const std::string& s) { return s.c_str(); }
inline int format_arg(int v) { return v; }
inline Py_ssize_t format_arg(Py_ssize_t v) { return v; }
inline long long format_arg(long long v) { return v; }
template <class... Args>
object format(const char* fmt, const Args&... args) {
    expect_ascii_format(fmt);
    return steal(PyUnicode_FromFormat(fmt, format_arg(args)...));
}

// `with manager as entered: return body(entered)`: exceptions of every kind
// reach __exit__; a true result suppresses them and gives None.
template <class Body>
object with(handle manager, Body&& body) {
    object exit = manager.attr("__exit__");
    object entered = manager.attr("__enter__")();
    object result;
    try {
        result = body(entered);
    } catch (pyb::error_already_set& e) {
        if (!truthy(exit(e.type(), e.value(), e.trace()))) throw;
        return pyb::none();
    }
    exit(pyb::none(), pyb::none(), pyb::none());
    return result;
}

// `from module import name`, where a failing import becomes
// RuntimeError(message) raised from it (an optional dependency's guard).
object import_required(const char* module, const char* name, const char* message);
// The same for `import module`.
object import_module_required(const char* module, const char* message);

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

// One parameter of a Python signature: its name and, for the trailing ones,
// the default value (a load-time object).
struct Param {
    Param(const char* name) : name(name) {}  // NOLINT: a bare name reads as in Python
    Param(const char* name, object value) : name(name), value(std::move(value)) {}
    const char* name;
    object value;  // null: no default
};

// A function's parameters, declared once: the text signature, pybind11's
// argument list and the defaults of a Python face all come from it.
//     Signature{"model_name", "input_text", {"max_tokens", pyb::none()}}
// A function without parameters is declared with Signature{}.
class Signature {
public:
    Signature(std::initializer_list<Param> params) : params_(params) {}
    explicit Signature(std::vector<Param> params) : params_(std::move(params)) {}
    // "(a, b=None)", each default shown by its repr().
    std::string text() const;
    std::vector<std::string> names() const;
    pyb::tuple defaults() const;
    // The same names without defaults.
    Signature required() const;
    const std::vector<Param>& params() const { return params_; }

private:
    std::vector<Param> params_;
};

// A builtin function whose __text_signature__ is `signature` (for example
// "(path, max_chars=2147483647)") and whose __doc__ is exactly `doc`
// (None when empty). Pybind11's generated signatures are turned off.
// (`Text` is deduced, so a braced list never chooses this overload.)
template <class Text, class F, class... Extra,
          std::enable_if_t<std::is_convertible_v<const Text&, const char*>, int> = 0>
object function(handle scope, const char* name, const Text& signature, const std::string& doc, F&& f,
                const Extra&... extra) {
    pyb::options options;
    options.disable_function_signatures();
    std::string full = std::string(name) + signature + "\n--\n\n" + doc;
    return pyb::cpp_function(std::forward<F>(f), pyb::name(name), pyb::scope(scope), pyb::sibling(pyb::none()),
                             full.c_str(), extra...);
}

// The same, with the text signature and the argument list made from `sig`.
template <class F>
object function(handle scope, const char* name, const Signature& sig, const std::string& doc, F&& f) {
    return function(scope, name, sig.text().c_str(), doc, std::forward<F>(f), sig);
}

// A plain Python function named `name` with parameters `params`, the last
// ones defaulting to `defaults`, that passes every argument positionally to
// `impl`. For signatures with defaults that are not literals (an enum
// member, say), which a builtin's text signature cannot express:
// inspect.signature then shows the real load-time objects.
object python_face(handle impl, const char* name, const std::vector<std::string>& params, pyb::tuple defaults,
                   const std::string& doc, handle module_name);

// A plain Python function with the signature `sig` (python_face) over a
// builtin `_<name>` that takes every parameter without default.
template <class F>
object python_function(handle scope, const char* name, const Signature& sig, const std::string& doc, F&& f) {
    std::string impl_name = std::string("_") + name;
    object impl = function(scope, impl_name.c_str(), sig.required(), "", std::forward<F>(f));
    return python_face(impl, name, sig.names(), sig.defaults(), doc, scope.attr("__name__"));
}

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

namespace pybind11::detail {

// A Signature given to cpp_function names its arguments and their defaults;
// one that does not match the C++ function's arity fails the module's load.
template <>
struct process_attribute<tavro::py::Signature> : process_attribute_default<tavro::py::Signature> {
    static void init(const tavro::py::Signature& sig, function_record* r) {
        if (sig.params().size() != r->nargs_pos) {
            pybind11_fail(std::string(r->name ? r->name : "function") + ": the signature names " +
                          std::to_string(sig.params().size()) + " parameters, the function takes " +
                          std::to_string(r->nargs_pos));
        }
        for (const tavro::py::Param& p : sig.params()) {
            if (p.value) {
                process_attribute<arg_v>::init(arg(p.name) = p.value, r);
            } else {
                process_attribute<arg>::init(arg(p.name), r);
            }
        }
    }
};

}  // namespace pybind11::detail
