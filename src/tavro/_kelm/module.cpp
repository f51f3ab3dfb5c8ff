// tavro._kelm: the binding of the compiler library. Checks the arguments,
// runs the compile without the GIL, turns the result into plain Python
// objects and reports every fault as tavro.semantic_error.SemanticError.
#include <pybind11/numpy.h>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "tavro/_kelm/from_mapping.hpp"
#include "tavro/_kelm/from_tree.hpp"
#include "tavro/_kelm/limits.hpp"
#include "tavro/_py/py.hpp"
#include "tavro/compiler/ground.hpp"
#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/lexer.hpp"
#include "tavro/compiler/numbers.hpp"
#include "tavro/compiler/problem.hpp"
#include "tavro/compiler/sema.hpp"

namespace {

namespace pyb = pybind11;
using pyb::handle;
using pyb::object;
using tavro::kelm::Value;
using tavro::kelm_py::CallLimits;

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

// The folder of the data's tables: None for the current folder, else a str
// or os.PathLike of str.
std::string folder_argument(handle value) {
    if (value.is_none()) return {};
    object path = steal(PyOS_FSPath(value.ptr()));
    if (!PyUnicode_Check(path.ptr()))
        tavro::py::raise(PyExc_TypeError, std::string("data_dir must be a str or os.PathLike of str, got ") +
                                              Py_TYPE(path.ptr())->tp_name);
    return tavro::py::as_utf8(path);
}

// A failed compile or grounding: the exception its stop calls for, else
// SemanticError with its located lines.
[[noreturn]] void failed(CallLimits& limits, tavro::kelm::StopReason stopped, const std::string& message) {
    object text = decode(message);
    limits.raise_stop(stopped, text);
    semantic_error(text);
}

object compile(handle model_code, handle data_code, handle data_dir, CallLimits& limits) {
    Argument model, data;
    argument(model_code, "model_code", model);
    argument(data_code, "data_code", data);
    std::string folder = folder_argument(data_dir);
    tavro::kelm::CompileResult result;
    {
        pyb::gil_scoped_release unlocked;
        result = tavro::kelm::compile(model.text, data.text, folder, limits.limits());
    }
    if (!result.ok) failed(limits, result.stopped, result.message);
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

// -- index values in their own type -------------------------------------------------

using tavro::kelm::Program;
using tavro::kelm::Sym;
using tavro::kelm::SymKind;

// An index value as Python sees it: an int, a float, a str, a tuple of the fields.
object key_of(const Value& v) {
    if (v.is<std::int64_t>()) return steal(PyLong_FromLongLong(v.as<std::int64_t>()));
    if (v.is<double>()) return steal(PyFloat_FromDouble(v.as<double>()));
    if (v.is<std::string>()) return decode(v.as<std::string>());
    if (v.is<tavro::kelm::Dict>()) {
        auto& fields = v.as<tavro::kelm::Dict>();
        object out = steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
        for (std::size_t k = 0; k < fields.size(); ++k)
            PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), key_of(fields[k].second).release().ptr());
        return out;
    }
    return to_python(v);
}

// The keys of a range's elements from their texts (decimal integers).
object range_keys(const std::vector<std::string>& texts) {
    object out = steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t k = 0; k < texts.size(); ++k) {
        long long n = 0;
        auto [end, ec] = std::from_chars(texts[k].data(), texts[k].data() + texts[k].size(), n);
        if (ec != std::errc() || end != texts[k].data() + texts[k].size()) return pyb::none();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), steal(PyLong_FromLongLong(n)).release().ptr());
    }
    return out;
}

const tavro::kelm::List* set_items(const Sym* s) {
    return s && s->kind == SymKind::Set && s->value && s->value->is<tavro::kelm::List>()
               ? &s->value->as<tavro::kelm::List>()
               : nullptr;
}

// Per column block, the keys of each index set in the order of its texts
// (None where they cannot be told).
object column_keys(const Program& p, const tavro::kelm::LinearProblem& lp) {
    pyb::list out;
    for (auto& b : lp.columns) {
        const Sym* var = p.find(b.name);
        pyb::list dims;
        for (std::size_t d = 0; d < b.dims.size(); ++d) {
            const Sym* set = var && d < var->dims.size() ? var->dims[d] : nullptr;
            const tavro::kelm::List* items = set_items(set);
            if (set && set->kind == SymKind::Range) {
                dims.append(range_keys(b.dims[d]));
            } else if (items && items->size() == b.dims[d].size()) {
                pyb::list keys;
                for (auto& v : *items) keys.append(key_of(v));
                dims.append(keys);
            } else {
                dims.append(pyb::none());
            }
        }
        out.append(dims);
    }
    return out;
}

// The forall clauses above each constraint, in the engine's order of row blocks.
void clause_sets(const tavro::kelm::Constraint& c, std::vector<const tavro::kelm::Clause*>& above,
                 std::vector<std::vector<const tavro::kelm::Clause*>>& out) {
    if (c.kind != tavro::kelm::Constraint::Forall) {
        out.push_back(above);
        return;
    }
    for (auto& cl : c.clauses) above.push_back(&cl);
    for (auto& inner : c.body) clause_sets(inner, above, out);
    above.resize(above.size() - c.clauses.size());
}

// Per row block, per forall index: None for an integer range (its texts are
// the numbers), else {text: key} over the elements of the set.
object row_keys(const Program& p, const tavro::kelm::LinearProblem& lp) {
    std::vector<std::vector<const tavro::kelm::Clause*>> blocks;
    std::vector<const tavro::kelm::Clause*> above;
    for (auto& d : p.model.decls)
        if (d.kind == tavro::kelm::DK::Constraints)
            for (auto& c : d.constraints) clause_sets(c, above, blocks);
    if (blocks.size() != lp.rows.size()) return pyb::none();
    pyb::dict tables;  // one per set, shared by the blocks that walk it
    pyb::list out;
    for (std::size_t r = 0; r < blocks.size(); ++r) {
        if (static_cast<std::size_t>(lp.rows[r].arity) != blocks[r].size()) return pyb::none();
        pyb::list positions;
        for (const tavro::kelm::Clause* cl : blocks[r]) {
            const Sym* set = cl->set && cl->set->kind == tavro::kelm::EK::Name ? p.find(cl->set->text) : nullptr;
            const tavro::kelm::List* items = set_items(set);
            if (!items) {
                positions.append(pyb::none());  // lo..hi or a range
                continue;
            }
            object name = decode(set->name);
            if (!tables.contains(name)) {
                pyb::dict table;
                for (auto& v : *items)
                    table[decode(tavro::kelm::ground::text_of(tavro::kelm::ground::from_value(v)))] = key_of(v);
                tables[name] = table;
            }
            positions.append(tables[name]);
        }
        out.append(positions);
    }
    return out;
}

std::size_t leaf_constraints(const std::vector<tavro::kelm::Constraint>& cs) {
    std::size_t n = 0;
    for (auto& c : cs) n += c.kind == tavro::kelm::Constraint::Forall ? leaf_constraints(c.body) : 1;
    return n;
}

// What the model declares, counted on its parsed tree (no data values
// copied): sets (ranges included), parameters, variables and constraint
// statements (those inside a forall each once).
object declared_counts(const Program& p) {
    using tavro::kelm::DK;
    std::size_t sets = 0, params = 0, vars = 0, constraints = 0;
    for (auto& d : p.model.decls) {
        switch (d.kind) {
            case DK::Range:
            case DK::Set: ++sets; break;
            case DK::Param: ++params; break;
            case DK::Dvar: ++vars; break;
            case DK::Constraints: constraints += leaf_constraints(d.constraints); break;
            default: break;
        }
    }
    pyb::dict out;
    out["sets"] = sets;
    out["parameters"] = params;
    out["variables"] = vars;
    out["constraints"] = constraints;
    return out;
}

// The grounded problem as a dict of numpy arrays and name blocks (the shape
// tavro.solver and the script writer read); "column_keys" and "row_keys" give
// the index values in their own type (see column_keys and row_keys);
// "declared" the counts of declared_counts.
object problem_dict(tavro::kelm::LinearProblem&& lp, const Program& p) {
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
    out["column_keys"] = column_keys(p, lp);
    out["row_keys"] = row_keys(p, lp);
    out["declared"] = declared_counts(p);
    return out;
}

object instantiate(handle model_code, handle data_code, handle data_dir, CallLimits& limits) {
    Argument model, data;
    argument(model_code, "model_code", model, "build_problem");
    argument(data_code, "data_code", data, "build_problem");
    std::string folder = folder_argument(data_dir);
    Program p;
    tavro::kelm::Diagnostics diag;
    p.diag = &diag;
    p.work.limits = limits.limits();
    tavro::kelm::InstantiateResult result;
    {
        pyb::gil_scoped_release unlocked;
        // The program stays the caller's: the keys of the names come from it.
        result = tavro::kelm::instantiate(p, model.text, data.text, folder);
    }
    if (!result.ok) failed(limits, result.stopped, result.message);
    return problem_dict(std::move(result.problem), p);
}

// A compiled model's dictionary tree and data dict (docs/compiled_model.md),
// read back into the compiler's tree, checked, its data adopted and grounded.
object instantiate_tree(handle ast, handle data, CallLimits& limits) {
    tavro::kelm::Program p;
    p.work.limits = limits.limits();
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
    if (!result.ok) failed(limits, result.stopped, result.message);
    return problem_dict(std::move(result.problem), p);
}

// A model text with its data as a dict {name: value} (tavro._data makes it
// from the caller's mapping), read and checked with the GIL held (it reads
// Python objects), then grounded without it.
object instantiate_data(handle model_code, handle data, CallLimits& limits) {
    Argument model;
    argument(model_code, "model_code", model, "build_problem");
    if (!PyDict_Check(data.ptr()))
        tavro::py::raise(PyExc_TypeError, std::string("data must be a dict, got ") + Py_TYPE(data.ptr())->tp_name);
    tavro::kelm::Diagnostics diag;
    tavro::kelm::Program p;
    p.diag = &diag;
    p.work.limits = limits.limits();
    tavro::kelm::InstantiateResult result;
    try {
        tavro::kelm_py::read_mapping(p, model.text, data);
        if (!diag.any()) tavro::kelm::check_computed_indices(p);
        if (!diag.any()) tavro::kelm::check_constant_indices(p);
        if (!diag.any()) {
            pyb::gil_scoped_release unlocked;
            result = tavro::kelm::instantiate(p);
        }
    } catch (const tavro::kelm::Abort&) {
    } catch (const std::bad_alloc&) {
        semantic_error(tavro::py::text("model:1:1: out of memory while reading the data"));
    }
    if (diag.any() && result.message.empty()) result.message = tavro::kelm::stop_message(p, result.stopped);
    if (!result.ok) failed(limits, result.stopped, result.message);
    return problem_dict(std::move(result.problem), p);
}

// Any real number (float, int, numpy scalars) through its __float__.
object format_number(handle x) {
    double d = PyFloat_AsDouble(x.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    return decode(tavro::kelm::format_number(d));
}

// What a table cell reads as, and its value: the binder's own reading.
enum CellKind : std::int8_t { kEmpty = 0, kText = 1, kInt = 2, kFloat = 3 };

CellKind read_cell(std::string_view cell, std::int64_t& ival, double& fval) {
    const tavro::kelm::CellNumeral n = tavro::kelm::scan_cell(cell);
    switch (n.kind) {
        case tavro::kelm::CellNumeral::Empty: return kEmpty;
        case tavro::kelm::CellNumeral::Text: return kText;
        case tavro::kelm::CellNumeral::Infinity: fval = n.neg ? -HUGE_VAL : HUGE_VAL; return kFloat;
        case tavro::kelm::CellNumeral::Numeral: break;
    }
    if (!n.is_float && tavro::kelm::numeral_value(n.raw, false, ival, fval)) {
        ival = n.neg ? -ival : ival;
        fval = static_cast<double>(ival);
        return kInt;
    }
    if (!tavro::kelm::numeral_value(n.raw, true, ival, fval)) return kText;  // beyond a double: no number
    fval = n.neg ? -fval : fval;
    return kFloat;
}

std::string_view utf8_of(handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw pyb::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

object scan_number(handle text) {
    tavro::py::expect_str(text, "text");
    std::int64_t ival = 0;
    double fval = 0;
    switch (read_cell(utf8_of(text), ival, fval)) {
        case kInt: return steal(PyLong_FromLongLong(ival));
        case kFloat: return steal(PyFloat_FromDouble(fval));
        default: return pyb::none();
    }
}

// (values, kinds) of a list of cells: float64 values (nan for no number) and
// int8 kinds (0 empty, 1 text, 2 int, 3 float).
object scan_cells(handle cells) {
    tavro::py::expect_list(cells, "cells");
    const Py_ssize_t n = PyList_GET_SIZE(cells.ptr());
    pyb::array_t<double> values(n);
    pyb::array_t<std::int8_t> kinds(n);
    double* v = values.mutable_data();
    std::int8_t* k = kinds.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        handle cell = PyList_GET_ITEM(cells.ptr(), i);
        tavro::py::expect_str(cell, "cells[i]");
        std::int64_t ival = 0;
        double fval = 0;
        k[i] = read_cell(utf8_of(cell), ival, fval);
        v[i] = k[i] >= kInt ? fval : std::nan("");
    }
    return pyb::make_tuple(values, kinds);
}

// Appends repr(d) of a finite double: the shortest round-trip digits laid out
// as Python does (positional for exponents -5 < e < 16, with ".0" on a whole
// number), written into `out` without a string per number.
void append_repr(std::string& out, double d) {
    char sci[32];
    auto end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    const char* at = sci[0] == '-' ? sci + 1 : sci;
    char digits[24];
    int n = 0;
    while (*at != 'e') {
        if (*at != '.') digits[n++] = *at;
        ++at;
    }
    int exp = 0;
    std::from_chars(at + (at[1] == '+' ? 2 : 1), end, exp);
    if (exp < -4 || exp >= 16) {
        out.append(sci, end);
        return;
    }
    if (sci[0] == '-') out += '-';
    int point = exp + 1;  // digits before the point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(n));
    } else if (point >= n) {
        out.append(digits, static_cast<std::size_t>(n));
        out.append(static_cast<std::size_t>(point - n), '0');
        out += ".0";
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, static_cast<std::size_t>(n - point));
    }
}

// JSON objects over consecutive runs of numbers: {k1:v1,k2:v2,...} for each
// len(keys) values, the keys given as JSON text ("\"Seattle\"") and each
// number as repr writes it (null where it is not finite). One pass in C++:
// the text of a million numbers without a Python object per number.
object json_objects(handle values, handle keys) {
    auto numbers = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>::ensure(values);
    if (!numbers) throw pyb::type_error("json_objects: values must be an array of numbers");
    std::vector<std::string> names;
    for (handle k : pyb::reinterpret_borrow<pyb::list>(keys)) names.push_back(tavro::py::as_utf8(k));
    std::size_t width = names.size(), total = static_cast<std::size_t>(numbers.size());
    if (width == 0 || total % width != 0) throw pyb::value_error("json_objects: values do not fill the keys");
    const double* data = numbers.data();
    object out = steal(PyList_New(static_cast<Py_ssize_t>(total / width)));
    std::string text;
    for (std::size_t r = 0; r < total / width; ++r) {
        text.assign(1, '{');
        for (std::size_t k = 0; k < width; ++k) {
            if (k) text += ',';
            text += names[k];
            text += ':';
            double d = data[r * width + k];
            if (std::isfinite(d))
                append_repr(text, d);
            else
                text += "null";
        }
        text += '}';
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), decode(text).release().ptr());
    }
    return out;
}

// The keyword-only bounds every entry takes after its own parameters.
const std::string kLimitsDoc =
    "\n\nwork_limit: the steps of work (loop iterations, filter tests, terms) before a located SemanticError\n"
    "(default " +
    std::to_string(tavro::kelm::kDefaultWorkLimit) +
    "). deadline: a time.monotonic() value past which the call raises TimeoutError.\n"
    "cancel: a CancelToken or a threading.Event; once set, the call raises KeyboardInterrupt. A pending\n"
    "Ctrl-C of the main thread raises KeyboardInterrupt within a fraction of a second.";
constexpr const char* kLimitsSignature = ", *, work_limit=None, deadline=None, cancel=None)";

// An entry of two parameters, then the bounds: f(a, b, limits).
template <class F>
object entry(pyb::module_& m, const char* name, const char* a, const char* b, const std::string& doc, F f) {
    std::string sig = std::string("(") + a + ", " + b + kLimitsSignature;
    return tavro::py::function(
        m, name, sig.c_str(), doc + kLimitsDoc,
        [f](object x, object y, object work_limit, object deadline, object cancel) {
            CallLimits limits(work_limit, deadline, cancel);
            return f(x, y, limits);
        },
        pyb::arg(a), pyb::arg(b), pyb::kw_only(), pyb::arg("work_limit") = pyb::none(),
        pyb::arg("deadline") = pyb::none(), pyb::arg("cancel") = pyb::none());
}

// The same with a third parameter `data_dir=None`: f(a, b, data_dir, limits).
template <class F>
object entry_in_folder(pyb::module_& m, const char* name, const char* a, const char* b, const std::string& doc, F f) {
    std::string sig = std::string("(") + a + ", " + b + ", data_dir=None" + kLimitsSignature;
    return tavro::py::function(
        m, name, sig.c_str(), doc + kLimitsDoc,
        [f](object x, object y, object data_dir, object work_limit, object deadline, object cancel) {
            CallLimits limits(work_limit, deadline, cancel);
            return f(x, y, data_dir, limits);
        },
        pyb::arg(a), pyb::arg(b), pyb::arg("data_dir") = pyb::none(), pyb::kw_only(),
        pyb::arg("work_limit") = pyb::none(), pyb::arg("deadline") = pyb::none(), pyb::arg("cancel") = pyb::none());
}

}  // namespace

PYBIND11_MODULE(_kelm, m) {
    tavro::kelm_py::bind_cancel_token(m);
    m.attr("compile") =
        entry_in_folder(m, "compile", "model_code", "data_code",
                        "Compile a Tavro model text and data text; return the compiled model or raise SemanticError.\n"
                        "Tables bound in the data (csv(...)) are read from data_dir (None: the current folder).",
                        [](object a, object b, object folder, CallLimits& l) { return compile(a, b, folder, l); });
    m.attr("instantiate") = entry_in_folder(
        m, "instantiate", "model_code", "data_code",
        "Compile a Tavro model and data text and ground it into a sparse linear problem: a dict of numpy\n"
        "arrays (c, bounds, integrality, A in CSC form) and the names of its columns and rows. Tables bound\n"
        "in the data (csv(...)) are read from data_dir (None: the current folder).",
        [](object a, object b, object folder, CallLimits& l) { return instantiate(a, b, folder, l); });
    m.attr("instantiate_data") =
        entry(m, "instantiate_data", "model_code", "data",
              "Compile a Tavro model text with its data given as a dict {declared name: value} and ground it as\n"
              "instantiate does; raise SemanticError (\"data['name']: ...\") for any fault.",
              [](object a, object b, CallLimits& l) { return instantiate_data(a, b, l); });
    m.attr("instantiate_tree") =
        entry(m, "instantiate_tree", "ast", "data_dict",
              "Ground a compiled model's dictionary tree and data dict (as compile_model returns them, or built by\n"
              "hand) into the same sparse linear problem as instantiate; raise SemanticError for any fault.",
              [](object a, object b, CallLimits& l) { return instantiate_tree(a, b, l); });
    m.attr("format_number") = tavro::py::function(
        m, "format_number", "(x)",
        "The compiler's text of a number: the shortest that reads back to the same float, as repr writes\n"
        "it, whole numbers without '.0' (3, 0.1, 1e+16), infinity as 'infinity' and '-infinity'.",
        [](object x) { return format_number(x); }, pyb::arg("x"));
    m.attr("scan_number") = tavro::py::function(
        m, "scan_number", "(text)",
        "A table cell as the compiler reads it: an int for an integer numeral within 64 bits, a float for any\n"
        "other number ('.5', '1e5', '-infinity'; blanks around it and a sign allowed), None for text or an\n"
        "empty cell.",
        [](object text) { return scan_number(text); }, pyb::arg("text"));
    m.attr("scan_cells") = tavro::py::function(
        m, "scan_cells", "(cells)",
        "scan_number over a list of cells: (values, kinds), float64 values (nan where no number) and int8\n"
        "kinds (0 empty, 1 text, 2 int, 3 float).",
        [](object cells) { return scan_cells(cells); }, pyb::arg("cells"));
    m.attr("json_objects") = tavro::py::function(
        m, "json_objects", "(values, keys)",
        "JSON objects {key: number, ...} over consecutive runs of len(keys) values (keys as JSON text),\n"
        "each number as repr writes it, null where it is not finite; a list of str.",
        [](object values, object keys) { return json_objects(values, keys); }, pyb::arg("values"), pyb::arg("keys"));
}
