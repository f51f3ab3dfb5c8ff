// Semantic checks of a parsed model: names and scopes, types, indexing,
// linearity, the objective and constraint labels.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>

#include "tavro/compiler/functions.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

std::string type_text(const Type& t) {
    switch (t.base) {
        case Base::Int: return "int";
        case Base::Float: return "float";
        case Base::String: return "string";
        case Base::Bool: return "a condition";
        case Base::Tuple: return "tuple " + t.tuple->name;
        case Base::Error: return "?";
    }
    return "?";
}

namespace {

struct Info {
    Type type;
    int degree = 0;  // 0 data, 1 linear in the decision variables, 2 not linear
};

struct Where {
    bool data_only;
    const char* what;  // "an index", "a filter", ...
};
constexpr Where kModel{false, "an expression"};

bool numeric(const Type& t) { return t.base == Base::Int || t.base == Base::Float || t.base == Base::Error; }

// A numeral (with an optional sign) whose value is a whole number in 64-bit
// range: it may stand where an int is expected (1e9, 3.0).
bool whole_literal(const Expr& e) {
    const Expr* n = &e;
    if (n->kind == EK::Unary && n->text == "-") n = n->kids[0].get();
    return n->kind == EK::Number && !n->is_int && std::isfinite(n->fval) && n->fval == std::floor(n->fval) &&
           std::fabs(n->fval) < 9.2e18;
}

bool is_infinity(const Expr& e) {
    const Expr* n = &e;
    if (n->kind == EK::Unary && n->text == "-") n = n->kids[0].get();
    return n->kind == EK::Number && std::isinf(n->fval);
}
bool ok(const Type& t) { return t.base != Base::Error; }

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Checker {
public:
    explicit Checker(Program& p) : p_(p), d_(*p.diag) {}
    void run();

private:
    void err(Pos pos, std::string text) { d_.error(File::Model, pos, std::move(text)); }
    Sym* declare(Decl& d, SymKind kind);
    Type resolve(const TypeRef& t, bool data);
    Sym* index_set(const ExprPtr& e, const char* what);
    void open_clauses(std::vector<Clause>& cls, const ExprPtr& filter);
    void close_clauses(std::size_t n) { scope_.resize(scope_.size() - n); }
    Sym* lookup(const Expr& e);
    Info check(const Expr& e, const Where& w);
    Info check_name(const Expr& e, const Where& w);
    Info check_index(const Expr& e, const Where& w);
    Info check_binary(const Expr& e, const Where& w);
    Info check_power(const Expr& e);
    Info combine(const Expr& e, Info l, Info r);  // e's operator applied to its checked operands
    Info check_call(const Expr& e, const Where& w);
    void expect_numeric(const Expr& e, const Info& i, const char* what);
    void expect_bool(const Expr& e, const Info& i, const char* what);
    void check_set_element(const Expr& e, const Type& t, const std::string& set);
    void constraint(Constraint& c);
    void label(const std::string& name, Pos pos);
    void tuple_decl(Decl& d);
    void param_decl(Decl& d);
    Info computed_array(Decl& d, Sym& s, const Type& t);
    void set_decl(Decl& d);
    void dvar_decl(Decl& d);
    void dims(Decl& d, Sym& s);
    void open_dims(const Decl& d, Sym& s);
    void dexpr_decl(Decl& d);
    void implication(Constraint& c);
    bool constant(const Expr& e) const;
    void int_value(const Expr& e, const Info& i, const std::string& what);

    Program& p_;
    Diagnostics& d_;
    std::vector<Sym*> scope_;
    std::unordered_map<std::string_view, const Decl*> all_decls_;
    std::unordered_map<std::string_view, Pos> index_names_;
    std::unordered_set<std::string_view> sum_indices_;  // names once bound by a sum
    std::unordered_set<std::string> slips_;             // ...and reported out of scope
    std::unordered_map<std::string, Pos> labels_;
    const Decl* current_ = nullptr;  // the data declaration being checked
    const Decl* objective_ = nullptr;
    const Decl* block_ = nullptr;
};

void Checker::run() {
    for (auto& d : p_.model.decls)
        if (d.kind != DK::Objective && d.kind != DK::Constraints) all_decls_.emplace(d.name, &d);
    for (auto& d : p_.model.decls) {
        sum_indices_.clear();
        slips_.clear();
        switch (d.kind) {
            case DK::Tuple: tuple_decl(d); break;
            case DK::Range: {
                Sym* s = declare(d, SymKind::Range);
                const Expr& r = *d.value;
                for (auto& k : r.kids) {
                    Info i = check(*k, {true, "a range bound"});
                    if (ok(i.type) && i.type.base != Base::Int && !whole_literal(*k))
                        err(k->pos, "range bound must be an int, found " + type_text(i.type));
                }
                if (s) {
                    s->type = {Base::Int};
                    s->range = d.value.get();
                }
                break;
            }
            case DK::Param: param_decl(d); break;
            case DK::Set: set_decl(d); break;
            case DK::Dvar: dvar_decl(d); break;
            case DK::Dexpr: dexpr_decl(d); break;
            case DK::Objective:
                if (objective_) {
                    err(d.pos, "a model has exactly one objective: one is already given at line " +
                                   std::to_string(objective_->pos.line));
                } else {
                    objective_ = &d;
                }
                if (!d.name.empty()) label(d.name, d.name_pos);
                expect_numeric(*d.value, check(*d.value, kModel), "the objective");
                break;
            case DK::Constraints:
                if (block_)
                    err(d.pos, "only one 'subject to' block is allowed; the first is at line " +
                                   std::to_string(block_->pos.line));
                block_ = &d;
                for (auto& c : d.constraints) constraint(c);
                break;
        }
    }
    if (!objective_)  // where it was due: before the constraints, else at the end
        err(block_ ? block_->pos : p_.model.end,
            "no objective: add 'minimize <expression>;' or 'maximize <expression>;'");
}

Sym* Checker::declare(Decl& d, SymKind kind) {
    if (Sym* old = p_.find(d.name)) {
        err(d.name_pos, quote(d.name) + " is already declared at line " + std::to_string(old->pos.line));
        return nullptr;
    }
    Sym& s = p_.add_sym(kind, d.name, d.name_pos);
    s.decl = &d;
    d.sym = &s;
    p_.globals.emplace(s.name, &s);
    return &s;
}

Type Checker::resolve(const TypeRef& t, bool data) {
    switch (t.base) {
        case Tok::KwInt: return {Base::Int};
        case Tok::KwFloat: return {Base::Float};
        case Tok::KwString: return {Base::String};
        case Tok::KwBoolean:
            if (data) {
                err(t.pos, "'boolean' is a decision variable type: declare data as int");
                return {};
            }
            return {Base::Int};
        default: break;
    }
    Sym* s = p_.find(t.tuple);
    if (s && s->kind == SymKind::TupleType) return {Base::Tuple, s->decl};
    std::string hint;
    if (!s) {
        std::vector<std::string_view> tuples;
        for (auto& [name, sym] : p_.globals)
            if (sym->kind == SymKind::TupleType) tuples.push_back(name);
        std::string c = closest(t.tuple, tuples);
        if (!c.empty()) hint = "; did you mean " + quote(c) + "?";
    }
    err(t.pos, "unknown type " + quote(t.tuple) + ": 'int', 'float', 'string' or a declared tuple expected" + hint);
    return {};
}

void Checker::tuple_decl(Decl& d) {
    std::unordered_set<std::string_view> seen;
    for (auto& f : d.fields) {
        if (!seen.insert(f.name).second)
            err(f.pos, "field " + quote(f.name) + " appears twice in tuple " + quote(d.name));
        if (f.type.base == Tok::Name || f.type.base == Tok::KwBoolean)
            err(f.type.pos, "tuple fields are int, float or string");
    }
    declare(d, SymKind::TupleType);
}

// index_set -> NAME of a range or set | lo..hi
Sym* Checker::index_set(const ExprPtr& e, const char* what) {
    if (e->kind == EK::Range) {
        for (auto& k : e->kids) {
            Info i = check(*k, {true, "a range bound"});
            if (ok(i.type) && i.type.base != Base::Int && !whole_literal(*k))
                err(k->pos, "range bound must be an int, found " + type_text(i.type));
        }
        Sym& s = p_.add_sym(SymKind::Range, "", e->pos);
        s.type = {Base::Int};
        s.range = e.get();
        return &s;
    }
    if (e->kind == EK::Name) {
        Sym* s = lookup(*e);
        if (!s) return nullptr;
        if (s->kind == SymKind::Range || s->kind == SymKind::Set) return s;
    }
    err(e->pos, std::string(what) + " must be a set, a range or lo..hi; found " +
                    (e->kind == EK::Name ? quote(e->text) : std::string("an expression")));
    return nullptr;
}

void Checker::dims(Decl& d, Sym& s) {
    for (auto& e : d.dims) {
        Sym* set = index_set(e, "an array index set");
        s.dims.push_back(set);
        if (!set) s.bad = true;
    }
}

std::string dims_form(const Decl& d) {
    std::string out;
    const char* names[] = {"i", "j", "k", "l", "m"};
    for (std::size_t k = 0; k < d.dims.size(); ++k) {
        std::string set = d.dims[k]->kind == EK::Name ? d.dims[k]->text : std::string("...");
        out += "[" + std::string(k < 5 ? names[k] : "i" + std::to_string(k)) + " in " + set + "]";
    }
    return out;
}

void Checker::param_decl(Decl& d) {
    Type t = resolve(d.type, true);
    Sym tmp(SymKind::Param, d.name, d.name_pos);
    dims(d, tmp);
    Info init;
    current_ = &d;
    if (d.value) {
        if (!d.dims.empty() && d.dim_vars.empty()) {
            err(d.value->pos, "array " + quote(d.name) + " takes its values from the data: write '= ...;' and give '" +
                                  d.name + " = [...];' in the data (or name its indices to compute it: " + d.name +
                                  dims_form(d) + " = <expression>;)");
        } else if (!d.dims.empty()) {
            computed_array(d, tmp, t);
        } else if (d.value->kind == EK::TupleLit && t.base == Base::Tuple) {
            check_set_element(*d.value, t, d.name);
            init.type = t;
        } else {
            init = check(*d.value, {true, "a data value"});
            if (ok(t) && ok(init.type) && !(t.base == init.type.base && t.tuple == init.type.tuple) &&
                !(t.base == Base::Float && init.type.base == Base::Int) &&
                !(t.base == Base::Int && whole_literal(*d.value)))
                err(d.value->pos, quote(d.name) + " is " + type_text(t) + " but its value is " + type_text(init.type));
        }
    }
    current_ = nullptr;
    Sym* s = declare(d, SymKind::Param);
    if (!s) return;
    s->type = t;
    s->dims = std::move(tmp.dims);
    s->bad = tmp.bad || !ok(t);
    s->needs_data = !d.value;
}

// float d[i in I][j in J] = e; the named indices are in scope in e, which is
// data only and of the array's type.
Info Checker::computed_array(Decl& d, Sym& s, const Type& t) {
    if (t.base == Base::Tuple) {
        err(d.type.pos, "a computed array holds int, float or string values, not tuples");
        return {};
    }
    for (std::size_t k = 0; k < d.dim_vars.size(); ++k)
        if (d.dim_vars[k].empty()) {  // (from a dictionary tree: the parser refuses it)
            err(d.dims[k]->pos, "a computed array names every index: " + d.name + dims_form(d) + " = <expression>;");
            return {};
        }
    std::size_t opened = scope_.size();
    open_dims(d, s);
    Info i = check(*d.value, {true, "a computed array"});
    close_clauses(scope_.size() - opened);
    if (ok(t) && ok(i.type) && !(t.base == i.type.base) && !(t.base == Base::Float && i.type.base == Base::Int) &&
        !(t.base == Base::Int && whole_literal(*d.value)))
        err(start_of(*d.value), quote(d.name) + " is " + type_text(t) + " but its value is " + type_text(i.type) +
                                    (t.base == Base::Int && i.type.base == Base::Float
                                         ? " (declare it float, or make the value whole with round, floor or ceil)"
                                         : ""));
    return i;
}

void Checker::check_set_element(const Expr& e, const Type& t, const std::string& set) {
    if (t.base == Base::Tuple) {
        const auto& fields = t.tuple->fields;
        if (e.kind != EK::TupleLit) {
            err(e.pos, "element of " + quote(set) + " must be a tuple <...> of " + quote(t.tuple->name));
            return;
        }
        if (e.kids.size() != fields.size()) {
            err(e.pos, "tuple " + quote(t.tuple->name) + " has " + plural(fields.size(), "field", "fields") +
                           ", this value has " + std::to_string(e.kids.size()));
            return;
        }
        for (std::size_t k = 0; k < fields.size(); ++k) {
            Type ft = resolve(fields[k].type, true);
            check_set_element(*e.kids[k], ft, set);
        }
        return;
    }
    Info i;
    if (e.kind == EK::TupleLit) {
        err(e.pos, "a tuple <...> found where " + type_text(t) + " is expected");
        return;
    }
    i = check(e, {true, "a set value"});
    if (ok(t) && ok(i.type) && !(t.base == i.type.base) && !(t.base == Base::Float && i.type.base == Base::Int) &&
        !(t.base == Base::Int && whole_literal(e)))
        err(e.pos, type_text(t) + " expected in " + quote(set) + ", found " + type_text(i.type));
}

void Checker::set_decl(Decl& d) {
    Type t = resolve(d.type, true);
    if (d.value)
        for (auto& el : d.value->kids) check_set_element(*el, t, d.name);
    Sym* s = declare(d, SymKind::Set);
    if (!s) return;
    s->type = t;
    s->bad = !ok(t);
    s->needs_data = !d.value;
}

// The named indices of [j in P] in scope (for bounds and a dexpr's expression).
void Checker::open_dims(const Decl& d, Sym& s) {
    for (std::size_t k = 0; k < d.dim_vars.size(); ++k) {
        if (d.dim_vars[k].empty()) continue;
        const std::string& v = d.dim_vars[k];
        Pos pos = d.dim_var_pos[k];
        for (Sym* open : scope_)
            if (open->name == v) err(pos, "index " + quote(v) + " is already in use: choose another name");
        if (Sym* g = p_.find(v))
            err(pos, "index " + quote(v) + " hides the declaration at line " + std::to_string(g->pos.line) +
                         ": choose another name");
        Sym& ix = p_.add_sym(SymKind::Index, v, pos);
        ix.type = s.dims[k] ? s.dims[k]->type : Type{};
        scope_.push_back(&ix);
        index_names_.emplace(ix.name, pos);
    }
}

void Checker::dvar_decl(Decl& d) {
    Sym tmp(SymKind::Dvar, d.name, d.name_pos);
    dims(d, tmp);
    std::size_t opened = scope_.size();
    open_dims(d, tmp);
    if (d.low) {
        if (d.type.base == Tok::KwBoolean) err(d.low->pos, "a boolean variable takes no bounds (it is 0 or 1)");
        for (const Expr* b : {d.low.get(), d.high.get()}) {
            if (b->kind == EK::Name && !d.dims.empty()) {
                Sym* a = p_.find(b->text);
                if (a && a->kind == SymKind::Param && !a->dims.empty()) {
                    const char* names[] = {"i", "j", "k", "l", "m"};
                    std::string idx;
                    for (std::size_t k = 0; k < a->dims.size(); ++k)
                        idx += "[" + std::string(k < 5 ? names[k] : "i" + std::to_string(k)) + "]";
                    const Expr* other = b == d.low.get() ? d.high.get() : d.low.get();
                    std::string o = expr_text(*other);
                    if (o.size() > 20) o = b == d.low.get() ? "hi" : "lo";
                    std::string bounds = b == d.low.get() ? b->text + idx + ".." + o : o + ".." + b->text + idx;
                    err(b->pos, "bound " + quote(b->text) + " is an array: name the indices and index it, dvar " +
                                    std::string(d.type.base == Tok::KwFloat ? "float" : "int") + (d.nonneg ? "+" : "") +
                                    " " + d.name + dims_form(d) + " in " + bounds + ";");
                    continue;
                }
            }
            Info i = check(*b, {true, "a variable bound"});
            expect_numeric(*b, i, "a variable bound");
        }
    }
    close_clauses(scope_.size() - opened);
    Sym* s = declare(d, SymKind::Dvar);
    if (!s) return;
    s->type = {d.type.base == Tok::KwFloat ? Base::Float : Base::Int};
    s->dims = std::move(tmp.dims);
}

void Checker::dexpr_decl(Decl& d) {
    Sym tmp(SymKind::Dexpr, d.name, d.name_pos);
    dims(d, tmp);
    std::size_t opened = scope_.size();
    open_dims(d, tmp);
    for (std::size_t k = 0; k < d.dim_vars.size(); ++k)
        if (d.dim_vars[k].empty())
            err(d.dims[k]->pos, "an indexed dexpr names its indices: dexpr float " + d.name + dims_form(d) + " = ...;");
    Info i = check(*d.value, kModel);
    expect_numeric(*d.value, i, "a dexpr");
    if (d.type.base == Tok::KwInt && i.type.base == Base::Float)
        err(d.value->pos, "dexpr " + quote(d.name) + " is int but its expression is float (declare it 'dexpr float')");
    close_clauses(scope_.size() - opened);
    Sym* s = declare(d, SymKind::Dexpr);
    if (s) {
        s->degree = i.degree;
        s->type = {d.type.base == Tok::KwInt ? Base::Int : Base::Float};
        s->dims = std::move(tmp.dims);
        s->bad = tmp.bad;
    }
}

// Data only and free of index variables: its value is known once the data is read.
bool Checker::constant(const Expr& e) const {
    switch (e.kind) {
        case EK::Number:
        case EK::String: return true;
        case EK::Name: {
            for (Sym* v : scope_)
                if (v->name == e.text) return false;
            Sym* s = p_.find(e.text);
            return s && s->kind == SymKind::Param && s->dims.empty();
        }
        case EK::Index: {
            Sym* s = p_.find(e.kids[0]->text);
            if (!s || s->kind != SymKind::Param) return false;
            for (std::size_t k = 1; k < e.kids.size(); ++k)
                if (!constant(*e.kids[k])) return false;
            return true;
        }
        case EK::Unary:
        case EK::Binary:
        case EK::Field:
            for (auto& k : e.kids)
                if (!constant(*k)) return false;
            return true;
        case EK::Call:
            if (e.text == "card") return true;
            for (auto& k : e.kids)
                if (!constant(*k)) return false;
            return true;
        default: return false;
    }
}

void Checker::implication(Constraint& c) {
    const Expr& w = *c.when;
    const Expr& base = w.kind == EK::Index ? *w.kids[0] : w;
    Sym* s = nullptr;
    for (Sym* v : scope_)
        if (v->name == base.text) s = v;
    if (!s) s = p_.find(base.text);
    Info i = check(w, kModel);
    if (!ok(i.type)) return;
    if (!s || s->kind != SymKind::Dvar || !s->decl || s->decl->type.base != Tok::KwBoolean) {
        err(w.pos, "the left of '=>' must be a boolean decision variable (declared 'dvar boolean'), found " +
                       quote(base.text));
    }
}

void Checker::open_clauses(std::vector<Clause>& cls, const ExprPtr& filter) {
    std::size_t opened = 0;
    for (auto& c : cls) {
        Sym* set = index_set(c.set, "'in'");
        for (auto it = scope_.rbegin(); it != scope_.rend(); ++it)
            if ((*it)->name == c.var) {
                err(c.pos, "index " + quote(c.var) + " is already in use (line " + std::to_string((*it)->pos.line) +
                               "): choose another name");
                break;
            }
        if (Sym* g = p_.find(c.var))
            err(c.pos, "index " + quote(c.var) + " hides the declaration at line " + std::to_string(g->pos.line) +
                           ": choose another name");
        Sym& s = p_.add_sym(SymKind::Index, c.var, c.pos);
        s.type = set ? set->type : Type{};
        scope_.push_back(&s);
        index_names_.emplace(s.name, c.pos);
        ++opened;
    }
    (void)opened;
    if (filter) expect_bool(*filter, check(*filter, {true, "a filter"}), "filter");
}

Sym* Checker::lookup(const Expr& e) {
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it)
        if ((*it)->name == e.text) return *it;
    if (Sym* s = p_.find(e.text)) return s;
    if (current_ && current_->name == e.text) {
        err(e.pos, quote(e.text) + " is used in its own value: a value may use only the data declared before it");
        return nullptr;
    }
    auto later = all_decls_.find(e.text);
    if (later != all_decls_.end()) {
        if (later->second->sym == nullptr && later->second->pos.line >= e.pos.line &&
            !(later->second->pos.line == e.pos.line && later->second->pos.col < e.pos.col)) {
            err(e.pos, quote(e.text) + " is used before its declaration at line " +
                           std::to_string(later->second->pos.line) + ": declare it first");
            return nullptr;
        }
    }
    if (index_names_.count(e.text)) {
        if (sum_indices_.count(e.text)) {
            if (!slips_.insert(e.text).second) return nullptr;  // said once per statement
            err(e.pos, "index " + quote(e.text) +
                           " is not in scope here: sum(...) takes only the term after it; "
                           "to sum several terms put them in parentheses: sum(" +
                           e.text + " in ...) (a[" + e.text + "] + b[" + e.text + "])");
        } else
            err(e.pos,
                "index " + quote(e.text) + " is not in scope here: an index exists only inside its sum or forall");
        return nullptr;
    }
    std::vector<std::string_view> names = p_.global_names();
    for (Sym* s : scope_) names.push_back(s->name);
    std::string c = closest(e.text, names);
    std::string lower = e.text;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (c.empty() && (lower == "inf" || lower == "infinity" || lower == "infty")) c = "infinity";
    err(e.pos, "unknown name " + quote(e.text) + (c.empty() ? std::string() : "; did you mean " + quote(c) + "?"));
    return nullptr;
}

void Checker::expect_numeric(const Expr& e, const Info& i, const char* what) {
    if (!numeric(i.type)) err(e.pos, std::string(what) + " must be a number, found " + type_text(i.type));
}

void Checker::expect_bool(const Expr& e, const Info& i, const char* what) {
    if (ok(i.type) && i.type.base != Base::Bool)
        err(e.pos, std::string(what) + " must be a condition (such as i != j), found " + type_text(i.type));
}

Info Checker::check(const Expr& e, const Where& w) {
    switch (e.kind) {
        case EK::Number: return {{e.is_int ? Base::Int : Base::Float}};
        case EK::String: return {{Base::String}};
        case EK::Name: return check_name(e, w);
        case EK::Index: return check_index(e, w);
        case EK::Field: {
            Info b = check(*e.kids[0], w);
            if (!ok(b.type)) return {};
            if (b.type.base != Base::Tuple) {
                err(e.pos, "field " + quote(e.text) + " of a value that is not a tuple (" + type_text(b.type) + ")");
                return {};
            }
            const Decl* t = b.type.tuple;
            std::vector<std::string_view> names;
            for (auto& f : t->fields) {
                if (f.name == e.text) return {resolve(f.type, true), b.degree};
                names.push_back(f.name);
            }
            std::string c = closest(e.text, names);
            std::string list;
            for (auto n : names) list += (list.empty() ? "" : ", ") + std::string(n);
            err(e.pos, "tuple " + quote(t->name) + " has no field " + quote(e.text) +
                           (c.empty() ? " (fields: " + list + ")" : "; did you mean " + quote(c) + "?"));
            return {};
        }
        case EK::Unary: {
            Info i = check(*e.kids[0], w);
            if (e.text == "!") {
                if (!w.data_only && i.degree > 0) err(e.pos, "'!' applies to conditions on data only");
                expect_bool(*e.kids[0], i, "operand of '!'");
                return {{Base::Bool}};
            }
            expect_numeric(*e.kids[0], i, "operand of '-'");
            return i;
        }
        case EK::Binary: return e.text == "^" ? check_power(e) : check_binary(e, w);
        case EK::Sum: {
            for (auto& c : e.clauses) sum_indices_.insert(c.var);
            open_clauses(const_cast<std::vector<Clause>&>(e.clauses), e.filter);
            Info i = check(*e.kids[0], w);
            expect_numeric(*e.kids[0], i, "the body of sum");
            close_clauses(e.clauses.size());
            if (i.type.base == Base::Bool) i.type = {};
            return i;
        }
        case EK::Aggregate: {
            open_clauses(const_cast<std::vector<Clause>&>(e.clauses), e.filter);
            Info i = check(*e.kids[0], {true, (e.text + "(...)").c_str()});
            expect_numeric(*e.kids[0], i, (e.text + "(...)").c_str());
            close_clauses(e.clauses.size());
            return {numeric(i.type) ? i.type : Type{}};
        }
        case EK::Call: return check_call(e, w);
        case EK::TupleLit: err(e.pos, "a tuple <...> is only allowed as an element of a set value"); return {};
        case EK::SetLit:
            err(e.pos, "a set literal { ... } is only allowed as the value of a set declaration");
            return {};
        case EK::Range: err(e.pos, "a range lo..hi is only allowed after 'in' or in a range declaration"); return {};
    }
    return {};
}

Info Checker::check_name(const Expr& e, const Where& w) {
    Sym* s = lookup(e);
    if (!s) return {};
    switch (s->kind) {
        case SymKind::Index: return {s->type};
        case SymKind::Param:
        case SymKind::Dvar:
        case SymKind::Dexpr:
            if (!s->dims.empty()) {
                err(e.pos, quote(s->name) + " is an array of " + plural(s->dims.size(), "dimension", "dimensions") +
                               ": index it as " + s->name + "[...]");
                return {};
            }
            if (s->kind == SymKind::Param) return {s->type};
            if (w.data_only) {
                err(e.pos, std::string(s->kind == SymKind::Dvar ? "decision variable " : "dexpr ") + quote(s->name) +
                               " is not allowed in " + w.what + " (data only)");
                return {};
            }
            return {s->type, s->kind == SymKind::Dvar ? 1 : s->degree};
        case SymKind::Range:
        case SymKind::Set:
            err(e.pos, quote(s->name) + " is a " + (s->kind == SymKind::Range ? "range" : "set") +
                           ", not a value: use it as 'i in " + s->name + "' or card(" + s->name + ")");
            return {};
        case SymKind::TupleType: err(e.pos, quote(s->name) + " is a tuple type, not a value"); return {};
    }
    return {};
}

Info Checker::check_index(const Expr& e, const Where& w) {
    const Expr& base = *e.kids[0];
    Sym* s = lookup(base);
    std::size_t given = e.kids.size() - 1;
    auto check_indices = [&] {
        for (std::size_t k = 1; k < e.kids.size(); ++k) check(*e.kids[k], {true, "an index"});
    };
    if (!s) {
        check_indices();
        return {};
    }
    if ((s->kind != SymKind::Param && s->kind != SymKind::Dvar && s->kind != SymKind::Dexpr) || s->dims.empty()) {
        err(e.pos, quote(s->name) + " is not an array and cannot be indexed");
        check_indices();
        return {};
    }
    if (given != s->dims.size()) {
        err(e.kids[given < s->dims.size() ? 0 : s->dims.size() + 1]->pos,
            "wrong number of indices for " + quote(s->name) + ": " + std::to_string(s->dims.size()) + " expected, " +
                std::to_string(given) + " given");
        check_indices();
        return {};
    }
    for (std::size_t k = 0; k < given; ++k) {
        const Expr& idx = *e.kids[k + 1];
        Info i = check(idx, {true, "an index"});
        Sym* set = s->dims[k];
        if (!set || !ok(i.type) || !ok(set->type)) continue;
        const Type& want = set->type;
        if (i.type.base != want.base || i.type.tuple != want.tuple) {
            std::string of = set->name.empty() ? "its range" : quote(set->name);
            err(idx.pos, "index " + std::to_string(k + 1) + " of " + quote(s->name) + " must be " + type_text(want) +
                             " (an element of " + of + "), found " + type_text(i.type));
            continue;
        }
        const Expr* lit = &idx;
        bool neg = false;
        if (lit->kind == EK::Unary && lit->text == "-" && lit->kids[0]->kind == EK::Number) {
            neg = true;
            lit = lit->kids[0].get();
        }
        if (lit->kind == EK::Number && lit->is_int)
            p_.const_indices.push_back(
                {idx.pos, s, k, Value(neg ? -lit->ival : lit->ival), std::to_string(neg ? -lit->ival : lit->ival)});
        else if (lit->kind == EK::String)
            p_.const_indices.push_back({idx.pos, s, k, Value(lit->text), "\"" + lit->text + "\""});
        else if (constant(idx))
            p_.computed_indices.push_back({start_of(idx), s, k, Value(), "", &idx});
    }
    if (s->kind == SymKind::Dvar || s->kind == SymKind::Dexpr) {
        if (w.data_only) {
            err(base.pos, std::string(s->kind == SymKind::Dvar ? "decision variable " : "dexpr ") + quote(s->name) +
                              " is not allowed in " + w.what + " (data only)");
            return {};
        }
        return {s->type, s->kind == SymKind::Dvar ? 1 : s->degree};
    }
    return {s->type};
}

// A chain a + b + c ... is a left spine of Binary nodes: walked in a loop, so
// that the recursion depth follows nesting, not the length of the chain.
Info Checker::check_binary(const Expr& e, const Where& w) {
    std::vector<const Expr*> spine;
    const Expr* n = &e;
    for (; n->kind == EK::Binary && n->text != "^"; n = n->kids[0].get()) spine.push_back(n);
    Info l = check(*n, w);
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) l = combine(**it, l, check(*(*it)->kids[1], w));
    return l;
}

Info Checker::combine(const Expr& e, Info l, Info r) {
    const std::string& op = e.text;
    if (op == "&&" || op == "||") {
        expect_bool(*e.kids[0], l, ("operand of '" + op + "'").c_str());
        expect_bool(*e.kids[1], r, ("operand of '" + op + "'").c_str());
        return {{Base::Bool}};
    }
    if (op == "==" || op == "!=" || op == "<" || op == "<=" || op == ">" || op == ">=") {
        if (l.degree > 0 || r.degree > 0) {
            err(e.pos, "comparison " + quote(op) +
                           " of decision variables inside an expression: "
                           "write constraints as 'e1 <= e2;' in 'subject to'");
            return {{Base::Bool}};
        }
        bool eq = op == "==" || op == "!=";
        if (ok(l.type) && ok(r.type)) {
            bool same = (numeric(l.type) && numeric(r.type)) ||
                        (eq && l.type.base == r.type.base && l.type.tuple == r.type.tuple && l.type.base != Base::Bool);
            if (!same)
                err(e.pos,
                    "cannot compare " + type_text(l.type) + " with " + type_text(r.type) + " using " + quote(op));
        }
        return {{Base::Bool}};
    }
    if (op == "mod") {
        for (auto* side : {&l, &r}) {
            const Expr& k = *e.kids[side == &l ? 0 : 1];
            if (side->degree > 0)
                err(k.pos, "'mod' applies to data only, not to decision variables");
            else if (ok(side->type) && side->type.base != Base::Int)
                err(k.pos, "'mod' needs int operands, found " + type_text(side->type));
        }
        return {{Base::Int}};
    }
    // + - * /
    for (auto* side : {&l, &r}) {
        const Expr& k = *e.kids[side == &l ? 0 : 1];
        if (!numeric(side->type)) {
            err(k.pos, "operator " + quote(op) + " needs numbers, found " + type_text(side->type));
            side->type = {};
        }
    }
    Info out;
    out.type = (l.type.base == Base::Int && r.type.base == Base::Int && op != "/") ? Type{Base::Int}
               : (ok(l.type) && ok(r.type))                                        ? Type{Base::Float}
                                                                                   : Type{};
    if (op == "*") {
        if (l.degree > 0 && r.degree > 0) {
            err(e.pos,
                "not linear: product of two terms with decision variables (the solver takes linear models only)");
            out.degree = 1;
        } else {
            out.degree = l.degree + r.degree;
            if (out.degree > 0 && (is_infinity(*e.kids[0]) || is_infinity(*e.kids[1])))
                err(e.pos, "'infinity' cannot multiply a decision variable (it is only a value or a bound)");
        }
    } else if (op == "/") {
        if (r.degree > 0)
            err(e.pos, "not linear: division by a term with decision variables (the solver takes linear models only)");
        out.degree = std::max(l.degree, r.degree);  // no second error about a constraint without variables
    } else {
        out.degree = std::max(l.degree, r.degree);
    }
    return out;
}

// a ^ b: data only; an int when both are ints.
Info Checker::check_power(const Expr& e) {
    Info l = check(*e.kids[0], {true, "'^'"}), r = check(*e.kids[1], {true, "'^'"});
    expect_numeric(*e.kids[0], l, "operand of '^'");
    expect_numeric(*e.kids[1], r, "operand of '^'");
    if (!ok(l.type) || !ok(r.type) || !numeric(l.type) || !numeric(r.type)) return {};
    return {{int_result(Fn::Pow, l.type.base == Base::Int && r.type.base == Base::Int) ? Base::Int : Base::Float}};
}

Info Checker::check_call(const Expr& e, const Where& w) {
    (void)w;
    const std::string& fn = e.text;
    std::string what = fn + "(...)";
    if (const FnInfo* f = data_function(fn)) {
        if (e.kids.size() != static_cast<std::size_t>(f->arity))
            err(e.pos,
                fn + (f->arity == 1 ? " takes one argument: " + fn + "(e)" : " takes two arguments: " + fn + "(a, b)"));
        bool ints = true, typed = true;
        for (auto& a : e.kids) {
            Info i = check(*a, {true, what.c_str()});
            expect_numeric(*a, i, ("argument of " + fn).c_str());
            ints = ints && i.type.base == Base::Int;
            typed = typed && ok(i.type) && numeric(i.type);
        }
        if (!typed) return {};  // no second error after a bad argument
        return {{int_result(f->fn, ints) ? Base::Int : Base::Float}};
    }
    if (fn == "card") {
        if (e.kids.size() != 1) err(e.pos, "card takes one set or range: card(S)");
        const Expr& a = *e.kids[0];
        if (a.kind == EK::Name) {
            Sym* s = lookup(a);
            if (s && s->kind != SymKind::Set && s->kind != SymKind::Range)
                err(a.pos, "card needs a set or range, found " + quote(a.text));
        } else {
            err(a.pos, "card needs the name of a set or range");
        }
        return {{Base::Int}};
    }
    if (fn == "abs" && e.kids.size() != 1) err(e.pos, "abs takes one argument: abs(e)");
    if ((fn == "min" || fn == "max") && e.kids.size() < 2)
        err(e.pos, fn + " takes two or more values, " + fn + "(a, b), or an index: " + fn + "(i in I) e");
    bool all_int = true;
    for (auto& a : e.kids) {
        Info i = check(*a, {true, what.c_str()});
        expect_numeric(*a, i, ("argument of " + fn).c_str());
        all_int = all_int && (i.type.base == Base::Int || !ok(i.type));  // no second error after a bad argument
    }
    return {{all_int ? Base::Int : Base::Float}};
}

void Checker::label(const std::string& name, Pos pos) {
    auto [it, fresh] = labels_.emplace(name, pos);
    if (!fresh) {
        err(pos, "label " + quote(name) + " is already used at line " + std::to_string(it->second.line));
        return;
    }
    auto d = all_decls_.find(name);
    if (d != all_decls_.end())
        err(pos, "label " + quote(name) + " is the name of the declaration at line " +
                     std::to_string(d->second->pos.line) + ": choose another label");
}

void Checker::constraint(Constraint& c) {
    if (c.kind == Constraint::Forall) {
        open_clauses(c.clauses, c.filter);
        for (auto& b : c.body) constraint(b);
        close_clauses(c.clauses.size());
        return;
    }
    sum_indices_.clear();
    slips_.clear();  // the slip is within one constraint
    if (!c.label.empty()) label(c.label, c.label_pos);
    if (c.when) implication(c);
    std::vector<Info> infos;
    for (auto& t : c.terms) {
        Info i = check(*t, kModel);
        expect_numeric(*t, i, "a side of a constraint");
        infos.push_back(i);
    }
    if (c.terms.size() == 3) {
        if (c.ops[0] != c.ops[1] || c.ops[0] == Tok::EqEq)
            err(c.op_pos[1], "a range constraint is written lo <= e <= hi or hi >= e >= lo");
        for (int k : {0, 2})
            if (infos[k].degree > 0)
                err(c.terms[k]->pos, "in a range constraint lo <= e <= hi the bounds must be data");
    }
    bool any = std::any_of(infos.begin(), infos.end(), [](const Info& i) { return i.degree > 0; });
    bool typed = std::all_of(infos.begin(), infos.end(), [](const Info& i) { return ok(i.type); });
    if (!any && typed) err(c.pos, "constraint without decision variables: it compares data only");
}

}  // namespace

std::string expr_text(const Expr& e) {
    switch (e.kind) {
        case EK::Number:
            if (!e.text.empty()) return e.text;
            return e.is_int ? std::to_string(e.ival) : value_text(Value(e.fval));
        case EK::String: return "\"" + e.text + "\"";
        case EK::Name: return e.text;
        case EK::Index: {
            std::string out = e.kids[0]->text;
            for (std::size_t k = 1; k < e.kids.size(); ++k) out += "[" + expr_text(*e.kids[k]) + "]";
            return out;
        }
        case EK::Field: return expr_text(*e.kids[0]) + "." + e.text;
        case EK::Unary: return e.text + expr_text(*e.kids[0]);
        case EK::Binary: {
            std::string sep = e.text == "mod" ? " mod " : e.text;
            auto side = [&](const Expr& k) { return k.kind == EK::Binary ? "(" + expr_text(k) + ")" : expr_text(k); };
            return side(*e.kids[0]) + sep + side(*e.kids[1]);
        }
        case EK::Call: {
            std::string out = e.text + "(";
            for (std::size_t k = 0; k < e.kids.size(); ++k) out += (k ? ", " : "") + expr_text(*e.kids[k]);
            return out + ")";
        }
        default: return "...";
    }
}

void check_computed_indices(Program& p) {
    for (auto& ci : p.computed_indices) {
        auto v = evaluate(p, *ci.expr);
        if (!v) continue;
        ci.key = std::move(*v);
        if (ci.key.is<double>()) {  // a whole float names an int index
            double f = ci.key.as<double>();
            if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) < 9.2e18)
                ci.key = Value(static_cast<std::int64_t>(f));
        }
        // "(from ...)" only where the expression reads differently from its value.
        ci.text = value_text(ci.key);
        std::string from = expr_text(*ci.expr);
        if (from != ci.text) ci.text += " (from " + from + ")";
        p.const_indices.push_back(std::move(ci));
    }
    p.computed_indices.clear();
}

void check_model(Program& p) {
    Checker c(p);
    c.run();
}

}  // namespace tavro::kelm
