// CSV tables: the record reader, the UTF-8 check, the safe file opening, and
// the numeral scanner the reader shares with the lexer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tavro/compiler/csv.hpp"
#include "tavro/compiler/lexer.hpp"

using namespace tavro::kelm;

namespace {

struct Record {
    std::size_t row;
    std::vector<std::string> fields;
};

std::vector<Record> records(std::string_view text) {
    csv::Reader r(text);
    std::vector<std::string_view> fields;
    std::vector<Record> out;
    while (r.next(fields)) out.push_back({r.row(), std::vector<std::string>(fields.begin(), fields.end())});
    return out;
}

csv::Fault fault(std::string_view text) {
    try {
        records(text);
    } catch (const csv::Fault& f) {
        return f;
    }
    ADD_FAILURE() << "no fault";
    return {};
}

using Fields = std::vector<std::string>;

}  // namespace

TEST(CsvReader, FieldsRowsAndLineEnds) {
    auto got = records(
        "\xEF\xBB\xBF"
        "a,b\r\n1,\r\n\r\n,2\rx,y");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].fields, (Fields{"a", "b"}));
    EXPECT_EQ(got[1].fields, (Fields{"1", ""}));
    EXPECT_EQ(got[2].row, 4u);  // the blank line 3 is skipped, rows stay file lines
    EXPECT_EQ(got[2].fields, (Fields{"", "2"}));
    EXPECT_EQ(got[3].row, 5u);
    EXPECT_EQ(got[3].fields, (Fields{"x", "y"}));
}

TEST(CsvReader, QuotedFieldsAndTheirLines) {
    auto got = records("\"a,1\",\"say \"\"hi\"\"\",\"\"\n\"two\nlines\",b,\"\"\"\"\nlast,\"\",x\n");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].fields, (Fields{"a,1", "say \"hi\"", ""}));
    EXPECT_EQ(got[1].row, 2u);
    EXPECT_EQ(got[1].fields, (Fields{"two\nlines", "b", "\""}));
    EXPECT_EQ(got[2].row, 4u);
    EXPECT_EQ(got[2].fields, (Fields{"last", "", "x"}));
}

TEST(CsvReader, EmptyTextHasNoRecordsAndATrailingCommaAnEmptyField) {
    EXPECT_TRUE(records("").empty());
    EXPECT_TRUE(records("\n\r\n").empty());
    auto got = records("a,");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fields, (Fields{"a", ""}));
}

TEST(CsvReader, BareQuotesInsideAFieldAreText) {
    auto got = records("5\" pipe,x\n");
    EXPECT_EQ(got[0].fields, (Fields{"5\" pipe", "x"}));
}

TEST(CsvReader, Faults) {
    auto f = fault("a,b\n1,\"open\n2,3\n");
    EXPECT_EQ(f.row, 2u);
    EXPECT_EQ(f.field, 1u);
    EXPECT_EQ(f.text, "unterminated quoted field: the closing '\"' is missing");
    f = fault("a\n\"x\"y\n");
    EXPECT_EQ(f.row, 2u);
    EXPECT_EQ(f.field, 0u);
    f = fault("a,b\n\"q\nq\",\xC3(\n");
    EXPECT_EQ(f.row, 2u);
    EXPECT_EQ(f.field, 1u);
    EXPECT_EQ(f.text, "byte 0xC3 is not UTF-8 (save the table as UTF-8)");
}

TEST(CsvReader, Utf8Check) {
    const std::string_view ok[] = {"plain ascii text, longer than eight",
                                   "\xC3\xA9",
                                   "\xE2\x82\xAC",
                                   "\xF0\x9F\x98\x80",
                                   "\xEF\xBF\xBF",
                                   "\xF4\x8F\xBF\xBF"};
    for (auto s : ok) EXPECT_EQ(csv::invalid_utf8(s), std::string::npos) << s;
    struct Bad {
        std::string_view text;
        std::size_t at;
    };
    const Bad bad[] = {
        {"abcdefghij\xFF", 10},   // invalid lead byte after an ASCII run
        {"ab\xC0\xAF", 2},        // overlong
        {"\xE0\x80\xAF", 0},      // overlong three-byte form
        {"\xED\xA0\x80", 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0},  // beyond U+10FFFF
        {"x\xE2\x82", 1},         // cut short
        {"\xC3\xA9\x80", 2},      // a stray continuation byte
    };
    for (auto& b : bad) EXPECT_EQ(csv::invalid_utf8(b.text), b.at);
}

class CsvFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelm_csv_XXXXXX";
        root_ = mkdtemp(tmpl);
        data_ = root_ + "/data";
        mkdir(data_.c_str(), 0700);
        write(root_ + "/secret.csv", "k\nsecret\n");
        write(data_ + "/t.csv", "k\nu\n");
        symlink((root_ + "/secret.csv").c_str(), (data_ + "/out.csv").c_str());
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
    static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    std::string root_, data_;
};

TEST_F(CsvFiles, ReadsInsideTheFolderOnly) {
    EXPECT_EQ(csv::read_file(data_, "t.csv").text, "k\nu\n");
    EXPECT_EQ(csv::read_file(data_, "./x/../t.csv").error, "csv file './x/../t.csv' not found in '" + data_ + "'");
    EXPECT_EQ(csv::read_file(data_, "missing.csv").error, "csv file 'missing.csv' not found in '" + data_ + "'");
    EXPECT_EQ(csv::read_file(data_, "../secret.csv").error,
              "csv file '../secret.csv' is outside the data folder: name a file inside it");
    EXPECT_EQ(csv::read_file(data_, "out.csv").error,
              "csv file 'out.csv' leads outside the data folder (through a link): copy the table into the folder");
    EXPECT_EQ(csv::read_file(data_, root_ + "/secret.csv").error,
              "csv file '" + root_ + "/secret.csv' is an absolute path: name a file inside the data folder");
    EXPECT_EQ(csv::read_file(root_ + "/nowhere", "t.csv").error,
              "data folder '" + root_ + "/nowhere' not found (for csv file 't.csv')");
    EXPECT_EQ(csv::read_file(root_, "data").error, "csv file 'data' is not a regular file");
    EXPECT_EQ(csv::read_file(root_, "data/t.csv").text, "k\nu\n");
}

TEST(Numerals, OneScannerForTheLexerAndTheTables) {
    struct Case {
        std::string_view text;
        std::size_t length;
        bool is_float;
    };
    const Case cases[] = {{"12", 2, false},  {"1.5e3x", 5, true}, {"1..9", 1, false}, {".5", 2, true},
                          {"5.", 2, true},   {"2e", 1, false},    {"2e+", 1, false},  {"3E-2", 4, true},
                          {"007", 3, false}, {"x", 0, false},     {".", 0, false}};
    for (auto& c : cases) {
        Numeral n = scan_numeral(c.text.data(), c.text.data() + c.text.size());
        EXPECT_EQ(static_cast<std::size_t>(n.end - c.text.data()), c.length) << c.text;
        EXPECT_EQ(n.is_float, c.is_float) << c.text;
    }
    std::int64_t i = 0;
    double f = 0;
    EXPECT_TRUE(numeral_value("9223372036854775807", false, i, f));
    EXPECT_EQ(i, 9223372036854775807LL);
    EXPECT_FALSE(numeral_value("9223372036854775808", false, i, f));
    EXPECT_FALSE(numeral_value("1e999", true, i, f));
    EXPECT_TRUE(numeral_value("0.1", true, i, f));
    EXPECT_EQ(f, 0.1);
}
