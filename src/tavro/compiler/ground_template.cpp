// Term templates: a linear expression (and any data-only expression inside
// it: coefficients, constants, filters, computed indices) is lowered once,
// on first use, into a tree whose operands are resolved: index variables by
// slot, ranges by offset (stock[t-1]), flat data arrays by computed offset,
// tuple fields by place, columns from positions and strides. Running it
// does what Engine::linear and Engine::eval do, step for step and with the
// same work counted; what it does not cover runs in the interpreter (counted
// in stats.interpreted), and whatever its fast paths cannot answer (an index
// outside its set, an overflow) is handed to the interpreter, whose message
// it is.
#include <cmath>

#include "tavro/compiler/ground.hpp"

namespace tavro::kelm::ground {

namespace {

// Deeper data expressions (long operator chains) stay with the interpreter,
// which walks chains in a loop.
constexpr int kMaxCodeDepth = 48;

bool int_const(const Node& n, std::int64_t& out) {
    if (n.op != Node::Const || n.value.kind != Val::Int) return false;
    out = n.value.i;
    return true;
}

}  // namespace

// idx as a position in the domain of `set` (dom when already known: a dvar's;
// else built on first use, its faults reported at `where` as the interpreter does).
PosCode Engine::lower_pos(const Node& idx, const Sym* set, const Domain* dom, Pos where, int depth) {
    PosCode p;
    p.node = &idx;
    p.set = set;
    p.where = where;
    p.dom = dom;
    std::int64_t c = 0;
    if (idx.op == Node::Slot) {
        p.kind = PosCode::Shift;
        p.slot = idx.slot;
    } else if ((idx.op == Node::Add || idx.op == Node::Sub) && idx.kids[0]->op == Node::Slot &&
               int_const(*idx.kids[1], c) && c != std::numeric_limits<std::int64_t>::min()) {
        p.kind = PosCode::Shift;  // t + 1, t - 1
        p.slot = idx.kids[0]->slot;
        p.shift = idx.op == Node::Add ? c : -c;
    } else if (idx.op == Node::Add && idx.kids[1]->op == Node::Slot && int_const(*idx.kids[0], c)) {
        p.kind = PosCode::Shift;  // 1 + t
        p.slot = idx.kids[1]->slot;
        p.shift = c;
    } else if (idx.op == Node::Const || idx.op == Node::Str) {
        p.kind = PosCode::Fixed;
    } else {
        p.kind = PosCode::Value;
        p.value = std::make_unique<Code>(lower_code(idx, depth + 1));
    }
    return p;
}

std::int64_t Engine::position(const PosCode& p, const Sym* array) {
    if (!p.dom) p.dom = &domain(p.set, p.where);
    const Domain& dom = *p.dom;
    switch (p.kind) {
        case PosCode::Shift: {
            const Binding& b = env_.slots[static_cast<std::size_t>(p.slot)];
            if (p.shift == 0 && b.domain && b.domain->sym && b.domain->sym == dom.sym) return b.pos;
            std::int64_t v = 0;
            if (dom.is_range && b.value.kind == Val::Int && !__builtin_add_overflow(b.value.i, p.shift, &v) &&
                v >= dom.low && v <= dom.high)
                return v - dom.low;
            break;
        }
        case PosCode::Fixed:
            if (p.fixed < 0) p.fixed = position(*p.node, dom, array);
            return p.fixed;
        case PosCode::Value: {
            std::int64_t at = dom.position(run(*p.value));
            if (at >= 0) return at;
            break;
        }
        case PosCode::Interp: ++stats.interpreted; break;
    }
    return position(*p.node, dom, array);  // the interpreter: its fast path, or its message
}

Code Engine::lower_code(const Node& n, int depth) {
    Code c;
    c.node = &n;
    if (depth > kMaxCodeDepth) return c;
    auto kids = [&](std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) c.kids.push_back(lower_code(*n.kids[k], depth + 1));
    };
    switch (n.op) {
        case Node::Const:
        case Node::Str:
            c.op = Code::Const;
            c.value = n.value;
            break;
        case Node::Slot:
            c.op = Code::Slot;
            c.slot = n.slot;
            break;
        case Node::Param:
            if (n.sym->value) {  // a scalar's value is fixed while grounding
                c.op = Code::Const;
                c.value = from_value(*n.sym->value);
            }
            break;
        case Node::ParamAt: {
            const Sym* s = n.sym;
            if (!s->value || n.kids.size() != s->dims.size()) break;
            if (const auto* flat = std::get_if<NumbersPtr>(&s->value->v)) {
                if ((*flat)->shape.size() != n.kids.size()) break;
                c.op = Code::Gather;
                c.flat = flat->get();
            } else if (s->value->is<List>()) {
                c.op = Code::Items;
                c.items = &*s->value;
            } else {
                break;
            }
            for (std::size_t k = 0; k < n.kids.size(); ++k)
                c.at.push_back(lower_pos(*n.kids[k], s->dims[k], nullptr, n.pos, depth));
            break;
        }
        case Node::Field:
            c.op = Code::Field;
            kids(1);
            break;
        case Node::Neg:
        case Node::Not:
            c.op = n.op == Node::Neg ? Code::Neg : Code::Not;
            kids(1);
            break;
        case Node::Add:
        case Node::Sub:
        case Node::Mul:
        case Node::Div:
        case Node::Mod:
            c.op = Code::Arith;
            kids(2);
            break;
        case Node::Eq:
        case Node::Ne:
        case Node::Lt:
        case Node::Le:
        case Node::Gt:
        case Node::Ge:
            c.op = Code::Compare;
            kids(2);
            break;
        case Node::And:
        case Node::Or:
            c.op = n.op == Node::And ? Code::And : Code::Or;
            kids(2);
            break;
        default: break;  // sums, aggregates, functions, dexprs: the interpreter
    }
    return c;
}

Val Engine::run(const Code& c) {
    switch (c.op) {
        case Code::Const: return c.value;
        case Code::Slot: return env_.slots[static_cast<std::size_t>(c.slot)].value;
        case Code::Field: return field(*c.node, run(c.kids[0]), &c.field);
        case Code::Gather: return gather(c);
        case Code::Items: return items(c);
        case Code::Neg: return negate(*c.node, run(c.kids[0]));
        case Code::Arith: {
            Val a = run(c.kids[0]);
            return arith(*c.node, a, run(c.kids[1]));
        }
        case Code::Compare: {
            Val a = run(c.kids[0]);
            return compare_values(c.node->op, a, run(c.kids[1]));
        }
        case Code::And: return Val::of_bool(truth(c.kids[0]) && truth(c.kids[1]));
        case Code::Or: return Val::of_bool(truth(c.kids[0]) || truth(c.kids[1]));
        case Code::Not: return Val::of_bool(!truth(c.kids[0]));
        case Code::Interp: break;
    }
    ++stats.interpreted;
    return eval(*c.node);
}

// A flat array's number at the positions of the indices; the interpreter
// answers what the shape does not hold (with its message).
Val Engine::gather(const Code& c) {
    const Numbers& a = *c.flat;
    const Sym* s = c.node->sym;
    std::size_t offset = 0;
    for (std::size_t k = 0; k < c.at.size(); ++k) {
        auto at = static_cast<std::size_t>(position(c.at[k], s));
        if (at >= a.shape[k]) return element(*c.node);
        offset = offset * a.shape[k] + at;
    }
    return a.is_int ? Val::of_int(a.ints[offset]) : Val::of_float(a.floats[offset]);
}

// The item of nested lists (adopted data, arrays of strings) at the indices.
Val Engine::items(const Code& c) {
    const Value* v = c.items;
    const Sym* s = c.node->sym;
    for (const PosCode& p : c.at) {
        auto at = static_cast<std::size_t>(position(p, s));
        if (!v->is<List>() || at >= v->as<List>().size()) return element(*c.node);
        v = &v->as<List>()[at];
    }
    return from_value(*v);
}

LinCode Engine::lower_linear(const Node& n) {
    LinCode c;
    c.node = &n;
    if (n.degree == 0) {
        c.op = LinCode::Constant;
        c.factor = lower_code(n);
        return c;
    }
    switch (n.op) {
        case Node::Var:
        case Node::VarAt: {
            c.op = LinCode::Term;
            c.var = static_cast<std::size_t>(n.slot);
            const VarInfo& var = vars_[c.var];
            if (!var.bad)
                for (std::size_t k = 0; k < n.kids.size() && k < var.dims.size(); ++k)
                    c.at.push_back(lower_pos(*n.kids[k], var.dims[k]->sym, var.dims[k], n.pos, 0));
            break;
        }
        case Node::DexprRef: c.op = LinCode::Dexpr; break;
        case Node::Neg:
            c.op = LinCode::Neg;
            c.kids.push_back(lower_linear(*n.kids[0]));
            break;
        case Node::Add:
        case Node::Sub: {
            // As Engine::linear: the left-deep spine's right operands, then
            // the leftmost, accumulated in source order.
            c.op = LinCode::Chain;
            std::vector<const Node*> rights;
            std::vector<std::uint8_t> neg;
            const Node* at = &n;
            for (; (at->op == Node::Add || at->op == Node::Sub) && at->degree > 0; at = at->kids[0].get()) {
                rights.push_back(at->kids[1].get());
                neg.push_back(at->op == Node::Sub);
            }
            c.kids.push_back(lower_linear(*at));
            c.neg.push_back(0);
            for (std::size_t k = rights.size(); k-- > 0;) {
                c.kids.push_back(lower_linear(*rights[k]));
                c.neg.push_back(neg[k]);
            }
            break;
        }
        case Node::Mul: {
            bool left_data = n.kids[0]->degree == 0;
            c.op = LinCode::Mul;
            c.factor = lower_code(*n.kids[left_data ? 0 : 1]);
            c.kids.push_back(lower_linear(*n.kids[left_data ? 1 : 0]));
            break;
        }
        case Node::Div:
            c.op = LinCode::Div;
            c.factor = lower_code(*n.kids[1]);
            c.kids.push_back(lower_linear(*n.kids[0]));
            break;
        case Node::Sum:
            c.op = LinCode::Sum;
            c.kids.push_back(lower_linear(*n.kids[0]));
            break;
        default: break;  // not linear: the interpreter says so
    }
    return c;
}

std::int64_t Engine::column(const LinCode& term) {
    const VarInfo& var = vars_[term.var];
    if (var.bad) throw Unknown{};
    std::int64_t col = var.first;
    for (std::size_t k = 0; k < term.at.size(); ++k) col += position(term.at[k], var.sym) * var.strides[k];
    return col;
}

void Engine::run_linear(const LinCode& c, double scale, Linear& acc) {
    switch (c.op) {
        case LinCode::Constant: acc.constant += scale * number(c.factor); return;
        case LinCode::Term:
            tick();
            acc.add(column(c), scale);
            return;
        case LinCode::Dexpr: linear(*bind_dexpr(*c.node).body, scale, acc); return;
        case LinCode::Neg: run_linear(c.kids[0], -scale, acc); return;
        case LinCode::Chain:
            for (std::size_t k = 0; k < c.kids.size(); ++k) run_linear(c.kids[k], c.neg[k] ? -scale : scale, acc);
            return;
        case LinCode::Mul: {
            double k = number(c.factor);
            if (!std::isfinite(k)) coefficient_fault(*c.factor.node, k);
            run_linear(c.kids[0], scale * k, acc);
            return;
        }
        case LinCode::Div: {
            double k = number(c.factor);
            if (k == 0) fault(c.node->pos, "division by zero: " + describe(*c.node->kids[1]) + " is 0");
            run_linear(c.kids[0], scale / k, acc);
            return;
        }
        case LinCode::Sum: {
            const Node& n = *c.node;
            const LinCode& body = c.kids[0];
            if (n.filter || n.clauses.empty())
                walk(n.clauses, n.filter.get(), 0, [&] { run_linear(body, scale, acc); });
            else
                sum_loops(c, 0, scale, acc);
            return;
        }
        case LinCode::Interp: break;
    }
    ++stats.interpreted;
    fault(c.node->pos, "not a linear expression");
}

// As walk without a filter, down to the last clause, which term_loop runs.
void Engine::sum_loops(const LinCode& c, std::size_t k, double scale, Linear& acc) {
    const std::vector<ClauseIR>& cls = c.node->clauses;
    Domain local;
    const Domain* dom = clause_dom(cls[k], local);
    if (k + 1 == cls.size()) {
        term_loop(c.kids[0], cls[k], *dom, scale, acc);
        return;
    }
    Binding& b = env_.slots[static_cast<std::size_t>(cls[k].slot)];
    const ClauseIR* outer = loop_;
    loop_ = &cls[k];
    std::int64_t n = dom->size();
    for (std::int64_t i = 0; i < n; ++i) {
        tick();
        b.bind(dom, i);
        sum_loops(c, k + 1, scale, acc);
    }
    loop_ = outer;
}

namespace {

bool mul_add(std::int64_t a, std::int64_t b, std::int64_t& acc) {
    std::int64_t p = 0;
    return !__builtin_mul_overflow(a, b, &p) && !__builtin_add_overflow(acc, p, &acc);
}

}  // namespace

// Adds one dimension of an address to `out`: its position, times `step`,
// as the loop's element i moves it (i + delta) or fixed under the bindings
// outside the loop, valid while the position is below `limit`. False when
// the position is neither, or not known without evaluating (the loop then
// runs the template element by element).
bool Engine::add_dim(const PosCode& p, std::int64_t step, std::int64_t limit, const Binding& loop, const Domain& dom,
                     Stride& out) {
    if (!p.dom) return false;
    const Domain& target = *p.dom;
    std::int64_t lo = 0, hi = 0;  // the elements i where the position is in 0..limit-1
    std::int64_t delta = 0;       // position = i + delta
    bool moves = false;
    if (p.kind == PosCode::Shift) {
        const Binding& b = env_.slots[static_cast<std::size_t>(p.slot)];
        if (&b == &loop) {
            moves = true;
            if (p.shift == 0 && dom.sym && dom.sym == target.sym) {
                delta = 0;
            } else if (dom.is_range && target.is_range) {
                // element i is dom.low + i; its position in target: dom.low + i + shift - target.low
                if (__builtin_add_overflow(dom.low, p.shift, &delta) ||
                    __builtin_sub_overflow(delta, target.low, &delta))
                    return false;
            } else {
                return false;
            }
        } else {
            std::int64_t at = -1, v = 0;
            if (p.shift == 0 && b.domain && b.domain->sym && b.domain->sym == target.sym)
                at = b.pos;
            else if (target.is_range && b.value.kind == Val::Int && !__builtin_add_overflow(b.value.i, p.shift, &v) &&
                     v >= target.low && v <= target.high)
                at = v - target.low;
            if (at < 0 || at >= limit) return false;
            return mul_add(at, step, out.base);
        }
    } else if (p.kind == PosCode::Fixed) {
        if (p.fixed < 0 || p.fixed >= limit) return false;
        return mul_add(p.fixed, step, out.base);
    } else {
        return false;
    }
    if (moves) {
        // 0 <= i + delta < limit
        if (__builtin_sub_overflow(std::int64_t{0}, delta, &lo) || __builtin_sub_overflow(limit, delta, &hi))
            return false;
        out.lo = std::max(out.lo, lo);
        out.hi = std::min(out.hi, hi);
        if (!mul_add(delta, step, out.base) || __builtin_add_overflow(out.stride, step, &out.stride)) return false;
    }
    return true;
}

// The steps of one addend of a term loop's body: factors (constants, flat
// arrays, Neg) down to one term, each address an affine function of the
// loop's element. False when the addend has another shape.
bool Engine::loop_piece(const LinCode& piece, const Binding& loop, const Domain& dom, LoopPlan& plan) {
    std::int64_t n = dom.size();
    for (const LinCode* at = &piece;; at = &at->kids[0]) {
        if (plan.count == LoopPlan::kMaxSteps) return false;
        LoopPlan::Step& st = plan.steps[plan.count++];
        st = LoopPlan::Step{};
        st.op = at->op;
        st.at.hi = n;
        if (at->op == LinCode::Term) {
            const VarInfo& var = vars_[at->var];
            if (var.bad || at->at.size() != var.dims.size()) return false;
            st.at.base = var.first;
            for (std::size_t k = 0; k < at->at.size(); ++k)
                if (!add_dim(at->at[k], var.strides[k], var.dims[k]->size(), loop, dom, st.at)) return false;
            return true;
        }
        if (at->op == LinCode::Neg) continue;
        if (at->op != LinCode::Mul && at->op != LinCode::Div) return false;
        const Code& f = at->factor;
        if (f.op == Code::Const && f.value.numeric()) {
            st.value = f.value.num();
            continue;
        }
        if (f.op != Code::Gather) return false;
        const Numbers& a = *f.flat;
        st.flat = f.flat;
        std::int64_t step = 1;
        for (std::size_t k = a.shape.size(); k-- > 0;) {
            const PosCode& p = f.at[k];
            if (!p.dom) {  // a domain already built serves; building one could fault, which the element's step reports
                auto built = domains_.find(p.set);
                if (built != domains_.end()) p.dom = built->second.get();
            }
            auto extent = static_cast<std::int64_t>(a.shape[k]);
            if (!p.dom || !add_dim(p, step, std::min(p.dom->size(), extent), loop, dom, st.at) ||
                __builtin_mul_overflow(step, extent, &step))
                return false;
        }
    }
}

// The last clause of an unfiltered sum whose body is addends of factors
// down to a term (a[i][j] * x[i][j], x[t-1] / d[t] - 2 * y[t]): every
// address is an affine function of the element, so each element costs a
// few loads and an add per addend. An element where any address leaves its
// range, a factor is not finite or a divisor is zero runs the template with
// the index bound, which does (and reports) what the interpreter would; so
// does every element of any other body. The work counted is the same.
void Engine::term_loop(const LinCode& body, const ClauseIR& clause, const Domain& dom, double scale, Linear& acc) {
    LoopPlan plan;
    Binding& b = env_.slots[static_cast<std::size_t>(clause.slot)];
    std::int64_t n = dom.size();
    bool fast = n > 0;
    if (body.op == LinCode::Chain) {
        fast = fast && body.kids.size() <= LoopPlan::kMaxPieces;
        for (std::size_t k = 0; fast && k < body.kids.size(); ++k) {
            fast = loop_piece(body.kids[k], b, dom, plan);
            plan.neg[plan.pieces] = body.neg[k] != 0;
            plan.end[plan.pieces++] = plan.count;
        }
    } else if (fast) {
        fast = loop_piece(body, b, dom, plan);
        plan.neg[0] = false;
        plan.end[plan.pieces++] = plan.count;
    }
    if (fast) ++stats.looped;

    const ClauseIR* outer = loop_;
    loop_ = &clause;
    std::int64_t cols[LoopPlan::kMaxPieces];
    double coefs[LoopPlan::kMaxPieces];
    for (std::int64_t i = 0; i < n; ++i) {
        tick();
        bool ok = fast;
        for (std::size_t p = 0, k = 0; ok && p < plan.pieces; ++p) {
            double s = plan.neg[p] ? -scale : scale;
            for (; ok && k < plan.end[p]; ++k) {
                const LoopPlan::Step& st = plan.steps[k];
                if (st.op == LinCode::Neg) {
                    s = -s;
                    continue;
                }
                if (i < st.at.lo || i >= st.at.hi) {
                    ok = false;
                    break;
                }
                std::int64_t offset = st.at.base + i * st.at.stride;
                if (st.op == LinCode::Term) {
                    cols[p] = offset;
                    coefs[p] = s;
                    continue;
                }
                double v = st.value;
                if (st.flat)
                    v = st.flat->is_int ? static_cast<double>(st.flat->ints[static_cast<std::size_t>(offset)])
                                        : st.flat->floats[static_cast<std::size_t>(offset)];
                if (!std::isfinite(v) || (v == 0 && st.op == LinCode::Div)) ok = false;
                s = st.op == LinCode::Mul ? s * v : s / v;
            }
        }
        if (ok) {
            for (std::size_t p = 0; p < plan.pieces; ++p) {
                tick();  // the term
                acc.add(cols[p], coefs[p]);
            }
            continue;
        }
        b.bind(&dom, i);
        run_linear(body, scale, acc);
    }
    if (n > 0) {  // bound to the last element, as a walk leaves it
        b.bind(&dom, n - 1);
    }
    loop_ = outer;
}

// Adds scale * n to acc: the expression's template, lowered on first use.
void Engine::linear(const Node& n, double scale, Linear& acc) {
    if (!n.lin) n.lin = std::make_unique<LinCode>(lower_linear(n));
    run_linear(*n.lin, scale, acc);
}

}  // namespace tavro::kelm::ground
