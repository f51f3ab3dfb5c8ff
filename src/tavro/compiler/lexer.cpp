// Lexer: one token at a time, positions as line and column (columns count
// characters, not bytes). Unterminated comments and strings are fatal.
#include "tavro/compiler/lexer.hpp"

#include <charconv>
#include <cstring>

namespace tavro::kelm {

namespace {

const char* const kNames[] = {
#define KELM_NAME(e, s) s,
    KELM_TOKENS(KELM_NAME, KELM_NAME)
#undef KELM_NAME
};

struct Keyword {
    std::string_view text;
    Tok tok;
};
#define KELM_SKIP(e, s)
#define KELM_KEYWORD(e, s) {s, Tok::e},
constexpr Keyword kKeywords[] = {KELM_TOKENS(KELM_SKIP, KELM_KEYWORD)};
#undef KELM_KEYWORD

}  // namespace

Numeral scan_numeral(const char* p, const char* end) {
    auto digit = [&](const char* q) { return q < end && is_digit(*q); };
    Numeral n{p, false};
    if (!digit(p) && !(p < end && *p == '.' && digit(p + 1))) return n;
    while (digit(p)) ++p;
    if (p < end && *p == '.' && !(p + 1 < end && p[1] == '.')) {  // '1..n' is a range, not '1.'
        n.is_float = true;
        ++p;
        while (digit(p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E') &&
        (digit(p + 1) || (p + 1 < end && (p[1] == '+' || p[1] == '-') && digit(p + 2)))) {
        n.is_float = true;
        p += 2;
        while (digit(p)) ++p;
    }
    n.end = p;
    return n;
}

bool numeral_value(std::string_view raw, bool is_float, std::int64_t& ival, double& fval) {
    const char* b = raw.data();
    const char* e = b + raw.size();
    auto r = is_float ? std::from_chars(b, e, fval) : std::from_chars(b, e, ival);
    return r.ec != std::errc::result_out_of_range;
}

CellNumeral scan_cell(std::string_view cell) {
    const char* p = cell.data();
    const char* end = p + cell.size();
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    CellNumeral c;
    if (p == end) {
        c.kind = CellNumeral::Empty;
        return c;
    }
    if (*p == '-' || *p == '+') c.neg = *p++ == '-';
    Numeral n = scan_numeral(p, end);
    if (n.end == p) {
        if (std::string_view(p, static_cast<std::size_t>(end - p)) == "infinity") c.kind = CellNumeral::Infinity;
        return c;
    }
    if (n.end != end) return c;
    c.kind = CellNumeral::Numeral;
    c.is_float = n.is_float;
    c.raw = std::string_view(p, static_cast<std::size_t>(end - p));
    return c;
}

const char* token_name(Tok t) { return kNames[static_cast<int>(t)]; }

bool is_keyword(Tok t) {
    switch (t) {
#define KELM_CASE(e, s) case Tok::e:
        KELM_TOKENS(KELM_SKIP, KELM_CASE)
#undef KELM_CASE
        return true;
        default: return false;
    }
}

Tok keyword(std::string_view word) {
    for (const auto& k : kKeywords)
        if (k.text == word) return k.tok;
    return Tok::Name;
}

std::string describe(const Token& t) {
    if (t.kind == Tok::End) return "end of file";
    return quote(t.raw);
}

Lexer::Lexer(std::string_view src, File file, Diagnostics& diag) : src_(src), file_(file), diag_(diag) {
    if (src_.size() >= 3 && std::memcmp(src_.data(), "\xEF\xBB\xBF", 3) == 0) i_ = 3;  // BOM
}

void Lexer::advance() {
    char c = src_[i_++];
    if (c == '\n') {
        ++pos_.line;
        pos_.col = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++pos_.col;
    }
}

void Lexer::skip_space() {
    for (;;) {
        char c = peek();
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i_;
            ++pos_.col;
        } else if (c == '\n') {
            ++i_;
            ++pos_.line;
            pos_.col = 1;
        } else if (c == '\f' || c == '\v') {
            advance();
        } else if (c == '/' && peek(1) == '/') {
            while (i_ < src_.size() && src_[i_] != '\n') advance();
        } else if (c == '/' && peek(1) == '*') {
            Pos start = pos_;
            advance();
            advance();
            for (;;) {
                if (i_ >= src_.size())
                    diag_.fatal(file_, start,
                                "unterminated comment: '*/' expected (to close '/*' at line " +
                                    std::to_string(start.line) + ")");
                if (src_[i_] == '*' && peek(1) == '/') break;
                advance();
            }
            advance();
            advance();
        } else {
            return;
        }
    }
}

Token Lexer::next() {
    skip_space();
    Token t;
    t.pos = pos_;
    std::size_t start = i_;
    if (i_ >= src_.size()) {
        t.kind = Tok::End;
        return t;
    }
    char c = src_[i_];
    auto take = [&](Tok kind, int n) {
        i_ += static_cast<std::size_t>(n);  // punctuation: ASCII, no newline
        pos_.col += n;
        t.kind = kind;
        t.raw = src_.substr(start, i_ - start);
        return t;
    };
    if (is_name_start(c)) {
        while (i_ < src_.size() && is_name_char(src_[i_])) ++i_;
        pos_.col += static_cast<int>(i_ - start);
        t.raw = src_.substr(start, i_ - start);
        t.kind = keyword(t.raw);
        return t;
    }
    if (is_digit(c) || (c == '.' && is_digit(peek(1)))) {
        number(t);
        return t;
    }
    if (c == '"') return string(t);
    switch (c) {
        case ';': return take(Tok::Semi, 1);
        case ',': return take(Tok::Comma, 1);
        case ':': return take(Tok::Colon, 1);
        case '.':
            if (peek(1) == '.') return peek(2) == '.' ? take(Tok::Ellipsis, 3) : take(Tok::DotDot, 2);
            return take(Tok::Dot, 1);
        case '(': return take(Tok::LParen, 1);
        case ')': return take(Tok::RParen, 1);
        case '[': return take(Tok::LBracket, 1);
        case ']': return peek(1) == '#' ? take(Tok::RBracketHash, 2) : take(Tok::RBracket, 1);
        case '{': return take(Tok::LBrace, 1);
        case '}': return take(Tok::RBrace, 1);
        case '#':
            if (peek(1) == '[') return take(Tok::HashLBracket, 2);
            break;
        case '<': return peek(1) == '=' ? take(Tok::Le, 2) : take(Tok::Lt, 1);
        case '>': return peek(1) == '=' ? take(Tok::Ge, 2) : take(Tok::Gt, 1);
        case '=':
            if (peek(1) == '>') return take(Tok::Implies, 2);
            return peek(1) == '=' ? take(Tok::EqEq, 2) : take(Tok::Assign, 1);
        case '!': return peek(1) == '=' ? take(Tok::NotEq, 2) : take(Tok::Not, 1);
        case '&':
            if (peek(1) == '&') return take(Tok::AndAnd, 2);
            break;
        case '|':
            if (peek(1) == '|') return take(Tok::OrOr, 2);
            break;
        case '+': return take(Tok::Plus, 1);
        case '-': return peek(1) == '>' ? take(Tok::Arrow, 2) : take(Tok::Minus, 1);
        case '*': return take(Tok::Star, 1);
        case '/': return take(Tok::Slash, 1);
        case '^': return take(Tok::Caret, 1);
        default: break;
    }
    // One whole (UTF-8) character, reported and skipped.
    advance();
    while (i_ < src_.size() && (static_cast<unsigned char>(src_[i_]) & 0xC0) == 0x80) advance();
    std::string_view bad = src_.substr(start, i_ - start);
    std::string hint;
    if (bad == "&")
        hint = " (use '&&' for 'and')";
    else if (bad == "|")
        hint = " (use '||' for 'or')";
    else if (bad == "'")
        hint = " (strings use double quotes)";
    else if (bad == "%")
        hint = " (the remainder is written 'a mod b')";
    char_error(t.pos, "unexpected character " + quote(bad) + hint);
    if (bad == "%") {  // read as 'mod': no second error after this one
        t.kind = Tok::KwMod;
        t.raw = bad;
        return t;
    }
    return next();
}

// number -> digits ['.' digits] [('e'|'E') ['+'|'-'] digits]
void Lexer::number(Token& t) {
    // ASCII only: the column moves by the length.
    std::size_t start = i_;
    Numeral n = scan_numeral(src_.data() + i_, src_.data() + src_.size());
    bool is_float = n.is_float;
    i_ = static_cast<std::size_t>(n.end - src_.data());
    pos_.col += static_cast<int>(i_ - start);
    t.raw = src_.substr(start, i_ - start);
    if (is_name_start(peek())) {
        std::size_t end = i_;
        while (end < src_.size() && is_name_char(src_[end])) ++end;
        char_error(t.pos, "malformed number " + quote(src_.substr(start, end - start)));
        while (i_ < end) advance();
    }
    t.kind = is_float ? Tok::Float : Tok::Int;
    if (!convert_ && (is_float || t.raw.size() < 19)) return;  // long integers: still check the range
    if (numeral_value(t.raw, is_float, t.ival, t.fval)) return;
    if (is_float) {
        diag_.error(file_, t.pos, "number " + quote(t.raw) + " is out of range");
        t.fval = 0;
    } else {
        char_error(t.pos, "integer " + quote(t.raw) + " is too large (at most 9223372036854775807)");
        t.ival = 0;
    }
}

// string -> '"' { char | '\"' | '\\' | '\n' | '\t' } '"'   (on one line)
Token Lexer::string(Token t) {
    std::size_t start = i_;
    advance();
    str_.clear();
    for (;;) {
        if (i_ >= src_.size() || src_[i_] == '\n')
            diag_.fatal(file_, t.pos, "unterminated string: '\"' expected before end of line");
        char c = src_[i_];
        if (c == '"') break;
        if (c == '\\') {
            char e = peek(1);
            if (e == '"' || e == '\\')
                str_ += e;
            else if (e == 'n')
                str_ += '\n';
            else if (e == 't')
                str_ += '\t';
            else {
                Pos p = pos_;
                char_error(p, "invalid escape " + quote(src_.substr(i_, e ? 2 : 1)) + " in string (use \\\" or \\\\)");
            }
            advance();
            if (i_ < src_.size() && src_[i_] != '\n') advance();
            continue;
        }
        str_ += c;
        advance();
    }
    advance();
    t.kind = Tok::String;
    t.raw = src_.substr(start, i_ - start);
    return t;
}

}  // namespace tavro::kelm
