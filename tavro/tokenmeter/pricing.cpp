// tavro.tokenmeter pricing source: reading the price list from a URL or a
// local file, the per-source cache of _parse_pricing (the host's
// functools.lru_cache) and clear_pricing_cache.
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
constexpr int kTimeoutSeconds = 10;

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

object fetch(handle url) {
    object src = pyb::reinterpret_borrow<object>(url);
    object page = patterns().page.attr("fullmatch")(src);
    if (!page.is_none()) {
        object slash = py::text("/");
        object group = page.attr("group");
        src = py::concat({py::text("https://"), home().attr("_RAW_HOST"), slash, group(1), slash, group(2), slash,
                          group(3), slash, group(4)});
    }
    object request = home().attr("urllib").attr("request");
    pyb::dict headers;
    headers["User-Agent"] = kUserAgent;
    object req = request.attr("Request")(src, pyb::arg("headers") = headers);
    object response = request.attr("urlopen")(req, pyb::arg("timeout") = kTimeoutSeconds);
    return with_closing(response, [](object& r) {
        return r.attr("read")().attr("decode")("utf-8", pyb::arg("errors") = "replace");
    });
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
    object document = py::guard([&] { return read_text(path); },
                                [&](pyb::error_already_set& e) {
                                    home().attr("logger").attr("warning")("Failed to load pricing from %s: %s",
                                                                          path, e.value());
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
