// Data from Python: each declaration that needs data takes the mapping's
// value of its name, walked by the declaration's shape (sets, tuple sets,
// arrays of any dimension, single values) into the same values the data
// reader builds. Numeric arrays become flat arrays; a numpy block is copied
// from its buffer. Every fault names the entry: "data['cost']: ...".
#include "tavro/_kelm/from_mapping.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

namespace tavro::kelm_py {

namespace {

namespace pyb = pybind11;
using pyb::handle;
using pyb::object;
using namespace tavro::kelm;

struct Stop {};  // a fault was reported: the entry ends

using tavro::py::steal;

std::string shown(handle v) {
    std::string r = tavro::py::as_utf8(tavro::py::py_repr(v));
    if (r.size() > 40) r = r.substr(0, 37) + "...";
    return std::string(Py_TYPE(v.ptr())->tp_name) + " " + r;
}

Base base_of(const TypeRef& t) {
    return t.base == Tok::KwInt ? Base::Int : t.base == Tok::KwString ? Base::String : Base::Float;
}

bool numeric(PyObject* o) {
    auto* num = Py_TYPE(o)->tp_as_number;
    return PyFloat_Check(o) || PyLong_Check(o) || PyIndex_Check(o) || (num && num->nb_float);
}

bool sequence(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o); }

class MappingReader {
public:
    explicit MappingReader(Program& p) : p_(p) {
        object module = steal(PyImport_ImportModule("tavro._data"));
        keyed_ = module.attr("Keyed");
        frame_ = module.attr("Frame");
    }
    void run(handle data);

private:
    [[noreturn]] void fail(const std::string& text) {
        p_.diag->error_named("data['" + s_->name + "']", text);
        throw Stop{};
    }
    std::string scalar(handle v, Base want, Value& out);
    Value element(handle v, const Type& t, const std::string& at);
    std::size_t position(const Sym& set, handle key);
    std::vector<object> items(handle v, const char* what);
    void set(handle v);
    void array(handle v);
    void fill(handle v, std::size_t dim, std::size_t base);
    void keyed(handle keys, handle values, std::size_t dim, std::size_t base);
    void leaf(handle v, std::size_t offset);
    void number(double x, std::size_t offset);
    bool numpy_block(handle v, std::size_t dim, std::size_t base);
    void mark(std::size_t offset);
    std::string key_text(std::size_t offset) const;
    std::string dims_text() const;
    void single(handle v);

    Program& p_;
    object keyed_, frame_;
    Sym* s_ = nullptr;
    Base want_ = Base::Float;
    std::vector<std::size_t> shape_, block_;  // sizes; elements below each dimension
    std::vector<std::uint8_t> given_;
    std::vector<std::int64_t> ints_;
    std::vector<double> floats_;
    std::vector<Value> texts_;
};

// Converts `v` to the wanted kind into `out`; "" or what is wrong with it.
std::string MappingReader::scalar(handle v, Base want, Value& out) {
    PyObject* o = v.ptr();
    if (want == Base::String) {
        if (PyUnicode_Check(o)) {
            out = Value(tavro::py::as_utf8(v));
            return {};
        }
        return "string expected, found " + shown(v);
    }
    if (PyBool_Check(o) || !numeric(o))
        return (want == Base::Int ? "integer" : "number") + std::string(" expected, found ") + shown(v);
    if (!PyFloat_Check(o) && PyIndex_Check(o)) {
        object i = steal(PyNumber_Index(o));
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        if (overflow)
            return "integer " + tavro::py::as_utf8(tavro::py::py_str(i)) +
                   " is too large (at most 9223372036854775807)";
        out = want == Base::Int ? Value(static_cast<std::int64_t>(x)) : Value(static_cast<double>(x));
        return {};
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    if (std::isnan(d)) return (want == Base::Int ? "integer" : "number") + std::string(" expected, found nan");
    if (want == Base::Float) {
        out = Value(d);
        return {};
    }
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) >= 9.2e18)
        return "integer expected (declared int), found " + shown(v);
    out = Value(static_cast<std::int64_t>(d));
    return {};
}

// A set element or key: a scalar, or a tuple as a tuple/list of its fields
// in order or a dict {field: value}.
Value MappingReader::element(handle v, const Type& t, const std::string& at) {
    Value out;
    if (t.base != Base::Tuple) {
        std::string why = scalar(v, t.base, out);
        if (!why.empty()) fail(why + " (" + at + ")");
        return out;
    }
    const auto& fields = t.tuple->fields;
    std::vector<object> parts(fields.size());
    PyObject* o = v.ptr();
    std::size_t given = 0;
    if (sequence(o)) {
        given = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o));
        for (std::size_t k = 0; k < given && k < fields.size(); ++k)
            parts[k] = pyb::reinterpret_borrow<object>(PySequence_Fast_ITEMS(o)[k]);
    } else if (PyDict_Check(o)) {
        given = static_cast<std::size_t>(PyDict_GET_SIZE(o));
        for (std::size_t k = 0; k < fields.size(); ++k) {
            PyObject* f = PyDict_GetItemWithError(o, tavro::py::text(fields[k].name).ptr());
            if (!f && PyErr_Occurred()) throw pyb::error_already_set();
            if (!f)
                fail("tuple " + quote(t.tuple->name) + " has a field " + quote(fields[k].name) + ", missing in " +
                     shown(v) + " (" + at + ")");
            parts[k] = pyb::reinterpret_borrow<object>(f);
        }
    } else {
        fail("tuple <...> of " + quote(t.tuple->name) + " expected, found " + shown(v) + " (" + at + ")");
    }
    if (given != fields.size())
        fail("tuple " + quote(t.tuple->name) + " has " + std::to_string(fields.size()) +
             (fields.size() == 1 ? " field" : " fields") + ", " + shown(v) + " has " + std::to_string(given) + " (" +
             at + ")");
    Dict d;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        Value f;
        std::string why = scalar(parts[k], base_of(fields[k].type), f);
        if (!why.empty()) fail(why + " (field " + quote(fields[k].name) + ", " + at + ")");
        d.emplace_back(fields[k].name, std::move(f));
    }
    return Value(std::move(d));
}

std::size_t MappingReader::position(const Sym& set, handle key) {
    const Elements& el = set.elements;
    std::string of = set.name.empty() ? "its range" : quote(set.name);
    Value k = element(key, el.is_range ? Type{Base::Int} : set.type, "a key of " + quote(s_->name));
    if (el.is_range) {
        std::int64_t i = k.as<std::int64_t>();
        if (i < el.low || i > el.high)
            fail("key " + std::to_string(i) + " of " + quote(s_->name) + " is outside " + of + " (" +
                 std::to_string(el.low) + ".." + std::to_string(el.high) + ")");
        return static_cast<std::size_t>(i - el.low);
    }
    auto it = el.position.find(element_key(k));
    if (it == el.position.end())
        fail("key " + value_text(k) + " of " + quote(s_->name) + " is not an element of " + of);
    return it->second;
}

// The items of a list, tuple, numpy array (its rows) or other iterable, each
// held: reading one may run Python code (__float__, tolist()) that changes
// the list.
std::vector<object> MappingReader::items(handle v, const char* what) {
    PyObject* o = v.ptr();
    if (PyUnicode_Check(o) || PyDict_Check(o) || PyBytes_Check(o))
        fail(std::string(what) + " expected, found " + shown(v));
    object seq = pyb::reinterpret_borrow<object>(v);
    if (!sequence(o)) {
        if (tavro::py::hasattr(v, "tolist")) seq = steal(PyObject_CallMethod(o, "tolist", nullptr));
        object fast = pyb::reinterpret_steal<object>(PySequence_Fast(seq.ptr(), ""));
        if (!fast) {
            PyErr_Clear();
            fail(std::string(what) + " expected, found " + shown(v));
        }
        seq = fast;
    }
    PyObject** at = PySequence_Fast_ITEMS(seq.ptr());
    std::vector<object> out;
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.ptr()); ++k)
        out.push_back(pyb::reinterpret_borrow<object>(at[k]));
    return out;
}

void MappingReader::set(handle given) {
    object v = pyb::reinterpret_borrow<object>(given);
    if (pyb::isinstance(v, keyed_)) v = v.attr("values");
    if (pyb::isinstance(v, frame_)) {
        object columns = v.attr("columns");
        if (s_->type.base == Base::Tuple) {
            object fields = steal(PyList_New(0));
            for (auto& f : s_->type.tuple->fields) fields.attr("append")(tavro::py::text(f.name));
            v = v.attr("rows")(fields);
        } else if (PyObject_Length(columns.ptr()) == 1) {
            v = v.attr("column")(0);
        } else {
            fail("a DataFrame of one column expected for set " + quote(s_->name) + ", found " +
                 std::to_string(PyObject_Length(columns.ptr())) + " columns");
        }
    }
    List out;
    Elements& el = s_->elements;
    el.position.clear();
    std::size_t k = 0;
    for (handle item : items(v, "a list of elements")) {
        Value e = element(item, s_->type, "element " + std::to_string(k++ + 1));
        if (!el.position.emplace(element_key(e), out.size()).second)
            fail("duplicate element " + value_text(e) + " in set " + quote(s_->name));
        out.push_back(std::move(e));
    }
    el.count = out.size();
    el.known = true;
    s_->value = Value(std::move(out));
}

std::string MappingReader::key_text(std::size_t offset) const {
    std::vector<std::size_t> at(shape_.size());
    for (std::size_t k = shape_.size(); k-- > 0;) {
        at[k] = offset % shape_[k];
        offset /= shape_[k];
    }
    std::string out = s_->name;
    for (std::size_t k = 0; k < shape_.size(); ++k) {
        const Sym& set = *s_->dims[k];
        if (set.elements.is_range)
            out += "[" + std::to_string(set.elements.low + static_cast<std::int64_t>(at[k])) + "]";
        else
            out += "[" + value_text(set.value->as<List>()[at[k]]) + "]";
    }
    return out;
}

std::string MappingReader::dims_text() const {
    std::string out;
    for (const Sym* d : s_->dims) out += "[" + (d->name.empty() ? std::string("range") : d->name) + "]";
    return out;
}

void MappingReader::mark(std::size_t offset) {
    if (given_[offset]) fail("a second value for " + key_text(offset));
    given_[offset] = 1;
}

void MappingReader::leaf(handle v, std::size_t offset) {
    mark(offset);
    Value x;
    std::string why = scalar(v, want_, x);
    if (!why.empty()) fail(why + " (for " + key_text(offset) + ")");
    if (want_ == Base::String)
        texts_[offset] = std::move(x);
    else if (want_ == Base::Int)
        ints_[offset] = x.as<std::int64_t>();
    else
        floats_[offset] = x.as<double>();
}

// A number from a numpy buffer, checked as leaf() checks a Python number.
void MappingReader::number(double x, std::size_t offset) {
    mark(offset);
    if (std::isnan(x)) fail("number expected, found nan (for " + key_text(offset) + ")");
    if (want_ == Base::Float) {
        floats_[offset] = x;
        return;
    }
    if (x != std::floor(x) || std::fabs(x) >= 9.2e18)
        fail("integer expected (declared int), found " + value_text(Value(x)) + " (for " + key_text(offset) + ")");
    ints_[offset] = static_cast<std::int64_t>(x);
}

// A numeric numpy array for the dimensions from `dim` on, copied from its
// buffer; false when `v` is not one (object and string arrays go item by item).
bool MappingReader::numpy_block(handle v, std::size_t dim, std::size_t base) {
    if (!pyb::isinstance<pyb::array>(v) || want_ == Base::String) return false;
    auto a = pyb::reinterpret_borrow<pyb::array>(v);
    char kind = a.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f' && kind != 'b') return false;
    std::size_t rank = shape_.size() - dim;
    bool fits = static_cast<std::size_t>(a.ndim()) == rank;
    for (std::size_t k = 0; fits && k < rank; ++k) fits = static_cast<std::size_t>(a.shape(k)) == shape_[dim + k];
    if (!fits) {
        std::string want = "(", got = "(";
        for (std::size_t k = dim; k < shape_.size(); ++k) want += (k > dim ? ", " : "") + std::to_string(shape_[k]);
        for (pyb::ssize_t k = 0; k < a.ndim(); ++k) got += (k ? ", " : "") + std::to_string(a.shape(k));
        fail("array " + quote(s_->name) + " needs shape " + want + (rank == 1 ? ",)" : ")") + " for " + dims_text() +
             (dim ? " from dimension " + std::to_string(dim + 1) : std::string()) + ", found a numpy array of shape " +
             got + (a.ndim() == 1 ? ",)" : ")"));
    }
    if (kind == 'b') fail("numbers expected, found a numpy array of booleans (convert it with .astype(int))");
    const std::size_t n = block_[dim], first = base * n;
    for (std::size_t k = first; k < first + n; ++k) mark(k);
    if (want_ == Base::Int && kind != 'f') {
        auto c = pyb::array_t<std::int64_t, pyb::array::c_style | pyb::array::forcecast>::ensure(v);
        if (!c) throw pyb::error_already_set();
        std::memcpy(ints_.data() + first, c.data(), n * sizeof(std::int64_t));
        return true;
    }
    auto c = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>::ensure(v);
    if (!c) throw pyb::error_already_set();
    const double* d = c.data();
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isnan(d[k])) fail("number expected, found nan (for " + key_text(first + k) + ")");
        if (want_ == Base::Int && (d[k] != std::floor(d[k]) || std::fabs(d[k]) >= 9.2e18))
            fail("integer expected (declared int), found " + value_text(Value(d[k])) + " (for " + key_text(first + k) +
                 ")");
    }
    if (want_ == Base::Int)
        for (std::size_t k = 0; k < n; ++k) ints_[first + k] = static_cast<std::int64_t>(d[k]);
    else
        std::memcpy(floats_.data() + first, d, n * sizeof(double));
    return true;
}

// Values keyed by index values: `keys` and `values` side by side (a dict's
// items, a Series' index and values). A key spans several dimensions as a
// tuple (unless its set is a set of tuples).
void MappingReader::keyed(handle keys, handle values, std::size_t dim, std::size_t base) {
    std::vector<object> ks = items(keys, "keys");
    std::vector<object> vs;
    std::optional<pyb::array_t<double>> flat;
    if (pyb::isinstance<pyb::array>(values) && want_ != Base::String &&
        std::strchr("iuf", pyb::reinterpret_borrow<pyb::array>(values).dtype().kind()) &&
        pyb::reinterpret_borrow<pyb::array>(values).ndim() == 1) {
        flat = pyb::array_t<double, pyb::array::c_style | pyb::array::forcecast>::ensure(values);
        if (!*flat) throw pyb::error_already_set();
    } else {
        vs = items(values, "values");
    }
    std::size_t count = flat ? static_cast<std::size_t>(flat->size()) : vs.size();
    if (count != ks.size())
        fail(std::to_string(ks.size()) + " keys and " + std::to_string(count) + " values for " + quote(s_->name));
    for (std::size_t k = 0; k < ks.size(); ++k) {
        handle key = ks[k];
        std::size_t d = dim, at = base;
        const Sym* set = s_->dims[d];
        bool spans = PyTuple_Check(key.ptr()) && set->type.base != Base::Tuple;
        std::vector<handle> parts;
        if (spans) {
            std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(key.ptr()));
            if (n == 0 || d + n > shape_.size())
                fail("key " + shown(key) + " of " + quote(s_->name) + " has " + std::to_string(n) + " parts, " +
                     dims_text() + " takes at most " + std::to_string(shape_.size() - d));
            for (std::size_t j = 0; j < n; ++j) parts.push_back(PyTuple_GET_ITEM(key.ptr(), j));
        } else {
            parts.push_back(key);
        }
        for (handle part : parts) {
            at = at * shape_[d] + position(*s_->dims[d], part);
            ++d;
        }
        if (flat) {
            if (d != shape_.size())
                fail("values of " + quote(s_->name) + " " + dims_text() + " need a key for every dimension");
            number(flat->data()[k], at);
            continue;
        }
        fill(vs[k], d, at);
    }
}

void MappingReader::fill(handle v, std::size_t dim, std::size_t base) {
    if (dim == shape_.size()) return leaf(v, base);
    if (numpy_block(v, dim, base)) return;
    PyObject* o = v.ptr();
    if (PyDict_Check(o)) {
        object ks = steal(PyDict_Keys(o)), vs = steal(PyDict_Values(o));
        return keyed(ks, vs, dim, base);
    }
    if (pyb::isinstance(v, keyed_)) return keyed(v.attr("keys"), v.attr("values"), dim, base);
    if (pyb::isinstance(v, frame_)) {
        if (shape_.size() - dim == 2) {  // a matrix: rows by the index, columns by the column names
            object rows = v.attr("matrix")();
            return keyed(v.attr("index"), rows, dim, base);
        }
        object columns = v.attr("columns");
        if (shape_.size() - dim == 1 && PyObject_Length(columns.ptr()) == 1)
            return keyed(v.attr("index"), v.attr("column")(0), dim, base);
        fail("a DataFrame gives a 2-D array as a matrix (rows: first index, columns: second); for " + quote(s_->name) +
             " " + dims_text() + " give a Series indexed by its keys");
    }
    std::vector<object> list = items(v, "a list or dict");
    const Sym* set = s_->dims[dim];
    if (list.size() != shape_[dim]) {
        std::string of = set->name.empty() ? "its range" : quote(set->name);
        fail("array " + quote(s_->name) + " needs " + std::to_string(shape_[dim]) +
             (shape_[dim] == 1 ? " value" : " values") + " for " + of + " (dimension " + std::to_string(dim + 1) +
             "), found " + std::to_string(list.size()));
    }
    for (std::size_t k = 0; k < list.size(); ++k) fill(list[k], dim + 1, base * shape_[dim] + k);
}

void MappingReader::array(handle v) {
    want_ = s_->type.base;
    if (want_ != Base::Int && want_ != Base::Float && want_ != Base::String)
        fail(quote(s_->name) + " holds " + type_text(s_->type) +
             " values: data from Python gives int, float or string");
    shape_.clear();
    for (Sym* d : s_->dims) {
        if (!d || !d->elements.known) throw Stop{};  // its fault is reported
        shape_.push_back(d->elements.size());
    }
    block_.assign(shape_.size() + 1, 1);
    for (std::size_t k = shape_.size(); k-- > 0;) block_[k] = block_[k + 1] * shape_[k];
    const std::size_t total = block_[0];
    given_.assign(total, 0);
    if (want_ == Base::String)
        texts_.assign(total, Value());
    else if (want_ == Base::Int)
        ints_.assign(total, 0);
    else
        floats_.assign(total, 0.0);
    fill(v, 0, 0);
    std::size_t missing = 0, first = 0;
    for (std::size_t k = 0; k < total; ++k)
        if (!given_[k] && !missing++) first = k;
    if (missing)
        fail("no value for " + key_text(first) +
             (missing > 1 ? " (nor for " + std::to_string(missing - 1) + " other keys)" : std::string()));
    if (want_ == Base::String || total == 0) {
        // nested lists, one level per dimension
        std::function<Value(std::size_t, std::size_t)> nest = [&](std::size_t level, std::size_t base) {
            List out;
            for (std::size_t k = 0; k < shape_[level]; ++k)
                out.push_back(level + 1 == shape_.size() ? std::move(texts_[base * shape_[level] + k])
                                                         : nest(level + 1, base * shape_[level] + k));
            return Value(std::move(out));
        };
        s_->value = nest(0, 0);
        return;
    }
    auto numbers = std::make_shared<Numbers>();
    numbers->is_int = want_ == Base::Int;
    numbers->shape = shape_;
    numbers->ints = std::move(ints_);
    numbers->floats = std::move(floats_);
    s_->value = Value(NumbersPtr(std::move(numbers)));
}

void MappingReader::single(handle v) {
    Value out;
    if (s_->type.base != Base::Int && s_->type.base != Base::Float && s_->type.base != Base::String)
        fail(quote(s_->name) + " holds a " + type_text(s_->type) + ": data from Python gives int, float or string");
    std::string why = scalar(v, s_->type.base, out);
    if (!why.empty()) fail(why);
    s_->value = std::move(out);
}

void MappingReader::run(handle data) {
    std::unordered_map<const Sym*, object> given;
    PyObject *key, *item;
    Py_ssize_t at = 0;
    while (PyDict_Next(data.ptr(), &at, &key, &item)) {
        if (!PyUnicode_Check(key))
            tavro::py::raise(PyExc_TypeError, std::string("data names must be str, got ") + Py_TYPE(key)->tp_name);
        std::string name = tavro::py::as_utf8(key);
        Sym* s = p_.find(name);
        std::string fault = data_name_fault(p_, name, s);
        if (!fault.empty()) {
            p_.diag->error_named("data['" + name + "']", fault);
            continue;
        }
        given[s] = pyb::reinterpret_borrow<object>(item);
    }
    walk_data_decls(p_, [&](Sym& s) {
        auto it = given.find(&s);
        if (it == given.end()) {
            if (!s.bad)
                p_.diag->error(File::Model, s.pos, quote(s.name) + " has no value: give data['" + s.name + "']");
            s.bad = true;
            return;
        }
        s_ = &s;
        try {
            if (s.kind == SymKind::Set)
                set(it->second);
            else if (!s.dims.empty())
                array(it->second);
            else
                single(it->second);
        } catch (const Stop&) {
            s.bad = true;
            s.elements.known = false;
        }
    });
}

}  // namespace

void read_mapping(Program& p, std::string_view model_text, handle data) {
    p.model = parse_model(model_text, *p.diag);
    if (!p.diag->any()) check_model(p);
    if (p.diag->any()) return;
    MappingReader r(p);
    r.run(data);
}

}  // namespace tavro::kelm_py
