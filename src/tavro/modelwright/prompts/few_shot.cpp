// tavro.modelwright few-shot retrieval: the ranker names the example problems
// most like the user's, and each hit's description, model and data files are
// loaded into a record for the prompts. Best effort throughout: a failing
// ranker gives no examples, an example that cannot be loaded is skipped.
#include "tavro/modelwright/modelwright.hpp"

#include <optional>
#include <utility>

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

const char* const kFindPairDoc =
    "\n    Given a description .txt path, locate associated .mod and .dat in the same folder.\n"
    "    Preference order:\n"
    "      1) Same stem: <stem>.mod and <stem>.dat\n"
    "      2) First *.mod and first *.dat in folder (sorted)\n    ";

const char* const kGatherDoc =
    "\n    Use rag_helper to find top-k relevant examples and return a list of dicts with keys:\n"
    "      - description (str)\n"
    "      - model (str)\n"
    "      - data (str)\n"
    "      - desc_path / model_path / data_path (optional metadata)\n    ";

object none() { return pyb::none(); }

// `folder / name`, the path operator of the host's path objects.
object join(handle folder, const object& name) {
    PyObject* path = PyNumber_TrueDivide(folder.ptr(), name.ptr());
    if (!path) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(path);
}

bool is_existing_file(handle path) { return py::truthy(path.attr("exists")()) && py::truthy(path.attr("is_file")()); }

// sorted(folder.glob(pattern))[0], or None when nothing matches.
object first_match(handle folder, const char* pattern) {
    object entries = pyb::reinterpret_steal<object>(PySequence_List(folder.attr("glob")(pattern).ptr()));
    if (!entries) throw pyb::error_already_set();
    if (PyList_Sort(entries.ptr()) < 0) throw pyb::error_already_set();
    if (PyList_GET_SIZE(entries.ptr()) == 0) return none();
    return pyb::reinterpret_borrow<object>(PyList_GET_ITEM(entries.ptr(), 0));
}

// The same-stem file, else the first file of the folder with that suffix.
object candidate(handle folder, handle stem, const char* suffix, const char* pattern) {
    object path = join(folder, py::concat({stem, py::text(suffix)}));
    if (is_existing_file(path)) return path;
    return first_match(folder, pattern);
}

object existing_or_none(object path) {
    if (path.is_none() || !py::truthy(path.attr("exists")())) return none();
    return path;
}

object find_pair_in_folder(handle desc_path) {
    object folder = desc_path.attr("parent");
    object stem = desc_path.attr("stem");
    object model = candidate(folder, stem, ".mod", "*.mod");
    object data = candidate(folder, stem, ".dat", "*.dat");
    return pyb::make_tuple(existing_or_none(std::move(model)), existing_or_none(std::move(data)));
}

void notify(handle progress, object msg) { home().attr("_notify")(progress, msg); }

void log_debug(const char* prefix, pyb::error_already_set& e) {
    home().attr("logger").attr("debug")(py::format("%s%S", prefix, e.value()));
}

// The examples folder of the package, else the one beside this module's file.
object default_models_dir() {
    return py::guard([] { return join(home().attr("files")("tavro"), py::text("kelm_models")); },
                     [](pyb::error_already_set&) {
                         object here = home().attr("Path")(home().attr("__file__"));
                         return join(here.attr("parent"), py::text("kelm_models"));
                     });
}

object read_text(handle path) { return home().attr("_safe_read_text")(path); }

// Loads one hit into `out`; false when it is to be skipped.
bool load_example(handle hit, pyb::list& out) {
    object desc_path = home().attr("Path")(pyb::reinterpret_borrow<object>(hit)[py::text("path")]);
    object description = read_text(desc_path);
    auto [model_path, data_path] = py::unpack_pair(home().attr("_find_pair_in_folder")(desc_path));
    if (!py::truthy(description) || model_path.is_none() || data_path.is_none()) return false;
    object model = read_text(model_path);
    object data = read_text(data_path);
    if (!py::truthy(model) || !py::truthy(data)) return false;
    pyb::dict record;
    record["description"] = description;
    record["model"] = model;
    record["data"] = data;
    record["desc_path"] = py::py_str(desc_path);
    record["model_path"] = py::py_str(model_path);
    record["data_path"] = py::py_str(data_path);
    out.append(record);
    return true;
}

object gather_few_shots(handle problem_description, handle k, handle models_dir, handle progress) {
    py::expect_str(problem_description, "problem_description");
    py::expect_int(k, "k");
    object folder = models_dir.is_none() ? default_models_dir() : pyb::reinterpret_borrow<object>(models_dir);
    folder = home().attr("Path")(folder);
    pyb::list out;

    std::optional<object> hits = py::guard(
        [&]() -> std::optional<object> {
            notify(progress, py::format("Retrieving few-shot examples (k=%S)", k));
            object found = home().attr("rag_rank")(pyb::arg("query") = problem_description,
                                                   pyb::arg("models_dir") = py::py_str(folder), pyb::arg("top_k") = k);
            Py_ssize_t count = PyObject_Length(found.ptr());
            if (count < 0) throw pyb::error_already_set();
            pyb::list names;
            for (handle hit : found)
                names.append(home().attr("Path")(pyb::reinterpret_borrow<object>(hit)[py::text("path")]).attr("name"));
            notify(progress, py::format("Found %zd few-shot candidates: %S", count, names));
            return found;
        },
        [&](pyb::error_already_set& e) -> std::optional<object> {
            log_debug("Few-shot retrieval skipped: ", e);
            notify(progress, py::text("Few-shot retrieval failed; continuing without examples"));
            return std::nullopt;
        });
    if (!hits) return out;

    object limit = pyb::reinterpret_borrow<object>(k);
    for (handle hit : *hits) {
        bool stop = py::guard([&] { return load_example(hit, out) && pyb::int_(PyList_GET_SIZE(out.ptr())) >= limit; },
                              [&](pyb::error_already_set& e) {
                                  log_debug("Skipping example due to error: ", e);
                                  return false;
                              });
        if (stop) break;
    }
    return out;
}

}  // namespace

void register_few_shot(Registry& r) {
    handle scope = home().module();
    r.add("_find_pair_in_folder",
          py::function(scope, "_find_pair_in_folder", {"desc_path"}, kFindPairDoc, &find_pair_in_folder));
    r.add("_gather_few_shots", py::function(scope, "_gather_few_shots",
                                            {"problem_description",
                                             {"k", home().attr("FEW_SHOT_TOP_K")},
                                             {"models_dir", pyb::none()},
                                             {"progress", pyb::none()}},
                                            kGatherDoc, &gather_few_shots));
}

}  // namespace tavro::modelwright
