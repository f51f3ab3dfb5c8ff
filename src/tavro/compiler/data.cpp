// Data file reader: splits the file into 'name = value;' statements, then
// reads each value, guided by its declaration, in the model's declaration
// order (so index sets are known before the arrays over them).
#include <cctype>
#include <cmath>
#include <unordered_set>

#include "tavro/compiler/bind.hpp"
#include "tavro/compiler/parser.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

namespace {

struct Statement {
    Sym* sym;
    Pos name_pos;
    std::size_t offset;  // of the value's first token
    Pos value_pos;
};

class DataReader {
public:
    DataReader(Program& p, std::string_view src, std::string_view folder)
        : p_(p), d_(*p.diag), src_(src), tables_(std::string(folder)) {}
    void run();

private:
    void split();
    bool fast_split();
    void add(const std::string& n, Statement st, std::unordered_map<const Sym*, Pos>& seen);
    void err(Pos pos, std::string text) { d_.error(File::Data, pos, std::move(text)); }
    void read(const Statement& st);
    NumbersPtr flat_numbers(const Statement& st);
    Value value(TokenStream& ts, Sym& s, std::size_t dim);
    Value array(TokenStream& ts, Sym& s, std::size_t dim);
    Value keyed(TokenStream& ts, Sym& s, std::size_t dim);
    Value scalar(TokenStream& ts, const Type& t, Sym& s);
    Value set_value(TokenStream& ts, Sym& s);

    std::unordered_set<std::string> broken_;  // statements with a syntax error (reported)
    Program& p_;
    Diagnostics& d_;
    bool reread_ = false;  // the token-level split() ran first
    std::string_view src_;
    std::unordered_map<const Sym*, Statement> statements_;
    Tables tables_;
};

const char* kind_name(Tok t) {
    switch (t) {
        case Tok::Int: return "integer";
        case Tok::Float: return "number";
        case Tok::String: return "string";
        default: return nullptr;
    }
}

std::string plural_text(std::size_t n) { return std::to_string(n) + (n == 1 ? " value" : " values"); }

std::string found(const Token& t) {
    const char* k = kind_name(t.kind);
    return k ? std::string(k) + " " + describe(t) : describe(t);
}

void DataReader::add(const std::string& n, Statement st, std::unordered_map<const Sym*, Pos>& seen) {
    Sym* s = p_.find(n);
    std::string fault = data_name_fault(p_, n, s);
    if (!fault.empty()) {
        err(st.name_pos, fault);
        return;
    }
    auto [it, fresh] = seen.emplace(s, st.name_pos);
    if (!fresh) {
        err(st.name_pos,
            "data for " + quote(n) + " given twice (first at line " + std::to_string(it->second.line) + ")");
        return;
    }
    st.sym = s;
    statements_.emplace(s, st);
}

// statement -> NAME '=' value ';'
void DataReader::split() {
    Lexer lex(src_, File::Data, d_);
    lex.set_convert(false);
    TokenStream ts(lex, d_);
    std::unordered_map<const Sym*, Pos> seen;
    while (!ts.check(Tok::End)) {
        std::string current;
        try {
            Token name = ts.expect_name("name");
            ts.expect(Tok::Assign);
            current = std::string(name.raw);
            Statement st{nullptr, name.pos, lex.offset_of(ts.cur), ts.cur.pos};
            if (ts.check(Tok::Semi)) ts.expected("value");
            int depth = 0;
            bool ended = false;
            while (!ended) {
                switch (ts.cur.kind) {
                    case Tok::End: ts.expected("';'");
                    case Tok::Semi:
                        ts.next();
                        ended = true;
                        continue;
                    case Tok::LBracket:
                    case Tok::LBrace:
                    case Tok::HashLBracket:
                    case Tok::Lt: ++depth; break;
                    case Tok::RBracket:
                    case Tok::RBrace:
                    case Tok::RBracketHash:
                    case Tok::Gt: --depth; break;
                    case Tok::Name:
                        if (ts.ahead().kind == Tok::Assign) {
                            ts.expected("';'");
                        }
                        break;
                    default: break;
                }
                ts.next();
            }
            (void)depth;
            add(std::string(name.raw), st, seen);
        } catch (const SyntaxError&) {
            if (!current.empty()) broken_.insert(current);  // no second error: "has no value"
            // resume after the next ';' or at the next 'name ='
            while (!ts.check(Tok::End)) {
                if (ts.check(Tok::Semi)) {
                    ts.next();
                    break;
                }
                if (ts.check(Tok::Name) && ts.ahead().kind == Tok::Assign) break;
                ts.next();
            }
        }
    }
}

// A quick scan for the statements of a well-formed file (no lexing of the
// values); false on anything unusual, and the token-level split() reports it.
bool DataReader::fast_split() {
    const char* s = src_.data();
    std::size_t n = src_.size(), i = 0;
    int line = 1;
    std::size_t line_start = 0;
    if (n >= 3 && src_.compare(0, 3, "\xEF\xBB\xBF") == 0) i = line_start = 3;
    auto pos_at = [&](std::size_t at) {
        Pos p{line, 1};
        for (std::size_t k = line_start; k < at; ++k)
            if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) ++p.col;
        return p;
    };
    // skips blanks and comments; false on an unterminated comment
    auto blank = [&]() {
        for (;;) {
            if (i >= n) return true;
            char c = s[i];
            if (c == '\n') {
                ++line;
                line_start = ++i;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
            } else if (c == '/' && i + 1 < n && s[i + 1] == '/') {
                while (i < n && s[i] != '\n') ++i;
            } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
                std::size_t end = src_.find("*/", i + 2);
                if (end == std::string_view::npos) return false;
                for (std::size_t k = i; k < end; ++k)
                    if (s[k] == '\n') ++line, line_start = k + 1;
                i = end + 2;
            } else {
                return true;
            }
        }
    };
    std::vector<std::pair<std::string, Statement>> found;
    for (;;) {
        if (!blank()) return false;
        if (i >= n) break;
        std::size_t name_start = i;
        if (!is_name_start(s[i])) return false;
        while (i < n && is_name_char(s[i])) ++i;
        std::string name(s + name_start, i - name_start);
        Pos name_pos = pos_at(name_start);
        if (!blank() || i >= n || s[i] != '=' || (i + 1 < n && s[i + 1] == '=')) return false;
        ++i;
        if (!blank() || i >= n) return false;
        Statement st{nullptr, name_pos, i, pos_at(i)};
        for (;;) {  // to the ';'
            if (i >= n) return false;
            char c = s[i];
            if (c == ';') break;
            if (c == '\n') {
                ++line;
                line_start = ++i;
                // 'name =' at the start of a line: a missing ';'
                std::size_t k = i;
                while (k < n && (s[k] == ' ' || s[k] == '\t' || s[k] == '\r')) ++k;
                std::size_t id = k;
                while (k < n && is_name_char(s[k])) ++k;
                while (k < n && (s[k] == ' ' || s[k] == '\t')) ++k;
                if (k > id && k < n && s[k] == '=' && (k + 1 >= n || s[k + 1] != '=')) return false;
                continue;
            }
            if (c == '"') {
                ++i;
                while (i < n && s[i] != '"' && s[i] != '\n') i += s[i] == '\\' ? 2 : 1;
                if (i >= n || s[i] != '"') return false;
            } else if (c == '/' && i + 1 < n && (s[i + 1] == '/' || s[i + 1] == '*')) {
                if (!blank()) return false;
                continue;
            } else if (c == '=' || (static_cast<unsigned char>(c) & 0x80)) {
                return false;  // odd text: let the lexer judge
            }
            ++i;
        }
        ++i;
        found.emplace_back(std::move(name), st);
    }
    std::unordered_map<const Sym*, Pos> seen;
    for (auto& [name, st] : found) add(name, st, seen);
    return true;
}

void DataReader::run() {
    if (!fast_split()) {
        statements_.clear();
        split();
        reread_ = true;
    }
    walk_data_decls(p_, [&](Sym& s) {
        auto it = statements_.find(&s);
        if (it == statements_.end()) {
            if (!s.bad && !broken_.count(s.name))
                d_.error(File::Model, s.pos, quote(s.name) + " has no value: give '" + s.name + " = ...;' in the data");
            s.bad = true;
            return;
        }
        read(it->second);
    });
}

// A whole float (1e3) read as an int; other values unchanged.
Value whole(Value v) {
    if (v.is<double>()) {
        double f = v.as<double>();
        if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) < 9.2e18) return Value(static_cast<std::int64_t>(f));
    }
    return v;
}

// An array (or decision variable) over index sets too large to build is a
// size error, reported once at its declaration.
bool size_ok(Program& p, Sym& s) {
    std::uint64_t n = 1;
    for (Sym* dim : s.dims) {
        if (!dim || !dim->elements.known) return true;
        std::uint64_t k = dim->elements.size();
        if (k == 0) return true;
        if (n > kMaxElements / k) {
            p.diag->error(File::Model, s.pos,
                          quote(s.name) + " is too large: more than " + std::to_string(kMaxElements) +
                              " elements over its index sets");
            return false;
        }
        n *= k;
    }
    return true;
}

}  // namespace

std::string range_size_fault(std::int64_t lo, std::int64_t hi, std::string_view name) {
    std::int64_t span = 0;
    if (hi < lo || (!__builtin_sub_overflow(hi, lo, &span) && static_cast<std::uint64_t>(span) < kMaxElements))
        return {};
    std::string bounds = std::to_string(lo) + ".." + std::to_string(hi);
    std::string what = name.empty() ? "range " + bounds : "range " + quote(name) + " (" + bounds + ")";
    return what + " is too large: more than " + std::to_string(kMaxElements) + " elements";
}

namespace {

void range_elements(Program& p, Sym& s) {
    if (!s.range || s.bad) return;
    auto lo = evaluate(p, *s.range->kids[0]);
    auto hi = evaluate(p, *s.range->kids[1]);
    if (lo) lo = whole(std::move(*lo));
    if (hi) hi = whole(std::move(*hi));
    if (lo && hi && lo->is<std::int64_t>() && hi->is<std::int64_t>()) {
        std::string fault = range_size_fault(lo->as<std::int64_t>(), hi->as<std::int64_t>(), s.name);
        if (!fault.empty()) {
            p.diag->error(File::Model, s.pos, std::move(fault));
            s.bad = true;
            return;
        }
        s.elements.known = true;
        s.elements.is_range = true;
        s.elements.low = lo->as<std::int64_t>();
        s.elements.high = hi->as<std::int64_t>();
        s.value = Value(Dict{{"low", *lo}, {"high", *hi}});
    }
}

// A value computed in the model, stored as its declared type: an int in a
// float becomes a float, a whole float in an int an int; tuple fields are
// named and converted the same way.
void convert(Value& v, const Type& t) {
    if (t.base == Base::Float && v.is<std::int64_t>()) v = Value(static_cast<double>(v.as<std::int64_t>()));
    if (t.base == Base::Int) v = whole(std::move(v));
    if (v.is<Dict>() && t.base == Base::Tuple) {
        auto& fields = t.tuple->fields;
        Dict& dct = v.as<Dict>();
        for (std::size_t f = 0; f < dct.size() && f < fields.size(); ++f) {
            dct[f].first = fields[f].name;
            Tok ft = fields[f].type.base;
            convert(dct[f].second, {ft == Tok::KwInt ? Base::Int : ft == Tok::KwFloat ? Base::Float : Base::String});
        }
    }
}

void model_value(Program& p, Sym& s) {
    const Expr* init = s.decl ? s.decl->value.get() : nullptr;
    if (!init) return;
    if (s.kind == SymKind::Set) {
        List items;
        Elements& el = s.elements;
        bool all = true;
        for (auto& k : init->kids) {
            auto v = evaluate(p, *k);
            if (!v) {
                all = false;
                continue;
            }
            convert(*v, s.type);
            auto [it, fresh] = el.position.emplace(element_key(*v), items.size());
            if (!fresh) {
                p.diag->error(File::Model, k->pos, "duplicate element " + value_text(*v) + " in set " + quote(s.name));
                continue;
            }
            items.push_back(std::move(*v));
        }
        el.known = all;
        el.count = items.size();
        if (all) s.value = Value(std::move(items));
        return;
    }
    if (!s.dims.empty()) {  // a computed array
        compute_array(p, s);
        return;
    }
    auto v = evaluate(p, *init);
    if (!v) return;
    convert(*v, s.type);
    s.value = std::move(*v);
}

void DataReader::read(const Statement& st) {
    Sym& s = *st.sym;
    if (NumbersPtr flat = flat_numbers(st)) {
        s.value = Value(std::move(flat));
        return;
    }
    Lexer lex(src_, File::Data, d_, st.offset, st.value_pos);
    lex.set_char_errors(!reread_);  // split() reported them
    TokenStream ts(lex, d_);
    try {
        if (is_binding(ts)) {
            bind_table(p_, s, ts, tables_);
            if (!ts.check(Tok::Semi)) ts.expected("';'");
            return;
        }
        Value v = s.kind == SymKind::Set ? set_value(ts, s) : value(ts, s, 0);
        if (!ts.check(Tok::Semi)) ts.expected("';'");
        if (!s.bad) s.value = std::move(v);
    } catch (const SyntaxError&) {
        s.bad = true;
    }
}

// A numeric array written plainly ('[' numbers and nested arrays ']', the
// counts its index sets want, ';'), read in one pass over the bytes into a
// flat array. Anything else (comments, keyed arrays, a trailing comma, a
// number out of range, infinity, a wrong count, ...) gives nullptr and the
// token reader reads the value, reporting what it finds.
NumbersPtr DataReader::flat_numbers(const Statement& st) {
    Sym& s = *st.sym;
    if (s.bad || s.kind != SymKind::Param || s.dims.empty() || (s.type.base != Base::Int && s.type.base != Base::Float))
        return nullptr;
    auto out = std::make_shared<Numbers>();
    out->is_int = s.type.base == Base::Int;
    std::size_t total = 1;
    for (const Sym* d : s.dims) {
        if (!d || !d->elements.known || d->elements.size() == 0) return nullptr;
        out->shape.push_back(d->elements.size());
        total *= d->elements.size();  // within kMaxElements: size_ok() ran
    }
    const char* p = src_.data() + st.offset;
    const char* end = src_.data() + src_.size();
    if (total > static_cast<std::size_t>(end - p) / 2 + 1) return nullptr;  // too short to hold them
    if (out->is_int)
        out->ints.reserve(total);
    else
        out->floats.reserve(total);
    auto space = [&] {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
    };
    const std::size_t rank = out->shape.size();
    std::vector<std::size_t> count(rank, 0);  // items so far at each open level
    std::size_t depth = 0;                    // open brackets
    for (;;) {
        // an item of the level `depth` (0: the whole value)
        space();
        if (depth < rank) {
            if (p == end || *p != '[') return nullptr;
            ++p;
            count[depth++] = 0;
            continue;
        }
        bool neg = false;
        if (p < end && (*p == '-' || *p == '+')) neg = *p++ == '-';
        Numeral n = scan_numeral(p, end);
        if (n.end == p || (n.end < end && is_name_start(*n.end))) return nullptr;
        std::string_view raw(p, static_cast<std::size_t>(n.end - p));
        p = n.end;
        std::int64_t iv = 0;
        double fv = 0;
        if (!numeral_value(raw, n.is_float, iv, fv)) return nullptr;
        if (n.is_float) {
            if (out->is_int) {
                Value w = whole(Value(fv));
                if (!w.is<std::int64_t>()) return nullptr;
                out->ints.push_back(neg ? -w.as<std::int64_t>() : w.as<std::int64_t>());
            } else {
                out->floats.push_back(neg ? -fv : fv);
            }
        } else if (out->is_int) {
            out->ints.push_back(neg ? -iv : iv);
        } else {
            out->floats.push_back(neg ? -static_cast<double>(iv) : static_cast<double>(iv));
        }
        // after an item: ',' and the next one, or ']' closing its level (and maybe more)
        for (;;) {
            ++count[depth - 1];
            space();
            if (p == end) return nullptr;
            if (*p == ',') {
                ++p;
                if (count[depth - 1] == out->shape[depth - 1]) return nullptr;  // one too many
                break;
            }
            if (*p != ']' || count[depth - 1] != out->shape[depth - 1]) return nullptr;
            ++p;
            if (--depth == 0) {
                space();
                if (p == end || *p != ';') return nullptr;
                return out;
            }
        }
    }
}

std::string dims_text(const Sym& s) {
    std::string out;
    for (const Sym* d : s.dims) out += "[" + (d && !d->name.empty() ? d->name : std::string("range")) + "]";
    return out;
}

Value DataReader::value(TokenStream& ts, Sym& s, std::size_t dim) {
    if (dim == s.dims.size()) return scalar(ts, s.type, s);
    Level level(ts);
    if (ts.check(Tok::HashLBracket)) return keyed(ts, s, dim);
    if (ts.check(Tok::LBracket)) return array(ts, s, dim);
    ts.fail_at(ts.cur.pos, "'[' expected for " + quote(s.name) + " (an array " + s.name + dims_text(s) + "), found " +
                               found(ts.cur));
}

// array -> '[' [ value { ',' value } ] ']'
Value DataReader::array(TokenStream& ts, Sym& s, std::size_t dim) {
    Pos open = ts.cur.pos;
    ts.next();
    Sym* set = s.dims[dim];
    bool known = set && set->elements.known;
    std::size_t want = known ? set->elements.size() : 0;
    List items;
    if (known) items.reserve(want);
    if (!ts.check(Tok::RBracket)) {
        do {
            if (ts.check(Tok::RBracket)) break;  // a trailing comma
            items.push_back(value(ts, s, dim + 1));
        } while (ts.accept(Tok::Comma));
    }
    ts.expect_match(Tok::RBracket, Tok::LBracket, open);
    if (known && items.size() != want) {
        std::string of = set->name.empty() ? "its range" : quote(set->name);
        err(open, "array " + quote(s.name) + " needs " + plural_text(want) + " for " + of + " (dimension " +
                      std::to_string(dim + 1) + "), found " + std::to_string(items.size()));
        s.bad = true;
    }
    return Value(std::move(items));
}

// keyed -> '#[' [ key ':' value { ',' key ':' value } ] ']#'
Value DataReader::keyed(TokenStream& ts, Sym& s, std::size_t dim) {
    Pos open = ts.cur.pos;
    ts.next();
    Sym* set = s.dims[dim];
    bool known = set && set->elements.known;
    std::size_t want = known ? set->elements.size() : 0;
    std::vector<std::optional<Value>> slots(want);
    std::string of = set && !set->name.empty() ? quote(set->name) : std::string("its range");
    if (!ts.check(Tok::RBracketHash)) {
        do {
            if (ts.check(Tok::RBracketHash)) break;
            Pos kp = ts.cur.pos;
            Type kt = set ? set->type : Type{};
            Value key = kt.base == Base::Error ? Value() : scalar(ts, kt, *set);
            ts.expect(Tok::Colon);
            Value v = value(ts, s, dim + 1);
            if (!known || key.is_null()) continue;
            std::size_t at = want;
            if (set->elements.is_range) {
                std::int64_t k = key.as<std::int64_t>();
                if (k >= set->elements.low && k <= set->elements.high)
                    at = static_cast<std::size_t>(k - set->elements.low);
            } else {
                auto it = set->elements.position.find(element_key(key));
                if (it != set->elements.position.end()) at = it->second;
            }
            if (at == want) {
                err(kp, "key " + value_text(key) + " of " + quote(s.name) + " is not an element of " + of);
                s.bad = true;
            } else if (slots[at]) {
                err(kp, "key " + value_text(key) + " of " + quote(s.name) + " appears twice");
                s.bad = true;
            } else {
                slots[at] = std::move(v);
            }
        } while (ts.accept(Tok::Comma));
    }
    ts.expect_match(Tok::RBracketHash, Tok::HashLBracket, open);
    List items;
    items.reserve(want);
    for (std::size_t k = 0; k < want; ++k) {
        if (!slots[k]) {
            if (!s.bad) {
                std::string key;
                if (set->elements.is_range) {
                    key = std::to_string(set->elements.low + static_cast<std::int64_t>(k));
                } else if (set->value && set->value->is<List>()) {
                    key = value_text(set->value->as<List>()[k]);
                }
                err(open, "keyed array for " + quote(s.name) + " has no value for " + key + " of " + of);
            }
            s.bad = true;
            continue;
        }
        items.push_back(std::move(*slots[k]));
    }
    return Value(std::move(items));
}

// scalar -> ['+'|'-'] NUMBER | STRING | '<' scalar { ',' scalar } '>'
Value DataReader::scalar(TokenStream& ts, const Type& t, Sym& s) {
    auto wrong = [&](const char* want) {
        ts.fail_at(ts.cur.pos, std::string(want) + " expected for " + quote(s.name) + ", found " + found(ts.cur));
    };
    switch (t.base) {
        case Base::Int:
        case Base::Float: {
            bool neg = false;
            Pos sign = ts.cur.pos;
            if (ts.check(Tok::Minus) || ts.check(Tok::Plus)) {
                neg = ts.check(Tok::Minus);
                ts.next();
            }
            if (ts.check(Tok::Int)) {
                std::int64_t v = ts.cur.ival;
                ts.next();
                if (t.base == Base::Int) return Value(neg ? -v : v);
                return Value(neg ? -static_cast<double>(v) : static_cast<double>(v));
            }
            if (ts.check(Tok::Float)) {
                double v = ts.cur.fval;
                if (t.base == Base::Int) {
                    Value w = whole(Value(v));
                    if (!w.is<std::int64_t>())
                        ts.fail_at(sign, "integer expected for " + quote(s.name) + " (declared int), found number " +
                                             describe(ts.cur));
                    ts.next();
                    return Value(neg ? -w.as<std::int64_t>() : w.as<std::int64_t>());
                }
                ts.next();
                return Value(neg ? -v : v);
            }
            if (ts.check(Tok::KwInfinity) && t.base == Base::Float) {
                ts.next();
                return Value(neg ? -HUGE_VAL : HUGE_VAL);
            }
            if (ts.check(Tok::Name)) {
                std::string w(ts.cur.raw);
                for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (w.rfind("inf", 0) == 0)
                    ts.fail_at(ts.cur.pos, std::string(t.base == Base::Int ? "integer" : "number") + " expected for " +
                                               quote(s.name) + ", found " + describe(ts.cur) +
                                               (t.base == Base::Int ? " (an int has no infinity)"
                                                                    : " (write infinity or -infinity)"));
            }
            wrong(t.base == Base::Int ? "integer" : "number");
            __builtin_unreachable();  // wrong() throws
        }
        case Base::String:
            if (ts.check(Tok::String)) {
                Value v(ts.lexer().string_value());
                ts.next();
                return v;
            }
            wrong("string");
            __builtin_unreachable();
        case Base::Tuple: {
            const auto& fields = t.tuple->fields;
            Pos open = ts.cur.pos;
            if (!ts.check(Tok::Lt)) wrong(("tuple <...> of " + quote(t.tuple->name)).c_str());
            ts.next();
            Dict out;
            out.reserve(fields.size());
            for (std::size_t k = 0;; ++k) {
                if (k == fields.size() || ts.check(Tok::Gt)) {
                    std::size_t n = k;
                    while (!ts.check(Tok::Gt) && !ts.check(Tok::End) && !ts.check(Tok::Semi)) {
                        if (ts.check(Tok::Comma)) ++n;
                        ts.next();
                    }
                    if (n != fields.size())
                        ts.fail_at(open, "tuple " + quote(t.tuple->name) + " has " + std::to_string(fields.size()) +
                                             (fields.size() == 1 ? " field" : " fields") + ", this value has " +
                                             std::to_string(n));
                    break;
                }
                if (k > 0) ts.expect(Tok::Comma);
                Type ft = fields[k].type.base == Tok::KwInt      ? Type{Base::Int}
                          : fields[k].type.base == Tok::KwString ? Type{Base::String}
                                                                 : Type{Base::Float};
                out.emplace_back(fields[k].name, scalar(ts, ft, s));
            }
            ts.expect_match(Tok::Gt, Tok::Lt, open);
            return Value(std::move(out));
        }
        default:
            ts.fail_at(ts.cur.pos, "no value can be read for " + quote(s.name) + " (its declaration has an error)");
    }
}

// set_value -> '{' [ scalar { ',' scalar } ] '}'
Value DataReader::set_value(TokenStream& ts, Sym& s) {
    Pos open = ts.cur.pos;
    if (!ts.check(Tok::LBrace)) ts.fail_at(open, "'{' expected for set " + quote(s.name) + ", found " + found(ts.cur));
    ts.next();
    List items;
    Elements& el = s.elements;
    if (!ts.check(Tok::RBrace)) {
        do {
            if (ts.check(Tok::RBrace)) break;
            Pos p = ts.cur.pos;
            Value v = scalar(ts, s.type, s);
            auto [it, fresh] = el.position.emplace(element_key(v), items.size());
            if (!fresh) {
                err(p, "duplicate element " + value_text(v) + " in set " + quote(s.name));
                s.bad = true;
                continue;
            }
            items.push_back(std::move(v));
        } while (ts.accept(Tok::Comma));
    }
    ts.expect_match(Tok::RBrace, Tok::LBrace, open);
    el.count = items.size();
    el.known = !s.bad;
    return Value(std::move(items));
}

}  // namespace

std::string data_name_fault(const Program& p, const std::string& name, const Sym* s) {
    if (!s) {
        std::vector<std::string_view> wanted;
        for (auto& sym : p.syms)
            if (sym.needs_data && !sym.name.empty()) wanted.push_back(sym.name);
        std::string c = closest(name, wanted);
        return "data for " + quote(name) + ", which the model does not declare" +
               (c.empty() ? std::string() : "; did you mean " + quote(c) + "?");
    }
    if (s->kind == SymKind::Dvar || s->kind == SymKind::Dexpr)
        return "data for " + quote(name) + ", which is a decision " +
               (s->kind == SymKind::Dvar ? "variable" : "expression") +
               ": the solver finds its value; remove it from the data";
    if (!s->needs_data)
        return "data for " + quote(name) + ", whose value the model already gives (line " +
               std::to_string(s->pos.line) + "); declare it with '= ...' or remove it here";
    return {};
}

// Elements of a named or inline range whose bounds are known.
void compute_range_elements(Program& p, Sym& s) { range_elements(p, s); }

// Value of a set or scalar given in the model (not the data).
void evaluate_model_value(Program& p, Sym& s) { model_value(p, s); }

void walk_data_decls(Program& p, const std::function<void(Sym&)>& from_data) {
    for (auto& d : p.model.decls) {
        Sym* s = d.sym;
        if (!s) continue;
        if (s->kind == SymKind::Range) {
            range_elements(p, *s);
            continue;
        }
        if (s->kind == SymKind::Dvar || s->kind == SymKind::Dexpr) {
            for (Sym* dim : s->dims)
                if (dim && dim->range && !dim->elements.known) range_elements(p, *dim);
            size_ok(p, *s);
            continue;
        }
        if (s->kind != SymKind::Param && s->kind != SymKind::Set) continue;
        for (Sym* dim : s->dims)
            if (dim && dim->range && !dim->elements.known) range_elements(p, *dim);
        if (!size_ok(p, *s)) {
            s->bad = true;
            continue;
        }
        if (s->needs_data)
            from_data(*s);
        else
            model_value(p, *s);
    }
}

void read_data(Program& p, std::string_view data, std::string_view folder) {
    DataReader r(p, data, folder);
    r.run();
}

}  // namespace tavro::kelm
