// Placeholder for tavro.tokenmeter until its own sources land.
#include "tavro/_py/py.hpp"

PYBIND11_MODULE(tokenmeter, m) {
    for (const char* name : {"_extract_gemini_usage", "_extract_openai_usage", "estimate_costs"}) {
        m.def(name, [](pybind11::args, pybind11::kwargs) -> pybind11::object {
            tavro::py::raise(PyExc_NotImplementedError, "not built yet");
        });
    }
}
