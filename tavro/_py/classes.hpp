// Plain Python classes made of C++ functions: built with
// type(name, bases, namespace), so instances keep a plain __dict__ and Python
// subclasses override methods as with any class (a pybind11 class_ would add
// a base of its own and a different attribute model).
#pragma once

#include <algorithm>
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
    // instance as its first argument, so `signature` starts with "(self".
    template <class F, class... Extra>
    ClassBuilder& method(const char* name, const char* signature, const std::string& doc, F&& f,
                         const Extra&... extra) {
        if (std::string_view(name) != "__init__") {
            object fn = function(module_, name, signature, doc, std::forward<F>(f), extra...);
            return add(name, wrap(PyInstanceMethod_New(fn.ptr())));
        }
        // pybind11 reserves the name __init__ for its own instances, so the
        // native part is named _init and the class gets a Python face.
        object fn = function(module_, "_init", signature, doc, std::forward<F>(f), extra...);
        return add(name, python_def(name, signature, doc, fn));
    }

    template <class F, class... Extra>
    ClassBuilder& static_method(const char* name, const char* signature, const std::string& doc, F&& f,
                                const Extra&... extra) {
        object fn = function(module_, name, signature, doc, std::forward<F>(f), extra...);
        // inspect.signature(cls) only reads a constructor that is a Python function.
        object made = std::string_view(name) == "__new__" ? python_def(name, signature, doc, fn) : fn;
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
    // `def name<signature>: return target(<every parameter>)` through
    // python_face; the defaults of `signature` are literals.
    object python_def(const char* name, const char* signature, const std::string& doc, handle target) {
        std::string params(signature);
        params = params.substr(1, params.size() - 2);
        std::vector<std::string> names;
        pyb::list defaults;
        object literal_eval = import_from("ast", "literal_eval");
        auto trim = [](std::string t) {
            t.erase(0, t.find_first_not_of(' '));
            t.erase(t.find_last_not_of(' ') + 1);
            return t;
        };
        for (size_t start = 0; !params.empty() && start <= params.size();) {
            size_t comma = std::min(params.find(',', start), params.size());
            std::string piece = params.substr(start, comma - start);
            size_t eq = piece.find('=');
            names.push_back(trim(piece.substr(0, eq)));
            if (eq != std::string::npos) defaults.append(literal_eval(text(trim(piece.substr(eq + 1)))));
            start = comma + 1;
        }
        object fn = python_face(target, name, names, pyb::tuple(defaults), doc, module_.attr("__name__"));
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
