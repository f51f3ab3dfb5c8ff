// Builtin functions for small, hot entry points (a reply parsed per LLM call):
// called by vectorcall with the arguments bound here, not through pybind11's
// dispatcher, whose overload machinery costs more than such a function's work.
// The function object is what py::function makes: a builtin with the given
// __text_signature__ and __doc__, __module__ the scope's name.
#pragma once

#include "tavro/_py/py.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace tavro::py {

// Receives one argument per parameter, in parameter order.
using FastImpl = object (*)(PyObject* const* args);

namespace detail {

struct FastFunction {
    std::string name;
    std::vector<PyObject*> params;  // interned names
    std::string doc;                // "name(signature)\n--\n\n" + doc
    FastImpl impl;
    PyMethodDef def;
};

constexpr std::size_t kMaxFastParams = 16;

inline PyObject* fast_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto* f = static_cast<FastFunction*>(PyCapsule_GetPointer(self, nullptr));
    if (!f) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(f->params.size());
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    const char* name = f->name.c_str();
    if (npos > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name, n, npos);
        return nullptr;
    }
    PyObject* slots[kMaxFastParams] = {};
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t at = -1;
        for (Py_ssize_t i = 0; i < n && at < 0; ++i)
            if (key == f->params[i]) at = i;
        for (Py_ssize_t i = 0; i < n && at < 0; ++i) {
            int eq = PyObject_RichCompareBool(key, f->params[i], Py_EQ);
            if (eq < 0) return nullptr;
            if (eq) at = i;
        }
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", name, key);
            return nullptr;
        }
        if (slots[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", name, key);
            return nullptr;
        }
        slots[at] = args[npos + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%S' (pos %zd)", name, f->params[i], i + 1);
            return nullptr;
        }
    }
    try {
        return f->impl(slots).release().ptr();
    } catch (pyb::error_already_set& e) {
        e.restore();
    } catch (const pyb::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

}  // namespace detail

// A builtin function `name` of the positional-or-keyword parameters `params`
// (no defaults), all required. `signature` is the __text_signature__ text,
// for example "(text)"; `doc` the exact __doc__ (None when empty).
inline object fast_function(handle scope, const char* name, const char* signature,
                            const std::vector<const char*>& params, const std::string& doc, FastImpl impl) {
    if (params.size() > detail::kMaxFastParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a fast function");
        throw pyb::error_already_set();
    }
    auto* f = new detail::FastFunction{name, {}, std::string(name) + signature + "\n--\n\n" + doc, impl, {}};
    for (const char* p : params) {
        PyObject* s = PyUnicode_InternFromString(p);
        if (!s) throw pyb::error_already_set();
        f->params.push_back(s);
    }
    f->def.ml_name = f->name.c_str();
    f->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::fast_trampoline));
    f->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    f->def.ml_doc = f->doc.c_str();
    // Functions live as long as their module: the capsule owns nothing.
    object self = pyb::reinterpret_steal<object>(PyCapsule_New(f, nullptr, nullptr));
    if (!self) throw pyb::error_already_set();
    object module_name = scope.attr("__name__");
    PyObject* fn = PyCFunction_NewEx(&f->def, self.ptr(), module_name.ptr());
    if (!fn) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(fn);
}

// The same from a declared signature (no defaults: every parameter required).
inline object fast_function(handle scope, const char* name, const Signature& sig, const std::string& doc,
                            FastImpl impl) {
    std::vector<std::string> names = sig.names();
    std::vector<const char*> params;
    for (auto& n : names) params.push_back(n.c_str());
    return fast_function(scope, name, sig.text().c_str(), params, doc, impl);
}

// python_function with a fast builtin `_<name>` behind the Python face: the
// face binds the defaults, the builtin receives every argument.
inline object fast_python_function(handle scope, const char* name, const Signature& sig, const std::string& doc,
                                   FastImpl impl) {
    std::string impl_name = std::string("_") + name;
    object fast = fast_function(scope, impl_name.c_str(), sig.required(), "", impl);
    return python_face(fast, name, sig.names(), sig.defaults(), doc, scope.attr("__name__"));
}

}  // namespace tavro::py
