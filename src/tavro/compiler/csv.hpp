// CSV tables for data bindings: the file rules (a path inside the data
// folder, read-only, a regular file) and an RFC 4180 record reader over the
// file's bytes (commas, double-quoted fields with "" escapes and line breaks,
// UTF-8 with an optional byte-order mark, LF, CRLF or CR line ends).
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::kelm::csv {

// A malformed table: `row` is the file line where the record starts (the
// header is row 1), `field` the 0-based field, or npos for the whole row.
struct Fault {
    std::size_t row = 0;
    std::size_t field = 0;
    std::string text;
};

class Reader {
public:
    // `text` is the whole file and must outlive the reader.
    explicit Reader(std::string_view text);
    // The next record's fields into `fields` (views into the text, or into
    // the reader for fields with "" escapes, valid until the next call);
    // false at the end. Blank lines are skipped. Throws Fault.
    bool next(std::vector<std::string_view>& fields);
    // File line of the last record's start (the header is row 1).
    std::size_t row() const { return row_; }

private:
    std::string_view quoted(std::size_t field);
    void check_utf8();  // throws the Fault of the byte at bad_utf8_

    std::string_view s_;
    std::size_t i_ = 0;
    std::size_t line_ = 1;
    std::size_t row_ = 0;
    std::size_t bad_utf8_;               // offset of the first byte that is not UTF-8, or npos
    std::vector<std::size_t> starts_;    // offsets of the current record's fields
    std::deque<std::string> unescaped_;  // decoded fields of the current record
    std::size_t used_ = 0;
};

// Offset of the first byte of `s` that is not well-formed UTF-8, or npos.
std::size_t invalid_utf8(std::string_view s);

// A table file found by a binding. `error` is set (and `text` empty) when the
// path is refused or the file cannot be read.
struct File {
    std::string text;
    std::string error;
};

// Reads `name`, relative to `folder` ("" for the current folder), refusing
// absolute paths, '..' and links that lead outside the folder, and anything
// but a regular file. Never writes.
File read_file(const std::string& folder, const std::string& name);

}  // namespace tavro::kelm::csv
