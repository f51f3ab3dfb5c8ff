// Plain Python classes made of C++ functions: built with
// type(name, bases, namespace), so instances keep a plain __dict__ and Python
// subclasses override methods as with any class (a pybind11 class_ would add
// a base of its own and a different attribute model).
#pragma once

#include <vector>

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
    // instance as its first argument, so `sig` starts with "self".
    template <class F>
    ClassBuilder& method(const char* name, const Signature& sig, const std::string& doc, F&& f) {
        if (std::string_view(name) != "__init__") {
            object fn = function(module_, name, sig, doc, std::forward<F>(f));
            return add(name, wrap(PyInstanceMethod_New(fn.ptr())));
        }
        // pybind11 reserves the name __init__ for its own instances, so the
        // native part is named _init and the class gets a Python face.
        object fn = function(module_, "_init", sig, doc, std::forward<F>(f));
        return add(name, python_def(name, sig, doc, fn));
    }

    template <class F>
    ClassBuilder& static_method(const char* name, const Signature& sig, const std::string& doc, F&& f) {
        object fn = function(module_, name, sig, doc, std::forward<F>(f));
        // inspect.signature(cls) only reads a constructor that is a Python function.
        object made = std::string_view(name) == "__new__" ? python_def(name, sig, doc, fn) : fn;
        return add(name, wrap(PyStaticMethod_New(made.ptr())));
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
    // `def name<sig>: return target(<every parameter>)` through python_face.
    object python_def(const char* name, const Signature& sig, const std::string& doc, handle target) {
        object fn = python_face(target, name, sig.names(), sig.defaults(), doc, module_.attr("__name__"));
        fn.attr("__qualname__") = text(std::string(name_) + "." + name);
        return fn;
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
