// tavro.modelwright reply parsing: cut the JSON object out of an LLM reply
// (fenced block, else the first balanced braces) and parse it leniently.
#include "tavro/modelwright/modelwright.hpp"

namespace tavro::modelwright {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

constexpr const char* kExtractDoc =
    "\n    Extract JSON object from a Markdown code block if present.\n"
    "    Fallback: find the first balanced {...} JSON object.\n    ";

// re.compile(r"```(?:json)?\s*(\{.*\})\s*```", re.DOTALL), compiled at load.
PyObject* fence_pattern = nullptr;

// Code points of a str without copying.
struct CodePoints {
    explicit CodePoints(handle s) {
        if (PyUnicode_READY(s.ptr()) < 0) throw pyb::error_already_set();
        kind = PyUnicode_KIND(s.ptr());
        data = PyUnicode_DATA(s.ptr());
        size = PyUnicode_GET_LENGTH(s.ptr());
    }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool fence_at(Py_ssize_t i) const {
        return i + 3 <= size && (*this)[i] == '`' && (*this)[i + 1] == '`' && (*this)[i + 2] == '`';
    }
    int kind;
    const void* data;
    Py_ssize_t size;
};

// Every match of the fence pattern ends at a closing fence that follows the
// last "}" with only (Unicode) whitespace before "```": the end of that fence,
// or -1 when no "}" is closed by a fence and the pattern cannot match. Searching
// only up to there gives the same match and keeps the backtracking search
// linear when many opening fences follow the last closing one.
Py_ssize_t fence_search_end(const CodePoints& s) {
    Py_ssize_t end = -1;
    for (Py_ssize_t i = 0; i < s.size; ++i) {
        if (s[i] != '}') continue;
        Py_ssize_t j = i + 1;
        while (j < s.size && Py_UNICODE_ISSPACE(s[j])) ++j;
        if (s.fence_at(j)) end = j + 3;
        i = j - 1;
    }
    return end;
}

// Index of the "}" that brings the depth back to 0, counting from the first
// "{" at `start`; -1 when the braces never balance.
Py_ssize_t balanced_end(const CodePoints& s, Py_ssize_t start) {
    Py_ssize_t depth = 0;
    for (Py_ssize_t i = start; i < s.size; ++i) {
        Py_UCS4 c = s[i];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return i;
        }
    }
    return -1;
}

object substring(handle s, Py_ssize_t begin, Py_ssize_t end) {
    PyObject* part = PyUnicode_Substring(s.ptr(), begin, end);
    if (!part) throw pyb::error_already_set();
    return pyb::reinterpret_steal<object>(part);
}

object extract_json_from_markdown(handle text) {
    py::expect_str(text, "text");
    CodePoints s(text);
    Py_ssize_t search_end = fence_search_end(s);
    if (search_end >= 0) {
        object match = pyb::reinterpret_borrow<object>(fence_pattern).attr("search")(text, 0, search_end);
        if (py::truthy(match)) return match.attr("group")(1);
    }
    Py_ssize_t start = PyUnicode_FindChar(text.ptr(), '{', 0, s.size, 1);
    if (start == -2) throw pyb::error_already_set();
    if (start == -1) return pyb::reinterpret_borrow<object>(text);
    Py_ssize_t end = balanced_end(s, start);
    if (end < 0) return pyb::reinterpret_borrow<object>(text);
    return substring(text, start, end + 1);
}

// json.loads(text) as a dict (or None); else the cut-out object, parsed while
// the first failure is being handled so that errors chain to it.
object json_loads_relaxed(handle text) {
    py::expect_str(text, "text");
    auto loads_dict = [](handle source) {
        object obj = home().attr("json").attr("loads")(source);
        py::expect_value(obj, &PyDict_Type);
        return obj;
    };
    return py::guard([&] { return loads_dict(text); },
                     [&](pyb::error_already_set& first) {
                         return py::while_handling(first.value(), [&] {
                             return loads_dict(home().attr("extract_json_from_markdown")(text));
                         });
                     });
}

}  // namespace

void register_reply_json(Registry& r) {
    object re = py::import_module("re");
    object pattern = re.attr("compile")(py::text("```(?:json)?\\s*(\\{.*\\})\\s*```"), re.attr("DOTALL"));
    fence_pattern = pattern.release().ptr();  // lives as long as the module

    handle scope = home().module();
    r.add("extract_json_from_markdown", py::function(scope, "extract_json_from_markdown", {"text"}, kExtractDoc,
                                                     &extract_json_from_markdown));
    r.add("_json_loads_relaxed",
          py::function(scope, "_json_loads_relaxed", {"text"},
                       "Parse an LLM reply as a JSON object, falling back to the object cut out of it.",
                       &json_loads_relaxed));
}

}  // namespace tavro::modelwright
