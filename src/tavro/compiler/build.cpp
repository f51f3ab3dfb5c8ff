// The compiled model: the syntax tree as dictionaries and lists (node shapes
// in docs/compiled_model.md) and the data dictionary.
#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/problem.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

namespace {

Value opt(const ExprPtr& e);

const char* type_name(const TypeRef& t) {
    switch (t.base) {
        case Tok::KwInt: return "int";
        case Tok::KwFloat: return "float";
        case Tok::KwString: return "string";
        case Tok::KwBoolean: return "boolean";
        default: return nullptr;
    }
}

Value type_value(const TypeRef& t) {
    const char* n = type_name(t);
    return n ? Value(n) : Value(t.tuple);
}

Value expr(const Expr& e);

Value clauses(const std::vector<Clause>& cls) {
    List out;
    for (auto& c : cls) out.push_back(Dict{{"name", c.var}, {"set", expr(*c.set)}});
    return out;
}

Value exprs(const std::vector<ExprPtr>& es, std::size_t from = 0) {
    List out;
    for (std::size_t k = from; k < es.size(); ++k) out.push_back(expr(*es[k]));
    return out;
}

Value expr(const Expr& e) {
    switch (e.kind) {
        case EK::Number: return Dict{{"type", "number"}, {"value", e.is_int ? Value(e.ival) : Value(e.fval)}};
        case EK::String: return Dict{{"type", "string"}, {"value", e.text}};
        case EK::Name: return Dict{{"type", "name"}, {"name", e.text}};
        case EK::Index: return Dict{{"type", "index"}, {"name", e.kids[0]->text}, {"indices", exprs(e.kids, 1)}};
        case EK::Field: return Dict{{"type", "field"}, {"base", expr(*e.kids[0])}, {"field", e.text}};
        case EK::Unary: return Dict{{"type", "unary"}, {"op", e.text}, {"operand", expr(*e.kids[0])}};
        case EK::Binary: {  // the left spine of a chain in a loop: depth follows nesting, not length
            std::vector<const Expr*> spine;
            const Expr* n = &e;
            for (; n->kind == EK::Binary; n = n->kids[0].get()) spine.push_back(n);
            Value acc = expr(*n);
            for (auto it = spine.rbegin(); it != spine.rend(); ++it)
                acc = Dict{{"type", "binary"},
                           {"op", (*it)->text},
                           {"left", std::move(acc)},
                           {"right", expr(*(*it)->kids[1])}};
            return acc;
        }
        case EK::Sum:
            return Dict{{"type", "sum"},
                        {"indices", clauses(e.clauses)},
                        {"filter", opt(e.filter)},
                        {"body", expr(*e.kids[0])}};
        case EK::Aggregate:
            return Dict{{"type", "aggregate"},
                        {"function", e.text},
                        {"indices", clauses(e.clauses)},
                        {"filter", opt(e.filter)},
                        {"body", expr(*e.kids[0])}};
        case EK::Call: return Dict{{"type", "call"}, {"function", e.text}, {"args", exprs(e.kids)}};
        case EK::TupleLit: return Dict{{"type", "tuple_literal"}, {"elements", exprs(e.kids)}};
        case EK::SetLit: return Dict{{"type", "set_literal"}, {"elements", exprs(e.kids)}};
        case EK::Range: return Dict{{"type", "range"}, {"low", expr(*e.kids[0])}, {"high", expr(*e.kids[1])}};
    }
    return Value();
}

Value opt(const ExprPtr& e) { return e ? expr(*e) : Value(); }

Value label(const std::string& s) { return s.empty() ? Value() : Value(s); }

Value index_names(const Decl& d) {
    List out;
    for (auto& v : d.dim_vars) out.push_back(label(v));
    return out;
}

Value constraint(const Constraint& c) {
    if (c.kind == Constraint::Forall) {
        List body;
        for (auto& b : c.body) body.push_back(constraint(b));
        return Dict{{"type", "forall"},
                    {"line", c.pos.line},
                    {"indices", clauses(c.clauses)},
                    {"filter", opt(c.filter)},
                    {"constraints", std::move(body)}};
    }
    if (c.when)
        return Dict{{"type", "implication"},
                    {"name", label(c.label)},
                    {"line", c.pos.line},
                    {"variable", expr(*c.when)},
                    {"value", std::int64_t{c.when_value}},
                    {"op", token_name(c.ops[0])},
                    {"left", expr(*c.terms[0])},
                    {"right", expr(*c.terms[1])}};
    if (c.terms.size() == 3)
        return Dict{{"type", "range_constraint"}, {"name", label(c.label)},   {"line", c.pos.line},
                    {"op", token_name(c.ops[0])}, {"low", expr(*c.terms[0])}, {"expr", expr(*c.terms[1])},
                    {"high", expr(*c.terms[2])}};
    return Dict{{"type", "constraint"},       {"name", label(c.label)},    {"line", c.pos.line},
                {"op", token_name(c.ops[0])}, {"left", expr(*c.terms[0])}, {"right", expr(*c.terms[1])}};
}

Value decl(const Decl& d) {
    switch (d.kind) {
        case DK::Tuple: {
            List fields;
            for (auto& f : d.fields) fields.push_back(Dict{{"name", f.name}, {"type", type_value(f.type)}});
            return Dict{{"type", "tuple"}, {"name", d.name}, {"line", d.pos.line}, {"fields", std::move(fields)}};
        }
        case DK::Range:
            return Dict{{"type", "range"},
                        {"name", d.name},
                        {"line", d.pos.line},
                        {"low", expr(*d.value->kids[0])},
                        {"high", expr(*d.value->kids[1])}};
        case DK::Set:
            return Dict{{"type", "set"},
                        {"name", d.name},
                        {"line", d.pos.line},
                        {"element_type", type_value(d.type)},
                        {"value", opt(d.value)}};
        case DK::Param: {
            Dict out{{"type", "param"},
                     {"name", d.name},
                     {"line", d.pos.line},
                     {"value_type", type_value(d.type)},
                     {"indices", exprs(d.dims)}};
            if (!d.dim_vars.empty()) out.emplace_back("index_names", index_names(d));  // a computed array
            out.emplace_back("value", opt(d.value));
            return out;
        }
        case DK::Dvar:
            return Dict{{"type", "dvar"},
                        {"name", d.name},
                        {"line", d.pos.line},
                        {"var_type", type_value(d.type)},
                        {"nonnegative", d.nonneg},
                        {"indices", exprs(d.dims)},
                        {"index_names", index_names(d)},
                        {"low", opt(d.low)},
                        {"high", opt(d.high)}};
        case DK::Dexpr:
            return Dict{{"type", "dexpr"},          {"name", d.name},
                        {"line", d.pos.line},       {"value_type", type_value(d.type)},
                        {"indices", exprs(d.dims)}, {"index_names", index_names(d)},
                        {"expr", expr(*d.value)}};
        case DK::Objective:
            return Dict{{"type", "objective"},
                        {"name", label(d.name)},
                        {"line", d.pos.line},
                        {"sense", d.minimize ? "minimize" : "maximize"},
                        {"expr", expr(*d.value)}};
        case DK::Constraints: {
            List cs;
            for (auto& c : d.constraints) cs.push_back(constraint(c));
            return Dict{
                {"type", "constraints"}, {"name", Value()}, {"line", d.pos.line}, {"constraints", std::move(cs)}};
        }
    }
    return Value();
}

}  // namespace

Value build(Program& p) {
    List decls;
    decls.reserve(p.model.decls.size());
    for (auto& d : p.model.decls) decls.push_back(decl(d));
    Dict data;
    for (auto& d : p.model.decls) {
        Sym* s = d.sym;
        if (s && s->value && (s->kind == SymKind::Param || s->kind == SymKind::Set || s->kind == SymKind::Range))
            data.emplace_back(s->name, std::move(*s->value));
    }
    return Dict{{"declarations", std::move(decls)}, {"data", std::move(data)}};
}

void analyse(Program& p, std::string_view model_text, std::string_view data_text, std::string_view folder) {
    Diagnostics& diag = *p.diag;
    // A failed parse of either file may be a swapped pair: one message then.
    auto parse = [&](File file, auto&& pass) {
        try {
            pass();
        } catch (const Abort&) {
            if (!report_swapped(diag, model_text, data_text, file)) throw;
            return;
        }
        if (diag.any()) report_swapped(diag, model_text, data_text, file);
    };
    parse(File::Model, [&] { p.model = parse_model(model_text, diag); });
    if (!diag.any()) check_model(p);
    if (!diag.any()) parse(File::Data, [&] { read_data(p, data_text, folder); });
    if (!diag.any()) check_computed_indices(p);
    if (!diag.any()) check_constant_indices(p);
}

namespace {

CompileResult run(std::string_view model_text, std::string_view data_text, std::string_view folder,
                  const Limits& limits) {
    Diagnostics diag;
    CompileResult out;
    Program p;
    p.diag = &diag;
    p.work.limits = limits;
    try {
        analyse(p, model_text, data_text, folder);
        if (!diag.any()) check_grounding(p);
        if (!diag.any()) {
            out.model = build(p);
            out.ok = true;
            return out;
        }
    } catch (const Abort&) {}
    out.message = stop_message(p, out.stopped);
    return out;
}

}  // namespace

CompileResult compile(std::string_view model_text, std::string_view data_text, std::string_view folder,
                      const Limits& limits) {
    try {
        return run(model_text, data_text, folder, limits);
    } catch (const std::bad_alloc&) {
        return {false, Value(), "model:1:1: out of memory while compiling", StopReason::None};
    }
}

}  // namespace tavro::kelm
