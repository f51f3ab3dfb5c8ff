// tavro.modelwright reply parsing: cut the JSON object out of an LLM reply
// (fenced block, else the first balanced braces) and parse it leniently.
#include "tavro/modelwright/modelwright.hpp"
#include "tavro/_py/fastcall.hpp"
#include "tavro/_py/names.hpp"

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
const py::Name kSearch{"search"}, kGroup{"group"}, kJson{"json"}, kLoads{"loads"},
    kExtract{"extract_json_from_markdown"};

handle zero() {
    static PyObject* v = PyLong_FromLong(0);
    return v;
}
handle one() {
    static PyObject* v = PyLong_FromLong(1);
    return v;
}

// Code points of a str without copying.
struct CodePoints {
    explicit CodePoints(handle s) {
        if (PyUnicode_READY(s.ptr()) < 0) throw pyb::error_already_set();
        kind = PyUnicode_KIND(s.ptr());
        data = PyUnicode_DATA(s.ptr());
        size = PyUnicode_GET_LENGTH(s.ptr());
    }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    int kind;
    const void* data;
    Py_ssize_t size;
};

// Every match of the fence pattern ends at a closing fence that follows a "}"
// with only (Unicode) whitespace before "```"; the greedy group makes it the
// last such fence of the text. Returns the end of that fence, or -1 when no
// "}" is closed by a fence and the pattern cannot match. Searching only up to
// there gives the same match and keeps the backtracking search linear when
// many opening fences follow the last closing one.
//
// The walk starts at the end, so a reply that ends with its fenced block costs
// a few characters however long it is. Each candidate "```" looks back over
// the whitespace before it; only the fence that starts a run of backticks can
// reach whitespace, so every character is read a bounded number of times.
template <class Char>
Py_ssize_t fence_search_end(const Char* s, Py_ssize_t size) {
    Py_ssize_t run = 0;  // backticks seen so far, walking left
    for (Py_ssize_t k = size - 1; k >= 0; --k) {
        if (s[k] != '`') {
            run = 0;
            continue;
        }
        if (++run < 3) continue;
        // "```" at k; the rightmost fence of a run is the one ending latest, but
        // only the leftmost can follow whitespace or a "}" directly.
        Py_ssize_t j = k - 1;
        if (j >= 0 && s[j] == '`') continue;
        while (j >= 0 && Py_UNICODE_ISSPACE(s[j])) --j;
        if (j >= 0 && s[j] == '}') return k + 3;
    }
    return -1;
}

Py_ssize_t fence_search_end(const CodePoints& s) {
    switch (s.kind) {
        case PyUnicode_1BYTE_KIND: return fence_search_end(static_cast<const Py_UCS1*>(s.data), s.size);
        case PyUnicode_2BYTE_KIND: return fence_search_end(static_cast<const Py_UCS2*>(s.data), s.size);
        default: return fence_search_end(static_cast<const Py_UCS4*>(s.data), s.size);
    }
}

// Index of the "}" that brings the depth back to 0, counting from the first
// "{" at `start`; -1 when the braces never balance.
template <class Char>
Py_ssize_t balanced_end(const Char* s, Py_ssize_t size, Py_ssize_t start) {
    Py_ssize_t depth = 0;
    for (Py_ssize_t i = start; i < size; ++i) {
        Char c = s[i];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return i;
        }
    }
    return -1;
}

Py_ssize_t balanced_end(const CodePoints& s, Py_ssize_t start) {
    switch (s.kind) {
        case PyUnicode_1BYTE_KIND: return balanced_end(static_cast<const Py_UCS1*>(s.data), s.size, start);
        case PyUnicode_2BYTE_KIND: return balanced_end(static_cast<const Py_UCS2*>(s.data), s.size, start);
        default: return balanced_end(static_cast<const Py_UCS4*>(s.data), s.size, start);
    }
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
        object end = pyb::reinterpret_steal<object>(PyLong_FromSsize_t(search_end));
        if (!end) throw pyb::error_already_set();
        object match = py::call_method(fence_pattern, kSearch, {text, zero(), end});
        if (!match.is_none()) return py::call_method(match, kGroup, {one()});
    }
    Py_ssize_t start = PyUnicode_FindChar(text.ptr(), '{', 0, s.size, 1);
    if (start == -2) throw pyb::error_already_set();
    if (start == -1) return pyb::reinterpret_borrow<object>(text);
    Py_ssize_t end = balanced_end(s, start);
    if (end < 0) return pyb::reinterpret_borrow<object>(text);
    return substring(text, start, end + 1);
}

// json.loads(source) if that is a dict or None; else nullptr with the error
// set (the decoder's, or TypeError "Expected dict, got ...").
PyObject* loads_dict(handle source) {
    PyObject* json = PyObject_GetAttr(home().module().ptr(), kJson.get());
    if (!json) return nullptr;
    PyObject* args[] = {json, source.ptr()};
    PyObject* obj = PyObject_VectorcallMethod(kLoads.get(), args, 2, nullptr);
    Py_DECREF(json);
    if (!obj || obj == Py_None || Py_IS_TYPE(obj, &PyDict_Type)) return obj;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", PyDict_Type.tp_name, Py_TYPE(obj)->tp_name);
    Py_DECREF(obj);
    return nullptr;
}

// The exception being raised, taken out of the error indicator as an
// `except` clause holds it (normalised, with its traceback).
object take_exception() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (trace) PyException_SetTraceback(value, trace);
    Py_XDECREF(type);
    Py_XDECREF(trace);
    return pyb::reinterpret_steal<object>(value);
}

// json.loads(text) as a dict (or None); else the cut-out object, parsed while
// the first failure is being handled so that errors chain to it. The first
// failure is handled without a C++ exception: it is the common case.
object json_loads_relaxed(handle text) {
    py::expect_str(text, "text");
    if (PyObject* obj = loads_dict(text)) return pyb::reinterpret_steal<object>(obj);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw pyb::error_already_set();
    object first = take_exception();
    return py::while_handling(first, [&] {
        object part = py::call(py::getattr(home().module(), kExtract), {text});
        PyObject* obj = loads_dict(part);
        if (!obj) throw pyb::error_already_set();
        return pyb::reinterpret_steal<object>(obj);
    });
}

}  // namespace

void register_reply_json(Registry& r) {
    object re = py::import_module("re");
    object pattern = re.attr("compile")(py::text("```(?:json)?\\s*(\\{.*\\})\\s*```"), re.attr("DOTALL"));
    fence_pattern = pattern.release().ptr();  // lives as long as the module

    handle scope = home().module();
    // Called once or twice per reply: bound without pybind11's dispatcher.
    r.add("extract_json_from_markdown",
          py::fast_function(scope, "extract_json_from_markdown", py::Signature{"text"}, kExtractDoc,
                            [](PyObject* const* args) { return extract_json_from_markdown(args[0]); }));
    r.add("_json_loads_relaxed",
          py::fast_function(scope, "_json_loads_relaxed", py::Signature{"text"},
                            "Parse an LLM reply as a JSON object, falling back to the object cut out of it.",
                            [](PyObject* const* args) { return json_loads_relaxed(args[0]); }));
}

}  // namespace tavro::modelwright
