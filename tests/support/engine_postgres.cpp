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

// With sequential scans priced out, no plan reads a table whole.
std::vector<std::string> PlanProblems(TempSchema& db) {
  using pvc::Op;
  struct Case {
    Op op;
    std::vector<std::string> literals;  // $1, $2, ...
  };
  const std::string day = "'2024-03-01 00:00:00'";
  const Case cases[] = {
      {Op::TagYday, {}},
      {Op::TagYdayAt, {day}},
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
      {Op::BchReadFcd, {"'P1'", day, "'000000'", "45"}},
      {Op::Today, {}},
      {Op::BchReadRow, {"'P1'", day, "'000000'", "45"}},
      {Op::BchInsertRow,
       {"'P1'", day, day, "1", day, day, "'K'", "'1'", "'A'", "'A'", "'A'", "'A'", "'A'", "'A'",
        "'1'", "'1'", "'E'", "'T'", day}},
      {Op::BchSetFkt, {"2", day, "'E'", "'P1'", day, "'000000'", "45"}},
      {Op::TagReadPairs, {"'P1'", day}},
      {Op::TagRestore, {"'K'", "'1'", "'K'", "'1'", "'K'", "'1'", "'P1'", day}},
      {Op::DbIdentity, {}},
  };
  static_assert(std::size(cases) == static_cast<size_t>(Op::kCount));
  std::vector<std::string> problems;
  std::unique_ptr<pvc::Session> s;
  if (db.OpenOther(s) != 0 || pvc::ToolsOf(*s).ExecScript("SET enable_seqscan = off") != 0)
    return {"cannot open a session for the plans"};
  for (const Case& c : cases) {
    const pvc::PgStatement& st = pvc::Pg_Statement(c.op);
    const std::string name = pvc::Op_Info(c.op).name;
    const size_t params = pvc::Op_Width(pvc::Op_Info(c.op).in) + static_cast<size_t>(st.derived);
    if (c.literals.size() != params) {
      problems.push_back(name + ": takes " + std::to_string(params) +
                         " parameters, the plan check gives " + std::to_string(c.literals.size()));
      continue;
    }
    std::string sql = st.text;
    for (size_t i = c.literals.size(); i > 0; --i) {
      const std::string ph = "$" + std::to_string(i);
      for (size_t at = sql.find(ph); at != std::string::npos; at = sql.find(ph, at))
        sql.replace(at, ph.size(), c.literals[i - 1]);
    }
    std::vector<pvc::Row> rows;
    if (pvc::ToolsOf(*s).Query("EXPLAIN " + sql, rows) != 0) {
      problems.push_back(name + ": " + s->LastError().message);
      continue;
    }
    std::string plan;
    for (const auto& r : rows) plan += r[0].text + "\n";
    if (plan.find("Seq Scan") != std::string::npos) problems.push_back(name + "\n" + plan);
  }
  return problems;
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
