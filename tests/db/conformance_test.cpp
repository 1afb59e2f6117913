// The statements of the job, written once against the statement module and run on every
// backend: SQLite always, PostgreSQL when PARVEK_TEST_PG names a server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/core/counters.h"
#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "tests/support/schema_test.h"
#include "tests/support/testdb.h"

namespace {

using pvt::Q;
using pvt::Ts;

constexpr const char* kDay = "20240301";  // a reference day of the fixtures

class Conformance : public pvt::SchemaTest {
 protected:
  void TearDown() override {
    TagYday_Close();
    TagPrev_Close();
    BchVortag_Close();
    BchAbrTag_Close();
    BchStdMld_Close();
  }
  void Connect() {
    ASSERT_EQ(Db_Connect(db_.login().c_str(), db_.pass().c_str(), db_.net().c_str(),
                         db_.schema().c_str()),
              0);
  }
  void Exec(const std::string& sql) {
    ASSERT_EQ(db_.Exec(sql), 0) << db_.last_error() << "\n" << sql;
  }

  // A day record with its day-evaluation row (TgbZtr `ztr`; none when ztr is 0).
  void Tag(const std::string& pnr, const std::string& day, const std::string& von,
           const std::string& uhr, const std::string& bis, const std::string& end, int ztr = 1,
           int sol = 480, const std::string& extra_cols = "", const std::string& extra_vals = "") {
    Exec("insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd" + extra_cols +
         ") values (" + Q(pnr) + ", " + Ts(day) + ", " + Ts(von) + ", " + Ts(von, uhr) + ", " +
         Ts(bis) + ", " + Ts(bis, end) + extra_vals + ")");
    if (ztr != 0)
      Exec("insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) values (" + Q(pnr) + ", " +
           Ts(day) + ", " + std::to_string(ztr) + ", " + std::to_string(sol) + ")");
  }
  // A booking; BchVon at midnight of `day` unless `von_time` is given.
  void Bch(const std::string& pnr, const std::string& day, const std::string& uhr, int fkt,
           const std::string& fcd = "K", const std::string& von_time = "000000") {
    Exec("insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values (" + Q(pnr) + ", " +
         Ts(day, von_time) + ", " + Ts(day, uhr) + ", " + std::to_string(fkt) + ", " + Q(fcd) +
         ")");
  }

  static std::vector<std::string> DrainTags(int (*fetch)(TagSatz&)) {
    std::vector<std::string> got;
    TagSatz t;
    Rec_Clear(t);
    int rc;
    while ((rc = fetch(t)) == 0) got.push_back(std::string(t.TagPnr) + "@" + t.TagTag);
    EXPECT_EQ(rc, 1403);
    return got;
  }
  static std::vector<std::string> DrainBch(int (*fetch)(BchSatz&)) {
    std::vector<std::string> got;
    BchSatz b;
    Rec_Clear(b);
    int rc;
    while ((rc = fetch(b)) == 0)
      got.push_back(std::string(b.BchVon) + b.BchUhr + "/" + std::to_string(b.BchFkt));
    EXPECT_EQ(rc, 1403);
    return got;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
};

// ---- the yesterday cursor -------------------------------------------------------------------

TEST_P(Conformance, YesterdayCursorDeliversExactlyThePlaceholderDays) {
  const std::string y = pvt::LocalDay(-1), y2 = pvt::LocalDay(-2), t = pvt::LocalDay(0);
  Tag("P1", y, y, "120000", y, "120000");     // placeholder
  Tag("P2", y, y, "120000", y, "120000", 2);  // evaluation row with TgbZtr 2 only
  Tag("P3", y, y, "120000", t, "120000");     // ends on another date
  Tag("P4", y, y, "080000", y, "080000");     // same time, not 12:00:00
  Tag("P5", y2, y2, "120000", y2, "120000");  // the day before yesterday
  Tag("P6", y, y, "120000", y, "120000", 0);  // no evaluation row
  Tag("P7", y, y2, "120000", y2, "120000");   // frame on another date, still one point
  Tag("P8", y, y, "120000", y, "120001");     // ends a second later
  Tag("P9", t, t, "120000", t, "120000");     // today
  Connect();
  ASSERT_EQ(TagYday_Open(), 0);
  EXPECT_EQ(Sorted(DrainTags(TagYday_Fetch)), (std::vector<std::string>{"P1@" + y, "P7@" + y}));
  TagYday_Close();
  // The form with the day bound: the same rows for yesterday, the day's own for another day.
  ASSERT_EQ(TagYday_OpenAt(y.c_str()), 0);
  EXPECT_EQ(Sorted(DrainTags(TagYday_Fetch)), (std::vector<std::string>{"P1@" + y, "P7@" + y}));
  TagYday_Close();
  ASSERT_EQ(TagYday_OpenAt(y2.c_str()), 0);
  EXPECT_EQ(Sorted(DrainTags(TagYday_Fetch)), (std::vector<std::string>{"P5@" + y2}));
  TagYday_Close();
  EXPECT_EQ(TagYday_OpenAt("20240230"), -1847);  // no 30 February
}

TEST_P(Conformance, YesterdayRecordArrivesFieldByFieldWithNullsAsEmptyOrZero) {
  const std::string y = pvt::LocalDay(-1);
  Tag("P1", y, y, "120000", y, "120000", 1, 456, ", TagTgb, TagTgs, TagHtv, TagHns",
      ", 'U', 7, NULL, -3");
  Connect();
  ASSERT_EQ(TagYday_Open(), 0);
  TagSatz t;
  std::memset(&t, 'x', sizeof t);
  ASSERT_EQ(TagYday_Fetch(t), 0);
  EXPECT_STREQ(t.TagPnr, "P1");
  EXPECT_STREQ(t.TagTag, y.c_str());
  EXPECT_STREQ(t.TagVon, y.c_str());
  EXPECT_STREQ(t.TagUhr, "120000");
  EXPECT_STREQ(t.TagBis, y.c_str());
  EXPECT_STREQ(t.TagEnd, "120000");
  EXPECT_EQ(t.TgbSol, 456);
  EXPECT_STREQ(t.TagTgb, "U");
  EXPECT_EQ(t.TagTgs, 7);
  EXPECT_STREQ(t.TagHtv, "");
  EXPECT_EQ(t.TagHvs, 0);
  EXPECT_STREQ(t.TagHtn, "");
  EXPECT_EQ(t.TagHns, -3);
  // After the last row: 1403, and the record stays as it was.
  const TagSatz before = t;
  EXPECT_EQ(TagYday_Fetch(t), 1403);
  EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  EXPECT_EQ(TagYday_Fetch(t), 1403);
}

TEST_P(Conformance, YesterdayCursorWalksOnWhileTagUpdateCommitsItsRows) {
  const std::string y = pvt::LocalDay(-1);
  for (const char* p : {"P1", "P2", "P3", "P4", "P5"}) Tag(p, y, y, "120000", y, "120000");
  Connect();
  ASSERT_EQ(TagYday_Open(), 0);
  std::vector<std::string> seen;
  TagSatz t;
  Rec_Clear(t);
  int rc;
  while ((rc = TagYday_Fetch(t)) == 0) {
    seen.push_back(t.TagPnr);
    EXPECT_STREQ(t.TagTgb, "");  // delivered as at the open, not as updated meanwhile
    Txt_Set(t.TagTgb, "K");
    t.TagTgs = 480;
    ASSERT_EQ(Tag_Update(t), 0);
    // The job also moves another row of the cursor's result off the placeholder frame.
    const std::string other = seen.size() == 1 ? (seen[0] == "P5" ? "P4" : "P5") : "";
    if (!other.empty())
      Exec("update Krv327Tag set TagEnd = " + Ts(y, "130000") + " where TagPnr = " + Q(other));
  }
  EXPECT_EQ(rc, 1403);
  EXPECT_EQ(Sorted(seen), (std::vector<std::string>{"P1", "P2", "P3", "P4", "P5"}));
  EXPECT_EQ(db_.Value("select count(*) from Krv327Tag where TagTgb = 'K' and TagTgs = 480"), "5");
}

// ---- the earlier-days cursor ----------------------------------------------------------------

TEST_P(Conformance, EarlierDaysNewestFirstStrictlyBeforeTheDay) {
  Tag("P", "20240301", "20240301", "080000", "20240301", "170000");
  Tag("P", "20240229", "20240229", "080000", "20240229", "170000");
  Tag("P", "20231231", "20231231", "120000", "20231231", "120000");
  Tag("P", "20240115", "20240115", "080000", "20240115", "170000", 0);  // no evaluation row
  Tag("P", "20240228", "20240228", "080000", "20240228", "170000", 3);  // TgbZtr 3
  Tag("Q", "20240220", "20240220", "080000", "20240220", "170000");     // another person
  Tag("P", "20240302", "20240302", "080000", "20240302", "170000");     // after the day
  Connect();
  ASSERT_EQ(TagPrev_Open("P", kDay), 0);
  EXPECT_EQ(DrainTags(TagPrev_Fetch), (std::vector<std::string>{"P@20240229", "P@20231231"}));
  ASSERT_EQ(TagPrev_Open("P", "20231231"), 0);  // the earliest day itself: nothing before
  TagSatz t;
  Rec_Clear(t);
  EXPECT_EQ(TagPrev_Fetch(t), 1403);
  EXPECT_STREQ(t.TagPnr, "");
}

// The counts the search asks of each walked day, answered on a server backend from the rows of
// the earlier-days cursor. After each walk (the cursor closed, every answer dropped) each count
// is asked again of its statement and must agree, also for a day whose bookings the session
// wrote during the walk, before the cursor fetched that day's page or after.
TEST_P(Conformance, EarlierDaysWalkCountsAgreeWithTheStatementsAcrossOwnWrites) {
  std::vector<std::string> days;  // 13 days before kDay: pages of 4, then 8, then 1
  for (int d = 29; d >= 17; --d) days.push_back("202402" + std::to_string(d));
  for (size_t i = 0; i < days.size(); ++i) {
    const std::string& d = days[i];
    Tag("P", d, d, i == 1 ? "220000" : "080000", i == 1 ? days[0] : d,
        i == 1 ? "060000" : "170000");
    if (i % 3 == 0) Bch("P", d, "000000", 1);                                   // a day message
    for (const char* at : {"080000", "170000", "170001"}) Bch("P", d, at, 21);  // bounds, outside
    Bch("P", d, "120000", 45);                                                  // not counted
  }
  Bch("P", days[1], "230000", 24);  // days[1]'s frame runs to 06:00 the next morning
  Bch("P", days[0], "050000", 24);
  Exec("update Krv327Tag set TagVon = NULL, TagUhr = NULL where TagTag = " + Ts(days[5]));
  Connect();
  // Per walk: after asking of day `at`, the session writes an hour message at 10:00 of day
  // `into`; `answered` counts come from the cursor's rows on a server backend.
  const struct {
    size_t at, into;
    uint64_t answered;
  } walks[] = {
      {99, 0, 26},  // no write: every count, an exchange per page
      {0, 2, 2},    // a write drops the answers of its page
      {3, 6, 8},    // and a page fetched after it answers nothing
  };
  std::vector<TagSatz> walked;
  for (const auto& w : walks) {
    SCOPED_TRACE(w.at);
    const auto before = pvc::GetCounters();
    walked.clear();
    std::vector<std::pair<int32_t, int32_t>> answers;
    ASSERT_EQ(TagPrev_Open("P", kDay), 0);
    TagSatz t;
    Rec_Clear(t);
    int rc;
    while ((rc = TagPrev_Fetch(t)) == 0) {
      int32_t tag = -1, std = -1;
      ASSERT_EQ(Bch_CountTagMld(t, tag), 0);
      ASSERT_EQ(Bch_CountStdMld(t, std), 0);
      answers.emplace_back(tag, std);
      walked.push_back(t);
      if (w.at != walked.size() - 1) continue;
      BchSatz b;
      Rec_Clear(b);
      Txt_Set(b.BchPnr, "P");
      Txt_Set(b.BchVon, days[w.into].c_str());
      Txt_Set(b.BchUhr, "100000");
      b.BchFkt = 23;
      ASSERT_EQ(Bch_Insert(b), 0);
    }
    EXPECT_EQ(rc, 1403);  // the walk reached the first day of the history
    TagPrev_Close();
    const auto after = pvc::GetCounters();
    ASSERT_EQ(walked.size(), days.size());
    for (size_t i = 0; i < walked.size(); ++i) {
      int32_t tag = -1, std = -1;
      ASSERT_EQ(Bch_CountTagMld(walked[i], tag), 0);
      ASSERT_EQ(Bch_CountStdMld(walked[i], std), 0);
      EXPECT_EQ(answers[i], std::make_pair(tag, std)) << walked[i].TagTag;
    }
    EXPECT_EQ(answers[3], std::make_pair(1, 2));  // on the bounds
    EXPECT_EQ(answers[1].second, 2);              // 23:00, and 05:00 the next morning
    EXPECT_EQ(answers[5].second, 0);              // a frame without a start counts nothing
    EXPECT_EQ(answers[w.into].second, w.into != 0 ? 3 : 2);  // the session's own write
    if (GetParam() == "postgres") {
      EXPECT_EQ(after.ahead_used - before.ahead_used, w.answered);
      // Three pages, and for the first walk the cursor connection's logon and schema.
      EXPECT_LE(after.trips - before.trips, w.into == 0 ? 5u : 40u);
    }
  }
  // A walk that ends inside a page leaves nothing behind: another program's booking on the day
  // it ended on, committed after the end, is counted by the next call (on SQLite the reads
  // after a walk share its read transaction up to the session's next write).
  ASSERT_EQ(TagPrev_Open("P", kDay), 0);
  TagSatz first;
  ASSERT_EQ(TagPrev_Fetch(first), 0);
  TagPrev_Close();
  Bch("P", days[0], "100500", 25);
  int32_t n = -1;
  ASSERT_EQ(Bch_CountStdMld(first, n), 0);
  EXPECT_EQ(n, GetParam() == "sqlite" ? 2 : 3);
}

// ---- day-message bookings -------------------------------------------------------------------

TEST_P(Conformance, DayMessageCursorsTakeTheCalendarDayAndFunctions123) {
  Bch("P", kDay, "000000", 1);
  Bch("P", kDay, "080000", 2);
  Bch("P", kDay, "090000", 3, "K", "090000");  // BchVon carrying a time of day
  Bch("P", kDay, "100000", 4);                 // not a day message
  Bch("P", kDay, "110000", 45);
  Bch("P", "20240302", "000000", 1);  // next day at midnight
  Bch("P", "20240229", "235959", 1, "K", "235959");
  Bch("Q", kDay, "000000", 1);
  Connect();
  const std::vector<std::string> want = {"20240301000000/1", "20240301080000/2",
                                         "20240301090000/3"};
  ASSERT_EQ(BchVortag_Open("P", kDay), 0);
  EXPECT_EQ(Sorted(DrainBch(BchVortag_Fetch)), want);
  ASSERT_EQ(BchAbrTag_Open("P", kDay), 0);
  EXPECT_EQ(Sorted(DrainBch(BchAbrTag_Fetch)), want);
  // The count compares BchVon exactly with midnight: the booking at 09:00 does not count,
  // and neither do functions 2 and 3.
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "P");
  Txt_Set(t.TagTag, kDay);
  int32_t n = -7;
  ASSERT_EQ(Bch_CountTagMld(t, n), 0);
  EXPECT_EQ(n, 1);
  Txt_Set(t.TagTag, "20240303");
  ASSERT_EQ(Bch_CountTagMld(t, n), 0);
  EXPECT_EQ(n, 0);
}

// Texts beyond their fields arrive cut, except keys and codes (a booking code of 'KRANK' is
// refused with -1406 and its row passed over, see the case below).
TEST_P(Conformance, BookingArrivesFieldByFieldWithOverlongTextsCut) {
  const std::string trm(300, 't'), kst(40, 'k');
  Exec(
      "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchBis, BchVws, BchFcd, BchZwt,"
      " BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm) values"
      " ('P', " +
      Ts(kDay) + ", " + Ts(kDay, "073015") + ", 1, " + Ts("20240305", "101112") + ", " +
      Ts("19991231", "235958") + ", 'KRA', 5, 'ABTEILUNG-0123456789', " + Q(kst) +
      ", 'KTR', 'KRT', 'AZT', 'VRA', 9, 2, 'erfasser', " + Q(trm) + ")");
  Connect();
  ASSERT_EQ(BchVortag_Open("P", kDay), 0);
  BchSatz b;
  Rec_Clear(b);
  ASSERT_EQ(BchVortag_Fetch(b), 0);
  EXPECT_STREQ(b.BchPnr, "P");
  EXPECT_STREQ(b.BchVon, "20240301");
  EXPECT_STREQ(b.BchUhr, "073015");
  EXPECT_EQ(b.BchFkt, 1);
  EXPECT_STREQ(b.BchBis, "20240305");
  EXPECT_STREQ(b.BchVws, "235958");
  EXPECT_STREQ(b.BchFcd, "KRA");
  EXPECT_EQ(b.BchZwt, 5);
  EXPECT_STREQ(b.BchAbt, "ABTEILUNG-01234");  // capacity 16
  EXPECT_EQ(std::string(b.BchKst), kst.substr(0, 30));
  EXPECT_STREQ(b.BchKtr, "KTR");
  EXPECT_STREQ(b.BchKrt, "KRT");
  EXPECT_STREQ(b.BchAzt, "AZT");
  EXPECT_STREQ(b.BchVra, "VRA");
  EXPECT_EQ(b.BchTxt, 9);
  EXPECT_EQ(b.BchSta, 2);
  EXPECT_STREQ(b.BchErf, "erfasser");
  EXPECT_EQ(std::string(b.BchTrm), trm.substr(0, 255));
  // A booking code longer than its field (capacity 4) refuses its row, the record untouched.
  Exec("update Krv321Bch set BchFcd = 'KRANK'");
  Connect();
  ASSERT_EQ(BchVortag_Open("P", kDay), 0);
  const BchSatz before = b;
  EXPECT_EQ(BchVortag_Fetch(b), kKeyTooLong);
  EXPECT_EQ(std::memcmp(&before, &b, sizeof b), 0);
  EXPECT_EQ(BchVortag_Fetch(b), 1403);
}

// ---- hour messages --------------------------------------------------------------------------

TEST_P(Conformance, HourMessageCursorTakesTheStoredFrameBoundsIncludedNewestFirst) {
  Tag("P", kDay, kDay, "080000", kDay, "170000");
  Bch("P", kDay, "080000", 21);  // at the start
  Bch("P", kDay, "170000", 22);  // at the end
  Bch("P", kDay, "075959", 23);  // a second early
  Bch("P", kDay, "170001", 23);  // a second late
  Bch("P", kDay, "140000", 24);
  Bch("P", kDay, "093000", 23);
  Bch("P", kDay, "120000", 29);  // counted, not delivered
  Bch("P", kDay, "130000", 45);  // neither
  Bch("P", kDay, "110000", 1);   // delivered, not counted
  Bch("Q", kDay, "100000", 23);  // another person
  Connect();
  ASSERT_EQ(BchStdMld_Open("P", kDay), 0);
  EXPECT_EQ(DrainBch(BchStdMld_Fetch),
            (std::vector<std::string>{"20240301170000/22", "20240301140000/24", "20240301110000/1",
                                      "20240301093000/23", "20240301080000/21"}));
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "P");
  Txt_Set(t.TagVon, kDay);
  Txt_Set(t.TagUhr, "080000");
  Txt_Set(t.TagBis, kDay);
  Txt_Set(t.TagEnd, "170000");
  int32_t n = -1;
  ASSERT_EQ(Bch_CountStdMld(t, n), 0);
  EXPECT_EQ(n, 5);  // 21, 22, 24, 23 at 09:30 and 29
  // The count takes the frame in the record, not the stored one.
  Txt_Set(t.TagUhr, "093000");
  Txt_Set(t.TagEnd, "140000");
  ASSERT_EQ(Bch_CountStdMld(t, n), 0);
  EXPECT_EQ(n, 3);  // 09:30, 12:00 (29), 14:00
}

TEST_P(Conformance, HourMessageFrameAcrossMidnight) {
  Tag("P", kDay, kDay, "220000", "20240302", "060000");
  Bch("P", kDay, "215959", 23);
  Bch("P", kDay, "230000", 23);
  Bch("P", "20240302", "050000", 24);
  Bch("P", "20240302", "060001", 24);
  Connect();
  ASSERT_EQ(BchStdMld_Open("P", kDay), 0);
  EXPECT_EQ(DrainBch(BchStdMld_Fetch),
            (std::vector<std::string>{"20240302050000/24", "20240301230000/23"}));
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "P");
  Txt_Set(t.TagVon, kDay);
  Txt_Set(t.TagUhr, "220000");
  Txt_Set(t.TagBis, "20240302");
  Txt_Set(t.TagEnd, "060000");
  int32_t n = -1;
  ASSERT_EQ(Bch_CountStdMld(t, n), 0);
  EXPECT_EQ(n, 2);
}

// ---- message types --------------------------------------------------------------------------

TEST_P(Conformance, MessageTypesStatusAndNullMappings) {
  Exec(
      "insert into Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd,"
      " FcdFlg, FcdSta) values"
      " ('K', 1, 2, 300, 1, NULL, NULL, NULL, 'KF', 3),"
      " ('OLD', 2, 0, 0, 0, 5, 6, 24, 'X', 4),"
      " ('N', NULL, NULL, NULL, NULL, 0, 1, -2, NULL, 0),"
      " ('LNG', 1, 0, 0, 0, 1, 1, 1, 'ABCDE', 0),"
      " ('NS', 1, 0, 0, 0, 1, 1, 1, 'Y', NULL)");
  Connect();
  struct Flg {
    const char* num;
    int code;
    const char* flg;
  } flags[] = {{"K", 0, "KF"},     {"OLD", 1403, "--"}, {"N", 0, ""}, {"LNG", -1406, "--"},
               {"NS", 1403, "--"}, {"NONE", 1403, "--"}};  // a code is never cut
  for (const auto& f : flags) {
    char flg[4] = "--";
    EXPECT_EQ(Fcd_ReadFlg(f.num, flg), f.code) << f.num;
    EXPECT_STREQ(flg, f.flg) << f.num;
  }
  FcdSatz fcd;
  Rec_Clear(fcd);
  Txt_Set(fcd.FcdNum, "K");
  ASSERT_EQ(Fcd_Read(fcd), 0);
  EXPECT_EQ(fcd.FcdTyp, 1);
  EXPECT_EQ(fcd.FcdZwt, 2);
  EXPECT_EQ(fcd.FcdStd, 300);
  EXPECT_EQ(fcd.FcdSol, 1);
  EXPECT_EQ(fcd.FcdPri, 0);
  EXPECT_EQ(fcd.FcdGpu, 0);
  EXPECT_EQ(fcd.FcdFcd, -9);
  EXPECT_STREQ(fcd.FcdFlg, "KF");
  Rec_Clear(fcd);
  Txt_Set(fcd.FcdNum, "OLD");  // read whatever its status
  ASSERT_EQ(Fcd_Read(fcd), 0);
  EXPECT_EQ(fcd.FcdPri, 5);
  EXPECT_EQ(fcd.FcdGpu, 6);
  EXPECT_EQ(fcd.FcdFcd, 24);
  Rec_Clear(fcd);
  Txt_Set(fcd.FcdNum, "N");
  ASSERT_EQ(Fcd_Read(fcd), 0);
  EXPECT_EQ(fcd.FcdTyp, 0);
  EXPECT_EQ(fcd.FcdGpu, 1);
  EXPECT_EQ(fcd.FcdFcd, -2);
  EXPECT_STREQ(fcd.FcdFlg, "");
  Rec_Clear(fcd);
  Txt_Set(fcd.FcdNum, "ZZ");
  fcd.FcdTyp = 77;
  EXPECT_EQ(Fcd_Read(fcd), 1403);
  EXPECT_EQ(fcd.FcdTyp, 77);
}

// ---- working-time plans ------------------------------------------------------------

TEST_P(Conformance, WorkingTimePlanValidity) {
  Exec(
      "insert into Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo,"
      " AzvGbi, AzvSta) values"
      " ('OPEN', 1, 2, 3, 4, 5, 6, " +
      Ts("20240201") +
      ", NULL, 0),"
      " ('UNTIL', 7, 0, 0, 0, 0, 0, " +
      Ts("20240101") + ", " + Ts(kDay) +
      ", 0),"
      " ('GONE', 8, 0, 0, 0, 0, 0, " +
      Ts("20240101") +
      ", NULL, 4),"
      " ('TWICE', 1, 0, 0, 0, 0, 0, " +
      Ts("20240101") +
      ", NULL, 0),"
      " ('TWICE', 2, 0, 0, 0, 0, 0, " +
      Ts("20240201") + ", NULL, 0)");
  Exec(
      "insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values"
      " ('A', " +
      Ts(kDay) +
      ", 'OPEN', 0),"
      " ('A', " +
      Ts("20240131") +
      ", 'OPEN', 0),"
      " ('B', " +
      Ts(kDay) +
      ", 'UNTIL', 0),"
      " ('B', " +
      Ts("20240302") +
      ", 'UNTIL', 0),"
      " ('C', " +
      Ts(kDay) +
      ", 'GONE', 0),"
      " ('D', " +
      Ts(kDay) +
      ", 'OPEN', 4),"
      " ('E', " +
      Ts(kDay) +
      ", 'TWICE', 0),"
      " ('F', " +
      Ts(kDay, "080000") + ", 'OPEN', 0)");
  Connect();
  AzvSatz azv;
  Rec_Clear(azv);
  ASSERT_EQ(Azv_Read("A", kDay, azv), 0);  // AzvGbi NULL: open-ended
  EXPECT_STREQ(azv.AzvNum, "OPEN");
  EXPECT_STREQ(azv.ZtgVon, kDay);
  EXPECT_EQ(
      std::vector<int>({azv.AzvSol, azv.AzvSo2, azv.AzvVhs, azv.AzvHso, azv.AzvHs2, azv.AzvHtv}),
      std::vector<int>({1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(Azv_Read("B", kDay, azv), 0);  // AzvGbi included
  EXPECT_EQ(azv.AzvSol, 7);
  struct Miss {
    const char* pnr;
    const char* day;
    int code;
  } misses[] = {
      {"A", "20240131", 1403},  // before AzvGvo
      {"B", "20240302", 1403},  // after AzvGbi
      {"C", kDay, 1403},        // AzvSta 4
      {"D", kDay, 1403},        // ZtgSta 4
      {"F", kDay, 1403},        // ZtgVon not at midnight
      {"A", "20240302", 1403},  // no assignment that day
      {"E", kDay, -1422},       // two valid working-time plans
  };
  for (const auto& m : misses) {
    AzvSatz a;
    Rec_Clear(a);
    a.AzvSol = 99;
    EXPECT_EQ(Azv_Read(m.pnr, m.day, a), m.code) << m.pnr << " " << m.day;
    EXPECT_EQ(a.AzvSol, 99) << m.pnr;
  }
}

// ---- writes ---------------------------------------------------------------------------------

TEST_P(Conformance, TagUpdateWritesAllSixFieldsEmptyCodesAsNull) {
  Tag("P", kDay, kDay, "120000", kDay, "120000", 1, 480, ", TagTgb, TagHtv, TagHtn",
      ", 'A', 'B', 'C'");
  Connect();
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "P");
  Txt_Set(t.TagTag, kDay);
  Txt_Set(t.TagHtv, "U");
  t.TagTgs = 1;
  t.TagHvs = 2;
  t.TagHns = 3;
  ASSERT_EQ(Tag_Update(t), 0);
  EXPECT_EQ(
      db_.Lines("select TagTgb, TagTgs, TagHtv, TagHvs, TagHtn, TagHns, TagUhr from Krv327Tag"),
      (std::vector<std::string>{"<null>|1|U|2|<null>|3|2024-03-01 12:00:00"}));
  Txt_Set(t.TagTag, "20240302");  // no such day record
  EXPECT_EQ(Tag_Update(t), 1403);
  EXPECT_EQ(db_.Value("select count(*) from Krv327Tag"), "1");
}

TEST_P(Conformance, BookingInsertStoresDateAndPointInTimeAndKeepsTheUniqueKey) {
  Connect();
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "P");
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "000000");
  b.BchFkt = 1;
  Txt_Set(b.BchFcd, "K");
  ASSERT_EQ(Bch_Insert(b), 0);
  Txt_Set(b.BchUhr, "143000");
  ASSERT_EQ(Bch_Insert(b), 0);
  EXPECT_EQ(Bch_Insert(b), -1);  // the same five values again
  EXPECT_EQ(db_.Lines("select BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf from Krv321Bch"
                      " order by BchUhr"),
            (std::vector<std::string>{"P|2024-03-01 00:00:00|2024-03-01 00:00:00|1|K|<null>",
                                      "P|2024-03-01 00:00:00|2024-03-01 14:30:00|1|K|<null>"}));
  // The session goes on after the broken key: a new booking is committed.
  Txt_Set(b.BchUhr, "150000");
  ASSERT_EQ(Bch_Insert(b), 0);
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch"), "3");
}

TEST_P(Conformance, BookingFunctionChangeAndDelete) {
  Bch("P", kDay, "080000", 2);
  Bch("P", kDay, "090000", 2);
  Bch("P", kDay, "090000", 45);
  Connect();
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "P");
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "080000");
  b.BchFkt = 2;
  ASSERT_EQ(Bch_UpdFkt(b, 45), 0);
  const std::string today = pvt::LocalDay(0);
  const auto changed = db_.Lines("select BchFkt, BchErf, BchDat from Krv321Bch where BchUhr = " +
                                 Ts(kDay, "080000"));
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0].substr(0, 11), "45|Korvant|");
  EXPECT_EQ(changed[0].substr(11, 10),
            today.substr(0, 4) + "-" + today.substr(4, 2) + "-" + today.substr(6, 2));
  // A booking with function 45 at the same key: -1, and the booking keeps function 2.
  Txt_Set(b.BchUhr, "090000");
  EXPECT_EQ(Bch_UpdFkt(b, 45), -1);
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch where BchFkt = 2"), "1");
  // Delete of the cancelled one, then the change goes through.
  ASSERT_EQ(Bch_DelFkt(b, 45), 0);
  ASSERT_EQ(Bch_UpdFkt(b, 45), 0);
  EXPECT_EQ(Bch_DelFkt(b, 3), 1403);  // nothing with function 3 there
  b.BchFkt = 7;
  EXPECT_EQ(Bch_UpdFkt(b, 45), 1403);
  EXPECT_EQ(db_.Lines("select BchUhr, BchFkt from Krv321Bch order by BchUhr"),
            (std::vector<std::string>{"2024-03-01 08:00:00|45", "2024-03-01 09:00:00|45"}));
}

TEST_P(Conformance, AFailedWriteCommitsNothingAndKeepsEarlierCommits) {
  Bch("P", kDay, "080000", 1);
  Tag("P", kDay, kDay, "120000", kDay, "120000");
  Connect();
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "P");
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "100000");
  b.BchFkt = 1;
  ASSERT_EQ(Bch_Insert(b), 0);  // committed
  Txt_Set(b.BchUhr, "080000");
  EXPECT_EQ(Bch_Insert(b), -1);
  TagSatz t;
  Rec_Clear(t);
  Txt_Set(t.TagPnr, "NOBODY");
  Txt_Set(t.TagTag, kDay);
  EXPECT_EQ(Tag_Update(t), 1403);
  // Nothing is left uncommitted for a later commit to publish.
  EXPECT_EQ(Db_Commit(), 1);
  EXPECT_EQ(db_.Lines("select BchUhr from Krv321Bch order by BchUhr"),
            (std::vector<std::string>{"2024-03-01 08:00:00", "2024-03-01 10:00:00"}));
}

// ---- read consistency -----------------------------------------------------------------------

TEST_P(Conformance, CursorDoesNotSeeARowCommittedAfterItsOpenALaterOneDoes) {
  Bch("P", kDay, "080000", 1);
  Connect();
  ASSERT_EQ(BchVortag_Open("P", kDay), 0);
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "P");
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "000000");
  b.BchFkt = 2;
  ASSERT_EQ(Bch_Insert(b), 0);
  Bch("P", kDay, "090000", 3);  // another program
  ASSERT_EQ(BchAbrTag_Open("P", kDay), 0);
  EXPECT_EQ(DrainBch(BchVortag_Fetch), (std::vector<std::string>{"20240301080000/1"}));
  EXPECT_EQ(Sorted(DrainBch(BchAbrTag_Fetch)),
            (std::vector<std::string>{"20240301000000/2", "20240301080000/1", "20240301090000/3"}));
}

TEST_P(Conformance, NestedCursorsAsTheFollowUpRulesUseThem) {
  const std::string y = pvt::LocalDay(-1);
  Tag("P", y, y, "120000", y, "120000");
  Bch("P", kDay, "000000", 1);
  Bch("P", kDay, "000100", 2);
  Connect();
  ASSERT_EQ(TagYday_Open(), 0);
  TagSatz t;
  Rec_Clear(t);
  ASSERT_EQ(TagYday_Fetch(t), 0);
  ASSERT_EQ(BchVortag_Open("P", kDay), 0);
  BchSatz ref;
  Rec_Clear(ref);
  int inserted = 0;
  while (BchVortag_Fetch(ref) == 0) {
    ASSERT_EQ(BchAbrTag_Open("P", y.c_str()), 0);
    EXPECT_EQ(DrainBch(BchAbrTag_Fetch).size(), static_cast<size_t>(inserted));
    BchAbrTag_Close();
    BchSatz n = ref;
    Txt_Set(n.BchVon, y);
    ASSERT_EQ(Bch_Insert(n), 0);
    ++inserted;
    EXPECT_EQ(Db_Commit(), 1);
  }
  EXPECT_EQ(inserted, 2);
  EXPECT_EQ(TagYday_Fetch(t), 1403);
}

// ---- malformed inputs -----------------------------------------------------------------------

TEST_P(Conformance, MalformedDateTextsGiveNegativeCodes) {
  Bch("P", kDay, "080000", 1);
  Connect();
  for (const char* bad : {"2024-03-01", "20240230", "20241301", "2024031", "abcdefgh"}) {
    EXPECT_LT(TagPrev_Open("P", bad), 0) << bad;
    TagSatz t;
    Rec_Clear(t);
    EXPECT_LT(TagPrev_Fetch(t), 0) << bad;  // never 0 after a failed open
    EXPECT_LT(BchVortag_Open("P", bad), 0) << bad;
    EXPECT_LT(BchStdMld_Open("P", bad), 0) << bad;
    AzvSatz a;
    Rec_Clear(a);
    EXPECT_LT(Azv_Read("P", bad, a), 0) << bad;
    Rec_Clear(t);
    Txt_Set(t.TagPnr, "P");
    Txt_Set(t.TagTag, bad);
    int32_t n = 5;
    EXPECT_LT(Bch_CountTagMld(t, n), 0) << bad;
    EXPECT_EQ(n, 5);
    EXPECT_LT(Tag_Update(t), 0) << bad;
    BchSatz b;
    Rec_Clear(b);
    Txt_Set(b.BchPnr, "P");
    Txt_Set(b.BchVon, bad);
    Txt_Set(b.BchUhr, "080000");
    b.BchFkt = 1;
    EXPECT_LT(Bch_Insert(b), 0) << bad;
    EXPECT_LT(Bch_UpdFkt(b, 45), 0) << bad;
    EXPECT_LT(Bch_DelFkt(b, 1), 0) << bad;
  }
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchPnr, "P");
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "250000");  // no such hour
  b.BchFkt = 1;
  EXPECT_LT(Bch_Insert(b), 0);
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch"), "1");
}

TEST_P(Conformance, EmptyTextsAreBoundAsNull) {
  Tag("P", kDay, kDay, "080000", kDay, "170000");
  Connect();
  // An empty day is NULL: nothing matches, no error.
  ASSERT_EQ(TagPrev_Open("P", ""), 0);
  TagSatz t;
  Rec_Clear(t);
  EXPECT_EQ(TagPrev_Fetch(t), 1403);
  // A booking without a person number breaks the NOT NULL key column.
  BchSatz b;
  Rec_Clear(b);
  Txt_Set(b.BchVon, kDay);
  Txt_Set(b.BchUhr, "080000");
  EXPECT_EQ(Bch_Insert(b), -1400);
}

INSTANTIATE_TEST_SUITE_P(Backends, Conformance, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
