// The compiler's number printer: Python's repr layout of the shortest
// round-trip digits, and every output reading back to the same double.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "tavro/compiler/numbers.hpp"

namespace {

using tavro::kelm::format_float;
using tavro::kelm::format_number;

struct Case {
    double value;
    const char* number;    // format_number
    const char* as_float;  // format_float
};

class Numbers : public testing::TestWithParam<Case> {};

TEST_P(Numbers, MatchesRepr) {
    EXPECT_EQ(format_number(GetParam().value), GetParam().number);
    EXPECT_EQ(format_float(GetParam().value), GetParam().as_float);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, Numbers,
    testing::Values(Case{0.1, "0.1", "0.1"}, Case{3, "3", "3.0"}, Case{-2.5, "-2.5", "-2.5"}, Case{0, "0", "0.0"},
                    Case{-0.0, "-0", "-0.0"}, Case{100000, "100000", "100000.0"}, Case{0.0001, "0.0001", "0.0001"},
                    Case{0.00001, "1e-05", "1e-05"}, Case{0.000123, "0.000123", "0.000123"},
                    Case{1e15, "1000000000000000", "1000000000000000.0"}, Case{1e16, "1e+16", "1e+16"},
                    Case{1.5e16, "1.5e+16", "1.5e+16"}, Case{123456789.125, "123456789.125", "123456789.125"},
                    Case{1e100, "1e+100", "1e+100"}, Case{5e-324, "5e-324", "5e-324"},
                    Case{1.7976931348623157e308, "1.7976931348623157e+308", "1.7976931348623157e+308"},
                    Case{0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"}, Case{kInf, "infinity", "infinity"},
                    Case{-kInf, "-infinity", "-infinity"}, Case{std::nan(""), "nan", "nan"}));

TEST(Numbers, ReadBackToTheSameDouble) {
    std::mt19937_64 rng(7);
    for (int k = 0; k < 100000; ++k) {
        std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        std::string text = format_float(d);
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
        ASSERT_EQ(std::strtod(format_number(d).c_str(), nullptr), d) << text;
    }
}

}  // namespace
