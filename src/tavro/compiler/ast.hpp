// Syntax tree of a model file, as the parser builds it and the checker
// annotates it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tavro/compiler/diag.hpp"
#include "tavro/compiler/lexer.hpp"

namespace tavro::kelm {

struct Sym;
struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

enum class EK { Number, String, Name, Index, Field, Unary, Binary, Sum, Call, Aggregate, TupleLit, SetLit, Range };

// i in S   /   i in lo..hi
struct Clause {
    std::string var;
    Pos pos;
    ExprPtr set;  // a Name or a Range
};

struct Expr {
    EK kind;
    Pos pos;
    std::string text;  // Name: the name; Field: the field; Unary/Binary: the operator;
                       // Call/Aggregate: the function; String: the decoded value
    bool is_int = false;
    std::int64_t ival = 0;
    double fval = 0;
    std::vector<ExprPtr> kids;  // Index: base then indices; Field: base; Unary: operand;
                                // Binary: left, right; Sum/Aggregate: body; Call: arguments;
                                // TupleLit/SetLit: elements; Range: low, high
    std::vector<Clause> clauses;
    ExprPtr filter;
    int height = 1;  // of the subtree, bounded by kMaxHeight

    Expr(EK k, Pos p) : kind(k), pos(p) {}
};

// int | float | string | boolean | a tuple type's name
struct TypeRef {
    Tok base = Tok::KwFloat;  // KwInt, KwFloat, KwString, KwBoolean or Name
    std::string tuple;
    Pos pos;
};

struct Field {
    std::string name;
    TypeRef type;
    Pos pos;
};

struct Constraint {
    enum Kind { Relation, Forall } kind = Relation;
    Pos pos;
    std::string label;
    Pos label_pos;
    std::vector<ExprPtr> terms;  // e1 op e2 [op e3]; with `when`: the implied e1 op e2
    std::vector<Tok> ops;
    std::vector<Pos> op_pos;
    std::vector<Clause> clauses;  // forall
    ExprPtr filter;
    std::vector<Constraint> body;
    // when == when_value => terms[0] ops[0] terms[1]; `when` is a Name or an
    // Index denoting a boolean decision variable.
    ExprPtr when;
    bool when_value = false;
    Pos when_pos;
};

enum class DK { Tuple, Range, Set, Param, Dvar, Dexpr, Objective, Constraints };

struct Decl {
    DK kind;
    Pos pos;
    std::string name;
    Pos name_pos;
    TypeRef type;  // value type (set: element type)
    bool nonneg = false;
    std::vector<ExprPtr> dims;          // Name or Range
    std::vector<std::string> dim_vars;  // dvar/dexpr: the index named in [j in P], "" when unnamed
    std::vector<Pos> dim_var_pos;
    ExprPtr value;  // initializer / range / objective or dexpr expression
    bool ellipsis = false;
    ExprPtr low, high;          // dvar bounds
    std::vector<Field> fields;  // tuple
    bool minimize = true;
    std::vector<Constraint> constraints;
    Sym* sym = nullptr;

    Decl(DK k, Pos p) : kind(k), pos(p) {}
};

struct Model {
    std::vector<Decl> decls;
    Pos end;
};

// Where an expression starts in the source: an operator node sits at its
// operator, so walk down its left operands.
inline Pos start_of(const Expr& e) {
    const Expr* at = &e;
    while ((at->kind == EK::Binary || at->kind == EK::Field) && !at->kids.empty()) at = at->kids[0].get();
    return at->pos;
}

constexpr int kMaxDepth = 200;    // nesting of parentheses, brackets, sums, foralls
constexpr int kMaxHeight = 2500;  // height of an expression tree (long operator chains)

// Parses a model; syntax errors go to `diag` (the result is then unusable).
Model parse_model(std::string_view text, Diagnostics& diag);

}  // namespace tavro::kelm
