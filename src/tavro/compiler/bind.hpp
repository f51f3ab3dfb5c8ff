// Data bindings: a data statement whose value is a CSV table,
// `name = csv("file.csv", "key" ... -> "value") [options];`, read into the
// same values the data reader builds from literals (flat numeric arrays,
// set elements), checked against the declaration it binds.
#pragma once

#include <string>
#include <unordered_map>

#include "tavro/compiler/csv.hpp"
#include "tavro/compiler/parser.hpp"
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

// The tables of one data file, each read once per compile (a later compile
// reads them again), resolved against `folder` ("" for the current folder).
class Tables {
public:
    explicit Tables(std::string folder) : folder_(std::move(folder)) {}
    const csv::File& get(const std::string& name);

private:
    std::string folder_;
    std::unordered_map<std::string, csv::File> files_;
};

// The value at `ts` is a binding: the name 'csv' followed by '('.
bool is_binding(TokenStream& ts);

// Reads the binding at `ts` (at 'csv', up to the statement's ';') into
// s.value and, for a set, its elements. Faults in the table are located data
// errors at the binding; a syntax error throws SyntaxError.
void bind_table(Program& p, Sym& s, TokenStream& ts, Tables& tables);

}  // namespace tavro::kelm
