// Okapi BM25 over a fixed set of tokenised documents.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavro::ranker {

struct Bm25Params {
    double k1 = 1.2;
    double b = 0.75;
};

struct ScoredDoc {
    size_t doc;
    double score;
};

// Term counts of one document.
struct TermCounts {
    std::unordered_map<std::string, unsigned> counts;
    size_t length = 0;

    static TermCounts of(const std::vector<std::string>& terms);
};

class Bm25Index {
public:
    explicit Bm25Index(Bm25Params params = {}) : params_(params) {}

    // Replaces the indexed documents; document i of `docs` gets id i.
    void build(const std::vector<const TermCounts*>& docs);

    size_t size() const { return lengths_.size(); }

    // ln(1 + (N - df + 0.5) / (df + 0.5)): positive for every df.
    double idf(std::string_view term) const;

    // Documents with a positive score for the distinct terms of `query`,
    // best first; ties by id. `top_k` 0 keeps every match.
    std::vector<ScoredDoc> search(const std::vector<std::string>& query, size_t top_k) const;

private:
    struct Posting {
        size_t doc;
        unsigned count;
    };
    Bm25Params params_;
    std::unordered_map<std::string, std::vector<Posting>> postings_;
    std::vector<size_t> lengths_;
    double average_length_ = 0;
};

}  // namespace tavro::ranker
