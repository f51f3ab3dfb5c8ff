// tavro._kelm: the binding of the compiler library. Checks the arguments,
// runs the compile without the GIL, turns the result into plain Python
// objects and reports every fault as tavro.semantic_error.SemanticError.
#include <pybind11/numpy.h>

#include <string>

#include "tavro/_kelm/from_tree.hpp"
#include "tavro/_py/py.hpp"
#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/numbers.hpp"
#include "tavro/compiler/problem.hpp"

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

// Nested lists of a flat numeric array, each list made at its final size and
// filled in place: one pass over the numbers.
template <class T, class Make>
PyObject* nested(const tavro::kelm::Numbers& a, const std::vector<T>& items, Make make) {
    const std::size_t rank = a.shape.size();
    std::size_t next = 0;
    // stack of lists being filled, with the next slot of each
    std::vector<std::pair<PyObject*, Py_ssize_t>> open;
    open.reserve(rank);
    PyObject* top = nullptr;
    auto fail = [&]() -> PyObject* {
        Py_XDECREF(top);  // frees the partly filled lists (empty slots are NULL)
        throw pyb::error_already_set();
    };
    top = PyList_New(static_cast<Py_ssize_t>(a.shape[0]));
    if (!top) throw pyb::error_already_set();
    open.emplace_back(top, 0);
    while (!open.empty()) {
        auto& [list, slot] = open.back();
        std::size_t level = open.size() - 1;
        if (slot == static_cast<Py_ssize_t>(a.shape[level])) {
            open.pop_back();
            continue;
        }
        if (level + 1 == rank) {
            Py_ssize_t n = static_cast<Py_ssize_t>(a.shape[level]);
            for (; slot < n; ++slot) {
                PyObject* x = make(items[next++]);
                if (!x) return fail();
                PyList_SET_ITEM(list, slot, x);
            }
            continue;
        }
        PyObject* sub = PyList_New(static_cast<Py_ssize_t>(a.shape[level + 1]));
        if (!sub) return fail();
        PyList_SET_ITEM(list, slot++, sub);
        open.emplace_back(sub, 0);
    }
    return top;
}

object numbers(const tavro::kelm::Numbers& a) {
    if (a.is_int) return steal(nested(a, a.ints, [](std::int64_t i) { return PyLong_FromLongLong(i); }));
    return steal(nested(a, a.floats, [](double d) { return PyFloat_FromDouble(d); }));
}

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
    object operator()(const tavro::kelm::NumbersPtr& a) const { return numbers(*a); }
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

// The UTF-8 text of a str argument: an ASCII str's own buffer (no copy; the
// caller's reference keeps it alive and unchanged while the GIL is released),
// otherwise an encoded copy.
struct Argument {
    std::string copy;
    std::string_view text;
};

void argument(handle value, const char* name, Argument& out, const char* caller = "compile_model") {
    if (!PyUnicode_Check(value.ptr()))
        semantic_error(tavro::py::text(std::string(caller) + ": " + name + " must be a str, got " +
                                       Py_TYPE(value.ptr())->tp_name));
    if (PyUnicode_IS_READY(value.ptr()) && PyUnicode_IS_ASCII(value.ptr())) {
        out.text = std::string_view(static_cast<const char*>(PyUnicode_DATA(value.ptr())),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(value.ptr())));
        return;
    }
    out.copy = tavro::py::as_utf8(value);
    out.text = out.copy;
}

object compile(handle model_code, handle data_code) {
    Argument model, data;
    argument(model_code, "model_code", model);
    argument(data_code, "data_code", data);
    tavro::kelm::CompileResult result;
    {
        pyb::gil_scoped_release unlocked;
        result = tavro::kelm::compile(model.text, data.text);
    }
    if (!result.ok) semantic_error(decode(result.message));
    // Millions of new objects, none of them garbage: no collection meanwhile.
    int collecting = PyGC_Disable();
    try {
        object out = to_python(result.model);
        if (collecting) PyGC_Enable();
        return out;
    } catch (...) {
        if (collecting) PyGC_Enable();
        throw;
    }
}

// A numpy array over the vector's buffer; the array owns the vector.
template <class T>
object array_of(std::vector<T>&& v) {
    auto* owner = new std::vector<T>(std::move(v));
    pyb::capsule base(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return pyb::array_t<T>(static_cast<pyb::ssize_t>(owner->size()), owner->data(), base);
}

object texts(const std::vector<std::string>& items) {
    object out = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t k = 0; k < items.size(); ++k)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), decode(items[k]).release().ptr());
    return out;
}

// The grounded problem as a dict of numpy arrays and name blocks (the shape
// tavro.solver and the script writer read).
object problem_dict(tavro::kelm::LinearProblem&& lp) {
    pyb::dict out;
    out["sense"] = lp.maximize ? "maximize" : "minimize";
    out["offset"] = lp.offset;
    out["objective_name"] = lp.objective_name.empty() ? object(pyb::none()) : decode(lp.objective_name);
    pyb::list columns, rows;
    for (auto& b : lp.columns) {
        pyb::list dims;
        for (auto& d : b.dims) dims.append(texts(d));
        columns.append(pyb::make_tuple(decode(b.name), b.line, b.first, b.count, dims));
    }
    for (auto& b : lp.rows)
        rows.append(pyb::make_tuple(decode(b.name), b.labelled, b.line, b.first, b.count, b.arity, texts(b.index)));
    out["c"] = array_of(std::move(lp.c));
    out["col_lower"] = array_of(std::move(lp.col_lower));
    out["col_upper"] = array_of(std::move(lp.col_upper));
    out["integrality"] = array_of(std::move(lp.integrality));
    out["row_lower"] = array_of(std::move(lp.row_lower));
    out["row_upper"] = array_of(std::move(lp.row_upper));
    out["indptr"] = array_of(std::move(lp.indptr));
    out["indices"] = array_of(std::move(lp.indices));
    out["values"] = array_of(std::move(lp.values));
    out["columns"] = columns;
    out["rows"] = rows;
    return out;
}

object instantiate(handle model_code, handle data_code) {
    Argument model, data;
    argument(model_code, "model_code", model, "build_problem");
    argument(data_code, "data_code", data, "build_problem");
    tavro::kelm::InstantiateResult result;
    {
        pyb::gil_scoped_release unlocked;
        result = tavro::kelm::instantiate(model.text, data.text);
    }
    if (!result.ok) semantic_error(decode(result.message));
    return problem_dict(std::move(result.problem));
}

// A compiled model's dictionary tree and data dict (docs/compiled_model.md),
// read back into the compiler's tree, checked, its data adopted and grounded.
object instantiate_tree(handle ast, handle data) {
    tavro::kelm::Program p;
    tavro::kelm::Dict values;
    try {
        values = tavro::kelm_py::read_tree(ast, data, p);
    } catch (const tavro::kelm_py::TreeError& e) {
        semantic_error(decode(e.message));
    }
    tavro::kelm::InstantiateResult result;
    {
        pyb::gil_scoped_release unlocked;
        result = tavro::kelm_py::ground_tree(p, std::move(values));
    }
    if (!result.ok) semantic_error(decode(result.message));
    return problem_dict(std::move(result.problem));
}

// Any real number (float, int, numpy scalars) through its __float__.
object format_number(handle x) {
    double d = PyFloat_AsDouble(x.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    return decode(tavro::kelm::format_number(d));
}

}  // namespace

PYBIND11_MODULE(_kelm, m) {
    m.attr("compile") = tavro::py::function(
        m, "compile", "(model_code, data_code)",
        "Compile a Tavro model text and data text; return the compiled model or raise SemanticError.",
        [](object model_code, object data_code) { return compile(model_code, data_code); }, pyb::arg("model_code"),
        pyb::arg("data_code"));
    m.attr("instantiate") = tavro::py::function(
        m, "instantiate", "(model_code, data_code)",
        "Compile a Tavro model and data text and ground it into a sparse linear problem: a dict of numpy\n"
        "arrays (c, bounds, integrality, A in CSC form) and the names of its columns and rows.",
        [](object model_code, object data_code) { return instantiate(model_code, data_code); }, pyb::arg("model_code"),
        pyb::arg("data_code"));
    m.attr("instantiate_tree") = tavro::py::function(
        m, "instantiate_tree", "(ast, data_dict)",
        "Ground a compiled model's dictionary tree and data dict (as compile_model returns them, or built by\n"
        "hand) into the same sparse linear problem as instantiate; raise SemanticError for any fault.",
        [](object ast, object data_dict) { return instantiate_tree(ast, data_dict); }, pyb::arg("ast"),
        pyb::arg("data_dict"));
    m.attr("format_number") = tavro::py::function(
        m, "format_number", "(x)",
        "The compiler's text of a number: the shortest that reads back to the same float, as repr writes\n"
        "it, whole numbers without '.0' (3, 0.1, 1e+16), infinity as 'infinity' and '-infinity'.",
        [](object x) { return format_number(x); }, pyb::arg("x"));
}
