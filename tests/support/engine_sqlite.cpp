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

// Plans of every statement but the inserts, read through a session of its own.
std::vector<std::string> PlanProblems(TempSchema& db) {
  std::unique_ptr<pvc::Session> s;
  if (db.OpenOther(s) != 0) return {"cannot open a session for the plans"};
  return PlanProblemLines(*s);
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
