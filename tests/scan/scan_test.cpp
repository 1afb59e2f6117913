// The day scan over the scripted statement module: the parameter file in both layouts, its
// failure entries, the scan's own log entries and its debug output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "scan/TagYday_Scan.h"
#include "scan/Tag_Dump.h"
#include "scan/Tgb_Param.h"
#include "tests/followup/logic_fixture.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

TEST(ParamLine, DateTextIsCopiedCharacterByCharacter) {
  char out[11];
  Tgb_DateText("20240301", out);
  EXPECT_STREQ(out, "01.03.2024");
  Tgb_DateText("2024x3y9", out);  // nothing is checked or converted
  EXPECT_STREQ(out, "y9.x3.2024");
}

TEST(ParamLine, BothLayouts) {
  TagSatz tag = MakeTag("4711", "20240301");
  EXPECT_EQ(Tgb_ParamLine(0, "PERSONAL", tag), "4711    ,01.03.2024\n");
  EXPECT_EQ(Tgb_ParamLine(1, "PERSONAL", tag), "PERSONAL            ,4711    ,01.03.2024\n");
  EXPECT_EQ(Tgb_ParamLine(1, "PERSONAL", tag).size(), 41u);
  tag = MakeTag("12345678", "20241231");
  EXPECT_EQ(Tgb_ParamLine(0, "", tag), "12345678,31.12.2024\n");
  EXPECT_EQ(Tgb_ParamLine(1, "", tag), "                    ,12345678,31.12.2024\n");
  // A schema name longer than its width is written whole.
  EXPECT_EQ(Tgb_ParamLine(1, "A_VERY_LONG_SCHEMA_NAME_X", tag),
            "A_VERY_LONG_SCHEMA_NAME_X,12345678,31.12.2024\n");
}

TEST(TagDump, NumbersAsSignedDecimals) {
  TagSatz tag = MakeTag("4711", "20240301", -5, "KRF");
  tag.TagTgs = 2147483647;
  Txt_Set(tag.TagHtv, "DGF");
  tag.TagHvs = -1;
  tag.TagHns = -2147483647 - 1;
  ::testing::internal::CaptureStdout();
  Tag_Dump(tag);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nTagPnr: 4711\nTagTag: 20240301\nTagVon: 20240301\nTagUhr: 120000\nTagBis: 20240301\n"
            "TagEnd: 120000\nTagSol: -5\nTagTgb: KRF\nTagTgs: 2147483647\nTagHtv: DGF\nTagHvs: -1\n"
            "TagHtn: \nTagHns: -2147483648\n\n");
}

// Runs the scan in a temporary working directory.
class ScanTest : public LogicTest {
 protected:
  void SetUp() override {
    LogicTest::SetUp();
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("parvek-scan-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
    AddType(MakeFcd("KRA", 1, 5, 0, "KRF"));
    AddType(MakeFcd("KRF", 1, 5, 0, "", 14));
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
    LogicTest::TearDown();
  }
  // Person `pnr` has a placeholder on 20240301 and a reference day 20240229 with KRA.
  void Person(const char* pnr, bool with_reference) {
    Fake().tag_rows["TagYday"].push_back(MakeTag(pnr, "20240301"));
    if (!with_reference) return;
    Fake().tag_rows[std::string("TagPrev ") + pnr + " 20240301"].push_back(
        MakeTag(pnr, "20240229", 480, "KRA"));
    Fake().count_tag["20240229"] = 1;
    Fake().bch_rows[std::string("BchVortag ") + pnr + " 20240229"].push_back(
        MakeBch(pnr, "20240229", "000000", 1, "KRA"));
  }
  std::string Tgb() { return ReadFile(dir_ / "parvektgb"); }

  fs::path old_cwd_, dir_;
};

TEST_F(ScanTest, NoPlaceholderLeavesEmptyFileAndSilentLog) {
  std::ofstream(dir_ / "parvektgb") << "old content\n";
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(Tgb(), "");
  EXPECT_EQ(RunLog(), "");
  EXPECT_EQ(Fake().calls,
            (std::vector<std::string>{"TagYday_Open", "TagYday_Fetch", "TagYday_Close"}));
}

// A catch-up opens the cursor for its day and names the day first in the run log; a normal
// night after it opens the yesterday cursor again.
TEST_F(ScanTest, CatchUpWorksOnItsDay) {
  Fake().tag_rows["TagYday 20240301"] = Fake().tag_rows["TagYday"];
  TagYday_Scan("PERSONAL", AccountingDay::FromCompact("20240301"), kParamFileName);
  EXPECT_EQ(RunLog(), "Info: Nachholung für Abrechnungstag Tag:20240301\n");
  EXPECT_EQ(Fake().calls.at(0), "TagYday_Open 20240301");
  Fake().calls.clear();
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(Fake().calls.at(0), "TagYday_Open");
}

TEST_F(ScanTest, OneLinePerDayInCursorOrderBothLayouts) {
  for (int consolidation : {0, 1}) {
    FakeReset();
    AddType(MakeFcd("KRA", 1, 5, 0, "KRF"));
    AddType(MakeFcd("KRF", 1, 5, 0, "", 14));
    RunFlags.consolidation = consolidation;
    Person("4711", true);
    Person("0815", false);
    Person("12345678", true);
    TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
    EXPECT_EQ(Tgb(), consolidation == 0 ? "4711    ,01.03.2024\n12345678,01.03.2024\n"
                                        : "PERSONAL            ,4711    ,01.03.2024\n"
                                          "PERSONAL            ,12345678,01.03.2024\n");
    EXPECT_EQ(Count(Fake().calls, "TagYday_Open"), 1);
    EXPECT_EQ(Count(Fake().calls, "TagYday_Close"), 1);
  }
}

TEST_F(ScanTest, FetchErrorEndsScanKeepingEarlierLines) {
  Person("4711", true);
  Person("0815", true);
  Fake().codes["TagYday_Fetch"] = {0, -3114};
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(Tgb(), "4711    ,01.03.2024\n");
  const std::string log = RunLog();
  EXPECT_NE(log.find("Fehler(Cur_Read): Tagsatz(+TgbSol) lesen! RC:-3114\n"), std::string::npos)
      << log;
  EXPECT_EQ(Count(Fake().calls, "TagYday_Close"), 1);
}

TEST_F(ScanTest, FailedOpenIsLoggedAndFirstFetchDecides) {
  Fake().codes["TagYday_Open"] = {-942};
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(RunLog(),
            "Fehler(Cur_open): Tagsatz(+TgbSol) lesen! RC:-942\n"
            "Fehler(Cur_Read): Tagsatz(+TgbSol) lesen! RC:-1001\n");
  EXPECT_EQ(Count(Fake().calls, "TagYday_Close"), 1);
}

TEST_F(ScanTest, UncreatableFileIsLoggedAndScanGoesOn) {
  fs::create_directory(dir_ / "parvektgb");  // a directory cannot be opened for writing
  RunFlags.debug = 1;
  Person("4711", true);
  ::testing::internal::CaptureStdout();
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Parametersatz in Datei schreiben: 4711    ,01.03.2024\n!\n"),
            std::string::npos);
  EXPECT_EQ(Fake().inserts.size(), 1u);
  const std::string log = RunLog();
  EXPECT_EQ(log.rfind("Fehler: fopen(parvektgb)!\n", 0), 0u) << log;
}

TEST_F(ScanTest, UnwritableFileIsLogged) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  fs::create_symlink("/dev/full", dir_ / "parvektgb");
  Person("4711", true);
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  const std::string log = RunLog();
  EXPECT_NE(log.find("Fehler: fputs(parvektgb)!\n"), std::string::npos) << log;
}

TEST_F(ScanTest, NoLinesWithLoggingOffWritesNoLog) {
  RunFlags.verbose = 0;
  Fake().codes["TagYday_Open"] = {-942};
  fs::create_directory(dir_ / "parvektgb");
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(RunLog(), "");
}

TEST_F(ScanTest, DebugOutputOfADayWithoutReferenceDay) {
  RunFlags.debug = 1;
  Person("4711", false);
  ::testing::internal::CaptureStdout();
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nLesen TagSatz!\naktueller Tagsatz!!!\n"
            "\nTagPnr: 4711\nTagTag: 20240301\nTagVon: 20240301\nTagUhr: 120000\nTagBis: 20240301\n"
            "TagEnd: 120000\nTagSol: 480\nTagTgb: \nTagTgs: 0\nTagHtv: \nTagHvs: 0\nTagHtn: "
            "\nTagHns: 0\n\n");
}

TEST_F(ScanTest, BothRulesShareTheAccountingDayRecord) {
  AddType(MakeFcd("DGA", 2, 5, 0, "DGF"));
  AddType(MakeFcd("DGF", 3, 5, 0, "", 14));
  Person("4711", true);
  Fake().bch_rows["BchStdMld 4711 20240229"].push_back(
      MakeBch("4711", "20240229", "170000", 24, "DGA"));
  TagYday_Scan("PERSONAL", std::nullopt, kParamFileName);
  EXPECT_EQ(Tgb(), "4711    ,01.03.2024\n");
  ASSERT_EQ(Fake().tag_updates.size(), 2u);
  EXPECT_STREQ(Fake().tag_updates[1].TagTgb, "KRF");  // written again by the second update
  EXPECT_STREQ(Fake().tag_updates[1].TagHtn, "DGF");
}

}  // namespace
