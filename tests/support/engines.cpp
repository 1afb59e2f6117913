#include "tests/support/engines.h"

#include <map>

#include "client/plans.h"

namespace pvt {

std::vector<std::string> PlanProblemLines(pvc::Session& s) {
  std::vector<pvc::PlanProblem> found;
  std::string failed;
  if (const int rc = pvc::Plan_Problems(s, found, failed); rc != 0)
    return {"cannot read the plan of " + failed + ": RC " + std::to_string(rc) + " " +
            s.LastError().message};
  std::vector<std::string> lines;
  for (const pvc::PlanProblem& p : found)
    lines.push_back(std::string(pvc::Op_Info(p.op).name) + " reads " +
                    (p.table.empty() ? "its rows sorted" : p.table + " whole") + ":\n" + p.plan);
  return lines;
}

const Engine& EngineOf(const std::string& name) {
  static const std::map<std::string, Engine> engines = {
      {"sqlite", SqliteEngine()},
      {"postgres", PostgresEngine()},
      {"odbc_sqlite", OdbcSqliteEngine()},
      {"odbc_postgres", OdbcPostgresEngine()},
  };
  static const Engine none;
  const auto it = engines.find(name);
  return it != engines.end() ? it->second : none;
}

}  // namespace pvt
