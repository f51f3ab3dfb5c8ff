// The data functions on their edge values: 0, negative, huge, infinity; the
// int results of floor/ceil/round and of '^' on ints; each domain fault's text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "tavro/compiler/functions.hpp"

using namespace tavro::kelm;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
    const char* name;
    Fn fn;
    Num a, b;
    // The expected value (is_int tells its kind) or the expected fault.
    Num value;
    const char* fault;
};

Num I(std::int64_t v) { return Num::of(v); }
Num F(double v) { return Num::of(v); }

const Case kCases[] = {
    {"sqrt of 0", Fn::Sqrt, F(0), {}, F(0), ""},
    {"sqrt of an int", Fn::Sqrt, I(16), {}, F(4), ""},
    {"sqrt of infinity", Fn::Sqrt, F(kInf), {}, F(kInf), ""},
    {"sqrt of a negative", Fn::Sqrt, I(-4), {}, {}, "sqrt(-4): the square root of a negative number"},
    {"sqrt of -infinity", Fn::Sqrt, F(-kInf), {}, {}, "sqrt(-infinity): the square root of a negative number"},
    {"sqrt of nan", Fn::Sqrt, F(std::nan("")), {}, {}, "sqrt(nan): the argument is not a number"},
    {"exp of 0", Fn::Exp, I(0), {}, F(1), ""},
    {"exp of -infinity", Fn::Exp, F(-kInf), {}, F(0), ""},
    {"exp of infinity", Fn::Exp, F(kInf), {}, F(kInf), ""},
    {"exp overflow", Fn::Exp, I(1000), {}, {}, "exp(1000): the result overflows to infinity"},
    {"exp of a huge negative", Fn::Exp, F(-1e300), {}, F(0), ""},
    {"log of 1", Fn::Log, I(1), {}, F(0), ""},
    {"log of 0", Fn::Log, F(0), {}, {}, "log(0): the logarithm of 0 is -infinity"},
    {"log of a negative", Fn::Log, F(-0.5), {}, {}, "log(-0.5): the logarithm of a negative number"},
    {"log of infinity", Fn::Log, F(kInf), {}, F(kInf), ""},
    {"floor of a negative", Fn::Floor, F(-2.5), {}, I(-3), ""},
    {"ceil of a negative", Fn::Ceil, F(-2.5), {}, I(-2), ""},
    {"round half up", Fn::Round, F(2.5), {}, I(3), ""},
    {"round half away from 0", Fn::Round, F(-2.5), {}, I(-3), ""},
    {"round of an int", Fn::Round, I(7), {}, I(7), ""},
    {"floor of the largest int",
     Fn::Floor,
     I(std::numeric_limits<std::int64_t>::max()),
     {},
     I(std::numeric_limits<std::int64_t>::max()),
     ""},
    {"floor of -2^63", Fn::Floor, F(-9223372036854775808.0), {}, I(std::numeric_limits<std::int64_t>::min()), ""},
    {"ceil of 2^63",
     Fn::Ceil,
     F(9223372036854775808.0),
     {},
     {},
     "ceil(9.223372036854776e+18): the result is outside the range of an int"},
    {"round of huge", Fn::Round, F(1e30), {}, {}, "round(1e+30): the result is outside the range of an int"},
    {"floor of infinity", Fn::Floor, F(kInf), {}, {}, "floor(infinity): infinity is not an int"},
    {"int power", Fn::Pow, I(2), I(10), I(1024), ""},
    {"int power of 0", Fn::Pow, I(0), I(0), I(1), ""},
    {"negative int base", Fn::Pow, I(-3), I(3), I(-27), ""},
    {"largest int power", Fn::Pow, I(2), I(62), I(std::int64_t{1} << 62), ""},
    {"int power overflow", Fn::Pow, I(2), I(63), {}, "2^63: the result overflows an int (at most 9223372036854775807)"},
    {"int power of 1, huge exponent", Fn::Pow, I(1), I(std::numeric_limits<std::int64_t>::max()), I(1), ""},
    {"int to a negative power",
     Fn::Pow,
     I(2),
     I(-1),
     {},
     "2^(-1): an int to a negative power (write 2.0^(-1) for a float)"},
    {"float power", Fn::Pow, F(2), I(-1), F(0.5), ""},
    {"fractional power", Fn::Pow, I(9), F(0.5), F(3), ""},
    {"negative base, fractional exponent",
     Fn::Pow,
     I(-8),
     F(0.5),
     {},
     "(-8)^0.5: a negative number to a fractional power is not a number"},
    {"float power overflow", Fn::Pow, F(10), I(400), {}, "10^400: the result overflows to infinity"},
    {"zero to a negative power", Fn::Pow, F(0), I(-1), {}, "0^(-1): zero to a negative power (a division by zero)"},
    {"infinity to a power", Fn::Pow, F(kInf), I(2), F(kInf), ""},
    {"a power of infinity", Fn::Pow, F(0.5), F(kInf), F(0), ""},
};

class Functions : public ::testing::TestWithParam<Case> {};

TEST_P(Functions, ValueOrFault) {
    const Case& c = GetParam();
    FnResult r = apply(c.fn, c.a, c.b);
    EXPECT_EQ(r.fault, c.fault);
    if (*c.fault) return;
    ASSERT_EQ(r.value.is_int, c.value.is_int);
    if (c.value.is_int)
        EXPECT_EQ(r.value.i, c.value.i);
    else
        EXPECT_DOUBLE_EQ(r.value.f, c.value.f);
}

INSTANTIATE_TEST_SUITE_P(Edges, Functions, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string n = info.param.name;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
});

TEST(FunctionTable, NamesArityAndResultKind) {
    ASSERT_NE(data_function("pow"), nullptr);
    EXPECT_EQ(data_function("pow")->arity, 2);
    EXPECT_EQ(data_function("sqrt")->arity, 1);
    EXPECT_EQ(data_function("min"), nullptr);  // a keyword with its own forms
    EXPECT_EQ(data_function("Sqrt"), nullptr);
    EXPECT_TRUE(int_result(Fn::Round, false));
    EXPECT_TRUE(int_result(Fn::Pow, true));
    EXPECT_FALSE(int_result(Fn::Pow, false));
    EXPECT_FALSE(int_result(Fn::Sqrt, true));
    EXPECT_EQ(callable_names().size(), 11u);
}

}  // namespace
