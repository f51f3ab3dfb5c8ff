// Lexer: token kinds, positions in characters, character errors.
#include <gtest/gtest.h>

#include <vector>

#include "tavro/compiler/lexer.hpp"

using namespace tavro::kelm;

namespace {

std::vector<Token> lex_all(std::string_view src, Diagnostics& d) {
    Lexer lex(src, File::Model, d);
    std::vector<Token> out;
    for (;;) {
        Token t = lex.next();
        out.push_back(t);
        if (t.kind == Tok::End) return out;
    }
}

}  // namespace

TEST(Lexer, KeywordsNamesAndToIsAName) {
    Diagnostics d;
    auto toks = lex_all("subject to from in forall", d);
    ASSERT_EQ(toks.size(), 6u);
    EXPECT_EQ(toks[0].kind, Tok::KwSubject);
    EXPECT_EQ(toks[1].kind, Tok::Name);
    EXPECT_EQ(toks[2].kind, Tok::Name);
    EXPECT_EQ(toks[3].kind, Tok::KwIn);
    EXPECT_EQ(toks[4].kind, Tok::KwForall);
    EXPECT_FALSE(d.any());
}

TEST(Lexer, RangeIsNotAFloat) {
    Diagnostics d;
    auto toks = lex_all("1..10 2.5 3e2", d);
    EXPECT_EQ(toks[0].kind, Tok::Int);
    EXPECT_EQ(toks[0].ival, 1);
    EXPECT_EQ(toks[1].kind, Tok::DotDot);
    EXPECT_EQ(toks[2].ival, 10);
    EXPECT_EQ(toks[3].kind, Tok::Float);
    EXPECT_DOUBLE_EQ(toks[3].fval, 2.5);
    EXPECT_DOUBLE_EQ(toks[4].fval, 300.0);
}

TEST(Lexer, ColumnsCountCharactersNotBytes) {
    Diagnostics d;
    auto toks = lex_all("\"é\" x\n  y", d);
    EXPECT_EQ(toks[1].pos.line, 1);
    EXPECT_EQ(toks[1].pos.col, 5);
    EXPECT_EQ(toks[2].pos.line, 2);
    EXPECT_EQ(toks[2].pos.col, 3);
}

TEST(Lexer, StrayCharacterReportedAndSkipped) {
    Diagnostics d;
    auto toks = lex_all("a & b", d);
    EXPECT_EQ(toks.size(), 3u);
    EXPECT_EQ(d.message(), "model:1:3: unexpected character '&' (use '&&' for 'and')");
}

TEST(Lexer, CharErrorsCanBeSilenced) {
    Diagnostics d;
    Lexer lex("$ 1x 99999999999999999999 \"\\q\"", File::Data, d);
    lex.set_char_errors(false);
    while (lex.next().kind != Tok::End) {}
    EXPECT_FALSE(d.any());
}

TEST(Lexer, UnterminatedCommentIsFatal) {
    Diagnostics d;
    EXPECT_THROW(lex_all("x /* never", d), Abort);
    EXPECT_EQ(d.message(), "model:1:3: unterminated comment: '*/' expected (to close '/*' at line 1)");
}
