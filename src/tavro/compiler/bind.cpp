// Data bindings: the syntax of `csv(...)`, its shape checked against the
// declaration it binds (a set, a set of tuples, an array of any dimension, a
// keyed single value), and the rows of the table turned into that value in
// one pass. Every fault names the table, its row and column; one fault ends
// the binding.
#include "tavro/compiler/bind.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>

namespace tavro::kelm {

const csv::File& Tables::get(const std::string& name) {
    auto it = files_.find(name);
    if (it == files_.end()) it = files_.emplace(name, csv::read_file(folder_, name)).first;
    return it->second;
}

bool is_binding(TokenStream& ts) {
    return ts.check(Tok::Name) && ts.cur.raw == "csv" && ts.ahead().kind == Tok::LParen;
}

namespace {

struct Column {
    std::string name;
    Pos pos;
    std::size_t field = 0;  // its place in the table's header
};

struct Literal {
    Value value;
    Pos pos;
};

struct Spec {
    Pos at;  // of 'csv'
    std::string file;
    Pos file_pos;
    std::vector<Column> keys;
    bool arrow = false;
    std::optional<Column> value;  // '->' "column"
    std::optional<Literal> constant, selector, fill, diagonal;
    bool symmetric = false;
    Pos symmetric_pos;
};

struct Stop {};  // a fault was reported: the binding ends

Base base_of(const TypeRef& t) {
    return t.base == Tok::KwInt ? Base::Int : t.base == Tok::KwString ? Base::String : Base::Float;
}

// literal -> ['+'|'-'] (INT | FLOAT | 'infinity') | STRING
Literal literal(TokenStream& ts, const std::string& what) {
    Literal out{Value(), ts.cur.pos};
    if (ts.check(Tok::String)) {
        out.value = Value(ts.lexer().string_value());
        ts.next();
        return out;
    }
    bool neg = false;
    if (ts.check(Tok::Minus) || ts.check(Tok::Plus)) {
        neg = ts.check(Tok::Minus);
        ts.next();
    }
    if (ts.check(Tok::Int)) {
        out.value = Value(neg ? -ts.cur.ival : ts.cur.ival);
    } else if (ts.check(Tok::Float)) {
        out.value = Value(neg ? -ts.cur.fval : ts.cur.fval);
    } else if (ts.check(Tok::KwInfinity)) {
        out.value = Value(neg ? -HUGE_VAL : HUGE_VAL);
    } else {
        ts.expected(what);
    }
    ts.next();
    return out;
}

Column column(TokenStream& ts, const char* what) {
    if (!ts.check(Tok::String)) ts.expected(what);
    Column c{ts.lexer().string_value(), ts.cur.pos};
    ts.next();
    return c;
}

// binding -> 'csv' '(' STRING ',' column { ',' column } [ '->' (column | literal) ] ')'
//            [ '[' literal ']' ] { 'default' literal | 'diagonal' literal | 'symmetric' }
Spec parse(TokenStream& ts) {
    Spec sp;
    sp.at = ts.cur.pos;
    ts.next();
    Pos open = ts.cur.pos;
    ts.expect(Tok::LParen);
    Column file = column(ts, "file name (a string)");
    sp.file = std::move(file.name);
    sp.file_pos = file.pos;
    if (!ts.check(Tok::Comma)) ts.expected("',' and a column name");
    ts.next();
    sp.keys.push_back(column(ts, "column name (a string)"));
    while (ts.accept(Tok::Comma)) sp.keys.push_back(column(ts, "column name (a string)"));
    if (ts.accept(Tok::Arrow)) {
        sp.arrow = true;
        if (ts.check(Tok::String))
            sp.value = column(ts, "value column");
        else
            sp.constant = literal(ts, "value column (a string) or a constant");
    }
    ts.expect_match(Tok::RParen, Tok::LParen, open);
    if (ts.check(Tok::LBracket)) {
        Pos lb = ts.cur.pos;
        ts.next();
        sp.selector = literal(ts, "key (a string or number)");
        ts.expect_match(Tok::RBracket, Tok::LBracket, lb);
    }
    while (ts.check(Tok::Name)) {
        std::string word(ts.cur.raw);
        Pos at = ts.cur.pos;
        auto twice = [&] { ts.fail_at(at, quote(word) + " given twice"); };
        if (word == "symmetric") {
            if (sp.symmetric) twice();
            sp.symmetric = true;
            sp.symmetric_pos = at;
            ts.next();
        } else if (word == "default" || word == "diagonal") {
            auto& slot = word == "default" ? sp.fill : sp.diagonal;
            if (slot) twice();
            ts.next();
            slot = literal(ts, "value after " + quote(word));
            slot->pos = at;
        } else {
            std::string c = closest(word, {"default", "diagonal", "symmetric"});
            ts.fail_at(at, quote(word) + " is not a binding option" +
                               (c.empty() ? std::string() : "; did you mean " + quote(c) + "?") +
                               " (options: default V, diagonal V, symmetric)");
        }
    }
    return sp;
}

enum class Cell { Ok, Empty, NotNumber, NotWhole, OutOfRange };

// A cell as a number of the wanted kind, through the lexer's cell scanner:
// blanks around it, a sign, and 'infinity' for a float.
Cell number(std::string_view cell, Base want, std::int64_t& ival, double& fval) {
    const CellNumeral n = scan_cell(cell);
    const bool neg = n.neg;
    switch (n.kind) {
        case CellNumeral::Empty: return Cell::Empty;
        case CellNumeral::Text: return Cell::NotNumber;
        case CellNumeral::Infinity:
            if (want != Base::Float) return Cell::NotNumber;
            fval = neg ? -HUGE_VAL : HUGE_VAL;
            return Cell::Ok;
        case CellNumeral::Numeral: break;
    }
    const std::string_view raw = n.raw;
    if (want == Base::Int && !n.is_float) {
        if (!numeral_value(raw, false, ival, fval)) return Cell::OutOfRange;
        ival = neg ? -ival : ival;
        return Cell::Ok;
    }
    if (!numeral_value(raw, true, ival, fval)) return Cell::OutOfRange;
    fval = neg ? -fval : fval;
    if (want == Base::Float) return Cell::Ok;
    if (fval != std::floor(fval) || std::fabs(fval) >= 9.2e18) return Cell::NotWhole;
    ival = static_cast<std::int64_t>(fval);
    return Cell::Ok;
}

// The key columns of one dimension of an array: its index set, and a cache
// of the last key (long tables repeat the outer keys row after row).
struct Dim {
    const Sym* set;
    std::size_t first;  // first key column
    std::size_t width;  // columns: 1, or a tuple's fields
    std::string last;
    std::size_t last_at = 0;
    bool cached = false;
    std::string key;  // scratch
};

// The elements of an array being bound, row-major: flat numbers or texts,
// and the table row that gave each (0: none yet).
struct Cells {
    static constexpr std::uint32_t kFilled = std::numeric_limits<std::uint32_t>::max();  // by an option

    Cells(Base want, const std::vector<std::size_t>& shape, std::size_t total)
        : numbers(std::make_shared<Numbers>()), row_of(total, 0) {
        numbers->is_int = want == Base::Int;
        numbers->shape = shape;
        if (want == Base::String)
            texts.resize(total);
        else if (numbers->is_int)
            numbers->ints.assign(total, 0);
        else
            numbers->floats.assign(total, 0.0);
    }
    bool strings() const { return !texts.empty(); }
    void put(std::size_t at, const Value& v) {
        if (strings())
            texts[at] = v;
        else if (numbers->is_int)
            numbers->ints[at] = v.as<std::int64_t>();
        else
            numbers->floats[at] = v.as<double>();
    }
    void copy(std::size_t to, std::size_t from) {
        if (strings())
            texts[to] = texts[from];
        else if (numbers->is_int)
            numbers->ints[to] = numbers->ints[from];
        else
            numbers->floats[to] = numbers->floats[from];
    }
    bool same(std::size_t a, std::size_t b) const {
        if (strings()) return texts[a].as<std::string>() == texts[b].as<std::string>();
        if (numbers->is_int) return numbers->ints[a] == numbers->ints[b];
        return numbers->floats[a] == numbers->floats[b];
    }

    std::shared_ptr<Numbers> numbers;
    std::vector<Value> texts;
    std::vector<std::uint32_t> row_of;
};

// One table bound to one declaration.
class Binder {
public:
    Binder(Program& p, Sym& s, Spec& sp, const std::string& text) : p_(p), s_(s), sp_(sp), reader_(text) {}
    void run();

private:
    [[noreturn]] void fail(Pos pos, const std::string& text) {
        p_.diag->error(File::Data, pos, text);
        throw Stop{};
    }
    [[noreturn]] void fail_row(const Column& c, const std::string& text) {
        fail(c.pos, sp_.file + " row " + std::to_string(reader_.row()) + ", column " + c.name + ": " + text);
    }
    [[noreturn]] void fail_in_row(const std::string& text) {
        fail(sp_.at, sp_.file + " row " + std::to_string(reader_.row()) + ": " + text);
    }
    std::string for_sym() const { return " (for " + quote(s_.name) + ")"; }
    bool next_row();
    void header();
    void no_options(const char* what);
    Value cell_value(const Column& c, Base want);
    double cell_number(const Column& c, Base want, std::int64_t& ival, bool* empty = nullptr);
    void set();
    void tuple_set();
    void array();
    std::size_t position(Dim& d);
    std::string key_text(std::size_t offset) const;
    void fill_square(const std::optional<Value>& diagonal);
    void single();

    Program& p_;
    Sym& s_;
    Spec& sp_;
    csv::Reader reader_;
    std::vector<std::string> header_;
    std::vector<std::string_view> row_;
    Cells* cells_ = nullptr;  // of the array being bound
};

bool Binder::next_row() {
    try {
        if (!reader_.next(row_)) return false;
    } catch (const csv::Fault& f) {
        std::string where = sp_.file + " row " + std::to_string(f.row);
        if (f.field < header_.size()) where += ", column " + header_[f.field];
        fail(sp_.at, where + ": " + f.text);
    }
    if (row_.size() != header_.size())
        fail_in_row(std::to_string(row_.size()) + (row_.size() == 1 ? " field" : " fields") + ", the header has " +
                    std::to_string(header_.size()));
    return true;
}

void Binder::header() {
    try {
        if (!reader_.next(row_)) fail(sp_.at, sp_.file + " is empty: a header row with the column names is expected");
    } catch (const csv::Fault& f) {
        fail(sp_.at, sp_.file + " row " + std::to_string(f.row) + ": " + f.text);
    }
    header_.assign(row_.begin(), row_.end());
    auto find = [&](Column& c) {
        std::size_t at = header_.size();
        for (std::size_t k = 0; k < header_.size(); ++k) {
            if (header_[k] != c.name) continue;
            if (at != header_.size())
                fail(c.pos, sp_.file + " has two columns named " + quote(c.name) + " (columns " +
                                std::to_string(at + 1) + " and " + std::to_string(k + 1) + ")");
            at = k;
        }
        if (at == header_.size()) {
            std::vector<std::string_view> names(header_.begin(), header_.end());
            std::string near = closest(c.name, names), list;
            for (std::size_t k = 0; k < header_.size() && k < 12; ++k) list += (k ? ", " : "") + header_[k];
            if (header_.size() > 12) list += ", ...";
            fail(c.pos, sp_.file + " has no column " + quote(c.name) +
                            (near.empty() ? std::string() : "; did you mean " + quote(near) + "?") +
                            " (its columns: " + list + ")");
        }
        c.field = at;
    };
    for (auto& c : sp_.keys) find(c);
    if (sp_.value) find(*sp_.value);
}

void Binder::no_options(const char* what) {
    if (sp_.selector) fail(sp_.selector->pos, "'[...]' picks one cell for a single value; " + quote(s_.name) + what);
    if (sp_.fill)
        fail(sp_.fill->pos, "'default' fills missing keys and empty cells of an array; " + quote(s_.name) + what);
    if (sp_.diagonal) fail(sp_.diagonal->pos, "'diagonal' fills a 2-D array over one set; " + quote(s_.name) + what);
    if (sp_.symmetric) fail(sp_.symmetric_pos, "'symmetric' fills a 2-D array over one set; " + quote(s_.name) + what);
}

// With `empty`, an empty cell sets it and is no fault (the caller fills it).
double Binder::cell_number(const Column& c, Base want, std::int64_t& ival, bool* empty) {
    std::string_view cell = row_[c.field];
    double fval = 0;
    switch (number(cell, want, ival, fval)) {
        case Cell::Ok: return fval;
        case Cell::Empty:
            if (empty) {
                *empty = true;
                return 0;
            }
            fail_row(c, std::string("the cell is empty, ") + (want == Base::Int ? "an integer" : "a number") +
                            " is expected" + for_sym() + "; 'default V' fills empty cells");
        case Cell::NotNumber:
            fail_row(c, quote(cell) + " is not " + (want == Base::Int ? "an integer" : "a number") + for_sym());
        case Cell::NotWhole: fail_row(c, quote(cell) + " is not a whole number" + for_sym() + ", declared int");
        case Cell::OutOfRange: fail_row(c, quote(cell) + " is out of range" + for_sym());
    }
    return fval;
}

Value Binder::cell_value(const Column& c, Base want) {
    if (want == Base::String) return Value(std::string(row_[c.field]));
    std::int64_t i = 0;
    double f = cell_number(c, want, i);
    return want == Base::Int ? Value(i) : Value(f);
}

// A literal of the binding (a constant, 'default', 'diagonal') as the declared kind.
Value convert(Program& p, Sym& s, const Literal& lit, const char* what, Base want) {
    const Value& v = lit.value;
    if (want == Base::String && v.is<std::string>()) return v;
    if (want == Base::Float && v.is<double>()) return v;
    if (want == Base::Float && v.is<std::int64_t>()) return Value(static_cast<double>(v.as<std::int64_t>()));
    if (want == Base::Int && v.is<std::int64_t>()) return v;
    if (want == Base::Int && v.is<double>()) {
        double f = v.as<double>();
        if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) < 9.2e18) return Value(static_cast<std::int64_t>(f));
    }
    p.diag->error(File::Data, lit.pos,
                  std::string(what) + " for " + quote(s.name) + " must be " +
                      (want == Base::Int      ? "an integer"
                       : want == Base::String ? "a string"
                                              : "a number") +
                      ", found " + value_text(v));
    throw Stop{};
}

void Binder::run() {
    header();
    if (s_.kind == SymKind::Set) {
        no_options(" is a set");
        if (sp_.arrow)
            fail(sp_.at, quote(s_.name) + " is a set: name its column" +
                             std::string(s_.type.base == Base::Tuple ? "s, one per field," : "") + " without '->'");
        s_.type.base == Base::Tuple ? tuple_set() : set();
    } else if (!s_.dims.empty()) {
        array();
    } else {
        single();
    }
}

// A set: the column's distinct values in order of first appearance.
void Binder::set() {
    if (sp_.keys.size() != 1)
        fail(sp_.keys[1].pos, quote(s_.name) + " is a set of " + type_text(s_.type) + ": bind one column, found " +
                                  std::to_string(sp_.keys.size()));
    const Column& c = sp_.keys[0];
    const Base want = s_.type.base;
    List items;
    Elements& el = s_.elements;
    el.position.clear();
    std::string last;
    bool any = false;
    while (next_row()) {
        std::string_view cell = row_[c.field];
        if (any && cell == last) continue;  // a repeated key column: the common case, no lookup
        any = true;
        last.assign(cell);
        Value v = cell_value(c, want);
        if (el.position.emplace(element_key(v), items.size()).second) items.push_back(std::move(v));
    }
    el.count = items.size();
    el.known = true;
    s_.value = Value(std::move(items));
}

// A set of tuples: one column per field in field order; rows distinct.
void Binder::tuple_set() {
    const auto& fields = s_.type.tuple->fields;
    if (sp_.keys.size() != fields.size()) {
        std::string names;
        for (auto& f : fields) names += (names.empty() ? "" : ", ") + f.name;
        fail(sp_.at, quote(s_.name) + " is a set of tuple " + quote(s_.type.tuple->name) + " (" + names + "): bind " +
                         std::to_string(fields.size()) + " columns, one per field in this order, found " +
                         std::to_string(sp_.keys.size()));
    }
    List items;
    std::vector<std::size_t> rows;
    Elements& el = s_.elements;
    el.position.clear();
    while (next_row()) {
        Dict t;
        t.reserve(fields.size());
        for (std::size_t k = 0; k < fields.size(); ++k)
            t.emplace_back(fields[k].name, cell_value(sp_.keys[k], base_of(fields[k].type)));
        Value v(std::move(t));
        auto [it, fresh] = el.position.emplace(element_key(v), items.size());
        if (!fresh)
            fail_in_row("repeats row " + std::to_string(rows[it->second]) + ", " + value_text(v) + " (a set holds " +
                        "each element once)");
        items.push_back(std::move(v));
        rows.push_back(reader_.row());
    }
    el.count = items.size();
    el.known = true;
    s_.value = Value(std::move(items));
}

std::string element_text(const Sym& set, std::size_t k) {
    if (set.elements.is_range) return std::to_string(set.elements.low + static_cast<std::int64_t>(k));
    if (set.value && set.value->is<List>() && k < set.value->as<List>().size())
        return value_text(set.value->as<List>()[k]);
    return "?";
}

std::string set_name(const Sym& set) { return set.name.empty() ? "its range" : quote(set.name); }

// Nested lists of a flat row-major vector, one level per dimension.
Value nest(std::vector<Value>& flat, const std::vector<std::size_t>& shape, std::size_t level, std::size_t& at) {
    List out;
    out.reserve(shape[level]);
    for (std::size_t k = 0; k < shape[level]; ++k)
        out.push_back(level + 1 == shape.size() ? std::move(flat[at++]) : nest(flat, shape, level + 1, at));
    return Value(std::move(out));
}

// The position of this row's key in dimension `d`.
std::size_t Binder::position(Dim& d) {
    const Column& c = sp_.keys[d.first];
    std::string_view cell = row_[c.field];
    if (d.width == 1 && d.cached && cell == d.last) return d.last_at;
    const Elements& el = d.set->elements;
    std::size_t at = el.size();
    if (el.is_range) {
        std::int64_t i = 0;
        cell_number(c, Base::Int, i);
        if (i < el.low || i > el.high)
            fail_row(c, std::to_string(i) + " is outside " + set_name(*d.set) + " (" + std::to_string(el.low) + ".." +
                            std::to_string(el.high) + ")" + for_sym());
        at = static_cast<std::size_t>(i - el.low);
    } else {
        Value shown;
        if (d.width == 1 && d.set->type.base == Base::String) {
            d.key.assign("s").append(cell);  // element_key of a string, without a Value
        } else if (d.width == 1) {
            shown = cell_value(c, d.set->type.base);
            d.key = element_key(shown);
        } else {
            const auto& fields = d.set->type.tuple->fields;
            Dict t;
            for (std::size_t k = 0; k < d.width; ++k)
                t.emplace_back(fields[k].name, cell_value(sp_.keys[d.first + k], base_of(fields[k].type)));
            shown = Value(std::move(t));
            d.key = element_key(shown);
        }
        auto it = el.position.find(d.key);
        if (it == el.position.end()) {
            if (shown.is_null()) shown = Value(std::string(cell));
            fail_row(c, value_text(shown) + " is not an element of " + set_name(*d.set) + for_sym());
        }
        at = it->second;
    }
    if (d.width == 1) {
        d.last.assign(cell);
        d.last_at = at;
        d.cached = true;
    }
    return at;
}

// cost["W1"]["S3"] for a row-major offset of the array.
std::string Binder::key_text(std::size_t offset) const {
    const auto& shape = cells_->numbers->shape;
    std::vector<std::size_t> at(shape.size());
    for (std::size_t k = shape.size(); k-- > 0;) {
        at[k] = offset % shape[k];
        offset /= shape[k];
    }
    std::string out = s_.name;
    for (std::size_t k = 0; k < shape.size(); ++k) out += "[" + element_text(*s_.dims[k], at[k]) + "]";
    return out;
}

// symmetric: [b][a] from [a][b], both given and different a fault;
// diagonal V: the missing [a][a].
void Binder::fill_square(const std::optional<Value>& diagonal) {
    Cells& c = *cells_;
    const std::size_t n = c.numbers->shape[0];
    for (std::size_t a = 0; a < n; ++a) {
        if (diagonal && !c.row_of[a * n + a]) {
            c.put(a * n + a, *diagonal);
            c.row_of[a * n + a] = Cells::kFilled;
        }
        if (!sp_.symmetric) continue;
        for (std::size_t b = a + 1; b < n; ++b) {
            std::size_t ab = a * n + b, ba = b * n + a;
            if (c.row_of[ab] && c.row_of[ba]) {
                if (c.same(ab, ba)) continue;
                std::size_t later = c.row_of[ab] > c.row_of[ba] ? ab : ba, earlier = later == ab ? ba : ab;
                fail(sp_.symmetric_pos, sp_.file + " row " + std::to_string(c.row_of[later]) + ": " + key_text(later) +
                                            " differs from " + key_text(earlier) + " at row " +
                                            std::to_string(c.row_of[earlier]) + " ('symmetric' needs them equal)");
            } else if (c.row_of[ab] || c.row_of[ba]) {
                std::size_t from = c.row_of[ab] ? ab : ba, to = from == ab ? ba : ab;
                c.copy(to, from);
                c.row_of[to] = Cells::kFilled;
            }
        }
    }
}

// An array: one key column per dimension (a tuple set's dimension takes one
// per field), '->', and a value column or a constant.
void Binder::array() {
    const Base want = s_.type.base;
    if (want != Base::Int && want != Base::Float && want != Base::String)
        fail(sp_.at, quote(s_.name) + " holds " + type_text(s_.type) + " values: a table binds int, float or string");
    if (sp_.selector)
        fail(sp_.selector->pos, "'[...]' picks one cell for a single value; " + quote(s_.name) + " is an array");
    std::vector<Dim> dims;
    std::vector<std::size_t> shape;
    std::size_t width = 0, total = 1;
    for (Sym* d : s_.dims) {
        if (!d || !d->elements.known) throw Stop{};  // its fault is reported
        std::size_t w = d->type.base == Base::Tuple && !d->elements.is_range ? d->type.tuple->fields.size() : 1;
        dims.push_back(Dim{d, width, w, {}, 0, false, {}});
        width += w;
        shape.push_back(d->elements.size());
        total *= d->elements.size();
    }
    if (!sp_.arrow || sp_.keys.size() != width) {
        std::string sets;
        for (Sym* d : s_.dims) sets += "[" + (d->name.empty() ? std::string("range") : d->name) + "]";
        fail(sp_.at, quote(s_.name) + " is an array over " + sets + ": bind " + std::to_string(width) + " key column" +
                         (width == 1 ? "" : "s") + ", '->' and a value column, found " +
                         std::to_string(sp_.keys.size()) + " column" + (sp_.keys.size() == 1 ? "" : "s") +
                         (sp_.arrow ? " before '->'" : " and no '->'"));
    }
    const bool square = s_.dims.size() == 2 && s_.dims[0] == s_.dims[1];
    if ((sp_.symmetric || sp_.diagonal) && !square)
        fail(sp_.symmetric ? sp_.symmetric_pos : sp_.diagonal->pos,
             std::string(sp_.symmetric ? "'symmetric'" : "'diagonal'") + " needs a 2-D array over one set twice; " +
                 quote(s_.name) + " is not");
    std::optional<Value> constant, fill, diagonal;
    if (sp_.constant) constant = convert(p_, s_, *sp_.constant, "the constant", want);
    if (sp_.fill) fill = convert(p_, s_, *sp_.fill, "'default'", want);
    if (sp_.diagonal) diagonal = convert(p_, s_, *sp_.diagonal, "'diagonal'", want);

    Cells cells(want, shape, total);
    cells_ = &cells;
    // Rows whose value cell is blank, by key: no value, as if the row were
    // missing (the fills below treat it so), yet still a row for duplicates.
    std::unordered_map<std::size_t, std::uint32_t> blank_rows;
    while (next_row()) {
        std::size_t at = 0;
        for (std::size_t k = 0; k < dims.size(); ++k) at = at * shape[k] + position(dims[k]);
        const auto blank = blank_rows.find(at);
        if (cells.row_of[at] || blank != blank_rows.end())
            fail_in_row("a second value for " + key_text(at) + " (first at row " +
                        std::to_string(cells.row_of[at] ? cells.row_of[at] : blank->second) + ")");
        const auto row = static_cast<std::uint32_t>(std::min<std::size_t>(reader_.row(), Cells::kFilled - 1));
        cells.row_of[at] = row;
        if (constant) {
            cells.put(at, *constant);
        } else if (want == Base::String) {
            cells.texts[at] = Value(std::string(row_[sp_.value->field]));
        } else {
            std::int64_t i = 0;
            bool empty = false;
            double f = cell_number(*sp_.value, want, i, fill ? &empty : nullptr);
            if (empty) {
                cells.row_of[at] = 0;  // filled below with the missing keys
                blank_rows.emplace(at, row);
            } else if (want == Base::Int)
                cells.numbers->ints[at] = i;
            else
                cells.numbers->floats[at] = f;
        }
    }
    if (square) fill_square(diagonal);
    std::size_t missing = 0, first = 0;
    for (std::size_t k = 0; k < total; ++k) {
        if (cells.row_of[k]) continue;
        if (fill)
            cells.put(k, *fill);
        else if (!missing++)
            first = k;
    }
    if (missing)
        fail(sp_.at, sp_.file + " has no row for " + key_text(first) +
                         (missing > 1 ? " (nor for " + std::to_string(missing - 1) + " other keys)" : std::string()) +
                         ": add the rows or give 'default V'" +
                         (square && !sp_.symmetric ? " (or 'symmetric' for a table of one direction)" : ""));
    if (want != Base::String && total > 0) {
        s_.value = Value(NumbersPtr(std::move(cells.numbers)));
        return;
    }
    std::size_t at = 0;
    s_.value = nest(cells.texts, shape, 0, at);  // nested lists, as a literal gives them (also for an empty array)
}

// A single value: the value column of the row whose key column holds the key in '[...]'.
void Binder::single() {
    const Base want = s_.type.base;
    if (want != Base::Int && want != Base::Float && want != Base::String)
        fail(sp_.at, quote(s_.name) + " holds a " + type_text(s_.type) + ": a table binds int, float or string");
    if (!sp_.selector || sp_.keys.size() != 1 || !sp_.value)
        fail(sp_.at,
             quote(s_.name) + " is a single value: bind one cell with csv(FILE, \"key\" -> \"value\")[\"name\"]");
    if (sp_.symmetric || sp_.diagonal)
        fail(sp_.symmetric ? sp_.symmetric_pos : sp_.diagonal->pos,
             std::string(sp_.symmetric ? "'symmetric'" : "'diagonal'") + " fills a 2-D array over one set; " +
                 quote(s_.name) + " is a single value");
    const Value& key = sp_.selector->value;
    const Column& kc = sp_.keys[0];
    std::optional<Value> found;
    std::size_t found_row = 0;
    while (next_row()) {
        std::string_view cell = row_[kc.field];
        bool hit;
        if (key.is<std::string>()) {
            hit = cell == key.as<std::string>();
        } else {
            std::int64_t i = 0;
            double f = 0;
            Cell got = number(cell, key.is<std::int64_t>() ? Base::Int : Base::Float, i, f);
            hit = got == Cell::Ok && (key.is<std::int64_t>() ? i == key.as<std::int64_t>() : f == key.as<double>());
        }
        if (!hit) continue;
        if (found)
            fail_in_row("a second row with " + kc.name + " " + value_text(key) + " (first at row " +
                        std::to_string(found_row) + ")");
        found_row = reader_.row();
        if (want != Base::String && sp_.fill) {
            std::int64_t i = 0;
            bool empty = false;
            double f = cell_number(*sp_.value, want, i, &empty);
            if (empty) {
                found = convert(p_, s_, *sp_.fill, "'default'", want);
                continue;
            }
            found = want == Base::Int ? Value(i) : Value(f);
            continue;
        }
        found = cell_value(*sp_.value, want);
    }
    if (!found) {
        if (!sp_.fill)
            fail(sp_.selector->pos, sp_.file + " has no row with " + kc.name + " " + value_text(key) + for_sym());
        found = convert(p_, s_, *sp_.fill, "'default'", want);
    }
    s_.value = std::move(*found);
}

}  // namespace

void bind_table(Program& p, Sym& s, TokenStream& ts, Tables& tables) {
    Spec sp = parse(ts);
    try {
        const csv::File& file = tables.get(sp.file);
        if (!file.error.empty()) {
            p.diag->error(File::Data, sp.file_pos, file.error);
            throw Stop{};
        }
        Binder b(p, s, sp, file.text);
        b.run();
    } catch (const Stop&) {
        s.bad = true;
    }
}

}  // namespace tavro::kelm
