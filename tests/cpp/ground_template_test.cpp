// Term templates cover the shapes models are written in (index arithmetic,
// coefficients from data and tuple fields, filters) without the
// interpreter, and hand it what they do not cover. (test_grounding_golden.py
// compares whole problems and fault messages with the interpreter's.)
#include <gtest/gtest.h>

#include <string>

#include "tavro/compiler/problem.hpp"

namespace {

const char* const kHead =
    "range T = 1..4; {string} S = ...; float a[S][T] = ...; float k = ...;\n"
    "tuple O { string s; int t; float c; } {O} Os = ...;\n"
    "dvar float+ x[S][T]; dvar float+ y[T]; dvar float+ u[Os];\n"
    "minimize z: sum(s in S, t in T) x[s][t] + sum(o in Os) u[o];\n"
    "subject to { ";
const char* const kData =
    "S = {\"b\", \"a\"}; a = [[1, 2, 3, 4], [0.5, 0, 2, 8]]; k = 3;\n"
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

}  // namespace
