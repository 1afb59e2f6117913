// What only the PostgreSQL backend has, on a real server: logon codes, URI checks, schema names
// folded as unquoted identifiers, the kept cursor connection, the server's SQLSTATE in the error
// detail, column types. The contract every backend keeps is tests/contract/.
// Needs PARVEK_TEST_PG (a URI without credentials), PARVEK_TEST_PG_LOGIN and PARVEK_TEST_PG_PASS;
// scripts/test.sh starts a server and sets them. Without them every test here is skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/backends.h"
#include "client/client.h"
#include "client/codes.h"
#include "client/postgres/conn.h"
#include "client/core/pg_errors.h"
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

#define SKIP_WITHOUT_SERVER()                                                       \
  do {                                                                              \
    if (TestServer().net.empty())                                                   \
      GTEST_SKIP() << "no PostgreSQL server to test on: PARVEK_TEST_PG is not set " \
                      "(scripts/test.sh starts one)";                               \
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
    const std::string t =
        hhmmss.substr(0, 2) + ":" + hhmmss.substr(2, 2) + ":" + hhmmss.substr(4, 2);
    return "insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values ('" + pnr +
           "', '" + d + " 00:00:00', '" + d + " " + t + "', " + std::to_string(fkt) + ", 'K');";
  }

  static std::vector<Bind> InsertBinds(const std::string& pnr, const std::string& day,
                                       const std::string& hhmmss, int fkt) {
    return {Bind::Txt(pnr), Bind::Dat(day), Bind::DatTime(day + hhmmss), Bind::Int(fkt),
            Bind::Txt("K")};
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
      {"unknown URI parameter", srv.login, srv.pass, srv.net + "?nosuchoption=1", pvc::kBadNetName},
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
  // Schema creation logs on the same way.
  std::string why;
  EXPECT_EQ(pvc::PgCreateSchema(srv.login, srv.pass + "x", srv.net, "PVK_NEW", why),
            pvc::kBadLogin);
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

// Cursors past the first of a session read on a connection of their own, opened once and kept
// for the session's later cursors (their rows: tests/contract/).
TEST_F(PgServerTest, OneCursorConnectionServesAllLaterCursors) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 1) +
                                        "insert into Krv327Tag (TagPnr, TagTag) values"
                                        " ('P1', '2024-02-29 00:00:00');"
                                        "insert into Krv320Tgb (TgbPnr, TgbDtm, TgbZtr) values"
                                        " ('P1', '2024-02-29 00:00:00', 1);"),
            0);
  // A session of its own, named so that only its connections are counted.
  const std::string app = UniqueName("pvk_pool_");
  std::unique_ptr<pvc::Session> job;
  ASSERT_EQ(
      pvc::PgLogon(server_.login, server_.pass, server_.net + "?application_name=" + app, job), 0);
  ASSERT_EQ(job->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema_), 0);
  const std::string pool_sql =
      "select count(*) from pg_stat_activity where application_name = '" + app + "'";
  EXPECT_EQ(Value(*other, pool_sql), "1");
  const std::vector<Bind> in{Bind::Txt("P1"), Bind::Dat("20240301")};
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<pvc::Cursor> prev, vortag, abrtag;
    ASSERT_EQ(job->Open(Op::TagPrev, in, prev), 0);
    ASSERT_EQ(job->Open(Op::BchTagMld, in, vortag), 0);
    ASSERT_EQ(job->Open(Op::BchTagMld, in, abrtag), 0);
    Row row;
    ASSERT_EQ(prev->Fetch(row), 0);
    ASSERT_EQ(vortag->Fetch(row), 0);
    ASSERT_EQ(abrtag->Fetch(row), 0);
  }
  // Besides the main connection, one cursor connection served all twenty rounds (the booking
  // cursors read on the main connection) and is kept open for the next cursors.
  EXPECT_EQ(Value(*other, pool_sql), "2");
}

// The error detail carries the server's own SQLSTATE beside the job's code.
TEST_F(PgServerTest, ErrorDetailCarriesTheServersSqlstate) {
  ASSERT_EQ(pvc::ToolsOf(*s).ExecScript(Booking("P1", "20240301", "080000", 2)), 0);
  ASSERT_EQ(pvc::ToolsOf(*other).ExecScript("DROP TABLE Krv320Tgb"), 0);
  std::unique_ptr<pvc::Cursor> c;
  EXPECT_EQ(s->Open(Op::TagPrev, {Bind::Txt("P1"), Bind::Dat("20240301")}, c), pvc::kNoTable);
  EXPECT_EQ(s->LastError().sqlstate, "42P01");
  // A lock held past the wait: -54 from lock_not_available.
  pvc::PgSetLockWaitMs(100);
  std::unique_ptr<pvc::Session> job = Connect();
  pvc::PgSetLockWaitMs(30000);
  ASSERT_TRUE(job);
  const std::vector<Bind> cancel{Bind::Int(45), Bind::Txt("P1"), Bind::Dat("20240301"),
                                 Bind::Txt("080000"), Bind::Int(2)};
  ASSERT_EQ(other->Write(Op::BchUpdFkt, cancel), 0);
  EXPECT_EQ(job->Write(Op::BchUpdFkt, cancel), pvc::kLocked);
  EXPECT_EQ(job->LastError().sqlstate, "55P03");
  EXPECT_EQ(other->Commit(), 0);
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

// Integer columns declared as numeric, as databases made by other programs often have them,
// arrive as integers; numbers with a fraction do not.
TEST_F(PgServerTest, WholeNumbersInNumericColumnsArriveAsIntegers) {
  std::vector<Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s).Query("select 480::numeric(5,0), -9::numeric, 1.5::numeric,"
                                   " 7::integer, null::numeric, '12'::text",
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

}  // namespace
