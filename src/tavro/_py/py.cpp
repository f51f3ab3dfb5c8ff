// Binding helpers shared by every extension module (see py.hpp).
#include "tavro/_py/py.hpp"

#include <algorithm>
#include <cstring>

namespace tavro::py {

void expect_type(handle value, PyTypeObject* type, const char* name, bool none_ok) {
    if (Py_IS_TYPE(value.ptr(), type)) return;
    if (none_ok && value.is_none()) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value.ptr())->tp_name);
    throw pyb::error_already_set();
}

void expect_value(handle value, PyTypeObject* type, bool none_ok) {
    if (Py_IS_TYPE(value.ptr(), type)) return;
    if (none_ok && value.is_none()) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value.ptr())->tp_name);
    throw pyb::error_already_set();
}

namespace {

object make_exception(handle type, handle msg) {
    PyObject* exc = PyObject_CallOneArg(type.ptr(), msg.ptr());
    if (!exc) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(exc);
}

// PyErr_Restore does no implicit chaining: the links set by the caller are
// exactly the ones the raise statement being modelled would set.
[[noreturn]] void restore(object exc) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(exc.ptr());
    PyErr_Restore(type, exc.release().ptr(), tb);
    throw pyb::error_already_set();
}

}  // namespace

// A bare raise statement: PyErr_SetObject links the exception the caller is
// handling, if any, as __context__.
void raise(handle type, handle msg) {
    object exc = make_exception(type, msg);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw pyb::error_already_set();
}
void raise(handle type, std::string_view msg) { raise(type, text(msg)); }

void raise_from(handle type, handle msg, handle cause) {
    object exc = make_exception(type, msg);
    PyException_SetCause(exc.ptr(), cause.inc_ref().ptr());  // also sets __suppress_context__
    PyException_SetContext(exc.ptr(), cause.inc_ref().ptr());
    restore(std::move(exc));
}
void raise_from(handle type, std::string_view msg, handle cause) { raise_from(type, text(msg), cause); }

void raise_in_handler(handle type, handle msg, handle context) {
    object exc = make_exception(type, msg);
    PyException_SetContext(exc.ptr(), context.inc_ref().ptr());
    restore(std::move(exc));
}
void raise_in_handler(handle type, std::string_view msg, handle context) { raise_in_handler(type, text(msg), context); }

void raise_object(handle exc) { restore(pyb::reinterpret_borrow<object>(exc)); }

bool is_ordinary(const pyb::error_already_set& e) { return e.matches(PyExc_Exception); }

std::optional<object> getattr_opt(handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return pyb::reinterpret_steal<object>(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return std::nullopt;
    }
    throw pyb::error_already_set();
}

object getattr_or(handle obj, const char* name, handle fallback) {
    if (auto value = getattr_opt(obj, name)) return std::move(*value);
    return pyb::reinterpret_borrow<object>(fallback);
}

bool hasattr(handle obj, const char* name) { return getattr_opt(obj, name).has_value(); }

bool truthy(handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

object py_str(handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (!s) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(s);
}

object py_repr(handle obj) {
    PyObject* s = PyObject_Repr(obj.ptr());
    if (!s) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(s);
}

object text(std::string_view utf8) {
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (!s) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(s);
}

std::string as_utf8(handle str) {
    PyObject* bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw pyb::error_already_set();
    std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

object steal(PyObject* result) {
    if (!result) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(result);
}

bool contains(handle container, handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

object import_required(const char* module, const char* name, const char* message) {
    return guard([&] { return import_from(module, name); },
                 [&](pyb::error_already_set& e) -> object { raise_from(PyExc_RuntimeError, message, e.value()); });
}

object import_module_required(const char* module, const char* message) {
    return guard([&] { return import_module(module); },
                 [&](pyb::error_already_set& e) -> object { raise_from(PyExc_RuntimeError, message, e.value()); });
}

void expect_ascii_format(const char* fmt) {
    for (const char* c = fmt; *c; ++c) {
        if (static_cast<unsigned char>(*c) >= 0x80) raise(PyExc_SystemError, std::string("non-ASCII format: ") + fmt);
    }
}

object concat(std::initializer_list<handle> parts) {
    pyb::list items;
    for (handle p : parts) items.append(p);
    PyObject* joined = PyUnicode_Join(text("").ptr(), items.ptr());
    if (!joined) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(joined);
}

object concat(const std::vector<object>& parts) {
    pyb::list items;
    for (const object& p : parts) items.append(p);
    PyObject* joined = PyUnicode_Join(text("").ptr(), items.ptr());
    if (!joined) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(joined);
}

bool equal(handle a, handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw pyb::error_already_set();
    return r == 1;
}

object type_name(handle obj) {
    return pyb::reinterpret_borrow<object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__");
}

object import_module(const char* module) {
    PyObject* m = PyImport_ImportModule(module);
    if (!m) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(m);
}

object import_from(const char* module, const char* name) {
    // The IMPORT_NAME + IMPORT_FROM pair of `from module import name`.
    pyb::tuple fromlist = pyb::make_tuple(text(name));
    PyObject* m = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!m) throw pyb::error_already_set();
    object top = pyb::reinterpret_steal<object>(m);
    if (auto value = getattr_opt(top, name)) return std::move(*value);
    // A submodule that is imported but not yet an attribute of its package.
    std::string full = std::string(module) + "." + name;
    if (PyObject* sub = PyImport_GetModule(text(full).ptr())) return pyb::reinterpret_steal<object>(sub);
    if (PyErr_Occurred()) throw pyb::error_already_set();
    object path = getattr_or(top, "__file__", pyb::none());
    object mod_name = getattr_or(top, "__name__", text(module));
    object msg;
    if (path.is_none()) {
        msg = pyb::str("cannot import name {!r} from {!r} (unknown location)").format(text(name), mod_name);
    } else {
        msg = pyb::str("cannot import name {!r} from {!r} ({})").format(text(name), mod_name, path);
    }
    object exc =
        pyb::reinterpret_borrow<object>(PyExc_ImportError)(msg, pyb::arg("name") = mod_name, pyb::arg("path") = path);
    raise_object(exc);
}

std::string Signature::text() const {
    std::string out = "(";
    for (const Param& p : params_) {
        if (out.size() > 1) out += ", ";
        out += p.name;
        if (p.value) out += "=" + as_utf8(py_repr(p.value));
    }
    return out + ")";
}

std::vector<std::string> Signature::names() const {
    std::vector<std::string> out;
    for (const Param& p : params_) out.emplace_back(p.name);
    return out;
}

pyb::tuple Signature::defaults() const {
    pyb::list out;
    for (const Param& p : params_) {
        if (p.value) out.append(p.value);
    }
    return pyb::tuple(out);
}

Signature Signature::required() const {
    std::vector<Param> bare;
    for (const Param& p : params_) bare.emplace_back(p.name);
    return Signature(std::move(bare));
}

object python_face(handle impl, const char* name, const std::vector<std::string>& params, pyb::tuple defaults,
                   const std::string& doc, handle module_name) {
    std::string list;
    for (const std::string& p : params) list += (list.empty() ? "" : ", ") + p;
    std::string source = std::string("def ") + name + "(" + list + "):\n    return __impl(" + list + ")\n";
    pyb::dict globals;
    globals["__name__"] = module_name;
    globals["__impl"] = impl;
    globals["__builtins__"] = import_module("builtins");
    import_module("builtins").attr("exec")(text(source), globals);
    object fn = globals[name];
    fn.attr("__defaults__") = defaults;
    fn.attr("__doc__") = text(doc);
    return fn;
}

std::pair<object, object> unpack_pair(handle value) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw pyb::error_already_set();
        PyErr_Clear();
        raise(PyExc_TypeError, concat({text("cannot unpack non-iterable "), type_name(value), text(" object")}));
    }
    object iter = pyb::reinterpret_steal<object>(it);
    object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw pyb::error_already_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
        }
        items[i] = pyb::reinterpret_steal<object>(item);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw pyb::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

void Registry::bind_in_order(handle module, std::initializer_list<const char*> order, bool strict) {
    for (const auto& [name, value] : entries_) {
        if (!strict) break;
        bool known = std::any_of(order.begin(), order.end(), [&](const char* o) { return name == o; });
        if (!known) raise(PyExc_ImportError, "attribute '" + name + "' has no place in the module's binding order");
    }
    for (const char* name : order) {
        for (const auto& [entry, value] : entries_) {
            if (entry == name) module.attr(name) = value;
        }
    }
}

}  // namespace tavro::py
