// The instantiation engine's evaluator: model expressions lowered once to a
// resolved form (symbols, index slots, degrees), then evaluated over the data
// with index variables bound. Shared by grounding and by the data-only
// evaluation of range bounds and initializers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

struct Binding {
    Val value;
    const Domain* domain = nullptr;
    std::int64_t pos = 0;
};

struct Env {
    // Sized once for every index variable of the model, so references to a
    // binding stay valid while more expressions are lowered.
    std::vector<Binding> slots;
};

struct ClauseIR {
    int slot;
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
        Card
    } op;
    std::uint8_t degree = 0;  // 0: data only; 1: linear in the decision variables
    Pos pos;
    Val value;                                // Const, Str
    int slot = -1;                            // Slot
    const Sym* sym = nullptr;                 // Param, ParamAt, Var, VarAt, DexprRef, Card
    std::string field;                        // Field
    std::vector<NodePtr> kids;                // operands, indices, body
    mutable std::vector<const Domain*> doms;  // ParamAt: the index sets, once known
    std::vector<ClauseIR> clauses;            // Sum, AggMin, AggMax
    NodePtr filter;
    Node(Op o, Pos p) : op(o), pos(p) {}
};

}  // namespace tavro::kelm::ground
