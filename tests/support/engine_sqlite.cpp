// The SQLite backend's hooks for the contract suite.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/codes.h"
#include "client/sqlite/internal.h"
#include "tests/support/engines.h"
#include "tests/support/wait_knobs.h"

namespace pvt {
namespace {

// Plans of every statement but the inserts, read through a connection of its own.
std::vector<std::string> PlanProblems(TempSchema& db) {
  using pvc::Op;
  sqlite3* raw = nullptr;
  const std::string file = db.dir() + "/" + db.schema() + ".db";
  if (sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(raw);
    return {"cannot open " + file};
  }
  pvc::sqlite::DbHandle conn(raw);
  std::vector<std::string> problems;
  for (int i = 0; i < static_cast<int>(Op::kCount); ++i) {
    const std::string sql = pvc::sqlite::Statement(static_cast<Op>(i));
    if (sql.rfind("insert", 0) == 0) continue;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(raw, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &st, nullptr) !=
        SQLITE_OK) {
      problems.push_back("statement " + std::to_string(i) + ": " + sqlite3_errmsg(raw));
      continue;
    }
    pvc::sqlite::StmtHandle holder(st);
    std::string plan;
    while (sqlite3_step(st) == SQLITE_ROW)
      plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 3))) + "; ";
    if (plan == "SCAN CONSTANT ROW; ") continue;  // a statement that reads no table
    // The engine's own list of its files (the identity statement) holds one row per file.
    if (plan.rfind("SCAN pragma_database_list VIRTUAL TABLE", 0) == 0) continue;
    const Op op = static_cast<Op>(i);
    const bool streams = op == Op::TagYday || op == Op::TagYdayAt || op == Op::TagPrev;
    if (plan.find("SCAN") != std::string::npos || plan.find("SEARCH") == std::string::npos ||
        (streams && plan.find("TEMP B-TREE") != std::string::npos))
      problems.push_back("statement " + std::to_string(i) + ": " + plan);
  }
  return problems;
}

int MakeReadOnly(TempSchema& db, bool whole_dir, std::string& why) {
  if (::geteuid() == 0) {
    why = "file permissions do not bind the super-user (the test contract.read_only_as_user runs "
          "this case as user nobody)";
    return pvc::kInternal;
  }
  // The last connection gone, no -wal or -shm file is left beside the schema file.
  db.CloseSide();
  const std::string path = whole_dir ? db.dir() : db.dir() + "/" + db.schema() + ".db";
  if (::chmod(path.c_str(), whole_dir ? 0555 : 0444) != 0) {
    why = "cannot change the permissions of " + path;
    return pvc::kInternal;
  }
  return pvc::kOk;
}

std::string DurabilityProblem(pvc::Session& s) {
  std::vector<pvc::Row> rows;
  std::string problems;
  pvc::SessionTools& tools = pvc::ToolsOf(s);
  if (tools.Query("PRAGMA journal_mode", rows) != 0 || rows.empty() || rows[0][0].text != "wal")
    problems += "journal_mode is not wal; ";
  if (tools.Query("PRAGMA synchronous", rows) != 0 || rows.empty() || rows[0][0].num != 2)
    problems += "synchronous is not FULL; ";
  return problems;
}

}  // namespace

Engine SqliteEngine() {
  Engine e;
  e.set_lock_wait_ms = [](int ms) { pvc::SqliteSetBusyWaitMs(ms); };
  // An embedded engine has no connection that could be lost: kill_connection stays empty.
  e.plan_problems = PlanProblems;
  e.make_read_only = MakeReadOnly;
  e.durability_problem = DurabilityProblem;
  return e;
}

}  // namespace pvt
