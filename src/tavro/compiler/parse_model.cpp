// Model parser: one function per grammar rule (the rule is its first comment
// line), binary operators by precedence climbing, panic-mode recovery at ';'
// so that several syntax errors can be reported at once.
#include <algorithm>
#include <limits>
#include <unordered_set>

#include "tavro/compiler/functions.hpp"
#include "tavro/compiler/parser.hpp"

namespace tavro::kelm {

namespace {

struct Priority {
    int left, right;
};

// Binary operator priorities {left, right}; 0 = not a binary operator.
Priority priority(Tok t) {
    switch (t) {
        case Tok::OrOr: return {1, 1};
        case Tok::AndAnd: return {2, 2};
        case Tok::EqEq:
        case Tok::NotEq:
        case Tok::Lt:
        case Tok::Le:
        case Tok::Gt:
        case Tok::Ge: return {3, 3};
        case Tok::Plus:
        case Tok::Minus: return {4, 4};
        case Tok::Star:
        case Tok::Slash:
        case Tok::KwMod: return {5, 5};
        case Tok::Caret: return {7, 6};  // right-associative, above unary minus: -2^2 is -(2^2)
        default: return {0, 0};
    }
}
constexpr int kUnaryPriority = 6;
constexpr int kCompare = 3;   // constraints stop at comparisons
constexpr int kAdditive = 4;  // sum(...) takes a term: stops at '+' and '-'

bool is_relop(Tok t) { return t == Tok::Le || t == Tok::Ge || t == Tok::EqEq; }

bool starts_item(Tok t) {
    switch (t) {
        case Tok::KwInt:
        case Tok::KwFloat:
        case Tok::KwString:
        case Tok::KwBoolean:
        case Tok::KwTuple:
        case Tok::KwRange:
        case Tok::KwDvar:
        case Tok::KwDexpr:
        case Tok::KwMinimize:
        case Tok::KwMaximize:
        case Tok::KwSubject: return true;
        default: return false;
    }
}

class ModelParser {
public:
    ModelParser(Lexer& lex, Diagnostics& diag) : ts_(lex, diag) {}

    Model model();

private:
    void item(Model& m);
    void tuple_decl(Model& m);
    void range_decl(Model& m);
    void data_decl(Model& m);
    void set_decl(Model& m);
    void dvar_decl(Model& m);
    void dexpr_decl(Model& m);
    void objective(Model& m);
    void constraint_block(Model& m);
    void constraint_list(std::vector<Constraint>& out, Pos open);
    Constraint constraint();
    void relations(Constraint& c);
    void clauses(std::vector<Clause>& out, ExprPtr& filter);
    ExprPtr index_set();
    void named_dims(Decl& d);
    void no_if();
    TypeRef type_ref(bool allow_tuple);
    ExprPtr expr(int limit = 0);
    ExprPtr simple_expr();
    ExprPtr postfix(ExprPtr e);
    ExprPtr set_literal();
    ExprPtr tuple_literal();
    ExprPtr tuple_element();
    ExprPtr call(const Token& fn);
    ExprPtr named_call(const Token& fn);
    void end_decl();
    void skip_to_item();
    void skip_in_block();

    ExprPtr node(EK k, Pos p) { return std::make_unique<Expr>(k, p); }
    ExprPtr join(EK k, Pos p, std::string op, ExprPtr a, ExprPtr b);

    // A word at the start of an item that is a misspelt keyword or another
    // language's (minimise, flaot, param, set, var).
    bool misspelt() {
        std::string_view w = ts_.cur.raw;
        return w == "param" || w == "set" || w == "var" || w == "minimise" || w == "maximise" ||
               !closest(w, kStarts).empty();
    }

    TokenStream ts_;
    std::unordered_set<std::string> tuples_;  // tuple types declared so far
    static inline const std::vector<std::string_view> kStarts = {
        "int", "float", "string", "boolean", "tuple", "range", "dvar", "dexpr", "minimize", "maximize", "subject"};
};

ExprPtr ModelParser::join(EK k, Pos p, std::string op, ExprPtr a, ExprPtr b) {
    auto e = node(k, p);
    e->text = std::move(op);
    e->height = 1 + std::max(a->height, b ? b->height : 0);
    e->kids.push_back(std::move(a));
    if (b) e->kids.push_back(std::move(b));
    if (e->height > kMaxHeight)
        ts_.diag().fatal(ts_.file(), p,
                         "expression too long: more than " + std::to_string(kMaxHeight) +
                             " operators in a chain (split it with dexpr declarations)");
    return e;
}

// model -> { item } EOF
Model ModelParser::model() {
    Model m;
    while (!ts_.check(Tok::End)) {
        try {
            item(m);
        } catch (const SyntaxError&) {
            skip_to_item();
        }
    }
    m.end = ts_.cur.pos;
    return m;
}

// Panic mode: drop tokens up to the next ';' at brace level 0 or the start of an item.
void ModelParser::skip_to_item() {
    int braces = 0;
    while (!ts_.check(Tok::End)) {
        Tok t = ts_.cur.kind;
        if (braces == 0 && starts_item(t)) return;
        if (t == Tok::LBrace) ++braces;
        if (t == Tok::RBrace && --braces < 0) braces = 0;
        ts_.next();
        if (t == Tok::Semi && braces == 0) return;
    }
}

// item -> tuple_decl | range_decl | data_decl | set_decl | dvar_decl | dexpr_decl | objective | constraint_block
void ModelParser::item(Model& m) {
    switch (ts_.cur.kind) {
        case Tok::KwTuple: return tuple_decl(m);
        case Tok::KwRange: return range_decl(m);
        case Tok::KwInt:
        case Tok::KwFloat:
        case Tok::KwString:
        case Tok::KwBoolean: return data_decl(m);
        case Tok::LBrace: return set_decl(m);
        case Tok::KwDvar: return dvar_decl(m);
        case Tok::KwDexpr: return dexpr_decl(m);
        case Tok::KwMinimize:
        case Tok::KwMaximize: return objective(m);
        case Tok::KwSubject: return constraint_block(m);
        case Tok::Name:
            if (ts_.ahead().kind == Tok::Name && (tuples_.count(std::string(ts_.cur.raw)) || !misspelt()))
                return data_decl(m);  // a tuple-typed declaration
            break;
        default: break;
    }
    std::string hint;
    std::string_view w = ts_.cur.raw;
    std::string near = ts_.check(Tok::Name) ? closest(w, kStarts) : std::string();
    if (w == "if") no_if();
    if (w == "var")
        hint = " (decision variables are declared with 'dvar')";
    else if (w == "param")
        hint = " (declare data with its type: 'float c = ...;', 'int n = ...;')";
    else if (w == "set")
        hint = " (a set is declared with its element type: '{string} S = ...;')";
    else if (w == "minimise" || w == "maximise")
        hint = std::string(" (did you mean '") + (w[1] == 'i' ? "minimize" : "maximize") + "'?)";
    else if (!near.empty())
        hint = " (did you mean '" + near + "'?)";
    else if (w == "constraints" || w == "s")
        hint = " (constraints go in 'subject to { ... }')";
    else if (ts_.check(Tok::KwForall) || ts_.check(Tok::Name))
        hint = " (constraints go in 'subject to { ... }')";
    ts_.error_here("declaration expected near " + describe(ts_.cur) + hint);
}

void ModelParser::end_decl() { ts_.expect(Tok::Semi); }

// type -> 'int' | 'float' | 'string' | 'boolean' | NAME
TypeRef ModelParser::type_ref(bool allow_tuple) {
    TypeRef t;
    t.pos = ts_.cur.pos;
    switch (ts_.cur.kind) {
        case Tok::KwInt:
        case Tok::KwFloat:
        case Tok::KwString:
        case Tok::KwBoolean:
            t.base = ts_.cur.kind;
            ts_.next();
            return t;
        case Tok::Name:
            if (allow_tuple) {
                t.base = Tok::Name;
                t.tuple = std::string(ts_.cur.raw);
                ts_.next();
                return t;
            }
            break;
        default: break;
    }
    ts_.expected(allow_tuple ? "type ('int', 'float', 'string' or a tuple name)" : "type ('int', 'float' or 'string')");
}

// tuple_decl -> 'tuple' NAME '{' { type NAME ';' } '}' [';']
void ModelParser::tuple_decl(Model& m) {
    Decl d(DK::Tuple, ts_.cur.pos);
    ts_.next();
    Token name = ts_.expect_name("tuple name");
    d.name = std::string(name.raw);
    tuples_.insert(d.name);
    d.name_pos = name.pos;
    Pos open = ts_.expect(Tok::LBrace).pos;
    while (!ts_.check(Tok::RBrace) && !ts_.check(Tok::End)) {
        Field f;
        f.type = type_ref(true);
        Token fname = ts_.expect_name("field name");
        f.name = std::string(fname.raw);
        f.pos = fname.pos;
        ts_.expect(Tok::Semi);
        d.fields.push_back(std::move(f));
    }
    ts_.expect_match(Tok::RBrace, Tok::LBrace, open);
    ts_.accept(Tok::Semi);
    m.decls.push_back(std::move(d));
}

// range_decl -> 'range' NAME '=' expr '..' expr ';'
void ModelParser::range_decl(Model& m) {
    Decl d(DK::Range, ts_.cur.pos);
    ts_.next();
    Token name = ts_.expect_name("range name");
    d.name = std::string(name.raw);
    d.name_pos = name.pos;
    ts_.expect(Tok::Assign);
    if (ts_.check(Tok::Ellipsis))
        ts_.error_here("a range takes its bounds in the model: 'range " + d.name + " = 1..n;'");
    ExprPtr lo = expr(kCompare);
    Pos dots = ts_.cur.pos;
    ts_.expect(Tok::DotDot);
    auto r = join(EK::Range, dots, "..", std::move(lo), expr(kCompare));
    d.value = std::move(r);
    end_decl();
    m.decls.push_back(std::move(d));
}

// named_dims -> { '[' [NAME 'in'] index_set ']' }
void ModelParser::named_dims(Decl& d) {
    while (ts_.check(Tok::LBracket)) {
        Pos open = ts_.cur.pos;
        ts_.next();
        bool named = ts_.check(Tok::Name) && ts_.ahead().kind == Tok::KwIn;
        if (named) {
            d.dim_vars.emplace_back(ts_.cur.raw);
            d.dim_var_pos.push_back(ts_.cur.pos);
            ts_.next();
            ts_.next();
        } else {
            d.dim_vars.emplace_back();
            d.dim_var_pos.push_back(ts_.cur.pos);
        }
        d.dims.push_back(index_set());
        if (named && ts_.check(Tok::Colon))
            ts_.error_here("no filter in a declaration's index: " + quote(d.name) +
                           " has a value at every index (filter where it is used: sum(" + d.dim_vars.back() +
                           " in ...: condition) " + d.name + "[" + d.dim_vars.back() + "])");
        if (named && ts_.check(Tok::Comma))
            ts_.error_here("one index per pair of brackets: " + d.name + "[" + d.dim_vars.back() +
                           " in ...][j in ...]");
        ts_.expect_match(Tok::RBracket, Tok::LBracket, open);
    }
}

// The language has no 'if': the message names what does the job.
void ModelParser::no_if() {
    ts_.error_here(
        "the language has no 'if': filter a forall or sum (forall(i in I: cap[i] > 0) ...) or, "
        "for a decision, write an implication (b == 1 => x <= 5;)");
}

// index_set -> NAME | expr '..' expr
ExprPtr ModelParser::index_set() {
    ExprPtr e = expr(kCompare);
    if (ts_.check(Tok::DotDot)) {
        Pos dots = ts_.cur.pos;
        ts_.next();
        return join(EK::Range, dots, "..", std::move(e), expr(kCompare));
    }
    return e;
}

// data_decl -> type NAME { '[' index_set ']' } [ '=' ( '...' | expr ) ] ';'
//            | type NAME { '[' NAME 'in' index_set ']' } '=' expr ';'     (a computed array)
void ModelParser::data_decl(Model& m) {
    Decl d(DK::Param, ts_.cur.pos);
    d.type = type_ref(true);
    Token name = ts_.expect_name("name");
    d.name = std::string(name.raw);
    d.name_pos = name.pos;
    named_dims(d);
    auto named = std::find_if(d.dim_vars.begin(), d.dim_vars.end(), [](const std::string& v) { return !v.empty(); });
    if (named != d.dim_vars.end()) {
        std::size_t k = static_cast<std::size_t>(named - d.dim_vars.begin());
        std::string sets;
        for (auto& e : d.dims) sets += "[" + (e->kind == EK::Name ? e->text : std::string("...")) + "]";
        if (!ts_.check(Tok::Assign) || ts_.ahead().kind == Tok::Ellipsis)
            ts_.fail_at(d.dim_var_pos[k], "named indices [" + *named + " in ...] are for computed arrays (" + d.name +
                                              "[" + *named +
                                              " in ...] = <expression>;): an array from the data is "
                                              "declared " +
                                              d.name + sets + " = ...;");
        auto unnamed = std::find(d.dim_vars.begin(), d.dim_vars.end(), std::string());
        if (unnamed != d.dim_vars.end())
            ts_.fail_at(d.dim_var_pos[static_cast<std::size_t>(unnamed - d.dim_vars.begin())],
                        "a computed array names every index: " + d.name + "[i in ...][j in ...] = <expression>;");
    } else {
        d.dim_vars.clear();  // an array from the data: no index names
        d.dim_var_pos.clear();
    }
    if (ts_.accept(Tok::Assign)) {
        if (ts_.accept(Tok::Ellipsis))
            d.ellipsis = true;
        else
            d.value = expr();
    }
    end_decl();
    m.decls.push_back(std::move(d));
}

// set_decl -> '{' type '}' NAME [ '=' ( '...' | set_literal ) ] ';'
void ModelParser::set_decl(Model& m) {
    Decl d(DK::Set, ts_.cur.pos);
    Pos open = ts_.cur.pos;
    ts_.next();
    d.type = type_ref(true);
    ts_.expect_match(Tok::RBrace, Tok::LBrace, open);
    Token name = ts_.expect_name("set name");
    d.name = std::string(name.raw);
    d.name_pos = name.pos;
    if (ts_.check(Tok::LBracket)) ts_.error_here("arrays of sets are not supported: declare one set per name");
    if (ts_.accept(Tok::Assign)) {
        if (ts_.accept(Tok::Ellipsis))
            d.ellipsis = true;
        else if (ts_.check(Tok::LBrace))
            d.value = set_literal();
        else
            ts_.expected("'...' or a set literal '{ ... }'");
    }
    end_decl();
    m.decls.push_back(std::move(d));
}

// dvar_decl -> 'dvar' ('float' ['+'] | 'int' ['+'] | 'boolean') NAME named_dims [ 'in' expr '..' expr ] ';'
void ModelParser::dvar_decl(Model& m) {
    Decl d(DK::Dvar, ts_.cur.pos);
    ts_.next();
    d.type.pos = ts_.cur.pos;
    if (ts_.check(Tok::KwFloat) || ts_.check(Tok::KwInt) || ts_.check(Tok::KwBoolean)) {
        d.type.base = ts_.cur.kind;
        ts_.next();
        if (d.type.base != Tok::KwBoolean && ts_.accept(Tok::Plus)) d.nonneg = true;
    } else {
        ts_.expected("decision variable type ('float', 'float+', 'int', 'int+' or 'boolean')");
    }
    Token name = ts_.expect_name("variable name");
    d.name = std::string(name.raw);
    d.name_pos = name.pos;
    named_dims(d);
    if (ts_.accept(Tok::KwIn)) {
        d.low = expr(kCompare);
        ts_.expect(Tok::DotDot);
        d.high = expr(kCompare);
    } else if (ts_.check(Tok::Assign)) {
        ts_.error_here("a decision variable has no value: the solver finds it (bounds are written 'in lo..hi')");
    }
    end_decl();
    m.decls.push_back(std::move(d));
}

// dexpr_decl -> 'dexpr' ('float' | 'int') NAME named_dims '=' expr ';'
void ModelParser::dexpr_decl(Model& m) {
    Decl d(DK::Dexpr, ts_.cur.pos);
    ts_.next();
    d.type.pos = ts_.cur.pos;
    if (ts_.check(Tok::KwFloat) || ts_.check(Tok::KwInt)) {
        d.type.base = ts_.cur.kind;
        ts_.next();
    } else {
        ts_.expected("'float' or 'int'");
    }
    Token name = ts_.expect_name("name");
    d.name = std::string(name.raw);
    d.name_pos = name.pos;
    named_dims(d);
    ts_.expect(Tok::Assign);
    d.value = expr(kCompare);
    end_decl();
    m.decls.push_back(std::move(d));
}

// objective -> ('minimize' | 'maximize') [NAME ':'] expr ';'
void ModelParser::objective(Model& m) {
    Decl d(DK::Objective, ts_.cur.pos);
    d.minimize = ts_.check(Tok::KwMinimize);
    ts_.next();
    if (ts_.check(Tok::Name) && ts_.ahead().kind == Tok::Colon) {
        d.name = std::string(ts_.cur.raw);
        d.name_pos = ts_.cur.pos;
        ts_.next();
        ts_.next();
    }
    d.value = expr(kCompare);
    end_decl();
    m.decls.push_back(std::move(d));
}

// constraint_block -> 'subject' 'to' '{' { constraint } '}' [';']
void ModelParser::constraint_block(Model& m) {
    Decl d(DK::Constraints, ts_.cur.pos);
    ts_.next();
    // 'to' is special only here; elsewhere it is an ordinary name (a.to).
    if (!ts_.check(Tok::Name) || ts_.cur.raw != "to") ts_.expected("'to'");
    ts_.next();
    Pos open = ts_.cur.pos;
    ts_.expect(Tok::LBrace);
    constraint_list(d.constraints, open);
    ts_.accept(Tok::Semi);
    m.decls.push_back(std::move(d));
}

// constraint_list -> { constraint } '}'   (recovers at ';' inside the block)
void ModelParser::constraint_list(std::vector<Constraint>& out, Pos open) {
    Level level(ts_);
    while (!ts_.check(Tok::RBrace)) {
        if (ts_.check(Tok::End) || (ts_.check(Tok::KwSubject) || ts_.check(Tok::KwMinimize) ||
                                    ts_.check(Tok::KwMaximize) || ts_.check(Tok::KwDvar)))
            break;
        try {
            out.push_back(constraint());
        } catch (const SyntaxError&) {
            skip_in_block();
        }
    }
    ts_.expect_match(Tok::RBrace, Tok::LBrace, open);
}

void ModelParser::skip_in_block() {
    int braces = 0;
    while (!ts_.check(Tok::End)) {
        Tok t = ts_.cur.kind;
        if (t == Tok::RBrace && braces == 0) return;
        if (braces == 0 && (t == Tok::KwSubject || t == Tok::KwMinimize || t == Tok::KwMaximize || t == Tok::KwDvar))
            return;
        if (t == Tok::LBrace) ++braces;
        if (t == Tok::RBrace) --braces;
        ts_.next();
        if (t == Tok::Semi && braces == 0) return;
    }
}

// constraint -> 'forall' '(' clauses ')' ( '{' { constraint } '}' | constraint ) [';']
//             | [NAME ':'] expr relop expr [relop expr] ';'
Constraint ModelParser::constraint() {
    Constraint c;
    c.pos = ts_.cur.pos;
    if (ts_.check(Tok::Name) && ts_.ahead().kind == Tok::Colon) {
        c.label = std::string(ts_.cur.raw);
        c.label_pos = ts_.cur.pos;
        ts_.next();
        ts_.next();
        c.pos = ts_.cur.pos;
    }
    if (ts_.check(Tok::KwForall)) {
        Level level(ts_);
        if (!c.label.empty()) ts_.fail_at(c.label_pos, "a label names one constraint: put it after 'forall(...)'");
        c.kind = Constraint::Forall;
        ts_.next();
        Pos open = ts_.cur.pos;
        ts_.expect(Tok::LParen);
        clauses(c.clauses, c.filter);
        ts_.expect_match(Tok::RParen, Tok::LParen, open);
        if (ts_.check(Tok::LBrace)) {
            Pos brace = ts_.cur.pos;
            ts_.next();
            constraint_list(c.body, brace);
            ts_.accept(Tok::Semi);
        } else {
            c.body.push_back(constraint());
        }
        return c;
    }
    if (ts_.check(Tok::Name) && ts_.cur.raw == "if" && ts_.ahead().kind == Tok::LParen) no_if();
    c.terms.push_back(expr(kCompare));
    relations(c);
    if (c.ops.empty() && ts_.check(Tok::Implies))
        ts_.error_here("'>=' expected near '=>' (write '>='; '=>' is for implications: b == 1 => x <= 5;)");
    if (ts_.check(Tok::Implies)) {
        // b == 0|1 => e1 op e2
        Pos arrow = ts_.cur.pos;
        const Expr* v = c.terms.size() == 2 ? c.terms[1].get() : nullptr;
        bool form = c.ops.size() == 1 && c.ops[0] == Tok::EqEq &&
                    (c.terms[0]->kind == EK::Name || c.terms[0]->kind == EK::Index) && v && v->kind == EK::Number &&
                    v->is_int && (v->ival == 0 || v->ival == 1);
        if (!form)
            ts_.fail_at(arrow,
                        "'=>' follows a boolean decision variable compared with 0 or 1: "
                        "b == 1 => x <= 5; (b declared 'dvar boolean b;')");
        ts_.next();
        c.when = std::move(c.terms[0]);
        c.when_value = v->ival == 1;
        c.when_pos = c.when->pos;
        c.terms.clear();
        c.ops.clear();
        c.op_pos.clear();
        c.terms.push_back(expr(kCompare));
        relations(c);
        if (c.ops.size() != 1)
            ts_.fail_at(c.ops.empty() ? ts_.cur.pos : c.op_pos[1],
                        c.ops.empty() ? "comparison ('<=', '>=' or '==') expected near " + describe(ts_.cur) +
                                            " (the right of '=>' is one constraint: e1 <= e2)"
                                      : std::string("the right of '=>' is one comparison: e1 <= e2 (write "
                                                    "two implications for a range)"));
    }
    if (c.ops.empty()) {
        if (ts_.check(Tok::Semi))
            ts_.fail_at(ts_.cur.pos,
                        "comparison ('<=', '>=' or '==') expected near ';' (a constraint compares two expressions)");
        ts_.expected("comparison ('<=', '>=' or '==')");
    }
    end_decl();
    return c;
}

// relations -> { relop expr }   (at most two)
void ModelParser::relations(Constraint& c) {
    while (is_relop(ts_.cur.kind) || ts_.check(Tok::Lt) || ts_.check(Tok::Gt) || ts_.check(Tok::Assign)) {
        if (ts_.check(Tok::Assign) && (ts_.ahead().kind == Tok::Lt || ts_.ahead().kind == Tok::Gt) &&
            ts_.ahead().pos.line == ts_.cur.pos.line && ts_.ahead().pos.col == ts_.cur.pos.col + 1) {
            bool le = ts_.ahead().kind == Tok::Lt;
            ts_.error_here(std::string("'") + (le ? "<=" : ">=") + "' expected near '" + (le ? "=<" : "=>") +
                           "' (write '" + (le ? "<=" : ">=") + "')");
        }
        if (!is_relop(ts_.cur.kind)) {
            const char* fix = ts_.check(Tok::Lt) ? "<=" : ts_.check(Tok::Gt) ? ">=" : "==";
            ts_.error_here(std::string("'") + fix + "' expected near " + describe(ts_.cur) +
                           " (constraints use '<=', '>=' or '==')");
        }
        if (c.ops.size() == 2) ts_.error_here("a constraint has at most two comparisons: lo <= e <= hi");
        c.ops.push_back(ts_.cur.kind);
        c.op_pos.push_back(ts_.cur.pos);
        ts_.next();
        c.terms.push_back(expr(kCompare));
    }
}

// clauses -> NAME 'in' index_set { ',' NAME 'in' index_set } [':' expr]
void ModelParser::clauses(std::vector<Clause>& out, ExprPtr& filter) {
    do {
        Clause cl;
        Token name = ts_.expect_name("index name");
        cl.var = std::string(name.raw);
        cl.pos = name.pos;
        ts_.expect(Tok::KwIn);
        cl.set = index_set();
        out.push_back(std::move(cl));
    } while (ts_.accept(Tok::Comma));
    if (ts_.accept(Tok::Colon)) filter = expr();
}

// expr -> (simple_expr | unop expr) { binop expr }   (precedence climbing, stops at `limit`)
ExprPtr ModelParser::expr(int limit) {
    Level level(ts_);
    ExprPtr e;
    if (ts_.check(Tok::Minus) || ts_.check(Tok::Not) || ts_.check(Tok::Plus)) {
        Token op = ts_.cur;
        ts_.next();
        ExprPtr operand = expr(kUnaryPriority);
        e = op.kind == Tok::Plus ? std::move(operand)
                                 : join(EK::Unary, op.pos, token_name(op.kind), std::move(operand), nullptr);
    } else {
        e = simple_expr();
    }
    for (;;) {
        Priority p = priority(ts_.cur.kind);
        if (p.left <= limit) break;
        Token op = ts_.cur;
        ts_.next();
        ExprPtr rhs = expr(p.right);
        e = join(EK::Binary, op.pos, token_name(op.kind), std::move(e), std::move(rhs));
    }
    return e;
}

// simple_expr -> NUMBER | STRING | NAME postfix | '(' expr ')' | sum | call
ExprPtr ModelParser::simple_expr() {
    Token t = ts_.cur;
    switch (t.kind) {
        case Tok::Int:
        case Tok::Float: {
            auto e = node(EK::Number, t.pos);
            e->is_int = t.kind == Tok::Int;
            e->ival = t.ival;
            e->fval = t.kind == Tok::Int ? static_cast<double>(t.ival) : t.fval;
            ts_.next();
            return e;
        }
        case Tok::KwInfinity: {
            auto e = node(EK::Number, t.pos);
            e->fval = std::numeric_limits<double>::infinity();
            e->text = "infinity";
            ts_.next();
            return e;
        }
        case Tok::String: {
            auto e = node(EK::String, t.pos);
            e->text = ts_.lexer().string_value();
            ts_.next();
            return e;
        }
        case Tok::Name: {
            if (ts_.ahead().kind == Tok::LParen) return named_call(t);
            auto e = node(EK::Name, t.pos);
            e->text = std::string(t.raw);
            ts_.next();
            return postfix(std::move(e));
        }
        case Tok::LParen: {
            ts_.next();
            ExprPtr e = expr();
            ts_.expect_match(Tok::RParen, Tok::LParen, t.pos);
            return postfix(std::move(e));
        }
        case Tok::KwSum:
        case Tok::KwMin:
        case Tok::KwMax:
        case Tok::KwAbs:
        case Tok::KwCard: ts_.next(); return call(t);
        case Tok::LBrace: return set_literal();
        case Tok::Lt: return tuple_literal();
        case Tok::Star:
            if (ts_.prev_raw() == "*" && ts_.prev_end().line == t.pos.line && ts_.prev_end().col == t.pos.col)
                ts_.error_here("expression expected near '*' (a power is written a ^ b)");
            ts_.expected("expression");
        default: ts_.expected("expression");
    }
}

// A name before '(': one of the data functions, else an error that names them.
ExprPtr ModelParser::named_call(const Token& fn) {
    if (fn.raw == "if") no_if();
    if (data_function(fn.raw)) {
        ts_.next();
        return call(fn);
    }
    std::string near = closest(fn.raw, callable_names());
    if (!near.empty()) ts_.error_here("unknown function " + quote(fn.raw) + "; did you mean " + quote(near) + "?");
    std::string list;
    for (auto n : callable_names()) list += (list.empty() ? "" : ", ") + std::string(n);
    ts_.error_here("unknown function " + quote(fn.raw) + " (the functions are " + list +
                   "; an array is indexed with brackets: a[i])");
}

// postfix -> { '[' expr ']' | '.' NAME }
ExprPtr ModelParser::postfix(ExprPtr e) {
    for (;;) {
        if (ts_.check(Tok::LBracket)) {
            if (e->kind != EK::Name && e->kind != EK::Index) ts_.error_here("only a declared array can be indexed");
            if (e->kind == EK::Name) {
                auto idx = node(EK::Index, e->pos);
                idx->height = e->height + 1;
                idx->kids.push_back(std::move(e));
                e = std::move(idx);
            }
            Pos open = ts_.cur.pos;
            ts_.next();
            ExprPtr i = expr();
            if (ts_.check(Tok::Comma)) ts_.error_here("',' in an index: write a[i][j], one pair of brackets per index");
            ts_.expect_match(Tok::RBracket, Tok::LBracket, open);
            e->height = std::max(e->height, i->height + 1);
            e->kids.push_back(std::move(i));
        } else if (ts_.check(Tok::Dot)) {
            ts_.next();
            Token f = ts_.expect_name("field name");
            e = join(EK::Field, f.pos, std::string(f.raw), std::move(e), nullptr);
        } else {
            return e;
        }
    }
}

// sum -> 'sum' '(' clauses ')' term
// call -> ('min'|'max') '(' (clauses ')' term | expr {',' expr} ')') | FUNCTION '(' expr {',' expr} ')'
ExprPtr ModelParser::call(const Token& fn) {
    Level level(ts_);
    Pos open = ts_.cur.pos;
    ts_.expect(Tok::LParen);
    bool over_index = fn.kind == Tok::KwSum || ((fn.kind == Tok::KwMin || fn.kind == Tok::KwMax) &&
                                                ts_.check(Tok::Name) && ts_.ahead().kind == Tok::KwIn);
    if (over_index) {
        auto e = node(fn.kind == Tok::KwSum ? EK::Sum : EK::Aggregate, fn.pos);
        e->text = std::string(fn.raw);
        clauses(e->clauses, e->filter);
        ts_.expect_match(Tok::RParen, Tok::LParen, open);
        ExprPtr body = expr(kAdditive);
        e->height = 1 + std::max(body->height, e->filter ? e->filter->height : 0);
        e->kids.push_back(std::move(body));
        return e;
    }
    auto e = node(EK::Call, fn.pos);
    e->text = std::string(fn.raw);
    do {
        ExprPtr a = expr();
        e->height = std::max(e->height, a->height + 1);
        e->kids.push_back(std::move(a));
    } while (ts_.accept(Tok::Comma));
    ts_.expect_match(Tok::RParen, Tok::LParen, open);
    return e;
}

// set_literal -> '{' [ element { ',' element } ] '}'
ExprPtr ModelParser::set_literal() {
    Level level(ts_);
    auto e = node(EK::SetLit, ts_.cur.pos);
    Pos open = ts_.cur.pos;
    ts_.next();
    if (!ts_.check(Tok::RBrace)) {
        do {
            ExprPtr el = ts_.check(Tok::Lt) ? tuple_literal() : tuple_element();
            e->height = std::max(e->height, el->height + 1);
            e->kids.push_back(std::move(el));
        } while (ts_.accept(Tok::Comma));
    }
    ts_.expect_match(Tok::RBrace, Tok::LBrace, open);
    return e;
}

// tuple_literal -> '<' element { ',' element } '>'
ExprPtr ModelParser::tuple_literal() {
    Level level(ts_);
    auto e = node(EK::TupleLit, ts_.cur.pos);
    Pos open = ts_.cur.pos;
    ts_.next();
    do {
        ExprPtr el = ts_.check(Tok::Lt) ? tuple_literal() : tuple_element();
        e->height = std::max(e->height, el->height + 1);
        e->kids.push_back(std::move(el));
    } while (ts_.accept(Tok::Comma));
    ts_.expect_match(Tok::Gt, Tok::Lt, open);
    return e;
}

// element -> ['-'] NUMBER | STRING | NAME
ExprPtr ModelParser::tuple_element() {
    bool neg = false;
    Pos p = ts_.cur.pos;
    if (ts_.check(Tok::Minus) || ts_.check(Tok::Plus)) {
        neg = ts_.check(Tok::Minus);
        ts_.next();
        if (!ts_.check(Tok::Int) && !ts_.check(Tok::Float) && !ts_.check(Tok::KwInfinity)) ts_.expected("number");
    }
    Token t = ts_.cur;
    if (t.kind == Tok::KwInfinity) {
        auto e = node(EK::Number, p);
        e->fval = (neg ? -1 : 1) * std::numeric_limits<double>::infinity();
        e->text = "infinity";
        ts_.next();
        return e;
    }
    if (t.kind == Tok::Int || t.kind == Tok::Float) {
        auto e = node(EK::Number, p);
        e->is_int = t.kind == Tok::Int;
        e->ival = neg ? -t.ival : t.ival;
        e->fval = (t.kind == Tok::Int ? static_cast<double>(t.ival) : t.fval) * (neg ? -1 : 1);
        ts_.next();
        return e;
    }
    if (t.kind == Tok::String || t.kind == Tok::Name) {
        auto e = node(t.kind == Tok::String ? EK::String : EK::Name, p);
        e->text = t.kind == Tok::String ? ts_.lexer().string_value() : std::string(t.raw);
        ts_.next();
        return e;
    }
    ts_.expected("element (number, string or name)");
}

}  // namespace

Model parse_model(std::string_view text, Diagnostics& diag) {
    Lexer lex(text, File::Model, diag);
    ModelParser p(lex, diag);
    return p.model();
}

}  // namespace tavro::kelm
