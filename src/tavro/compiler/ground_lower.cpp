// Lowering, the engine's first stage: a checked expression becomes a Node
// once, with names resolved to symbols, index variables to slots of the
// environment and dvars/dexprs to their ids, and its degree known (0: data
// only, 1: linear), before grounding walks it any number of times.
#include <algorithm>

#include "tavro/compiler/ground.hpp"

namespace tavro::kelm::ground {

namespace {

// Position of a dvar or dexpr among those grounded so far; Unknown outside grounding.
int id_of(const std::unordered_map<const Sym*, std::size_t>& ids, const Sym* s) {
    auto it = ids.find(s);
    if (it == ids.end()) throw Unknown{};
    return static_cast<int>(it->second);
}

std::size_t constraint_clauses(const Constraint& c) {
    std::size_t n = c.clauses.size();
    for (auto& cl : c.clauses) n += count_clauses(*cl.set);
    for (auto& t : c.terms) n += count_clauses(*t);
    if (c.filter) n += count_clauses(*c.filter);
    for (auto& b : c.body) n += constraint_clauses(b);
    return n;
}

}  // namespace

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

// Every index variable the model can bind: the clauses of its sums,
// aggregates and foralls, and the named indices of its declarations.
std::size_t count_slots(const Model& m) {
    std::size_t n = 8;
    for (auto& d : m.decls) {
        n += d.dims.size();
        for (const ExprPtr* e : {&d.value, &d.low, &d.high})
            if (*e) n += count_clauses(**e);
        for (auto& c : d.constraints) n += constraint_clauses(c);
    }
    return n;
}

int Engine::open_slot(const std::string& name) {
    if (static_cast<std::size_t>(slots_) == env_.slots.size()) throw Unknown{};  // not counted: cannot happen
    int slot = slots_++;
    scope_.emplace_back(name, slot);
    return slot;
}

ClauseIR Engine::lower_clause(const Clause& c) {
    ClauseIR out;
    out.src = &c;
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
        case EK::Binary: return lower_binary(e);
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
            const FnInfo* f = data_function(e.text);
            auto n = make(f                 ? (f->fn == Fn::Pow ? Node::Pow : Node::Func)
                          : e.text == "abs" ? Node::Abs
                          : e.text == "min" ? Node::Min
                                            : Node::Max);
            if (f) n->fn = f->fn;
            for (auto& k : e.kids) n->kids.push_back(lower(*k));
            return n;
        }
        default: break;
    }
    fault(e.pos, "this expression cannot be evaluated here");
}

NodePtr Engine::lower_binary(const Expr& e) {
    static const std::unordered_map<std::string, Node::Op> ops = {
        {"+", Node::Add}, {"-", Node::Sub}, {"*", Node::Mul},  {"/", Node::Div}, {"mod", Node::Mod},
        {"^", Node::Pow}, {"==", Node::Eq}, {"!=", Node::Ne},  {"<", Node::Lt},  {"<=", Node::Le},
        {">", Node::Gt},  {">=", Node::Ge}, {"&&", Node::And}, {"||", Node::Or}};
    // Operator chains are left-deep: walk the left spine in a loop, so the
    // recursion follows nesting, not the chain's length.
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

}  // namespace tavro::kelm::ground
