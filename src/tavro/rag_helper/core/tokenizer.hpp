// Tokeniser of the few-shot ranker: UTF-8 text to index terms (lower-cased
// words without punctuation, English stop words dropped, light suffix folding).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavro::ranker {

// Lower case of one code point: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic; others are returned unchanged.
char32_t lower(char32_t c);

// True for code points that belong to words: ASCII letters and digits, and
// non-ASCII code points outside the punctuation, symbol and emoji blocks.
bool is_word_char(char32_t c);

bool is_stop_word(std::string_view word);

// Folds common English inflections so that "shipping", "shipped" and
// "ships" meet "ship". ASCII words of four letters or more only.
std::string fold_suffix(std::string word);

// Index terms of `utf8`, in text order (repeats kept). Invalid UTF-8 bytes
// separate words; one-character words and stop words are dropped.
std::vector<std::string> tokenize(std::string_view utf8);

}  // namespace tavro::ranker
