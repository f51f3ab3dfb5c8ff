// Term templates cover the shapes models are written in (index arithmetic,
// coefficients from data and tuple fields, filters) without the
// interpreter, and hand it what they do not cover. (test_grounding_golden.py
// compares whole problems and fault messages with the interpreter's.)
#include <gtest/gtest.h>

#include <string>

#include "tavro/compiler/problem.hpp"

namespace {

const char* const kHead =
    "range T = 1..4; {string} S = ...; float a[S][T] = ...; float k = ...; int m[T] = ...;\n"
    "tuple O { string s; int t; float c; } {O} Os = ...;\n"
    "dvar float+ x[S][T]; dvar float+ y[T]; dvar float+ u[Os];\n"
    "minimize z: sum(s in S, t in T) x[s][t] + sum(o in Os) u[o];\n"
    "subject to { ";
const char* const kData =
    "S = {\"b\", \"a\"}; a = [[1, 2, 3, 4], [0.5, 0, 2, 8]]; k = 3; m = [2, 1, 4, 3];\n"
    "Os = {<\"a\", 2, 1.5>, <\"b\", 4, 2>, <\"a\", 1, 3>};\n";

struct Case {
    const char* name;
    const char* rows;
    bool interpreted;    // some of it runs in the interpreter
    double coefficient;  // of the first row's first column, which is x["b"][1]
};

const Case kCases[] = {
    {"DataTimesTerm", "forall(s in S) r: sum(t in T) a[s][t] * x[s][t] <= k;", false, 1},
    {"Shifted", "forall(t in 2..4) r: x[\"b\"][t - 1] - 2 * y[t] + y[1 + (t - 1)] >= 0;", false, 1},
    {"Scaled", "forall(s in S) r: -(k * sum(t in T: a[s][t] >= 1) x[s][t] / 2) <= 1;", false, -1.5},
    {"FieldAndFilter", "forall(s in S) r: x[s][1] + sum(o in Os: o.s == s && o.t < 4) o.c * u[o] <= k * 2;", false, 1},
    {"FunctionCoefficient", "forall(s in S) r: sum(t in T) sqrt(a[s][t] + 1) * x[s][t] <= 1;", true,
     1.4142135623730951},
    {"AggregateCoefficient", "forall(s in S) r: sum(t in T) (max(u2 in T) a[s][u2]) * x[s][t] <= 1;", true, 4},
    {"ComputedIndex", "forall(o in Os) r: x[o.s][o.t] + x[\"b\"][1] <= 1;", false, 1},
};

class Template : public ::testing::TestWithParam<Case> {};

TEST_P(Template, CoversOrFallsBack) {
    const Case& c = GetParam();
    auto r = tavro::kelm::instantiate(std::string(kHead) + c.rows + " }\n", kData);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.stats.interpreted > 0, c.interpreted) << r.stats.interpreted;
    const auto& lp = r.problem;
    ASSERT_GT(lp.indptr[1], lp.indptr[0]);  // x["b"][1] is in a row
    EXPECT_EQ(lp.indices[0], 0);
    EXPECT_DOUBLE_EQ(lp.values[0], c.coefficient);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Template, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The loop over an unfiltered sum's last clause (columns and data offsets
// moved by a stride per element) against the same sum behind a filter that
// always holds, which walks element by element: the same problem, or the
// same message. Elements its addresses do not cover (an index outside its
// range, a zero divisor, a factor that is not finite) take the slow step.
struct LoopCase {
    const char* name;
    const char* clauses;
    const char* body;
    const char* data;  // replaces kData when given
};

const LoopCase kLoops[] = {
    {"DataTimesTerm", "t in T", "a[s][t] * x[s][t]", nullptr},  // a zero among the factors
    {"TwoClauses", "s2 in S, t in T", "a[s2][t] * x[s2][t] - y[t]", nullptr},
    {"IntFactorAndNegation", "t in T", "-(m[t] * (k * -x[s][t]))", nullptr},
    {"DividedByData", "t in T", "x[s][t] / m[t]", nullptr},
    {"DividedByZero", "t in T", "x[s][t] / a[s][t]", nullptr},
    {"FixedOuterIndex", "t in T", "a[\"a\"][t] * x[s][t] + 2 * x[\"a\"][t]", nullptr},
    {"ShiftedRange", "t in 2..4", "a[s][t - 1] * y[t - 1]", nullptr},
    {"ShiftedPastTheRange", "t in T", "y[t + 1]", nullptr},
    {"LocalRange", "t2 in 1..3", "m[t2 + 1] * y[1 + t2]", nullptr},
    {"NotFinite", "t in T", "a[s][t] * (k * x[s][t])",
     "S = {\"b\", \"a\"}; a = [[1, 2, 3, 4], [0.5, 0, 2, 8]]; k = infinity; m = [2, 1, 4, 3];\n"
     "Os = {};\n"},
    {"OverflowsToInfinity", "t in T", "a[s][t] * (a[s][t] * x[s][t])",
     "S = {\"b\", \"a\"}; a = [[1, 2, 1e200, 4], [0.5, 0, 2, 8]]; k = 3; m = [2, 1, 4, 3];\n"
     "Os = {};\n"},
};

class TermLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(TermLoop, SameAsElementByElement) {
    const LoopCase& c = GetParam();
    auto grounded = [&](const std::string& filter) {
        std::string rows = std::string("forall(s in S) r: sum(") + c.clauses + filter + ") (" + c.body + ") <= 10; }\n";
        return tavro::kelm::instantiate(kHead + rows, c.data ? c.data : kData);
    };
    auto loop = grounded("        ");  // as wide as the filter: messages point at the same columns
    auto walk = grounded(": 1 == 1");
    EXPECT_GT(loop.stats.looped, walk.stats.looped);  // the objective's sums loop in both
    ASSERT_EQ(loop.ok, walk.ok) << loop.message << "\n" << walk.message;
    EXPECT_EQ(loop.message, walk.message);
    EXPECT_EQ(loop.problem.indptr, walk.problem.indptr);
    EXPECT_EQ(loop.problem.indices, walk.problem.indices);
    EXPECT_EQ(loop.problem.values, walk.problem.values);
}

INSTANTIATE_TEST_SUITE_P(Sums, TermLoop, ::testing::ValuesIn(kLoops),
                         [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

}  // namespace
