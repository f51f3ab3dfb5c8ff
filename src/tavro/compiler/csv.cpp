// CSV tables: the record reader (one pass over the bytes, fields as views
// into the file) and the safe opening of a table inside the data folder.
#include "tavro/compiler/csv.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tavro::kelm::csv {

namespace {

constexpr std::size_t npos = std::string::npos;

bool line_end(char c) { return c == '\n' || c == '\r'; }

std::string quoted_name(const std::string& s) { return "'" + s + "'"; }

}  // namespace

std::size_t invalid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs eight bytes at a time
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // at most U+10FFFF
        } else {
            return i;
        }
        if (i + len > n || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return i;
        i += len;
    }
    return npos;
}

Reader::Reader(std::string_view text) : s_(text), bad_utf8_(invalid_utf8(text)) {
    if (s_.size() >= 3 && s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
}

// quoted -> '"' { char | '""' | line break } '"'
std::string_view Reader::quoted(std::size_t field) {
    const char* s = s_.data();
    const std::size_t n = s_.size();
    ++i_;
    const std::size_t begin = i_;
    std::string* buf = nullptr;
    for (;;) {
        const void* q = std::memchr(s + i_, '"', n - i_);
        if (!q) throw Fault{row_, field, "unterminated quoted field: the closing '\"' is missing"};
        std::size_t at = static_cast<std::size_t>(static_cast<const char*>(q) - s);
        for (std::size_t k = i_; k < at; ++k)
            if (s[k] == '\n' || (s[k] == '\r' && (k + 1 == n || s[k + 1] != '\n'))) ++line_;
        if (at + 1 < n && s[at + 1] == '"') {  // "" is one quote
            if (!buf) {
                if (used_ == unescaped_.size()) unescaped_.emplace_back();
                buf = &unescaped_[used_++];
                buf->assign(s + begin, at + 1 - begin);
            } else {
                buf->append(s + i_, at + 1 - i_);
            }
            i_ = at + 2;
            continue;
        }
        std::string_view out;
        if (buf) {
            buf->append(s + i_, at - i_);
            out = *buf;
        } else {
            out = std::string_view(s + begin, at - begin);
        }
        i_ = at + 1;
        if (i_ < n && s[i_] != ',' && !line_end(s[i_]))
            throw Fault{row_, field,
                        "text after the closing '\"' of a quoted field (a quote inside one is written '\"\"')"};
        return out;
    }
}

bool Reader::next(std::vector<std::string_view>& fields) {
    fields.clear();
    starts_.clear();
    used_ = 0;
    const char* s = s_.data();
    const std::size_t n = s_.size();
    while (i_ < n && line_end(s[i_])) {  // blank lines
        if (s[i_] == '\r' && i_ + 1 < n && s[i_ + 1] == '\n') ++i_;
        ++i_;
        ++line_;
    }
    if (i_ >= n) return false;
    row_ = line_;
    for (;;) {
        starts_.push_back(i_);
        if (i_ < n && s[i_] == '"') {
            fields.push_back(quoted(fields.size()));
        } else {
            std::size_t b = i_;
            while (i_ < n && s[i_] != ',' && !line_end(s[i_])) ++i_;
            fields.emplace_back(s + b, i_ - b);
        }
        if (i_ >= n) break;
        if (s[i_] == ',') {
            ++i_;
            continue;
        }
        if (s[i_] == '\r' && i_ + 1 < n && s[i_ + 1] == '\n') ++i_;
        ++i_;
        ++line_;
        break;
    }
    if (bad_utf8_ != npos && bad_utf8_ < i_) check_utf8();
    return true;
}

void Reader::check_utf8() {
    const std::size_t at = bad_utf8_;
    std::size_t field = 0;
    while (field + 1 < starts_.size() && starts_[field + 1] <= at) ++field;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(s_[at]));
    throw Fault{row_, field, std::string("byte ") + hex + " is not UTF-8 (save the table as UTF-8)"};
}

File read_file(const std::string& folder, const std::string& name) {
    File out;
    const std::string shown = quoted_name(name);
    auto fail = [&](std::string text) {
        out.error = "csv file " + shown + " " + text;
        return out;
    };
    if (name.empty()) return fail("has no name: give a file name");
    if (name.find('\0') != npos) return fail("is not a file name");
    if (name[0] == '/') return fail("is an absolute path: name a file inside the data folder");
    int depth = 0;
    for (std::size_t b = 0; b <= name.size();) {
        std::size_t e = name.find('/', b);
        if (e == npos) e = name.size();
        std::string_view part(name.data() + b, e - b);
        if (part == "..") {
            if (--depth < 0) return fail("is outside the data folder: name a file inside it");
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        b = e + 1;
    }
    const std::string base = folder.empty() ? "." : folder;
    const std::string where = folder.empty() ? "the current folder" : "'" + folder + "'";
    std::unique_ptr<char, decltype(&std::free)> real_base(realpath(base.c_str(), nullptr), &std::free);
    if (!real_base) {
        out.error = "data folder " + where + " not found (for csv file " + shown + ")";
        return out;
    }
    const std::string full = base + "/" + name;
    std::unique_ptr<char, decltype(&std::free)> real(realpath(full.c_str(), nullptr), &std::free);
    if (!real) {
        if (errno == ENOENT || errno == ENOTDIR) return fail("not found in " + where);
        return fail("cannot be read: " + std::string(std::strerror(errno)));
    }
    std::string rb = real_base.get(), rf = real.get();
    if (rb != "/" && (rf.size() <= rb.size() || rf.compare(0, rb.size(), rb) != 0 || rf[rb.size()] != '/'))
        return fail("leads outside the data folder (through a link): copy the table into the folder");
    // O_NONBLOCK: a FIFO put there must not stall the compile before fstat refuses it.
    int fd = ::open(rf.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return fail("cannot be read: " + std::string(std::strerror(errno)));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("is not a regular file");
    }
    out.text.resize(static_cast<std::size_t>(st.st_size) + 1);  // one spare byte: end of file without a resize
    std::size_t got = 0;
    for (;;) {
        if (got == out.text.size()) out.text.resize(got + 65536);  // the file grew meanwhile
        ssize_t r = ::read(fd, out.text.data() + got, out.text.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int e = errno;
            ::close(fd);
            out.text.clear();
            return fail("cannot be read: " + std::string(std::strerror(e)));
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    out.text.resize(got);
    return out;
}

}  // namespace tavro::kelm::csv
