// The instantiation engine: grounds a checked model over its data into one
// sparse linear problem (problem.hpp). This file is its last stage and its
// entry points: expressions lowered once (ground_lower.cpp) and evaluated
// over the data (ground_eval.cpp) are walked here under every forall and
// sum; linear terms are merged per column with a sparse accumulator, rows
// are collected in CSR order and transposed to CSC at the end. Data-dependent
// faults (an index outside its set, a division by a zero datum, an empty
// variable domain, a constraint that cancels to something false) are located
// errors of the model.
#include <algorithm>
#include <cmath>

#include "tavro/compiler/ground.hpp"
#include "tavro/compiler/numbers.hpp"
#include "tavro/compiler/problem.hpp"

namespace tavro::kelm {

namespace ground {

namespace {

std::string non_finite(double v) { return std::isnan(v) ? "not a number" : v > 0 ? "infinity" : "-infinity"; }
constexpr const char* kNotFinite = " (a number overflowed, or the data holds one that is not finite)";

}  // namespace

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

[[noreturn]] void Engine::fault(Pos pos, std::string text) {
    for (std::size_t k = 0; k < element_.size(); ++k)
        text += (k ? ", " : " for ") + *element_[k].first + " = " +
                show(env_.slots[static_cast<std::size_t>(element_[k].second)].value);
    d_.error(File::Model, pos, std::move(text));
    throw Throw{};
}

void Engine::checkpoint() {
    if (check_until_ >= 0 && w_.done >= check_until_) throw OverBudget{};
    StopReason why = w_.check(check_until_);
    if (why != StopReason::None) stop(why);
}

// The end of all work: a located error at the innermost loop (or construct)
// being grounded; the run and the program's other passes stop (Abort).
[[noreturn]] void Engine::stop(StopReason why) {
    Pos pos = loop_ && loop_->src ? loop_->src->pos : site_;
    std::string in = loop_ && loop_->src ? "; stopped in the loop over " + quote(loop_->src->var) : "";
    std::string steps = std::to_string(w_.done) + (w_.done == 1 ? " step" : " steps");
    std::string text;
    switch (why) {
        case StopReason::Work:
            text = "building the model takes more than " + std::to_string(w_.limits.work) +
                   " steps (loop iterations, filter tests, terms)" + in +
                   ": narrow the index sets or filters, or raise the work limit";
            break;
        case StopReason::Deadline: text = "building the model passed its deadline after " + steps + in; break;
        default: text = "building the model was interrupted after " + steps + in; break;
    }
    w_.note = "model:" + std::to_string(pos.line) + ":" + std::to_string(pos.col) + ": " + text;
    d_.fatal(File::Model, pos, std::move(text));
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

// The coefficient of a decision variable is a number the solver can judge.
void Engine::coefficient_fault(const Node& data, double k) {
    fault(data.pos, "the coefficient " + describe(data) + " of a decision variable is " +
                        (std::isnan(k) ? std::string("not a number") : show(Val::of_float(k))));
}

void Engine::columns(LinearProblem& out) {
    for (auto& d : p_.model.decls)
        if (d.kind == DK::Dvar && d.sym) column_block(d, out);
    out.c.assign(static_cast<std::size_t>(columns_), 0.0);
    acc_.reset(static_cast<std::size_t>(columns_));
    if (store_) {  // most models have a few nonzeros per column
        row_cols_.reserve(static_cast<std::size_t>(2 * columns_));
        row_vals_.reserve(static_cast<std::size_t>(2 * columns_));
    }
}

// The columns of one dvar declaration: its block of names and, per column,
// bounds and integrality. A declaration that fails gets an empty block.
void Engine::column_block(const Decl& d, LinearProblem& out) {
    const Sym* s = d.sym;
    VarInfo var;
    var.sym = s;
    var.first = columns_;
    std::int64_t count = 0;
    Block block;
    block.name = s->name;
    block.line = d.pos.line;
    block.first = columns_;
    site_ = d.pos;
    bool ok = attempt([&] {
        count = column_dims(d, var, block);
        tick(count);
        column_bounds(d, var, count, out);
        out.integrality.insert(out.integrality.end(), static_cast<std::size_t>(count),
                               d.type.base != Tok::KwFloat ? 1 : 0);
    });
    if (!ok) {
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

// The index sets of a dvar, the texts of their elements and the strides of
// its row-major columns; returns the number of columns, within the limits.
std::int64_t Engine::column_dims(const Decl& d, VarInfo& var, Block& block) {
    const Sym* s = d.sym;
    std::int64_t count = 1;
    for (const Sym* dim : s->dims) {
        const Domain& dom = domain(dim, d.pos);
        var.dims.push_back(&dom);
        std::int64_t n = dom.size();
        if (n > 0 && count > kMaxColumns / n)
            fault(d.name_pos,
                  quote(s->name) + " has too many elements to build (over " + std::to_string(kMaxColumns) + ")");
        count *= n;
        tick(n);
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
    return count;
}

// The bounds of a dvar's columns: the declared ones (`in lo..hi`, once, or
// per element when the bounds use the named indices) within the type's.
void Engine::column_bounds(const Decl& d, const VarInfo& var, std::int64_t count, LinearProblem& out) {
    const Sym* s = d.sym;
    bool integer = d.type.base != Tok::KwFloat;
    double base_lo = d.nonneg ? 0.0 : -kInf, base_hi = kInf;
    if (d.type.base == Tok::KwBoolean) {
        base_lo = 0;
        base_hi = 1;
    }
    auto push = [&](double a, double b, auto&& at) {
        if (std::isnan(a) || std::isnan(b))
            fault(d.low->pos, "the " + std::string(std::isnan(a) ? "lower" : "upper") + " bound of " + quote(s->name) +
                                  at() + " is not a number");
        if (a == kInf || b == -kInf)
            fault(d.low->pos, "empty domain: " + quote(s->name) + at() + " has " +
                                  (a == kInf ? "lower bound infinity" : "upper bound -infinity"));
        double lo = std::max(base_lo, a), hi = std::min(base_hi, b);
        if (lo > hi)
            fault(d.low->pos, "empty domain: " + quote(s->name) + at() + " has lower bound " + format_number(lo) +
                                  " above its upper bound " + format_number(hi));
        if (integer) {
            lo = std::ceil(lo - 1e-9);
            hi = std::floor(hi + 1e-9);
            if (lo > hi)
                fault(d.name_pos, "empty domain: no integer lies within the bounds of " + quote(s->name) + at());
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
        return;
    }
    if (!per_element) {
        double a = number(*l), b = number(*h);
        for (std::int64_t k = 0; k < count; ++k) push(a, b, nowhere);
        return;
    }
    // Per element: the named indices walk the product in column order.
    std::vector<std::int64_t> at(var.dims.size(), 0);
    auto where = [&] {
        std::string text;
        for (std::size_t j = 0; j < at.size(); ++j)
            if (slots[j] >= 0)
                text += (text.empty() ? " at " : ", ") + d.dim_vars[j] + " = " +
                        show(env_.slots[static_cast<std::size_t>(slots[j])].value);
        return text;
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

// Dexprs and the objective, in declaration order (a dexpr is known to what
// follows it).
void Engine::objective(LinearProblem& out) {
    for (auto& d : p_.model.decls) {
        if (d.kind == DK::Dexpr && d.sym) dexpr(d);
        if (d.kind == DK::Objective) objective_row(d, out);
    }
}

// A dexpr's body lowered with its named indices in scope; an empty body when
// it failed (references to it are then not grounded).
void Engine::dexpr(const Decl& d) {
    DexprInfo dx;
    site_ = d.pos;
    std::size_t mark = scope_.size();
    bool ok = attempt([&] {
        for (std::size_t k = 0; k < d.sym->dims.size(); ++k) {
            dx.dims.push_back(&domain(d.sym->dims[k], d.pos));
            dx.slots.push_back(open_slot(k < d.dim_vars.size() ? d.dim_vars[k] : std::string()));
        }
        dx.body = lower(*d.value);
    });
    if (!ok) dx.body.reset();
    close_slots(scope_.size() - mark);
    dexpr_ids_.emplace(d.sym, dexprs_.size());
    dexprs_.push_back(std::move(dx));
}

// The objective's coefficients and constant; a number that is not finite (an
// overflow, a NaN or infinity from the data) is a located error.
void Engine::objective_row(const Decl& d, LinearProblem& out) {
    out.maximize = !d.minimize;
    out.objective_name = d.name;
    site_ = d.pos;
    attempt([&] {
        NodePtr e = lower(*d.value);
        acc_.begin();
        linear(*e, 1.0, acc_);
        Pos at = start_of(*d.value);
        acc_.each([&](std::int64_t col, double coef) {
            if (!std::isfinite(coef))
                fault(at, "the objective's coefficient of " + quote(column_name(col, out)) + " is " + non_finite(coef) +
                              kNotFinite);
            out.c[static_cast<std::size_t>(col)] = coef;
        });
        if (!std::isfinite(acc_.constant))
            fault(at, "the objective's constant term is " + non_finite(acc_.constant) + kNotFinite);
        out.offset = acc_.constant;
    });
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

// A row block's name: the label, or "_c<line>" for an unlabelled constraint,
// "_c<line>#2", "#3", ... for the next ones on that line (or when a label
// took the name): unique, so duals and results keyed by name lose nothing.
std::string Engine::row_name(const Constraint& c) {
    if (!c.label.empty()) return c.label;
    std::string base = "_c" + std::to_string(c.pos.line);
    for (int k = 1;; ++k) {
        std::string name = k == 1 ? base : base + "#" + std::to_string(k);
        if (row_names_.insert(name).second) return name;
    }
}

void Engine::constraints(LinearProblem& out) {
    // Labels first: an unlabelled constraint's name never takes one.
    std::vector<const std::vector<Constraint>*> todo;
    for (auto& d : p_.model.decls)
        if (d.kind == DK::Constraints) todo.push_back(&d.constraints);
    while (!todo.empty()) {
        const auto* list = todo.back();
        todo.pop_back();
        for (auto& c : *list) {
            if (!c.label.empty()) row_names_.insert(c.label);
            if (!c.body.empty()) todo.push_back(&c.body);
        }
    }
    for (auto& d : p_.model.decls) {
        if (d.kind != DK::Constraints) continue;
        std::vector<Level> levels;
        for (auto& c : d.constraints) constraint(c, levels, out);
    }
}

void Engine::constraint(const Constraint& c, std::vector<Level>& levels, LinearProblem& out) {
    std::size_t mark = scope_.size();
    if (c.kind == Constraint::Forall) {
        Level level;
        bool ok = attempt([&] {
            for (auto& cl : c.clauses) {
                level.clauses.push_back(lower_clause(cl));
                level.names.push_back(cl.var);
            }
            if (c.filter) level.filter = lower(*c.filter);
        });
        if (!ok) {
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
    block.name = row_name(c);
    block.line = c.pos.line;
    site_ = c.pos;
    block.first = out.num_rows();
    for (auto& l : levels) block.arity += static_cast<int>(l.clauses.size());
    attempt([&] {
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
    });
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
    if (acc_.empty() && !std::isnan(lo) && !std::isnan(hi)) {
        // The decision variables cancelled: 0 must lie within [lo, hi].
        double tol =
            1e-9 * std::max({1.0, std::fabs(std::isfinite(lo) ? lo : 0), std::fabs(std::isfinite(hi) ? hi : 0)});
        if (lo <= tol && hi >= -tol) return;
        std::string name = block.labelled ? "constraint " + quote(block.name) : std::string("this constraint");
        std::string rel = lo == hi   ? "0 == " + format_number(hi)
                          : lo > tol ? "0 >= " + format_number(lo)
                                     : "0 <= " + format_number(hi);
        fault(c.pos, name + where(levels) + " is always false: its decision variables cancel, leaving " + rel);
    }
    store_row(c, lo, hi, levels, block, out);
}

// The accumulated terms as a row lo <= a.x <= hi, named by the forall indices.
// Numbers the solver cannot judge are located errors: a coefficient or a
// bound that is not finite (an infinite bound on the open side, as in
// `x <= infinity`, is no bound).
void Engine::store_row(const Constraint& c, double lo, double hi, const std::vector<Level>& levels, Block& block,
                       LinearProblem& out) {
    auto name = [&] {
        return (block.labelled ? "constraint " + quote(block.name) : std::string("this constraint")) + where(levels);
    };
    acc_.each([&](std::int64_t col, double coef) {
        if (!std::isfinite(coef))
            fault(c.pos, name() + ": the coefficient of " + quote(column_name(col, out)) + " is " + non_finite(coef) +
                             kNotFinite);
    });
    if (std::isnan(lo) || std::isnan(hi) || lo == kInf || hi == -kInf)
        fault(c.pos,
              name() + ": the right-hand side is " + non_finite(std::isnan(lo) || lo == kInf ? lo : hi) + kNotFinite);
    if (!store_) return;
    if (out.num_rows() >= kMaxRows)
        d_.fatal(File::Model, c.pos,
                 "the model has too many constraints to build (over " + std::to_string(kMaxRows) + ")");
    if (row_cols_.size() + acc_.terms() > static_cast<std::size_t>(kMaxNonzeros))
        d_.fatal(
            File::Model, c.pos,
            "the model has too many nonzero coefficients to build: " + std::to_string(row_cols_.size() + acc_.terms()) +
                " at " + name() + ", over " + std::to_string(kMaxNonzeros));
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
    std::int64_t widest = -1;      // the column whose bound adds most to M
    auto extreme = [&](bool up) {  // max (up) or min of r(x) over the bounds
        double v = k, most = -1;
        for (auto [col, a] : r) {
            bool upper = (a > 0) == up;
            double bound =
                upper ? out.col_upper[static_cast<std::size_t>(col)] : out.col_lower[static_cast<std::size_t>(col)];
            if (!std::isfinite(bound))
                fault(c.pos, "'=>' needs " + std::string(upper ? "an upper" : "a lower") + " bound on " +
                                 quote(column_name(col, out)) + where(levels) +
                                 " to be linearised: declare it with 'in lo..hi'");
            v += a * bound;
            if (!(std::fabs(a * bound) <= most)) most = std::fabs(a * bound), widest = col;
        }
        return v;
    };
    auto add = [&](bool le) {
        double m = extreme(le);
        if (le ? m <= 0 : m >= 0) return;  // holds whatever b is
        if (!(std::fabs(m) <= kMaxBigM)) {
            std::string from = widest >= 0 ? " (from the bounds of " + quote(column_name(widest, out)) + ")" : "";
            std::string fix = widest >= 0 ? "declare tighter bounds on " + quote(column_name(widest, out))
                                          : "make the constant terms smaller";
            fault(c.pos, "'=>'" + where(levels) + " needs a big-M of " + format_number(std::fabs(m)) + from +
                             ", too large to be safe: the solver's integrality tolerance (1e-6) times M is over 1, "
                             "so the implication could fail by that much; " +
                             fix + " (|M| at most " + format_number(kMaxBigM) + ")");
        }
        acc_.begin();
        for (auto [col, a] : r) acc_.add(col, a);
        acc_.add(b, c.when_value ? m : -m);
        double bound = c.when_value ? m - k : -k;
        store_row(c, le ? -kInf : bound, le ? bound : kInf, levels, block, out);
    };
    if (c.ops[0] != Tok::Ge) add(true);
    if (c.ops[0] != Tok::Le) add(false);
}

void Engine::run(LinearProblem& out) {
    columns(out);
    objective(out);
    constraints(out);
    if (d_.any()) return;
    to_csc(out);
}

// Rows were collected in CSR order; transpose to CSC (rows ascend within a column).
void Engine::to_csc(LinearProblem& out) {
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

}  // namespace ground

using ground::Engine;

InstantiateResult instantiate(Program& p) {
    InstantiateResult result;
    try {
        Engine engine(p, ground::count_slots(p.model));
        engine.run(result.problem);
        result.stats = engine.stats;
        result.ok = !p.diag->any();
    } catch (const Abort&) {
    } catch (const ground::Unknown&) {
    } catch (const std::bad_alloc&) {
        result.problem = LinearProblem();
        result.message = "model:1:1: out of memory while building the problem";
        return result;
    }
    if (!result.ok) {
        result.message = stop_message(p, result.stopped);
        result.problem = LinearProblem();
    }
    return result;
}

InstantiateResult instantiate(Program& p, std::string_view model_text, std::string_view data_text,
                              std::string_view folder) {
    InstantiateResult result;
    try {
        analyse(p, model_text, data_text, folder);
        if (!p.diag->any()) return instantiate(p);
    } catch (const Abort&) {
    } catch (const std::bad_alloc&) {
        result.message = "model:1:1: out of memory while compiling";
        return result;
    }
    result.message = stop_message(p, result.stopped);
    return result;
}

InstantiateResult instantiate(std::string_view model_text, std::string_view data_text, std::string_view folder,
                              const Limits& limits) {
    Diagnostics diag;
    try {
        Program p;
        p.diag = &diag;
        p.work.limits = limits;
        return instantiate(p, model_text, data_text, folder);
    } catch (const std::bad_alloc&) {
        InstantiateResult result;
        result.message = "model:1:1: out of memory while compiling";
        return result;
    }
}

std::string stop_message(const Program& p, StopReason& stopped) {
    stopped = p.work.stopped;
    if (stopped == StopReason::None || stopped == StopReason::Work) return p.diag->message();
    return p.work.note;
}

void check_grounding(Program& p) {
    // Enough for any model an LLM writes; larger ones get these checks when
    // they are built (tavro.solver), so a compile stays cheap.
    constexpr std::int64_t kCheckSteps = 1'000'000;
    LinearProblem scratch;
    try {
        Engine engine(p, ground::count_slots(p.model));
        engine.check_only(kCheckSteps);
        engine.run(scratch);
    } catch (const ground::OverBudget&) {
    } catch (const ground::Unknown&) {}
}

}  // namespace tavro::kelm
