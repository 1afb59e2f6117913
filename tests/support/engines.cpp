#include "tests/support/engines.h"

#include <map>

namespace pvt {

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
