// Test support: fresh schemas on every available backend, fixture rows, rows read back.
//
// Usage (GoogleTest):
//   for (const pvt::Backend& b : pvt::Backends()) {
//     if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
//     pvt::TempSchema db;
//     std::string why;
//     ASSERT_EQ(db.Create(b, why), 0) << why;
//     ASSERT_EQ(db.Exec("insert into Krv131Fcd (FcdNum, FcdSta) values ('K', 1)"), 0);
//     ASSERT_EQ(db.Connect(), 0);            // the process's current session, like Db_Connect
//     ... run statements ...
//     EXPECT_EQ(db.Lines("select FcdNum, FcdFlg from Krv131Fcd"),
//               (std::vector<std::string>{"K|<null>"}));
//   }
//
// Fixture SQL is the subset both engines take: INSERT/UPDATE/DELETE/SELECT with column lists,
// dates as 'YYYY-MM-DD HH:MM:SS' literals (see Ts()). It runs through a side session of its
// own and is committed at once, like another program writing beside the job.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/client.h"

namespace pvt {

// A backend the suites run on.
struct Backend {
  // "sqlite", "postgres", "odbc_sqlite", "odbc_postgres"; "odbc_pg_record" (PostgreSQL through
  // ODBC with the texts of record, on the Oracle-compatibility extension) only by BackendNamed.
  std::string name;
  std::string net;          // NET8 of the server; for SQLite each TempSchema makes its own DIR
  std::string login, pass;  // credentials for the server (unused by SQLite)
  std::string skip_reason;  // not empty: unavailable here; report with GTEST_SKIP()
};

// SQLite always. PostgreSQL when PARVEK_TEST_PG holds a connection URI (credentials from
// PARVEK_TEST_PG_LOGIN and PARVEK_TEST_PG_PASS); otherwise listed with a skip reason. The same
// two through ODBC when their drivers are installed (and the server runs).
std::vector<Backend> Backends();
// Points unixODBC at the build folder's configuration and writes its data sources (PVT_PG,
// PVT_PG_RECORD, PROD), once per process; Backends() and BackendNamed() call it.
void PrepareOdbc();
// The names of Backends(), for INSTANTIATE_TEST_SUITE_P; look one up with BackendNamed.
std::vector<std::string> BackendNames();
Backend BackendNamed(const std::string& name);

// A fresh schema with the job's six tables (empty), dropped again by the destructor.
class TempSchema {
 public:
  TempSchema() = default;
  TempSchema(const TempSchema&) = delete;
  TempSchema& operator=(const TempSchema&) = delete;
  ~TempSchema();

  // Creates the schema on `b`. 0 or the failing code, with the reason in `why`.
  int Create(const Backend& b, std::string& why);

  const std::string& net() const { return net_; }        // NET8 for settings files
  const std::string& schema() const { return schema_; }  // schema name (upper case)
  const std::string& login() const { return login_; }
  const std::string& pass() const { return pass_; }
  // SQLite (native or through ODBC): the directory of the schema file (empty for servers).
  const std::string& dir() const { return dir_; }

  // Creates one more schema beside it, on the same server or directory, with the job's tables
  // (empty); it is dropped with this one. 0 with its name in `name`, or the failing code;
  // -1435 where the backend has room for one schema only (SQLite through ODBC).
  int CreateAnother(std::string& name, std::string& why);

  // Logs on and switches to the schema; the session becomes pvc::Current() (as Db_Connect
  // would make it), with `decorators` around it. Returns the logon's or the schema statement's
  // code.
  int Connect(const std::vector<pvc::SessionDecorator>& decorators = {});
  // A second, independent session on the schema, not the current one ("another program").
  int OpenOther(std::unique_ptr<pvc::Session>& out);

  // Runs fixture SQL through the side session and commits it. Returns the SQL code; on
  // failure the engine's message is in last_error().
  int Exec(const std::string& sql);
  // Rows of one SELECT as text, columns joined by '|', NULL shown as "<null>", integers in
  // decimal, dates as stored ('YYYY-MM-DD HH:MM:SS'). A failed query gives one line "RC:<code>".
  std::vector<std::string> Lines(const std::string& select);
  // The first column of the first row; "<none>" when there is no row.
  std::string Value(const std::string& select);
  std::string last_error() const { return last_error_; }
  // Closes the side session, so that no connection of the test holds the schema open.
  void CloseSide() { side_.reset(); }
  // From now on Connect logs on as `login` (a role a test made with fewer rights); the side
  // session and the schema's removal keep the owner's logon. `cleanup` runs as the owner once
  // the schema is gone (dropping that role, say).
  void ConnectAs(const std::string& login, const std::string& pass, const std::string& cleanup);

 private:
  int Side(pvc::Session*& out);

  Backend backend_;
  std::string net_, schema_, login_, pass_, dir_;
  std::string connect_login_, connect_pass_, cleanup_;  // ConnectAs
  std::vector<std::string> others_;  // schemas of CreateAnother
  std::unique_ptr<pvc::Session> side_;
  std::string last_error_;
  bool created_ = false;
};

// A date literal for fixture SQL: Ts("20240301", "143000") -> "'2024-03-01 14:30:00'".
std::string Ts(const std::string& yyyymmdd, const std::string& hhmmss = "000000");
// A text literal, quotes doubled; an empty text gives NULL.
std::string Q(const std::string& text);
// The local date `offset_days` from today as 'yyyymmdd' (yesterday: LocalDay(-1)).
std::string LocalDay(int offset_days);

}  // namespace pvt
