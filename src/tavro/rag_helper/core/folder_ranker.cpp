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

#include <sys/stat.h>
#include <time.h>

namespace tavro::ranker {

namespace fs = std::filesystem;

namespace {

struct Seen {
    std::string name;
    fs::path path;
    int64_t mtime_ns;
    uintmax_t size;
};

// One stat() per file: regular-file test, size and modification time.
bool stat_file(const fs::path& path, int64_t& mtime_ns, uintmax_t& size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    size = static_cast<uintmax_t>(st.st_size);
    return true;
}

[[noreturn]] void fail(const fs::path& folder, int code) {
    throw fs::filesystem_error("cannot rank descriptions", folder, std::error_code(code, std::generic_category()));
}

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// File-system timestamps advance in coarse ticks: a change made in the tick
// of our last look can leave the timestamp as it was. Only a timestamp older
// than this margin at the time of that look proves that nothing changed since.
constexpr int64_t kSettledNs = 2'000'000'000;

bool settled(int64_t mtime_ns, int64_t seen_at_ns) { return mtime_ns < seen_at_ns - kSettledNs; }

struct Walk {
    const fs::path& root;
    const Listings& previous;
    Listings& next;
    std::vector<Seen>& seen;
    int64_t now;

    // Lists `rel` again only when its timestamp changed (or is too recent to
    // trust), then visits its description files and sub-folders.
    void visit(const std::string& rel, bool top) {
        fs::path dir = rel.empty() ? root : root / rel;
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
        int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        Listing listing;
        auto old = previous.find(rel);
        if (old != previous.end() && old->second.mtime_ns == mtime && settled(mtime, old->second.listed_at_ns)) {
            listing = old->second;
        } else {
            std::error_code ec;
            fs::directory_iterator it(dir, ec);
            if (ec) {
                if (top) throw fs::filesystem_error("cannot rank descriptions", root, ec);
                return;  // an unreadable sub-folder is skipped
            }
            listing.mtime_ns = mtime;
            listing.listed_at_ns = now;
            for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
                const fs::directory_entry& entry = *it;
                std::error_code fec;
                std::string name = entry.path().filename().string();
                if (!entry.is_symlink(fec) && entry.is_directory(fec)) {
                    listing.folders.push_back(name);
                } else if (entry.path().extension() == ".txt") {
                    listing.files.push_back(name);
                }
            }
        }
        for (const std::string& name : listing.files) {
            Seen s{rel.empty() ? name : rel + "/" + name, dir / name, 0, 0};
            if (stat_file(s.path, s.mtime_ns, s.size)) seen.push_back(std::move(s));
        }
        std::vector<std::string> folders = listing.folders;
        next[rel] = std::move(listing);
        for (const std::string& name : folders) visit(rel.empty() ? name : rel + "/" + name, false);
    }
};

// The folder must exist, be a directory and be listable; nested folders that
// cannot be read are skipped.
std::vector<Seen> scan(const fs::path& root, Listings& listings, int64_t now) {
    std::error_code ec;
    fs::file_status status = fs::status(root, ec);
    if (ec || !fs::exists(status)) fail(root, ec && ec.value() != ENOENT ? ec.value() : ENOENT);
    if (!fs::is_directory(status)) fail(root, ENOTDIR);

    std::vector<Seen> seen;
    Listings next;
    Walk{root, listings, next, seen, now}.visit("", true);
    listings = std::move(next);
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
    int64_t now = now_ns();
    std::vector<Seen> seen = scan(root, folder.listings, now);
    bool changed = folder.names.empty() && !seen.empty();
    std::map<std::string, File> files;
    for (Seen& s : seen) {
        auto old = folder.files.find(s.name);
        if (old != folder.files.end() && old->second.mtime_ns == s.mtime_ns && old->second.size == s.size &&
            settled(s.mtime_ns, old->second.read_at_ns)) {
            files.emplace(s.name, std::move(old->second));
            continue;
        }
        changed = true;
        std::optional<std::string> content = read_all(s.path);
        ++files_read_;
        if (!content) continue;  // vanished or unreadable: not a description this time
        files.emplace(s.name, File{s.mtime_ns, s.size, now, TermCounts::of(tokenize(*content))});
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
