// Filtered sums answered by an index of the set give the problem a scan
// gives: each filter is grounded as written and behind '!(!(...))', which no
// index answers, and the two problems must be the same array for array.
#include <gtest/gtest.h>

#include <string>

#include "tavro/compiler/problem.hpp"

namespace {

using tavro::kelm::InstantiateResult;

// Tuples listed out of order; task "z" and day 4 match no option.
const char* const kData =
    "Os = {<\"b\", 2, 1.5, \"A\">, <\"a\", 3, 2, \"B\">, <\"c\", 1, 0.5, \"A\">, <\"a\", 1, 4, \"C\">,\n"
    "      <\"b\", 3, 2.5, \"B\">, <\"a\", 2, 1, \"A\">};\n"
    "T = {\"a\", \"b\", \"z\"}; P = {\"p3\", \"p1\", \"p2\"}; grp = [2, 1, 2]; w = [1, 2, 0.5, 3];\n";

std::string model(const std::string& sum) {
    return "tuple O { string t; int d; float c; string a; }\n"
           "{O} Os = ...; {string} T = ...; range D = 1..4; {string} P = ...; int grp[P] = ...; float w[D] = ...;\n"
           "dvar float+ x[Os]; dvar float+ y[P];\n"
           "minimize z: sum(o in Os) x[o] + sum(p in P) y[p];\n"
           "subject to { forall(o in Os, t in T, d in D) r: " +
           sum + " + x[o] <= 10; }\n";
}

struct Case {
    const char* name;
    const char* clause;  // the sum's clause
    const char* filter;
    const char* body;
    bool indexed;
};

const Case kCases[] = {
    {"StringField", "q in Os", "q.t == t", "q.c * x[q]", true},
    {"StringFieldOnTheRight", "q in Os", "t == q.t", "x[q]", true},
    {"IntField", "q in Os", "q.d == d", "q.c * x[q]", true},
    {"IntFieldAgainstAFloat", "q in Os", "q.d == d * 1.0", "x[q]", true},
    {"IntFieldAgainstAFraction", "q in Os", "q.d == d / 2", "x[q]", true},
    {"FloatFieldOfTheOuterTuple", "q in Os", "q.c == o.c", "x[q]", true},
    {"FloatFieldAgainstAnInt", "q in Os", "q.c == d", "x[q]", true},
    {"OuterTupleThenAnotherTest", "q in Os", "q.t == o.t && q.d != o.d", "q.c * x[q]", true},
    {"PureTestBefore", "q in Os", "q.d > 1 && q.a == o.a", "x[q]", true},
    {"ThreeTests", "q in Os", "q.d >= 2 && q.t == o.t && (q.c > 1 || q.a == \"C\")", "x[q]", true},
    {"DataLookupBeforeIsNotSkipped", "q in Os", "w[q.d] > 1 && q.t == t", "x[q]", false},
    {"EitherIsNotIndexed", "q in Os", "q.t == t || q.d == d", "x[q]", false},
    {"OuterOnly", "q in Os", "t == \"a\" && q.d == d", "x[q]", true},
    {"ArrayOverTheSet", "p in P", "grp[p] == d", "y[p]", true},
    {"ArrayAgainstAFloat", "p in P", "grp[p] == o.c", "y[p]", true},
};

class IndexedFilter : public ::testing::TestWithParam<Case> {};

TEST_P(IndexedFilter, SameProblemAsAScan) {
    const Case& c = GetParam();
    std::string head = std::string("sum(") + c.clause + ": ";
    std::string body = ") " + std::string(c.body);
    InstantiateResult fast = tavro::kelm::instantiate(model(head + c.filter + body), kData);
    InstantiateResult scan = tavro::kelm::instantiate(model(head + "!(!(" + c.filter + "))" + body), kData);
    ASSERT_TRUE(fast.ok) << fast.message;
    ASSERT_TRUE(scan.ok) << scan.message;
    EXPECT_EQ(fast.stats.indexed > 0, c.indexed);
    EXPECT_EQ(scan.stats.indexed, 0);
    const auto& a = fast.problem;
    const auto& b = scan.problem;
    EXPECT_EQ(a.indptr, b.indptr);
    EXPECT_EQ(a.indices, b.indices);
    EXPECT_EQ(a.values, b.values);
    EXPECT_EQ(a.row_lower, b.row_lower);
    EXPECT_EQ(a.row_upper, b.row_upper);
    EXPECT_EQ(a.rows[0].index, b.rows[0].index);
}

INSTANTIATE_TEST_SUITE_P(Filters, IndexedFilter, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(IndexedFilterIndex, BuiltOncePerSetAndSelector) {
    InstantiateResult r = tavro::kelm::instantiate(
        model("sum(q in Os: q.t == t) x[q] + sum(q in Os: q.t == o.t && q.d > 1) x[q] + sum(q in Os: q.d == d) x[q]"),
        kData);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.stats.indexes, 2);       // Os by t, Os by d
    EXPECT_EQ(r.stats.indexed, 3 * 72);  // every sum of every row
}

}  // namespace
