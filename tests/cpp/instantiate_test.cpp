// The instantiation engine's expansion rules: each case grounds a small model
// and compares rows written as {column name: coefficient} and their bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "tavro/compiler/problem.hpp"

namespace {

using tavro::kelm::LinearProblem;
using Row = std::map<std::string, double>;
constexpr double kInf = std::numeric_limits<double>::infinity();

LinearProblem ground(const std::string& model, const std::string& data = "") {
    auto r = tavro::kelm::instantiate(model, data);
    EXPECT_TRUE(r.ok) << r.message;
    return r.problem;
}

std::string fault(const std::string& model, const std::string& data = "") {
    auto r = tavro::kelm::instantiate(model, data);
    EXPECT_FALSE(r.ok);
    return r.message;
}

std::vector<std::string> column_names(const LinearProblem& lp) {
    std::vector<std::string> out;
    for (auto& b : lp.columns) {
        if (b.dims.empty()) {
            out.push_back(b.name);
            continue;
        }
        std::vector<std::size_t> at(b.dims.size(), 0);
        for (std::int64_t k = 0; k < b.count; ++k) {
            std::string n = b.name + "[";
            for (std::size_t d = 0; d < at.size(); ++d) n += (d ? "," : "") + b.dims[d][at[d]];
            out.push_back(n + "]");
            for (std::size_t d = at.size(); d-- > 0;) {
                if (++at[d] < b.dims[d].size()) break;
                at[d] = 0;
            }
        }
    }
    return out;
}

Row row(const LinearProblem& lp, std::int64_t r) {
    auto names = column_names(lp);
    Row out;
    for (std::size_t j = 0; j + 1 < lp.indptr.size(); ++j)
        for (auto k = lp.indptr[j]; k < lp.indptr[j + 1]; ++k)
            if (lp.indices[static_cast<std::size_t>(k)] == r) out[names[j]] = lp.values[static_cast<std::size_t>(k)];
    return out;
}

Row objective(const LinearProblem& lp) {
    auto names = column_names(lp);
    Row out;
    for (std::size_t j = 0; j < lp.c.size(); ++j)
        if (lp.c[j] != 0) out[names[j]] = lp.c[j];
    return out;
}

TEST(Instantiate, ForallWithFilterAndSeveralClauses) {
    auto lp = ground(
        "range I = 1..3; dvar float+ x[I][I];\n"
        "minimize z: sum(i in I, j in I: i != j) x[i][j];\n"
        "subject to { forall(i in I, j in I: i < j) Sym: x[i][j] - x[j][i] == 0; }\n");
    ASSERT_EQ(lp.num_rows(), 3);
    EXPECT_EQ(row(lp, 0), (Row{{"x[1,2]", 1}, {"x[2,1]", -1}}));
    EXPECT_EQ(row(lp, 2), (Row{{"x[2,3]", 1}, {"x[3,2]", -1}}));
    EXPECT_EQ(objective(lp).size(), 6u);  // the diagonal filtered out
    ASSERT_EQ(lp.rows.size(), 1u);
    EXPECT_EQ(lp.rows[0].arity, 2);
    EXPECT_EQ(lp.rows[0].index, (std::vector<std::string>{"1", "2", "1", "3", "2", "3"}));
    EXPECT_EQ(lp.col_lower[0], 0);
    EXPECT_EQ(lp.col_upper[0], kInf);
}

TEST(Instantiate, MergedTermsAndDroppedZeros) {
    auto lp = ground(
        "dvar float x; dvar float y; dvar float w;\n"
        "minimize z: x + 2*x - 3*x + y;\n"
        "subject to { c: 2*x + y - x + 0*w >= x - 4 + y + y; }\n");
    EXPECT_EQ(objective(lp), (Row{{"y", 1}}));
    EXPECT_EQ(row(lp, 0), (Row{{"y", -1}}));
    EXPECT_EQ(lp.row_lower[0], -4);
    EXPECT_EQ(lp.row_upper[0], kInf);
}

TEST(Instantiate, DexprInlinedAndOffset) {
    auto lp = ground(
        "float a = 2.5; dvar float+ x; dvar float+ y;\n"
        "dexpr float t = a*x + 3 - y;\n"
        "maximize z: 2*t + 1;\n"
        "subject to { lim: t <= 10; }\n");
    EXPECT_TRUE(lp.maximize);
    EXPECT_EQ(objective(lp), (Row{{"x", 5}, {"y", -2}}));
    EXPECT_EQ(lp.offset, 7);
    EXPECT_EQ(row(lp, 0), (Row{{"x", 2.5}, {"y", -1}}));
    EXPECT_EQ(lp.row_upper[0], 7);
}

TEST(Instantiate, RangeConstraintsBothWays) {
    auto lp = ground(
        "dvar float x; minimize z: x;\n"
        "subject to { a: 1 <= x + 2 <= 5; b: 9 >= 3*x >= -3; }\n");
    EXPECT_EQ(lp.row_lower[0], -1);
    EXPECT_EQ(lp.row_upper[0], 3);
    EXPECT_EQ(lp.row_lower[1], -3);
    EXPECT_EQ(lp.row_upper[1], 9);
}

TEST(Instantiate, DataIndexedAndComputedIndices) {
    auto lp = ground(
        "{string} P = ...; string prev[P] = ...; range T = 1..3; float d[T] = ...;\n"
        "dvar float+ s[P]; dvar float+ stock[T];\n"
        "minimize z: sum(p in P) s[p];\n"
        "subject to {\n"
        "  forall(p in P: p != \"A\") Link: s[p] >= s[prev[p]];\n"
        "  forall(t in T: t > 1) Bal: stock[t] == stock[t - 1] + (1 / d[t]) * s[\"A\"];\n"
        "}\n",
        "P = {\"A\", \"B\", \"C\"}; prev = [\"A\", \"A\", \"B\"]; d = [1, 2, 4];");
    ASSERT_EQ(lp.num_rows(), 4);
    EXPECT_EQ(row(lp, 0), (Row{{"s[B]", 1}, {"s[A]", -1}}));
    EXPECT_EQ(row(lp, 1), (Row{{"s[C]", 1}, {"s[B]", -1}}));
    EXPECT_EQ(row(lp, 3), (Row{{"stock[3]", 1}, {"stock[2]", -1}, {"s[A]", -0.25}}));
}

TEST(Instantiate, VariableKindsAndBounds) {
    auto lp = ground(
        "dvar boolean b; dvar int+ n in 2..7; dvar float x in -1.5..2.5; dvar int k in 0.5..3.5;\n"
        "minimize z: b + n + x + k; subject to { c: b + n + x + k >= 0; }\n");
    EXPECT_EQ(lp.integrality, (std::vector<std::uint8_t>{1, 1, 0, 1}));
    EXPECT_EQ(lp.col_lower, (std::vector<double>{0, 2, -1.5, 1}));
    EXPECT_EQ(lp.col_upper, (std::vector<double>{1, 7, 2.5, 3}));
}

TEST(Instantiate, EmptySetGivesNoColumnsOrRows) {
    auto lp = ground(
        "{string} S = ...; dvar float+ x[S];\nminimize z: sum(s in S) x[s];\n"
        "subject to { forall(s in S) c: x[s] >= 1; }\n",
        "S = {};");
    EXPECT_EQ(lp.num_cols(), 0);
    EXPECT_EQ(lp.num_rows(), 0);
    EXPECT_EQ(lp.indptr, (std::vector<std::int64_t>{0}));
}

TEST(Instantiate, ConstraintThatCancels) {
    // Always true: dropped. Always false: a located error with the index values.
    auto lp = ground(
        "range I = 1..2; dvar float x[I]; minimize z: x[1];\n"
        "subject to { forall(i in I) ok: x[i] - x[i] >= -1; }\n");
    EXPECT_EQ(lp.num_rows(), 0);
    EXPECT_EQ(fault("range I = 1..2; dvar float x[I]; minimize z: x[1];\n"
                    "subject to { forall(i in I) bad: x[i] - x[i] >= 1; }\n"),
              "model:2:34: constraint 'bad' for i = 1 is always false: its decision variables cancel, leaving 0 >= 1");
}

TEST(Instantiate, DataDependentFaults) {
    EXPECT_EQ(fault("{string} S = ...; string prev[S] = ...; dvar float x[S];\n"
                    "minimize z: sum(s in S) x[prev[s]];\nsubject to { }\n",
                    "S = {\"A\", \"B\"}; prev = [\"A\", \"bogus\"];"),
              "model:2:27: index \"bogus\" (from prev[\"B\"]) of 'x' is not in the set S");
    EXPECT_EQ(fault("range I = 1..2; float a[I] = ...; dvar float x[I];\n"
                    "minimize z: sum(i in I) (1 / a[i]) * x[i];\n",
                    "a = [1, 0];"),
              "model:2:28: division by zero: a[2] is 0");
    EXPECT_EQ(fault("dvar float x in 5..1; minimize z: x;\n"),
              "model:1:17: empty domain: 'x' has lower bound 5 above its upper bound 1");
    EXPECT_EQ(fault("range I = 1..3; dvar float x[I]; int k = 2;\n"
                    "minimize z: x[k + 5];\n"),
              "model:2:15: index 7 (from k+5) of 'x' is outside 'I' (1..3)");
}

TEST(Instantiate, NegativeZeroAndHugeData) {
    auto lp = ground(
        "float a = ...; float b = ...; dvar float x;\n"
        "minimize z: a*x + b; subject to { c: x >= -0.0; }\n",
        "a = 1e308; b = -0.0;");
    EXPECT_EQ(lp.c[0], 1e308);
    EXPECT_FALSE(std::signbit(lp.row_lower[0] + 0.0));
}

}  // namespace

namespace {

TEST(InstantiateAdditions, PerElementBoundsWithNamedIndices) {
    auto lp = ground(
        "{string} P = ...; float cap[P] = ...; float lo[P] = ...;\n"
        "dvar float x[j in P] in lo[j]..cap[j]; dvar int+ y[i in 1..2][j in P] in 0..cap[j] + i;\n"
        "minimize z: sum(j in P) x[j]; subject to { c: sum(j in P) x[j] >= 0; }\n",
        "P = {\"A\", \"B\"}; cap = [4, infinity]; lo = [-infinity, 1.5];");
    EXPECT_EQ(lp.col_lower, (std::vector<double>{-kInf, 1.5, 0, 0, 0, 0}));
    EXPECT_EQ(lp.col_upper, (std::vector<double>{4, kInf, 5, kInf, 6, kInf}));
    EXPECT_EQ(fault("{string} P = ...; float cap[P] = ...;\ndvar float x[j in P] in 2..cap[j];\nminimize z: sum(j in "
                    "P) x[j];\n",
                    "P = {\"A\", \"B\"}; cap = [4, 1];"),
              "model:2:25: empty domain: 'x' at j = \"B\" has lower bound 2 above its upper bound 1");
}

TEST(InstantiateAdditions, IndexedDexprAndMod) {
    auto lp = ground(
        "range T = 1..3; float init = 5; dvar float+ buy[T];\n"
        "dexpr float stock[t in T] = init + sum(s in T: s <= t) buy[s];\n"
        "minimize z: sum(t in T) buy[t];\n"
        "subject to { forall(t in T) Need: stock[t] >= 2 * t; Wrap: buy[(3 - 2) mod 3 + 1] >= 7 mod 3; }\n");
    ASSERT_EQ(lp.num_rows(), 4);
    EXPECT_EQ(row(lp, 2), (Row{{"buy[1]", 1}, {"buy[2]", 1}, {"buy[3]", 1}}));
    EXPECT_EQ(lp.row_lower[2], 1);  // 6 - 5
    EXPECT_EQ(row(lp, 3), (Row{{"buy[2]", 1}}));
    EXPECT_EQ(lp.row_lower[3], 1);
    // mod takes the sign of the divisor, as Python's %
    auto neg = ground("int a = -3 mod 7; int b = 3 mod -7; dvar float x in a..b + 20; minimize z: x;\n");
    EXPECT_EQ(neg.col_lower[0], 4);
    EXPECT_EQ(neg.col_upper[0], 16);
}

TEST(InstantiateAdditions, ImplicationsLinearisedWithBigM) {
    auto lp = ground(
        "dvar boolean open; dvar float ship in 0..40; dvar float y in -5..10;\n"
        "minimize z: ship;\n"
        "subject to { Off: open == 0 => ship <= 0; On: open == 1 => ship + y >= 10; Eq: open == 1 => y == 2; }\n");
    // Off: ship <= 40 * open
    EXPECT_EQ(row(lp, 0), (Row{{"ship", 1}, {"open", -40}}));
    EXPECT_EQ(lp.row_upper[0], 0);
    // On: ship + y - 10 >= -15 (1 - open)  ->  ship + y - 15 open >= -5
    EXPECT_EQ(row(lp, 1), (Row{{"ship", 1}, {"y", 1}, {"open", -15}}));
    EXPECT_EQ(lp.row_lower[1], -5);
    // Eq: y - 2 <= 8 (1 - open) and y - 2 >= -7 (1 - open)
    EXPECT_EQ(lp.num_rows(), 4);
    EXPECT_EQ(row(lp, 2), (Row{{"y", 1}, {"open", 8}}));
    EXPECT_EQ(lp.row_upper[2], 10);
    EXPECT_EQ(row(lp, 3), (Row{{"y", 1}, {"open", -7}}));
    EXPECT_EQ(lp.row_lower[3], -5);
    EXPECT_EQ(
        fault("range I = 1..2; dvar boolean b[I]; dvar float+ x[I];\nminimize z: sum(i in I) x[i];\n"
              "subject to { forall(i in I) Link: b[i] == 0 => x[i] <= 0; }\n"),
        "model:3:35: '=>' needs an upper bound on 'x[1]' for i = 1 to be linearised: declare it with 'in lo..hi'");
}

TEST(InstantiateAdditions, InfinityAsBoundButNotAsCoefficient) {
    auto lp = ground("float u = infinity; dvar float x in -infinity..u; minimize z: x; subject to { c: x >= 1; }\n");
    EXPECT_EQ(lp.col_lower[0], -kInf);
    EXPECT_EQ(lp.col_upper[0], kInf);
    EXPECT_EQ(fault("float u = ...; dvar float x; minimize z: u * x;\n", "u = infinity;"),
              "model:1:42: the coefficient u of a decision variable is infinity");
}

}  // namespace

namespace {

TEST(InstantiateNames, UnlabelledRowsOnOneLineGetUniqueNames) {
    // "_c2" for the first unlabelled constraint of line 2, "_c2#2", ... for
    // the next; a label that took "_c2" pushes them on.
    auto lp = ground(
        "dvar float x; dvar float y; minimize z: x;\n"
        "subject to { x >= 1; y >= 2; forall(i in 1..2) x + y >= i; _c3: x <= 9;\n"
        "x <= 8; }\n");
    std::vector<std::string> names;
    for (auto& b : lp.rows) names.push_back(b.name);
    EXPECT_EQ(names, (std::vector<std::string>{"_c2", "_c2#2", "_c2#3", "_c3", "_c3#2"}));
    EXPECT_FALSE(lp.rows[4].labelled);
}

TEST(InstantiateNumbers, NumbersTheSolverCannotJudgeAreLocatedErrors) {
    const std::string head = "dvar float x; dvar float y;\nminimize z: x;\n";
    EXPECT_EQ(fault(head + "subject to { c: 1e308 * (10 * x) >= 1; }\n"),
              "model:3:17: constraint 'c': the coefficient of 'x' is infinity (a number overflowed, or the data holds "
              "one that is not finite)");
    // Data-only arithmetic faults at its step; these come from the terms a
    // constraint adds up.
    EXPECT_EQ(fault("float r;\n" + head + "subject to { forall(i in 1..2) x + r >= i * y + r; }\n", "r = infinity;"),
              "model:4:32: this constraint for i = 1: the right-hand side is not a number (a number overflowed, or "
              "the data holds one that is not finite)");
    EXPECT_EQ(fault("float r;\n" + head + "subject to { c: x >= r; }\n", "r = infinity;"),
              "model:4:17: constraint 'c': the right-hand side is infinity (a number overflowed, or the data holds "
              "one that is not finite)");
    EXPECT_EQ(fault("dvar float x;\nminimize z: x + 1e308 + 1e308;\n"),
              "model:2:13: the objective's constant term is infinity (a number overflowed, or the data holds one "
              "that is not finite)");
    // An infinite bound on the open side is no bound, as with variables.
    auto lp = ground("float r;\n" + head + "subject to { c: x <= r; d: x + y >= -r; }\n", "r = infinity;");
    EXPECT_EQ(lp.row_upper[0], kInf);
    EXPECT_EQ(lp.row_lower[1], -kInf);
}

TEST(InstantiateNumbers, BigMPastTheSafeLimitNamesTheVariable) {
    EXPECT_EQ(
        fault("range I = 1..2;\ndvar boolean b[I];\ndvar float x in 0..1e308;\ndvar float y in 0..1e308;\n"
              "minimize z: x;\nsubject to { forall(i in I) b[i] == 0 => 2*x + 2*y <= 0; }\n"),
        "model:6:29: '=>' for i = 1 needs a big-M of infinity (from the bounds of 'x'), too large to be safe: the "
        "solver's integrality tolerance (1e-6) times M is over 1, so the implication could fail by that much; "
        "declare tighter bounds on 'x' (|M| at most 1000000)");
    const std::string model =
        "dvar boolean b;\ndvar float x in 0..HI;\nminimize z: x;\nsubject to { b == 0 => x <= 0; }\n";
    auto at = [&](const char* hi) { return std::string(model).replace(model.find("HI"), 2, hi); };
    EXPECT_TRUE(tavro::kelm::instantiate(at("1e6"), "").ok);
    EXPECT_NE(fault(at("1000001")).find("needs a big-M of 1000001 (from the bounds of 'x')"), std::string::npos);
}

}  // namespace
