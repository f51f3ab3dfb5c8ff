// Values of the data functions, each domain fault named with the values
// that caused it.
#include "tavro/compiler/functions.hpp"

#include <cmath>

#include "tavro/compiler/numbers.hpp"

namespace tavro::kelm {

namespace {

constexpr FnInfo kFunctions[] = {
    {"sqrt", Fn::Sqrt, 1}, {"exp", Fn::Exp, 1},     {"log", Fn::Log, 1}, {"floor", Fn::Floor, 1},
    {"ceil", Fn::Ceil, 1}, {"round", Fn::Round, 1}, {"pow", Fn::Pow, 2},
};

// 2^63: the first double beyond the int range.
constexpr double kIntLimit = 9223372036854775808.0;

std::string operand(Num n) {
    std::string t = num_text(n);
    return n.num() < 0 ? "(" + t + ")" : t;
}

// The call with its values and why it has no value; built only for a fault.
std::string call_text(Fn fn, Num a, Num b) {
    if (fn == Fn::Pow) return operand(a) + "^" + operand(b);
    return std::string(function_name(fn)) + "(" + num_text(a) + ")";
}

FnResult fault(Fn fn, Num a, Num b, const std::string& why) { return {Num{}, call_text(fn, a, b) + ": " + why}; }

FnResult power(Num a, Num b) {
    if (a.is_int && b.is_int) {
        if (b.i < 0)
            return fault(Fn::Pow, a, b,
                         "an int to a negative power (write " + num_text(a) + ".0^" + operand(b) + " for a float)");
        std::int64_t out = 1, base = a.i;
        for (std::int64_t e = b.i; e > 0; e >>= 1)
            if (((e & 1) && __builtin_mul_overflow(out, base, &out)) ||
                (e > 1 && __builtin_mul_overflow(base, base, &base)))
                return fault(Fn::Pow, a, b, "the result overflows an int (at most 9223372036854775807)");
        return {Num::of(out), {}};
    }
    double x = a.num(), y = b.num();
    double r = std::pow(x, y);
    if (std::isnan(r)) return fault(Fn::Pow, a, b, "a negative number to a fractional power is not a number");
    if (std::isinf(r) && std::isfinite(x) && std::isfinite(y))
        return fault(Fn::Pow, a, b,
                     x == 0 ? "zero to a negative power (a division by zero)" : "the result overflows to infinity");
    return {Num::of(r), {}};
}

}  // namespace

const FnInfo* data_function(std::string_view name) {
    for (const auto& f : kFunctions)
        if (f.name == name) return &f;
    return nullptr;
}

std::string_view function_name(Fn fn) {
    for (const auto& f : kFunctions)
        if (f.fn == fn) return f.name;
    return "?";
}

const std::vector<std::string_view>& callable_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const auto& f : kFunctions) out.push_back(f.name);
        for (std::string_view n : {"min", "max", "abs", "card"}) out.push_back(n);
        return out;
    }();
    return names;
}

bool int_result(Fn fn, bool int_operands) {
    switch (fn) {
        case Fn::Floor:
        case Fn::Ceil:
        case Fn::Round: return true;
        case Fn::Pow: return int_operands;
        default: return false;
    }
}

std::string num_text(Num n) { return n.is_int ? std::to_string(n.i) : format_number(n.f); }

FnResult apply(Fn fn, Num a, Num b) {
    if ((!a.is_int && std::isnan(a.f)) || (fn == Fn::Pow && !b.is_int && std::isnan(b.f)))
        return fault(fn, a, b, "the argument is not a number");
    double x = a.num();
    switch (fn) {
        case Fn::Sqrt:
            if (x < 0) return fault(fn, a, b, "the square root of a negative number");
            return {Num::of(std::sqrt(x)), {}};
        case Fn::Exp: {
            double r = std::exp(x);
            if (std::isinf(r) && std::isfinite(x)) return fault(fn, a, b, "the result overflows to infinity");
            return {Num::of(r), {}};
        }
        case Fn::Log:
            if (x < 0) return fault(fn, a, b, "the logarithm of a negative number");
            if (x == 0) return fault(fn, a, b, "the logarithm of 0 is -infinity");
            return {Num::of(std::log(x)), {}};
        case Fn::Floor:
        case Fn::Ceil:
        case Fn::Round: {
            if (a.is_int) return {a, {}};
            double r = fn == Fn::Floor ? std::floor(x) : fn == Fn::Ceil ? std::ceil(x) : std::round(x);
            if (!(r >= -kIntLimit && r < kIntLimit))
                return fault(fn, a, b,
                             std::isinf(x) ? "infinity is not an int" : "the result is outside the range of an int");
            return {Num::of(static_cast<std::int64_t>(r)), {}};
        }
        case Fn::Pow: return power(a, b);
    }
    return fault(fn, a, b, "unknown function");
}

}  // namespace tavro::kelm
