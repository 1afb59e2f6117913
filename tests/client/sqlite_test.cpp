// What only the SQLite backend has: tables made by another program without the schema's
// checks, whose stored values are of the wrong kind; the earlier-days walk on the writing
// connection. The contract every backend keeps is tests/contract/.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/testdb.h"

namespace {

using pvc::Bind;
using pvc::Op;
using pvt::Ts;

TEST(SqliteBackend, StoredValuesOfTheWrongKindGiveNegativeCodes) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  // A table made by another program, without the checks.
  ASSERT_EQ(db.Exec("DROP TABLE Krv327Tag; CREATE TABLE Krv327Tag (TagPnr TEXT, TagTag TEXT,"
                    " TagVon TEXT, TagUhr TEXT, TagBis TEXT, TagEnd TEXT, TagTgb TEXT,"
                    " TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER);"
                    "insert into Krv327Tag (TagPnr, TagTag, TagVon) values ('P', " +
                    Ts("20240201") +
                    ", '1.2.2024');"
                    "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('P', " +
                    Ts("20240201") +
                    ", 1);"
                    "insert into Krv131Fcd (FcdNum, FcdTyp, FcdSta) values ('K', 'abc', 0),"
                    " ('L', ' 12 ', 0);"),
            0)
      << db.last_error();
  ASSERT_EQ(db.Connect(), 0);
  pvc::Session* s = pvc::Current();
  pvc::Row row;
  EXPECT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kInvalidNumber);
  ASSERT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("L")}, row), 0);
  EXPECT_EQ(row[1].num, 12);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P"), Bind::Dat("20240301")}, c), 0);
  EXPECT_EQ(c->Fetch(row), pvc::kBadDateFormat);
}

// Fixture SQL: day records of `pnr` on `days`, each with its TgbZtr 1 row.
std::string Days(const std::string& pnr, const std::vector<std::string>& days) {
  std::string sql;
  for (const auto& d : days)
    sql += "insert into Krv327Tag (TagPnr, TagTag) values ('" + pnr + "', " + Ts(d) +
           "); insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values ('" + pnr + "', " + Ts(d) +
           ", 1);";
  return sql;
}

// The days (column 1) a cursor has left.
std::vector<std::string> DaysLeft(pvc::Cursor& c) {
  std::vector<std::string> days;
  pvc::Row row;
  int rc;
  while ((rc = c.Fetch(row)) == 0) days.push_back(row[1].text);
  if (rc != pvc::kNoData) days.push_back("RC:" + std::to_string(rc));
  return days;
}

std::vector<Bind> Booking(const std::string& hhmmss) {
  return {Bind::Txt("P"), Bind::Dat("20240301"), Bind::DatTime("20240301" + hhmmss), Bind::Int(2),
          Bind::Txt("K")};
}

// The walk reads on the connection the job writes on. Writes during the walk, the job's own and
// another program's, change none of the rows it delivers; the accounting day itself is never
// among them, and the next walk sees everything committed.
TEST(SqliteBackend, EarlierDaysWalkKeepsTheRowsOfItsOpenAcrossWrites) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Exec(Days("P", {"20240226", "20240227", "20240228", "20240229", "20240301"})), 0);
  ASSERT_EQ(db.Connect(), 0);
  pvc::Session* s = pvc::Current();
  const std::vector<Bind> walk = {Bind::Txt("P"), Bind::Dat("20240301")};
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::TagPrev, walk, c), 0);
  pvc::Row row;
  ASSERT_EQ(c->Fetch(row), 0);
  EXPECT_EQ(row[1].text, "20240229");
  ASSERT_EQ(db.Exec(Days("P", {"20240210"})), 0);  // another program
  ASSERT_EQ(s->Tools()->ExecScript(Days("P", {"20240215"})), 0);
  ASSERT_EQ(s->Write(Op::TagUpdate, {Bind::Txt("K"), Bind::Int(1), Bind::Txt(""), Bind::Int(0),
                                     Bind::Txt(""), Bind::Int(0), Bind::Txt("P"),
                                     Bind::Dat("20240301")}),
            0);
  ASSERT_EQ(s->Write(Op::BchInsert, Booking("080000")), 0);
  ASSERT_EQ(s->Commit(), 0);
  EXPECT_EQ(DaysLeft(*c), (std::vector<std::string>{"20240228", "20240227", "20240226"}));
  ASSERT_EQ(s->Open(Op::TagPrev, walk, c), 0);
  EXPECT_EQ(DaysLeft(*c), (std::vector<std::string>{"20240229", "20240228", "20240227", "20240226",
                                                    "20240215", "20240210"}));
}

// A walk closed after its first day leaves its read transaction to the reads that follow; a
// write must not be held to that older snapshot: it and what is read after it see another
// program's commits.
TEST(SqliteBackend, WriteAfterAClosedWalkSeesOtherProgramsCommits) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Exec(Days("P", {"20240228", "20240229"})), 0);
  ASSERT_EQ(db.Connect(), 0);
  pvc::Session* s = pvc::Current();
  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P"), Bind::Dat("20240301")}, c), 0);
    pvc::Row row;
    ASSERT_EQ(c->Fetch(row), 0);
    c.reset();
    const std::string at = "0" + std::to_string(round) + "0000";
    ASSERT_EQ(db.Exec("insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values"
                      " ('P', " + Ts("20240301") + ", " + Ts("20240301", at) + ", 1, 'K')"),
              0);
    ASSERT_EQ(s->Write(Op::BchInsert, Booking("1" + at.substr(1))), 0) << s->LastError().message;
    ASSERT_EQ(s->Commit(), 0);
    ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P"), Bind::Dat("20240301")}, c), 0);
    EXPECT_EQ(DaysLeft(*c).size(), static_cast<size_t>(2 * round + 2));
  }
}

// A walk that outlives its session, or a second walk opened while the first is open, still
// delivers its own rows.
TEST(SqliteBackend, EarlierDaysWalksOutliveTheirSessionAndNest) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(db.Exec(Days("P", {"20240227", "20240228", "20240229"}) + Days("Q", {"20240228"})),
            0);
  std::unique_ptr<pvc::Session> other;
  ASSERT_EQ(db.OpenOther(other), 0);
  std::unique_ptr<pvc::Cursor> p, q;
  ASSERT_EQ(other->Open(Op::TagPrev, {Bind::Txt("P"), Bind::Dat("20240301")}, p), 0);
  ASSERT_EQ(other->Open(Op::TagPrev, {Bind::Txt("Q"), Bind::Dat("20240301")}, q), 0);
  pvc::Row row;
  ASSERT_EQ(p->Fetch(row), 0);
  other.reset();
  EXPECT_EQ(DaysLeft(*q), std::vector<std::string>{"20240228"});
  EXPECT_EQ(DaysLeft(*p), (std::vector<std::string>{"20240228", "20240227"}));
}

}  // namespace
