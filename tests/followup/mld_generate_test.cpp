// Mld_Generate and the target-value table.
#include <gtest/gtest.h>

#include <climits>

#include "followup/Mld_Generate.h"
#include "tests/followup/logic_fixture.h"

namespace {

AzvSatz Azv(int32_t sol, int32_t so2, int32_t vhs, int32_t hso, int32_t hs2, int32_t htv) {
  AzvSatz a;
  Rec_Clear(a);
  Txt_Set(a.AzvNum, "A1");
  Txt_Set(a.ZtgVon, "20240301");
  a.AzvSol = sol;
  a.AzvSo2 = so2;
  a.AzvVhs = vhs;
  a.AzvHso = hso;
  a.AzvHs2 = hs2;
  a.AzvHtv = htv;
  return a;
}

struct ZwtCase {
  int32_t zwt, typ;
  AzvSatz azv;
  int32_t std;
  int32_t expected;
};

TEST(TargetValue, EveryRowOfTheTable) {
  const AzvSatz a = Azv(481, 300, 20, 240, 120, 7);
  const ZwtCase cases[] = {
      {1, 1, a, 0, 481},
      {1, 2, a, 0, 240},
      {1, 3, a, 0, 240},
      {1, 4, a, 0, 481},
      {1, 2, Azv(-3, 0, 0, 0, 0, 0), 0, -1},
      {1, 3, Azv(-481, 0, 0, 0, 0, 0), 0, -240},
      {2, 2, a, 0, 300},
      {3, 1, a, 0, 240},
      {4, 3, a, 0, 120},
      {14, 1, a, 55, 55},
      {15, 3, a, 0, 501},
      {16, 2, a, 0, 247},
      {17, 1, a, 0, 320},
      {18, 3, a, 0, 127},
      {0, 1, a, 55, 0},
      {5, 1, a, 55, 0},
      {13, 1, a, 55, 0},
      {19, 1, a, 55, 0},
      {-1, 1, a, 55, 0},
      // A sum beyond 32 bits is held at the limit rather than wrapping to the other sign.
      {15, 1, Azv(INT32_MAX, 0, 1, 0, 0, 0), 0, INT32_MAX},
      {18, 1, Azv(0, 0, 0, 0, INT32_MIN, -1), 0, INT32_MIN},
  };
  for (const auto& c : cases) {
    FcdSatz f = MakeFcd("KRF", c.typ, 0, 0, "", c.zwt);
    f.FcdStd = c.std;
    EXPECT_EQ(Mld_TargetValue(f, c.azv), c.expected) << "FcdZwt " << c.zwt << " FcdTyp " << c.typ;
  }
}

TEST_F(LogicTest, GeneratesBookingAndUpdatesPairInPlace) {
  Fake().azv["4711 20240301"] = Azv(481, 0, 0, 0, 0, 0);
  TagSatz tag = MakeTag("4711", "20240301");
  BchSatz buf = MakeBch("4711", "20240229", "093000", 23, "KRA");
  const FcdSatz fcd = MakeFcd("KRF", 2, 0, 0, "", 1);

  EXPECT_EQ(Mld_Generate(tag, buf, fcd), 1);
  EXPECT_EQ(Fake().calls,
            (std::vector<std::string>{"Bch_Insert 4711 20240301 000000 2 KRF",
                                      "Azv_Read 4711 20240301", "Tag_Update 4711 20240301"}));
  EXPECT_STREQ(tag.TagHtv, "KRF");
  EXPECT_EQ(tag.TagHvs, 240);
  EXPECT_STREQ(tag.TagTgb, "");
  EXPECT_STREQ(buf.BchErf, "carried");  // fields the insert does not use keep their value
  ASSERT_EQ(Fake().tag_updates.size(), 1u);
  EXPECT_STREQ(Fake().tag_updates[0].TagHtv, "KRF");
  EXPECT_EQ(RunLog(),
            "Info: Buchung eingepflegt! RC:0 Pnr:4711 Tag:20240301 Fkt:2 Fcd:KRF\n"
            "Info: TagesSatz aktualisiert! RC:0 Pnr:4711 Tag:20240301\n");
}

TEST_F(LogicTest, PairsOfSeveralCallsAddUpInTheRecord) {
  Fake().azv["4711 20240301"] = Azv(480, 0, 0, 0, 0, 0);
  TagSatz tag = MakeTag("4711", "20240301");
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  Mld_Generate(tag, buf, MakeFcd("KRF", 2, 0, 0, "", 1));
  Mld_Generate(tag, buf, MakeFcd("SEF", 3, 0, 0, "", 14));
  ASSERT_EQ(Fake().tag_updates.size(), 2u);
  const TagSatz& last = Fake().tag_updates[1];
  EXPECT_STREQ(last.TagHtv, "KRF");
  EXPECT_EQ(last.TagHvs, 240);
  EXPECT_STREQ(last.TagHtn, "SEF");
  EXPECT_EQ(last.TagHns, 0);
  Mld_Generate(tag, buf, MakeFcd("URF", 2, 0, 0, "", 2));
  EXPECT_STREQ(Fake().tag_updates[2].TagHtv, "URF");  // same kind replaces the pair
  EXPECT_EQ(Fake().tag_updates[2].TagHvs, 0);
}

TEST_F(LogicTest, RefusalUnderTargetTimeCheckIsLoggedEvenWithLoggingOff) {
  RunFlags.verbose = 0;
  RunFlags.debug = 1;
  TagSatz tag = MakeTag("4711", "20240301", 0);
  const TagSatz before = tag;
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 1, 1)), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Beginn Meldung generieren!\nEnde Meldung generieren!\n");
  EXPECT_TRUE(Fake().calls.empty());
  EXPECT_EQ(std::memcmp(&tag, &before, sizeof tag), 0);
  EXPECT_STREQ(buf.BchFcd, "KRA");
  EXPECT_EQ(RunLog(),
            "Info: Folgemeldungsart mit Sollzeitprüfung! Pnr:4711 Tag:20240301 ParVek:KRF\n");
}

TEST_F(LogicTest, TargetTimeCheckOnlyForSol1AndNonPositiveTgbSol) {
  TagSatz tag = MakeTag("4711", "20240301", 1);
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 0, 1)), 1);
  tag.TgbSol = 0;
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 0, 2)), 1);
  tag.TgbSol = -10;
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 0, 1)), 0);
  EXPECT_EQ(Fake().inserts.size(), 2u);
}

TEST_F(LogicTest, WithoutWorkingTimePlanTargetValueIsZero) {
  TagSatz tag = MakeTag("4711", "20240301");
  tag.TagTgs = 999;
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 15)), 1);
  EXPECT_STREQ(tag.TagTgb, "KRF");
  EXPECT_EQ(tag.TagTgs, 0);
  EXPECT_EQ(RunLog(),
            "Info: Buchung eingepflegt! RC:0 Pnr:4711 Tag:20240301 Fkt:1 Fcd:KRF\n"
            "Fehler(Azv_Read): Arbeitszeitvorgaben lesen RC:1403 Pnr:4711 Tag:20240301\n"
            "Info: TagesSatz aktualisiert! RC:0 Pnr:4711 Tag:20240301\n");
}

// A plan read that fails with an error leaves the day record alone exactly where the target
// value is taken from the plan; elsewhere the record is still updated.
TEST_F(LogicTest, FailedPlanReadSkipsUpdateOnlyWhereValueNeedsPlan) {
  const struct {
    int32_t zwt;
    bool updated;
    int32_t written;
  } cases[] = {{0, true, 0},    {1, false, 0},  {4, false, 0},  {5, true, 0},
               {14, true, 375}, {15, false, 0}, {18, false, 0}, {19, true, 0}};
  for (const auto& c : cases) {
    FakeReset();
    Fake().codes["Azv_Read"].push_back(-1422);
    TagSatz tag = MakeTag("4711", "20240301");
    tag.TagHns = 999;
    BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
    FcdSatz fcd = MakeFcd("SEF", 3, 0, 0, "", c.zwt);
    fcd.FcdStd = 375;
    EXPECT_EQ(Mld_Generate(tag, buf, fcd), 1) << "FcdZwt " << c.zwt;
    EXPECT_EQ(Count(Fake().calls, "Tag_Update"), c.updated ? 1 : 0) << "FcdZwt " << c.zwt;
    EXPECT_EQ(tag.TagHns, c.updated ? c.written : 999) << "FcdZwt " << c.zwt;
    if (c.updated && !Fake().tag_updates.empty()) {
      EXPECT_EQ(Fake().tag_updates[0].TagHns, c.written) << "FcdZwt " << c.zwt;
    }
  }
}

// The frame of a day record may start on another date than its day; the follow-up booking,
// the plan and the update all go by the day.
TEST_F(LogicTest, FrameOnAnotherDateBooksOnTheDay) {
  Fake().azv["4711 20240301"] = Azv(480, 0, 0, 0, 0, 0);
  TagSatz tag = MakeTag("4711", "20240301");
  Txt_Set(tag.TagVon, "20240229");
  Txt_Set(tag.TagBis, "20240229");
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 1)), 1);
  EXPECT_EQ(Fake().calls,
            (std::vector<std::string>{"Bch_Insert 4711 20240301 000000 1 KRF",
                                      "Azv_Read 4711 20240301", "Tag_Update 4711 20240301"}));
  ASSERT_EQ(Fake().tag_updates.size(), 1u);
  EXPECT_STREQ(Fake().tag_updates[0].TagTag, "20240301");
  EXPECT_STREQ(Fake().tag_updates[0].TagVon, "20240229");
  EXPECT_EQ(Fake().tag_updates[0].TagTgs, 480);
}

TEST_F(LogicTest, FailedInsertStillUpdatesDayRecord) {
  Fake().codes["Bch_Insert"].push_back(-1);
  Fake().codes["Tag_Update"].push_back(-54);
  Fake().azv["4711 20240301"] = Azv(480, 0, 0, 0, 0, 0);
  TagSatz tag = MakeTag("4711", "20240301");
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("KRF", 1, 0, 0, "", 1)), 1);
  EXPECT_EQ(tag.TagTgs, 480);
  EXPECT_EQ(RunLog(),
            "Fehler(Bch_Insert): Buchung einpflegen! RC:-1 Pnr:4711 Tag:20240301 Fkt:1 Fcd:KRF\n"
            "Fehler(Tag_Update): TagesSatz aktualisieren! RC:-54 Pnr:4711 Tag:20240301\n");
}

TEST_F(LogicTest, OtherKindChangesNoPairButUpdates) {
  Fake().azv["4711 20240301"] = Azv(480, 0, 0, 0, 0, 0);
  TagSatz tag = MakeTag("4711", "20240301");
  const TagSatz before = tag;
  BchSatz buf = MakeBch("4711", "20240229", "093000", 1, "KRA");
  EXPECT_EQ(Mld_Generate(tag, buf, MakeFcd("XYZ", 4, 0, 0, "", 1)), 1);
  EXPECT_EQ(std::memcmp(&tag, &before, sizeof tag), 0);
  EXPECT_EQ(Fake().CallsOf("Bch_Insert"),
            std::vector<std::string>{"Bch_Insert 4711 20240301 000000 4 XYZ"});
  EXPECT_EQ(Fake().tag_updates.size(), 1u);
}

}  // namespace
