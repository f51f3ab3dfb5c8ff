// Recursive-descent parser machinery shared by the model and data readers:
// the token window, accept/expect/expect_match and the syntax-error unwind.
#pragma once

#include <string>

#include "tavro/compiler/ast.hpp"
#include "tavro/compiler/lexer.hpp"

namespace tavro::kelm {

// Unwinds to the nearest recovery point after a syntax error was recorded.
struct SyntaxError {};

class TokenStream {
public:
    TokenStream(Lexer& lex, Diagnostics& diag) : lex_(lex), diag_(diag) { cur = lex_.next(); }

    Token cur;

    void next();
    const Token& ahead();  // one token of lookahead
    bool check(Tok t) const { return cur.kind == t; }
    bool accept(Tok t);
    // `what` expected: records "X expected near 'Y'" and unwinds.
    [[noreturn]] void expected(const std::string& what);
    Token expect(Tok t);
    Token expect_name(const char* what);
    // Closing `close` for `open` at `where`: "')' expected (to close '(' at line 3) near ';'".
    void expect_match(Tok close, Tok open, Pos where);
    [[noreturn]] void error_here(const std::string& text);
    void error_at(Pos pos, const std::string& text) { diag_.error(lex_.file(), pos, text); }
    [[noreturn]] void fail_at(Pos pos, const std::string& text) {
        error_at(pos, text);
        throw SyntaxError{};
    }
    void enter();
    void leave() { --depth_; }
    Pos prev_end() const;
    std::string_view prev_raw() const { return prev_raw_; }
    File file() const { return lex_.file(); }
    Diagnostics& diag() { return diag_; }
    Lexer& lexer() { return lex_; }

private:
    Lexer& lex_;
    Diagnostics& diag_;
    Token ahead_;
    bool has_ahead_ = false;
    int depth_ = 0;
    Pos prev_pos_;
    std::string_view prev_raw_;
};

// RAII nesting guard: enters on construction, leaves on destruction.
struct Level {
    TokenStream& ts;
    explicit Level(TokenStream& t) : ts(t) { ts.enter(); }
    ~Level() { ts.leave(); }
};

}  // namespace tavro::kelm
