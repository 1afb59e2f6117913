// The run log: rotation at the size limit and the entry rule (open log and verbose).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "run/ground/RunLog.h"

namespace {

namespace fs = std::filesystem;

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("parvek_log_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove(path_);
  }
  void TearDown() override {
    Log_Close();
    RunFlags = RunFlagsRec{};
    fs::remove(path_);
  }
  void Fill(std::size_t size) { std::ofstream(path_, std::ios::binary) << std::string(size, 'x'); }
  std::string Content() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path path_;
};

TEST_F(RunLogTest, RotatesOnlyAboveTheLimit) {
  const struct {
    std::size_t size;
    bool started_afresh;
  } cases[] = {{0, false}, {1048575, false}, {1048576, false}, {1048577, true}, {1500000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Fill(c.size);
    RunFlags.verbose = 1;
    ASSERT_EQ(Log_Open(path_.c_str()), 1);
    Log_Line("\nDatum: 01.01.2027  Uhrzeit: 00:00:00\n");
    Log_Close();
    const std::string content = Content();
    if (c.started_afresh) {
      EXPECT_EQ(content, "\nDatum: 01.01.2027  Uhrzeit: 00:00:00\n");
    } else {
      EXPECT_EQ(content.size(), c.size + 38);
      EXPECT_EQ(content.substr(c.size), "\nDatum: 01.01.2027  Uhrzeit: 00:00:00\n");
    }
  }
}

TEST_F(RunLogTest, CreatedWhenMissingEvenWithoutVerbose) {
  RunFlags.verbose = 0;
  ASSERT_EQ(Log_Open(path_.c_str()), 1);
  EXPECT_EQ(Log_IsOpen(), 1);
  EXPECT_EQ(Log_Enabled(), 0);
  Log_Entry("Fehler(X)! ", "RC:%d\n", -1);
  Log_Line("Fehler: fopen(parvektgb)!\n");
  Log_EntryAlways("Info: immer ", "Pnr:%s\n", "42");
  Log_Close();
  EXPECT_TRUE(fs::exists(path_));
  EXPECT_EQ(Content(), "Info: immer Pnr:42\n");
}

TEST_F(RunLogTest, EntriesWithVerbose) {
  RunFlags.verbose = 1;
  ASSERT_EQ(Log_Open(path_.c_str()), 1);
  Log_Entry("Fehler(Cur_open): Tagsatz lesen! ", "RC:%d Pnr:%s Tag:%s\n", -942, "4711", "20261207");
  Log_Line("Fehler: fclose(parvektgb)!\n");
  // Written at once, so a crash later in the run does not lose what was logged before it.
  EXPECT_EQ(Content(),
            "Fehler(Cur_open): Tagsatz lesen! RC:-942 Pnr:4711 Tag:20261207\nFehler: "
            "fclose(parvektgb)!\n");
  Log_Close();
  EXPECT_EQ(Log_IsOpen(), 0);
}

// Values come from the database and the settings file: a control byte in them never starts a
// line of its own or reaches a terminal; the line feed that ends the entry stays.
TEST_F(RunLogTest, ControlBytesInValuesShowAsQuestionMarks) {
  RunFlags.verbose = 1;
  ASSERT_EQ(Log_Open(path_.c_str()), 1);
  Log_Entry("Fehler(X): ", "RC:%d Pnr:%s Tag:%s\n", -1, "1\n1002", "\x1b[2J\r\x7f");
  Log_EntryAlways("Info: ", "Pnr:%s\n", "a\tb\xc3\xa4");
  Log_Close();
  EXPECT_EQ(Content(), "Fehler(X): RC:-1 Pnr:1?1002 Tag:?[2J??\nInfo: Pnr:a?b\xc3\xa4\n");
}

TEST_F(RunLogTest, NoLogNoEntries) {
  RunFlags.verbose = 1;
  EXPECT_EQ(Log_Open("/nonexistent-dir/parvek.log"), 0);
  EXPECT_EQ(Log_Enabled(), 0);
  Log_Entry("Fehler(X)! ", "RC:%d\n", 1);  // must not crash
  Log_EntryAlways("Info: ", "%s\n", "x");
}

}  // namespace
