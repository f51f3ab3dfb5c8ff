// The data functions (sqrt, exp, log, floor, ceil, round, pow and '^'):
// their names and arities for the parser and the checker, and their values
// over numbers for the evaluator, with each domain fault as message text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::kelm {

enum class Fn : std::uint8_t { Sqrt, Exp, Log, Floor, Ceil, Round, Pow };

struct FnInfo {
    std::string_view name;
    Fn fn;
    int arity;
};

// The data function called `name`, or nullptr; the name of `fn`.
const FnInfo* data_function(std::string_view name);
std::string_view function_name(Fn fn);
// Every name that may be called: the data functions and min, max, abs, card.
const std::vector<std::string_view>& callable_names();

// The result is an int: floor, ceil and round always; pow when both
// operands are ints. The others give floats.
bool int_result(Fn fn, bool int_operands);

// An int or float operand or result.
struct Num {
    bool is_int = false;
    std::int64_t i = 0;
    double f = 0;

    static Num of(std::int64_t v) { return {true, v, 0}; }
    static Num of(double v) { return {false, 0, v}; }
    double num() const { return is_int ? static_cast<double>(i) : f; }
};

// The value of fn(a) or fn(a, b); `fault` is non-empty when there is none:
// the call with its values and why ("sqrt(-4): the square root of a
// negative number").
struct FnResult {
    Num value;
    std::string fault;
};
FnResult apply(Fn fn, Num a, Num b = {});

// 3, -2.5, 1e+300, infinity: a number as the language reads it back.
std::string num_text(Num n);

}  // namespace tavro::kelm
