// The price-list reader: Markdown table rows (units from the header row or the
// cell) and plain "model: prompt $x, completion $y" lines, in one pass over
// the document's code points.
//
// Each pattern of the reader is matched here by hand with the host's
// character classes (str.isspace / re's \s, \d and \w) and yields the very
// span the host's re would. Python's backtracking engine is quadratic on
// long runs of digits and commas for the number and price patterns; these
// scans are linear. Comments give the pattern each function stands for.
#include "tavro/tokenmeter/tokenmeter.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tavro::tokenmeter {

namespace {

using pyb::handle;
using pyb::object;
using Index = Py_ssize_t;

inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }
inline bool is_digit(Py_UCS4 c) { return c < 128 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDECIMAL(c); }
inline bool is_word(Py_UCS4 c) {
    if (c < 128) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return Py_UNICODE_ISALNUM(c);
}
// str.splitlines boundaries.
inline bool is_linebreak(Py_UCS4 c) {
    if (c < 128) return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || (c >= 0x1C && c <= 0x1E);
    return Py_UNICODE_ISLINEBREAK(c);
}
inline bool is_number_char(Py_UCS4 c) { return c == ',' || is_digit(c); }  // [\d,]
inline bool is_model_char(Py_UCS4 c) {                                     // [\w\-\._/:@]
    return c == '-' || c == '.' || c == '/' || c == ':' || c == '@' || is_word(c);
}
// One letter of "prompt" / "completion" under re.IGNORECASE (both cases;
// 'i' also matches U+0130 and U+0131).
inline bool same_letter(Py_UCS4 c, char lower) {
    if (c == static_cast<Py_UCS4>(lower) || c == static_cast<Py_UCS4>(lower - 'a' + 'A')) return true;
    return lower == 'i' && (c == 0x130 || c == 0x131);
}

struct Span {
    Index a, b;
    bool empty() const { return a >= b; }
};

enum class Unit { none, per_1k, per_1m };

using tavro::py::steal;

template <class Ch>
class Reader {
public:
    Reader(handle text, const Ch* s, Index n)
        : text_(text),
          s_(s),
          n_(n),
          table_(steal(PyDict_New())),
          prompt_key_(steal(PyUnicode_InternFromString("prompt_per_1M"))),
          completion_key_(steal(PyUnicode_InternFromString("completion_per_1M"))) {}

    object run() {
        Index i = 0;
        while (i < n_) {
            Index j = i;
            while (j < n_ && !is_linebreak(s_[j])) ++j;
            line(Span{i, j});
            j += (j + 1 < n_ && s_[j] == '\r' && s_[j + 1] == '\n') ? 2 : 1;
            i = j;
        }
        return table_;
    }

private:
    handle text_;
    const Ch* s_;
    Index n_;
    object table_, prompt_key_, completion_key_;
    Unit prompt_unit_ = Unit::none, completion_unit_ = Unit::none;

    Index skip_space(Index i, Index end) const {
        while (i < end && is_space(s_[i])) ++i;
        return i;
    }
    Span strip(Span r) const {
        r.a = skip_space(r.a, r.b);
        while (r.b > r.a && is_space(s_[r.b - 1])) --r.b;
        return r;
    }
    Index find(Py_UCS4 c, Index i, Index end) const {
        while (i < end && s_[i] != c) ++i;
        return i;
    }
    bool ascii(Span r) const {
        for (Index i = r.a; i < r.b; ++i)
            if (s_[i] >= 128) return false;
        return true;
    }
    object substr(Span r) const { return steal(PyUnicode_Substring(text_.ptr(), r.a, r.b)); }

    // str.lower() of the span (the host's own mapping outside ASCII).
    object lowered(Span r) const {
        if (!ascii(r)) return substr(r).attr("lower")();
        std::string out(static_cast<size_t>(r.b - r.a), '\0');
        for (Index i = r.a; i < r.b; ++i) {
            auto c = static_cast<char>(s_[i]);
            out[static_cast<size_t>(i - r.a)] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return steal(PyUnicode_DecodeASCII(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr));
    }

    // `needle in cell.lower()`; `needle` is lower-case ASCII.
    bool lower_contains(Span r, std::string_view needle) const {
        if (!ascii(r)) {
            int found = PySequence_Contains(lowered(r).ptr(), tavro::py::text(needle).ptr());
            if (found < 0) throw pyb::error_already_set();
            return found == 1;
        }
        const auto m = static_cast<Index>(needle.size());
        for (Index i = r.a; i + m <= r.b; ++i) {
            Index k = 0;
            while (k < m) {
                Py_UCS4 c = s_[i + k];
                if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
                if (c != static_cast<Py_UCS4>(needle[static_cast<size_t>(k)])) break;
                ++k;
            }
            if (k == m) return true;
        }
        return false;
    }

    // re.fullmatch(":?-{3,}:?", cell)
    bool separator(Span r) const {
        Index i = r.a;
        if (i < r.b && s_[i] == ':') ++i;
        Index start = i;
        while (i < r.b && s_[i] == '-') ++i;
        if (i - start < 3) return false;
        if (i < r.b && s_[i] == ':') ++i;
        return i == r.b;
    }

    // re.search("1\s*[kK]", cell) (or [mM])
    bool one_then(Span r, char lower, char upper) const {
        for (Index i = r.a; i < r.b; ++i) {
            if (s_[i] != '1') continue;
            Index j = skip_space(i + 1, r.b);
            if (j < r.b && (s_[j] == static_cast<Py_UCS4>(lower) || s_[j] == static_cast<Py_UCS4>(upper))) return true;
        }
        return false;
    }
    Unit header_unit(Span r) const {
        if (one_then(r, 'k', 'K')) return Unit::per_1k;
        if (one_then(r, 'm', 'M')) return Unit::per_1m;
        return Unit::none;
    }

    // re.search(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b", cell) (or [mM])
    bool states_unit(Span r, char lower, char upper) const {
        for (Index i = r.a; i < r.b; ++i) {
            Index j;
            if (s_[i] == '/') {
                j = skip_space(i + 1, r.b);
            } else if (s_[i] == 'p' && i + 3 < r.b && s_[i + 1] == 'e' && s_[i + 2] == 'r' && is_space(s_[i + 3])) {
                j = skip_space(i + 3, r.b);
            } else {
                continue;
            }
            if (j >= r.b || s_[j] != '1') continue;
            j = skip_space(j + 1, r.b);
            if (j < r.b && (s_[j] == static_cast<Py_UCS4>(lower) || s_[j] == static_cast<Py_UCS4>(upper)) &&
                (j + 1 == r.b || !is_word(s_[j + 1])))
                return true;
        }
        return false;
    }

    Index digits_end(Index i, Index end) const {
        while (i < end && is_digit(s_[i])) ++i;
        return i;
    }

    // The engine's first choice for `[\d,]*\.?\d+` anchored at q, if any.
    // `run_end` receives the end of the [\d,] run that starts at q.
    std::optional<Span> number_at(Index q, Index end, Index& run_end) const {
        Index j = q, last_digit = -1;
        for (; j < end && is_number_char(s_[j]); ++j)
            if (s_[j] != ',') last_digit = j;
        run_end = j;
        if (j + 1 < end && s_[j] == '.' && is_digit(s_[j + 1])) return Span{q, digits_end(j + 1, end)};
        if (last_digit >= 0) return Span{q, last_digit + 1};
        return std::nullopt;
    }

    // Group 1 of re.search(r"\$?([\d,]*\.?\d+)", cell). A run of [\d,] that
    // fails from its first character fails from every later one, so only run
    // starts and dots need trying.
    std::optional<Span> first_number(Span r) const {
        for (Index i = r.a; i < r.b;) {
            Py_UCS4 c = s_[i];
            if (is_number_char(c) || c == '.') {
                Index run_end;
                if (auto number = number_at(i, r.b, run_end)) return number;
                i = run_end > i ? run_end : i + 1;
            } else {
                ++i;
            }
        }
        return std::nullopt;
    }

    // float(number.replace(",", "")), digits of any script as float() reads them.
    double value(Span r) const {
        std::string ascii_number;
        ascii_number.reserve(static_cast<size_t>(r.b - r.a));
        for (Index i = r.a; i < r.b; ++i) {
            Py_UCS4 c = s_[i];
            if (c == ',') continue;
            ascii_number.push_back(c == '.' ? '.' : static_cast<char>('0' + Py_UNICODE_TODECIMAL(c)));
        }
        double v = PyOS_string_to_double(ascii_number.c_str(), nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
        return v;
    }

    // _cell_to_per_1m(cell, default_unit)
    std::optional<double> per_1m(Span cell, Unit default_unit) const {
        if (cell.empty()) return std::nullopt;
        auto number = first_number(cell);
        if (!number) return std::nullopt;
        double v = value(*number);
        if (states_unit(cell, 'k', 'K')) return v * 1000;
        if (states_unit(cell, 'm', 'M')) return v;
        return default_unit == Unit::per_1k ? v * 1000 : v;
    }

    bool keyword_at(Index i, std::string_view word) const {
        for (size_t k = 0; k < word.size(); ++k)
            if (!same_letter(s_[i + static_cast<Index>(k)], word[k])) return false;
        return true;
    }
    Index non_comma_end(Index i, Index end) const { return find(',', i, end); }

    // Group 1 of re.search(word + r"[^$]*\$?([\d,]*\.?\d+[^,]*)", rest, re.I).
    // From an occurrence of the word, [^$]* runs to the first '$' (or the end)
    // and backs off: the number right after that '$' wins if there is one,
    // else the last digit before it, in both cases with the non-comma text
    // that follows. Both answers depend only on the '$', so they are worked
    // out once per '$' and every scan stays linear.
    std::optional<Span> price_group(Span rest, std::string_view word) const {
        const auto w = static_cast<Index>(word.size());
        Index dollar = rest.a, seen = -1, last_digit = -1;
        std::optional<Span> after_dollar;
        for (Index start = rest.a; start + w <= rest.b; ++start) {
            if (!keyword_at(start, word)) continue;
            Index from = start + w;
            if (dollar < from) dollar = from;
            dollar = find('$', dollar, rest.b);
            if (dollar != seen) {
                seen = dollar;
                Index run_end;
                after_dollar = dollar < rest.b ? number_at(dollar + 1, rest.b, run_end) : std::nullopt;
                last_digit = -1;
                for (Index k = dollar - 1; k >= from; --k) {
                    if (is_digit(s_[k])) {
                        last_digit = k;
                        break;
                    }
                }
            }
            if (after_dollar) return Span{after_dollar->a, non_comma_end(after_dollar->b, rest.b)};
            if (last_digit >= from) return Span{last_digit, non_comma_end(last_digit + 1, rest.b)};
        }
        return std::nullopt;
    }

    void store(object key, std::optional<double> prompt, std::optional<double> completion) {
        object entry = steal(PyDict_New());
        object p = prompt ? steal(PyFloat_FromDouble(*prompt)) : pyb::none();
        object c = completion ? steal(PyFloat_FromDouble(*completion)) : pyb::none();
        if (PyDict_SetItem(entry.ptr(), prompt_key_.ptr(), p.ptr()) < 0 ||
            PyDict_SetItem(entry.ptr(), completion_key_.ptr(), c.ptr()) < 0 ||
            PyDict_SetItem(table_.ptr(), key.ptr(), entry.ptr()) < 0)
            throw pyb::error_already_set();
    }

    void line(Span raw) {
        Span s = strip(raw);
        if (s.empty() || s_[s.a] == '#') return;
        if (s_[s.a] == '|') {
            table_row(s);
        } else {
            plain_line(s);
        }
    }

    // cells = [c.strip() for c in s.strip("|").split("|")]; only the first three matter.
    void table_row(Span s) {
        Index a = s.a, b = s.b;
        while (a < b && s_[a] == '|') ++a;
        while (b > a && s_[b - 1] == '|') --b;
        Index bar1 = find('|', a, b);
        if (bar1 == b) return;
        Index bar2 = find('|', bar1 + 1, b);
        if (bar2 == b) return;  // fewer than three cells
        Index bar3 = find('|', bar2 + 1, b);
        Span c0 = strip({a, bar1}), c1 = strip({bar1 + 1, bar2}), c2 = strip({bar2 + 1, bar3});
        if (separator(c0) && separator(c1) && separator(c2)) return;
        if (lower_contains(c0, "model") && (lower_contains(c1, "prompt") || lower_contains(c1, "completion") ||
                                            lower_contains(c2, "prompt") || lower_contains(c2, "completion"))) {
            prompt_unit_ = header_unit(c1);
            completion_unit_ = header_unit(c2);
            return;
        }
        auto prompt = per_1m(c1, prompt_unit_);
        auto completion = per_1m(c2, completion_unit_);
        if (prompt || completion) store(lowered(c0), prompt, completion);
    }

    // re.match(r"(?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)", s, re.I):
    // the model run M, then either whitespace and a separator after all of M,
    // or (backing off) the last ':' or '-' inside M after its first character.
    void plain_line(Span s) {
        Index m = s.a;
        while (m < s.b && is_model_char(s_[m])) ++m;
        if (m == s.a) return;
        Index sep = skip_space(m, s.b), key_end = m;
        if (sep >= s.b || (s_[sep] != ':' && s_[sep] != '-')) {
            sep = m - 1;
            while (sep > s.a && s_[sep] != ':' && s_[sep] != '-') --sep;
            if (sep == s.a) return;
            key_end = sep;
        }
        Span rest{skip_space(sep + 1, s.b), s.b};
        std::optional<double> prompt, completion;
        if (auto group = price_group(rest, "prompt")) prompt = per_1m(*group, Unit::none);
        if (auto group = price_group(rest, "completion")) completion = per_1m(*group, Unit::none);
        if (prompt || completion) store(lowered({s.a, key_end}), prompt, completion);
    }
};

}  // namespace

object parse_price_list(handle text) {
    if (PyUnicode_READY(text.ptr()) < 0) throw pyb::error_already_set();
    const Index n = PyUnicode_GET_LENGTH(text.ptr());
    void* data = PyUnicode_DATA(text.ptr());
    switch (PyUnicode_KIND(text.ptr())) {
        case PyUnicode_1BYTE_KIND: return Reader<Py_UCS1>(text, static_cast<const Py_UCS1*>(data), n).run();
        case PyUnicode_2BYTE_KIND: return Reader<Py_UCS2>(text, static_cast<const Py_UCS2*>(data), n).run();
        default: return Reader<Py_UCS4>(text, static_cast<const Py_UCS4*>(data), n).run();
    }
}

}  // namespace tavro::tokenmeter
