// The shortest round-trip digits come from std::to_chars; the layout is
// Python's repr: positional for exponents -5 < e < 16, else d.ddde+XX.
#include "tavro/compiler/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tavro::kelm {

namespace {

std::string layout(double d, bool point) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "infinity" : "-infinity";
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string sci(buf, r.ptr);  // -d.ddde+XX
    std::size_t e = sci.find('e');
    int exp = std::atoi(sci.c_str() + e + 1);
    if (exp < -4 || exp >= 16) return sci;
    bool neg = sci[0] == '-';
    std::string digits;
    for (std::size_t k = neg ? 1 : 0; k < e; ++k)
        if (sci[k] != '.') digits += sci[k];
    // The point sits after `at` digits (at <= 0: leading zeros after "0.").
    int at = exp + 1;
    int n = static_cast<int>(digits.size());
    std::string out = neg ? "-" : "";
    if (at <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-at), '0') + digits;
    } else if (at >= n) {
        out += digits + std::string(static_cast<std::size_t>(at - n), '0');
        if (point) out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(at)) + "." + digits.substr(static_cast<std::size_t>(at));
    }
    return out;
}

}  // namespace

std::string format_number(double d) { return layout(d, false); }

std::string format_float(double d) { return layout(d, true); }

}  // namespace tavro::kelm
