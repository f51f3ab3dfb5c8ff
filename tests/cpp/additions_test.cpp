// The language additions at the level the instantiation engine reads them:
// the syntax tree (infinity, mod, named indices, indexed dexpr, implication),
// the keyword table, and the checker's verdicts on them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/parser.hpp"
#include "tavro/compiler/sema.hpp"

using namespace tavro::kelm;

namespace {

Model parse(const std::string& text, Diagnostics& d) { return parse_model(text, d); }

std::string compile_message(const std::string& model, const std::string& data = "") {
    auto r = compile(model, data);
    return r.ok ? "ok" : r.message;
}

}  // namespace

TEST(Keywords, OneTableGivesKindNameAndReservedness) {
    EXPECT_EQ(keyword("mod"), Tok::KwMod);
    EXPECT_EQ(keyword("infinity"), Tok::KwInfinity);
    EXPECT_EQ(keyword("to"), Tok::Name);  // special only after 'subject'
    EXPECT_EQ(keyword("Infinity"), Tok::Name);
    EXPECT_TRUE(is_keyword(Tok::KwInfinity));
    EXPECT_TRUE(is_keyword(Tok::KwInt));
    EXPECT_FALSE(is_keyword(Tok::Name));
    EXPECT_FALSE(is_keyword(Tok::Implies));
    EXPECT_STREQ(token_name(Tok::KwMod), "mod");
    EXPECT_STREQ(token_name(Tok::Implies), "=>");
}

TEST(Parser, InfinityIsAFloatNumber) {
    Diagnostics d;
    Model m = parse("float big = -infinity;", d);
    ASSERT_FALSE(d.any()) << d.message();
    const Expr& neg = *m.decls[0].value;
    ASSERT_EQ(neg.kind, EK::Unary);
    const Expr& n = *neg.kids[0];
    EXPECT_EQ(n.kind, EK::Number);
    EXPECT_FALSE(n.is_int);
    EXPECT_TRUE(std::isinf(n.fval) && n.fval > 0);
    EXPECT_EQ(n.text, "infinity");
}

TEST(Parser, ModHasThePrecedenceOfTimes) {
    Diagnostics d;
    Model m = parse("int v = 1 + 7 mod 3 * 2;", d);
    ASSERT_FALSE(d.any()) << d.message();
    const Expr& plus = *m.decls[0].value;
    ASSERT_EQ(plus.text, "+");
    const Expr& times = *plus.kids[1];
    EXPECT_EQ(times.text, "*");
    EXPECT_EQ(times.kids[0]->kind, EK::Binary);
    EXPECT_EQ(times.kids[0]->text, "mod");
}

TEST(Parser, NamedIndicesOfDvarAndDexpr) {
    Diagnostics d;
    Model m = parse("dvar int+ y[i in I][J] in lo[i]..9;\ndexpr float s[t in T] = x[t];", d);
    ASSERT_FALSE(d.any()) << d.message();
    const Decl& y = m.decls[0];
    ASSERT_EQ(y.dims.size(), 2u);
    ASSERT_EQ(y.dim_vars.size(), 2u);
    ASSERT_EQ(y.dim_var_pos.size(), 2u);
    EXPECT_EQ(y.dim_vars[0], "i");
    EXPECT_EQ(y.dim_vars[1], "");
    EXPECT_EQ(y.dim_var_pos[0].col, 13);
    EXPECT_EQ(y.dims[0]->text, "I");
    const Decl& s = m.decls[1];
    EXPECT_EQ(s.kind, DK::Dexpr);
    ASSERT_EQ(s.dim_vars.size(), 1u);
    EXPECT_EQ(s.dim_vars[0], "t");
}

TEST(Parser, ImplicationFillsWhen) {
    Diagnostics d;
    Model m = parse("subject to {\n  L: open[i] == 0 => x[i] + y <= 5;\n  b == 1 => x >= 1;\n}", d);
    ASSERT_FALSE(d.any()) << d.message();
    const auto& cs = m.decls[0].constraints;
    ASSERT_EQ(cs.size(), 2u);
    const Constraint& c = cs[0];
    ASSERT_TRUE(c.when);
    EXPECT_EQ(c.when->kind, EK::Index);
    EXPECT_FALSE(c.when_value);
    EXPECT_EQ(c.when_pos.line, 2);
    EXPECT_EQ(c.when_pos.col, 6);
    EXPECT_EQ(c.label, "L");
    ASSERT_EQ(c.terms.size(), 2u);
    ASSERT_EQ(c.ops.size(), 1u);
    EXPECT_EQ(c.ops[0], Tok::Le);
    EXPECT_EQ(c.terms[0]->text, "+");
    EXPECT_TRUE(cs[1].when_value);
    EXPECT_EQ(cs[1].when->kind, EK::Name);
    EXPECT_EQ(cs[1].ops[0], Tok::Ge);
}

TEST(Checker, IndexedDexprHasDimsAndDegree) {
    Diagnostics d;
    Program p;
    p.diag = &d;
    p.model = parse_model("range T = 1..3;\ndvar float x[T];\ndexpr float s[t in T] = 2 * x[t];\nminimize z: s[1];", d);
    check_model(p);
    ASSERT_FALSE(d.any()) << d.message();
    Sym* s = p.find("s");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->kind, SymKind::Dexpr);
    ASSERT_EQ(s->dims.size(), 1u);
    EXPECT_EQ(s->dims[0], p.find("T"));
    EXPECT_EQ(s->degree, 1);
    EXPECT_EQ(p.find("t"), nullptr);  // the named index is not global
}

TEST(Checker, VerdictsOnTheAdditions) {
    struct Case {
        const char* model;
        const char* data;
        const char* want;
    } cases[] = {
        {"range P = 1..2;\nfloat cap[P] = ...;\ndvar float x[j in P] in 0..cap[j];\nminimize z: x[1];",
         "cap = [1, infinity];", "ok"},
        {"dvar boolean b;\ndvar float x in 0..9;\nminimize z: x;\nsubject to { b == 0 => x <= 0; }", "", "ok"},
        {"int n = 1e3;\nint m;\ndvar float x;\nminimize z: x;", "m = -2.0;", "ok"},
        {"dvar float x;\nminimize z: x mod 2;", "",
         "model:2:13: 'mod' applies to data only, not to decision variables"},
        {"range I = 1..3;\ndvar float y[I];\nminimize z: y[1+3];", "",
         "model:3:15: index 4 (from 1+3) of 'y' is outside 'I' (1..3)"},
        {"range R = -9223372036854775807..9223372036854775807;\ndvar float x;\nminimize z: x;", "",
         "model:1:7: range 'R' (-9223372036854775807..9223372036854775807) is too large: more than 100000000 elements"},
        {"dvar float x;\n", "", "model:2:1: no objective: add 'minimize <expression>;' or 'maximize <expression>;'"},
    };
    for (const auto& c : cases) EXPECT_EQ(compile_message(c.model, c.data), c.want) << c.model;
}

TEST(Compile, FlatChainOfAThousandTerms) {
    std::string terms = "x";
    for (int k = 0; k < 1000; ++k) terms += " + x";
    auto r = compile("dvar float x;\nminimize z: " + terms + ";", "");
    EXPECT_TRUE(r.ok) << r.message;
}
