// Folder ranking with a per-folder index cache (see folder_ranker.hpp).
#include "tavro/rag_helper/core/folder_ranker.hpp"

#include "tavro/rag_helper/core/tokenizer.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <system_error>

namespace tavro::ranker {

namespace fs = std::filesystem;

namespace {

struct Seen {
    std::string name;
    fs::path path;
    fs::file_time_type mtime;
    uintmax_t size;
};

[[noreturn]] void fail(const fs::path& folder, int code) {
    throw fs::filesystem_error("cannot rank descriptions", folder, std::error_code(code, std::generic_category()));
}

// The folder must exist, be a directory and be listable; nested folders that
// cannot be read are skipped.
std::vector<Seen> scan(const fs::path& root) {
    std::error_code ec;
    fs::file_status status = fs::status(root, ec);
    if (ec || !fs::exists(status)) fail(root, ec && ec.value() != ENOENT ? ec.value() : ENOENT);
    if (!fs::is_directory(status)) fail(root, ENOTDIR);
    fs::directory_iterator probe(root, ec);
    if (ec) throw fs::filesystem_error("cannot rank descriptions", root, ec);

    std::vector<Seen> seen;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        if (entry.path().extension() != ".txt") continue;
        std::error_code fec;
        if (!entry.is_regular_file(fec) || fec) continue;
        auto mtime = entry.last_write_time(fec);
        if (fec) continue;
        auto size = entry.file_size(fec);
        if (fec) continue;
        seen.push_back({entry.path().lexically_relative(root).generic_string(), entry.path(), mtime, size});
    }
    std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.name < b.name; });
    return seen;
}

std::optional<std::string> read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

}  // namespace

void FolderRanker::refresh(const fs::path& root, Folder& folder) {
    std::vector<Seen> seen = scan(root);
    bool changed = folder.names.empty() && !seen.empty();
    std::map<std::string, File> files;
    for (Seen& s : seen) {
        auto old = folder.files.find(s.name);
        if (old != folder.files.end() && old->second.mtime == s.mtime && old->second.size == s.size) {
            files.emplace(s.name, std::move(old->second));
            continue;
        }
        changed = true;
        std::optional<std::string> content = read_all(s.path);
        ++files_read_;
        if (!content) continue;  // vanished or unreadable: not a description this time
        files.emplace(s.name, File{s.mtime, s.size, TermCounts::of(tokenize(*content))});
    }
    if (files.size() != folder.files.size()) changed = true;
    folder.files = std::move(files);
    if (!changed) return;
    folder.names.clear();
    std::vector<const TermCounts*> docs;
    for (const auto& [name, file] : folder.files) {
        folder.names.push_back(name);
        docs.push_back(&file.terms);
    }
    folder.index.build(docs);
}

FolderRanker::Folder& FolderRanker::folder_for(const fs::path& key) {
    auto it = folders_.find(key);
    if (it == folders_.end()) {
        if (folders_.size() >= max_folders_) {
            auto oldest = std::min_element(folders_.begin(), folders_.end(), [](const auto& a, const auto& b) {
                return a.second.last_used < b.second.last_used;
            });
            folders_.erase(oldest);
        }
        it = folders_.try_emplace(key).first;
    }
    it->second.last_used = ++clock_;
    return it->second;
}

std::vector<Hit> FolderRanker::rank(const fs::path& folder_path, std::string_view query, size_t top_k) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(folder_path, ec), ec);
    if (ec) key = folder_path;
    Folder& folder = folder_for(key);
    try {
        refresh(folder_path, folder);
    } catch (...) {
        folders_.erase(key);
        throw;
    }
    std::vector<Hit> hits;
    for (const ScoredDoc& d : folder.index.search(tokenize(query), top_k))
        hits.push_back({folder_path / fs::path(folder.names[d.doc]), d.score});
    return hits;
}

uint64_t FolderRanker::files_read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_read_;
}

void FolderRanker::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    folders_.clear();
}

FolderRanker& shared_ranker() {
    static FolderRanker* ranker = new FolderRanker();  // never destroyed: may be in use at exit
    return *ranker;
}

}  // namespace tavro::ranker
