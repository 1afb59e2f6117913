// The SQLite backend's hooks for the contract suite.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/codes.h"
#include "client/core/tool_statements.h"
#include "client/sqlite/internal.h"
#include "tests/support/engines.h"
#include "tests/support/wait_knobs.h"

namespace pvt {
namespace {

// Plans of every statement but the inserts, read through a session of its own; and no reading
// statement builds a temporary table each time it runs (as an IN list does), which the plan does
// not show. (An update of a key column collects its rows first: the writes are left out.)
std::vector<std::string> PlanProblems(TempSchema& db) {
  std::unique_ptr<pvc::Session> s;
  if (db.OpenOther(s) != 0) return {"cannot open a session for the plans"};
  std::vector<std::string> lines = PlanProblemLines(*s);
  for (int i = 0; i < static_cast<int>(pvc::Op::kCount); ++i) {
    const pvc::OpInfo& info = pvc::Op_Info(static_cast<pvc::Op>(i));
    if (info.kind != pvc::OpKind::Cursor && info.kind != pvc::OpKind::Select) continue;
    std::vector<pvc::Row> steps;
    const std::vector<std::string> values(std::strlen(info.in), "'1'");
    if (pvc::ToolsOf(*s).Query("EXPLAIN " + pvc::Sql_WithLiterals(info.sqlite, '?', values),
                               steps) != 0) {
      lines.push_back(std::string("cannot explain ") + info.name);
      continue;
    }
    for (const pvc::Row& step : steps)
      if (step.size() > 1 && step[1].text == "OpenEphemeral")
        lines.push_back(std::string(info.name) + " builds a temporary table at every run");
  }
  return lines;
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
  // The commit leaves its sync to the session's syncer (tests/client/wal_sync_test.cpp).
  if (tools.Query("PRAGMA synchronous", rows) != 0 || rows.empty() || rows[0][0].num != 1)
    problems += "synchronous is not NORMAL; ";
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
