// Data values handed over as a dictionary (the compiled model's `data`, maybe
// edited by hand) instead of a data file: each value is checked against its
// declaration as the data reader checks the file (kinds, array sizes, set
// elements), and the elements of sets and ranges are computed.
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

namespace {

std::string found(const Value& v) {
    if (v.is_null()) return "None";
    if (v.is<bool>()) return std::string("boolean ") + (v.as<bool>() ? "True" : "False");
    if (v.is<std::int64_t>()) return "integer " + value_text(v);
    if (v.is<double>()) return "number " + value_text(v);
    if (v.is<std::string>()) return "string " + value_text(v);
    if (v.is<List>()) return "a list of " + std::to_string(v.as<List>().size());
    return "a dictionary";
}

class Adopter {
public:
    explicit Adopter(Program& p) : p_(p) {}
    void run(Dict data);

private:
    void err(Sym& s, std::string text) {
        s.bad = true;
        p_.diag->error(File::Model, s.decl ? s.decl->pos : s.pos, std::move(text));
    }
    bool scalar(Value& v, const Type& t, Sym& s);
    bool tuple(Value& v, const Decl& type, Sym& s);
    bool array(Value& v, Sym& s, std::size_t dim);
    bool set(Value& v, Sym& s);

    Program& p_;
};

// Converts `v` in place to the declared kind (int -> float where a float is
// declared, a tuple's fields in declaration order); false after an error.
bool Adopter::scalar(Value& v, const Type& t, Sym& s) {
    auto wrong = [&](const std::string& want) {
        err(s, want + " expected for " + quote(s.name) + ", found " + found(v));
        return false;
    };
    switch (t.base) {
        case Base::Int:
            if (v.is<std::int64_t>()) return true;
            return wrong(v.is<double>() ? "integer (declared int)" : "integer");
        case Base::Float:
            if (v.is<std::int64_t>()) {
                v = Value(static_cast<double>(v.as<std::int64_t>()));
                return true;
            }
            if (v.is<double>() && !std::isnan(v.as<double>())) return true;
            return wrong("number");
        case Base::String:
            if (v.is<std::string>()) return true;
            return wrong("string");
        case Base::Tuple: return tuple(v, *t.tuple, s);
        default: err(s, "no value can be taken for " + quote(s.name) + " (its declaration has an error)"); return false;
    }
}

// A tuple is a dictionary {field: value} (the compiled form) or a list of
// the field values in declaration order.
bool Adopter::tuple(Value& v, const Decl& type, Sym& s) {
    const auto& fields = type.fields;
    std::vector<Value*> slots(fields.size(), nullptr);
    std::size_t given = 0;
    if (v.is<Dict>()) {
        Dict& d = v.as<Dict>();
        given = d.size();
        for (auto& [name, fv] : d) {
            std::size_t k = 0;
            while (k < fields.size() && fields[k].name != name) ++k;
            if (k == fields.size()) {
                err(s, "tuple " + quote(type.name) + " has no field " + quote(name) + " (in a value of " +
                           quote(s.name) + ")");
                return false;
            }
            slots[k] = &fv;
        }
    } else if (v.is<List>()) {
        List& l = v.as<List>();
        given = l.size();
        for (std::size_t k = 0; k < l.size() && k < fields.size(); ++k) slots[k] = &l[k];
    } else {
        err(s, "tuple <...> of " + quote(type.name) + " expected for " + quote(s.name) + ", found " + found(v));
        return false;
    }
    if (given != fields.size()) {
        err(s, "tuple " + quote(type.name) + " has " + std::to_string(fields.size()) +
                   (fields.size() == 1 ? " field" : " fields") + ", a value of " + quote(s.name) + " has " +
                   std::to_string(given));
        return false;
    }
    Dict out;
    out.reserve(fields.size());
    for (std::size_t k = 0; k < fields.size(); ++k) {
        Type ft = fields[k].type.base == Tok::KwInt      ? Type{Base::Int}
                  : fields[k].type.base == Tok::KwString ? Type{Base::String}
                                                         : Type{Base::Float};
        if (!scalar(*slots[k], ft, s)) return false;
        out.emplace_back(fields[k].name, std::move(*slots[k]));
    }
    v = Value(std::move(out));
    return true;
}

bool Adopter::array(Value& v, Sym& s, std::size_t dim) {
    if (dim == s.dims.size()) return scalar(v, s.type, s);
    const Sym* set = s.dims[dim];
    if (!v.is<List>()) {
        err(s,
            "a list expected for " + quote(s.name) + " (dimension " + std::to_string(dim + 1) + "), found " + found(v));
        return false;
    }
    List& items = v.as<List>();
    if (set && set->elements.known && items.size() != set->elements.size()) {
        std::string of = set->name.empty() ? "its range" : quote(set->name);
        std::size_t want = set->elements.size();
        err(s, "array " + quote(s.name) + " needs " + std::to_string(want) + (want == 1 ? " value" : " values") +
                   " for " + of + " (dimension " + std::to_string(dim + 1) + "), found " +
                   std::to_string(items.size()));
        return false;
    }
    for (auto& item : items)
        if (!array(item, s, dim + 1)) return false;
    return true;
}

bool Adopter::set(Value& v, Sym& s) {
    if (!v.is<List>()) {
        err(s, "a list of elements expected for set " + quote(s.name) + ", found " + found(v));
        return false;
    }
    Elements& el = s.elements;
    el.position.clear();
    List& items = v.as<List>();
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (!scalar(items[k], s.type, s)) return false;
        auto [it, fresh] = el.position.emplace(element_key(items[k]), k);
        if (!fresh) {
            err(s, "duplicate element " + value_text(items[k]) + " in set " + quote(s.name));
            return false;
        }
    }
    el.count = items.size();
    el.known = true;
    return true;
}

void Adopter::run(Dict data) {
    std::unordered_map<const Sym*, Value*> given;
    for (auto& [name, value] : data) {
        Sym* s = p_.find(name);
        if (!s || s->kind == SymKind::TupleType) {
            std::vector<std::string_view> wanted;
            for (auto& sym : p_.syms)
                if (sym.needs_data && !sym.name.empty()) wanted.push_back(sym.name);
            std::string c = closest(name, wanted);
            p_.diag->error(File::Data, Pos{1, 1},
                           "data for " + quote(name) + ", which the model does not declare" +
                               (c.empty() ? std::string() : "; did you mean " + quote(c) + "?"));
            continue;
        }
        if (s->kind == SymKind::Dvar || s->kind == SymKind::Dexpr) {
            err(*s, "data for " + quote(name) + ", which is a decision " +
                        (s->kind == SymKind::Dvar ? "variable" : "expression") +
                        ": the solver finds its value; remove it from the data");
            continue;
        }
        // Values the model gives itself (and ranges) are computed from the
        // model, as the compiled data carries them only for reading.
        if (s->needs_data) given[s] = &value;
    }
    walk_data_decls(p_, [&](Sym& s) {
        auto it = given.find(&s);
        if (it == given.end()) {
            if (!s.bad) err(s, quote(s.name) + " has no value in the data");
            s.bad = true;
            return;
        }
        if (s.bad) return;
        Value v = std::move(*it->second);
        bool ok = s.kind == SymKind::Set ? set(v, s) : array(v, s, 0);
        if (ok) s.value = std::move(v);
    });
}

}  // namespace

void adopt_data(Program& p, Dict data) {
    Adopter a(p);
    a.run(std::move(data));
}

}  // namespace tavro::kelm
