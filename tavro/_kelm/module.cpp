// Placeholder for the native compiler module behind tavro_core.KelmCompiler.
#include "tavro/_py/py.hpp"

PYBIND11_MODULE(_kelm, m) {}
