// Filters of foralls, sums and aggregates: lowered once into their '&&'
// conjuncts, and, where one conjunct picks the last clause's elements by a
// selector equal to an outer value (sum(o in Options: o.task == t),
// sum(q in Options: q.project == o.project && ...), sum(p in P: line[p] ==
// l)), answered through an index of the set built once per set and selector
// instead of testing every pair. The elements come in their set's order, so
// rows, terms and coefficients are those of a scan; the work counted is the
// lookup and the elements it gives.
#include <cmath>

#include "tavro/compiler/ground.hpp"

namespace tavro::kelm::ground {

namespace {

// An expression that cannot fault or count work: skipping it changes nothing.
bool pure(const Node& n) {
    switch (n.op) {
        case Node::Const:
        case Node::Str:
        case Node::Slot: return true;
        case Node::Param: return n.sym->value.has_value();
        case Node::Field: return n.kids[0]->op == Node::Slot;
        case Node::Eq:
        case Node::Ne:
        case Node::Lt:
        case Node::Le:
        case Node::Gt:
        case Node::Ge:
        case Node::And:
        case Node::Or:
        case Node::Not:
            for (auto& k : n.kids)
                if (!pure(*k)) return false;
            return true;
        default: return false;
    }
}

bool uses_slot(const Node& n, int slot) {
    if (n.op == Node::Slot && n.slot == slot) return true;
    for (auto& k : n.kids)
        if (uses_slot(*k, slot)) return true;
    for (auto& c : n.clauses)
        if ((c.low && uses_slot(*c.low, slot)) || (c.high && uses_slot(*c.high, slot))) return true;
    return n.filter && uses_slot(*n.filter, slot);
}

// A selector of the element bound to `slot`, which walks `set`: a tuple
// field (o.task) or a one-dimensional array over the set (line[p]).
bool selector(const Node& n, int slot, const Sym* set) {
    if (n.op == Node::Field) return n.kids[0]->op == Node::Slot && n.kids[0]->slot == slot;
    return n.op == Node::ParamAt && n.kids.size() == 1 && n.kids[0]->op == Node::Slot && n.kids[0]->slot == slot &&
           n.sym->dims.size() == 1 && n.sym->dims[0] == set;
}

constexpr double kExact = 9007199254740992.0;  // 2^53: every int within it is a double

}  // namespace

const FilterPlan& Engine::plan(const Node& filter, const ClauseIR& last) {
    if (filter.plan) return *filter.plan;
    auto fp = std::make_unique<FilterPlan>();
    std::vector<const Node*> parts, todo{&filter};
    while (!todo.empty()) {  // the '&&' tree's leaves, left to right
        const Node* at = todo.back();
        todo.pop_back();
        if (at->op == Node::And) {
            todo.push_back(at->kids[1].get());
            todo.push_back(at->kids[0].get());
        } else {
            parts.push_back(at);
        }
    }
    for (const Node* part : parts) fp->conjuncts.push_back(lower_code(*part));
    // An index answers a conjunct `selector == value` when skipping the
    // elements it rules out skips nothing that could fault: the conjuncts
    // before it are pure, and the value is pure or tested first.
    const Sym* set = last.set && last.set->kind == SymKind::Set ? last.set : nullptr;
    for (std::size_t j = 0; set && j < parts.size(); ++j) {
        const Node& c = *parts[j];
        if (c.op == Node::Eq) {
            for (int side = 0; side < 2; ++side) {
                const Node& sel = *c.kids[static_cast<std::size_t>(side)];
                const Node& other = *c.kids[static_cast<std::size_t>(1 - side)];
                if (!selector(sel, last.slot, set) || uses_slot(other, last.slot) || (j > 0 && !pure(other))) continue;
                fp->indexed = static_cast<int>(j);
                fp->selector = &sel;
                fp->selector_key = set->name + (sel.op == Node::Field ? "." + sel.field : "\x1f" + sel.sym->name);
                fp->key = lower_code(other);
                break;
            }
        }
        if (fp->indexed >= 0 || !pure(c)) break;
    }
    filter.plan = std::move(fp);
    return *filter.plan;
}

bool Engine::passes(const FilterPlan& plan, int skip) {
    for (std::size_t j = 0; j < plan.conjuncts.size(); ++j)
        if (static_cast<int>(j) != skip && !truth(plan.conjuncts[j])) return false;
    return true;
}

const std::vector<std::int32_t>* Engine::lookup(const FilterPlan& plan, const Domain& dom) {
    if (!plan.index) {
        auto& slot = indexes_[plan.selector_key];
        if (!slot) {
            // The selector's value per element, grouped; mixed kinds of values
            // (numbers and strings, or ints past 2^53 among floats) are not indexed.
            auto ix = std::make_unique<ElementIndex>();
            std::int64_t n = dom.size();
            const Node& sel = *plan.selector;
            const Value* array = sel.op == Node::ParamAt && sel.sym->value ? &*sel.sym->value : nullptr;
            bool any_key = false, any_int = false, any_float = false, bad = n > INT32_MAX;
            bool big_int = false;
            std::vector<Val> values;
            values.reserve(static_cast<std::size_t>(bad ? 0 : n));
            for (std::int64_t i = 0; i < n && !bad; ++i) {
                tick();
                Val v;
                if (sel.op == Node::Field) {
                    Val e = dom.at(i);
                    bad = e.kind != Val::Tuple;
                    bool found = false;
                    if (!bad)
                        for (auto& [k, f] : *e.t)
                            if (k == sel.field) {
                                v = from_value(f);
                                found = true;
                                break;
                            }
                    bad = bad || !found;
                } else if (const auto* flat = array ? std::get_if<NumbersPtr>(&array->v) : nullptr) {
                    const Numbers& a = **flat;
                    bad = a.shape.size() != 1 || a.shape[0] != static_cast<std::size_t>(n);
                    if (!bad)
                        v = a.is_int ? Val::of_int(a.ints[static_cast<std::size_t>(i)])
                                     : Val::of_float(a.floats[static_cast<std::size_t>(i)]);
                } else {
                    bad = !array || !array->is<List>() || array->as<List>().size() != static_cast<std::size_t>(n);
                    if (!bad) v = from_value(array->as<List>()[static_cast<std::size_t>(i)]);
                }
                if (bad) break;
                any_key = any_key || !v.numeric();
                any_int = any_int || v.kind == Val::Int;
                any_float = any_float || v.kind == Val::Float;
                big_int = big_int || (v.kind == Val::Int && std::fabs(static_cast<double>(v.i)) > kExact);
                values.push_back(v);
            }
            if (!bad && !(any_key && (any_int || any_float)) && !(any_float && big_int)) {
                ix->kind = any_key ? ElementIndex::Keys : any_float ? ElementIndex::Floats : ElementIndex::Ints;
                for (std::size_t i = 0; i < values.size(); ++i) {
                    const Val& v = values[i];
                    auto at = static_cast<std::int32_t>(i);
                    if (ix->kind == ElementIndex::Keys)
                        ix->keys[key_of(v)].push_back(at);
                    else if (ix->kind == ElementIndex::Ints)
                        ix->ints[v.i].push_back(at);
                    else if (!std::isnan(v.num()))
                        ix->floats[v.num() + 0.0].push_back(at);  // -0 and 0 alike
                }
            }
            ++stats.indexes;
            slot = std::move(ix);
        }
        plan.index = slot.get();
    }
    const ElementIndex& ix = *plan.index;
    if (ix.kind == ElementIndex::None) return nullptr;
    // The elements whose selector equals the key as the interpreter's '=='
    // has it: by key when either side is not a number, ints exactly, else as
    // doubles.
    Val key = run(plan.key);
    const std::vector<std::int32_t>* hits = &no_hits_;
    if (ix.kind == ElementIndex::Keys) {
        auto it = ix.keys.find(key_of(key));
        if (it != ix.keys.end()) hits = &it->second;
    } else if (!key.numeric()) {
        return nullptr;
    } else if (ix.kind == ElementIndex::Ints) {
        double f = key.num();
        if (key.kind == Val::Float && std::fabs(f) >= kExact) return nullptr;
        if (key.kind == Val::Int || f == std::floor(f)) {
            auto it = ix.ints.find(key.kind == Val::Int ? key.i : static_cast<std::int64_t>(f));
            if (it != ix.ints.end()) hits = &it->second;
        }
    } else {
        if (key.kind == Val::Int && std::fabs(static_cast<double>(key.i)) > kExact) return nullptr;
        double f = key.num();
        auto it = std::isnan(f) ? ix.floats.end() : ix.floats.find(f + 0.0);
        if (it != ix.floats.end()) hits = &it->second;
    }
    ++stats.indexed;
    return hits;
}

}  // namespace tavro::kelm::ground
