// Lexer shared by model and data files: tokens (one X-macro list keeps the
// enum and the names in messages in lockstep), comments, numbers, strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tavro/compiler/diag.hpp"

namespace tavro::kelm {

// X(enum, text in messages) for punctuation and classes of tokens; K(enum,
// spelling) for the reserved words (the lexer's keyword table is made from it).
// clang-format off: one token per cell, in a table
#define KELM_TOKENS(X, K)                                                                              \
    X(End, "end of file") X(Name, "name") X(Int, "integer") X(Float, "number") X(String, "string")     \
    K(KwInt, "int") K(KwFloat, "float") K(KwString, "string") K(KwBoolean, "boolean")                  \
    K(KwTuple, "tuple") K(KwRange, "range") K(KwDvar, "dvar") K(KwDexpr, "dexpr")                      \
    K(KwMinimize, "minimize") K(KwMaximize, "maximize") K(KwSubject, "subject")                        \
    K(KwForall, "forall") K(KwSum, "sum") K(KwIn, "in") K(KwMin, "min") K(KwMax, "max")                \
    K(KwAbs, "abs") K(KwCard, "card") K(KwMod, "mod") K(KwInfinity, "infinity")                        \
    X(Semi, ";") X(Comma, ",") X(Colon, ":") X(Dot, ".") X(DotDot, "..") X(Ellipsis, "...")            \
    X(LParen, "(") X(RParen, ")") X(LBracket, "[") X(RBracket, "]") X(LBrace, "{") X(RBrace, "}")      \
    X(HashLBracket, "#[") X(RBracketHash, "]#") X(Lt, "<") X(Gt, ">") X(Le, "<=") X(Ge, ">=")          \
    X(EqEq, "==") X(NotEq, "!=") X(Assign, "=") X(Plus, "+") X(Minus, "-") X(Star, "*") X(Slash, "/")  \
    X(Caret, "^") X(Not, "!") X(AndAnd, "&&") X(OrOr, "||") X(Implies, "=>") X(Arrow, "->")
// clang-format on

enum class Tok {
#define KELM_ENUM(e, s) e,
    KELM_TOKENS(KELM_ENUM, KELM_ENUM)
#undef KELM_ENUM
};

// The token's text in messages: 'int', ';', "name", ...
const char* token_name(Tok t);
bool is_keyword(Tok t);
// The reserved word spelled `word`, or Tok::Name.
Tok keyword(std::string_view word);

struct Token {
    Tok kind = Tok::End;
    Pos pos;
    std::string_view raw;  // source text of the token
    std::int64_t ival = 0;
    double fval = 0;
};

class Lexer {
public:
    Lexer(std::string_view src, File file, Diagnostics& diag);
    // Starts at byte `offset`, which is at `pos` of the source.
    Lexer(std::string_view src, File file, Diagnostics& diag, std::size_t offset, Pos pos)
        : src_(src), file_(file), diag_(diag), i_(offset), pos_(pos) {}
    std::size_t offset_of(const Token& t) const { return static_cast<std::size_t>(t.raw.data() - src_.data()); }
    Token next();
    // Decoded text of the last String token.
    const std::string& string_value() const { return str_; }
    File file() const { return file_; }
    // Off: numbers are scanned but not converted (a first pass over the data).
    void set_convert(bool on) { convert_ = on; }
    // Off: stray characters, malformed numbers, too large integers and bad
    // escapes go unreported (a second read of text a first pass reported).
    void set_char_errors(bool on) { char_errors_ = on; }

private:
    char peek(std::size_t k = 0) const { return i_ + k < src_.size() ? src_[i_ + k] : '\0'; }
    void advance();
    void skip_space();
    void number(Token& t);
    Token string(Token t);

    std::string_view src_;
    File file_;
    Diagnostics& diag_;
    std::size_t i_ = 0;
    Pos pos_;
    std::string str_;
    bool convert_ = true;
    bool char_errors_ = true;
    void char_error(Pos pos, std::string text) {
        if (char_errors_) diag_.error(file_, pos, std::move(text));
    }
};

// "near 'x'" text for a token found where another was expected.
std::string describe(const Token& t);

inline bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// The one numeral scanner of both files, plain data arrays and table cells:
// number -> digits ['.' digits] [('e'|'E') ['+'|'-'] digits]  (no sign)
struct Numeral {
    const char* end = nullptr;  // one past the numeral; the start when there is none
    bool is_float = false;
};
// The numeral at `p` (a digit, or '.' before a digit); '1..n' reads '1'.
Numeral scan_numeral(const char* p, const char* end);
// The value of a scanned numeral into `ival` (int) or `fval` (float); false
// when it is out of range (an int beyond 64 bits, a float beyond a double).
bool numeral_value(std::string_view raw, bool is_float, std::int64_t& ival, double& fval);

// A table cell as bindings read it: blanks (space, tab) around it, then an
// optional sign and a numeral, or the word 'infinity' (a float only).
struct CellNumeral {
    enum Kind { Empty, Text, Numeral, Infinity };
    Kind kind = Text;
    bool neg = false;
    bool is_float = false;  // a Numeral with '.' or an exponent
    std::string_view raw;   // a Numeral without its sign
};
CellNumeral scan_cell(std::string_view cell);

}  // namespace tavro::kelm
