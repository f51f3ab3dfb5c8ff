// Placeholder for tavro.rag_helper until its own sources land.
#include "tavro/_py/py.hpp"

PYBIND11_MODULE(rag_helper, m) {
    for (const char* name : {"rank_problem_descriptions"}) {
        m.def(name, [](pybind11::args, pybind11::kwargs) -> pybind11::object {
            tavro::py::raise(PyExc_NotImplementedError, "not built yet");
        });
    }
}
