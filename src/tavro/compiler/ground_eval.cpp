// Evaluation, the engine's second stage: the data-only value of a lowered
// expression under the current bindings (ints exact with overflow checks,
// floats as doubles), the datum at an array's indices, the position of an
// index in its set, and the texts of values in names and messages. Also the
// entry for data-only values outside any forall (range bounds, initializers).
#include <cmath>

#include "tavro/compiler/ground.hpp"
#include "tavro/compiler/numbers.hpp"

namespace tavro::kelm {

namespace ground {

Val from_value(const Value& v) {
    switch (v.v.index()) {
        case 1: return Val::of_bool(v.as<bool>());
        case 2: return Val::of_int(v.as<std::int64_t>());
        case 3: return Val::of_float(v.as<double>());
        case 4: {
            Val x;
            x.kind = Val::Str;
            x.s = &v.as<std::string>();
            return x;
        }
        case 6: {
            Val x;
            x.kind = Val::Tuple;
            x.t = &v.as<Dict>();
            return x;
        }
        default: return Val::of_int(0);
    }
}

Value to_value(const Val& v) {
    switch (v.kind) {
        case Val::Int: return Value(v.i);
        case Val::Float: return Value(v.f);
        case Val::Bool: return Value(v.i != 0);
        case Val::Str: return Value(*v.s);
        case Val::Tuple: return Value(*v.t);
    }
    return Value();
}

namespace {

// Where an expression starts in the source (an operator node sits at its operator).
Pos start_of(const Node& n) {
    const Node* at = &n;
    while ((at->op >= Node::Add && at->op <= Node::Or) || at->op == Node::Field) at = at->kids[0].get();
    return at->pos;
}

template <class T>
bool compare(Node::Op op, T x, T y) {
    switch (op) {
        case Node::Eq: return x == y;
        case Node::Ne: return x != y;
        case Node::Lt: return x < y;
        case Node::Le: return x <= y;
        case Node::Gt: return x > y;
        default: return x >= y;
    }
}

}  // namespace

std::string key_of(const Val& v) {
    switch (v.kind) {
        case Val::Int: return element_key(Value(v.i));
        case Val::Float: return element_key(Value(v.f));
        case Val::Str: return "s" + *v.s;
        case Val::Tuple: return element_key(Value(*v.t));
        case Val::Bool: return "";
    }
    return "";
}

std::string text_of(const Val& v) {
    switch (v.kind) {
        case Val::Int: return std::to_string(v.i);
        case Val::Float: return format_float(v.f);
        case Val::Bool: return v.i ? "true" : "false";
        case Val::Str: return *v.s;
        case Val::Tuple: {
            std::string out = "<";
            for (auto& [k, f] : *v.t) out += (out.size() > 1 ? "," : "") + text_of(from_value(f));
            return out + ">";
        }
    }
    return "";
}

std::string show(const Val& v) {
    if (v.kind == Val::Float) return format_float(v.f);
    if (v.kind == Val::Bool) return v.i ? "true" : "false";
    return value_text(to_value(v));
}

std::int64_t Domain::position(const Val& v) const {
    if (is_range) {
        if (v.kind != Val::Int || v.i < low || v.i > high) return -1;
        return v.i - low;
    }
    if (!elements) return -1;
    auto it = elements->position.find(key_of(v));
    return it == elements->position.end() ? -1 : static_cast<std::int64_t>(it->second);
}

const Domain& Engine::domain(const Sym* s, Pos where) {
    auto it = domains_.find(s);
    if (it != domains_.end()) return *it->second;
    auto dom = std::make_unique<Domain>();
    dom->sym = s;
    if (s->kind == SymKind::Range) {
        dom->is_range = true;
        if (s->elements.known) {
            dom->low = s->elements.low;
            dom->high = s->elements.high;
        } else if (s->range) {
            std::size_t mark = scope_.size();
            NodePtr lo = lower(*s->range->kids[0]), hi = lower(*s->range->kids[1]);
            close_slots(scope_.size() - mark);
            Val a = eval(*lo), b = eval(*hi);
            if (a.kind != Val::Int || b.kind != Val::Int) fault(where, "range bounds must be integers");
            if (std::string size = range_size_fault(a.i, b.i, s->name); !size.empty()) fault(where, std::move(size));
            dom->low = a.i;
            dom->high = b.i;
        }
    } else {
        dom->is_range = false;
        if (!s->value || !s->value->is<List>()) throw Unknown{};
        dom->items = &s->value->as<List>();
        dom->elements = &s->elements;
    }
    return *domains_.emplace(s, std::move(dom)).first->second;
}

Domain Engine::clause_domain(const ClauseIR& c) {
    if (c.set) return domain(c.set, {});
    Domain d;
    Val a = eval(*c.low), b = eval(*c.high);
    if (a.kind != Val::Int || b.kind != Val::Int) fault(c.low->pos, "range bounds must be integers");
    if (std::string size = range_size_fault(a.i, b.i, ""); !size.empty()) fault(c.low->pos, std::move(size));
    d.is_range = true;
    d.low = a.i;
    d.high = b.i;
    return d;
}

// The datum at the node's indices: through nested lists (adopted data) and
// flat numeric arrays (read from the data file) alike.
Val Engine::element(const Node& n) {
    const Sym* s = n.sym;
    if (!s->value) throw Unknown{};
    const Value* v = &*s->value;
    if (n.doms.size() != n.kids.size())
        for (std::size_t k = n.doms.size(); k < n.kids.size(); ++k) n.doms.push_back(&domain(s->dims[k], n.pos));
    for (std::size_t k = 0; k < n.kids.size(); ++k) {
        const Domain& dom = *n.doms[k];
        std::int64_t at = position(*n.kids[k], dom, s);
        if (const auto* flat = std::get_if<NumbersPtr>(&v->v)) {
            const Numbers& a = **flat;
            std::size_t level = 0, offset = 0;
            for (;; at = position(*n.kids[k], *n.doms[k], s)) {
                if (static_cast<std::size_t>(at) >= a.shape[level])
                    fault(n.pos, quote(s->name) + " has no value at this index");
                offset = offset * a.shape[level] + static_cast<std::size_t>(at);
                ++level;
                if (++k == n.kids.size() || level == a.shape.size()) break;
            }
            if (level != a.shape.size()) return from_value(Value());  // not a single number
            return a.is_int ? Val::of_int(a.ints[offset]) : Val::of_float(a.floats[offset]);
        }
        const List& items = v->as<List>();
        if (static_cast<std::size_t>(at) >= items.size()) fault(n.pos, quote(s->name) + " has no value at this index");
        v = &items[static_cast<std::size_t>(at)];
    }
    return from_value(*v);
}

std::int64_t Engine::position_of(const Node& idx, const Domain& dom, const Sym* array) {
    Val v = eval(idx);
    std::int64_t at = dom.position(v);
    if (at >= 0) return at;
    std::string from = idx.op == Node::Const || idx.op == Node::Str ? "" : " (from " + describe(idx) + ")";
    std::string of = dom.sym && !dom.sym->name.empty() ? quote(dom.sym->name) : "its range";
    if (dom.is_range)
        fault(start_of(idx), "index " + show(v) + from + " of " + quote(array->name) + " is outside " + of + " (" +
                                 std::to_string(dom.low) + ".." + std::to_string(dom.high) + ")");
    fault(start_of(idx), "index " + show(v) + from + " of " + quote(array->name) + " is not in the set " +
                             (dom.sym ? dom.sym->name : std::string("?")));
}

// The dexpr a reference names, its named indices bound to the reference's.
DexprInfo& Engine::bind_dexpr(const Node& n) {
    DexprInfo& dx = dexprs_[static_cast<std::size_t>(n.slot)];
    if (!dx.body) throw Unknown{};  // its own fault was reported at its declaration
    tick();
    for (std::size_t k = 0; k < n.kids.size() && k < dx.slots.size(); ++k) {
        std::int64_t at = position(*n.kids[k], *dx.dims[k], n.sym);
        Binding& b = env_.slots[static_cast<std::size_t>(dx.slots[k])];
        b.value = dx.dims[k]->at(at);
        b.domain = dx.dims[k];
        b.pos = at;
    }
    return dx;
}

std::string Engine::describe(const Node& n, int depth) {
    if (depth > 40) return "...";  // messages show the start of a long expression
    static const char* ops[] = {"+", "-", "*", "/", " mod ", "==", "!=", "<", "<=", ">", ">=", "&&", "||"};
    switch (n.op) {
        case Node::Const:
        case Node::Str: return show(n.value);
        case Node::Slot: return show(env_.slots[static_cast<std::size_t>(n.slot)].value);
        case Node::Param:
        case Node::Var:
        case Node::Card: return n.sym ? n.sym->name : "?";
        case Node::ParamAt:
        case Node::VarAt:
        case Node::DexprRef: {
            std::string out = n.sym->name;
            for (auto& k : n.kids) out += "[" + describe(*k, depth + 1) + "]";
            return out;
        }
        case Node::Field: return describe(*n.kids[0], depth + 1) + "." + n.field;
        case Node::Neg: return "-" + describe(*n.kids[0], depth + 1);
        case Node::Not: return "!" + describe(*n.kids[0], depth + 1);
        case Node::Pow: {
            auto side = [&](const Node& k) {
                std::string t = describe(k, depth + 1);
                return (k.op >= Node::Add && k.op <= Node::Or) || k.op == Node::Pow || k.op == Node::Neg ? "(" + t + ")"
                                                                                                         : t;
            };
            return side(*n.kids[0]) + "^" + side(*n.kids[1]);
        }
        case Node::Func: return describe_call(n, depth);
        default:
            if (n.op >= Node::Add && n.op <= Node::Or)
                return describe(*n.kids[0], depth + 1) + ops[n.op - Node::Add] + describe(*n.kids[1], depth + 1);
            return "...";
    }
}

// One arithmetic step a op b of node n (+ - * / mod), ints exact with an overflow check.
Val Engine::negate(const Node& n, Val v) {
    if (v.kind == Val::Int) {
        if (v.i == std::numeric_limits<std::int64_t>::min()) fault(n.pos, "integer overflow in '-'");
        return Val::of_int(-v.i);
    }
    return Val::of_float(-v.num());
}

Val Engine::arith(const Node& n, Val a, Val b) {
    if (n.op == Node::Div || n.op == Node::Mod) {
        if (b.num() == 0)
            fault(n.pos, std::string(n.op == Node::Div ? "division" : "'mod'") + " by zero: " + describe(*n.kids[1]) +
                             " is 0");
    }
    if (a.kind == Val::Int && b.kind == Val::Int && n.op != Node::Div) {
        std::int64_t out = 0;
        bool overflow = false;
        switch (n.op) {
            case Node::Add: overflow = __builtin_add_overflow(a.i, b.i, &out); break;
            case Node::Sub: overflow = __builtin_sub_overflow(a.i, b.i, &out); break;
            case Node::Mul: overflow = __builtin_mul_overflow(a.i, b.i, &out); break;
            default:  // mod: the sign of the divisor, as Python's %
                out = b.i == -1 ? 0 : a.i % b.i;
                if (out != 0 && ((out < 0) != (b.i < 0))) out += b.i;
        }
        if (overflow) fault(n.pos, "integer overflow in " + describe(n));
        return Val::of_int(out);
    }
    if (n.op == Node::Mod) fault(n.pos, "'mod' takes integers");
    double x = a.num(), y = b.num();
    double r = n.op == Node::Add ? x + y : n.op == Node::Sub ? x - y : n.op == Node::Mul ? x * y : x / y;
    if (std::isnan(r) || (std::isinf(r) && std::isfinite(x) && std::isfinite(y))) arith_fault(n, a, b, r);
    return Val::of_float(r);
}

// A float step that overflows to infinity from finite operands, or that is
// not a number (infinity - infinity, 0 * infinity): a located fault.
void Engine::arith_fault(const Node& n, Val a, Val b, double r) {
    static const char* ops[] = {"+", "-", "*", "/"};
    std::string step = show(a) + ops[n.op - Node::Add] + show(b);
    std::string from = describe(n);
    fault(n.pos, step + (std::isnan(r) ? " is not a number" : " overflows to infinity") +
                     (from == step ? std::string() : " (from " + from + ")"));
}

Val Engine::eval(const Node& n) {
    switch (n.op) {
        case Node::Const:
        case Node::Str: return n.value;
        case Node::Slot: return env_.slots[static_cast<std::size_t>(n.slot)].value;
        case Node::Param:
            if (!n.sym->value) throw Unknown{};
            return from_value(*n.sym->value);
        case Node::ParamAt: return element(n);
        case Node::Field: return field(n, eval(*n.kids[0]));
        case Node::Neg: return negate(n, eval(*n.kids[0]));
        case Node::Not: return Val::of_bool(!truth(*n.kids[0]));
        case Node::And: return Val::of_bool(truth(*n.kids[0]) && truth(*n.kids[1]));
        case Node::Or: return Val::of_bool(truth(*n.kids[0]) || truth(*n.kids[1]));
        case Node::Add:
        case Node::Sub:
        case Node::Mul:
        case Node::Div:
        case Node::Mod: return eval_chain(n);
        case Node::Eq:
        case Node::Ne:
        case Node::Lt:
        case Node::Le:
        case Node::Gt:
        case Node::Ge: return eval_compare(n);
        case Node::Sum: return eval_sum(n);
        case Node::AggMin:
        case Node::AggMax: return eval_aggregate(n);
        case Node::Min:
        case Node::Max: return eval_min_max(n);
        case Node::Abs: {
            Val v = eval(*n.kids[0]);
            if (v.kind == Val::Int && v.i != std::numeric_limits<std::int64_t>::min())
                return Val::of_int(v.i < 0 ? -v.i : v.i);
            return Val::of_float(std::fabs(v.num()));
        }
        case Node::Card: return Val::of_int(domain(n.sym, n.pos).size());
        case Node::Pow:
        case Node::Func: return eval_function(n);
        case Node::DexprRef: return eval(*bind_dexpr(n).body);
        case Node::Var:
        case Node::VarAt: break;
    }
    fault(n.pos, "decision variables have no value while the model is built");
}

// + - * / mod: a left-deep chain is evaluated in a loop, bottom up.
Val Engine::eval_chain(const Node& n) {
    const Node& left = *n.kids[0];
    if (left.op < Node::Add || left.op > Node::Mod) return arith(n, eval(left), eval(*n.kids[1]));  // a single step
    std::vector<const Node*> spine;
    const Node* at = &n;
    for (; at->op >= Node::Add && at->op <= Node::Mod; at = at->kids[0].get()) spine.push_back(at);
    Val acc = eval(*at);
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) acc = arith(**it, acc, eval(*(*it)->kids[1]));
    return acc;
}

Val compare_values(Node::Op op, const Val& a, const Val& b) {
    if (!a.numeric() || !b.numeric()) {
        // Two strings are equal as their keys are ("s" + the text), without building them.
        bool same = a.kind == Val::Str && b.kind == Val::Str ? *a.s == *b.s : key_of(a) == key_of(b);
        return Val::of_bool(op == Node::Eq ? same : op == Node::Ne ? !same : false);
    }
    if (a.kind == Val::Int && b.kind == Val::Int) return Val::of_bool(compare(op, a.i, b.i));
    return Val::of_bool(compare(op, a.num(), b.num()));
}

Val Engine::eval_compare(const Node& n) {
    Val a = eval(*n.kids[0]);
    return compare_values(n.op, a, eval(*n.kids[1]));
}

// The field of a tuple value; `hint` keeps its place for the next tuple of the same kind.
Val Engine::field(const Node& n, Val b, std::size_t* hint) {
    if (b.kind == Val::Tuple) {
        const Dict& t = *b.t;
        if (hint && *hint < t.size() && t[*hint].first == n.field) return from_value(t[*hint].second);
        for (std::size_t k = 0; k < t.size(); ++k)
            if (t[k].first == n.field) {
                if (hint) *hint = k;
                return from_value(t[k].second);
            }
    }
    fault(n.pos, "no field " + quote(n.field) + " in " + show(b));
}

// An int while every term is one (with an overflow check), else a double.
Val Engine::eval_sum(const Node& n) {
    bool all_int = true;
    std::int64_t isum = 0;
    double fsum = 0;
    walk(n.clauses, n.filter.get(), 0, [&] {
        Val v = eval(*n.kids[0]);
        if (v.kind == Val::Int && all_int) {
            if (__builtin_add_overflow(isum, v.i, &isum)) fault(n.pos, "integer overflow in sum");
        } else {
            if (all_int) fsum = static_cast<double>(isum);
            all_int = false;
            fsum += v.num();
        }
    });
    return all_int ? Val::of_int(isum) : Val::of_float(fsum);
}

// min/max(i in S) e: the first best value, as it is.
Val Engine::eval_aggregate(const Node& n) {
    bool any = false;
    Val best;
    walk(n.clauses, n.filter.get(), 0, [&] {
        Val v = eval(*n.kids[0]);
        if (!any || (n.op == Node::AggMax ? v.num() > best.num() : v.num() < best.num())) best = v;
        any = true;
    });
    if (!any) fault(n.pos, std::string(n.op == Node::AggMax ? "max" : "min") + " over an empty set");
    return best;
}

// min/max(a, b, ...): an int when every operand is one.
Val Engine::eval_min_max(const Node& n) {
    Val best = eval(*n.kids[0]);
    bool all_int = best.kind == Val::Int;
    for (std::size_t k = 1; k < n.kids.size(); ++k) {
        Val v = eval(*n.kids[k]);
        all_int = all_int && v.kind == Val::Int;
        if (n.op == Node::Max ? v.num() > best.num() : v.num() < best.num()) best = v;
    }
    return all_int ? best : Val::of_float(best.num());
}

std::optional<Value> Engine::value_of(const Expr& e) {
    std::optional<Value> out;
    site_ = e.pos;
    attempt([&] {
        NodePtr n = lower(e);
        if (n->degree == 0) out = to_value(eval(*n));
    });
    return out;
}

}  // namespace ground

std::optional<Value> evaluate_data(Program& p, const Expr& e) {
    ground::Engine engine(p, ground::count_clauses(e) + 8);
    return engine.value_of(e);
}

}  // namespace tavro::kelm
