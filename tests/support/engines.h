// What the backend-contract suite needs to do that only an engine's own means can do: shorten
// the lock wait, break a connection from outside, read query plans, make the stored schema
// read-only, read the durability settings. One entry per backend name of pvt::BackendNames();
// a hook left empty means the engine cannot do it, and the case that needs it skips.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/client.h"
#include "tests/support/testdb.h"

namespace pvt {

struct Engine {
  // True when a logon with a wrong password is refused (an embedded engine takes any).
  bool checks_password = false;
  // How long statements of the sessions opened afterwards wait for another program's lock
  // before they fail with -54. The job's default is 30,000 ms.
  std::function<void(int ms)> set_lock_wait_ms;
  // Breaks the connection of `s` (a session on `db`) from outside, as a server restart or a
  // network failure would. 0, or a code with the reason in `why`.
  std::function<int(pvc::Session& s, TempSchema& db, std::string& why)> kill_connection;
  // One line per statement of the catalogue whose plan on `db` reads a table whole (or, for the
  // yesterday and earlier-days cursors, sorts their rows before the first one arrives).
  std::function<std::vector<std::string>(TempSchema& db)> plan_problems;
  // Makes the stored schema read-only for sessions opened afterwards: `whole_dir` takes away
  // write access to where the schema lives (SQLite: its directory), otherwise to the schema
  // itself (SQLite: its file). 0, or a code with the reason in `why`.
  std::function<int(TempSchema& db, bool whole_dir, std::string& why)> make_read_only;
  // Empty when commits of `s` are durable once they return; otherwise what is not.
  std::function<std::string(pvc::Session& s)> durability_problem;
};

// Each statement whose plan on the database of `s` reads a table whole, with its plan; or why
// the plans could not be read.
std::vector<std::string> PlanProblemLines(pvc::Session& s);

// The hooks of the backend named `name`; all empty for a name without any.
const Engine& EngineOf(const std::string& name);

// Per engine, defined in engine_<name>.cpp.
Engine SqliteEngine();
Engine PostgresEngine();
Engine OdbcSqliteEngine();  // engine_odbc.cpp
Engine OdbcPostgresEngine();

}  // namespace pvt
