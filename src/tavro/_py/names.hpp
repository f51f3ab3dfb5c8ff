// Fast paths for calls made on every invocation: attribute and keyword names
// interned once and kept for the life of the process, attribute look-ups with
// those objects (same semantics as getattr, so a rebinding is seen at the next
// look-up), and vectorcall with pre-built keyword-name tuples.
#pragma once

#include "tavro/_py/py.hpp"

#include <cstddef>
#include <vector>

namespace tavro::py {

// An attribute or keyword name, interned on first use and never released.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    PyObject* get() const {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw pyb::error_already_set();
        }
        return obj_;
    }
    handle obj() const { return get(); }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

// A tuple of interned keyword names for vectorcall, built once.
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names) : names_(names) {}
    PyObject* get() const {
        if (!tuple_) {
            PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names_.size()));
            if (!t) throw pyb::error_already_set();
            Py_ssize_t i = 0;
            for (const char* n : names_) {
                PyObject* s = PyUnicode_InternFromString(n);
                if (!s) {
                    Py_DECREF(t);
                    throw pyb::error_already_set();
                }
                PyTuple_SET_ITEM(t, i++, s);
            }
            tuple_ = t;
        }
        return tuple_;
    }
    std::size_t size() const { return names_.size(); }

private:
    std::vector<const char*> names_;
    mutable PyObject* tuple_ = nullptr;
};

// getattr(obj, name)
inline object getattr(handle obj, const Name& name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.get());
    if (!value) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(value);
}

namespace detail {

constexpr std::size_t kMaxCallArgs = 15;

// stack[0] is a free slot in front of the arguments (ARGUMENTS_OFFSET).
inline std::size_t fill(PyObject** stack, std::size_t first, std::initializer_list<handle> args) {
    if (first + args.size() > kMaxCallArgs) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a fixed call");
        throw pyb::error_already_set();
    }
    std::size_t n = first;
    for (handle a : args) stack[1 + n++] = a.ptr();
    return n;
}

inline std::size_t positional(std::size_t n, const KwNames* kw) {
    return (n - (kw ? kw->size() : 0)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
}

inline object result(PyObject* r) {
    if (!r) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(r);
}

}  // namespace detail

// fn(*positional, **dict(zip(kw, keyword values))): `args` holds the
// positional arguments followed by one value per name of `kw`.
inline object call(handle fn, std::initializer_list<handle> args, const KwNames* kw = nullptr) {
    PyObject* stack[detail::kMaxCallArgs + 1];
    std::size_t n = detail::fill(stack, 0, args);
    return detail::result(
        PyObject_Vectorcall(fn.ptr(), stack + 1, detail::positional(n, kw), kw ? kw->get() : nullptr));
}

// obj.name(*args, ...) with the same argument layout as call(); the method is
// looked up as getattr would, without creating a bound method.
inline object call_method(handle obj, const Name& name, std::initializer_list<handle> args,
                          const KwNames* kw = nullptr) {
    PyObject* stack[detail::kMaxCallArgs + 1];
    stack[1] = obj.ptr();
    std::size_t n = detail::fill(stack, 1, args);
    return detail::result(
        PyObject_VectorcallMethod(name.get(), stack + 1, detail::positional(n, kw), kw ? kw->get() : nullptr));
}

}  // namespace tavro::py
