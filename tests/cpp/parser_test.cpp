// Token window and the whole pipeline through compile().
#include <gtest/gtest.h>

#include <string>

#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/parser.hpp"

using namespace tavro::kelm;

TEST(TokenStream, ExpectedReportsNearTheFoundToken) {
    Diagnostics d;
    Lexer lex("a b", File::Model, d);
    TokenStream ts(lex, d);
    EXPECT_EQ(ts.expect(Tok::Name).raw, "a");
    EXPECT_THROW(ts.expect(Tok::Semi), SyntaxError);
    EXPECT_EQ(d.message(), "model:1:3: ';' expected near 'b'");
}

TEST(TokenStream, MissingSemicolonGoesToEndOfPreviousLine) {
    Diagnostics d;
    Lexer lex("abc\nx", File::Model, d);
    TokenStream ts(lex, d);
    ts.next();
    EXPECT_THROW(ts.expect(Tok::Semi), SyntaxError);
    EXPECT_EQ(d.message(), "model:1:4: ';' expected near 'x'");
}

TEST(TokenStream, ReservedWordAsName) {
    Diagnostics d;
    Lexer lex("sum", File::Model, d);
    TokenStream ts(lex, d);
    EXPECT_THROW(ts.expect_name("name"), SyntaxError);
    EXPECT_EQ(d.message(), "model:1:1: name expected near 'sum' ('sum' is a reserved word)");
}

TEST(TokenStream, AheadDoesNotConsume) {
    Diagnostics d;
    Lexer lex("a = 1", File::Data, d);
    TokenStream ts(lex, d);
    EXPECT_EQ(ts.ahead().kind, Tok::Assign);
    EXPECT_TRUE(ts.check(Tok::Name));
    ts.next();
    EXPECT_TRUE(ts.accept(Tok::Assign));
    EXPECT_TRUE(ts.check(Tok::Int));
}

TEST(Compile, ToAsTupleField) {
    auto r = compile(
        "tuple Arc { string from; string to; float cost; }\n{Arc} A = ...;\ndvar float x[A];\n"
        "minimize z: sum(a in A: a.to == \"b\") a.cost * x[a];\nsubject to { forall(a in A) x[a] >= 0; }",
        "A = {<\"a\", \"b\", 1>};");
    EXPECT_TRUE(r.ok) << r.message;
}

TEST(Compile, DeepNestingIsAnErrorNotACrash) {
    auto r = compile("dvar float x;\nminimize z: " + std::string(100000, '(') + "x;", "");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("nesting too deep"), std::string::npos) << r.message;
}
