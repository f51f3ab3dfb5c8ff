// Okapi BM25 (see bm25.hpp).
#include "tavro/rag_helper/core/bm25.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace tavro::ranker {

TermCounts TermCounts::of(const std::vector<std::string>& terms) {
    TermCounts tc;
    for (const auto& t : terms) ++tc.counts[t];
    tc.length = terms.size();
    return tc;
}

void Bm25Index::build(const std::vector<const TermCounts*>& docs) {
    postings_.clear();
    lengths_.clear();
    size_t total = 0;
    for (size_t id = 0; id < docs.size(); ++id) {
        for (const auto& [term, count] : docs[id]->counts) postings_[term].push_back({id, count});
        lengths_.push_back(docs[id]->length);
        total += docs[id]->length;
    }
    average_length_ = docs.empty() ? 0.0 : static_cast<double>(total) / static_cast<double>(docs.size());
}

double Bm25Index::idf(std::string_view term) const {
    auto it = postings_.find(std::string(term));
    double df = it == postings_.end() ? 0.0 : static_cast<double>(it->second.size());
    double n = static_cast<double>(size());
    return std::log(1.0 + (n - df + 0.5) / (df + 0.5));
}

std::vector<ScoredDoc> Bm25Index::search(const std::vector<std::string>& query, size_t top_k) const {
    std::vector<double> scores(size(), 0.0);
    std::unordered_set<std::string_view> seen;
    for (const auto& term : query) {
        if (!seen.insert(term).second) continue;
        auto it = postings_.find(term);
        if (it == postings_.end()) continue;
        double weight = idf(term);
        for (const Posting& p : it->second) {
            double tf = p.count;
            double norm = average_length_ > 0 ? static_cast<double>(lengths_[p.doc]) / average_length_ : 0.0;
            scores[p.doc] += weight * tf * (params_.k1 + 1) / (tf + params_.k1 * (1 - params_.b + params_.b * norm));
        }
    }
    std::vector<ScoredDoc> hits;
    for (size_t id = 0; id < scores.size(); ++id)
        if (scores[id] > 0) hits.push_back({id, scores[id]});
    auto better = [](const ScoredDoc& x, const ScoredDoc& y) {
        return x.score != y.score ? x.score > y.score : x.doc < y.doc;
    };
    if (top_k > 0 && top_k < hits.size()) {
        std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(top_k), hits.end(), better);
        hits.resize(top_k);
    } else {
        std::sort(hits.begin(), hits.end(), better);
    }
    return hits;
}

}  // namespace tavro::ranker
