// Reading the dictionary tree back into Model/Decl/Expr/Constraint. Every
// node is checked for the keys and kinds the checker relies on (a node it
// cannot read is a TreeError, never a crash); the tree has lines but no
// columns, so every position is (line, 1) of the enclosing item. One table
// entry per expression, constraint and declaration kind.
#include "tavro/_kelm/from_tree.hpp"

#include <algorithm>
#include <unordered_map>

#include "tavro/compiler/functions.hpp"

namespace tavro::kelm_py {

namespace {

namespace pyb = pybind11;
using pyb::handle;
using namespace tavro::kelm;

constexpr int kMaxDataDepth = 64;

std::string describe(handle v) {
    if (v.is_none()) return "None";
    return std::string("a ") + Py_TYPE(v.ptr())->tp_name;
}

bool identifier(const std::string& s) {
    if (s.empty() || !is_name_start(s[0])) return false;
    for (char c : s)
        if (!is_name_char(c)) return false;
    return keyword(s) == Tok::Name;
}

// A list's or tuple's items as new references, taken while no Python code
// runs: code that runs later (a tolist(), an __index__) may change the list.
std::vector<pyb::object> items_of(handle seq) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    std::vector<pyb::object> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) out.push_back(pyb::reinterpret_borrow<pyb::object>(items[k]));
    return out;
}

// A dict's items, held the same way.
std::vector<std::pair<pyb::object, pyb::object>> entries_of(handle dict) {
    std::vector<std::pair<pyb::object, pyb::object>> out;
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr())));
    PyObject *key, *item;
    Py_ssize_t at = 0;
    while (PyDict_Next(dict.ptr(), &at, &key, &item))
        out.emplace_back(pyb::reinterpret_borrow<pyb::object>(key), pyb::reinterpret_borrow<pyb::object>(item));
    return out;
}

class TreeReader {
public:
    Model model(handle ast);

private:
    [[noreturn]] void fail(const std::string& text) const {
        throw TreeError{"malformed model tree" + (where_.empty() ? std::string() : " at " + where_) + ": " + text};
    }
    handle dict(handle v, const char* what) const {
        if (!PyDict_Check(v.ptr())) fail(std::string(what) + " must be a dict, found " + describe(v));
        return v;
    }
    // node[key]; absent keys read as None unless required. A key object of
    // the tree may run Python code while the dict compares keys (its __eq__),
    // so what is read is held, and what that code raises propagates.
    pyb::object get(handle node, const char* key, bool required = true) const {
        pyb::object name = tavro::py::text(key);
        PyObject* v = PyDict_GetItemWithError(node.ptr(), name.ptr());  // borrowed
        if (!v) {
            if (PyErr_Occurred()) throw pyb::error_already_set();
            if (required) fail(std::string("'") + key + "' missing");
            return pyb::none();
        }
        return pyb::reinterpret_borrow<pyb::object>(v);
    }
    std::string str(handle v, const char* what) const {
        if (!PyUnicode_Check(v.ptr())) fail(std::string(what) + " must be a str, found " + describe(v));
        return tavro::py::as_utf8(v);
    }
    std::string str_of(handle node, const char* key) const {
        return str(get(node, key), ("'" + std::string(key) + "'").c_str());
    }
    // A name the model text could hold: an identifier that is not a reserved word.
    std::string name(handle v, const char* what) const {
        std::string s = str(v, what);
        if (!identifier(s)) fail(std::string(what) + " must be an identifier, found " + quote(s));
        return s;
    }
    std::string name_of(handle node, const char* key) const {
        return name(get(node, key), ("'" + std::string(key) + "'").c_str());
    }
    // The items of a list or tuple, each held: nothing read later can free them.
    std::vector<pyb::object> list(handle v, const char* what) const {
        if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()))
            fail(std::string(what) + " must be a list, found " + describe(v));
        return items_of(v);
    }
    int line_of(handle node) const {
        pyb::object v = get(node, "line", false);
        if (v.is_none()) return line_;
        if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) fail("'line' must be an int, found " + describe(v));
        long n = PyLong_AsLong(v.ptr());
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        return n < 1 || n > 1 << 30 ? 1 : static_cast<int>(n);
    }
    Pos pos() const { return Pos{line_, 1}; }

    TypeRef type_ref(handle v, const char* what) const;
    ExprPtr expr(handle v);
    ExprPtr opt_expr(handle v) { return v.is_none() ? nullptr : expr(v); }
    std::vector<ExprPtr> exprs(handle v, const char* what);
    void clauses(handle node, std::vector<Clause>& out, ExprPtr& filter);
    Constraint constraint(handle v);
    Decl decl(handle v);

    // Expression kinds.
    ExprPtr number(handle n);
    ExprPtr string(handle n);
    ExprPtr name(handle n);
    ExprPtr index(handle n);
    ExprPtr field(handle n);
    ExprPtr unary(handle n);
    ExprPtr binary(handle n);
    ExprPtr sum(handle n);
    ExprPtr aggregate(handle n);
    ExprPtr call(handle n);
    ExprPtr range(handle n);
    ExprPtr set_literal(handle n);
    ExprPtr tuple_literal(handle n);

    // Constraint kinds.
    Constraint relation(handle n);
    Constraint range_constraint(handle n);
    Constraint forall(handle n);
    Constraint implication(handle n);
    void index_names(handle v, Decl& d);
    Constraint comparison_head(handle n, std::size_t sides);

    ExprPtr node(EK k) const { return std::make_unique<Expr>(k, pos()); }
    ExprPtr literal_list(handle n, EK kind);
    ExprPtr over_index(handle n, EK kind, std::string fn);

    int line_ = 1;
    int depth_ = 0;
    std::string where_;
};

using ExprReader = ExprPtr (TreeReader::*)(handle);
using ConstraintReader = Constraint (TreeReader::*)(handle);

TypeRef TreeReader::type_ref(handle v, const char* what) const {
    TypeRef t;
    t.pos = pos();
    std::string s = str(v, what);
    if (s == "int")
        t.base = Tok::KwInt;
    else if (s == "float")
        t.base = Tok::KwFloat;
    else if (s == "string")
        t.base = Tok::KwString;
    else if (s == "boolean")
        t.base = Tok::KwBoolean;
    else {
        if (!identifier(s)) fail(std::string(what) + " must be a type or a tuple's name, found " + quote(s));
        t.base = Tok::Name;
        t.tuple = std::move(s);
    }
    return t;
}

ExprPtr TreeReader::expr(handle v) {
    static const std::unordered_map<std::string, ExprReader> kinds = {
        {"number", &TreeReader::number},
        {"string", &TreeReader::string},
        {"name", &TreeReader::name},
        {"index", &TreeReader::index},
        {"field", &TreeReader::field},
        {"unary", &TreeReader::unary},
        {"binary", &TreeReader::binary},
        {"sum", &TreeReader::sum},
        {"aggregate", &TreeReader::aggregate},
        {"call", &TreeReader::call},
        {"range", &TreeReader::range},
        {"set_literal", &TreeReader::set_literal},
        {"tuple_literal", &TreeReader::tuple_literal},
    };
    dict(v, "an expression");
    if (++depth_ > kMaxHeight) fail("expression nested deeper than " + std::to_string(kMaxHeight) + " levels");
    std::string kind = str_of(v, "type");
    auto it = kinds.find(kind);
    if (it == kinds.end()) fail("unknown expression type " + quote(kind));
    ExprPtr e = (this->*it->second)(v);
    int height = 1;
    for (auto& k : e->kids) height = std::max(height, k->height + 1);
    if (e->filter) height = std::max(height, e->filter->height + 1);
    for (auto& c : e->clauses) height = std::max(height, c.set->height + 1);
    e->height = height;
    --depth_;
    return e;
}

std::vector<ExprPtr> TreeReader::exprs(handle v, const char* what) {
    std::vector<ExprPtr> out;
    for (handle item : list(v, what)) out.push_back(expr(item));
    return out;
}

ExprPtr TreeReader::number(handle n) {
    pyb::object v = get(n, "value");
    auto e = node(EK::Number);
    if (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr())) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow) fail("integer " + tavro::py::as_utf8(tavro::py::py_str(v)) + " is too large");
        e->is_int = true;
        e->ival = i;
        e->fval = static_cast<double>(i);
    } else if (PyFloat_Check(v.ptr())) {
        e->fval = PyFloat_AS_DOUBLE(v.ptr());
    } else {
        fail("a number's 'value' must be an int or a float, found " + describe(v));
    }
    return e;
}

ExprPtr TreeReader::string(handle n) {
    auto e = node(EK::String);
    e->text = str_of(n, "value");
    return e;
}

ExprPtr TreeReader::name(handle n) {
    auto e = node(EK::Name);
    e->text = name_of(n, "name");
    return e;
}

ExprPtr TreeReader::index(handle n) {
    auto e = node(EK::Index);
    auto base = node(EK::Name);
    base->text = name_of(n, "name");
    e->kids.push_back(std::move(base));
    auto indices = exprs(get(n, "indices"), "'indices'");
    if (indices.empty()) fail("an index node needs at least one index");
    for (auto& i : indices) e->kids.push_back(std::move(i));
    return e;
}

ExprPtr TreeReader::field(handle n) {
    auto e = node(EK::Field);
    e->text = name_of(n, "field");
    e->kids.push_back(expr(get(n, "base")));
    return e;
}

ExprPtr TreeReader::unary(handle n) {
    auto e = node(EK::Unary);
    e->text = str_of(n, "op");
    if (e->text != "-" && e->text != "!") fail("unknown unary operator " + quote(e->text));
    e->kids.push_back(expr(get(n, "operand")));
    return e;
}

ExprPtr TreeReader::binary(handle n) {
    static const char* const ops[] = {"+", "-", "*", "/", "mod", "^", "==", "!=", "<", "<=", ">", ">=", "&&", "||"};
    auto e = node(EK::Binary);
    e->text = str_of(n, "op");
    if (std::none_of(std::begin(ops), std::end(ops), [&](const char* op) { return e->text == op; }))
        fail("unknown binary operator " + quote(e->text));
    e->kids.push_back(expr(get(n, "left")));
    e->kids.push_back(expr(get(n, "right")));
    return e;
}

void TreeReader::clauses(handle n, std::vector<Clause>& out, ExprPtr& filter) {
    auto items = list(get(n, "indices"), "'indices'");
    if (items.empty()) fail("'indices' needs at least one clause");
    for (handle c : items) {
        dict(c, "a clause");
        Clause cl;
        cl.var = name_of(c, "name");
        cl.pos = pos();
        cl.set = expr(get(c, "set"));
        out.push_back(std::move(cl));
    }
    filter = opt_expr(get(n, "filter", false));
}

ExprPtr TreeReader::over_index(handle n, EK kind, std::string fn) {
    auto e = node(kind);
    e->text = std::move(fn);
    clauses(n, e->clauses, e->filter);
    e->kids.push_back(expr(get(n, "body")));
    return e;
}

ExprPtr TreeReader::sum(handle n) { return over_index(n, EK::Sum, "sum"); }

ExprPtr TreeReader::aggregate(handle n) {
    std::string fn = str_of(n, "function");
    if (fn != "min" && fn != "max") fail("an aggregate's 'function' must be 'min' or 'max', found " + quote(fn));
    return over_index(n, EK::Aggregate, std::move(fn));
}

ExprPtr TreeReader::call(handle n) {
    auto e = node(EK::Call);
    e->text = str_of(n, "function");
    const auto& names = callable_names();
    if (std::find(names.begin(), names.end(), e->text) == names.end()) fail("unknown function " + quote(e->text));
    e->kids = exprs(get(n, "args"), "'args'");
    if (e->kids.empty()) fail(quote(e->text) + " needs at least one argument");
    return e;
}

ExprPtr TreeReader::range(handle n) {
    auto e = node(EK::Range);
    e->text = "..";
    e->kids.push_back(expr(get(n, "low")));
    e->kids.push_back(expr(get(n, "high")));
    return e;
}

ExprPtr TreeReader::literal_list(handle n, EK kind) {
    auto e = node(kind);
    e->kids = exprs(get(n, "elements"), "'elements'");
    return e;
}

ExprPtr TreeReader::set_literal(handle n) { return literal_list(n, EK::SetLit); }

ExprPtr TreeReader::tuple_literal(handle n) {
    auto e = literal_list(n, EK::TupleLit);
    if (e->kids.empty()) fail("a tuple literal needs at least one element");
    return e;
}

Tok comparison(const std::string& op) {
    if (op == "<=") return Tok::Le;
    if (op == ">=") return Tok::Ge;
    if (op == "==") return Tok::EqEq;
    return Tok::End;
}

// The label and the comparison of a relation; `sides` terms follow.
Constraint TreeReader::comparison_head(handle n, std::size_t sides) {
    Constraint c;
    c.pos = c.label_pos = pos();
    pyb::object label = get(n, "name", false);
    if (!label.is_none()) c.label = name(label, "a constraint's 'name'");
    std::string op = str_of(n, "op");
    Tok t = comparison(op);
    if (t == Tok::End) fail("unknown comparison " + quote(op) + " ('<=', '>=' or '==')");
    c.ops.assign(sides - 1, t);
    c.op_pos.assign(sides - 1, pos());
    return c;
}

Constraint TreeReader::relation(handle n) {
    Constraint c = comparison_head(n, 2);
    c.terms.push_back(expr(get(n, "left")));
    c.terms.push_back(expr(get(n, "right")));
    return c;
}

// low op expr op high (the tree keeps the first comparison only)
Constraint TreeReader::range_constraint(handle n) {
    Constraint c = comparison_head(n, 3);
    c.terms.push_back(expr(get(n, "low")));
    c.terms.push_back(expr(get(n, "expr")));
    c.terms.push_back(expr(get(n, "high")));
    return c;
}

// variable == value => left op right
Constraint TreeReader::implication(handle n) {
    Constraint c = comparison_head(n, 2);
    c.when = expr(get(n, "variable"));
    if (c.when->kind != EK::Name && c.when->kind != EK::Index)
        fail("an implication's 'variable' must be a name or index node");
    pyb::object value = get(n, "value");
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()) ||
        (PyLong_AsLong(value.ptr()) != 0 && PyLong_AsLong(value.ptr()) != 1)) {
        PyErr_Clear();
        fail("an implication's 'value' must be 0 or 1, found " + describe(value));
    }
    c.when_value = PyLong_AsLong(value.ptr()) == 1;
    c.when_pos = pos();
    c.terms.push_back(expr(get(n, "left")));
    c.terms.push_back(expr(get(n, "right")));
    return c;
}

// index_names of a dvar or dexpr: one name or None per dimension.
void TreeReader::index_names(handle v, Decl& d) {
    pyb::object names = get(v, "index_names", false);
    if (names.is_none()) return;
    auto items = list(names, "'index_names'");
    if (items.size() != d.dims.size()) fail("'index_names' needs one entry per index");
    for (handle n : items) {
        d.dim_vars.push_back(n.is_none() ? std::string() : name(n, "an index name"));
        d.dim_var_pos.push_back(pos());
    }
}

Constraint TreeReader::forall(handle n) {
    Constraint c;
    c.kind = Constraint::Forall;
    c.pos = c.label_pos = pos();
    ExprPtr filter;
    clauses(n, c.clauses, filter);
    c.filter = std::move(filter);
    for (handle b : list(get(n, "constraints"), "'constraints'")) c.body.push_back(constraint(b));
    return c;
}

Constraint TreeReader::constraint(handle v) {
    static const std::unordered_map<std::string, ConstraintReader> kinds = {
        {"constraint", &TreeReader::relation},
        {"range_constraint", &TreeReader::range_constraint},
        {"forall", &TreeReader::forall},
        {"implication", &TreeReader::implication},
    };
    dict(v, "a constraint");
    if (++depth_ > kMaxDepth) fail("constraints nested deeper than " + std::to_string(kMaxDepth) + " levels");
    std::string kind = str_of(v, "type");
    auto it = kinds.find(kind);
    if (it == kinds.end()) fail("unknown constraint type " + quote(kind));
    int outer = line_;
    line_ = line_of(v);
    Constraint c = (this->*it->second)(v);
    line_ = outer;
    --depth_;
    return c;
}

Decl TreeReader::decl(handle v) {
    std::string kind = str_of(v, "type");
    line_ = line_of(v);
    static const std::unordered_map<std::string, DK> kinds = {
        {"tuple", DK::Tuple},
        {"range", DK::Range},
        {"set", DK::Set},
        {"param", DK::Param},
        {"dvar", DK::Dvar},
        {"dexpr", DK::Dexpr},
        {"objective", DK::Objective},
        {"constraints", DK::Constraints},
    };
    auto it = kinds.find(kind);
    if (it == kinds.end()) fail("unknown declaration type " + quote(kind));
    Decl d(it->second, pos());
    d.name_pos = pos();
    if (d.kind != DK::Objective && d.kind != DK::Constraints) {
        d.name = name_of(v, "name");
        where_ += " (" + quote(d.name) + ")";
    }
    switch (d.kind) {
        case DK::Tuple:
            for (handle f : list(get(v, "fields"), "'fields'")) {
                dict(f, "a field");
                Field fd;
                fd.name = name_of(f, "name");
                fd.type = type_ref(get(f, "type"), "a field's 'type'");
                fd.pos = pos();
                d.fields.push_back(std::move(fd));
            }
            break;
        case DK::Range: {
            auto r = node(EK::Range);
            r->text = "..";
            r->kids.push_back(expr(get(v, "low")));
            r->kids.push_back(expr(get(v, "high")));
            r->height = 1 + std::max(r->kids[0]->height, r->kids[1]->height);
            d.value = std::move(r);
            break;
        }
        case DK::Set: {
            d.type = type_ref(get(v, "element_type"), "'element_type'");
            pyb::object value = get(v, "value", false);
            if (!value.is_none()) {
                d.value = expr(value);
                if (d.value->kind != EK::SetLit) fail("a set's 'value' must be a set_literal node or None");
            }
            d.ellipsis = !d.value;
            break;
        }
        case DK::Param: {
            d.type = type_ref(get(v, "value_type"), "'value_type'");
            pyb::object dims = get(v, "indices", false);
            if (!dims.is_none()) d.dims = exprs(dims, "'indices'");
            index_names(v, d);  // a computed array's
            if (std::all_of(d.dim_vars.begin(), d.dim_vars.end(), [](const std::string& n) { return n.empty(); })) {
                d.dim_vars.clear();
                d.dim_var_pos.clear();
            }
            d.value = opt_expr(get(v, "value", false));
            d.ellipsis = !d.value;
            break;
        }
        case DK::Dvar: {
            d.type = type_ref(get(v, "var_type"), "'var_type'");
            if (d.type.base != Tok::KwFloat && d.type.base != Tok::KwInt && d.type.base != Tok::KwBoolean)
                fail("'var_type' must be 'float', 'int' or 'boolean'");
            pyb::object nonneg = get(v, "nonnegative", false);
            if (!nonneg.is_none() && !PyBool_Check(nonneg.ptr()))
                fail("'nonnegative' must be a bool, found " + describe(nonneg));
            d.nonneg = nonneg.ptr() == Py_True;
            pyb::object dims = get(v, "indices", false);
            if (!dims.is_none()) d.dims = exprs(dims, "'indices'");
            index_names(v, d);
            d.low = opt_expr(get(v, "low", false));
            d.high = opt_expr(get(v, "high", false));
            if (!d.low != !d.high) fail("a dvar's bounds 'low' and 'high' are given together or not at all");
            break;
        }
        case DK::Dexpr:
            d.type = type_ref(get(v, "value_type"), "'value_type'");
            if (d.type.base != Tok::KwFloat && d.type.base != Tok::KwInt) fail("'value_type' must be 'float' or 'int'");
            if (pyb::object dims = get(v, "indices", false); !dims.is_none()) d.dims = exprs(dims, "'indices'");
            index_names(v, d);
            d.value = expr(get(v, "expr"));
            break;
        case DK::Objective: {
            pyb::object label = get(v, "name", false);
            if (!label.is_none()) d.name = name(label, "the objective's 'name'");
            std::string sense = str_of(v, "sense");
            if (sense != "minimize" && sense != "maximize") fail("'sense' must be 'minimize' or 'maximize'");
            d.minimize = sense == "minimize";
            d.value = expr(get(v, "expr"));
            break;
        }
        case DK::Constraints:
            for (handle c : list(get(v, "constraints"), "'constraints'")) d.constraints.push_back(constraint(c));
            break;
    }
    return d;
}

Model TreeReader::model(handle ast) {
    dict(ast, "the model tree");
    Model m;
    pyb::object decls = get(ast, "declarations", false);
    if (decls.is_none()) return m;
    std::size_t k = 0;
    for (handle v : list(decls, "'declarations'")) {
        where_ = "declaration " + std::to_string(++k);
        dict(v, "a declaration");
        m.decls.push_back(decl(v));
    }
    where_.clear();
    m.end = Pos{line_ + 1, 1};
    return m;
}

// A data value: plain data (None, bool, int, float, str, list, tuple, dict)
// and the objects that turn into it (numpy arrays and scalars through
// tolist(), other integers through __index__, other reals through
// __float__); anything else is a TypeError. Every object is held while it
// is read, since tolist() and friends run arbitrary code.
Value data_value(handle v, const std::string& name, int depth) {
    auto fail = [&](const std::string& text) { throw TreeError{"data for " + quote(name) + ": " + text}; };
    if (depth > kMaxDataDepth) fail("nested deeper than " + std::to_string(kMaxDataDepth) + " levels");
    pyb::object held = pyb::reinterpret_borrow<pyb::object>(v);
    PyObject* o = held.ptr();
    if (o == Py_None) return Value();
    if (PyBool_Check(o)) return Value(o == Py_True);
    if (PyLong_Check(o)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (i == -1 && !overflow && PyErr_Occurred()) throw pyb::error_already_set();
        if (overflow) fail("integer " + tavro::py::as_utf8(tavro::py::py_str(v)) + " is too large");
        return Value(static_cast<std::int64_t>(i));
    }
    if (PyFloat_Check(o)) return Value(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_Check(o)) return Value(tavro::py::as_utf8(v));
    if (PyList_Check(o) || PyTuple_Check(o)) {
        List out;
        for (auto& item : items_of(o)) out.push_back(data_value(item, name, depth + 1));
        return Value(std::move(out));
    }
    if (PyDict_Check(o)) {
        Dict out;
        for (auto& [key, item] : entries_of(o)) {
            if (!PyUnicode_Check(key.ptr())) fail("a tuple's field names must be str, found " + describe(key));
            out.emplace_back(tavro::py::as_utf8(key), data_value(item, name, depth + 1));
        }
        return Value(std::move(out));
    }
    if (tavro::py::hasattr(o, "tolist")) {  // numpy arrays and scalars
        pyb::object plain = tavro::py::steal(PyObject_CallMethod(o, "tolist", nullptr));
        if (plain.ptr() != o && Py_TYPE(plain.ptr()) != Py_TYPE(o)) return data_value(plain, name, depth + 1);
    } else if (PyIndex_Check(o)) {  // other integer types
        return data_value(tavro::py::steal(PyNumber_Index(o)), name, depth);
    } else if (tavro::py::hasattr(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__float__")) {  // other real types
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
        return Value(d);
    }
    tavro::py::raise(PyExc_TypeError, tavro::py::format("data for %U: values of type %s are not plain data (None, "
                                                        "bool, int, float, str, list, tuple, dict or a numpy array)",
                                                        tavro::py::text(quote(name)), Py_TYPE(o)->tp_name));
}

}  // namespace

Dict read_tree(handle ast, handle data, Program& p) {
    TreeReader reader;
    p.model = reader.model(ast);
    pyb::object source = pyb::reinterpret_borrow<pyb::object>(data);
    if (source.is_none() || (PyDict_Check(source.ptr()) && PyDict_GET_SIZE(source.ptr()) == 0)) {
        PyObject* own = nullptr;
        if (PyDict_Check(ast.ptr())) {
            own = PyDict_GetItemWithError(ast.ptr(), tavro::py::text("data").ptr());
            if (!own && PyErr_Occurred()) throw pyb::error_already_set();
        }
        source = own ? pyb::reinterpret_borrow<pyb::object>(own) : pyb::none();
    }
    Dict out;
    if (source.is_none()) return out;
    if (!PyDict_Check(source.ptr())) throw TreeError{"the data must be a dict, found " + describe(source)};
    for (auto& [key, item] : entries_of(source)) {
        if (!PyUnicode_Check(key.ptr())) throw TreeError{"the data's names must be str, found " + describe(key)};
        std::string name = tavro::py::as_utf8(key);
        Value v = data_value(item, name, 0);
        out.emplace_back(std::move(name), std::move(v));
    }
    return out;
}

kelm::InstantiateResult ground_tree(Program& p, Dict data) {
    Diagnostics diag;
    p.diag = &diag;
    InstantiateResult out;
    try {
        check_model(p);
        if (!diag.any()) adopt_data(p, std::move(data));
        if (!diag.any()) check_computed_indices(p);
        if (!diag.any()) check_constant_indices(p);
        if (!diag.any()) out = instantiate(p);
    } catch (const Abort&) {
        out.ok = false;
    } catch (const std::bad_alloc&) {
        return {false, {}, "model:1:1: out of memory while instantiating"};
    }
    if (!out.ok && out.message.empty()) out.message = stop_message(p, out.stopped);
    p.diag = nullptr;
    return out;
}

}  // namespace tavro::kelm_py
