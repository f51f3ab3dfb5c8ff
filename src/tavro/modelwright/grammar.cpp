// tavro.modelwright grammar references and file readers: the text put between
// the reference markers of every prompt, chosen by a Grammar member, and the
// plain and forgiving text readers.
#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

// `name` as a global of the module's code would resolve it: the module's own
// attribute first, then the builtins (both looked up at call time).
object global_or_builtin(const char* name) {
    if (auto own = py::getattr_opt(home().module(), name)) return std::move(*own);
    return py::import_module("builtins").attr(name);
}

object as_str_result(object value) {
    py::expect_value(value, &PyUnicode_Type);
    return value;
}

// with open(path, "r") as f: return f.read()
object read_file(handle path) {
    py::expect_str(path, "path");
    // An __exit__ that suppresses the error makes the function return None.
    bool suppressed = true;
    object content = py::with(global_or_builtin("open")(path, "r"), [&](handle f) {
        object text = f.attr("read")();
        suppressed = false;
        return text;
    });
    if (suppressed) return content;
    return as_str_result(std::move(content));
}

// (files("tavro") / "grammars" / name).read_text(encoding="utf-8")
object read_resource(const char* name) {
    object folder = home().attr("files")("tavro");
    PyObject* grammars = PyNumber_TrueDivide(folder.ptr(), py::text("grammars").ptr());
    if (!grammars) throw pyb::error_already_set();
    object dir = pyb::reinterpret_steal<object>(grammars);
    PyObject* file = PyNumber_TrueDivide(dir.ptr(), py::text(name).ptr());
    if (!file) throw pyb::error_already_set();
    object resource = pyb::reinterpret_steal<object>(file);
    return as_str_result(resource.attr("read_text")(pyb::arg("encoding") = "utf-8"));
}

object read_tavro_gbnf() { return read_resource("Tavro_GBNF"); }
object read_tavro_grammar() { return read_resource("Tavro grammar.md"); }

// _read_file(os.path.join(os.path.dirname(__file__), "tavro_core.py"))
object read_tavro_code() {
    object os_path = home().attr("os").attr("path");
    object folder = os_path.attr("dirname")(home().attr("__file__"));
    object path = os_path.attr("join")(folder, "tavro_core.py");
    return as_str_result(home().attr("_read_file")(path));
}

object get_grammar_implementation(handle mode) {
    object members = home().attr("Grammar");
    if (py::equal(mode, members.attr("NONE"))) return py::text("");
    if (py::equal(mode, members.attr("BNF"))) return as_str_result(home().attr("_read_tavro_grammar")());
    if (py::equal(mode, members.attr("CODE"))) return as_str_result(home().attr("_read_tavro_code")());
    py::raise(PyExc_ValueError, py::format("Invalid mode: %S", mode));
}

// Read, keep at most max_chars characters, then strip; "" on any ordinary error.
object safe_read_text(handle path, handle max_chars) {
    py::expect_int(max_chars, "max_chars");
    return py::guard(
        [&] {
            object txt = path.attr("read_text")(pyb::arg("encoding") = "utf-8", pyb::arg("errors") = "ignore");
            Py_ssize_t length = PyObject_Size(txt.ptr());
            if (length < 0) throw pyb::error_already_set();
            object size = pyb::reinterpret_steal<object>(PyLong_FromSsize_t(length));
            if (!size) throw pyb::error_already_set();
            int longer = PyObject_RichCompareBool(size.ptr(), max_chars.ptr(), Py_GT);
            if (longer < 0) throw pyb::error_already_set();
            if (longer) {
                PyObject* cut = PySlice_New(nullptr, max_chars.ptr(), nullptr);
                if (!cut) throw pyb::error_already_set();
                object slice = pyb::reinterpret_steal<object>(cut);
                PyObject* head = PyObject_GetItem(txt.ptr(), slice.ptr());
                if (!head) throw pyb::error_already_set();
                txt = pyb::reinterpret_steal<object>(head);
            }
            return as_str_result(txt.attr("strip")());
        },
        [](pyb::error_already_set&) { return py::text(""); });
}

}  // namespace

void register_grammar(Registry& r) {
    handle scope = home().module();
    r.add("_read_file",
          py::function(scope, "_read_file", {"path"}, "Return the whole text of the file at `path`.", &read_file));
    r.add("_read_tavro_GBNF",
          py::function(scope, "_read_tavro_GBNF", py::Signature{},
                       "Return the package's GBNF grammar of the modelling language.", &read_tavro_gbnf));
    r.add("_read_tavro_grammar", py::function(scope, "_read_tavro_grammar", py::Signature{},
                                              "Return the package's Markdown grammar reference.", &read_tavro_grammar));
    r.add("_read_tavro_code",
          py::function(scope, "_read_tavro_code", py::Signature{},
                       "Return the source text of the compiler module tavro_core.", &read_tavro_code));
    r.add("_get_grammar_implementation",
          py::function(scope, "_get_grammar_implementation", {"mode"},
                       "Return the grammar reference text for a Grammar member.", &get_grammar_implementation));
    r.add("_safe_read_text",
          py::function(
              scope, "_safe_read_text", {"path", {"max_chars", home().attr("FEW_SHOT_MAX_CHARS")}},
              "Read a text file as UTF-8 (undecodable bytes dropped), cut to max_chars, stripped; \"\" on error.",
              &safe_read_text));
}

}  // namespace tavro::modelwright
