// Ranks the description files (*.txt, recursively) of a folder against a
// query with BM25. Each folder's index is cached and brought up to date on
// every query: files whose size or modification time changed are read
// again, new files are added and removed ones dropped. Folders and files
// whose timestamps are too recent to prove them unchanged are looked at again.
#pragma once

#include "tavro/rag_helper/core/bm25.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::ranker {

// The cached listing of one folder: file and sub-folder names.
struct Listing {
    int64_t mtime_ns = 0;
    int64_t listed_at_ns = 0;
    std::vector<std::string> files;    // *.txt entries
    std::vector<std::string> folders;  // sub-folders (symbolic links not followed)
};
using Listings = std::map<std::string, Listing>;  // by path relative to the ranked folder

struct Hit {
    std::filesystem::path path;  // the folder as given, joined with the file's relative path
    double score;
};

class FolderRanker {
public:
    explicit FolderRanker(size_t max_folders = 32) : max_folders_(max_folders) {}

    // Best matches first (ties by path); `top_k` 0 returns every match.
    // A missing folder, a non-folder or an unreadable folder throws
    // std::filesystem::filesystem_error with the matching error code.
    // Safe to call from several threads.
    std::vector<Hit> rank(const std::filesystem::path& folder, std::string_view query, size_t top_k);

    // Number of description files read so far (for tests of the cache).
    uint64_t files_read() const;
    void clear();

private:
    struct File {
        int64_t mtime_ns = 0;
        uintmax_t size = 0;
        int64_t read_at_ns = 0;
        TermCounts terms;
    };
    struct Folder {
        std::map<std::string, File> files;  // by relative path, so ids follow path order
        std::vector<std::string> names;     // id -> relative path
        Listings listings;                  // folder listings, reused while unchanged
        Bm25Index index;
        uint64_t last_used = 0;
    };

    void refresh(const std::filesystem::path& root, Folder& folder);
    Folder& folder_for(const std::filesystem::path& key);

    mutable std::mutex mutex_;
    std::map<std::filesystem::path, Folder> folders_;
    size_t max_folders_;
    uint64_t clock_ = 0;
    uint64_t files_read_ = 0;
};

// The process-wide ranker behind rank_problem_descriptions.
FolderRanker& shared_ranker();

}  // namespace tavro::ranker
