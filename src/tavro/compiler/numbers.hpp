// The one number printer of the compiler (messages, names, set-element keys)
// and of tavro._kelm.format_number: the shortest text that reads back to the
// same double, laid out as Python's repr (0.1, 2.5, 1e-05, 1e+16).
#pragma once

#include <string>

namespace tavro::kelm {

// Whole numbers without a point (3, -0, 1e+16); infinity and -infinity as
// the language writes them; nan.
std::string format_number(double d);

// The same, with ".0" on a whole number written without an exponent (3.0):
// a float value where an int would read the same.
std::string format_float(double d);

}  // namespace tavro::kelm
