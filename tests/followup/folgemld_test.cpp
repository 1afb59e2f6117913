// The two follow-up rules: what they walk, what they pass over, commits, results and cursors.
#include <gtest/gtest.h>

#include "followup/FolgeMld_StdMld.h"
#include "followup/FolgeMld_TagesMld.h"
#include "tests/followup/logic_fixture.h"

namespace {

const TagSatz kVortag = MakeTag("4711", "20240229", 480, "KRA");

class TagesMldTest : public LogicTest {
 protected:
  void SetUp() override {
    LogicTest::SetUp();
    AddType(MakeFcd("KRA", 1, 5, 0, "KRF"));
    AddType(MakeFcd("KRF", 1, 5, 0, "", 1));
    AddType(MakeFcd("URL", 1, 2, 0, ""));
    AddType(MakeFcd("OLD", 1, 2, 0, "KRF"), 4);  // status 4: not found by the flag read
    tag_ = MakeTag("4711", "20240301");
  }
  void Booking(const char* uhr, int32_t fkt, const char* fcd) {
    Fake().bch_rows["BchVortag 4711 20240229"].push_back(
        MakeBch("4711", "20240229", uhr, fkt, fcd));
  }
  TagSatz tag_;
};

TEST_F(TagesMldTest, CommitsAfterEachBookingThatReachesThePriorityCheck) {
  Booking("000000", 1, "URL");  // no follow-up: passed over, no commit
  Booking("000000", 2, "KRA");  // blocked by the competing URL booking: commit
  Booking("000000", 3, "OLD");  // type not found under its status: passed over
  Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
      MakeBch("4711", "20240301", "000000", 1, "URL"));
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 0);
  EXPECT_EQ(Count(Fake().calls, "Db_Commit"), 1);
  EXPECT_TRUE(Fake().inserts.empty());
  EXPECT_EQ(RunLog(),
            "Info: (Fcd) in BchSatz hat höhere Priorität Pnr:4711 Tag:20240301 Fcd:URL\n");
}

TEST_F(TagesMldTest, BlockedFirstGeneratedSecondGivesOne) {
  AddType(MakeFcd("SCH", 1, 9, 0, "SCF"));
  AddType(MakeFcd("SCF", 2, 1, 0, "", 0));
  Booking("000000", 1, "KRA");
  Booking("000000", 1, "SCH");
  // URL (priority 2) blocks KRF (5) and is itself cancelled by SCF (1).
  Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
      MakeBch("4711", "20240301", "000000", 1, "URL"));
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 1);
  EXPECT_EQ(Fake().CallsOf("Bch_UpdFkt"), std::vector<std::string>{"Bch_UpdFkt URL 1->45"});
  EXPECT_EQ(Fake().CallsOf("Bch_Insert"),
            std::vector<std::string>{"Bch_Insert 4711 20240301 000000 2 SCF"});
  EXPECT_EQ(Count(Fake().calls, "Db_Commit"), 2);
  EXPECT_EQ(Count(Fake().calls, "BchVortag_Close"), 1);
  EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Open"), 2);
  EXPECT_EQ(Count(Fake().calls, "BchAbrTag_Close"), 2);
  EXPECT_STREQ(tag_.TagHtv, "SCF");
}

TEST_F(TagesMldTest, CallOrderForOneGeneratedBooking) {
  Booking("000000", 1, "KRA");
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 1);
  EXPECT_EQ(Fake().calls, (std::vector<std::string>{
                              "BchVortag_Open 4711 20240229", "BchVortag_Fetch", "Fcd_ReadFlg KRA",
                              "Fcd_Read KRF", "BchAbrTag_Open 4711 20240301", "BchAbrTag_Fetch",
                              "BchAbrTag_Close", "Bch_Insert 4711 20240301 000000 1 KRF",
                              "Azv_Read 4711 20240301", "Tag_Update 4711 20240301", "Db_Commit",
                              "BchVortag_Fetch", "BchVortag_Close"}));
}

TEST_F(TagesMldTest, UnreadableFollowUpTypeGoesOnWithZeros) {
  AddType(MakeFcd("ABC", 1, 5, 0, "ZZZ"));
  Booking("000000", 1, "ABC");
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 1);
  EXPECT_EQ(Fake().CallsOf("Bch_Insert"),
            std::vector<std::string>{"Bch_Insert 4711 20240301 000000 0 ZZZ"});
  ASSERT_EQ(Fake().tag_updates.size(), 1u);
  EXPECT_STREQ(Fake().tag_updates[0].TagTgb, "");
  EXPECT_EQ(RunLog(),
            "Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen RC:1403 Pnr:4711 Fcd:ZZZ\n"
            "Info: Buchung eingepflegt! RC:0 Pnr:4711 Tag:20240301 Fkt:0 Fcd:ZZZ\n"
            "Fehler(Azv_Read): Arbeitszeitvorgaben lesen RC:1403 Pnr:4711 Tag:20240301\n"
            "Info: TagesSatz aktualisiert! RC:0 Pnr:4711 Tag:20240301\n");
}

TEST_F(TagesMldTest, RefusedForEveryBookingGivesZero) {
  AddType(MakeFcd("KRF", 1, 5, 0, "", 1, 1));
  tag_.TgbSol = 0;
  Booking("000000", 1, "KRA");
  Booking("000000", 2, "KRA");
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 0);
  EXPECT_EQ(Count(Fake().calls, "Db_Commit"), 2);
  EXPECT_TRUE(Fake().inserts.empty());
}

TEST_F(TagesMldTest, FailedOpenAndFetchAreLogged) {
  Fake().codes["BchVortag_Open"].push_back(-942);
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 0);
  EXPECT_EQ(Count(Fake().calls, "BchVortag_Close"), 1);
  EXPECT_EQ(RunLog(),
            "Fehler(Cur_open): Buchungen(TagesMld Vortag) lesen! RC:-942 Pnr:4711 Tag:20240229\n"
            "Fehler(Cur_Read): Buchungen(TagesMld Vortag) lesen RC:-1001 Pnr:4711 Tag:20240229\n");
}

TEST_F(TagesMldTest, FetchErrorEndsWalkKeepingWhatWasGenerated) {
  Booking("000000", 1, "KRA");
  Fake().codes["BchVortag_Fetch"] = {0, -54};
  EXPECT_EQ(FolgeMld_TagesMld(tag_, kVortag), 1);
  const std::string log = RunLog();
  EXPECT_NE(
      log.find("Fehler(Cur_Read): Buchungen(TagesMld Vortag) lesen RC:-54 Pnr:4711 Tag:20240229\n"),
      std::string::npos);
}

class StdMldTest : public LogicTest {
 protected:
  void SetUp() override {
    LogicTest::SetUp();
    AddTypes();
  }
  void AddTypes() {
    AddType(MakeFcd("DGA", 2, 5, 0, "DGF"));
    AddType(MakeFcd("DGF", 3, 5, 0, "", 14));
    AddType(MakeFcd("ARZ", 2, 5, 0, ""));
    tag_ = MakeTag("4711", "20240301");
  }
  void Booking(const char* uhr, int32_t fkt, const char* fcd) {
    Fake().bch_rows["BchStdMld 4711 20240229"].push_back(
        MakeBch("4711", "20240229", uhr, fkt, fcd));
  }
  TagSatz tag_;
};

TEST_F(StdMldTest, NewestHourMessageIsCarriedOn) {
  for (int32_t fkt : {23, 24}) {
    FakeReset();
    AddTypes();
    Booking("170000", fkt, "DGA");
    Booking("080000", 22, "DGA");
    EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 1) << fkt;
    EXPECT_EQ(Count(Fake().calls, "BchStdMld_Fetch"), 1);  // only the newest booking counts
    EXPECT_EQ(Fake().CallsOf("Bch_Insert"),
              std::vector<std::string>{"Bch_Insert 4711 20240301 000000 3 DGF"});
    EXPECT_EQ(Count(Fake().calls, "Db_Commit"), 0);
    EXPECT_STREQ(tag_.TagHtn, "DGF");
  }
}

TEST_F(StdMldTest, NewestOtherFunctionEndsSilently) {
  RunFlags.debug = 1;
  Booking("170000", 22, "DGA");
  Booking("080000", 23, "DGA");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Count(Fake().calls, "Fcd_ReadFlg"), 0);
  EXPECT_EQ(Count(Fake().calls, "BchStdMld_Close"), 1);
  EXPECT_EQ(RunLog(), "");
}

TEST_F(StdMldTest, TypeWithoutFollowUpPrintsOnlyFirstDebugLine) {
  RunFlags.debug = 1;
  Booking("170000", 23, "ARZ");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Folgemeldung zu Mld ARZ einlesen!\n");
  EXPECT_EQ(RunLog(), "");
}

TEST_F(StdMldTest, DebugLinesOfAGeneratedFollowUp) {
  RunFlags.debug = 1;
  Booking("170000", 24, "DGA");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Folgemeldung zu Mld DGA einlesen!\nMeldungsart (Satz) zu Folgemld DGF lesen!\n"
            "Beginn Meldung generieren!\nEnde Meldung generieren!\n");
}

TEST_F(StdMldTest, BlockedGivesZero) {
  AddType(MakeFcd("URL", 1, 1));
  Fake().bch_rows["BchAbrTag 4711 20240301"].push_back(
      MakeBch("4711", "20240301", "000000", 1, "URL"));
  Booking("170000", 23, "DGA");
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_TRUE(Fake().inserts.empty());
  EXPECT_EQ(Count(Fake().calls, "BchStdMld_Close"), 1);
}

TEST_F(StdMldTest, FetchCodes) {
  Fake().codes["BchStdMld_Fetch"].push_back(-3114);
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_EQ(RunLog(), "Fehler(Cur_Read): Buchungen(StdMld) lesen RC:-3114 Pnr:4711 Tag:20240229\n");
}

TEST_F(StdMldTest, FailedOpenLogsBothLines) {
  Fake().codes["BchStdMld_Open"].push_back(-942);
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_EQ(Count(Fake().calls, "BchStdMld_Close"), 1);
  EXPECT_EQ(RunLog(),
            "Fehler(Cur_open): Buchungen(StdMld) lesen! RC:-942 Pnr:4711 Tag:20240229\n"
            "Fehler(Cur_Read): Buchungen(StdMld) lesen RC:-1001 Pnr:4711 Tag:20240229\n");
}

TEST_F(StdMldTest, EmptyWindowIsSilent) {
  EXPECT_EQ(FolgeMld_StdMld(tag_, kVortag), 0);
  EXPECT_EQ(RunLog(), "");
}

TEST_F(StdMldTest, UnreadableFollowUpTypeIsLoggedWithAccountingDayPerson) {
  AddType(MakeFcd("DGX", 2, 5, 0, "QQQ"));
  Booking("170000", 23, "DGX");
  TagSatz other = MakeTag("0815", "20240301");
  EXPECT_EQ(FolgeMld_StdMld(other, kVortag), 1);
  const std::string log = RunLog();
  EXPECT_EQ(
      log.rfind("Fehler(Read): Meldungsart(Fcd) zur FolgeMld lesen RC:1403 Pnr:0815 Fcd:QQQ\n", 0),
      0u)
      << log;
}

}  // namespace
