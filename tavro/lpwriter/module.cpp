// Placeholder for tavro.lpwriter until its own sources land.
#include "tavro/_py/py.hpp"

PYBIND11_MODULE(lpwriter, m) {
    for (const char* name : {"SciPyCodeGenerator"}) {
        m.def(name, [](pybind11::args, pybind11::kwargs) -> pybind11::object {
            tavro::py::raise(PyExc_NotImplementedError, "not built yet");
        });
    }
}
