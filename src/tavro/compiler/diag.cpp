// Diagnostics: collection, message shape and the "did you mean" suggestion.
#include "tavro/compiler/diag.hpp"

#include <algorithm>
#include <cctype>

namespace tavro::kelm {

void Diagnostics::error(File file, Pos pos, std::string text) {
    errors_.push_back({file, pos, std::move(text), {}});
    if (errors_.size() >= kMaxErrors) throw Abort{};
}

void Diagnostics::error_named(std::string where, std::string text) {
    errors_.push_back({File::Data, Pos{}, std::move(text), std::move(where)});
    if (errors_.size() >= kMaxErrors) throw Abort{};
}

void Diagnostics::fatal(File file, Pos pos, std::string text) {
    if (errors_.size() < kMaxErrors) errors_.push_back({file, pos, std::move(text), {}});
    throw Abort{};
}

std::string Diagnostics::message() const {
    std::string out;
    for (const auto& e : errors_) {
        if (!out.empty()) out += '\n';
        if (!e.where.empty()) {
            out += e.where + ": " + e.text;
            continue;
        }
        out += e.file == File::Model ? "model:" : "data:";
        out += std::to_string(e.pos.line) + ":" + std::to_string(e.pos.col) + ": " + e.text;
    }
    return out;
}

std::string quote(std::string_view s) {
    constexpr std::size_t kMax = 40;
    std::string out = "'";
    if (s.size() > kMax) {
        std::size_t cut = kMax;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
        out.append(s.substr(0, cut)).append("...");
    } else {
        out.append(s);
    }
    return out + "'";
}

namespace {

// Edit distance with adjacent transpositions (optimal string alignment).
std::size_t distance(std::string_view a, std::string_view b) {
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::size_t> prev2(b.size() + 1), prev(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t cost = a[i - 1] == b[j - 1] ? 0 : same(a[i - 1], b[j - 1]) ? 0 : 1;
            row[j] = std::min({prev[j] + 1, row[j - 1] + 1, prev[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], prev2[j - 2] + 1);
        }
        std::swap(prev2, prev);
        std::swap(prev, row);
    }
    return prev[b.size()];
}

}  // namespace

std::string closest(std::string_view name, const std::vector<std::string_view>& candidates) {
    std::string_view best;
    if (name.size() > 64) return {};  // keeps the edit distance cheap
    std::size_t best_d = std::max<std::size_t>(1, name.size() / 3) + 1;
    for (auto c : candidates) {
        if (c == name || c.size() > name.size() + best_d || name.size() > c.size() + best_d) continue;
        std::size_t d = distance(name, c);
        if (d < best_d) best = c, best_d = d;
    }
    return std::string(best);
}

}  // namespace tavro::kelm
