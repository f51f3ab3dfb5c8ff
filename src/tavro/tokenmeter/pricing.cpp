// tavro.tokenmeter pricing source: reading the price list from a URL or a
// local file, the per-source cache of _parse_pricing (the host's
// functools.lru_cache) and clear_pricing_cache.
#include <chrono>

#include "tavro/tokenmeter/tokenmeter.hpp"

namespace tavro::tokenmeter {

namespace py = tavro::py;
using pyb::handle;
using pyb::object;

namespace {

// Repository file pages on the code-hosting site are fetched from its
// raw-content host (module attribute _RAW_HOST, read at call time).
constexpr const char* kUrlPattern = "^https?://";
constexpr const char* kPagePattern = R"(https?://github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.*))";
constexpr const char* kUserAgent = "tavro/1.0";
constexpr Py_ssize_t kChunkBytes = 1 << 16;

struct SourcePatterns {
    object url;   // re.compile(kUrlPattern, re.I)
    object page;  // re.compile(kPagePattern, re.I), used with fullmatch
};

SourcePatterns& patterns() {
    static auto* p = new SourcePatterns;  // lives as long as the interpreter
    return *p;
}

// `with resource: return body(resource)`, closing also when body raises.
template <class Body>
object with_closing(object resource, Body&& body) {
    object result;
    try {
        result = body(resource);
    } catch (pyb::error_already_set&) {
        resource.attr("close")();
        throw;
    }
    resource.attr("close")();
    return result;
}

using Clock = std::chrono::steady_clock;

object timed_out_message(handle seconds) {
    return py::concat({py::text("the price list did not arrive within "), py::py_str(seconds), py::text(" seconds")});
}

// The whole body, read a chunk at a time so that the deadline and the size
// cap hold whatever pace the server sends at. A response without read1 is
// read in one call.
object read_body(handle response, Py_ssize_t max_bytes, Clock::time_point end, handle seconds) {
    auto too_large = [&] {
        py::raise(PyExc_ValueError, py::concat({py::text("the price list is larger than "),
                                                py::py_str(pyb::int_(max_bytes)), py::text(" bytes")}));
    };
    if (!py::hasattr(response, "read1")) {
        object body = response.attr("read")();
        if (static_cast<Py_ssize_t>(pyb::len(body)) > max_bytes) too_large();
        return body;
    }
    object read1 = response.attr("read1");
    pyb::list chunks;
    Py_ssize_t total = 0;
    for (;;) {
        object chunk = read1(kChunkBytes);
        const auto n = static_cast<Py_ssize_t>(pyb::len(chunk));
        if (n == 0) break;
        total += n;
        if (total > max_bytes) too_large();
        if (Clock::now() > end) py::raise(PyExc_TimeoutError, timed_out_message(seconds));
        chunks.append(chunk);
    }
    return pyb::bytes("").attr("join")(chunks);
}

double as_seconds(handle value) {
    const double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
    return seconds;
}

Py_ssize_t as_size(handle value) {
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw pyb::error_already_set();
    return n;
}

object fetch(handle url) {
    object src = pyb::reinterpret_borrow<object>(url);
    object page = patterns().page.attr("fullmatch")(src);
    if (!page.is_none()) {
        object slash = py::text("/");
        object group = page.attr("group");
        src = py::concat({py::text("https://"), home().attr("_RAW_HOST"), slash, group(1), slash, group(2), slash,
                          group(3), slash, group(4)});
    }
    py::import_module("urllib.request");  // import urllib.request, on first use
    object request = home().attr("urllib").attr("request");
    pyb::dict headers;
    headers["User-Agent"] = kUserAgent;
    object req = request.attr("Request")(src, pyb::arg("headers") = headers);
    // The time-out bounds the whole fetch, not each read: tavro._deadline
    // interrupts it (or stops waiting for it) when the time is up.
    object timeout = home().attr("_FETCH_TIMEOUT");
    const Py_ssize_t max_bytes = as_size(home().attr("_FETCH_MAX_BYTES"));
    const auto end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(as_seconds(timeout)));
    object work = pyb::cpp_function([request, req, timeout, max_bytes, end]() {
        object response = request.attr("urlopen")(req, pyb::arg("timeout") = timeout);
        return with_closing(response, [&](object& r) {
            return read_body(r, max_bytes, end, timeout).attr("decode")("utf-8", pyb::arg("errors") = "replace");
        });
    });
    object on_timeout = pyb::cpp_function([timeout]() -> object {
        return pyb::reinterpret_borrow<object>(PyExc_TimeoutError)(timed_out_message(timeout));
    });
    return py::import_module("tavro._deadline").attr("call_with_deadline")(work, timeout, on_timeout);
}

// _read_text(src)
object read_text(handle src) {
    if (!patterns().url.attr("match")(src).is_none()) return fetch(src);
    object open = py::import_module("builtins").attr("open");
    object file = open(src, "r", pyb::arg("encoding") = "utf8");
    return with_closing(file, [](object& f) { return f.attr("read")(); });
}

object parse_pricing(handle path) {
    py::expect_str(path, "path");
    object document =
        py::guard([&] { return read_text(path); },
                  [&](pyb::error_already_set& e) {
                      home().attr("logger").attr("warning")("Failed to load pricing from %s: %s", path, e.value());
                      return object();
                  });
    if (!document) return pyb::dict();
    py::expect_value(document, &PyUnicode_Type, /*none_ok=*/false);
    return parse_price_list(document);
}

object clear_pricing_cache() {
    home().attr("_parse_pricing").attr("cache_clear")();
    return pyb::none();
}

}  // namespace

void compile_source_patterns(handle module) {
    object re = module.attr("re");
    object ignorecase = re.attr("IGNORECASE");
    patterns().url = re.attr("compile")(kUrlPattern, ignorecase);
    patterns().page = re.attr("compile")(kPagePattern, ignorecase);
}

void register_pricing(Registry& r) {
    handle scope = home().module();
    const char* doc = "Read the price list at `path` (URL or file) into {model: rates per 1M tokens}.";
    const py::Signature sig{"path"};
    object reader = py::function(scope, "_parse_pricing", sig, doc, &parse_pricing);
    object cached = scope.attr("lru_cache")(pyb::arg("maxsize") = 8)(reader);
    // The argument is checked before lru_cache hashes it (a list would
    // otherwise fail as unhashable); the face keeps lru_cache's interface.
    object checked = py::function(scope, "_parse_pricing", sig, doc, [cached](handle path) -> object {
        py::expect_str(path, "path");
        return cached(path);
    });
    object face = py::python_face(checked, "_parse_pricing", sig.names(), sig.defaults(), doc, scope.attr("__name__"));
    for (const char* name : {"cache_info", "cache_clear", "cache_parameters"}) face.attr(name) = cached.attr(name);
    face.attr("__wrapped__") = reader;
    r.add("_parse_pricing", face);
    r.add("clear_pricing_cache",
          py::function(scope, "clear_pricing_cache", py::Signature{},
                       "Forget every cached price list, so the next estimate reads its source again.",
                       &clear_pricing_cache));
}

}  // namespace tavro::tokenmeter
