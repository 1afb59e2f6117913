#include "run/ground/DatabaseAddress.h"

#include <filesystem>
#include <string_view>
#include <system_error>

namespace {


bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

DatabaseAddress DatabaseAddress_Parse(const std::string& net8, const std::string& work_dir) {
  DatabaseAddress a;
  a.net8 = net8;
  a.place = net8;
  if (StartsWith(net8, kNet8Sqlite)) {
    a.engine = DbEngine::kSqlite;
    a.place = net8.substr(kNet8Sqlite.size());
    if (!a.place.empty()) {
      namespace fs = std::filesystem;
      std::error_code ec;
      fs::path dir = a.place;
      if (dir.is_relative())
        dir = (work_dir.empty() ? fs::current_path(ec) : fs::path(work_dir)) / dir;
      a.sqlite_dir = ec ? a.place : dir.lexically_normal().string();
      // "DIR/" and "DIR" are one directory.
      while (a.sqlite_dir.size() > 1 && a.sqlite_dir.back() == '/') a.sqlite_dir.pop_back();
    }
    return a;
  }
  for (std::string_view p : {kNet8Postgres, kNet8PostgresShort}) {
    if (StartsWith(net8, p)) {
      a.engine = DbEngine::kPostgres;
      return a;
    }
  }
  if (StartsWith(net8, kNet8Odbc)) {
    a.engine = DbEngine::kOdbc;
    a.place = net8.substr(kNet8Odbc.size());
  }
  return a;
}

std::string DatabaseAddress::Printable() const { return Net8_Mask(net8); }

std::string DatabaseAddress_Sqlite(const std::string& dir) { return std::string(kNet8Sqlite) + dir; }
