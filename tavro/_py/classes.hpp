// Plain Python classes made of C++ functions: built with
// type(name, bases, namespace), so instances keep a plain __dict__ and Python
// subclasses override methods as with any class (a pybind11 class_ would add
// a base of its own and a different attribute model).
#pragma once

#include "tavro/_py/py.hpp"

namespace tavro::py {

class ClassBuilder {
public:
    // `module` is the defining module: it gives the class its __module__ and
    // scopes the functions. An empty `doc` leaves the class without docstring.
    ClassBuilder(handle module, const char* name, const std::string& doc = {}) : module_(module), name_(name) {
        ns_["__module__"] = module.attr("__name__");
        ns_["__qualname__"] = text(name);
        if (!doc.empty()) ns_["__doc__"] = text(doc);
    }

    // A method as a `def` in the class body binds it: the function gets the
    // instance as its first argument, so `signature` starts with "(self".
    template <class F, class... Extra>
    ClassBuilder& method(const char* name, const char* signature, const std::string& doc, F&& f,
                         const Extra&... extra) {
        if (std::string_view(name) != "__init__") {
            object fn = function(module_, name, signature, doc, std::forward<F>(f), extra...);
            return add(name, wrap(PyInstanceMethod_New(fn.ptr())));
        }
        // pybind11 reserves the name __init__ for its own instances, so the
        // initialiser is a plain builtin named __init__ that forwards to it.
        object fn = function(module_, "_init", signature, doc, std::forward<F>(f), extra...);
        return add(name, wrap(PyInstanceMethod_New(initializer(signature, doc, fn).ptr())));
    }

    template <class F, class... Extra>
    ClassBuilder& static_method(const char* name, const char* signature, const std::string& doc, F&& f,
                                const Extra&... extra) {
        object fn = function(module_, name, signature, doc, std::forward<F>(f), extra...);
        return add(name, wrap(PyStaticMethod_New(fn.ptr())));
    }

    ClassBuilder& add(const char* name, object value) {
        ns_[name] = std::move(value);
        return *this;
    }

    // type(name, bases, namespace); members keep the order they were added in.
    object build(pyb::tuple bases = pyb::make_tuple(handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))) {
        object type = pyb::reinterpret_borrow<object>(reinterpret_cast<PyObject*>(&PyType_Type));
        return type(text(name_), bases, ns_);
    }

private:
    static PyObject* forward(PyObject* target, PyObject* args, PyObject* kwargs) {
        return PyObject_Call(target, args, kwargs);
    }

    // A builtin __init__ with the given signature and doc that calls `target`.
    // Its method table entry lives as long as the process, like the module.
    object initializer(const char* signature, const std::string& doc, handle target) {
        auto* doc_text = new std::string("__init__" + std::string(signature) + "\n--\n\n" + doc);
        auto* def = new PyMethodDef{"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward)),
                                    METH_VARARGS | METH_KEYWORDS, doc_text->c_str()};
        return wrap(PyCFunction_NewEx(def, target.ptr(), module_.attr("__name__").ptr()));
    }

    static object wrap(PyObject* made) {
        if (!made) throw pyb::error_already_set();
        return pyb::reinterpret_steal<object>(made);
    }

    handle module_;
    const char* name_;
    pyb::dict ns_;
};

}  // namespace tavro::py
