// Native tests of the few-shot ranker core: tokeniser, BM25 and the folder cache.
#include "tavro/rag_helper/core/bm25.hpp"
#include "tavro/rag_helper/core/folder_ranker.hpp"
#include "tavro/rag_helper/core/tokenizer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>

namespace fs = std::filesystem;
using namespace tavro::ranker;
using Terms = std::vector<std::string>;

TEST(Tokenizer, LowerCasesAndDropsPunctuationAndStopWords) {
    EXPECT_EQ(tokenize("The Warehouse, and THE store!"), (Terms{"warehous", "stor"}));
    EXPECT_EQ(tokenize("x-y a b 42"), (Terms{"42"}));
    EXPECT_EQ(tokenize(""), Terms{});
    EXPECT_EQ(tokenize("... --- !!!"), Terms{});
}

TEST(Tokenizer, UnicodeLowerCase) {
    EXPECT_EQ(tokenize("ÉCOLE"), tokenize("école"));
    EXPECT_EQ(tokenize("ΩΜΕΓΑ"), tokenize("ωμεγα"));
    EXPECT_EQ(tokenize("МОСКВА"), tokenize("москва"));
    EXPECT_EQ(tokenize("ŁÓDŹ"), tokenize("łódź"));
    EXPECT_EQ(lower(U'Σ'), U'σ');
    EXPECT_EQ(lower(U'ς'), U'σ');
}

TEST(Tokenizer, UnicodePunctuationSeparates) {
    EXPECT_EQ(tokenize("cost\u2014profit \u201cquoted\u201d \U0001F600smile"),
              (Terms{"cost", "profit", "quot", "smil"}));
}

TEST(Tokenizer, InvalidUtf8SeparatesWords) {
    EXPECT_EQ(tokenize("caf\xff\xfe"
                       "bread \xc3"),
              (Terms{"caf", "bread"}));
    EXPECT_EQ(tokenize("\xed\xa0\x80 shop"), (Terms{"shop"}));  // encoded surrogate
}

TEST(Tokenizer, SuffixFolding) {
    for (auto [a, b] : std::vector<std::pair<std::string, std::string>>{{"shipping", "ship"},
                                                                        {"shipped", "ships"},
                                                                        {"factories", "factory"},
                                                                        {"minimizing", "minimize"},
                                                                        {"planned", "plans"},
                                                                        {"processes", "process"}})
        EXPECT_EQ(fold_suffix(a), fold_suffix(b)) << a << " / " << b;
    EXPECT_EQ(fold_suffix("bus"), "bus");
    EXPECT_EQ(fold_suffix("analysis"), "analysis");
    EXPECT_EQ(fold_suffix("café"), "café");  // non-ASCII words are left alone
}

TEST(Tokenizer, StopWords) {
    EXPECT_TRUE(is_stop_word("the"));
    EXPECT_TRUE(is_stop_word("yourselves"));
    EXPECT_FALSE(is_stop_word("cost"));
}

Bm25Index index_of(const std::vector<Terms>& docs, std::vector<TermCounts>& storage) {
    storage.clear();
    for (const auto& d : docs) storage.push_back(TermCounts::of(d));
    std::vector<const TermCounts*> ptrs;
    for (const auto& s : storage) ptrs.push_back(&s);
    Bm25Index index;
    index.build(ptrs);
    return index;
}

TEST(Bm25, RareTermsWeighMore) {
    std::vector<TermCounts> storage;
    auto index = index_of({{"cost", "ship"}, {"cost", "nurse"}, {"cost", "oil"}}, storage);
    EXPECT_GT(index.idf("ship"), index.idf("cost"));
    EXPECT_GT(index.idf("cost"), 0.0);
    auto hits = index.search({"cost", "nurse"}, 0);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].doc, 1u);
    EXPECT_EQ(hits[1].score, hits[2].score);
    EXPECT_LT(hits[1].doc, hits[2].doc);  // ties by id
}

TEST(Bm25, MatchesTheFormula) {
    std::vector<TermCounts> storage;
    auto index = index_of({{"a1", "a1", "b1"}, {"b1"}}, storage);
    double n = 2, df = 1, avg = 2, k1 = 1.2, b = 0.75, tf = 2, len = 3;
    double idf = std::log(1 + (n - df + 0.5) / (df + 0.5));
    double expected = idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len / avg));
    auto hits = index.search({"a1"}, 0);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_NEAR(hits[0].score, expected, 1e-12);
}

TEST(Bm25, RepeatedQueryTermsCountOnceAndTopK) {
    std::vector<TermCounts> storage;
    auto index = index_of({{"x1"}, {"x1", "y1"}, {"y1"}}, storage);
    EXPECT_EQ(index.search({"x1", "x1"}, 0)[0].score, index.search({"x1"}, 0)[0].score);
    EXPECT_EQ(index.search({"x1", "y1"}, 1).size(), 1u);
    EXPECT_TRUE(index.search({"zz"}, 5).empty());
    EXPECT_TRUE(Bm25Index().search({"x1"}, 5).empty());
}

class FolderRankerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        root = fs::temp_directory_path() / ("ranker_test_" + std::to_string(rd()));
        fs::create_directories(root / "sub");
    }
    void TearDown() override { fs::remove_all(root); }
    void write(const fs::path& rel, const std::string& text) { std::ofstream(root / rel, std::ios::binary) << text; }
    // Timestamps old enough to prove a file unchanged.
    void age(const fs::path& rel, int minutes = 60) {
        fs::last_write_time(root / rel, fs::file_time_type::clock::now() - std::chrono::minutes(minutes));
    }
    fs::path root;
};

TEST_F(FolderRankerTest, RanksRecursivelyAndCaches) {
    write("a.txt", "warehouse stores shipping");
    write("sub/b.txt", "nurses shifts roster");
    write("sub/c.mod", "nurses nurses");
    age("a.txt");
    age("sub/b.txt");
    FolderRanker ranker;
    auto hits = ranker.rank(root, "Nurse roster", 5);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].path, root / "sub/b.txt");
    EXPECT_EQ(ranker.files_read(), 2u);
    ranker.rank(root, "warehouse", 5);
    EXPECT_EQ(ranker.files_read(), 2u);  // nothing changed: nothing read

    write("sub/b.txt", "warehouse warehouse");  // new size
    auto again = ranker.rank(root, "warehouse", 5);
    EXPECT_EQ(ranker.files_read(), 3u);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].path, root / "sub/b.txt");

    fs::remove(root / "a.txt");
    EXPECT_EQ(ranker.rank(root, "warehouse", 5).size(), 1u);
}

TEST_F(FolderRankerTest, SameSizeEditDetectedByTime) {
    write("a.txt", "alpha");
    FolderRanker ranker;
    EXPECT_EQ(ranker.rank(root, "alpha", 1).size(), 1u);
    age("a.txt", 60);
    EXPECT_EQ(ranker.rank(root, "alpha", 1).size(), 1u);
    write("a.txt", "gamma");
    age("a.txt", 30);
    EXPECT_TRUE(ranker.rank(root, "alpha", 1).empty());
    EXPECT_EQ(ranker.rank(root, "gamma", 1).size(), 1u);
}

TEST_F(FolderRankerTest, BadFoldersThrow) {
    FolderRanker ranker;
    try {
        ranker.rank(root / "missing", "q", 1);
        FAIL();
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    write("file.txt", "x");
    try {
        ranker.rank(root / "file.txt", "q", 1);
        FAIL();
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOTDIR);
    }
}

TEST_F(FolderRankerTest, EvictsLeastRecentlyUsedFolder) {
    write("sub/a.txt", "alpha");
    write("b.txt", "alpha");
    age("sub/a.txt");
    age("b.txt");
    FolderRanker ranker(1);
    ranker.rank(root / "sub", "alpha", 1);
    ranker.rank(root, "alpha", 1);
    ranker.rank(root / "sub", "alpha", 1);
    EXPECT_EQ(ranker.files_read(), 4u);  // sub/ was evicted and read again
}

TEST_F(FolderRankerTest, RecentTimestampsAreLookedAtAgain) {
    write("a.txt", "alpha");
    FolderRanker ranker;
    EXPECT_EQ(ranker.rank(root, "alpha", 1).size(), 1u);
    auto stamp = fs::last_write_time(root / "a.txt");
    write("a.txt", "gamma");  // same size, possibly the same timestamp tick
    fs::last_write_time(root / "a.txt", stamp);
    EXPECT_EQ(ranker.rank(root, "gamma", 1).size(), 1u);
    write("b.txt", "delta");  // new file in a folder listed moments ago
    EXPECT_EQ(ranker.rank(root, "delta", 1).size(), 1u);
}
