// The instantiation engine's output: a checked model grounded over its data
// into one linear or mixed-integer linear problem. The solver binding and
// the SciPy script writer both read this struct; neither knows the language.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tavro/compiler/work.hpp"

namespace tavro::kelm {

// A named run of columns (one dvar declaration) or rows (one constraint of the
// model, every instance of it under its foralls).
struct Block {
    std::string name;  // the dvar's name, the constraint's label, or "_c<line>" ("_c<line>#2", ...) when unlabelled
    bool labelled = true;
    int line = 0;            // source line of the declaration or constraint
    std::int64_t first = 0;  // first column or row
    std::int64_t count = 0;  // number of columns or rows
    // Columns: a dvar over [S1][S2]... has one column per element of the
    // product, in row-major order; dims[d] holds the text of every element of
    // the d-th index set. Rows: dims is empty; index holds `arity` texts per
    // row (the values of the enclosing forall indices, outermost first).
    std::vector<std::vector<std::string>> dims;
    int arity = 0;
    std::vector<std::string> index;
};

struct LinearProblem {
    bool maximize = false;
    double offset = 0;           // constant term of the objective
    std::string objective_name;  // the objective's label, "" when none

    // Columns.
    std::vector<double> c;                     // objective coefficients, in the model's sense
    std::vector<double> col_lower, col_upper;  // -inf / +inf when unbounded
    std::vector<std::uint8_t> integrality;     // 0 continuous, 1 integer
    // Rows: row_lower <= A x <= row_upper (an equality has both equal).
    std::vector<double> row_lower, row_upper;
    // A in compressed sparse column form: column j's entries are
    // indices/values[indptr[j] .. indptr[j+1]), rows ascending, no zeros, no
    // duplicates.
    std::vector<std::int64_t> indptr;
    std::vector<std::int32_t> indices;
    std::vector<double> values;

    std::vector<Block> columns;  // one per dvar declaration, in source order
    std::vector<Block> rows;     // one per constraint, in source order

    std::int64_t num_cols() const { return static_cast<std::int64_t>(c.size()); }
    std::int64_t num_rows() const { return static_cast<std::int64_t>(row_lower.size()); }
};

// Text of an index value in names and result keys: 3, Seattle, <A,B,3>.
// (Strings appear without quotes; tuples as <f1,f2,...>.)

// What grounding did, for tests and benchmarks: evaluations that the
// templates left to the interpreter, filtered walks that an index answered
// (and the indexes built), and sums whose last clause ran as a strided loop.
struct GroundStats {
    std::int64_t interpreted = 0;
    std::int64_t indexed = 0;
    std::int64_t indexes = 0;
    std::int64_t looped = 0;
};

struct InstantiateResult {
    bool ok = false;
    LinearProblem problem;
    // One located diagnostic per line when !ok; when work stopped for the
    // deadline, a cancel or an interrupt, the one line that says where.
    std::string message;
    StopReason stopped = StopReason::None;
    GroundStats stats{};
};

// Parses, checks, reads the data and grounds the model within `limits`.
// Never throws: every fault of the input (and running out of memory) ends up
// in `message`, in the same form as compile()'s. Tables bound in the data are
// found in `folder`.
InstantiateResult instantiate(std::string_view model_text, std::string_view data_text, std::string_view folder = {},
                              const Limits& limits = {});

// Grounds a program that is parsed, checked and has its data values, within
// the limits of its Work; faults go to its diagnostics.
struct Program;
InstantiateResult instantiate(Program& p);
// Parses, checks, reads the data and grounds into a program of the caller's
// (whose diagnostics and limits it has set), as the text entry above does.
InstantiateResult instantiate(Program& p, std::string_view model_text, std::string_view data_text,
                              std::string_view folder);
// The message of a program whose work failed or stopped, and why it stopped.
std::string stop_message(const Program& p, StopReason& stopped);

}  // namespace tavro::kelm
