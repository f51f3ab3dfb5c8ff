// Tokeniser of the few-shot ranker (see tokenizer.hpp).
#include "tavro/rag_helper/core/tokenizer.hpp"

#include <algorithm>
#include <iterator>

namespace tavro::ranker {

namespace {

// Decodes one UTF-8 sequence at `i`; returns the code point and advances `i`,
// or U+FFFF (not a word character) for a malformed byte, advancing by one.
char32_t decode(std::string_view s, size_t& i) {
    constexpr char32_t kBad = 0xFFFF;
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t n;
    char32_t c;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        n = 2, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kBad;
    }
    if (i + n > s.size()) {
        ++i;
        return kBad;
    }
    for (size_t k = 1; k < n; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kBad;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kBad;
    }
    i += n;
    return c;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Sorted, for binary search.
constexpr std::string_view kStopWords[] = {
    "a",        "about",      "above", "after",  "again", "against", "all",     "am",      "an",         "and",
    "any",      "are",        "as",    "at",     "be",    "because", "been",    "before",  "being",      "below",
    "between",  "both",       "but",   "by",     "can",   "could",   "did",     "do",      "does",       "doing",
    "down",     "during",     "each",  "either", "few",   "for",     "from",    "further", "had",        "has",
    "have",     "having",     "he",    "her",    "here",  "hers",    "herself", "him",     "himself",    "his",
    "how",      "i",          "if",    "in",     "into",  "is",      "it",      "its",     "itself",     "just",
    "may",      "me",         "might", "more",   "most",  "must",    "my",      "myself",  "no",         "nor",
    "not",      "now",        "of",    "off",    "on",    "once",    "only",    "or",      "other",      "our",
    "ours",     "ourselves",  "out",   "over",   "own",   "same",    "shall",   "she",     "should",     "so",
    "some",     "such",       "than",  "that",   "the",   "their",   "theirs",  "them",    "themselves", "then",
    "there",    "these",      "they",  "this",   "those", "through", "to",      "too",     "under",      "until",
    "up",       "us",         "very",  "was",    "we",    "were",    "what",    "when",    "where",      "which",
    "while",    "who",        "whom",  "why",    "will",  "with",    "would",   "you",     "your",       "yours",
    "yourself", "yourselves", "also"};

bool vowel(char c) { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u'; }

bool ends_with(const std::string& w, std::string_view suffix) {
    return w.size() >= suffix.size() && std::string_view(w).substr(w.size() - suffix.size()) == suffix;
}

bool ascii_word(const std::string& w) {
    return std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// "shipp" -> "ship"; "fill" stays.
void undouble(std::string& w) {
    size_t n = w.size();
    if (n >= 3 && w[n - 1] == w[n - 2] && !vowel(w[n - 1]) && w[n - 1] != 'l' && w[n - 1] != 's' && w[n - 1] != 'z')
        w.pop_back();
}

}  // namespace

char32_t lower(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x178) return 0xFF;
        if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c % 2 == 0) ? c + 1 : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? c + 1 : c;
        return c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
    if (c == 0x3C2) return 0x3C3;  // final sigma folds to sigma
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 0x25;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 0x3F;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

bool is_word_char(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (c <= 0xBF) return c == 0xAA || c == 0xB5 || c == 0xBA;
    if (c == 0xD7 || c == 0xF7) return false;
    if (c >= 0x2000 && c <= 0x2BFF) return false;  // punctuation, symbols, arrows, maths, boxes
    if (c >= 0x2E00 && c <= 0x2E7F) return false;  // supplemental punctuation
    if (c >= 0x3000 && c <= 0x303F) return false;  // CJK punctuation
    if (c >= 0xFE30 && c <= 0xFE4F) return false;  // CJK compatibility forms
    if ((c >= 0xFF00 && c <= 0xFF0F) || (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
        (c >= 0xFF5B && c <= 0xFF65))
        return false;                                // full-width punctuation
    if (c >= 0xFFF0 && c <= 0xFFFF) return false;    // specials
    if (c >= 0x1F000 && c <= 0x1FAFF) return false;  // emoji and pictographs
    return true;
}

bool is_stop_word(std::string_view word) {
    static const auto sorted = [] {
        std::vector<std::string_view> words(std::begin(kStopWords), std::end(kStopWords));
        std::sort(words.begin(), words.end());
        return words;
    }();
    return std::binary_search(sorted.begin(), sorted.end(), word);
}

std::string fold_suffix(std::string w) {
    if (w.size() < 4 || !ascii_word(w)) return w;
    if (ends_with(w, "ies") && w.size() > 4) {
        w.replace(w.size() - 3, 3, "y");
    } else if (ends_with(w, "sses")) {
        w.resize(w.size() - 2);
    } else if (ends_with(w, "s") && !ends_with(w, "ss") && !ends_with(w, "us") && !ends_with(w, "is")) {
        w.pop_back();
    }
    if (ends_with(w, "ing") && w.size() >= 6) {
        w.resize(w.size() - 3);
        undouble(w);
    } else if (ends_with(w, "ied") && w.size() >= 5) {
        w.replace(w.size() - 3, 3, "y");
    } else if (ends_with(w, "ed") && w.size() >= 5) {
        w.resize(w.size() - 2);
        undouble(w);
    }
    if (ends_with(w, "e") && w.size() >= 4) w.pop_back();
    return w;
}

std::vector<std::string> tokenize(std::string_view utf8) {
    std::vector<std::string> terms;
    std::string word;
    size_t letters = 0;
    auto flush = [&] {
        if (letters > 1 && !is_stop_word(word)) terms.push_back(fold_suffix(std::move(word)));
        word.clear();
        letters = 0;
    };
    for (size_t i = 0; i < utf8.size();) {
        char32_t c = decode(utf8, i);
        if (is_word_char(c)) {
            append_utf8(word, lower(c));
            ++letters;
        } else {
            flush();
        }
    }
    flush();
    return terms;
}

}  // namespace tavro::ranker
