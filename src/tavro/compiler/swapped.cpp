// A model and data file given the wrong way round: told apart by their
// shapes once a parse has failed, and reported as one message instead of an
// error per line.
#include "tavro/compiler/sema.hpp"

namespace tavro::kelm {

namespace {

// Only 'name = value;' items, at least one (a data file).
bool only_assignments(std::string_view text) {
    Diagnostics scratch;
    try {
        Lexer lex(text, File::Model, scratch);
        int items = 0;
        for (Token t = lex.next(); t.kind != Tok::End; t = lex.next()) {
            if (t.kind != Tok::Name || lex.next().kind != Tok::Assign) return false;
            for (t = lex.next(); t.kind != Tok::Semi; t = lex.next()) {
                if (t.kind == Tok::End) return items > 0;  // a last item without ';'
                if (is_keyword(t.kind) && t.kind != Tok::KwInfinity) return false;
            }
            ++items;
        }
        return items > 0;
    } catch (const Abort&) {  // an unterminated string or comment
        return false;
    }
}

// The first word of an item that only a model has: dvar, dexpr, minimize,
// maximize or subject at the start of a statement; nullopt when there is none.
std::optional<Token> model_word(std::string_view text) {
    Diagnostics scratch;
    try {
        Lexer lex(text, File::Data, scratch);
        bool start = true;
        int depth = 0;
        for (Token t = lex.next(); t.kind != Tok::End; t = lex.next()) {
            bool word = t.kind == Tok::KwDvar || t.kind == Tok::KwDexpr || t.kind == Tok::KwMinimize ||
                        t.kind == Tok::KwMaximize || t.kind == Tok::KwSubject;
            if (start && depth == 0 && word) return t;
            if (t.kind == Tok::LBrace) ++depth;
            if (t.kind == Tok::RBrace && depth > 0) --depth;
            start = t.kind == Tok::Semi || (t.kind == Tok::RBrace && depth == 0);
        }
    } catch (const Abort&) {}
    return std::nullopt;
}

}  // namespace

bool report_swapped(Diagnostics& diag, std::string_view model_text, std::string_view data_text, File failed) {
    bool data_like_model = failed == File::Model && only_assignments(model_text);
    std::optional<Token> word = (data_like_model || failed == File::Data) ? model_word(data_text) : std::nullopt;
    if (!data_like_model && !word) return false;
    diag.clear();
    std::string where = word ? quote(word->raw) + " at line " + std::to_string(word->pos.line) : std::string();
    if (data_like_model && word)
        diag.error(File::Model, Pos{1, 1},
                   "the model and data files look swapped: this one holds data ('name = value;' items) and the data "
                   "file a model (" +
                       where + ")");
    else if (data_like_model)
        diag.error(File::Model, Pos{1, 1},
                   "this holds data ('name = value;' items only), not a model: the model and data files look swapped");
    else
        diag.error(File::Data, word->pos,
                   "this holds a model (" + where + "), not data: the model and data files look swapped");
    return true;
}

}  // namespace tavro::kelm
