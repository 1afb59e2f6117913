// The SQLite backend behind the Session interface: read-consistent cursors across commits,
// single-row selects, error codes, locks against other programs, durability settings, and
// index use of every statement.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "client/backends.h"
#include "client/client.h"
#include "client/codes.h"
#include "client/sqlite_internal.h"
#include "tests/support/testdb.h"
#include "tests/support/wait_knobs.h"

namespace {

using pvc::Bind;
using pvc::Op;
using pvt::Ts;

class SqliteSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_EQ(db_.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  }
  void Connect() {
    ASSERT_EQ(db_.Connect(), 0);
    s_ = pvc::Current();
  }
  // A booking of person P on 1 March 2024 at hh:mm:ss with function `fkt`.
  std::string Booking(const std::string& hhmmss, int fkt, const std::string& pnr = "P") {
    return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values (" +
           pvt::Q(pnr) + ", " + Ts("20240301") + ", " + Ts("20240301", hhmmss) + ", " +
           std::to_string(fkt) + ", 'K');";
  }
  std::vector<Bind> DayOfP() { return {Bind::Txt("P"), Bind::Dat("20240301")}; }
  std::vector<Bind> InsertP(const std::string& hhmmss, int fkt) {
    return {Bind::Txt("P"), Bind::Dat("20240301"), Bind::DatTime("20240301" + hhmmss),
            Bind::Int(fkt), Bind::Txt("K")};
  }
  // Every remaining row's BchUhr of a booking cursor.
  static std::vector<std::string> Drain(pvc::Cursor& c) {
    std::vector<std::string> got;
    pvc::Row row;
    int rc;
    while ((rc = c.Fetch(row)) == 0) got.push_back(row[2].text);
    EXPECT_EQ(rc, pvc::kNoData);
    return got;
  }

  pvt::TempSchema db_;
  pvc::Session* s_ = nullptr;
};

TEST_F(SqliteSessionTest, CursorKeepsItsSnapshotAndPositionAcrossCommits) {
  ASSERT_EQ(db_.Exec(Booking("080000", 1) + Booking("090000", 2)), 0) << db_.last_error();
  Connect();
  std::unique_ptr<pvc::Cursor> first;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), first), 0);
  pvc::Row row;
  ASSERT_EQ(first->Fetch(row), 0);
  const std::string first_uhr = row[2].text;

  // The job writes and commits while the cursor is open; so does another program.
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("100000", 3)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(db_.Exec(Booking("110000", 1)), 0);
  ASSERT_EQ(s_->Write(Op::BchUpdFkt, {Bind::Int(45), Bind::Txt("P"), Bind::Dat("20240301"),
                                      Bind::Txt(first_uhr == "080000" ? "090000" : "080000"),
                                      Bind::Int(first_uhr == "080000" ? 2 : 1)}),
            0);
  ASSERT_EQ(s_->Commit(), 0);

  // The open cursor walks on over the rows of its open, unchanged.
  auto rest = Drain(*first);
  rest.insert(rest.begin(), first_uhr);
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"080000", "090000"}));

  // A cursor opened now sees everything committed before.
  std::unique_ptr<pvc::Cursor> later;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), later), 0);
  auto all = Drain(*later);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{"080000", "100000", "110000"}));  // one went to 45
}

TEST_F(SqliteSessionTest, ThreeCursorsOpenAtOnceEachWithItsOwnSnapshot) {
  ASSERT_EQ(db_.Exec(Booking("080000", 1)), 0);
  Connect();
  std::unique_ptr<pvc::Cursor> c1, c2, c3;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c1), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("090000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c2), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("100000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c3), 0);
  EXPECT_EQ(Drain(*c3).size(), 3u);
  EXPECT_EQ(Drain(*c2).size(), 2u);
  EXPECT_EQ(Drain(*c1).size(), 1u);
  // Closed cursors' connections are reused: repeated opens see each new commit.
  for (int i = 0; i < 50; ++i) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c), 0);
    EXPECT_EQ(Drain(*c).size(), static_cast<size_t>(3 + i));
    const std::string uhr = "11" + std::to_string(10 + i) + "00";
    ASSERT_EQ(s_->Write(Op::BchInsert, InsertP(uhr, 2)), 0);
    ASSERT_EQ(s_->Commit(), 0);
  }
}

TEST_F(SqliteSessionTest, FetchAfterTheEndKeepsReturning1403AndLeavesTheRow) {
  ASSERT_EQ(db_.Exec(Booking("080000", 1)), 0);
  Connect();
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c), 0);
  pvc::Row row;
  ASSERT_EQ(c->Fetch(row), 0);
  const pvc::Row before = row;
  EXPECT_EQ(c->Fetch(row), pvc::kNoData);
  EXPECT_EQ(c->Fetch(row), pvc::kNoData);
  ASSERT_EQ(row.size(), before.size());
  EXPECT_EQ(row[2].text, before[2].text);
}

TEST_F(SqliteSessionTest, SingleRowSelectFindingTwoRowsFailsWith1422) {
  ASSERT_EQ(db_.Exec("insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values ('P', " +
                     Ts("20240301") + ", 'A1', 0);"
                     "insert into Krv140Azv (AzvNum, AzvSol, AzvGvo, AzvGbi, AzvSta) values"
                     " ('A1', 1, " + Ts("20240101") + ", NULL, 0), ('A1', 2, " +
                     Ts("20230101") + ", NULL, 0);"),
            0)
      << db_.last_error();
  Connect();
  pvc::Row row{pvc::Cell{}};
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOfP(), row), pvc::kTooManyRows);
  EXPECT_EQ(row.size(), 1u);  // untouched
}

TEST_F(SqliteSessionTest, MissingTableFailsOnlyItsStatementsWhenTheyRun) {
  ASSERT_EQ(db_.Exec("DROP TABLE Krv140Azv"), 0);
  Connect();  // the connect does not look at tables
  pvc::Row row;
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOfP(), row), pvc::kNoTable);
  EXPECT_NE(s_->LastError().message.find("Krv140Azv"), std::string::npos)
      << s_->LastError().message;
  EXPECT_EQ(s_->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kNoData);
  // Once the table exists, the statement runs.
  ASSERT_EQ(db_.Exec("CREATE TABLE Krv140Azv (AzvNum TEXT, AzvSol INTEGER, AzvSo2 INTEGER,"
                     " AzvVhs INTEGER, AzvHso INTEGER, AzvHs2 INTEGER, AzvHtv INTEGER,"
                     " AzvGvo TEXT, AzvGbi TEXT, AzvSta INTEGER)"),
            0);
  EXPECT_EQ(s_->SelectOne(Op::AzvRead, DayOfP(), row), pvc::kNoData);
}

TEST_F(SqliteSessionTest, StoredValuesOfTheWrongKindGiveNegativeCodes) {
  // A table made by another program, without the checks.
  ASSERT_EQ(db_.Exec("DROP TABLE Krv327Tag; CREATE TABLE Krv327Tag (TagPnr TEXT, TagTag TEXT,"
                     " TagVon TEXT, TagUhr TEXT, TagBis TEXT, TagEnd TEXT, TagTgb TEXT,"
                     " TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER);"
                     "insert into Krv327Tag (TagPnr, TagTag, TagVon) values ('P', " +
                     Ts("20240201") + ", '1.2.2024');"
                     "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " +
                     Ts("20240201") + ", 1);"
                     "insert into Krv131Fcd (FcdNum, FcdTyp, FcdSta) values ('K', 'abc', 0),"
                     " ('L', ' 12 ', 0);"),
            0)
      << db_.last_error();
  Connect();
  pvc::Row row;
  EXPECT_EQ(s_->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kInvalidNumber);
  ASSERT_EQ(s_->SelectOne(Op::FcdRead, {Bind::Txt("L")}, row), 0);
  EXPECT_EQ(row[1].num, 12);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::TagPrev, DayOfP(), c), 0);
  EXPECT_EQ(c->Fetch(row), pvc::kBadDateFormat);
}

TEST_F(SqliteSessionTest, WriteCodes) {
  Connect();
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), pvc::kUniqueViolated);
  EXPECT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, {Bind::Txt(""), Bind::Dat("20240301"),
                                      Bind::DatTime("20240301080000"), Bind::Int(1),
                                      Bind::Txt("K")}),
            pvc::kNotNull);
  EXPECT_EQ(s_->Write(Op::BchInsert, {Bind::Txt("P"), Bind::Dat("20240399"),
                                      Bind::DatTime("20240301080000"), Bind::Int(1),
                                      Bind::Txt("K")}),
            pvc::kBadDay);
  EXPECT_EQ(s_->Write(Op::BchDelFkt, {Bind::Txt("P"), Bind::Dat("20240301"),
                                      Bind::Txt("080000"), Bind::Int(45)}),
            pvc::kNoData);
  EXPECT_EQ(s_->Write(Op::TagUpdate, {Bind::Txt("K"), Bind::Int(1), Bind::Txt(""), Bind::Int(0),
                                      Bind::Txt(""), Bind::Int(0), Bind::Txt("P"),
                                      Bind::Dat("20240301")}),
            pvc::kNoData);
  EXPECT_EQ(db_.Lines("select BchPnr, BchVon, BchUhr, BchFkt from Krv321Bch"),
            (std::vector<std::string>{"P|2024-03-01 00:00:00|2024-03-01 08:00:00|1"}));
}

TEST_F(SqliteSessionTest, AWriteWaitsForAnotherProgramsLockThenFailsWith54) {
  const int saved = pvc::SqliteBusyWaitMs();
  pvc::SqliteSetBusyWaitMs(300);
  Connect();
  pvc::SqliteSetBusyWaitMs(saved);
  std::unique_ptr<pvc::Session> other;
  ASSERT_EQ(db_.OpenOther(other), 0);
  // The other program writes and keeps its transaction open.
  ASSERT_EQ(other->Write(Op::BchInsert, InsertP("070000", 1)), 0);

  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), pvc::kLocked);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  s_->RollbackTo("Bch_PKey_Ins_Sp");
  // Reading is not blocked by the other program's lock.
  pvc::Row row;
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOfP(), row), 0);
  EXPECT_EQ(row[0].num, 0);

  ASSERT_EQ(other->Commit(), 0);
  EXPECT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), 0);
  EXPECT_EQ(s_->Commit(), 0);
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch"), "2");
}

TEST_F(SqliteSessionTest, AFailedWriteLeavesNoLockBehind) {
  Connect();
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  struct Failing {
    const char* savepoint;
    Op op;
    std::vector<Bind> in;
    int code;
  } cases[] = {
      {"Bch_PKey_Ins_Sp", Op::BchInsert, InsertP("080000", 1), pvc::kUniqueViolated},
      {"Bch_DelFkt_Sp", Op::BchDelFkt,
       {Bind::Txt("P"), Bind::Dat("20240301"), Bind::Txt("080000"), Bind::Int(45)},
       pvc::kNoData},
      {"Tag_PKey_Upd_Sp", Op::TagUpdate,
       {Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0), Bind::Txt(""), Bind::Int(0),
        Bind::Txt("P"), Bind::Dat("20240301")},
       pvc::kNoData},
  };
  const int saved = pvc::SqliteBusyWaitMs();
  pvc::SqliteSetBusyWaitMs(1000);
  std::unique_ptr<pvc::Session> other;
  ASSERT_EQ(db_.OpenOther(other), 0);
  pvc::SqliteSetBusyWaitMs(saved);
  int n = 0;
  for (const auto& c : cases) {
    ASSERT_EQ(s_->Savepoint(c.savepoint), 0);
    EXPECT_EQ(s_->Write(c.op, c.in), c.code) << c.savepoint;
    EXPECT_EQ(s_->RollbackTo(c.savepoint), 0);
    // Another program can write at once: the job holds no lock any more.
    const auto t0 = std::chrono::steady_clock::now();
    const std::string uhr = "09" + std::to_string(10 + n++) + "00";
    EXPECT_EQ(other->Write(Op::BchInsert, InsertP(uhr, 2)), 0) << c.savepoint;
    EXPECT_EQ(other->Commit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << c.savepoint;
  }
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch"), "4");
}

TEST_F(SqliteSessionTest, RollbackToASavepointKeepsEarlierUncommittedWork) {
  Connect();
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), 0);  // not yet committed
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("090000", 1)), 0);
  ASSERT_EQ(s_->RollbackTo("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(db_.Value("select count(*) from Krv321Bch"), "0");  // nothing committed yet
  ASSERT_EQ(s_->Commit(), 0);
  EXPECT_EQ(db_.Lines("select BchUhr from Krv321Bch"),
            (std::vector<std::string>{"2024-03-01 08:00:00"}));
}

TEST_F(SqliteSessionTest, CommitsAreDurableAndCounted) {
  Connect();
  std::vector<pvc::Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s_).Query("PRAGMA journal_mode", rows), 0);
  EXPECT_EQ(rows.at(0).at(0).text, "wal");
  ASSERT_EQ(pvc::ToolsOf(*s_).Query("PRAGMA synchronous", rows), 0);
  EXPECT_EQ(rows.at(0).at(0).num, 2);  // FULL
  const auto before = pvc::GetCounters();
  ASSERT_EQ(s_->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s_->Write(Op::BchInsert, InsertP("080000", 1)), 0);
  ASSERT_EQ(s_->Commit(), 0);
  EXPECT_EQ(pvc::GetCounters().statements - before.statements, 3u);
  EXPECT_EQ(pvc::GetCounters().commits - before.commits, 1u);
}

TEST_F(SqliteSessionTest, ReadOnlyFileAllowsConnectAndReadsButFailsWrites) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the super-user";
  ASSERT_EQ(db_.Exec(Booking("080000", 1)), 0);
  ASSERT_EQ(::chmod((db_.dir() + "/TESTS.db").c_str(), 0444), 0);
  Connect();
  pvc::Row row;
  ASSERT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOfP(), row), 0);
  EXPECT_EQ(row[0].num, 1);
  const int rc = s_->Write(Op::BchInsert, InsertP("090000", 1));
  EXPECT_LT(rc, 0);
}

TEST_F(SqliteSessionTest, ReadOnlyDirectoryAllowsConnectAndReadsButFailsWrites) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the super-user";
  ASSERT_EQ(db_.Exec(Booking("080000", 1)), 0);
  db_.CloseSide();  // the last connection gone, no -wal or -shm is left
  ASSERT_EQ(::chmod(db_.dir().c_str(), 0555), 0);
  Connect();
  pvc::Row row;
  EXPECT_EQ(s_->SelectOne(Op::BchCountTagMld, DayOfP(), row), 0);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s_->Open(Op::BchTagMld, DayOfP(), c), 0);
  EXPECT_EQ(Drain(*c).size(), 1u);
  EXPECT_EQ(s_->Write(Op::BchInsert, InsertP("090000", 1)), pvc::kReadOnly);
  ::chmod(db_.dir().c_str(), 0755);
}

// Every statement is answered through keys and indexes: no table scan.
TEST(SqliteCatalogue, EveryStatementUsesAnIndex) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2((db.dir() + "/TESTS.db").c_str(), &raw, SQLITE_OPEN_READONLY,
                            nullptr),
            SQLITE_OK);
  pvc::sqlite::DbHandle conn(raw);
  for (int i = 0; i < static_cast<int>(Op::kCount); ++i) {
    const std::string text = pvc::sqlite::Statement(static_cast<Op>(i));
    if (text.rfind("insert", 0) == 0) continue;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, ("EXPLAIN QUERY PLAN " + text).c_str(),
                                 -1, &st, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(raw);
    pvc::sqlite::StmtHandle holder(st);
    std::string plan;
    while (sqlite3_step(st) == SQLITE_ROW)
      plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 3))) + "; ";
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << "statement " << i << ": " << plan;
    EXPECT_NE(plan.find("SEARCH"), std::string::npos) << "statement " << i << ": " << plan;
    // The yesterday and earlier-days cursors stream their rows: no sort collects them first.
    if (i == static_cast<int>(Op::TagYday) || i == static_cast<int>(Op::TagPrev)) {
      EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << "statement " << i << ": " << plan;
    }
  }
}

}  // namespace
