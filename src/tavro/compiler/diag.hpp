// Diagnostics: every error of the compiler goes through Diagnostics::error in
// one shape, "model:12:7: <text>", at most kMaxErrors per compile.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavro::kelm {

enum class File { Model, Data };

struct Pos {
    int line = 1;
    int col = 1;
};

// Thrown to stop the current phase: a fatal error or too many errors.
struct Abort {};

class Diagnostics {
public:
    static constexpr int kMaxErrors = 5;

    // Records an error; throws Abort once kMaxErrors are recorded.
    void error(File file, Pos pos, std::string text);
    // An error located by a name instead of a line ("data['cost']: <text>"),
    // for data given from Python.
    void error_named(std::string where, std::string text);
    [[noreturn]] void fatal(File file, Pos pos, std::string text);
    bool any() const { return !errors_.empty(); }
    void clear() { errors_.clear(); }
    std::size_t count() const { return errors_.size(); }
    std::string message() const;

private:
    struct Entry {
        File file;
        Pos pos;
        std::string text;
        std::string where;  // replaces "file:line:col" when set
    };
    std::vector<Entry> errors_;
};

// Quoted form of a source fragment for messages: 'x'.
std::string quote(std::string_view s);
// The declared name closest to `name` (edit distance), or "" when none is close.
std::string closest(std::string_view name, const std::vector<std::string_view>& candidates);

}  // namespace tavro::kelm
