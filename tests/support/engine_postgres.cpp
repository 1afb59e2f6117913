// The PostgreSQL backend's hooks for the contract suite.
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "client/codes.h"
#include "tests/support/engines.h"

#ifdef PARVEK_WITH_POSTGRES
#include "client/core/engine_texts.h"
#include "client/core/statements.h"
#include "tests/support/wait_knobs.h"
#endif

namespace pvt {

#ifdef PARVEK_WITH_POSTGRES
namespace {

std::string First(pvc::Session& s, const std::string& sql) {
  std::vector<pvc::Row> rows;
  if (pvc::ToolsOf(s).Query(sql, rows) != 0) return "RC " + s.LastError().message;
  if (rows.empty() || rows[0].empty()) return "<none>";
  return rows[0][0].null     ? "<null>"
         : rows[0][0].is_int ? std::to_string(rows[0][0].num)
                             : rows[0][0].text;
}

int KillConnection(pvc::Session& s, TempSchema& db, std::string& why) {
  const std::string pid = First(s, "select pg_backend_pid()");
  if (db.Value("select pg_terminate_backend(" + pid + ")") != "t") {
    why = "cannot end server process " + pid + ": " + db.last_error();
    return pvc::kInternal;
  }
  ::usleep(200 * 1000);  // until the server has closed the socket
  return pvc::kOk;
}

std::vector<std::string> PlanProblems(TempSchema& db) {
  std::unique_ptr<pvc::Session> s;
  if (db.OpenOther(s) != 0) return {"cannot open a session for the plans"};
  return PlanProblemLines(*s);
}

// A role of the test's own, logged on for the job's sessions from now on: with `whole_dir` one
// whose every transaction is read-only (the database refuses it writes, as a read-only standby
// would), otherwise one that may only read the schema's tables.
int MakeReadOnly(TempSchema& db, bool whole_dir, std::string& why) {
  std::string role = "pvt_ro_";
  for (char c : db.schema()) role += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string pass = "ro-" + std::to_string(::getpid());
  const std::string grant = whole_dir ? "ALL" : "SELECT";
  if (db.Exec("CREATE ROLE " + role + " LOGIN PASSWORD '" + pass + "'") != 0 ||
      db.Exec("GRANT USAGE ON SCHEMA " + db.schema() + " TO " + role) != 0 ||
      db.Exec("GRANT " + grant + " ON ALL TABLES IN SCHEMA " + db.schema() + " TO " + role) != 0 ||
      (whole_dir &&
       db.Exec("ALTER ROLE " + role + " SET default_transaction_read_only = on") != 0)) {
    why = "cannot make a read-only role: " + db.last_error();
    db.Exec("DROP OWNED BY " + role);
    db.Exec("DROP ROLE IF EXISTS " + role);
    return pvc::kInternal;
  }
  db.ConnectAs(role, pass, "DROP ROLE " + role);
  return pvc::kOk;
}

std::string DurabilityProblem(pvc::Session& s) {
  const std::string v = First(s, "show synchronous_commit");
  return v == "on" ? "" : "synchronous_commit is " + v;
}

}  // namespace

Engine PostgresEngine() {
  Engine e;
  e.checks_password = true;
  e.set_lock_wait_ms = [](int ms) { pvc::PgSetLockWaitMs(ms); };
  e.kill_connection = KillConnection;
  e.plan_problems = PlanProblems;
  e.make_read_only = MakeReadOnly;
  e.durability_problem = DurabilityProblem;
  return e;
}
#else
Engine PostgresEngine() { return {}; }
#endif

}  // namespace pvt
