// Values of data-only model expressions (range bounds, scalar and set
// initializers), set-element keys, and the check of constant indices.
#include "tavro/compiler/numbers.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

std::string element_key(const Value& v) {
    if (v.is<std::int64_t>()) return "i" + std::to_string(v.as<std::int64_t>());
    if (v.is<double>()) return "f" + format_number(v.as<double>());
    if (v.is<std::string>()) return "s" + v.as<std::string>();
    if (v.is<Dict>()) {
        std::string out = "t(";
        for (auto& [k, f] : v.as<Dict>()) out += element_key(f) + '\x1f';
        return out + ")";
    }
    return "";
}

std::string value_text(const Value& v) {
    if (v.is<std::int64_t>()) return std::to_string(v.as<std::int64_t>());
    if (v.is<double>()) return format_number(v.as<double>());
    if (v.is<std::string>()) {
        const auto& s = v.as<std::string>();
        return "\"" + (s.size() > 40 ? s.substr(0, 40) + "..." : s) + "\"";
    }
    if (v.is<Dict>()) {
        std::string out = "<";
        for (auto& [k, f] : v.as<Dict>()) out += (out.size() > 1 ? ", " : "") + value_text(f);
        return out + ">";
    }
    return "?";
}

// Data-only values go through the instantiation engine's evaluator (one
// semantics for indexing, sums, min/max over sets, card, mod, arithmetic);
// tuple literals, which only set values hold, are assembled here.
std::optional<Value> evaluate(Program& p, const Expr& e) {
    if (e.kind != EK::TupleLit) return evaluate_data(p, e);
    Dict out;
    for (auto& k : e.kids) {
        auto v = evaluate(p, *k);
        if (!v) return std::nullopt;
        out.emplace_back("", std::move(*v));
    }
    return Value(std::move(out));
}

void check_constant_indices(Program& p) {
    for (auto& ci : p.const_indices) {
        Sym* set = ci.array->dims[ci.dim];
        if (!set || !set->elements.known) continue;
        const Elements& el = set->elements;
        std::string of = set->name.empty() ? "its range" : quote(set->name);
        if (el.is_range) {
            std::int64_t k = ci.key.is<std::int64_t>() ? ci.key.as<std::int64_t>() : el.low - 1;
            if (k < el.low || k > el.high)
                p.diag->error(File::Model, ci.pos,
                              "index " + ci.text + " of " + quote(ci.array->name) + " is outside " + of + " (" +
                                  std::to_string(el.low) + ".." + std::to_string(el.high) + ")");
            continue;
        }
        if (el.position.count(element_key(ci.key))) continue;
        std::string hint;
        if (ci.key.is<std::string>() && set->value && set->value->is<List>()) {
            std::vector<std::string_view> names;
            for (auto& v : set->value->as<List>())
                if (v.is<std::string>()) names.push_back(v.as<std::string>());
            std::string c = closest(ci.key.as<std::string>(), names);
            if (!c.empty()) hint = "; did you mean \"" + c + "\"?";
        }
        p.diag->error(File::Model, ci.pos,
                      "index " + ci.text + " of " + quote(ci.array->name) + " is not an element of " + of + hint);
    }
}

}  // namespace tavro::kelm
