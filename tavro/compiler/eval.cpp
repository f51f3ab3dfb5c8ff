// Values of data-only model expressions (range bounds, scalar and set
// initializers), set-element keys, and the check of constant indices.
#include <cmath>
#include <cstdio>

#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

namespace {

std::string number_text(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

std::optional<double> as_double(const Value& v) {
    if (v.is<std::int64_t>()) return static_cast<double>(v.as<std::int64_t>());
    if (v.is<double>()) return v.as<double>();
    return std::nullopt;
}

}  // namespace

std::string element_key(const Value& v) {
    if (v.is<std::int64_t>()) return "i" + std::to_string(v.as<std::int64_t>());
    if (v.is<double>()) return "f" + number_text(v.as<double>());
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
    if (v.is<double>()) return number_text(v.as<double>());
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

std::optional<Value> evaluate(Program& p, const Expr& e) {
    switch (e.kind) {
        case EK::Number: return e.is_int ? Value(e.ival) : Value(e.fval);
        case EK::String: return Value(e.text);
        case EK::Name: {
            Sym* s = p.find(e.text);
            if (!s || s->kind != SymKind::Param || !s->dims.empty() || !s->value) return std::nullopt;
            return *s->value;
        }
        case EK::Field: {
            auto b = evaluate(p, *e.kids[0]);
            if (!b || !b->is<Dict>()) return std::nullopt;
            for (auto& [k, v] : b->as<Dict>())
                if (k == e.text) return v;
            return std::nullopt;
        }
        case EK::Unary: {
            auto v = evaluate(p, *e.kids[0]);
            if (!v) return std::nullopt;
            if (e.text == "!") return v->is<bool>() ? std::optional<Value>(Value(!v->as<bool>())) : std::nullopt;
            if (v->is<std::int64_t>() && v->as<std::int64_t>() != INT64_MIN) return Value(-v->as<std::int64_t>());
            if (v->is<double>()) return Value(-v->as<double>());
            return std::nullopt;
        }
        case EK::Binary: {
            auto l = evaluate(p, *e.kids[0]);
            auto r = evaluate(p, *e.kids[1]);
            if (!l || !r) return std::nullopt;
            const std::string& op = e.text;
            if (op == "&&" || op == "||") {
                if (!l->is<bool>() || !r->is<bool>()) return std::nullopt;
                return Value(op == "&&" ? (l->as<bool>() && r->as<bool>()) : (l->as<bool>() || r->as<bool>()));
            }
            if (l->is<std::string>() && r->is<std::string>()) {
                if (op == "==") return Value(l->as<std::string>() == r->as<std::string>());
                if (op == "!=") return Value(l->as<std::string>() != r->as<std::string>());
                return std::nullopt;
            }
            if (l->is<std::int64_t>() && r->is<std::int64_t>() && op != "/") {
                std::int64_t a = l->as<std::int64_t>(), b = r->as<std::int64_t>(), out = 0;
                bool overflow = false;
                if (op == "+") overflow = __builtin_add_overflow(a, b, &out);
                else if (op == "-") overflow = __builtin_sub_overflow(a, b, &out);
                else if (op == "*") overflow = __builtin_mul_overflow(a, b, &out);
                else if (op == "==") return Value(a == b);
                else if (op == "!=") return Value(a != b);
                else if (op == "<") return Value(a < b);
                else if (op == "<=") return Value(a <= b);
                else if (op == ">") return Value(a > b);
                else if (op == ">=") return Value(a >= b);
                if (overflow) {
                    p.diag->error(File::Model, e.pos, "integer overflow in " + quote(op));
                    return std::nullopt;
                }
                return Value(out);
            }
            auto a = as_double(*l), b = as_double(*r);
            if (!a || !b) return std::nullopt;
            if (op == "+") return Value(*a + *b);
            if (op == "-") return Value(*a - *b);
            if (op == "*") return Value(*a * *b);
            if (op == "/") {
                if (*b == 0) {
                    p.diag->error(File::Model, e.pos, "division by zero");
                    return std::nullopt;
                }
                return Value(*a / *b);
            }
            if (op == "==") return Value(*a == *b);
            if (op == "!=") return Value(*a != *b);
            if (op == "<") return Value(*a < *b);
            if (op == "<=") return Value(*a <= *b);
            if (op == ">") return Value(*a > *b);
            if (op == ">=") return Value(*a >= *b);
            return std::nullopt;
        }
        case EK::Call: {
            if (e.text == "card") {
                Sym* s = e.kids[0]->kind == EK::Name ? p.find(e.kids[0]->text) : nullptr;
                if (!s || !s->elements.known) return std::nullopt;
                return Value(static_cast<std::int64_t>(s->elements.size()));
            }
            std::vector<Value> args;
            for (auto& k : e.kids) {
                auto v = evaluate(p, *k);
                if (!v || !as_double(*v)) return std::nullopt;
                args.push_back(std::move(*v));
            }
            if (e.text == "abs") {
                if (args.size() != 1) return std::nullopt;
                if (args[0].is<std::int64_t>() && args[0].as<std::int64_t>() != INT64_MIN)
                    return Value(static_cast<std::int64_t>(std::llabs(args[0].as<std::int64_t>())));
                return Value(std::fabs(*as_double(args[0])));
            }
            if (args.empty()) return std::nullopt;
            bool all_int = true;
            for (auto& a : args) all_int = all_int && a.is<std::int64_t>();
            bool want_max = e.text == "max";
            std::size_t best = 0;
            for (std::size_t k = 1; k < args.size(); ++k) {
                double a = *as_double(args[k]), b = *as_double(args[best]);
                if (want_max ? a > b : a < b) best = k;
            }
            if (all_int) return args[best];
            return Value(*as_double(args[best]));
        }
        case EK::TupleLit: {
            Dict out;
            for (auto& k : e.kids) {
                auto v = evaluate(p, *k);
                if (!v) return std::nullopt;
                out.emplace_back("", std::move(*v));
            }
            return Value(std::move(out));
        }
        default: return std::nullopt;
    }
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
