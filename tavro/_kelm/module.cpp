// tavro._kelm: the binding of the compiler library. Checks the arguments,
// runs the compile without the GIL, turns the result into plain Python
// objects and reports every fault as tavro.semantic_error.SemanticError.
#include <string>

#include "tavro/_py/py.hpp"
#include "tavro/compiler/kelm.hpp"

namespace {

namespace pyb = pybind11;
using pyb::handle;
using pyb::object;
using tavro::kelm::Value;

object steal(PyObject* p) {
    if (!p) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(p);
}

// Text from the compiler is the input's UTF-8, lone surrogates included.
object decode(const std::string& s) {
    PyObject* out = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!out) {
        PyErr_Clear();
        out = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    }
    return steal(out);
}

object to_python(const Value& v);

struct Converter {
    object operator()(std::monostate) const { return pyb::none(); }
    object operator()(bool b) const { return pyb::reinterpret_borrow<object>(b ? Py_True : Py_False); }
    object operator()(std::int64_t i) const { return steal(PyLong_FromLongLong(i)); }
    object operator()(double d) const { return steal(PyFloat_FromDouble(d)); }
    object operator()(const std::string& s) const { return decode(s); }
    object operator()(const tavro::kelm::List& l) const {
        object out = steal(PyList_New(static_cast<Py_ssize_t>(l.size())));
        for (std::size_t k = 0; k < l.size(); ++k)
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), to_python(l[k]).release().ptr());
        return out;
    }
    object operator()(const tavro::kelm::Dict& d) const {
        object out = steal(PyDict_New());
        for (const auto& [key, value] : d) {
            object k = steal(PyUnicode_InternFromString(key.c_str()));
            if (PyDict_SetItem(out.ptr(), k.ptr(), to_python(value).ptr()) < 0) throw pyb::error_already_set();
        }
        return out;
    }
};

object to_python(const Value& v) { return std::visit(Converter{}, v.v); }

[[noreturn]] void semantic_error(handle message) {
    tavro::py::raise(tavro::py::import_from("tavro.semantic_error", "SemanticError"), message);
}

std::string argument(handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr()))
        semantic_error(tavro::py::text(std::string("compile_model: ") + name + " must be a str, got " +
                                       Py_TYPE(value.ptr())->tp_name));
    return tavro::py::as_utf8(value);
}

object compile(handle model_code, handle data_code) {
    std::string model = argument(model_code, "model_code");
    std::string data = argument(data_code, "data_code");
    tavro::kelm::CompileResult result;
    {
        pyb::gil_scoped_release unlocked;
        result = tavro::kelm::compile(model, data);
    }
    if (!result.ok) semantic_error(decode(result.message));
    return to_python(result.model);
}

}  // namespace

PYBIND11_MODULE(_kelm, m) {
    m.attr("compile") = tavro::py::function(
        m, "compile", "(model_code, data_code)",
        "Compile a Tavro model text and data text; return the compiled model or raise SemanticError.",
        [](object model_code, object data_code) { return compile(model_code, data_code); },
        pyb::arg("model_code"), pyb::arg("data_code"));
}
