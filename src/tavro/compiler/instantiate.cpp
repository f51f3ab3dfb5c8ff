// The instantiation engine: grounds a checked model over its data into one
// sparse linear problem (problem.hpp). Expressions are lowered once (names
// resolved to symbols and index slots, degrees known), then every forall and
// sum is walked with its index variables bound; linear terms are merged per
// column with a sparse accumulator, rows are collected in CSR order and
// transposed to CSC at the end. Data-dependent faults (an index outside its
// set, a division by a zero datum, an empty variable domain, a constraint
// that cancels to something false) are located errors of the model.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "tavro/compiler/ground.hpp"
#include "tavro/compiler/problem.hpp"

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

std::string number_text(double d) {
    if (std::isinf(d)) return d > 0 ? "infinity" : "-infinity";
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    std::string out(buf, r.ptr);
    if (out.find_first_of(".en") == std::string::npos) out += ".0";
    return out;
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
        case Val::Float: return number_text(v.f);
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
    if (v.kind == Val::Float) return number_text(v.f);
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

void Linear::reset(std::size_t columns) {
    cells_.assign(columns, Cell{});
    touched_.clear();
    stamp_ = 0;
}

void Linear::begin() {
    ++stamp_;
    touched_.clear();
    constant = 0;
}

bool Linear::empty() const {
    for (std::int64_t col : touched_)
        if (cells_[static_cast<std::size_t>(col)].coef != 0) return false;
    return true;
}

}  // namespace ground

using namespace ground;

namespace {

constexpr std::int64_t kMaxColumns = 50'000'000;
constexpr std::int64_t kMaxRows = 50'000'000;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A bound or constant in a message: 3, -1.5, infinity.
std::string plain(double d) {
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
        return std::to_string(static_cast<std::int64_t>(d));
    return show(Val::of_float(d));
}

struct Throw {};       // unwinds one construct after its fault was reported
struct Unknown {};     // a value the expression needs is not known (not reported)
struct OverBudget {};  // the check pass of a compile has done its share

struct VarInfo {
    const Sym* sym;
    bool bad = false;  // its columns could not be built (reported there)
    std::int64_t first = 0;
    std::vector<const Domain*> dims;
    std::vector<std::int64_t> strides;
};

struct DexprInfo {
    NodePtr body;
    std::vector<int> slots;  // named indices of an indexed dexpr
    std::vector<const Domain*> dims;
};

// One forall level on the way to a constraint.
struct Level {
    std::vector<ClauseIR> clauses;
    NodePtr filter;
    std::vector<std::string> names;
};

class Engine {
public:
    Engine(Program& p, std::size_t slots) : p_(p), d_(*p.diag) { env_.slots.resize(slots); }
    // Checks only: nothing is stored, and grounding stops (silently) after
    // `terms` linear terms.
    void check_only(std::int64_t terms) {
        store_ = false;
        budget_ = terms;
    }
    void run(LinearProblem& out);
    // Data-only value of an expression outside any forall (range bounds,
    // initializers); nullopt when a value it needs is not known.
    std::optional<Value> value_of(const Expr& e);

private:
    // Lowering.
    NodePtr lower(const Expr& e);
    NodePtr lower_name(const Expr& e);
    NodePtr lower_index(const Expr& e);
    ClauseIR lower_clause(const Clause& c);
    int open_slot(const std::string& name);
    void close_slots(std::size_t n) { scope_.resize(scope_.size() - n); }

    // Evaluation.
    Val eval(const Node& n);
    Val arith(const Node& n, Val a, Val b);
    double number(const Node& n) {
        Val v = eval(n);
        return v.num();
    }
    bool truth(const Node& n) { return eval(n).i != 0; }
    void linear(const Node& n, double scale, Linear& acc);
    DexprInfo& bind_dexpr(const Node& n);
    std::int64_t column(const Node& n);
    std::string column_name(std::int64_t col, const LinearProblem& out) const;
    void store_row(double lo, double hi, const std::vector<Level>& levels, Block& block, LinearProblem& out);
    void emit_implication(const Constraint& c, const Node& when, const std::vector<NodePtr>& terms,
                          const std::vector<Level>& levels, Block& block, LinearProblem& out);
    std::int64_t position(const Node& idx, const Domain& dom, const Sym* array);
    Val element(const Node& n);
    const Domain& domain(const Sym* s, Pos where);
    Domain clause_domain(const ClauseIR& c);
    template <class F>
    void walk(const std::vector<ClauseIR>& cls, const Node* filter, std::size_t k, F&& f);
    std::string describe(const Node& n, int depth = 0);
    [[noreturn]] void fault(Pos pos, std::string text);

    // Grounding.
    void columns(LinearProblem& out);
    void objective(LinearProblem& out);
    void constraints(LinearProblem& out);
    void constraint(const Constraint& c, std::vector<Level>& levels, LinearProblem& out);
    template <class F>
    void levels_walk(std::vector<Level>& levels, std::size_t k, F&& f);
    void emit_row(const Constraint& c, const std::vector<NodePtr>& terms, const std::vector<Level>& levels,
                  Block& block, LinearProblem& out);
    std::string where(const std::vector<Level>& levels);

    Program& p_;
    Diagnostics& d_;
    std::vector<std::pair<std::string, int>> scope_;
    int slots_ = 0;
    Env env_;
    std::unordered_map<const Sym*, std::unique_ptr<Domain>> domains_;
    std::unordered_map<const Sym*, std::size_t> var_ids_;
    std::vector<VarInfo> vars_;
    std::unordered_map<const Sym*, std::size_t> dexpr_ids_;
    std::vector<DexprInfo> dexprs_;
    Linear acc_;
    std::int64_t columns_ = 0;
    // Rows in CSR form until the end.
    std::vector<std::int64_t> row_start_{0};
    std::vector<std::int32_t> row_cols_;
    std::vector<double> row_vals_;
    bool store_ = true;
    std::int64_t budget_ = -1;  // terms left to the check pass; -1: no limit
};

[[noreturn]] void Engine::fault(Pos pos, std::string text) {
    d_.error(File::Model, pos, std::move(text));
    throw Throw{};
}

// Position of a dvar or dexpr among those grounded so far; Unknown outside grounding.
int id_of(const std::unordered_map<const Sym*, std::size_t>& ids, const Sym* s) {
    auto it = ids.find(s);
    if (it == ids.end()) throw Unknown{};
    return static_cast<int>(it->second);
}

int Engine::open_slot(const std::string& name) {
    if (static_cast<std::size_t>(slots_) == env_.slots.size()) throw Unknown{};  // not counted: cannot happen
    int slot = slots_++;
    scope_.emplace_back(name, slot);
    return slot;
}

std::size_t count_clauses(const Expr& e) {
    std::size_t n = 0;
    std::vector<const Expr*> todo{&e};
    while (!todo.empty()) {
        const Expr* at = todo.back();
        todo.pop_back();
        n += at->clauses.size();
        for (auto& c : at->clauses) todo.push_back(c.set.get());
        for (auto& k : at->kids) todo.push_back(k.get());
        if (at->filter) todo.push_back(at->filter.get());
    }
    return n;
}

std::size_t count_clauses(const Constraint& c) {
    std::size_t n = c.clauses.size();
    for (auto& cl : c.clauses) n += count_clauses(*cl.set);
    for (auto& t : c.terms) n += count_clauses(*t);
    if (c.filter) n += count_clauses(*c.filter);
    for (auto& b : c.body) n += count_clauses(b);
    return n;
}

// Every index variable the model can bind: the clauses of its sums,
// aggregates and foralls, and the named indices of its declarations.
std::size_t count_slots(const Model& m) {
    std::size_t n = 8;
    for (auto& d : m.decls) {
        n += d.dims.size();
        for (const ExprPtr* e : {&d.value, &d.low, &d.high})
            if (*e) n += count_clauses(**e);
        for (auto& c : d.constraints) n += count_clauses(c);
    }
    return n;
}

ClauseIR Engine::lower_clause(const Clause& c) {
    ClauseIR out;
    if (c.set->kind == EK::Range) {
        out.low = lower(*c.set->kids[0]);
        out.high = lower(*c.set->kids[1]);
    } else {
        out.set = p_.find(c.set->text);
    }
    out.slot = open_slot(c.var);
    return out;
}

NodePtr Engine::lower(const Expr& e) {
    auto make = [&](Node::Op op) { return std::make_unique<Node>(op, e.pos); };
    switch (e.kind) {
        case EK::Number: {
            auto n = make(Node::Const);
            n->value = e.is_int ? Val::of_int(e.ival) : Val::of_float(e.fval);
            return n;
        }
        case EK::String: {
            auto n = make(Node::Str);
            n->value.kind = Val::Str;
            n->value.s = &e.text;
            return n;
        }
        case EK::Name: return lower_name(e);
        case EK::Index: return lower_index(e);
        case EK::Field: {
            auto n = make(Node::Field);
            n->field = e.text;
            n->kids.push_back(lower(*e.kids[0]));
            return n;
        }
        case EK::Unary: {
            auto n = make(e.text == "!" ? Node::Not : Node::Neg);
            n->kids.push_back(lower(*e.kids[0]));
            n->degree = n->kids[0]->degree;
            return n;
        }
        case EK::Binary: {
            static const std::unordered_map<std::string, Node::Op> ops = {
                {"+", Node::Add}, {"-", Node::Sub},  {"*", Node::Mul}, {"/", Node::Div}, {"mod", Node::Mod},
                {"==", Node::Eq}, {"!=", Node::Ne},  {"<", Node::Lt},  {"<=", Node::Le}, {">", Node::Gt},
                {">=", Node::Ge}, {"&&", Node::And}, {"||", Node::Or}};
            // Operator chains are left-deep: walk the left spine in a loop, so
            // the recursion follows nesting, not the chain's length.
            std::vector<const Expr*> spine;
            const Expr* at = &e;
            for (; at->kind == EK::Binary; at = at->kids[0].get()) spine.push_back(at);
            NodePtr left = lower(*at);
            for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
                auto n = std::make_unique<Node>(ops.at((*it)->text), (*it)->pos);
                n->kids.push_back(std::move(left));
                n->kids.push_back(lower(*(*it)->kids[1]));
                n->degree = std::max(n->kids[0]->degree, n->kids[1]->degree);
                left = std::move(n);
            }
            return left;
        }
        case EK::Sum:
        case EK::Aggregate: {
            auto n = make(e.kind == EK::Sum ? Node::Sum : e.text == "min" ? Node::AggMin : Node::AggMax);
            for (auto& c : e.clauses) n->clauses.push_back(lower_clause(c));
            if (e.filter) n->filter = lower(*e.filter);
            n->kids.push_back(lower(*e.kids[0]));
            n->degree = n->kids[0]->degree;
            close_slots(e.clauses.size());
            return n;
        }
        case EK::Call: {
            if (e.text == "card") {
                auto n = make(Node::Card);
                n->sym = p_.find(e.kids[0]->text);
                return n;
            }
            auto n = make(e.text == "abs" ? Node::Abs : e.text == "min" ? Node::Min : Node::Max);
            for (auto& k : e.kids) n->kids.push_back(lower(*k));
            return n;
        }
        default: break;
    }
    fault(e.pos, "this expression cannot be evaluated here");
}

NodePtr Engine::lower_name(const Expr& e) {
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it)
        if (it->first == e.text) {
            auto n = std::make_unique<Node>(Node::Slot, e.pos);
            n->slot = it->second;
            return n;
        }
    const Sym* s = p_.find(e.text);
    if (!s) fault(e.pos, "unknown name " + quote(e.text));
    if (s->kind == SymKind::Dvar) {
        auto n = std::make_unique<Node>(Node::Var, e.pos);
        n->sym = s;
        n->slot = id_of(var_ids_, s);
        n->degree = 1;
        return n;
    }
    if (s->kind == SymKind::Dexpr) {
        auto n = std::make_unique<Node>(Node::DexprRef, e.pos);
        n->sym = s;
        n->slot = id_of(dexpr_ids_, s);
        n->degree = static_cast<std::uint8_t>(std::min(s->degree, 1));
        return n;
    }
    if (s->kind != SymKind::Param || !s->dims.empty()) throw Unknown{};  // not a value (the checker said so)
    auto n = std::make_unique<Node>(Node::Param, e.pos);
    n->sym = s;
    return n;
}

NodePtr Engine::lower_index(const Expr& e) {
    const Sym* s = p_.find(e.kids[0]->text);
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it)
        if (it->first == e.kids[0]->text) s = nullptr;
    if (!s) fault(e.pos, quote(e.kids[0]->text) + " cannot be indexed here");
    Node::Op op = s->kind == SymKind::Dvar ? Node::VarAt : s->kind == SymKind::Dexpr ? Node::DexprRef : Node::ParamAt;
    auto n = std::make_unique<Node>(op, e.pos);
    n->sym = s;
    for (std::size_t k = 1; k < e.kids.size(); ++k) n->kids.push_back(lower(*e.kids[k]));
    if (op == Node::VarAt) {
        n->slot = id_of(var_ids_, s);
        n->degree = 1;
    } else if (op == Node::DexprRef) {
        n->slot = id_of(dexpr_ids_, s);
        n->degree = static_cast<std::uint8_t>(std::min(s->degree, 1));
    }
    return n;
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
    d.is_range = true;
    d.low = a.i;
    d.high = b.i;
    return d;
}

// Calls f() for every binding of the clauses cls[k..] that passes the filter.
template <class F>
void Engine::walk(const std::vector<ClauseIR>& cls, const Node* filter, std::size_t k, F&& f) {
    if (k == cls.size()) {
        if (!filter || truth(*filter)) f();
        return;
    }
    Domain local;
    const Domain* dom;
    if (cls[k].set) {
        if (!cls[k].dom) cls[k].dom = &domain(cls[k].set, {});
        dom = cls[k].dom;
    } else {
        local = clause_domain(cls[k]);
        dom = &local;
    }
    Binding& b = env_.slots[static_cast<std::size_t>(cls[k].slot)];
    std::int64_t n = dom->size();
    for (std::int64_t i = 0; i < n; ++i) {
        b.value = dom->at(i);
        b.domain = dom;
        b.pos = i;
        walk(cls, filter, k + 1, f);
    }
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

// Where an expression starts in the source (an operator node sits at its operator).
Pos start_of(const Node& n) {
    const Node* at = &n;
    while ((at->op >= Node::Add && at->op <= Node::Or) || at->op == Node::Field) at = at->kids[0].get();
    return at->pos;
}

std::int64_t Engine::position(const Node& idx, const Domain& dom, const Sym* array) {
    if (idx.op == Node::Slot) {
        const Binding& b = env_.slots[static_cast<std::size_t>(idx.slot)];
        if (b.domain && b.domain->sym && b.domain->sym == dom.sym) return b.pos;
    }
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
        default:
            if (n.op >= Node::Add && n.op <= Node::Or)
                return describe(*n.kids[0], depth + 1) + ops[n.op - Node::Add] + describe(*n.kids[1], depth + 1);
            return "...";
    }
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

// One arithmetic step a op b of node n (+ - * / mod), ints exact with an overflow check.
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
    switch (n.op) {
        case Node::Add: return Val::of_float(x + y);
        case Node::Sub: return Val::of_float(x - y);
        case Node::Mul: return Val::of_float(x * y);
        default: return Val::of_float(x / y);
    }
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
        case Node::Field: {
            Val b = eval(*n.kids[0]);
            if (b.kind == Val::Tuple)
                for (auto& [k, v] : *b.t)
                    if (k == n.field) return from_value(v);
            fault(n.pos, "no field " + quote(n.field) + " in " + show(b));
        }
        case Node::Neg: {
            Val v = eval(*n.kids[0]);
            if (v.kind == Val::Int) {
                if (v.i == std::numeric_limits<std::int64_t>::min()) fault(n.pos, "integer overflow in '-'");
                return Val::of_int(-v.i);
            }
            return Val::of_float(-v.num());
        }
        case Node::Not: return Val::of_bool(!truth(*n.kids[0]));
        case Node::And: return Val::of_bool(truth(*n.kids[0]) && truth(*n.kids[1]));
        case Node::Or: return Val::of_bool(truth(*n.kids[0]) || truth(*n.kids[1]));
        case Node::Add:
        case Node::Sub:
        case Node::Mul:
        case Node::Div:
        case Node::Mod: {
            // A left-deep chain is evaluated in a loop, bottom up.
            std::vector<const Node*> spine;
            const Node* at = &n;
            for (; at->op >= Node::Add && at->op <= Node::Mod; at = at->kids[0].get()) spine.push_back(at);
            Val acc = eval(*at);
            for (auto it = spine.rbegin(); it != spine.rend(); ++it) acc = arith(**it, acc, eval(*(*it)->kids[1]));
            return acc;
        }
        case Node::Eq:
        case Node::Ne:
        case Node::Lt:
        case Node::Le:
        case Node::Gt:
        case Node::Ge: {
            Val a = eval(*n.kids[0]), b = eval(*n.kids[1]);
            if (!a.numeric() || !b.numeric()) {
                bool same = key_of(a) == key_of(b);
                return Val::of_bool(n.op == Node::Eq ? same : n.op == Node::Ne ? !same : false);
            }
            // ints compare exactly; a mixed pair compares as doubles
            if (a.kind == Val::Int && b.kind == Val::Int) return Val::of_bool(compare(n.op, a.i, b.i));
            return Val::of_bool(compare(n.op, a.num(), b.num()));
        }
        case Node::Sum: {
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
        case Node::AggMin:
        case Node::AggMax: {
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
        case Node::Min:
        case Node::Max: {
            Val best = eval(*n.kids[0]);
            bool all_int = best.kind == Val::Int;
            for (std::size_t k = 1; k < n.kids.size(); ++k) {
                Val v = eval(*n.kids[k]);
                all_int = all_int && v.kind == Val::Int;
                if (n.op == Node::Max ? v.num() > best.num() : v.num() < best.num()) best = v;
            }
            return all_int ? best : Val::of_float(best.num());
        }
        case Node::Abs: {
            Val v = eval(*n.kids[0]);
            if (v.kind == Val::Int && v.i != std::numeric_limits<std::int64_t>::min())
                return Val::of_int(v.i < 0 ? -v.i : v.i);
            return Val::of_float(std::fabs(v.num()));
        }
        case Node::Card: return Val::of_int(domain(n.sym, n.pos).size());
        case Node::DexprRef: return eval(*bind_dexpr(n).body);
        case Node::Var:
        case Node::VarAt: break;
    }
    fault(n.pos, "decision variables have no value while the model is built");
}

// The column a variable reference names under the current bindings.
std::int64_t Engine::column(const Node& n) {
    const VarInfo& var = vars_[static_cast<std::size_t>(n.slot)];
    if (var.bad) throw Unknown{};
    std::int64_t col = var.first;
    for (std::size_t k = 0; k < n.kids.size(); ++k) col += position(*n.kids[k], *var.dims[k], var.sym) * var.strides[k];
    return col;
}

std::string Engine::column_name(std::int64_t col, const LinearProblem& out) const {
    for (auto& b : out.columns) {
        if (col < b.first || col >= b.first + b.count) continue;
        std::int64_t rest = col - b.first;
        std::vector<std::string> parts(b.dims.size());
        for (std::size_t d = b.dims.size(); d-- > 0;) {
            auto n = static_cast<std::int64_t>(b.dims[d].size());
            parts[d] = b.dims[d][static_cast<std::size_t>(rest % n)];
            rest /= n;
        }
        std::string name = b.name;
        if (!parts.empty()) {
            name += "[";
            for (std::size_t d = 0; d < parts.size(); ++d) name += (d ? "," : "") + parts[d];
            name += "]";
        }
        return name;
    }
    return "?";
}

// The dexpr a reference names, its named indices bound to the reference's.
DexprInfo& Engine::bind_dexpr(const Node& n) {
    DexprInfo& dx = dexprs_[static_cast<std::size_t>(n.slot)];
    if (!dx.body) throw Unknown{};  // its own fault was reported at its declaration
    for (std::size_t k = 0; k < n.kids.size() && k < dx.slots.size(); ++k) {
        std::int64_t at = position(*n.kids[k], *dx.dims[k], n.sym);
        Binding& b = env_.slots[static_cast<std::size_t>(dx.slots[k])];
        b.value = dx.dims[k]->at(at);
        b.domain = dx.dims[k];
        b.pos = at;
    }
    return dx;
}

void Engine::linear(const Node& n, double scale, Linear& acc) {
    if (n.degree == 0) {
        double v = number(n);
        acc.constant += scale * v;
        return;
    }
    switch (n.op) {
        case Node::Var:
        case Node::VarAt:
            if (budget_ >= 0 && --budget_ < 0) throw OverBudget{};
            acc.add(column(n), scale);
            return;
        case Node::DexprRef: linear(*bind_dexpr(n).body, scale, acc); return;
        case Node::Neg: linear(*n.kids[0], -scale, acc); return;
        case Node::Add:
        case Node::Sub: {
            // Sums are left-deep chains: the right operands are collected down
            // the spine, then accumulated in source order.
            std::vector<std::pair<const Node*, double>> rights;
            const Node* at = &n;
            for (; (at->op == Node::Add || at->op == Node::Sub) && at->degree > 0; at = at->kids[0].get())
                rights.emplace_back(at->kids[1].get(), at->op == Node::Sub ? -scale : scale);
            linear(*at, scale, acc);
            for (auto it = rights.rbegin(); it != rights.rend(); ++it) linear(*it->first, it->second, acc);
            return;
        }
        case Node::Mul: {
            bool left_data = n.kids[0]->degree == 0;
            const Node& data = *n.kids[left_data ? 0 : 1];
            double k = number(data);
            if (!std::isfinite(k))
                fault(data.pos, "the coefficient " + describe(data) + " of a decision variable is " +
                                    (std::isnan(k) ? std::string("not a number") : show(Val::of_float(k))));
            linear(*n.kids[left_data ? 1 : 0], scale * k, acc);
            return;
        }
        case Node::Div: {
            double k = number(*n.kids[1]);
            if (k == 0) fault(n.pos, "division by zero: " + describe(*n.kids[1]) + " is 0");
            linear(*n.kids[0], scale / k, acc);
            return;
        }
        case Node::Sum: walk(n.clauses, n.filter.get(), 0, [&] { linear(*n.kids[0], scale, acc); }); return;
        default: fault(n.pos, "not a linear expression");
    }
}

void Engine::columns(LinearProblem& out) {
    for (auto& d : p_.model.decls) {
        if (d.kind != DK::Dvar || !d.sym) continue;
        const Sym* s = d.sym;
        VarInfo var;
        var.sym = s;
        var.first = columns_;
        std::int64_t count = 1;
        Block block;
        block.name = s->name;
        block.line = d.pos.line;
        block.first = columns_;
        try {
            for (const Sym* dim : s->dims) {
                const Domain& dom = domain(dim, d.pos);
                var.dims.push_back(&dom);
                std::int64_t n = dom.size();
                if (n > 0 && count > kMaxColumns / n)
                    fault(d.name_pos, quote(s->name) + " has too many elements to build (over " +
                                          std::to_string(kMaxColumns) + ")");
                count *= n;
                std::vector<std::string> texts;
                texts.reserve(static_cast<std::size_t>(n));
                for (std::int64_t k = 0; k < n; ++k) texts.push_back(text_of(dom.at(k)));
                block.dims.push_back(std::move(texts));
            }
            if (columns_ + count > kMaxColumns)
                fault(d.name_pos,
                      "the model has too many decision variables to build (over " + std::to_string(kMaxColumns) + ")");
            var.strides.assign(var.dims.size(), 1);
            for (std::size_t k = var.dims.size(); k-- > 1;) var.strides[k - 1] = var.strides[k] * var.dims[k]->size();
            bool integer = d.type.base != Tok::KwFloat;
            double base_lo = d.nonneg ? 0.0 : -kInf, base_hi = kInf;
            if (d.type.base == Tok::KwBoolean) {
                base_lo = 0;
                base_hi = 1;
            }
            if (!store_ && budget_ >= 0 && (budget_ -= count) < 0) throw OverBudget{};
            // The bounds of one column: the declared ones within the type's.
            auto push = [&](double a, double b, auto&& at) {
                double lo = std::max(base_lo, a), hi = std::min(base_hi, b);
                if (lo > hi)
                    fault(d.low->pos, "empty domain: " + quote(s->name) + at() + " has lower bound " + plain(lo) +
                                          " above its upper bound " + plain(hi));
                if (integer) {
                    lo = std::ceil(lo - 1e-9);
                    hi = std::floor(hi + 1e-9);
                    if (lo > hi)
                        fault(d.name_pos,
                              "empty domain: no integer lies within the bounds of " + quote(s->name) + at());
                }
                out.col_lower.push_back(lo);
                out.col_upper.push_back(hi);
            };
            std::vector<int> slots;
            bool per_element = false;
            NodePtr l, h;
            if (d.low) {
                std::size_t mark = scope_.size();
                for (std::size_t k = 0; k < d.dims.size(); ++k) {
                    bool named = k < d.dim_vars.size() && !d.dim_vars[k].empty();
                    slots.push_back(named ? open_slot(d.dim_vars[k]) : -1);
                    per_element = per_element || named;
                }
                l = lower(*d.low);
                h = lower(*d.high);
                close_slots(scope_.size() - mark);
            }
            out.col_lower.reserve(out.col_lower.size() + static_cast<std::size_t>(count));
            out.col_upper.reserve(out.col_upper.size() + static_cast<std::size_t>(count));
            auto nowhere = [] { return std::string(); };
            if (!d.low) {
                for (std::int64_t k = 0; k < count; ++k) push(-kInf, kInf, nowhere);
            } else if (!per_element) {
                double a = number(*l), b = number(*h);
                for (std::int64_t k = 0; k < count; ++k) push(a, b, nowhere);
            } else {
                // Per element: the named indices walk the product in column order.
                std::vector<std::int64_t> at(var.dims.size(), 0);
                auto where = [&] {
                    std::string out;
                    for (std::size_t j = 0; j < at.size(); ++j)
                        if (slots[j] >= 0)
                            out += (out.empty() ? " at " : ", ") + d.dim_vars[j] + " = " +
                                   show(env_.slots[static_cast<std::size_t>(slots[j])].value);
                    return out;
                };
                for (std::int64_t k = 0; k < count; ++k) {
                    for (std::size_t j = 0; j < at.size(); ++j) {
                        if (slots[j] < 0) continue;
                        Binding& b = env_.slots[static_cast<std::size_t>(slots[j])];
                        b.value = var.dims[j]->at(at[j]);
                        b.domain = var.dims[j];
                        b.pos = at[j];
                    }
                    push(number(*l), number(*h), where);
                    for (std::size_t j = at.size(); j-- > 0;) {
                        if (++at[j] < var.dims[j]->size()) break;
                        at[j] = 0;
                    }
                }
            }
            out.integrality.insert(out.integrality.end(), static_cast<std::size_t>(count), integer ? 1 : 0);
        } catch (const Throw&) {
            count = 0;
            var.bad = true;
        } catch (const Unknown&) {
            count = 0;
            var.bad = true;
        }
        out.col_lower.resize(static_cast<std::size_t>(columns_ + count));
        out.col_upper.resize(static_cast<std::size_t>(columns_ + count));
        out.integrality.resize(static_cast<std::size_t>(columns_ + count));
        block.count = count;
        columns_ += count;
        var_ids_.emplace(s, vars_.size());
        vars_.push_back(std::move(var));
        out.columns.push_back(std::move(block));
    }
    out.c.assign(static_cast<std::size_t>(columns_), 0.0);
    acc_.reset(static_cast<std::size_t>(columns_));
    if (store_) {  // most models have a few nonzeros per column
        row_cols_.reserve(static_cast<std::size_t>(2 * columns_));
        row_vals_.reserve(static_cast<std::size_t>(2 * columns_));
    }
}

void Engine::objective(LinearProblem& out) {
    for (auto& d : p_.model.decls) {
        if (d.kind == DK::Dexpr && d.sym) {
            DexprInfo dx;
            std::size_t mark = scope_.size();
            try {
                for (std::size_t k = 0; k < d.sym->dims.size(); ++k) {
                    dx.dims.push_back(&domain(d.sym->dims[k], d.pos));
                    dx.slots.push_back(open_slot(k < d.dim_vars.size() ? d.dim_vars[k] : std::string()));
                }
                dx.body = lower(*d.value);
            } catch (const Throw&) {
                dx.body.reset();
            } catch (const Unknown&) {
                dx.body.reset();
            }
            close_slots(scope_.size() - mark);
            dexpr_ids_.emplace(d.sym, dexprs_.size());
            dexprs_.push_back(std::move(dx));
            continue;
        }
        if (d.kind != DK::Objective) continue;
        out.maximize = !d.minimize;
        out.objective_name = d.name;
        try {
            NodePtr e = lower(*d.value);
            acc_.begin();
            linear(*e, 1.0, acc_);
            acc_.each([&](std::int64_t col, double coef) { out.c[static_cast<std::size_t>(col)] = coef; });
            out.offset = acc_.constant;
        } catch (const Throw&) {
        } catch (const Unknown&) {}
    }
}

template <class F>
void Engine::levels_walk(std::vector<Level>& levels, std::size_t k, F&& f) {
    if (k == levels.size()) {
        f();
        return;
    }
    walk(levels[k].clauses, levels[k].filter.get(), 0, [&] { levels_walk(levels, k + 1, f); });
}

std::string Engine::where(const std::vector<Level>& levels) {
    std::string out;
    for (auto& l : levels)
        for (std::size_t k = 0; k < l.clauses.size(); ++k)
            out += (out.empty() ? " for " : ", ") + l.names[k] + " = " +
                   show(env_.slots[static_cast<std::size_t>(l.clauses[k].slot)].value);
    return out;
}

void Engine::constraint(const Constraint& c, std::vector<Level>& levels, LinearProblem& out) {
    std::size_t mark = scope_.size();
    if (c.kind == Constraint::Forall) {
        Level level;
        try {
            for (auto& cl : c.clauses) {
                level.clauses.push_back(lower_clause(cl));
                level.names.push_back(cl.var);
            }
            if (c.filter) level.filter = lower(*c.filter);
        } catch (const Throw&) {
            close_slots(scope_.size() - mark);
            return;
        } catch (const Unknown&) {
            close_slots(scope_.size() - mark);
            return;
        }
        // The names of a forall level stay in scope for the constraints inside.
        levels.push_back(std::move(level));
        for (auto& b : c.body) constraint(b, levels, out);
        close_slots(levels.back().clauses.size());
        levels.pop_back();
        return;
    }
    Block block;
    block.labelled = !c.label.empty();
    block.name = block.labelled ? c.label : "_c" + std::to_string(c.pos.line);
    block.line = c.pos.line;
    block.first = out.num_rows();
    for (auto& l : levels) block.arity += static_cast<int>(l.clauses.size());
    try {
        // Lowered with the enclosing forall indices in scope, before any walk.
        std::vector<NodePtr> terms;
        for (auto& t : c.terms) terms.push_back(lower(*t));
        NodePtr when = c.when ? lower(*c.when) : nullptr;
        if (when && when->op != Node::Var && when->op != Node::VarAt)
            fault(c.when_pos, "'=>' needs a boolean variable");
        levels_walk(levels, 0, [&] {
            if (when)
                emit_implication(c, *when, terms, levels, block, out);
            else
                emit_row(c, terms, levels, block, out);
        });
    } catch (const Throw&) {
    } catch (const Unknown&) {}
    close_slots(scope_.size() - mark);
    block.count = out.num_rows() - block.first;
    out.rows.push_back(std::move(block));
}

void Engine::emit_row(const Constraint& c, const std::vector<NodePtr>& terms, const std::vector<Level>& levels,
                      Block& block, LinearProblem& out) {
    acc_.begin();
    double lo = -kInf, hi = kInf;
    if (c.terms.size() == 3) {
        bool up = c.ops[0] == Tok::Le;  // lo <= e <= hi, else hi >= e >= lo
        double a = number(*terms[0]), b = number(*terms[2]);
        linear(*terms[1], 1.0, acc_);
        lo = (up ? a : b) - acc_.constant;
        hi = (up ? b : a) - acc_.constant;
    } else {
        linear(*terms[0], 1.0, acc_);
        linear(*terms[1], -1.0, acc_);
        double k = -acc_.constant;
        if (c.ops[0] != Tok::Ge) hi = k;
        if (c.ops[0] != Tok::Le) lo = k;
    }
    if (acc_.empty()) {
        // The decision variables cancelled: 0 must lie within [lo, hi].
        double tol =
            1e-9 * std::max({1.0, std::fabs(std::isfinite(lo) ? lo : 0), std::fabs(std::isfinite(hi) ? hi : 0)});
        if (lo <= tol && hi >= -tol) return;
        std::string name = block.labelled ? "constraint " + quote(block.name) : std::string("this constraint");
        std::string rel = lo == hi ? "0 == " + plain(hi) : lo > tol ? "0 >= " + plain(lo) : "0 <= " + plain(hi);
        fault(c.pos, name + where(levels) + " is always false: its decision variables cancel, leaving " + rel);
    }
    store_row(lo, hi, levels, block, out);
}

// The accumulated terms as a row lo <= a.x <= hi, named by the forall indices.
void Engine::store_row(double lo, double hi, const std::vector<Level>& levels, Block& block, LinearProblem& out) {
    if (!store_) return;
    if (out.num_rows() >= kMaxRows)
        fault(Pos{block.line, 1},
              "the model has too many constraints to build (over " + std::to_string(kMaxRows) + ")");
    acc_.each([&](std::int64_t col, double coef) {
        row_cols_.push_back(static_cast<std::int32_t>(col));
        row_vals_.push_back(coef);
    });
    row_start_.push_back(static_cast<std::int64_t>(row_cols_.size()));
    out.row_lower.push_back(lo);
    out.row_upper.push_back(hi);
    for (auto& l : levels)
        for (auto& cl : l.clauses) block.index.push_back(text_of(env_.slots[static_cast<std::size_t>(cl.slot)].value));
}

// b == v => r(x) op 0, with r(x) = lhs - rhs, linearised with a big-M taken
// from the variables' bounds: r(x) <= M (1 - b) for v = 1, r(x) <= M b for
// v = 0 (and the mirror image for >=); == gives both rows.
void Engine::emit_implication(const Constraint& c, const Node& when, const std::vector<NodePtr>& terms,
                              const std::vector<Level>& levels, Block& block, LinearProblem& out) {
    acc_.begin();
    linear(*terms[0], 1.0, acc_);
    linear(*terms[1], -1.0, acc_);
    double k = acc_.constant;
    std::vector<std::pair<std::int64_t, double>> r;
    acc_.each([&](std::int64_t col, double a) { r.emplace_back(col, a); });
    std::int64_t b = column(when);
    auto extreme = [&](bool up) {  // max (up) or min of r(x) over the bounds
        double v = k;
        for (auto [col, a] : r) {
            bool upper = (a > 0) == up;
            double bound =
                upper ? out.col_upper[static_cast<std::size_t>(col)] : out.col_lower[static_cast<std::size_t>(col)];
            if (!std::isfinite(bound))
                fault(c.pos, "'=>' needs " + std::string(upper ? "an upper" : "a lower") + " bound on " +
                                 quote(column_name(col, out)) + where(levels) +
                                 " to be linearised: declare it with 'in lo..hi'");
            v += a * bound;
        }
        return v;
    };
    auto add = [&](bool le) {
        double m = extreme(le);
        if (le ? m <= 0 : m >= 0) return;  // holds whatever b is
        acc_.begin();
        for (auto [col, a] : r) acc_.add(col, a);
        acc_.add(b, c.when_value ? m : -m);
        double bound = c.when_value ? m - k : -k;
        store_row(le ? -kInf : bound, le ? bound : kInf, levels, block, out);
    };
    if (c.ops[0] != Tok::Ge) add(true);
    if (c.ops[0] != Tok::Le) add(false);
}

void Engine::constraints(LinearProblem& out) {
    for (auto& d : p_.model.decls) {
        if (d.kind != DK::Constraints) continue;
        std::vector<Level> levels;
        for (auto& c : d.constraints) constraint(c, levels, out);
    }
}

void Engine::run(LinearProblem& out) {
    columns(out);
    objective(out);
    constraints(out);
    if (d_.any()) return;
    // Rows were collected in CSR order; transpose to CSC (rows ascend within a column).
    std::size_t nnz = row_cols_.size();
    out.indptr.assign(static_cast<std::size_t>(columns_) + 1, 0);
    for (std::int32_t col : row_cols_) ++out.indptr[static_cast<std::size_t>(col) + 1];
    for (std::size_t k = 1; k < out.indptr.size(); ++k) out.indptr[k] += out.indptr[k - 1];
    out.indices.resize(nnz);
    out.values.resize(nnz);
    // indptr[c] is column c's next free place while filling; shifted back after.
    std::int64_t* next = out.indptr.data();
    std::int64_t rows = out.num_rows();
    for (std::int64_t r = 0; r < rows; ++r)
        for (std::int64_t k = row_start_[static_cast<std::size_t>(r)]; k < row_start_[static_cast<std::size_t>(r) + 1];
             ++k) {
            std::int64_t at = next[row_cols_[static_cast<std::size_t>(k)]]++;
            out.indices[static_cast<std::size_t>(at)] = static_cast<std::int32_t>(r);
            out.values[static_cast<std::size_t>(at)] = row_vals_[static_cast<std::size_t>(k)];
        }
    for (std::size_t c = out.indptr.size() - 1; c > 0; --c) out.indptr[c] = out.indptr[c - 1];
    out.indptr[0] = 0;
    std::vector<std::int32_t>().swap(row_cols_);
    std::vector<double>().swap(row_vals_);
}

std::optional<Value> Engine::value_of(const Expr& e) {
    try {
        NodePtr n = lower(e);
        if (n->degree != 0) return std::nullopt;
        return to_value(eval(*n));
    } catch (const Throw&) {
    } catch (const Unknown&) {}
    return std::nullopt;
}

}  // namespace

InstantiateResult instantiate(Program& p) {
    InstantiateResult result;
    try {
        Engine engine(p, count_slots(p.model));
        engine.run(result.problem);
        result.ok = !p.diag->any();
    } catch (const Abort&) {
    } catch (const Unknown&) {
    } catch (const std::bad_alloc&) {
        result.problem = LinearProblem();
        result.message = "model:1:1: out of memory while building the problem";
        return result;
    }
    if (!result.ok) {
        result.message = p.diag->message();
        result.problem = LinearProblem();
    }
    return result;
}

InstantiateResult instantiate(std::string_view model_text, std::string_view data_text, std::string_view folder) {
    Diagnostics diag;
    InstantiateResult result;
    try {
        Program p;
        p.diag = &diag;
        analyse(p, model_text, data_text, folder);
        if (!diag.any()) return instantiate(p);
    } catch (const Abort&) {
    } catch (const std::bad_alloc&) {
        result.message = "model:1:1: out of memory while compiling";
        return result;
    }
    result.message = diag.message();
    return result;
}

void check_grounding(Program& p) {
    // Enough for any model an LLM writes; larger ones get these checks when
    // they are built (tavro.solver), so a compile stays cheap.
    constexpr std::int64_t kCheckTerms = 200'000;
    LinearProblem scratch;
    try {
        Engine engine(p, count_slots(p.model));
        engine.check_only(kCheckTerms);
        engine.run(scratch);
    } catch (const OverBudget&) {
    } catch (const Unknown&) {}
}

std::optional<Value> evaluate_data(Program& p, const Expr& e) {
    Engine engine(p, count_clauses(e) + 8);
    return engine.value_of(e);
}

}  // namespace tavro::kelm
