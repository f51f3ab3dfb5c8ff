// tavro.rag_helper: rank_problem_descriptions, the few-shot ranker. Converts
// the arguments, runs the native BM25 ranker without the GIL and turns
// file-system failures into the host's OSError family.
#include "tavro/_py/py.hpp"
#include "tavro/rag_helper/core/folder_ranker.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace pyb = pybind11;
namespace py = tavro::py;
namespace fs = std::filesystem;
using pyb::handle;
using pyb::object;

constexpr const char* kRankDoc =
    "Rank the problem descriptions (*.txt files, searched recursively) under models_dir\n"
    "against query with BM25 and return the best top_k hits, most relevant first.\n"
    "\n"
    "Each hit is a dict {\"path\": description file path (str), \"score\": float}. Only\n"
    "descriptions sharing at least one term with the query are returned; top_k <= 0\n"
    "returns all of them. Terms are case-folded words without punctuation and common\n"
    "English stop words. The index of each folder is cached and refreshed when a\n"
    "description is added, removed or changed (size or modification time).\n"
    "A missing or unreadable folder raises the matching OSError.";

// os.fsencode / os.fsdecode keep file names that are not valid UTF-8.
fs::path to_path(handle text) {
    object encoded = py::import_module("os").attr("fsencode")(text);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) < 0) throw pyb::error_already_set();
    return fs::path(std::string(data, static_cast<size_t>(size)));
}

object from_path(const fs::path& path) {
    const std::string& native = path.native();
    object bytes = pyb::reinterpret_steal<object>(
        PyBytes_FromStringAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
    if (!bytes) throw pyb::error_already_set();
    return py::import_module("os").attr("fsdecode")(bytes);
}

// OSError(errno, strerror, filename) picks the subclass (FileNotFoundError, ...).
[[noreturn]] void raise_os_error(const fs::filesystem_error& e, handle folder) {
    int code = e.code().value();
    object exc = pyb::reinterpret_borrow<object>(PyExc_OSError)(code, py::text(std::strerror(code)), folder);
    py::raise_object(exc);
}

object rank_problem_descriptions(handle query, handle models_dir, handle top_k) {
    py::expect_str(query, "query");
    object folder = pyb::reinterpret_borrow<object>(models_dir);
    if (!PyUnicode_CheckExact(models_dir.ptr())) {
        if (PyUnicode_Check(models_dir.ptr()) || !py::hasattr(models_dir, "__fspath__"))
            py::expect_str(models_dir, "models_dir");
        folder = py::import_module("os").attr("fspath")(models_dir);
        py::expect_str(folder, "models_dir");
    }
    py::expect_int(top_k, "top_k");
    long long k = PyLong_AsLongLong(top_k.ptr());
    if (k == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw pyb::error_already_set();
        PyErr_Clear();
        k = 0;  // beyond any folder: no limit
    }
    size_t limit = k > 0 ? static_cast<size_t>(k) : 0;

    std::string text = py::as_utf8(query);
    fs::path path = to_path(folder);
    std::vector<tavro::ranker::Hit> hits;
    bool failed = false;
    fs::filesystem_error error("", std::error_code());
    {
        pyb::gil_scoped_release release;
        try {
            hits = tavro::ranker::shared_ranker().rank(path, text, limit);
        } catch (const fs::filesystem_error& e) {
            failed = true;
            error = e;
        }
    }
    if (failed) raise_os_error(error, folder);

    pyb::list result;
    for (const auto& hit : hits) {
        pyb::dict entry;
        entry["path"] = from_path(hit.path);
        entry["score"] = pyb::float_(hit.score);
        result.append(entry);
    }
    return result;
}

object clear_cache() {
    tavro::ranker::shared_ranker().clear();
    return pyb::none();
}

}  // namespace

PYBIND11_MODULE(rag_helper, m) {
    pyb::list all;
    all.append("rank_problem_descriptions");
    m.attr("__all__") = all;
    m.attr("rank_problem_descriptions") = py::function(m, "rank_problem_descriptions", {"query", "models_dir", "top_k"},
                                                       kRankDoc, &rank_problem_descriptions);
    m.attr("_clear_cache") =
        py::function(m, "_clear_cache", py::Signature{}, "Forget every cached folder index.", &clear_cache);
}
