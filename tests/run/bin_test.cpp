// The real programs: the job's command line, run log and connect failure, and the settings
// commands of parvekctl whose files the job reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "run/ground/BfCipher.h"
#include "run/ground/IniFile.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "Aufruf: parvek [Param1] [Param2] [Param3]\n"
    "Param1: Pfad der Inidatei\n"
    "Param2: KRVNT/XXX KRVNT=Firmenkonsol.-Version\n"
    "Param3: D/X D=Debug\n";

void Put(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

using pvt::Result;

class BinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("parvek_bin_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Ctl(const std::vector<std::string>& args, const std::string& input = "") {
    // The output files go elsewhere: some cases count the files of the working directory.
    return pvt::Run(PARVEKCTL_BIN, dir_, args, {{}, input, io_.path()});
  }
  Result Job(const std::vector<std::string>& args) {
    return pvt::Run(PARVEK_BIN, dir_, args, {{}, "", io_.path()});
  }
  // A settings file written by parvekctl; the password goes through standard input.
  void WriteSettings(const fs::path& file, const std::string& login, const std::string& pass,
                     const std::string& net, const std::string& schema) {
    ASSERT_EQ(Ctl({"settings-set", file.string(), "LOGIN", login}).code, 0);
    ASSERT_EQ(Ctl({"settings-set", file.string(), "PASS"}, pass + "\n").code, 0);
    ASSERT_EQ(Ctl({"settings-set", file.string(), "NET8", net}).code, 0);
    ASSERT_EQ(Ctl({"settings-set", file.string(), "SCHEMA", schema}).code, 0);
  }
  // The run log without its time stamp, which must open it.
  std::string LogAfterStamp() {
    const std::string log = ReadFile(dir_ / "parvek.log");
    static const std::regex stamp(
        "^\nDatum: [0-3][0-9]\\.[01][0-9]\\.[0-9]{4}  Uhrzeit: [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n");
    std::smatch m;
    if (!std::regex_search(log, m, stamp)) return "NO TIME STAMP IN: " + log;
    return m.suffix();
  }
  fs::path dir_;
  pvt::TempDir io_;  // standard input, output and error of the programs
};

TEST_F(BinTest, UsageByteForByteAndNothingElse) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{}, {"a.ini"}, {"a.ini", "KRVNT"}}) {
    const Result r = Job(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(dir_ / "parvek.log"));
  }
}

TEST_F(BinTest, ConnectFailureMasksPasswordAndReportsOnStandardError) {
  const struct {
    const char* pass;
    const char* param3;
    bool logged;
  } cases[] = {
      {"tiger-geheim-123", "D", true},
      {"", "Debug", true},
      {"a much longer password than the field of fifty characters would hold!", "D", true},
      {"tiger-geheim-123", "d", false},
      {"tiger-geheim-123", "X", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pass) + " / " + c.param3);
    fs::remove(dir_ / "parvek.log");
    fs::remove(dir_ / "s.ini");
    WriteSettings(dir_ / "s.ini", "scott", c.pass, "XE", "personal#");
    const Result r = Job({"s.ini", "XXX", c.param3});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "parvek: Fehler(DB-Connect)! RC:-12154 Net:XE\n");
    ASSERT_TRUE(fs::exists(dir_ / "parvek.log"));  // opened even when nothing is written
    if (c.logged)
      EXPECT_EQ(LogAfterStamp(), "Fehler(DB-Connect)! RC:-12154 Name:scott Pwd:******** Net:XE\n");
    else
      EXPECT_EQ(ReadFile(dir_ / "parvek.log"), "");
    if (c.pass[0] != '\0') {
      EXPECT_EQ(ReadFile(dir_ / "parvek.log").find(c.pass), std::string::npos);
      EXPECT_EQ(r.err.find(c.pass), std::string::npos);
    }
  }
}

TEST_F(BinTest, MissingSettingsFileConnectsWithEmptyValues) {
  const Result r = Job({"missing.ini", "KRVNT", "D", "extra", "parameters"});
  EXPECT_EQ(r.code, 0);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(r.err, m, std::regex("parvek: Fehler\\(DB-Connect\\)! RC:(-[0-9]+) Net:\n")))
      << r.err;
  EXPECT_EQ(LogAfterStamp(), "Fehler(DB-Connect)! RC:" + m[1].str() + " Name: Pwd:******** Net:\n");
}

TEST_F(BinTest, LongSettingsPathIsUsedWhole) {
  fs::path deep = dir_;
  for (int i = 0; i < 4; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  fs::create_directories(deep);
  const fs::path file = deep / "settings.ini";
  ASSERT_GT(file.string().size(), 99u);
  WriteSettings(file, "a_user_name_longer_than_the_fifty_characters_of_its_field", "pw", "XE",
                "s#");
  // A cut path would name no file, and the login would be empty.
  EXPECT_EQ(Job({file.string(), "XXX", "D"}).code, 0);
  EXPECT_EQ(LogAfterStamp(),
            "Fehler(DB-Connect)! RC:-12154 "
            "Name:a_user_name_longer_than_the_fifty_characters_of_its_field "
            "Pwd:******** Net:XE\n");
}

TEST_F(BinTest, RunLogStartedAfreshOnlyAboveOneMebibyte) {
  WriteSettings(dir_ / "s.ini", "scott", "pw", "XE", "x#");
  for (const std::size_t size : {std::size_t{1048576}, std::size_t{1048577}}) {
    SCOPED_TRACE(size);
    Put(dir_ / "parvek.log", std::string(size, 'o'));
    Job({"s.ini", "XXX", "D"});
    const std::string log = ReadFile(dir_ / "parvek.log");
    if (size == 1048576) {
      EXPECT_EQ(log.substr(0, size), std::string(size, 'o'));
      EXPECT_EQ(log.substr(size, 8), "\nDatum: ");
    } else {
      EXPECT_EQ(log.substr(0, 8), "\nDatum: ");
      EXPECT_LT(log.size(), 200u);
    }
  }
}

TEST_F(BinTest, SuccessfulConnectWritesNothingToStandardError) {
  fs::create_directories(dir_ / "db");
  Put(dir_ / "db" / "PERSONAL.db", "");  // an empty file is an empty database
  WriteSettings(dir_ / "s.ini", "scott", "tiger", "sqlite:db", "personal#");
  const Result r = Job({"s.ini", "XXX", "D"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir_ / "parvek.log").find("DB-Connect"), std::string::npos);
}

// --- parvekctl settings commands ---

TEST_F(BinTest, CtlWritesANewFileTheJobReads) {
  const fs::path file = dir_ / "new.ini";
  WriteSettings(file, "scott", "tiger", "sqlite:db", "PERSONAL#");
  EXPECT_EQ(ReadFile(file), ReadFile(PARVEK_TESTDATA "/example-settings.ini"));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  for (const auto& [key, want] : std::vector<std::pair<const char*, const char*>>{
           {"LOGIN", "scott"}, {"PASS", "tiger"}, {"NET8", "sqlite:db"}, {"SCHEMA", "PERSONAL#"}}) {
    Ini_ReadEntry("", key, 0, file.c_str());
    EXPECT_EQ(IniEntry.value, want) << key;
  }
  // A value of any length and with ';' or blanks round-trips.
  const std::string odd = "p;w " + std::string(250, 'z') + "\xC3\xA4";
  ASSERT_EQ(Ctl({"settings-set", file.string(), "PASS"}, odd + "\r\n").code, 0);
  Ini_ReadEntry("", "PASS", 0, file.c_str());
  EXPECT_EQ(IniEntry.value, odd);
  Ini_ReadEntry("", "NET8", 0, file.c_str());
  EXPECT_EQ(IniEntry.value, "sqlite:db");
}

TEST_F(BinTest, CtlKeepsOtherRecordsByteForByte) {
  const std::string h = Ini_Encipher("neu");
  const struct {
    const char* what;
    std::string before;
    std::string key;
    std::string after;
  } cases[] = {
      {"add before an odd last line, CRLF file",
       ";X;\r\n5;LOGIN;AAAA\r\n# comment;A;\r\n7;OTHER;ABCD\r\nodd", "PASS",
       ";X;\r\n5;LOGIN;AAAA\r\n# comment;A;\r\n7;OTHER;ABCD\r\n;PARVEK;\r\n8;PASS;" + h +
           "\r\nodd"},
      {"replace keeps header and number", ";X;\r\n5;LOGIN;AAAA\r\n;Y;\n7;OTHER;ABCD\n", "LOGIN",
       ";X;\r\n5;LOGIN;" + h + "\r\n;Y;\n7;OTHER;ABCD\n"},
      {"last line without line end", ";P;\n1;A;X", "B", ";P;\n1;A;X\n;PARVEK;\n2;B;" + h + "\n"},
      {"replaced record with number 0 gets a number", ";P;\n0;LOGIN;X\n", "LOGIN",
       ";P;\n1;LOGIN;" + h + "\n"},
      {"replaced record without section gets one", "P\n3;LOGIN;X\n", "LOGIN",
       ";PARVEK;\n3;LOGIN;" + h + "\n"},
      {"first of two same keys is replaced", ";P;\n1;K;A\n;P;\n2;K;B\n", "K",
       ";P;\n1;K;" + h + "\n;P;\n2;K;B\n"},
      {"empty file", "", "K", ";PARVEK;\n1;K;" + h + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = dir_ / "keep.ini";
    Put(file, c.before);
    const Result r = Ctl({"settings-set", file.string(), c.key, "neu"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadFile(file), c.after);
    Ini_ReadEntry("", c.key.c_str(), 0, file.c_str());
    EXPECT_EQ(IniEntry.value, "neu");
  }
}

TEST_F(BinTest, CtlRefusesWhenAnEarlierRecordAnswersEveryKey) {
  const fs::path file = dir_ / "bad.ini";
  for (const std::string before : {";P;\n0;LOGIN;X\n", "P;\n1;LOGIN;X\n"}) {
    Put(file, before);
    const Result r = Ctl({"settings-set", file.string(), "PASS", "pw"});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("answers every key"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), before);
  }
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"settings-set", file.string(), "A;B", "v"},
                                             {"settings-set", file.string(), "", "v"},
                                             {"settings-set", file.string()}}) {
    EXPECT_NE(Ctl(args).code, 0);
  }
  EXPECT_NE(Ctl({"settings-set", file.string(), "PASS"}, "").code,
            0);  // no value on standard input
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()),
            1);  // no temp files left
}

TEST_F(BinTest, CtlShowAndList) {
  const fs::path file = dir_ / "s.ini";
  WriteSettings(file, "scott", "tiger", "XE", "PERSONAL#");
  Result r = Ctl({"settings-show", file.string(), "LOGIN"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "scott\n");
  r = Ctl({"settings-show", file.string(), "PASS"});
  EXPECT_NE(r.code, 0);
  EXPECT_EQ(r.out.find("tiger"), std::string::npos);
  EXPECT_EQ(r.err.find("tiger"), std::string::npos);
  r = Ctl({"settings-show", file.string(), "PASS", "--reveal"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "tiger\n");
  EXPECT_NE(Ctl({"settings-show", file.string(), "NOPE"}).code, 0);
  EXPECT_NE(Ctl({"settings-show", (dir_ / "missing.ini").string(), "LOGIN"}).code, 0);

  r = Ctl({"settings-list", file.string()});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "LOGIN\nPASS\nNET8\nSCHEMA\n");
  EXPECT_EQ(r.err, "");
  Put(file, ReadFile(file) + ";;\n0;EXTRA;00\ndangling");
  r = Ctl({"settings-list", file.string()});
  EXPECT_EQ(r.out, "LOGIN\nPASS\nNET8\nSCHEMA\nEXTRA\n");
  EXPECT_NE(r.err.find("line 10: record answers every key"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 11 has no partner"), std::string::npos) << r.err;
}

}  // namespace
