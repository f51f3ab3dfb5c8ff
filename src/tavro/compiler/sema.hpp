// Semantic model shared by the checker, the data reader and the builder:
// symbols with their types, index sets and (once read or evaluated) values.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tavro/compiler/ast.hpp"
#include "tavro/compiler/value.hpp"
#include "tavro/compiler/work.hpp"

namespace tavro::kelm {

// The most elements a range, or an array over its index sets, may have: a
// larger one is a size error before anything is allocated.
constexpr std::uint64_t kMaxElements = 100'000'000;

enum class Base { Int, Float, String, Bool, Tuple, Error };

struct Type {
    Base base = Base::Error;
    const Decl* tuple = nullptr;  // Base::Tuple
};
std::string type_text(const Type& t);  // "int", "float", "string", "tuple Arc", ...

enum class SymKind { TupleType, Range, Set, Param, Dvar, Dexpr, Index };

// The elements of a range or set once known: lookup of a constant index.
struct Elements {
    bool known = false;
    std::int64_t low = 0, high = -1;                        // ranges
    std::unordered_map<std::string, std::size_t> position;  // sets: key -> position
    // (unsigned arithmetic: no overflow for any int64 bounds; a range of 2^64 elements reads as 0
    // and is rejected by the size check before it is used)
    std::size_t size() const {
        return is_range ? (high >= low ? static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                                                  static_cast<std::uint64_t>(low) + 1)
                                       : 0)
                        : count;
    }
    bool is_range = false;
    std::size_t count = 0;
};

struct Sym {
    SymKind kind;
    std::string name;
    Pos pos;
    Decl* decl = nullptr;
    Type type;                // value type; for sets and ranges the element type
    std::vector<Sym*> dims;   // index sets of arrays (Range or Set symbols)
    bool needs_data = false;  // value comes from the data file
    int degree = 0;           // dexpr: degree of its expression
    bool bad = false;         // an error was reported for its value: skip dependent checks
    std::optional<Value> value;
    Elements elements;            // ranges and sets
    const Expr* range = nullptr;  // an inline range lo..hi used as an index set

    Sym(SymKind k, std::string n, Pos p) : kind(k), name(std::move(n)), pos(p) {}
};

// A constant index seen in the model, checked against its set once the data is known.
struct ConstIndex {
    Pos pos;
    Sym* array;
    std::size_t dim;
    Value key;
    std::string text;
    const Expr* expr = nullptr;  // a computed constant (2+2, k): key and text come from its value
};

struct Program {
    Model model;
    std::deque<Sym> syms;  // stable addresses
    std::unordered_map<std::string_view, Sym*> globals;
    std::vector<ConstIndex> const_indices;
    std::vector<ConstIndex> computed_indices;  // evaluated once the data is read
    Diagnostics* diag = nullptr;
    Work work;  // steps of every evaluation and of grounding, within the caller's limits

    Sym& add_sym(SymKind kind, std::string name, Pos pos) {
        syms.emplace_back(kind, std::move(name), pos);
        return syms.back();
    }
    Sym* find(std::string_view name) const {
        auto it = globals.find(name);
        return it == globals.end() ? nullptr : it->second;
    }
    std::vector<std::string_view> global_names() const {
        std::vector<std::string_view> out;
        for (auto& [k, v] : globals) out.push_back(k);
        return out;
    }
};

// Key of a set element (for membership and keyed arrays); "" for a value that
// cannot be an element.
std::string element_key(const Value& v);
std::string value_text(const Value& v);  // 3, 2.5, "A", <"A", 1>
std::string expr_text(const Expr& e);    // source-like text of an expression, for messages

// "" when the range lo..hi has at most kMaxElements elements, else the text
// of its size error (`name` is "" for an inline range).
std::string range_size_fault(std::int64_t lo, std::int64_t hi, std::string_view name);

// Parses, checks and reads the data (with the index checks that need it):
// the front half shared by compile() and instantiate(); faults go to p.diag.
// The data's tables are found in `folder` ("" for the current folder).
void analyse(Program& p, std::string_view model_text, std::string_view data_text, std::string_view folder = {});

// After a failed parse of the model (`failed` Model) or read of the data
// (Data): when the model holds only 'name = value;' items or the data
// declares dvars, an objective or constraints, the errors are replaced by one
// that says the files look swapped; true then.
bool report_swapped(Diagnostics& diag, std::string_view model_text, std::string_view data_text, File failed);

// The passes, in order.
void check_model(Program& p);  // names, types, indexing, linearity, objective
// Values of the data declarations; tables of bindings are found in `folder`.
void read_data(Program& p, std::string_view data, std::string_view folder = {});
void check_computed_indices(Program& p);  // evaluates them into const_indices
// Values of the data declarations from a dictionary {name: value} in the
// compiled model's data shapes (docs/compiled_model.md), validated as
// read_data validates the data file; faults are reported at the declaration.
void adopt_data(Program& p, Dict data);
void check_constant_indices(Program& p);
// Parts of read_data that adopt_data shares: the elements of a range, the
// value of a set or scalar that the model itself gives, and the walk over
// the data declarations in order (ranges computed, model values evaluated,
// `from_data` called for each symbol whose value the data gives).
void compute_range_elements(Program& p, Sym& s);
// Why data cannot be given for `name` (`s` its symbol, or null): not
// declared (with the closest name that takes data), a decision, or valued in
// the model; "" when it can.
std::string data_name_fault(const Program& p, const std::string& name, const Sym* s);
void evaluate_model_value(Program& p, Sym& s);
void walk_data_decls(Program& p, const std::function<void(Sym&)>& from_data);
// The data-dependent checks of grounding (index outside its set, division by
// a zero datum, empty domain, a constraint that cancels to false), within a
// budget of terms; faults go to p.diag.
void check_grounding(Program& p);
Value build(Program& p);  // the compiled model; moves the data values out

// Evaluates a data-only expression (scalar initializers, range bounds); nullopt
// when it depends on a value that is unknown.
std::optional<Value> evaluate(Program& p, const Expr& e);
// The same through the instantiation engine's evaluator (index sets, sums,
// min/max over sets, mod); nullopt when a needed value is unknown.
std::optional<Value> evaluate_data(Program& p, const Expr& e);
// The values of a computed array (float d[i in I][j in J] = e;) into
// s.value, evaluated by the engine over its index sets; faults go to p.diag.
void compute_array(Program& p, Sym& s);

}  // namespace tavro::kelm
