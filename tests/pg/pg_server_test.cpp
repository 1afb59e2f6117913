// The PostgreSQL backend on a real server: logon codes, the schema switch, statements that fail
// on their own, cursors across commits, schema creation, and index use.
// Needs PARVEK_TEST_PG (a URI without credentials), PARVEK_TEST_PG_LOGIN and PARVEK_TEST_PG_PASS;
// scripts/test.sh starts a server and sets them. Without them every test here is skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/backends.h"
#include "client/client.h"
#include "client/codes.h"
#include "client/pg_conn.h"
#include "client/pg_errors.h"
#include "client/pg_statements.h"
#include "tests/support/wait_knobs.h"

namespace {

using pvc::Bind;
using pvc::Op;
using pvc::Row;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

struct Server {
  std::string net, login, pass;
};

// The server of PARVEK_TEST_PG, or an empty net.
Server TestServer() {
  return {Env("PARVEK_TEST_PG"), Env("PARVEK_TEST_PG_LOGIN"), Env("PARVEK_TEST_PG_PASS")};
}

#define SKIP_WITHOUT_SERVER()                                                         \
  do {                                                                                \
    if (TestServer().net.empty())                                                     \
      GTEST_SKIP() << "no PostgreSQL server to test on: PARVEK_TEST_PG is not set "   \
                      "(scripts/test.sh starts one)";                                 \
  } while (0)

// The server's host and port part with another port, e.g. for an unreachable server.
std::string WithPort(const std::string& net, const std::string& port) {
  const size_t host = net.find("://") + 3;
  const size_t colon = net.find(':', host);
  const size_t slash = net.find('/', host);
  return net.substr(0, colon) + ":" + port + net.substr(slash);
}

std::string UniqueName(const char* prefix) {
  static int counter = 0;
  return std::string(prefix) + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

// Rows of a query as "a|b|c" lines, NULL as "<null>".
std::vector<std::string> Lines(pvc::Session& s, const std::string& sql) {
  std::vector<Row> rows;
  const int rc = pvc::ToolsOf(s).Query(sql, rows);
  if (rc != pvc::kOk) return {"RC:" + std::to_string(rc) + " " + s.LastError().message};
  std::vector<std::string> out;
  for (const Row& r : rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) {
      if (i > 0) line += "|";
      line += r[i].null ? "<null>" : r[i].text;
    }
    out.push_back(line);
  }
  return out;
}

std::string Value(pvc::Session& s, const std::string& sql) {
  const auto lines = Lines(s, sql);
  return lines.empty() ? "<none>" : lines[0];
}

std::vector<std::string> FetchAll(pvc::Cursor& c, size_t col = 0) {
  std::vector<std::string> out;
  Row row;
  int rc;
  while ((rc = c.Fetch(row)) == pvc::kOk) out.push_back(row[col].text);
  if (rc != pvc::kNoData) out.push_back("RC:" + std::to_string(rc));
  return out;
}

// A fresh schema with the job's tables; `s` is logged on and switched to it; `other` is a
// second session on the same schema (another program beside the job).
class PgServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SERVER();
    server_ = TestServer();
    schema_ = UniqueName("PVKT_");
    std::string why;
    ASSERT_EQ(pvc::PgCreateSchema(server_.login, server_.pass, server_.net, schema_, why), 0)
        << why;
    created_ = true;
    s = Connect();
    ASSERT_TRUE(s);
    other = Connect();
    ASSERT_TRUE(other);
  }

  void TearDown() override {
    s.reset();
    other.reset();
    if (!created_) return;
    std::unique_ptr<pvc::Session> admin;
    if (pvc::PgLogon(server_.login, server_.pass, server_.net, admin) == 0)
      pvc::ToolsOf(*admin).ExecScript("DROP SCHEMA " + schema_ + " CASCADE");
  }

  std::unique_ptr<pvc::Session> Connect() {
    std::unique_ptr<pvc::Session> out;
    if (pvc::PgLogon(server_.login, server_.pass, server_.net, out) != 0) return nullptr;
    if (out->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema_) != 0) return nullptr;
    return out;
  }

  // A booking of person `pnr` on day `day` (yyyymmdd) at `hhmmss` with function `fkt`.
  std::string Booking(const std::string& pnr, const std::string& day, const std::string& hhmmss,
                      int fkt) {
    const std::string d = day.substr(0, 4) + "-" + day.substr(4, 2) + "-" + day.substr(6, 2);
    const std::string t = hhmmss.substr(0, 2) + ":" + hhmmss.substr(2, 2) + ":" + hhmmss.substr(4, 2);
    return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values ('" + pnr +
           "', '" + d + " 00:00:00', '" + d + " " + t + "', " + std::to_string(fkt) + ", 'K');";
  }

  static std::vector<Bind> InsertBinds(const std::string& pnr, const std::string& day,
                                       const std::string& hhmmss, int fkt) {
    return {Bind::Txt(pnr), Bind::Dat(day), Bind::DatTime(day + hhmmss), Bind::Int(fkt),
            Bind::Txt("K")};
  }

  std::string BookingCount(const std::string& pnr) {
    return Value(*other, "select count(*) from Krv321Bch where BchPnr = '" + pnr + "'");
  }

  Server server_;
  std::string schema_;
  bool created_ = false;
  std::unique_ptr<pvc::Session> s, other;
};

// ---- logon ----

TEST(PgLogon, CodesForRefusedUnreachableAndMalformedTargets) {
  SKIP_WITHOUT_SERVER();
  const Server srv = TestServer();
  struct Case {
    std::string what, user, password, net;
    int code;
  };
  const std::string db_part = srv.net.substr(srv.net.rfind('/'));
  const std::string no_db = srv.net.substr(0, srv.net.rfind('/')) + "/parvek_no_such_db";
  const std::string with_user = "postgresql://" + srv.login + "@" + srv.net.substr(13);
  const Case cases[] = {
      {"wrong password", srv.login, srv.pass + "x", srv.net, pvc::kBadLogin},
      {"unknown user", "parvek_nobody", srv.pass, srv.net, pvc::kBadLogin},
      {"nobody listens", srv.login, srv.pass, WithPort(srv.net, "1"), pvc::kNoListener},
      {"unknown database", srv.login, srv.pass, no_db, pvc::kUnknownService},
      {"unknown URI parameter", srv.login, srv.pass, srv.net + "?nosuchoption=1",
       pvc::kBadNetName},
      {"port no number", srv.login, srv.pass, WithPort(srv.net, "54x"), pvc::kBadNetName},
      {"port out of range", srv.login, srv.pass, WithPort(srv.net, "70000"), pvc::kBadNetName},
      {"user name inside the URI", srv.login, srv.pass, with_user, pvc::kBadNetName},
      {"password inside the URI", srv.login, srv.pass,
       "postgresql://" + srv.login + ":" + srv.pass + "@" + srv.net.substr(13), pvc::kBadNetName},
      {"not a PostgreSQL URI", srv.login, srv.pass, "sqlite:/tmp", pvc::kBadNetName},
  };
  for (const Case& c : cases) {
    std::unique_ptr<pvc::Session> out;
    EXPECT_EQ(pvc::PgLogon(c.user, c.password, c.net, out), c.code) << c.what;
    EXPECT_FALSE(out) << c.what;
  }
  std::unique_ptr<pvc::Session> ok;
  EXPECT_EQ(pvc::PgLogon(srv.login, srv.pass, srv.net, ok), 0);
  EXPECT_TRUE(ok);
  (void)db_part;
}

TEST(PgLogon, BothSchemesAreServedThroughTheRegistry) {
  SKIP_WITHOUT_SERVER();
  const Server srv = TestServer();
  const std::string rest = srv.net.substr(srv.net.find("://"));
  for (const std::string scheme : {"postgresql", "postgres"}) {
    std::unique_ptr<pvc::Session> out;
    EXPECT_EQ(pvc::OpenSession(srv.login, srv.pass, scheme + rest, out), 0) << scheme;
  }
}

// ---- schema switch ----

TEST_F(PgServerTest, SchemaNameResolvesAsAnUnquotedIdentifier) {
  std::string lower = schema_;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Value(*s, "select current_schema()"), lower);
  EXPECT_EQ(s->ExecDynamic("alter session set current_schema=" + lower), 0);
  struct Case {
    std::string name;
    int code;
  };
  const Case cases[] = {
      {"PVK_NO_SUCH_SCHEMA", pvc::kNoSchema},
      {"", pvc::kBadSchemaName},
      {"1ABC", pvc::kBadSchemaName},
      {"A B", pvc::kBadSchemaName},
      {schema_ + ";DROP SCHEMA " + schema_, pvc::kBadSchemaName},
      {"\"" + schema_ + "\"", pvc::kBadSchemaName},
      {std::string(129, 'A'), pvc::kBadSchemaName},
  };
  for (const Case& c : cases)
    EXPECT_EQ(s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + c.name), c.code) << c.name;
  // A failed switch leaves the session where it was.
  EXPECT_EQ(Value(*s, "select current_schema()"), lower);
  EXPECT_EQ(s->ExecDynamic("ALTER SESSION SET SCHEMA=" + schema_), pvc::kInvalidSql);
}

TEST_F(PgServerTest, CursorsFollowTheSchemaSwitch) {
  const std::string second = UniqueName("PVKT_B_");
  std::string why;
  ASSERT_EQ(pvc::PgCreateSchema(server_.login, server_.pass, server_.net, second, why), 0) << why;
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript("insert into Krv327Tag (TagPnr, TagTag) values"
                          " ('P1', '2024-02-29 00:00:00');"
                          "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values"
                          " ('P1', '2024-02-29 00:00:00', 1);"),
            0);
  const std::vector<Bind> in{Bind::Txt("P1"), Bind::Dat("20240301")};
  {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s->Open(Op::TagPrev, in, c), 0);
    EXPECT_EQ(FetchAll(*c).size(), 1u);
  }  // the cursor's connection goes back to the pool
  ASSERT_EQ(s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + second), 0);
  for (Op op : {Op::TagPrev, Op::BchTagMld}) {
    std::unique_ptr<pvc::Cursor> c;
    ASSERT_EQ(s->Open(op, in, c), 0);
    EXPECT_TRUE(FetchAll(*c).empty());
  }
  pvc::ToolsOf(*s).ExecScript("DROP SCHEMA " + second + " CASCADE");
}

// ---- statements that fail on their own ----

TEST_F(PgServerTest, FailedInsertUndoesOnlyItselfAndTheNextStatementsWork) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "000000", 1)), 0);
  // The job's write pattern, without the rollback to the savepoint after the failure.
  ASSERT_EQ(s->Savepoint("Bch_PKey_Ins_Sp"), 0);
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)),
            pvc::kUniqueViolated);
  Row row;
  EXPECT_EQ(s->SelectOne(Op::BchCountTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, row), 0);
  EXPECT_EQ(row.at(0).num, 1);
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P2", "20240301", "000000", 1)), 0);
  EXPECT_EQ(s->Commit(), 0);
  EXPECT_EQ(BookingCount("P1"), "1");
  EXPECT_EQ(BookingCount("P2"), "1");
}

TEST_F(PgServerTest, FailureAfterAnUncommittedWriteKeepsThatWrite) {
  // Two writes in one transaction, no savepoint between them: the second fails alone.
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)), 0);
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)),
            pvc::kUniqueViolated);
  EXPECT_EQ(BookingCount("P1"), "0");  // nothing committed yet
  // A failing read in the same transaction (its table is gone) fails alone as well.
  ASSERT_EQ(pvc::ToolsOf(*other).ExecScript("DROP TABLE Krv140Azv"), 0);
  Row row;
  EXPECT_EQ(s->SelectOne(Op::AzvRead, {Bind::Txt("P1"), Bind::Dat("20240301")}, row),
            pvc::kNoTable);
  EXPECT_EQ(s->Commit(), 0);
  EXPECT_EQ(BookingCount("P1"), "1");
}

TEST_F(PgServerTest, JobsWritePatternCommitsSuccessesAndRollsBackFailures) {
  ASSERT_EQ(s->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 2)), 0);
  ASSERT_EQ(s->Commit(), 0);
  // An update that matches nothing: 1403, rolled back, not committed.
  ASSERT_EQ(s->Savepoint("Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(s->Write(Op::BchUpdFkt, {Bind::Int(45), Bind::Txt("P1"), Bind::Dat("20240301"),
                                     Bind::Txt("000000"), Bind::Int(3)}),
            pvc::kNoData);
  EXPECT_EQ(s->RollbackTo("Bch_UpdFkt_Sp"), 0);
  // The savepoint is set again and a new write committed; the earlier one stays.
  ASSERT_EQ(s->Savepoint("Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(s->Write(Op::BchUpdFkt, {Bind::Int(45), Bind::Txt("P1"), Bind::Dat("20240301"),
                                     Bind::Txt("000000"), Bind::Int(2)}),
            0);
  ASSERT_EQ(s->Commit(), 0);
  EXPECT_EQ(Lines(*other, "select BchFkt, BchErf from Krv321Bch"),
            (std::vector<std::string>{"45|Korvant"}));
  // BchDat is the server's date and time, to the second.
  EXPECT_EQ(Value(*other,
                  "select abs(extract(epoch from BchDat - localtimestamp(0))) < 120"
                  " and BchDat = date_trunc('second', BchDat) from Krv321Bch"),
            "t");
  EXPECT_EQ(s->RollbackTo("Bch_UpdFkt_Sp"), pvc::kNoSavepoint);  // ended by the commit
}

TEST_F(PgServerTest, WriteNeverCommitsByItselfAndAFailedOneLeavesNothingOpen) {
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)), 0);
  EXPECT_EQ(BookingCount("P1"), "0");
  EXPECT_EQ(s->Commit(), 0);
  EXPECT_EQ(BookingCount("P1"), "1");
  // Outside a transaction a failed write ends the transaction it opened: the other session
  // can change the same row at once (no lock is left behind).
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)),
            pvc::kUniqueViolated);
  EXPECT_EQ(pvc::ToolsOf(*other).ExecScript("update Krv321Bch set BchSta = 7 where BchPnr = 'P1'"), 0);
  EXPECT_EQ(s->Commit(), 0);
}

TEST_F(PgServerTest, MalformedDatesFailBeforeReachingTheServer) {
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
  for (const Case& c : cases) {
    Row row;
    EXPECT_EQ(s->SelectOne(Op::BchCountTagMld, {Bind::Txt("P1"), c.day}, row), c.code)
        << c.day.text;
    std::unique_ptr<pvc::Cursor> cur;
    EXPECT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P1"), c.day}, cur), c.code) << c.day.text;
    EXPECT_FALSE(cur);
  }
  EXPECT_EQ(s->Write(Op::BchInsert, {Bind::Txt("P1"), Bind::Dat("20240301"),
                                     Bind::DatTime("20240301250000"), Bind::Int(1),
                                     Bind::Txt("K")}),
            pvc::kBadDateFormat);
  EXPECT_EQ(BookingCount("P1"), "0");
}

TEST_F(PgServerTest, MoreThanOneRowIsAnErrorAndDeliversNothing) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript("insert into Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) values"
                          " ('P1', '2024-03-01 00:00:00', 'A1', 0);"
                          "insert into Krv140Azv (AzvNum, AzvSol, AzvGvo, AzvSta) values"
                          " ('A1', 480, '2024-01-01 00:00:00', 0),"
                          " ('A1', 300, '2024-02-01 00:00:00', 0)"),
            0);
  Row row{pvc::Cell{}};
  EXPECT_EQ(s->SelectOne(Op::AzvRead, {Bind::Txt("P1"), Bind::Dat("20240301")}, row),
            pvc::kTooManyRows);
  EXPECT_EQ(row.size(), 1u);
}

// ---- cursors ----

TEST_F(PgServerTest, CursorKeepsItsRowsAndPositionAcrossCommits) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 1) +
                          Booking("P1", "20240301", "090000", 2) +
                          Booking("P1", "20240301", "100000", 3)),
            0);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, c), 0);
  Row row;
  ASSERT_EQ(c->Fetch(row), 0);
  std::vector<std::string> seen{row[2].text};
  // The job commits while the cursor is open: a new booking, a deleted one, a changed one.
  ASSERT_EQ(s->Savepoint("Bch_PKey_Ins_Sp"), 0);
  ASSERT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "110000", 1)), 0);
  ASSERT_EQ(s->Commit(), 0);
  ASSERT_EQ(s->Write(Op::BchDelFkt, {Bind::Txt("P1"), Bind::Dat("20240301"),
                                     Bind::Txt("100000"), Bind::Int(3)}),
            0);
  ASSERT_EQ(s->Commit(), 0);
  ASSERT_EQ(pvc::ToolsOf(*other).ExecScript("update Krv321Bch set BchFkt = 45 where BchUhr = "
                              "'2024-03-01 09:00:00'"),
            0);
  for (const auto& t : FetchAll(*c, 2)) seen.push_back(t);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"080000", "090000", "100000"}));
  EXPECT_EQ(c->Fetch(row), pvc::kNoData);  // and on every later call
  // A cursor opened now sees what was committed.
  std::unique_ptr<pvc::Cursor> later;
  ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, later), 0);
  auto now = FetchAll(*later, 2);
  std::sort(now.begin(), now.end());
  EXPECT_EQ(now, (std::vector<std::string>{"080000", "110000"}));
}

TEST_F(PgServerTest, YesterdayCursorWalksManyRowsWhileEachIsUpdated) {
  const std::string yday = Value(*s, "select to_char(current_date - 1, 'YYYY-MM-DD')");
  const int n = 700;  // more than several fetch batches
  std::string sql =
      "insert into Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgs)"
      " select 'P' || i, '" + yday + "', '" + yday + " 00:00:00', '" + yday + " 12:00:00', '" +
      yday + " 00:00:00', '" + yday + " 12:00:00', 0 from generate_series(1, " +
      std::to_string(n) + ") i;"
      "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol)"
      " select 'P' || i, '" + yday + "', 1, 480 from generate_series(1, " + std::to_string(n) +
      ") i;";
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(sql), 0);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::TagYday, {}, c), 0);
  Row row;
  int rc, count = 0;
  const std::string day = yday.substr(0, 4) + yday.substr(5, 2) + yday.substr(8, 2);
  while ((rc = c->Fetch(row)) == 0) {
    ++count;
    ASSERT_EQ(row.size(), 13u);
    ASSERT_EQ(row[1].text, day);
    ASSERT_EQ(row[6].num, 480);
    // The update makes the row no placeholder any more; the cursor goes on regardless.
    ASSERT_EQ(s->Savepoint("Tag_PKey_Upd_Sp"), 0);
    ASSERT_EQ(s->Write(Op::TagUpdate, {Bind::Txt("K"), Bind::Int(1), Bind::Txt(""), Bind::Int(0),
                                       Bind::Txt(""), Bind::Int(0), Bind::Txt(row[0].text),
                                       Bind::Dat(day)}),
              0);
    ASSERT_EQ(s->Commit(), 0);
  }
  EXPECT_EQ(rc, pvc::kNoData);
  EXPECT_EQ(count, n);
  EXPECT_EQ(Value(*other, "select count(*) from Krv327Tag where TagTgb = 'K' and TagHtv is null"),
            std::to_string(n));
}

TEST_F(PgServerTest, ThreeNestedCursorsAndTheirConnectionIsReused) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 1) +
                          Booking("P1", "20240302", "080000", 1) +
                          "insert into Krv327Tag (TagPnr, TagTag) values"
                          " ('P1', '2024-02-28 00:00:00'), ('P1', '2024-02-29 00:00:00');"
                          "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values"
                          " ('P1', '2024-02-28 00:00:00', 1), ('P1', '2024-02-29 00:00:00', 1);"),
            0);
  // A session of its own, named so that only its connections are counted.
  const std::string app = UniqueName("pvk_pool_");
  std::unique_ptr<pvc::Session> job;
  ASSERT_EQ(pvc::PgLogon(server_.login, server_.pass, server_.net + "?application_name=" + app,
                         job),
            0);
  ASSERT_EQ(job->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema_), 0);
  const std::string pool_sql =
      "select count(*) from pg_stat_activity where application_name = '" + app + "'";
  EXPECT_EQ(Value(*other, pool_sql), "1");
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<pvc::Cursor> prev, vortag, abrtag;
    ASSERT_EQ(job->Open(Op::TagPrev, {Bind::Txt("P1"), Bind::Dat("20240301")}, prev), 0);
    ASSERT_EQ(job->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, vortag), 0);
    ASSERT_EQ(job->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240302")}, abrtag), 0);
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
  // Besides the main connection, one cursor connection served all twenty rounds (the booking
  // cursors read on the main connection) and is kept open for the next cursors.
  EXPECT_EQ(Value(*other, pool_sql), "2");
}

TEST_F(PgServerTest, FailedOpenReturnsItsCodeAndTheCursorConnectionStaysUsable) {
  ASSERT_EQ(pvc::ToolsOf(*other).ExecScript("DROP TABLE Krv320Tgb"), 0);
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<pvc::Cursor> c;
    EXPECT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P1"), Bind::Dat("20240301")}, c), pvc::kNoTable);
    EXPECT_FALSE(c);
    EXPECT_EQ(s->LastError().sqlstate, "42P01");
    ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, c), 0);
    EXPECT_TRUE(FetchAll(*c).empty());
  }
}

TEST_F(PgServerTest, CursorOutlivingItsSessionStillEnds) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 1)), 0);
  std::unique_ptr<pvc::Cursor> c;
  ASSERT_EQ(s->Open(Op::BchTagMld, {Bind::Txt("P1"), Bind::Dat("20240301")}, c), 0);
  s.reset();
  EXPECT_EQ(FetchAll(*c).size(), 1u);
}

// ---- locks held by another program ----

TEST_F(PgServerTest, LockHeldTooLongGives54AndTheSessionGoesOn) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 2)), 0);
  pvc::PgSetLockWaitMs(300);
  std::unique_ptr<pvc::Session> job = Connect();
  pvc::PgSetLockWaitMs(30000);
  ASSERT_TRUE(job);
  // The other program changes the booking and keeps its transaction open.
  const std::vector<Bind> cancel{Bind::Int(45), Bind::Txt("P1"), Bind::Dat("20240301"),
                                 Bind::Txt("080000"), Bind::Int(2)};
  ASSERT_EQ(other->Write(Op::BchUpdFkt, cancel), 0);
  ASSERT_EQ(job->Savepoint("Bch_UpdFkt_Sp"), 0);
  EXPECT_EQ(job->Write(Op::BchUpdFkt, cancel), pvc::kLocked);
  EXPECT_EQ(job->LastError().sqlstate, "55P03");
  EXPECT_EQ(job->RollbackTo("Bch_UpdFkt_Sp"), 0);
  // Once the lock is gone the job's statements work again.
  ASSERT_EQ(other->Commit(), 0);
  ASSERT_EQ(job->Write(Op::BchInsert, InsertBinds("P2", "20240301", "000000", 1)), 0);
  EXPECT_EQ(job->Commit(), 0);
  EXPECT_EQ(BookingCount("P2"), "1");
}

// ---- a lost connection ----

TEST_F(PgServerTest, LostConnectionGives3114) {
  const std::string pid = Value(*s, "select pg_backend_pid()");
  ASSERT_EQ(Value(*other, "select pg_terminate_backend(" + pid + ")"), "t");
  ::usleep(200 * 1000);
  Row row;
  EXPECT_EQ(s->SelectOne(Op::FcdRead, {Bind::Txt("K")}, row), pvc::kLostConnection);
  EXPECT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)),
            pvc::kLostConnection);
  EXPECT_EQ(s->Commit(), pvc::kLostConnection);
}

// ---- schema creation ----

TEST_F(PgServerTest, SchemaCreationRefusesAnExistingSchemaAndBadNames) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 1)), 0);
  std::string why;
  EXPECT_EQ(pvc::PgCreateSchema(server_.login, server_.pass, server_.net, schema_, why),
            pvc::kSchemaExists);
  EXPECT_NE(why.find("exists"), std::string::npos) << why;
  EXPECT_EQ(BookingCount("P1"), "1");
  EXPECT_EQ(pvc::PgCreateSchema(server_.login, server_.pass, server_.net, "X;DROP", why),
            pvc::kBadSchemaName);
  EXPECT_EQ(pvc::PgCreateSchema(server_.login, server_.pass + "x", server_.net, "PVK_NEW", why),
            pvc::kBadLogin);
}

TEST_F(PgServerTest, DatesAreStoredAsTimestampsToTheSecond) {
  ASSERT_EQ(s->Write(Op::BchInsert, InsertBinds("P1", "20240301", "000000", 1)), 0);
  ASSERT_EQ(s->Commit(), 0);
  EXPECT_EQ(Lines(*other, "select BchVon, BchUhr from Krv321Bch"),
            (std::vector<std::string>{"2024-03-01 00:00:00|2024-03-01 00:00:00"}));
  EXPECT_EQ(Value(*other,
                  "select format_type(atttypid, atttypmod) from pg_attribute"
                  " where attrelid = 'krv321bch'::regclass and attname = 'bchuhr'"),
            "timestamp(0) without time zone");
}

// Every statement can be answered through an index: with sequential scans priced out, no plan
// reads a table whole.
TEST_F(PgServerTest, EveryStatementUsesAnIndex) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript("SET enable_seqscan = off"), 0);
  struct Case {
    Op op;
    std::vector<std::string> literals;  // $1, $2, ...
  };
  const std::string day = "'2024-03-01 00:00:00'";
  const Case cases[] = {
      {Op::TagYday, {}},
      {Op::TagPrev, {"'P1'", day}},
      {Op::BchTagMld, {"'P1'", day}},
      {Op::BchStdMld, {"'P1'", day}},
      {Op::FcdReadFlg, {"'K'"}},
      {Op::FcdRead, {"'K'"}},
      {Op::AzvRead, {"'P1'", day}},
      {Op::BchCountTagMld, {"'P1'", day}},
      {Op::BchCountStdMld, {"'P1'", "'20240301000000'", "'20240301235959'", day, day}},
      {Op::TagUpdate, {"'K'", "1", "'K'", "1", "'K'", "1", "'P1'", day}},
      {Op::BchUpdFkt, {"45", "'P1'", day, "'000000'", "1"}},
      {Op::BchDelFkt, {"'P1'", day, "'000000'", "45"}},
      {Op::BchInsert, {"'P1'", day, day, "1", "'K'"}},
  };
  for (const Case& c : cases) {
    std::string sql = pvc::Pg_Statement(c.op).text;
    ASSERT_EQ(c.literals.size(), pvc::Op_Width(pvc::Op_Info(c.op).in) +
                                     static_cast<size_t>(pvc::Pg_Statement(c.op).derived))
        << pvc::Op_Info(c.op).name;
    for (size_t i = c.literals.size(); i > 0; --i) {
      const std::string ph = "$" + std::to_string(i);
      for (size_t at = sql.find(ph); at != std::string::npos; at = sql.find(ph, at))
        sql.replace(at, ph.size(), c.literals[i - 1]);
    }
    const auto plan = Lines(*s, "EXPLAIN " + sql);
    std::string all;
    for (const auto& l : plan) all += l + "\n";
    EXPECT_EQ(all.find("Seq Scan"), std::string::npos) << pvc::Op_Info(c.op).name << "\n"
                                                       << all;
    EXPECT_EQ(all.find("RC:"), std::string::npos) << all;
  }
}

// Integer columns declared as numeric, as databases made by other programs often have them,
// arrive as integers; numbers with a fraction do not.
TEST_F(PgServerTest, WholeNumbersInNumericColumnsArriveAsIntegers) {
  std::vector<Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s).Query("select 480::numeric(5,0), -9::numeric, 1.5::numeric, 7::integer,"
                     " null::numeric, '12'::text",
                     rows),
            0);
  ASSERT_EQ(rows.size(), 1u);
  const Row& r = rows[0];
  EXPECT_TRUE(r[0].is_int && r[0].num == 480);
  EXPECT_TRUE(r[1].is_int && r[1].num == -9);
  EXPECT_FALSE(r[2].is_int);
  EXPECT_TRUE(r[3].is_int && r[3].num == 7);
  EXPECT_TRUE(r[4].null);
  EXPECT_FALSE(r[5].is_int);
}

// The day bounds added to Bch_CountStdMld for the index never change its count, also for
// bounds that are no dates.
TEST_F(PgServerTest, CountStdMldBoundsThatAreNoDatesCountAsTexts) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 23) +
                          Booking("P1", "20240301", "235959", 29) +
                          Booking("P1", "20240302", "000000", 24) +
                          Booking("P1", "20240302", "000000", 45)),
            0);
  struct Case {
    std::string from, to;
    int64_t count;
  };
  const Case cases[] = {
      {"20240301080000", "20240302000000", 3},
      {"20240301080001", "20240302000000", 2},
      {"20240301080000", "20240301235959", 2},
      {"2024", "20240302", 2},          // shorter texts compare as texts
      {"20240301", "20249999", 3},      // no valid day in the upper bound
      {"00000000", "99999999999999", 3},
      {"", "20240302000000", 0},        // an empty bound is NULL: nothing compares
      {"20241399000000", "20250101000000", 0},
  };
  for (const Case& c : cases) {
    Row row;
    ASSERT_EQ(s->SelectOne(Op::BchCountStdMld,
                           {Bind::Txt("P1"), Bind::Txt(c.from), Bind::Txt(c.to)}, row),
              0)
        << c.from << ".." << c.to;
    EXPECT_EQ(row.at(0).num, c.count) << c.from << ".." << c.to;
  }
}

}  // namespace
