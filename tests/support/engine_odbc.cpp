// The ODBC backend's hooks for the contract suite. The texts it sends to PostgreSQL and SQLite
// are those of the native backends, and its schemas lie where theirs do, so their plan and
// durability checks apply as they stand; the lock wait is the ODBC backend's own.
#include <unistd.h>

#include <vector>

#include "client/codes.h"
#include "tests/support/engines.h"
#include "tests/support/wait_knobs.h"

namespace pvt {

#ifdef PARVEK_WITH_ODBC
namespace {

// Ends the server process behind the main connection of `s`. (The driver delivers booleans as
// digits, so the test for success is spelled out.)
int KillPostgresConnection(pvc::Session& s, TempSchema& db, std::string& why) {
  std::vector<pvc::Row> rows;
  if (pvc::ToolsOf(s).Query("select pg_backend_pid()", rows) != 0 || rows.empty()) {
    why = "cannot read the server process: " + s.LastError().message;
    return pvc::kInternal;
  }
  const std::string pid = rows[0][0].text;
  if (db.Value("select case when pg_terminate_backend(" + pid + ") then 'ended' end") != "ended") {
    why = "cannot end server process " + pid + ": " + db.last_error();
    return pvc::kInternal;
  }
  ::usleep(200 * 1000);  // until the server has closed the socket
  return pvc::kOk;
}

}  // namespace

Engine OdbcSqliteEngine() {
  Engine e;
  const Engine native = SqliteEngine();
  e.set_lock_wait_ms = [](int ms) { pvc::OdbcSetLockWaitMs(ms); };
  e.plan_problems = native.plan_problems;
  e.durability_problem = native.durability_problem;
  e.make_read_only = native.make_read_only;
  return e;
}

Engine OdbcPostgresEngine() {
  Engine e = PostgresEngine();
  e.set_lock_wait_ms = [](int ms) { pvc::OdbcSetLockWaitMs(ms); };
  e.kill_connection = KillPostgresConnection;
  return e;
}
#else
Engine OdbcSqliteEngine() { return {}; }
Engine OdbcPostgresEngine() { return {}; }
#endif

}  // namespace pvt
