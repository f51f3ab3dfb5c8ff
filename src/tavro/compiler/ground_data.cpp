// Data computed in the model, evaluated by the engine: the data functions
// (sqrt, exp, log, floor, ceil, round, pow and '^') with their domain faults
// located, and computed arrays, element by element into the same flat
// arrays the data reader builds.
#include <algorithm>
#include <cmath>

#include "tavro/compiler/ground.hpp"

namespace tavro::kelm {

namespace ground {

namespace {

Num num_of(const Val& v) { return v.kind == Val::Int ? Num::of(v.i) : Num::of(v.f); }

// A literal, maybe negated: its value already shows in a fault's text.
bool literal(const Node& n) {
    const Node* at = n.op == Node::Neg ? n.kids[0].get() : &n;
    return at->op == Node::Const;
}

}  // namespace

std::string Engine::describe_call(const Node& n, int depth) {
    std::string out = std::string(function_name(n.fn)) + "(";
    for (std::size_t k = 0; k < n.kids.size(); ++k) out += (k ? ", " : "") + describe(*n.kids[k], depth + 1);
    return out + ")";
}

Val Engine::eval_function(const Node& n) {
    Val a = eval(*n.kids[0]);
    Val b = n.kids.size() > 1 ? eval(*n.kids[1]) : Val::of_int(0);
    if (!a.numeric() || !b.numeric()) fault(n.pos, std::string(function_name(n.fn)) + " takes numbers");
    FnResult r = apply(n.fn, num_of(a), num_of(b));
    if (!r.fault.empty()) {
        bool plain = std::all_of(n.kids.begin(), n.kids.end(), [](const NodePtr& k) { return literal(*k); });
        fault(n.pos, r.fault + (plain ? std::string() : " (from " + describe(n) + ")"));
    }
    return r.value.is_int ? Val::of_int(r.value.i) : Val::of_float(r.value.f);
}

std::optional<Value> Engine::array_value(const Sym& s) {
    const Decl& d = *s.decl;
    std::optional<Value> out;
    attempt([&] {
        std::vector<const Domain*> dims;
        std::vector<int> slots;
        std::size_t mark = scope_.size();
        for (std::size_t k = 0; k < s.dims.size(); ++k) {
            dims.push_back(&domain(s.dims[k], d.pos));
            slots.push_back(open_slot(d.dim_vars[k]));
        }
        NodePtr body = lower(*d.value);
        close_slots(scope_.size() - mark);
        auto flat = std::make_shared<Numbers>();
        flat->is_int = s.type.base == Base::Int;
        bool numeric = flat->is_int || s.type.base == Base::Float;
        std::size_t total = 1;
        for (const Domain* dom : dims) {
            flat->shape.push_back(static_cast<std::size_t>(dom->size()));
            total *= flat->shape.back();  // within kMaxElements: the size check ran before
        }
        List strings;
        if (!numeric)
            strings.reserve(total);
        else if (flat->is_int)
            flat->ints.reserve(total);
        else
            flat->floats.reserve(total);
        for (std::size_t k = 0; k < slots.size(); ++k) element_.emplace_back(&d.dim_vars[k], slots[k]);
        std::vector<std::int64_t> at(dims.size(), 0);
        for (std::size_t e = 0; e < total; ++e) {
            tick();
            for (std::size_t k = 0; k < dims.size(); ++k) {
                Binding& b = env_.slots[static_cast<std::size_t>(slots[k])];
                b.bind(dims[k], at[k]);
            }
            Val v = eval(*body);
            if (!numeric) {
                if (v.kind != Val::Str) fault(d.value->pos, quote(s.name) + " holds strings, found " + show(v));
                strings.emplace_back(*v.s);
            } else if (!flat->is_int) {
                flat->floats.push_back(v.num());
            } else if (v.kind == Val::Int) {
                flat->ints.push_back(v.i);
            } else if (std::isfinite(v.f) && v.f == std::floor(v.f) && std::fabs(v.f) < 9.2e18) {
                flat->ints.push_back(static_cast<std::int64_t>(v.f));  // a whole literal: 3.0
            } else {
                fault(d.value->pos, quote(s.name) + " is int but its value is " + show(v));
            }
            for (std::size_t k = dims.size(); k-- > 0;) {  // row-major: the last index moves fastest
                if (++at[k] < dims[k]->size()) break;
                at[k] = 0;
            }
        }
        out = numeric ? Value(NumbersPtr(std::move(flat))) : Value(std::move(strings));
    });
    element_.clear();
    return out;
}

}  // namespace ground

void compute_array(Program& p, Sym& s) {
    if (s.bad || !s.decl || !s.decl->value) return;
    ground::Engine engine(p, s.dims.size() + ground::count_clauses(*s.decl->value) + 8);
    std::optional<Value> v = engine.array_value(s);
    if (v) {
        s.value = std::move(*v);
        return;
    }
    s.bad = true;
    if (!p.diag->any())  // a value it needs is not known, and nothing said why
        p.diag->error(File::Model, s.decl->pos, "the values of " + quote(s.name) + " cannot be computed");
}

}  // namespace tavro::kelm
