// Settings file reader: the helpers, the field rules of header and entry lines, and the
// lookup over whole files (pairing by position, first answer wins, CRLF, odd last line).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "run/ground/BfCipher.h"
#include "run/ground/IniFile.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(StrFindNth, Table) {
  const struct {
    std::string text;
    char ch;
    int n;
    int want;
  } cases[] = {
      {"a;b;c", ';', 1, 1}, {"a;b;c", ';', 2, 3}, {"a;b;c", ';', 3, 3},  // fewer than n: the last
      {"abc", ';', 1, -1},  {"", ';', 1, -1},     {";", ';', 2, 0},
      {";;;", ';', 2, 1},   {"x\n", '\n', 1, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Str_FindNth(c.text, c.ch, c.n), c.want) << c.text << " n=" << c.n;
}

TEST(StrSub, Table) {
  const struct {
    std::string text;
    int start, length;
    std::string want;
  } cases[] = {
      {"abcdef", 1, 3, "bcd"},  {"abcdef", 2, 0, "cdef"},  // 0: to the end
      {"abcdef", 0, -1, "OLD"}, {"abcdef", 4, 10, "ef"},   // negative: untouched
      {"abc", 3, 0, ""},        {"abc", 0, 0, "abc"},
  };
  for (const auto& c : cases) {
    std::string out = "OLD";
    Str_Sub(c.text, c.start, c.length, out);
    EXPECT_EQ(out, c.want) << c.text << " " << c.start << " " << c.length;
  }
}

TEST(IniReadNumber, Lenient) {
  const struct {
    std::string text;
    std::int32_t want;
  } cases[] = {
      {"17", 17},
      {"  4", 4},
      {"\t+12", 12},
      {"-3x", -3},
      {"x3", 0},
      {"", 0},
      {"+", 0},
      {"--1", 0},
      {"0042", 42},
      {"12 3", 12},
      {"2147483647", INT_MAX},
      {"99999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(Ini_ReadNumber(c.text), c.want) << "'" << c.text << "'";
}

// The field table: what each line shape gives for section, number, key and (raw) value.
TEST(IniParseRecord, FieldTable) {
  const struct {
    const char* what;
    std::string header, entry;
    std::string section;
    std::int32_t number;
    int has_number;
    std::string key, value;
  } cases[] = {
      {"normal", ";PARVEK;free\n", "3;LOGIN;ABCD\n", "PARVEK", 3, 1, "LOGIN", "ABCD"},
      {"section empty field", ";;PARVEK\n", "3;K;V\n", ";PARVEK\n", 3, 1, "K", "V"},
      {"section of ';;' alone", ";;\n", "3;K;V\n", ";\n", 3, 1, "K", "V"},
      {"one ';' in header", "PARVEK;\n", "3;K;V\n", "", 3, 1, "K", "V"},
      {"no ';' in header", "PARVEK\n", "3;K;V\n", "", 3, 1, "K", "V"},
      {"text before first ';' ignored", "abc;S;d;e\n", "1;K;V\n", "S", 1, 1, "K", "V"},
      {"entry begins with ';'", ";S;\n", ";K;V\n", "S", 0, 1, "K", "V"},
      {"number not a number", ";S;\n", "abc;K;V\n", "S", 0, 1, "K", "V"},
      {"lenient number", ";S;\n", " -7z;K;V\n", "S", -7, 1, "K", "V"},
      {"key empty field", ";S;\n", "1;;V\n", "S", 1, 1, ";V\n", "V"},
      {"value empty field", ";S;\n", "1;K;\n", "S", 1, 1, "K", "\n"},
      {"value keeps further ';'", ";S;\n", "1;K;AB;CD\n", "S", 1, 1, "K", "AB;CD"},
      {"exactly one ';'", ";S;\n", "1;KV\n", "S", 1, 1, "", "KV"},
      {"no ';': whole line, no number", ";S;\n", "plain text\n", "S", 0, 0, "", "plain text\n"},
      {"last line without line end", ";S;\n", "2;K;V", "S", 2, 1, "K", "V"},
      {"last line without ';' or end", ";S;\n", "tail", "S", 0, 0, "", "tail\n"},
      // A line's text ends at its first zero byte: no ';' and no line end is looked for past it.
      {"zero byte in the header", ";S\0;x;\n"s, "1;K;V\n", "", 1, 1, "K", "V"},
      {"zero byte in the key", ";S;\n", "1;K\0;V\n"s, "S", 1, 1, "", "K"},
      {"zero byte in the value", ";S;\n", "1;K;AB\0;CD\n"s, "S", 1, 1, "K", "AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const IniRecord r = Ini_ParseRecord(c.header, c.entry);
    EXPECT_EQ(r.fields.section, c.section);
    EXPECT_EQ(r.fields.number, c.number);
    EXPECT_EQ(r.has_number, c.has_number);
    EXPECT_EQ(r.fields.key, c.key);
    EXPECT_EQ(r.fields.value, c.value);
  }
}

TEST(IniLines, SplitKeepsBytesNormalizeReadsCrlfAsLf) {
  const auto lines = Ini_SplitLines("a\r\nb\n\nc");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "a\r\n");
  EXPECT_EQ(lines[2], "\n");
  EXPECT_EQ(lines[3], "c");
  EXPECT_EQ(Ini_NormalizeLine(lines[0]), "a\n");
  EXPECT_EQ(Ini_NormalizeLine("a\r"), "a\r");
}

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("parvek_ini_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& content) {
    const fs::path p = dir_ / "settings.ini";
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

  // The value of `key` as the job asks for it: empty section, number 0.
  std::string Job(const std::string& path, const char* key) {
    Ini_ReadEntry("", key, 0, path.c_str());
    return IniEntry.value;
  }

  static std::string Rec(const std::string& header, int number, const std::string& key,
                         const std::string& plain, const char* eol = "\n") {
    return header + eol + std::to_string(number) + ";" + key + ";" + Ini_Encipher(plain) + eol;
  }

  static void ExpectClear() {
    EXPECT_EQ(IniEntry.number, 0);
    EXPECT_EQ(IniEntry.section, "");
    EXPECT_EQ(IniEntry.key, "");
    EXPECT_EQ(IniEntry.value, "");
  }

  fs::path dir_;
};

TEST_F(IniFileTest, ExampleFileGivesTheFourSettings) {
  const std::string path = PARVEK_TESTDATA "/example-settings.ini";
  EXPECT_EQ(Job(path, "LOGIN"), "scott");
  EXPECT_EQ(Job(path, "PASS"), "tiger");
  EXPECT_EQ(IniEntry.number, 2);
  EXPECT_EQ(IniEntry.section, "PARVEK");
  EXPECT_EQ(IniEntry.key, "PASS");
  EXPECT_EQ(Job(path, "NET8"), "sqlite:db");
  EXPECT_EQ(Job(path, "SCHEMA"), "PERSONAL#");
}

TEST_F(IniFileTest, NothingFoundLeavesEntryClear) {
  const std::string good = Rec(";P;", 1, "LOGIN", "scott");
  const struct {
    const char* what;
    std::string content;
  } cases[] = {
      {"empty file", ""},
      {"single line", ";P;\n"},
      {"single line without end", "1;PASS;BAC52A811562F100"},
      {"key absent", good},
      {"key differs in case", Rec(";P;", 1, "pass", "x")},
      // An odd last line is never looked at: a reader pairing it with the previous entry
      // line would answer through its empty section.
      {"odd last line", good + "PARVEK\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IniEntry.value = "stale";
    EXPECT_EQ(Job(Write(c.content), "PASS"), "");
    ExpectClear();
  }
  IniEntry.value = "stale";
  Ini_ReadEntry("", "LOGIN", 0, (dir_ / "missing.ini").c_str());
  ExpectClear();
}

TEST_F(IniFileTest, AnyOneOfSectionKeyOrNumberAnswers) {
  const struct {
    const char* what;
    std::string first;  // a record before the PASS record
    std::string want;   // what the job's request for PASS gets
  } cases[] = {
      {"header with one ';' has empty section", Rec("PARVEK;", 1, "LOGIN", "scott"), "scott"},
      {"header without ';' has empty section", Rec("PARVEK", 1, "LOGIN", "scott"), "scott"},
      {"number 0", Rec(";P;", 0, "LOGIN", "scott"), "scott"},
      {"empty number", ";P;\n;LOGIN;" + Ini_Encipher("scott") + "\n", "scott"},
      {"number not a number", ";P;\nabc;LOGIN;" + Ini_Encipher("scott") + "\n", "scott"},
      {"same key twice: first wins", Rec(";P;", 1, "PASS", "first"), "first"},
      {"section ';;' is never empty", Rec(";;", 1, "LOGIN", "scott"), "tiger"},
      {"entry without ';' has no number", ";P;\nno separators\n", "tiger"},
      {"entry with one ';' has an empty key", ";P;\n5;LOGIN\n", "tiger"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Job(Write(c.first + Rec(";P;", 2, "PASS", "tiger")), "PASS"), c.want);
  }
}

TEST_F(IniFileTest, RequestsBySectionOrNumber) {
  const std::string path = Write(Rec(";ONE;", 1, "LOGIN", "scott") + ";TWO;\nfree text\n" +
                                 Rec(";THREE;", 7, "PASS", "tiger"));
  Ini_ReadEntry("none", "none", 7, path.c_str());
  EXPECT_EQ(IniEntry.value, "tiger");
  EXPECT_EQ(IniEntry.section, "THREE");
  // A line without ';' answers through its section; its value is the whole line.
  Ini_ReadEntry("TWO", "none", 99, path.c_str());
  EXPECT_EQ(IniEntry.key, "");
  EXPECT_EQ(IniEntry.number, 0);
  std::string raw;
  Ini_Decipher("free text\n", raw, kIniKey);
  EXPECT_EQ(IniEntry.value, std::string(raw.c_str()));
}

TEST_F(IniFileTest, CrlfAndMissingLastLineEnd) {
  const std::string crlf =
      Rec(";;P", 1, "LOGIN", "scott", "\r\n") + Rec(";P;", 2, "PASS", "tiger", "\r\n");
  EXPECT_EQ(Job(Write(crlf), "NONE"), "");  // section ";P\n" is not empty: no record answers
  EXPECT_EQ(Job(Write(crlf), "PASS"), "tiger");
  Ini_ReadEntry(";P\n", "x", 5, Write(crlf).c_str());
  EXPECT_EQ(IniEntry.value, "scott");

  std::string no_end = Rec(";P;", 1, "LOGIN", "scott") + ";P;\n2;PASS;" + Ini_Encipher("tiger");
  EXPECT_EQ(Job(Write(no_end), "PASS"), "tiger");
}

TEST_F(IniFileTest, LongLinesStayOneLineAndLongValuesStayWhole) {
  const std::string long_header = ";LONG;" + std::string(400, 'h');
  const std::string long_plain(300, 'p');
  const std::string long_key(250, 'K');
  const std::string content = Rec(long_header, 1, "LOGIN", long_plain) +
                              Rec(";P;", 2, long_key, "k") + Rec(";P;", 3, "PASS", "tiger");
  const std::string path = Write(content);
  EXPECT_EQ(Job(path, "LOGIN"), long_plain);
  EXPECT_EQ(IniEntry.section, "LONG");
  EXPECT_EQ(Job(path, long_key.c_str()), "k");
  EXPECT_EQ(Job(path, "PASS"), "tiger");  // pairing unshifted after the long lines
}

TEST_F(IniFileTest, EndlessSourceEndsTheSearchInsteadOfExhaustingMemory) {
  // A settings path naming an endless source of bytes without a line end.
  EXPECT_EQ(Job("/dev/zero", "LOGIN"), "");
  // A line just past the limit ends the search there; records before it are still found.
  const std::string huge = Rec(";P;", 1, "LOGIN", "scott") + std::string(kIniLineLimit + 1, 'x') +
                           "\n" + Rec(";P;", 2, "PASS", "tiger");
  const std::string path = Write(huge);
  EXPECT_EQ(Job(path, "LOGIN"), "scott");
  EXPECT_EQ(Job(path, "PASS"), "");
}

TEST_F(IniFileTest, EmptyValueFieldGivesEmptyText) {
  const std::string path = Write(";P;\n1;LOGIN;\n" + Rec(";P;", 2, "PASS", "tiger"));
  EXPECT_EQ(Job(path, "LOGIN"), "");
  EXPECT_EQ(IniEntry.key, "LOGIN");  // found, value "\n" deciphers to nothing
}

}  // namespace
