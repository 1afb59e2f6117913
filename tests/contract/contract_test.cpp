// The contract of client/client.h, written once and run on every backend of
// pvt::BackendNames(): single-row selects, cursors across commits, the write pattern with its
// savepoints, locks of other programs, failures that stay with their statement, durability,
// read-only storage, lost connections, index use. Where a case needs an engine's own means
// (tests/support/engines.h) and the engine has none, the case skips and says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/engines.h"
#include "tests/support/schema_test.h"
#include "tests/support/testdb.h"

namespace {

using pvc::Bind;
using pvc::Op;
using pvc::Row;
using pvt::Ts;
using Clock = std::chrono::steady_clock;

constexpr const char* kDay = "20240301";
constexpr int kJobLockWaitMs = 30000;  // the job's default

class Contract : public pvt::SchemaTest {
 protected:
  void TearDown() override {
    // A failed logon leaves no current session: nothing of the job's keeps the schema in use
    // while it is dropped.
    s_ = nullptr;
    pvc::Logon("", "", "no-backend:");
  }

  const pvt::Engine& engine() const { return pvt::EngineOf(GetParam()); }

  // The job's session, current as after Db_Connect.
  void Connect() {
    ASSERT_EQ(db_.Connect(), 0);
    s_ = pvc::Current();
  }
  // The job's session, waiting only `ms` for other programs' locks.
  void ConnectWaiting(int ms) {
    engine().set_lock_wait_ms(ms);
    Connect();
    engine().set_lock_wait_ms(kJobLockWaitMs);
  }
  // Another program's session on the schema; `wait_ms` as for ConnectWaiting.
  std::unique_ptr<pvc::Session> Other(int wait_ms = kJobLockWaitMs) {
    std::unique_ptr<pvc::Session> other;
    if (engine().set_lock_wait_ms) engine().set_lock_wait_ms(wait_ms);
    const int rc = db_.OpenOther(other);
    if (engine().set_lock_wait_ms) engine().set_lock_wait_ms(kJobLockWaitMs);
    EXPECT_EQ(rc, 0);
    return other;
  }
  void Exec(const std::string& sql) { ASSERT_EQ(db_.Exec(sql), 0) << db_.last_error(); }

  // A booking of `pnr` on `day` at hh:mm:ss with function `fkt`, as fixture SQL.
  static std::string Booking(const std::string& hhmmss, int fkt, const std::string& pnr = "P",
                             const std::string& day = kDay) {
    return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values (" + pvt::Q(pnr) +
           ", " + Ts(day) + ", " + Ts(day, hhmmss) + ", " + std::to_string(fkt) + ", 'K');";
  }
  static std::vector<Bind> DayOf(const std::string& pnr = "P") {
    return {Bind::Txt(pnr), Bind::Dat(kDay)};
  }
  static std::vector<Bind> Insert(const std::string& hhmmss, int fkt,
                                  const std::string& pnr = "P") {
    return {Bind::Txt(pnr), Bind::Dat(kDay), Bind::DatTime(std::string(kDay) + hhmmss),
            Bind::Int(fkt), Bind::Txt("K")};
  }
  static std::vector<Bind> ChangeFkt(const std::string& hhmmss, int from, int to) {
    return {Bind::Int(to), Bind::Txt("P"), Bind::Dat(kDay), Bind::Txt(hhmmss), Bind::Int(from)};
  }
  std::string Count(const std::string& pnr = "P") {
    return db_.Value("select count(*) from Krv321Bch where BchPnr = " + pvt::Q(pnr));
  }
  // Column `col` of every remaining row of a cursor (for booking cursors, 2 is BchUhr); a
  // failure ends the list with "RC:<code>".
  static std::vector<std::string> Drain(pvc::Cursor& c, size_t col = 2) {
    std::vector<std::string> got;
    Row row;
    int rc;
    while ((rc = c.Fetch(row)) == 0) got.push_back(row[col].text);
    if (rc != pvc::kNoData) got.push_back("RC:" + std::to_string(rc));
    return got;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  pvc::Session* s_ = nullptr;
};

#define NEEDS(hook)                                                               \
  do {                                                                            \
    if (!engine().hook) GTEST_SKIP() << GetParam() << " has no way to do " #hook; \
  } while (0)

// ---- single-row selects ---------------------------------------------------------------------

TEST_P(Contract, SingleRowSelectFindingTwoRowsFailsWith1422AndDeliversNothing) {
  Exec("insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values ('P', " + Ts(kDay) +
       ", 'A1', 0);"
       "insert into Krv140Azv (AzvNum, AzvSol, AzvGvo, AzvGbi, AzvSta) values ('A1', 1, " +
       Ts("20240101") + ", NULL, 0), ('A1', 2, " + Ts("20230101") + ", NULL, 0);");
  Connect();
  Row row{pvc::Cell{}};
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOf(), row), pvc::kTooManyRows);
  EXPECT_EQ(row.size(), 1u);  // untouched
}

// ---- cursors --------------------------------------------------------------------------------

TEST_P(Contract, CursorKeepsItsRowsAndPositionAcrossCommits) {
  Exec(Booking("080000", 1) + Booking("090000", 2) + Booking("100000", 3));
  Connect();
  auto other = Other();
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c), 0);
  Row row;
  ASSERT_EQ(c->Fetch(row), 0);
  std::vector<std::string> seen{row[2].text};

  // While the cursor is open the job writes and commits, and so does another program: a new
  // booking each, a changed one and a deleted one.
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("110000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Write(Op::BchUpdFkt, ChangeFkt("090000", 2, 45)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(other->Write(Op::BchInsert, Insert("120000", 1)), 0);
  ASSERT_EQ(other->Write(Op::BchDelFkt,
                         {Bind::Txt("P"), Bind::Dat(kDay), Bind::Txt("100000"), Bind::Int(3)}),
            0);
  ASSERT_EQ(other->Commit(), 0);

  // The open cursor walks on over the rows of its open, unchanged.
  for (const auto& t : Drain(*c)) seen.push_back(t);
  EXPECT_EQ(Sorted(seen), (std::vector<std::string>{"080000", "090000", "100000"}));
  // A cursor opened now sees everything committed before (45 is no day message).
  std::unique_ptr<pvc::Cursor> later;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), later), 0);
  EXPECT_EQ(Sorted(Drain(*later)), (std::vector<std::string>{"080000", "110000", "120000"}));
}

TEST_P(Contract, FetchAfterTheEndKeepsReturning1403AndLeavesTheRow) {
  Exec(Booking("080000", 1));
  Connect();
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c), 0);
  Row row;
  ASSERT_EQ(c->Fetch(row), 0);
  const Row before = row;
  EXPECT_EQ(c->Fetch(row), pvc::kNoData);
  EXPECT_EQ(c->Fetch(row), pvc::kNoData);
  ASSERT_EQ(row.size(), before.size());
  EXPECT_EQ(row[2].text, before[2].text);
}

TEST_P(Contract, ThreeCursorsOpenAtOnceEachWithItsOwnSnapshot) {
  Exec(Booking("080000", 1));
  Connect();
  std::unique_ptr<pvc::Cursor> c1, c2, c3;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c1), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("090000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c2), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("100000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c3), 0);
  EXPECT_EQ(Drain(*c3).size(), 3u);
  EXPECT_EQ(Drain(*c2).size(), 2u);
  EXPECT_EQ(Drain(*c1).size(), 1u);
  // Closed cursors' connections are reused: repeated opens see each new commit.
  for (int i = 0; i < 50; ++i) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c), 0);
    EXPECT_EQ(Drain(*c).size(), static_cast<size_t>(3 + i));
    ASSERT_EQ(s_->Write(Op::BchInsert, Insert("11" + std::to_string(10 + i) + "00", 2)), 0);
    ASSERT_EQ(s_->Commit(), 0);
  }
}

// The follow-up rules' nesting: the earlier-days cursor and two booking cursors, fetched in turn.
TEST_P(Contract, ThreeDifferentCursorsFetchedInTurn) {
  Exec(Booking("080000", 1) + Booking("080000", 1, "P", "20240302") +
       "insert into Krv327Tag (TagPnr, TagTag) values ('P', " + Ts("20240228") + "), ('P', " +
       Ts("20240229") +
       ");"
       "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " +
       Ts("20240228") + ", 1), ('P', " + Ts("20240229") + ", 1);");
  Connect();
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<pvc::Cursor> prev, vortag, abrtag;
    ASSERT_EQ(s_->Open(Op::TagPrev, DayOf(), prev), 0);
    ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), vortag), 0);
    ASSERT_EQ(s_->Open(Op::BchTagMld, {Bind::Txt("P"), Bind::Dat("20240302")}, abrtag), 0);
    Row a, b, p;
    ASSERT_EQ(vortag->Fetch(a), 0);
    ASSERT_EQ(abrtag->Fetch(b), 0);
    ASSERT_EQ(prev->Fetch(p), 0);
    EXPECT_EQ(a[1].text, "20240301");
    EXPECT_EQ(b[1].text, "20240302");
    EXPECT_EQ(p[1].text, "20240229");  // newest first
    ASSERT_EQ(prev->Fetch(p), 0);
    EXPECT_EQ(p[1].text, "20240228");
    EXPECT_EQ(vortag->Fetch(a), pvc::kNoData);
    EXPECT_EQ(abrtag->Fetch(b), pvc::kNoData);
  }
}

// The earlier-days cursor over more days than several pages hold: every day with a TgbZtr 1
// row, newest first, none twice; what is committed after the open stays out of it, and each
// later open (on a reused connection) sees it.
TEST_P(Contract, EarlierDaysCursorWalksEveryDayOnceNewestFirst) {
  const int n = 600;
  std::string tags = "insert into Krv327Tag (TagPnr, TagTag) values ";
  std::string tgbs = "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ";
  for (int i = 1; i <= n; ++i) {
    const std::string day = Ts(pvt::LocalDay(-1 - i)), sep = i < n ? ", " : ";";
    tags += "('P', " + day + "), ('Q', " + day + ")" + sep;
    // Every seventh day has only a TgbZtr 2 row: not an earlier day of the search.
    tgbs += "('P', " + day + ", " + (i % 7 == 0 ? "2" : "1") + "), ('Q', " + day + ", 1)" + sep;
  }
  Exec(tags + tgbs);
  Connect();
  auto other = Other();
  const std::vector<Bind> from = {Bind::Txt("P"), Bind::Dat(pvt::LocalDay(-1))};
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s_->Open(Op::TagPrev, from, c), 0) << s_->LastError().message;
    // A day committed after the open, older than all: not part of this walk, but of the next.
    const std::string added = pvt::LocalDay(-1 - n - 1 - round);
    ASSERT_EQ(
        other->Tools()->ExecScript(
            "insert into Krv327Tag (TagPnr, TagTag) values ('P', " + Ts(added) +
            "); insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " + Ts(added) + ", 1)"),
        0);
    const auto days = Drain(*c, 1);
    ASSERT_EQ(days.size(), static_cast<size_t>(n - n / 7 + round)) << days.back();
    EXPECT_EQ(days.front(), pvt::LocalDay(-2));
    EXPECT_TRUE(std::adjacent_find(days.begin(), days.end(), std::less_equal<>()) == days.end())
        << "not strictly newest first";
  }
}

TEST_P(Contract, YesterdayCursorWalksManyRowsWhileEachIsUpdated) {
  const std::string y = pvt::LocalDay(-1);
  const int n = 700;  // more than several fetch batches
  std::string tags =
      "insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd,"
      " TagTgs) values ";
  std::string tgbs = "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) values ";
  for (int i = 1; i <= n; ++i) {
    const std::string p = pvt::Q("P" + std::to_string(i)), sep = i < n ? ", " : ";";
    tags += "(" + p + ", " + Ts(y) + ", " + Ts(y) + ", " + Ts(y, "120000") + ", " + Ts(y) + ", " +
            Ts(y, "120000") + ", 0)" + sep;
    tgbs += "(" + p + ", " + Ts(y) + ", 1, 480)" + sep;
  }
  Exec(tags + tgbs);
  Connect();
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::TagYday, {}, c), 0);
  Row row;
  int rc, count = 0;
  while ((rc = c->Fetch(row)) == 0) {
    ++count;
    ASSERT_EQ(row.size(), 13u);
    ASSERT_EQ(row[1].text, y);
    ASSERT_EQ(row[6].num, 480);
    // The update makes the row no placeholder any more; the cursor goes on regardless.
    ASSERT_EQ(s_->Savepoint("Tag_PKey_Upd_Sp"), 0);
    ASSERT_EQ(s_->Write(Op::TagUpdate,
                        {Bind::Txt("K"), Bind::Int(1), Bind::Txt(""), Bind::Int(0), Bind::Txt(""),
                         Bind::Int(0), Bind::Txt(row[0].text), Bind::Dat(y)}),
              0);
    ASSERT_EQ(s_->Commit(), 0);
  }
  EXPECT_EQ(rc, pvc::kNoData);
  EXPECT_EQ(count, n);
  EXPECT_EQ(db_.Value("select count(*) from Krv327Tag where TagTgb = 'K' and TagHtv is null"),
            std::to_string(n));
}

TEST_P(Contract, CursorOutlivingItsSessionStillEnds) {
  Exec(Booking("080000", 1));
  auto other = Other();
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(other->Open(Op::BchTagMld, DayOf(), c), 0);
  other.reset();
  EXPECT_EQ(Drain(*c), std::vector<std::string>{"080000"});
}

TEST_P(Contract, CursorsFollowTheSchemaSwitch) {
  std::string second, why;
  const int made = db_.CreateAnother(second, why);
  if (made == pvc::kNoSchema) GTEST_SKIP() << why;  // a data source that holds one schema
  ASSERT_EQ(made, 0) << why;
  Exec("insert into Krv327Tag (TagPnr, TagTag) values ('P', " + Ts("20240229") +
       ");"
       "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " +
       Ts("20240229") + ", 1);" + Booking("080000", 1));
  Connect();
  {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s_->Open(Op::TagPrev, DayOf(), c), 0);
    EXPECT_EQ(Drain(*c).size(), 1u);
  }  // the cursor's connection goes back to be reused
  ASSERT_EQ(s_->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + second), 0);
  for (Op op : {Op::TagPrev, Op::BchTagMld}) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s_->Open(op, DayOf(), c), 0);
    EXPECT_TRUE(Drain(*c).empty()) << static_cast<int>(op);
  }
}

TEST_P(Contract, FailedOpenReturnsItsCodeAndTheNextOpenWorks) {
  Connect();
  Exec("DROP TABLE Krv320Tgb");
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<pvc::Cursor> c;
    EXPECT_EQ(s_->Open(Op::TagPrev, DayOf(), c), pvc::kNoTable);
    EXPECT_FALSE(c);
    EXPECT_EQ(s_->LastError().code, pvc::kNoTable);
    ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c), 0);
    EXPECT_TRUE(Drain(*c).empty());
  }
}

// ---- statements that fail on their own ------------------------------------------------------

TEST_P(Contract, MissingTableFailsOnlyItsStatementsWhenTheyRun) {
  Exec("DROP TABLE Krv140Azv");
  Connect();  // the connect does not look at tables
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOf(), row), pvc::kNoTable);
  std::string message = s_->LastError().message;
  for (char& ch : message) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_NE(message.find("krv140azv"), std::string::npos) << s_->LastError().message;
  EXPECT_EQ(s_->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kNoData);
  // Once the table exists, the statement runs.
  Exec(
      "CREATE TABLE Krv140Azv (AzvNum VARCHAR(8), AzvSol INTEGER, AzvSo2 INTEGER,"
      " AzvVhs INTEGER, AzvHso INTEGER, AzvHs2 INTEGER, AzvHtv INTEGER, AzvGvo TIMESTAMP(0),"
      " AzvGbi TIMESTAMP(0), AzvSta INTEGER)");
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOf(), row), pvc::kNoData);
}

TEST_P(Contract, WriteCodes) {
  Connect();
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1)), pvc::kUniqueViolated);
  EXPECT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1, "")), pvc::kNotNull);
  EXPECT_EQ(
      s_->Write(Op::BchInsert, {Bind::Txt("P"), Bind::Dat("20240399"),
                                Bind::DatTime("20240301080000"), Bind::Int(1), Bind::Txt("K")}),
      pvc::kBadDay);
  EXPECT_EQ(s_->Write(Op::BchDelFkt,
                      {Bind::Txt("P"), Bind::Dat(kDay), Bind::Txt("080000"), Bind::Int(45)}),
            pvc::kNoData);
  EXPECT_EQ(
      s_->Write(Op::TagUpdate, {Bind::Txt("K"), Bind::Int(1), Bind::Txt(""), Bind::Int(0),
                                Bind::Txt(""), Bind::Int(0), Bind::Txt("P"), Bind::Dat(kDay)}),
      pvc::kNoData);
  EXPECT_EQ(db_.Lines("select BchPnr, BchVon, BchUhr, BchFkt from Krv321Bch"),
            (std::vector<std::string>{"P|2024-03-01 00:00:00|2024-03-01 08:00:00|1"}));
}

TEST_P(Contract, MalformedDatesFailWithTheirCodesAndWriteNothing) {
  struct Case {
    Bind day;
    int code;
  };
  const Case cases[] = {
      {Bind::Dat("2024031"), pvc::kBadDateFormat},
      {Bind::Dat("20241301"), pvc::kBadMonth},
      {Bind::Dat("20240230"), pvc::kBadDay},
      {Bind::Dat("2024-03-01"), pvc::kBadDateFormat},
  };
  Connect();
  for (const Case& c : cases) {
    Row row;
    EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, {Bind::Txt("P"), c.day}, row), c.code)
        << c.day.text;
    std::unique_ptr<pvc::Cursor> cur;
    EXPECT_EQ(s_->Open(Op::TagPrev, {Bind::Txt("P"), c.day}, cur), c.code) << c.day.text;
    EXPECT_FALSE(cur);
  }
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("250000", 1)), pvc::kBadDateFormat);
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count(), "0");
}

TEST_P(Contract, FailedInsertUndoesOnlyItselfAndTheNextStatementsWork) {
  Exec(Booking("000000", 1));
  Connect();
  // The job's write pattern, without the rollback to the savepoint after the failure.
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1)), pvc::kUniqueViolated);
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOf(), row), 0);
  EXPECT_EQ(row.at(0).num, 1);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1, "P2")), 0);
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count("P"), "1");
  EXPECT_EQ(Count("P2"), "1");
}

TEST_P(Contract, FailureAfterAnUncommittedWriteKeepsThatWrite) {
  Exec("DROP TABLE Krv140Azv");
  Connect();
  // Two writes in one transaction, no savepoint between them: the second fails alone.
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1)), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1)), pvc::kUniqueViolated);
  EXPECT_EQ(Count(), "0");  // nothing committed yet
  // A failing read in the same transaction (its table is gone) fails alone as well.
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOf(), row), pvc::kNoTable);
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count(), "1");
}

TEST_P(Contract, RollbackToASavepointKeepsEarlierUncommittedWork) {
  Connect();
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1)), 0);  // not yet committed
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("090000", 1)), 0);
  ASSERT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(Count(), "0");  // nothing committed yet
  ASSERT_EQ(s_->Commit(), 0);
  EXPECT_EQ(db_.Lines("select BchUhr from Krv321Bch"),
            (std::vector<std::string>{"2024-03-01 08:00:00"}));
}

TEST_P(Contract, JobsWritePatternCommitsSuccessesAndRollsBackFailures) {
  Connect();
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("000000", 2)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  // An update that matches nothing: 1403, rolled back, not committed.
  ASSERT_EQ(s_->Savepoint("Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchUpdFkt, ChangeFkt("000000", 3, 45)), pvc::kNoData);
  EXPECT_EQ(s_->RollbackTo("Bch_UpdFkt_Sp"), 0);
  // The savepoint is set again and a new write committed; the earlier one stays.
  ASSERT_EQ(s_->Savepoint("Bch_UpdFkt_Sp"), 0);
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(s_->Write(Op::BchUpdFkt, ChangeFkt("000000", 2, 45)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  const auto rows = db_.Lines("select BchFkt, BchErf, BchDat from Krv321Bch");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].substr(0, rows[0].rfind('|')), "45|Korvant");
  // BchDat is the local date and time of the change, to the second.
  const std::string dat = rows[0].substr(rows[0].rfind('|') + 1);
  std::tm tm{};
  ASSERT_TRUE(dat.size() == 19 && strptime(dat.c_str(), "%Y-%m-%d %H:%M:%S", &tm) != nullptr)
      << dat;
  tm.tm_isdst = -1;
  EXPECT_LT(std::abs(std::difftime(std::mktime(&tm), before)), 120) << dat;
  EXPECT_EQ(s_->RollbackTo("Bch_UpdFkt_Sp"), pvc::kNoSavepoint);  // ended by the commit
}

// The write pattern as one call: a success is committed, an update that matches nothing and a
// broken key change nothing and leave no transaction behind; an earlier commit stays.
TEST_P(Contract, WriteDurablyCommitsSuccessesAndUndoesOnlyTheFailedWrite) {
  Connect();
  auto other = Other(1000);  // an open transaction would hold a lock: -54 after a second
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("235959", 2, "P0")), 0);  // prepares the insert
  ASSERT_EQ(s_->Commit(), 0);
  const auto before = pvc::GetCounters();
  ASSERT_EQ(s_->WriteDurably(Op::BchInsert, Insert("000000", 2), "Bch_PKey_Ins_Sp"), 0);
  const auto after = pvc::GetCounters();
  // Counted as the three statements it stands for; on the server a successful write is one
  // exchange and a failed one two.
  EXPECT_EQ(after.statements - before.statements, 3u);
  EXPECT_EQ(after.durable_commits - before.durable_commits, 1u);
  EXPECT_EQ(s_->WriteDurably(Op::BchInsert, Insert("000000", 2), "Bch_PKey_Ins_Sp"),
            pvc::kUniqueViolated);
  if (GetParam() == std::string("postgres")) {
    EXPECT_EQ(after.trips - before.trips, 1u);
    EXPECT_EQ(pvc::GetCounters().trips - after.trips, 2u);
  }
  EXPECT_EQ(Count(), "1");  // committed: another program reads it
  EXPECT_EQ(s_->WriteDurably(Op::BchUpdFkt, ChangeFkt("000000", 3, 45), "Bch_UpdFkt_Sp"),
            pvc::kNoData);
  EXPECT_EQ(other->Write(Op::BchUpdFkt, ChangeFkt("000000", 2, 7)), 0);
  ASSERT_EQ(other->Commit(), 0);
  EXPECT_EQ(s_->WriteDurably(Op::BchUpdFkt, ChangeFkt("000000", 7, 45), "Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(s_->WriteDurably(Op::BchInsert, Insert("010000", 1), "Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(db_.Lines("select BchFkt from Krv321Bch where BchPnr = 'P' order by BchUhr"),
            (std::vector<std::string>{"45", "1"}));
  EXPECT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), pvc::kNoSavepoint);  // ended by the commit
}

// A preview keeps the night in one transaction: each durable write's savepoint is released
// where the night would commit (or end its transaction), so that savepoints do not pile up, and
// a failed write still undoes only itself.
TEST_P(Contract, PreviewReleasesEachDurableWritesSavepoint) {
  ASSERT_EQ(db_.Connect({pvc::WithoutCommits}), 0);
  s_ = pvc::Current();
  for (const char* hhmmss : {"000000", "000001", "000002"}) {
    ASSERT_EQ(s_->WriteDurably(Op::BchInsert, Insert(hhmmss, 2), "Bch_PKey_Ins_Sp"), 0);
    EXPECT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), pvc::kNoSavepoint) << hhmmss;
  }
  EXPECT_EQ(s_->WriteDurably(Op::BchInsert, Insert("000001", 2), "Bch_PKey_Ins_Sp"),
            pvc::kUniqueViolated);
  EXPECT_EQ(s_->WriteDurably(Op::BchUpdFkt, ChangeFkt("000002", 3, 45), "Bch_UpdFkt_Sp"),
            pvc::kNoData);
  EXPECT_EQ(s_->RollbackTo("Bch_UpdFkt_Sp"), pvc::kNoSavepoint);
  EXPECT_EQ(s_->WriteDurably(Op::BchUpdFkt, ChangeFkt("000002", 2, 45), "Bch_UpdFkt_Sp"), 0);
  std::vector<pvc::Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s_).Query("select BchFkt from Krv321Bch order by BchUhr", rows), 0);
  ASSERT_EQ(rows.size(), 3u);
  const pvc::Cell& fkt = rows[2][0];
  EXPECT_EQ(fkt.is_int ? std::to_string(fkt.num) : fkt.text, "45");
  EXPECT_EQ(Count(), "0");  // nothing committed
  EXPECT_EQ(pvc::ToolsOf(*s_).RollbackAll(), 0);
}

// ---- writes, commits and locks --------------------------------------------------------------

TEST_P(Contract, WriteNeverCommitsByItselfAndAFailedOneLeavesNoLockBehind) {
  NEEDS(set_lock_wait_ms);
  Connect();
  auto other = Other(1000);  // a lock left behind shows as -54 after a second
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1)), 0);
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count(), "1");
  struct Failing {
    const char* savepoint;  // nullptr: outside a transaction, without a savepoint
    Op op;
    std::vector<Bind> in;
    int code;
  } cases[] = {
      {"Bch_PKey_Ins_Sp", Op::BchInsert, Insert("080000", 1), pvc::kUniqueViolated},
      {"Bch_DelFkt_Sp",
       Op::BchDelFkt,
       {Bind::Txt("P"), Bind::Dat(kDay), Bind::Txt("080000"), Bind::Int(45)},
       pvc::kNoData},
      {"Tag_PKey_Upd_Sp",
       Op::TagUpdate,
       {Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0),
        Bind::Txt("P"), Bind::Dat(kDay)},
       pvc::kNoData},
      // The other program changes the booking to function 7 in the first round.
      {nullptr, Op::BchInsert, Insert("080000", 7), pvc::kUniqueViolated},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string what = c.savepoint != nullptr ? c.savepoint : "no savepoint";
    if (c.savepoint != nullptr) {
      ASSERT_EQ(s_->Savepoint(c.savepoint), 0);
    }
    EXPECT_EQ(s_->Write(c.op, c.in), c.code) << what;
    if (c.savepoint != nullptr) {
      EXPECT_EQ(s_->RollbackTo(c.savepoint), 0) << what;
    }
    // Another program can write at once, also the row the failed write was about.
    const auto t0 = Clock::now();
    EXPECT_EQ(other->Write(Op::BchInsert, Insert("09" + std::to_string(10 + n++) + "00", 2)), 0)
        << what;
    EXPECT_EQ(other->Write(Op::BchUpdFkt, ChangeFkt("080000", n == 1 ? 1 : 7, 7)), 0) << what;
    EXPECT_EQ(other->Commit(), 0) << what;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << what;
  }
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count(), "5");
}

TEST_P(Contract, LockHeldTooLongGives54AndTheSessionGoesOn) {
  NEEDS(set_lock_wait_ms);
  Exec(Booking("080000", 1));
  ConnectWaiting(300);
  auto other = Other();
  // The other program changes the booking and keeps its transaction open.
  ASSERT_EQ(other->Write(Op::BchUpdFkt, ChangeFkt("080000", 1, 45)), 0);
  const auto t0 = Clock::now();
  ASSERT_EQ(s_->Savepoint("Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchUpdFkt, ChangeFkt("080000", 1, 45)), pvc::kLocked);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250)) << "no wait for the lock";
  EXPECT_EQ(s_->RollbackTo("Bch_UpdFkt_Sp"), 0);
  // Reading is not blocked by the other program's lock, nor shows its uncommitted change.
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOf(), row), 0);
  EXPECT_EQ(row.at(0).num, 1);
  // Once the lock is gone the job's statements work again.
  ASSERT_EQ(other->Commit(), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1, "P2")), 0);
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(Count("P2"), "1");
}

TEST_P(Contract, CommitsAreDurableAndCounted) {
  NEEDS(durability_problem);
  Connect();
  EXPECT_EQ(engine().durability_problem(*s_), "");
  const auto before = pvc::GetCounters();
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("080000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  EXPECT_EQ(pvc::GetCounters().statements - before.statements, 3u);
  EXPECT_EQ(pvc::GetCounters().commits - before.commits, 1u);
}

// ---- reads run ahead ------------------------------------------------------------------------

TEST_P(Contract, ReadAheadAnswersEachCallOnceAndNeverAcrossAWrite) {
  Exec(Booking("080000", 1) + "DROP TABLE Krv140Azv;");
  Connect();
  Row row;
  const auto count = [&] {
    row.clear();
    const int rc = s_->SelectOne(Op::BchCountTagMld, DayOf(), row);
    return rc == 0 && !row.empty() ? row[0].num : -1000 + rc;
  };
  const auto bookings = [&] {
    std::unique_ptr<pvc::Cursor> c;
    const int rc = s_->Open(Op::BchTagMld, DayOf(), c);
    return Sorted(rc == 0 ? Drain(*c) : std::vector<std::string>{"RC:" + std::to_string(rc)});
  };
  const std::vector<Bind> bad_month = {Bind::Txt("P"), Bind::Dat("20241399")};
  const auto before = pvc::GetCounters();
  // A read that fails on the server (its table is missing) comes first, so that on a server
  // backend the reads after it in the same exchange are aborted too.
  s_->ReadAhead({{Op::AzvRead, DayOf()},
                 {Op::BchCountTagMld, DayOf()},
                 {Op::BchTagMld, DayOf()},
                 {Op::BchCountTagMld, bad_month}});
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOf(), row), pvc::kNoTable);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(bookings(), (std::vector<std::string>{"080000"}));
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, bad_month, row), pvc::kBadMonth);

  // Read ahead again, without the failing read: on PostgreSQL both calls are answered from
  // the one exchange of the read-ahead.
  const auto again = pvc::GetCounters();
  s_->ReadAhead({{Op::BchCountTagMld, DayOf()}, {Op::BchTagMld, DayOf()}});
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(bookings(), (std::vector<std::string>{"080000"}));
  if (GetParam() == "postgres") {
    EXPECT_EQ(pvc::GetCounters().ahead_used - again.ahead_used, 2u);
    EXPECT_EQ(pvc::GetCounters().trips - again.trips, 1u);
    EXPECT_EQ(again.ahead_used - before.ahead_used, 0u);  // the first round was aborted
  }
  // Each is answered once: asked again, the read runs and sees another program's booking.
  auto other = Other();
  ASSERT_EQ(other->Write(Op::BchInsert, Insert("090000", 1)), 0);
  ASSERT_EQ(other->Commit(), 0);
  EXPECT_EQ(count(), 2);

  // Never across the session's own write, durable or pending.
  s_->ReadAhead({{Op::BchCountTagMld, DayOf()}, {Op::BchTagMld, DayOf()}});
  ASSERT_EQ(s_->WriteDurably(Op::BchInsert, Insert("100000", 1), "Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(count(), 3);
  EXPECT_EQ(bookings(), (std::vector<std::string>{"080000", "090000", "100000"}));
  s_->ReadAhead({{Op::BchCountTagMld, DayOf()}});
  ASSERT_EQ(s_->Write(Op::BchInsert, Insert("110000", 1)), 0);
  EXPECT_EQ(count(), 4);
  ASSERT_EQ(s_->Commit(), 0);
}

// ---- the storage and the connection ---------------------------------------------------------

TEST_P(Contract, ReadOnlySchemaAllowsConnectAndReadsButFailsWrites) {
  NEEDS(make_read_only);
  Exec(Booking("080000", 1));
  std::string why;
  if (engine().make_read_only(db_, false, why) != 0) GTEST_SKIP() << why;
  Connect();
  Row row;
  ASSERT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOf(), row), 0);
  EXPECT_EQ(row[0].num, 1);
  EXPECT_LT(s_->Write(Op::BchInsert, Insert("090000", 1)), 0);
}

TEST_P(Contract, ReadOnlyStorageDirectoryAllowsConnectAndReadsButFailsWrites) {
  NEEDS(make_read_only);
  Exec(Booking("080000", 1));
  std::string why;
  if (engine().make_read_only(db_, true, why) != 0) GTEST_SKIP() << why;
  Connect();
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOf(), row), 0);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOf(), c), 0);
  EXPECT_EQ(Drain(*c).size(), 1u);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("090000", 1)), pvc::kReadOnly);
}

TEST_P(Contract, LostConnectionGives3114) {
  NEEDS(kill_connection);
  Connect();
  std::string why;
  ASSERT_EQ(engine().kill_connection(*s_, db_, why), 0) << why;
  Row row;
  EXPECT_EQ(s_->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kLostConnection);
  EXPECT_EQ(s_->Write(Op::BchInsert, Insert("000000", 1)), pvc::kLostConnection);
  EXPECT_EQ(s_->Commit(), pvc::kLostConnection);
}

// Every statement is answered through keys and indexes: no table scan.
TEST_P(Contract, EveryStatementUsesAnIndex) {
  NEEDS(plan_problems);
  for (const auto& p : engine().plan_problems(db_)) ADD_FAILURE() << p;
}

// ---- schema creation and statement details -------------------------------------------------

TEST_P(Contract, SchemaCreationRefusesAnExistingSchemaAndBadNames) {
  Exec(Booking("080000", 1));
  std::string why;
  EXPECT_EQ(pvc::CreateSchema(db_.login(), db_.pass(), db_.net(), db_.schema(), why),
            pvc::kSchemaExists);
  EXPECT_NE(why.find("exists"), std::string::npos) << why;
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(pvc::CreateSchema(db_.login(), db_.pass(), db_.net(), "X;DROP", why),
            pvc::kBadSchemaName);
}

// The frame bounds of Bch_CountStdMld are texts of 14 digits compared with the stored point in
// time as texts; bounds that are no dates change nothing about that.
TEST_P(Contract, CountStdMldBoundsThatAreNoDatesCountAsTexts) {
  Exec(Booking("080000", 23) + Booking("235959", 29) + Booking("000000", 24, "P", "20240302") +
       Booking("000000", 45, "P", "20240302"));
  Connect();
  struct Case {
    std::string from, to;
    int64_t count;
  };
  const Case cases[] = {
      {"20240301080000", "20240302000000", 3},
      {"20240301080001", "20240302000000", 2},
      {"20240301080000", "20240301235959", 2},
      {"2024", "20240302", 2},      // shorter texts compare as texts
      {"20240301", "20249999", 3},  // no valid day in the upper bound
      {"00000000", "99999999999999", 3},
      {"", "20240302000000", 0},  // an empty bound is NULL: nothing compares
      {"20241399000000", "20250101000000", 0},
  };
  for (const Case& c : cases) {
    Row row;
    ASSERT_EQ(s_->SelectOne(Op::BchCountStdMld,
                            {Bind::Txt("P"), Bind::Txt(c.from), Bind::Txt(c.to)}, row),
              0)
        << c.from << ".." << c.to;
    EXPECT_EQ(row.at(0).num, c.count) << c.from << ".." << c.to;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Contract, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
