// Private header of the instantiation engine (instantiate.cpp and its
// stages): model expressions are lowered once to a resolved form (symbols,
// index slots, degrees; ground_lower.cpp), evaluated over the data with index
// variables bound (ground_eval.cpp), and every forall and sum is walked into
// the sparse problem (instantiate.cpp). Linear expressions and filters run
// through templates lowered from those nodes on first use
// (ground_template.cpp), and a filter that picks a set's elements by one
// field is answered by an index of the set (ground_filter.cpp). The evaluator
// also serves the data-only values of range bounds and initializers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tavro/compiler/functions.hpp"
#include "tavro/compiler/problem.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm::ground {

// A value during evaluation; strings and tuples are borrowed from the model
// or the data, which outlive the evaluation.
struct Val {
    enum Kind : std::uint8_t { Int, Float, Bool, Str, Tuple } kind = Int;
    std::int64_t i = 0;
    double f = 0;
    const std::string* s = nullptr;
    const Dict* t = nullptr;

    static Val of_int(std::int64_t v) {
        Val x;
        x.kind = Int;
        x.i = v;
        return x;
    }
    static Val of_float(double v) {
        Val x;
        x.kind = Float;
        x.f = v;
        return x;
    }
    static Val of_bool(bool v) {
        Val x;
        x.kind = Bool;
        x.i = v;
        return x;
    }
    bool numeric() const { return kind == Int || kind == Float; }
    double num() const { return kind == Int ? static_cast<double>(i) : f; }
};

Val from_value(const Value& v);
Value to_value(const Val& v);
std::string key_of(const Val& v);   // element_key() of the value
std::string text_of(const Val& v);  // 3, 2.5, Seattle, <A,B,3>: names and result keys
std::string show(const Val& v);     // 3, 2.5, "Seattle", <"A", "B", 3>: messages

// The elements of an index set as grounding walks it.
struct Domain {
    const Sym* sym = nullptr;  // the named set or range; nullptr for lo..hi
    bool is_range = true;
    std::int64_t low = 0, high = -1;
    const List* items = nullptr;  // sets
    const Elements* elements = nullptr;
    std::int64_t size() const {
        return is_range ? (high >= low ? high - low + 1 : 0) : static_cast<std::int64_t>(items ? items->size() : 0);
    }
    Val at(std::int64_t k) const {
        return is_range ? Val::of_int(low + k) : from_value((*items)[static_cast<std::size_t>(k)]);
    }
    // Position of a value, or -1 when it is not an element.
    std::int64_t position(const Val& v) const;
};

// A located fault found while evaluating: reported once per construct.
struct Fault {
    Pos pos;
    std::string text;
};

struct Node;
using NodePtr = std::unique_ptr<Node>;
struct LinCode;
struct FilterPlan;

struct Binding {
    Val value;
    const Domain* domain = nullptr;
    std::int64_t pos = 0;

    // Bound to the element at `at` of `dom`.
    void bind(const Domain* dom, std::int64_t at) {
        value = dom->at(at);
        domain = dom;
        pos = at;
    }
};

struct Env {
    // Sized once for every index variable of the model, so references to a
    // binding stay valid while more expressions are lowered.
    std::vector<Binding> slots;
};

struct ClauseIR {
    int slot;
    const Clause* src = nullptr;          // for messages: its index name and place
    const Sym* set = nullptr;             // named set or range
    mutable const Domain* dom = nullptr;  // its domain, once known
    NodePtr low, high;                    // lo..hi
};

// Linear expression being accumulated: sum coef * column + constant.
class Linear {
public:
    void reset(std::size_t columns);
    void begin();  // a new expression
    void add(std::int64_t col, double coef) {
        Cell& c = cells_[static_cast<std::size_t>(col)];
        if (c.mark != stamp_) {
            c.mark = stamp_;
            c.coef = coef;
            touched_.push_back(col);
        } else {
            c.coef += coef;
        }
    }
    double constant = 0;
    // The merged terms, zeros dropped, in first-seen order.
    template <class F>
    void each(F&& f) const {
        for (std::int64_t col : touched_) {
            double c = cells_[static_cast<std::size_t>(col)].coef;
            if (c != 0) f(col, c);
        }
    }
    bool empty() const;
    std::size_t terms() const { return touched_.size(); }  // at least the nonzeros

private:
    struct Cell {  // a column's stamp and coefficient side by side: one cache line per term
        std::uint64_t mark = 0;
        double coef = 0;
    };
    std::vector<Cell> cells_;
    std::vector<std::int64_t> touched_;
    std::uint64_t stamp_ = 0;
};

// Lowered expression.
struct Node {
    enum Op : std::uint8_t {
        Const,
        Str,
        Slot,
        Param,
        ParamAt,
        Var,
        VarAt,
        DexprRef,
        Field,
        Neg,
        Not,
        Add,
        Sub,
        Mul,
        Div,
        Mod,
        Eq,
        Ne,
        Lt,
        Le,
        Gt,
        Ge,
        And,
        Or,
        Sum,
        AggMin,
        AggMax,
        Min,
        Max,
        Abs,
        Card,
        Pow,  // a ^ b, pow(a, b)
        Func  // sqrt, exp, log, floor, ceil, round
    } op;
    std::uint8_t degree = 0;  // 0: data only; 1: linear in the decision variables
    Pos pos;
    Val value;                                // Const, Str
    int slot = -1;                            // Slot
    const Sym* sym = nullptr;                 // Param, ParamAt, Var, VarAt, DexprRef, Card
    Fn fn = Fn::Pow;                          // Pow, Func
    std::string field;                        // Field
    std::vector<NodePtr> kids;                // operands, indices, body
    mutable std::vector<const Domain*> doms;  // ParamAt: the index sets, once known
    std::vector<ClauseIR> clauses;            // Sum, AggMin, AggMax
    NodePtr filter;
    // Lowered on first use: the template of a linear expression, the plan of a filter.
    mutable std::unique_ptr<LinCode> lin;
    mutable std::unique_ptr<FilterPlan> plan;
    Node(Op o, Pos p) : op(o), pos(p) {}
    ~Node();
};

struct Code;

// The position of an index in one dimension's domain, lowered once: an index
// variable (moved by a constant on a range: stock[t-1]), a constant (its
// position kept once found), any other value through its lowered code, or the
// interpreter. Whatever the fast path cannot answer (an index outside its
// set, an overflow) is answered by the interpreter, with its message.
struct PosCode {
    enum Kind : std::uint8_t { Shift, Fixed, Value, Interp } kind = Interp;
    int slot = -1;
    std::int64_t shift = 0;               // Shift: the index variable's int value + shift
    const Node* node = nullptr;           // the index expression
    const Sym* set = nullptr;             // the dimension's set or range
    Pos where;                            // where a fault in building its domain is reported
    mutable const Domain* dom = nullptr;  // its domain, once known
    mutable std::int64_t fixed = -1;      // Fixed: the position, once known
    std::unique_ptr<Code> value;          // Value
};

// A lowered data-only expression: operands reached without the
// interpreter's dispatch (index variables, tuple fields by place, flat
// arrays by computed offset); arithmetic and comparisons through the
// interpreter's own steps, so values and faults are the same.
struct Code {
    enum Op : std::uint8_t { Const, Slot, Field, Gather, Items, Neg, Arith, Compare, And, Or, Not, Interp } op = Interp;
    const Node* node = nullptr;
    Val value;                      // Const
    int slot = -1;                  // Slot
    mutable std::size_t field = 0;  // Field: its place in the tuple, as last found
    const Numbers* flat = nullptr;  // Gather: the array
    const Value* items = nullptr;   // Items: the nested lists
    std::vector<PosCode> at;        // Gather, Items: one per index
    std::vector<Code> kids;
};

// A lowered linear expression: the walk of Engine::linear with every operand
// resolved. Term adds the coefficient to the column its positions give.
struct LinCode {
    enum Op : std::uint8_t { Constant, Term, Dexpr, Neg, Chain, Mul, Div, Sum, Interp } op = Interp;
    const Node* node = nullptr;
    std::size_t var = 0;            // Term: the dvar
    std::vector<PosCode> at;        // Term: one per index
    Code factor;                    // Constant: the value; Mul, Div: the data operand
    std::vector<LinCode> kids;      // Neg, Mul, Div, Sum: the operand; Chain: the terms in source order
    std::vector<std::uint8_t> neg;  // Chain: per term, subtracted
};

// Elements of a set grouped by the value of a selector (a tuple field, or a
// one-dimensional array over the set), positions ascending.
struct ElementIndex {
    enum Kind : std::uint8_t { Keys, Ints, Floats, None } kind = None;  // None: mixed values, not indexed
    std::unordered_map<std::string, std::vector<std::int32_t>> keys;
    std::unordered_map<std::int64_t, std::vector<std::int32_t>> ints;
    std::unordered_map<double, std::vector<std::int32_t>> floats;
};

// A filter split at its top-level '&&' into conjuncts, each lowered. When a
// conjunct compares a selector of the last clause's element with a value
// that does not depend on that element (o.task == t, q.project ==
// o.project), the last clause walks only the elements the index gives for
// that value; the other conjuncts are tested on them, in order.
struct FilterPlan {
    std::vector<Code> conjuncts;
    int indexed = -1;                             // the conjunct the index answers, or -1
    const Node* selector = nullptr;               // of the last clause's element
    std::string selector_key;                     // the index's name: ".field" or the array's name
    Code key;                                     // the value it must equal
    mutable const ElementIndex* index = nullptr;  // once built
};

inline Node::~Node() = default;

// a op b for == != < <= > >=: ints compare exactly, a mixed pair as doubles;
// anything else is only equal or not, by its element key.
Val compare_values(Node::Op op, const Val& a, const Val& b);

// How a construct is abandoned: its fault was reported (Throw), or a value it
// needs is not known (Unknown: the checker or the data reader said why).
struct Throw {};
struct Unknown {};
struct OverBudget {};  // the check pass of a compile has done its share

constexpr std::int64_t kMaxColumns = 50'000'000;
constexpr std::int64_t kMaxRows = 50'000'000;
constexpr std::int64_t kMaxNonzeros = 100'000'000;
// The largest big-M an implication may get from its variables' bounds: the
// solver takes a binary within 1e-6 of 0 or 1 as integral, which lets a
// linearised row move by M * 1e-6; past 1e6 that is more than a unit.
constexpr double kMaxBigM = 1e6;
constexpr double kInf = std::numeric_limits<double>::infinity();

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

// Index variables the engine must be able to bind: those of the model's
// clauses and declarations, or of one expression (ground_lower.cpp).
std::size_t count_slots(const Model& m);
std::size_t count_clauses(const Expr& e);

class Engine {
public:
    Engine(Program& p, std::size_t slots) : p_(p), d_(*p.diag), w_(p.work) { env_.slots.resize(slots); }
    // Checks only: nothing is stored, and grounding stops (silently) after
    // `steps` more steps of work.
    void check_only(std::int64_t steps) {
        store_ = false;
        check_until_ = w_.done + steps;
        w_.next = std::min(w_.next, check_until_);
    }
    // Counts n steps of work (a loop iteration or filter test, a linear term,
    // a dexpr expansion, a column): past the limit, the deadline, a cancel or
    // an interrupt, the work stops with a located error at the current loop.
    void tick(std::int64_t n = 1) {
        if ((w_.done += n) >= w_.next) checkpoint();
    }
    void run(LinearProblem& out);
    // Data-only value of an expression outside any forall (range bounds,
    // initializers); nullopt when a value it needs is not known.
    std::optional<Value> value_of(const Expr& e);
    // The values of a computed array, one per element of its index sets in
    // row-major order (a flat numeric array, or a list of strings); nullopt
    // after a fault (reported) or when a value it needs is not known.
    std::optional<Value> array_value(const Sym& s);

private:
    // Runs one construct; false when it was abandoned (Throw or Unknown).
    template <class F>
    static bool attempt(F&& f) {
        try {
            f();
            return true;
        } catch (const Throw&) {
        } catch (const Unknown&) {}
        return false;
    }
    [[noreturn]] void fault(Pos pos, std::string text);
    void checkpoint();
    [[noreturn]] void stop(StopReason why);

    // Lowering (ground_lower.cpp).
    NodePtr lower(const Expr& e);
    NodePtr lower_name(const Expr& e);
    NodePtr lower_index(const Expr& e);
    NodePtr lower_binary(const Expr& e);
    ClauseIR lower_clause(const Clause& c);
    int open_slot(const std::string& name);
    void close_slots(std::size_t n) { scope_.resize(scope_.size() - n); }

    // Evaluation (ground_eval.cpp).
    Val eval(const Node& n);
    Val eval_chain(const Node& n);
    Val eval_compare(const Node& n);
    Val eval_sum(const Node& n);
    Val eval_aggregate(const Node& n);
    Val eval_min_max(const Node& n);
    Val eval_function(const Node& n);  // ground_data.cpp
    Val arith(const Node& n, Val a, Val b);
    Val negate(const Node& n, Val v);
    [[noreturn]] void arith_fault(const Node& n, Val a, Val b, double r);
    double number(const Node& n) {
        Val v = eval(n);
        return v.num();
    }
    bool truth(const Node& n) { return eval(n).i != 0; }
    Val element(const Node& n);
    Val field(const Node& n, Val b, std::size_t* hint = nullptr);
    // Position of an index value in the domain of an array's dimension; a
    // fault when it is not an element. An index variable walking that same
    // set answers without evaluating.
    std::int64_t position(const Node& idx, const Domain& dom, const Sym* array) {
        if (idx.op == Node::Slot) {
            const Binding& b = env_.slots[static_cast<std::size_t>(idx.slot)];
            if (b.domain && b.domain->sym && b.domain->sym == dom.sym) return b.pos;
        }
        return position_of(idx, dom, array);
    }
    std::int64_t position_of(const Node& idx, const Domain& dom, const Sym* array);
    const Domain& domain(const Sym* s, Pos where);
    Domain clause_domain(const ClauseIR& c);
    // The domain a clause walks: its set's, or its lo..hi range built in `local`.
    const Domain* clause_dom(const ClauseIR& c, Domain& local) {
        if (!c.set) {
            local = clause_domain(c);
            return &local;
        }
        if (!c.dom) c.dom = &domain(c.set, {});
        return c.dom;
    }
    DexprInfo& bind_dexpr(const Node& n);
    template <class F>
    void walk(const std::vector<ClauseIR>& cls, const Node* filter, std::size_t k, F&& f);
    std::string describe(const Node& n, int depth = 0);
    std::string describe_call(const Node& n, int depth);  // ground_data.cpp

    // Templates (ground_template.cpp).
    Code lower_code(const Node& n, int depth = 0);
    PosCode lower_pos(const Node& idx, const Sym* set, const Domain* dom, Pos where, int depth);
    LinCode lower_linear(const Node& n);
    Val run(const Code& c);
    double number(const Code& c) { return run(c).num(); }
    bool truth(const Code& c) { return run(c).i != 0; }
    std::int64_t position(const PosCode& p, const Sym* array);
    Val gather(const Code& c);
    Val items(const Code& c);
    void run_linear(const LinCode& c, double scale, Linear& acc);
    std::int64_t column(const LinCode& term);
    // An unfiltered sum: the outer clauses walked, the last one by term_loop.
    void sum_loops(const LinCode& c, std::size_t k, double scale, Linear& acc);
    void term_loop(const LinCode& body, const ClauseIR& clause, const Domain& dom, double scale, Linear& acc);
    // An address (a column, a data offset) as base + i * stride for the
    // loop's element i, valid for lo <= i < hi.
    struct Stride {
        std::int64_t base = 0, stride = 0, lo = 0, hi = 0;
    };
    bool add_dim(const PosCode& p, std::int64_t step, std::int64_t limit, const Binding& loop, const Domain& dom,
                 Stride& out);
    // term_loop's plan: per addend of the body, its steps (Mul, Div, Neg,
    // then the Term), outermost first.
    struct LoopPlan {
        static constexpr std::size_t kMaxSteps = 16, kMaxPieces = 4;
        struct Step {
            LinCode::Op op = LinCode::Interp;
            double value = 0;               // a constant factor
            const Numbers* flat = nullptr;  // a factor gathered from this array at `at`
            Stride at;                      // the data offset, or the Term's column
        };
        Step steps[kMaxSteps];
        std::size_t count = 0;
        std::size_t end[kMaxPieces] = {};  // each addend's steps end here
        bool neg[kMaxPieces] = {};         // the addend is subtracted
        std::size_t pieces = 0;
    };
    bool loop_piece(const LinCode& piece, const Binding& loop, const Domain& dom, LoopPlan& plan);

    // Filters (ground_filter.cpp).
    const FilterPlan& plan(const Node& filter, const ClauseIR& last);
    bool passes(const FilterPlan& plan, int skip = -1);
    // The positions of the last clause's elements the index gives for the
    // plan's key; nullptr when the index cannot answer (the walk scans).
    const std::vector<std::int32_t>* lookup(const FilterPlan& plan, const Domain& dom);

    // Grounding (instantiate.cpp).
    void columns(LinearProblem& out);
    void column_block(const Decl& d, LinearProblem& out);
    std::int64_t column_dims(const Decl& d, VarInfo& var, Block& block);
    void column_bounds(const Decl& d, const VarInfo& var, std::int64_t count, LinearProblem& out);
    void objective(LinearProblem& out);
    void dexpr(const Decl& d);
    void objective_row(const Decl& d, LinearProblem& out);
    void constraints(LinearProblem& out);
    void constraint(const Constraint& c, std::vector<Level>& levels, LinearProblem& out);
    template <class F>
    void levels_walk(std::vector<Level>& levels, std::size_t k, F&& f);
    void linear(const Node& n, double scale, Linear& acc);  // ground_template.cpp
    [[noreturn]] void coefficient_fault(const Node& data, double k);
    std::int64_t column(const Node& n);
    std::string column_name(std::int64_t col, const LinearProblem& out) const;
    void emit_row(const Constraint& c, const std::vector<NodePtr>& terms, const std::vector<Level>& levels,
                  Block& block, LinearProblem& out);
    void emit_implication(const Constraint& c, const Node& when, const std::vector<NodePtr>& terms,
                          const std::vector<Level>& levels, Block& block, LinearProblem& out);
    void store_row(const Constraint& c, double lo, double hi, const std::vector<Level>& levels, Block& block,
                   LinearProblem& out);
    std::string row_name(const Constraint& c);
    void to_csc(LinearProblem& out);
    std::string where(const std::vector<Level>& levels);

    Program& p_;
    Diagnostics& d_;
    Work& w_;
    std::int64_t check_until_ = -1;   // the check pass stops (silently) at this count
    Pos site_;                        // the construct being grounded, for messages
    const ClauseIR* loop_ = nullptr;  // the innermost loop being walked
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
    // While a computed array is evaluated: its index names and their slots,
    // which a fault's message names (" for i = 2, j = 3").
    std::vector<std::pair<const std::string*, int>> element_;
    bool store_ = true;
    std::unordered_set<std::string> row_names_;                               // the row blocks' names so far
    std::unordered_map<std::string, std::unique_ptr<ElementIndex>> indexes_;  // by set and selector
    std::vector<std::int32_t> no_hits_;

public:
    GroundStats stats;
};

// Calls f() for every binding of the clauses cls[k..] that passes the filter.
// Evaluation (sums, aggregates) and grounding (foralls, linear sums) both walk.
template <class F>
void Engine::walk(const std::vector<ClauseIR>& cls, const Node* filter, std::size_t k, F&& f) {
    if (k == cls.size()) {
        if (!filter || passes(plan(*filter, cls.back()))) f();
        return;
    }
    Domain local;
    const Domain* dom = clause_dom(cls[k], local);
    Binding& b = env_.slots[static_cast<std::size_t>(cls[k].slot)];
    const ClauseIR* outer = loop_;
    loop_ = &cls[k];
    std::int64_t n = dom->size();
    if (filter && k + 1 == cls.size() && n > 0) {
        const FilterPlan& fp = plan(*filter, cls[k]);
        if (fp.indexed >= 0) {
            if (const std::vector<std::int32_t>* hits = lookup(fp, *dom)) {
                tick();  // the lookup
                for (std::int32_t i : *hits) {
                    tick();
                    b.bind(dom, i);
                    if (passes(fp, fp.indexed)) f();
                }
                loop_ = outer;
                return;
            }
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        tick();
        b.bind(dom, i);
        walk(cls, filter, k + 1, f);
    }
    loop_ = outer;
}

}  // namespace tavro::kelm::ground
