// adopt_data: data values from a dictionary, checked against the declarations
// and grounded like the values of a data file.
#include <gtest/gtest.h>

#include <string>

#include "tavro/compiler/problem.hpp"
#include "tavro/compiler/sema.hpp"

using namespace tavro::kelm;

namespace {

constexpr const char* kModel =
    "{string} S = ...;\n"
    "int n = ...;\n"
    "range R = 1..n;\n"
    "float a[S][R] = ...;\n"
    "dvar float+ x[S][R];\n"
    "minimize z: sum(s in S, r in R) a[s][r] * x[s][r];\n"
    "subject to { forall(s in S) c: sum(r in R) x[s][r] >= 1; }\n";

struct Adopted {
    Diagnostics diag;
    Program p;
    InstantiateResult result;

    explicit Adopted(Dict data) {
        p.diag = &diag;
        p.model = parse_model(kModel, diag);
        try {
            check_model(p);
            adopt_data(p, std::move(data));
            if (!diag.any()) result = instantiate(p);
        } catch (const Abort&) {}
    }
};

Dict good() { return Dict{{"S", List{"u", "v"}}, {"n", 2}, {"a", List{List{1, 2.5}, List{3.0, 0.5}}}}; }

}  // namespace

TEST(Adopt, ValuesAndElementsLikeTheDataReader) {
    Adopted a(good());
    ASSERT_FALSE(a.diag.any()) << a.diag.message();
    ASSERT_TRUE(a.result.ok) << a.result.message;
    const Sym* s = a.p.find("S");
    EXPECT_TRUE(s->elements.known);
    EXPECT_EQ(s->elements.size(), 2u);
    EXPECT_EQ(s->elements.position.at(element_key(Value("v"))), 1u);
    const Sym* r = a.p.find("R");
    EXPECT_TRUE(r->elements.is_range);
    EXPECT_EQ(r->elements.high, 2);
    // An int where a float is declared is taken as a float.
    EXPECT_TRUE(a.p.find("a")->value->as<List>()[0].as<List>()[0].is<double>());
    EXPECT_EQ(a.result.problem.c, (std::vector<double>{1, 2.5, 3, 0.5}));
    EXPECT_EQ(a.result.problem.num_rows(), 2);
}

TEST(Adopt, FaultsAreReportedAtTheDeclaration) {
    struct Case {
        const char* name;
        Value value;
        const char* message;
    } cases[] = {
        {"a", List{List{1, 2}}, "model:4:1: array 'a' needs 2 values for 'S' (dimension 1), found 1"},
        {"a", List{List{1, 2}, List{3}}, "model:4:1: array 'a' needs 2 values for 'R' (dimension 2), found 1"},
        {"n", 2.5, "model:2:1: integer (declared int) expected for 'n', found number 2.5"},
        {"n", true, "model:2:1: integer expected for 'n', found boolean True"},
        {"S", List{"u", "u"}, "model:1:1: duplicate element \"u\" in set 'S'"},
        {"S", List{"u", 1}, "model:1:1: string expected for 'S', found integer 1"},
        {"x", List{},
         "model:5:1: data for 'x', which is a decision variable: the solver finds its value; "
         "remove it from the data"},
    };
    for (auto& c : cases) {
        Dict data = good();
        bool replaced = false;
        for (auto& [k, v] : data)
            if (k == c.name) v = c.value, replaced = true;
        if (!replaced) data.emplace_back(c.name, c.value);
        Adopted a(std::move(data));
        EXPECT_EQ(a.diag.message(), c.message) << c.name;
        EXPECT_FALSE(a.result.ok);
    }
}

TEST(Adopt, MissingAndUnknownNames) {
    Dict data = good();
    data.erase(data.begin() + 1);  // n
    data.emplace_back("nm", 1);
    Adopted a(std::move(data));
    EXPECT_EQ(a.diag.message(),
              "data:1:1: data for 'nm', which the model does not declare; did you mean 'n'?\n"
              "model:2:1: 'n' has no value in the data");
}
