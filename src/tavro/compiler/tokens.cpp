// Token window and the expectation helpers behind every syntax message.
#include "tavro/compiler/parser.hpp"

namespace tavro::kelm {

void TokenStream::next() {
    prev_pos_ = cur.pos;
    prev_raw_ = cur.raw;
    if (has_ahead_) {
        cur = ahead_;
        has_ahead_ = false;
    } else {
        cur = lex_.next();
    }
}

const Token& TokenStream::ahead() {
    if (!has_ahead_) {
        ahead_ = lex_.next();
        has_ahead_ = true;
    }
    return ahead_;
}

bool TokenStream::accept(Tok t) {
    if (cur.kind != t) return false;
    next();
    return true;
}

Pos TokenStream::prev_end() const {
    Pos end = prev_pos_;
    for (char c : prev_raw_)  // tokens do not span lines
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++end.col;
    return end;
}

void TokenStream::expected(const std::string& what) {
    // A missing terminator belongs at the end of the previous line, where it goes.
    Pos at = cur.pos.line > prev_pos_.line && !prev_raw_.empty() && what == "';'" ? prev_end() : cur.pos;
    std::string hint;
    if (cur.kind == Tok::Implies) hint = " ('=>' is only for implications in 'subject to': b == 1 => x <= 5;)";
    fail_at(at, what + " expected near " + describe(cur) + hint);
}

Token TokenStream::expect(Tok t) {
    if (cur.kind != t) expected(std::string("'") + token_name(t) + "'");
    Token got = cur;
    next();
    return got;
}

Token TokenStream::expect_name(const char* what) {
    if (cur.kind != Tok::Name) {
        if (is_keyword(cur.kind))
            fail_at(cur.pos, std::string(what) + " expected near " + describe(cur) + " ('" + token_name(cur.kind) +
                                 "' is a reserved word)");
        expected(what);
    }
    Token got = cur;
    next();
    return got;
}

void TokenStream::expect_match(Tok close, Tok open, Pos where) {
    if (cur.kind == close) {
        next();
        return;
    }
    std::string what = std::string("'") + token_name(close) + "'";
    if (where.line != cur.pos.line)
        what += std::string(" (to close '") + token_name(open) + "' at line " + std::to_string(where.line) + ")";
    expected(what);
}

void TokenStream::error_here(const std::string& text) { fail_at(cur.pos, text); }

void TokenStream::enter() {
    if (++depth_ > kMaxDepth) {
        --depth_;
        diag_.fatal(lex_.file(), cur.pos,
                    "nesting too deep: more than " + std::to_string(kMaxDepth) + " nested levels");
    }
}

}  // namespace tavro::kelm
