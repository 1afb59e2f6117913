#include "tests/hardening/harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sqlite3.h>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/testdb.h"

namespace hard {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

pid_t Start(const std::string& program, const std::string& cwd,
            const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            const std::string& io_dir) {
  return pvt::Start(program, cwd, args, {env, "", io_dir});
}

Result Wait(pid_t pid, const std::string& io_dir, int timeout_s) {
  return pvt::Wait(pid, io_dir, {{}, "", "", timeout_s});
}

Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env, const std::string& io_dir) {
  return pvt::Run(program, cwd, args, {env, "", io_dir});
}

std::string IllTypes() {
  return e2e::Fcd("KRA", 1, 1, 0, 0, "20", "0", "NULL", "'KRF'") +
         e2e::Fcd("KRF", 1, 1, 0, 0, "20", "0", "NULL", "NULL") +
         e2e::Azv("VZ40", 480, 240, 0, 240, 120, 0);
}

std::string IllPerson(const std::string& pnr) {
  return e2e::Day(pnr, 1, "KRA") + e2e::Bch(pnr, 1, "000000", 1, "KRA") + e2e::Placeholder(pnr) +
         e2e::Ztg(pnr, "VZ40");
}

std::string BookingsOf(const std::string& pnr) {
  return "select BchFkt, BchFcd from Krv321Bch where BchPnr = " + pvt::Q(pnr) +
         " and BchVon = " + pvt::Ts(pvt::LocalDay(-1)) + " order by BchFkt, BchFcd";
}

int RawSqlite(const std::string& file, const std::string& sql, std::string& why) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    rc = sqlite3_exec(db, ("PRAGMA ignore_check_constraints=ON;" + sql).c_str(), nullptr, nullptr,
                      nullptr);
  }
  if (rc != SQLITE_OK) why = sqlite3_errmsg(db);
  sqlite3_close_v2(db);
  return rc;
}

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) {
        if (!result.empty()) result += "\n";
        result += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      }
    }
    sqlite3_finalize(st);
  }
  if (result.empty()) result = std::string("cannot check: ") + sqlite3_errmsg(db);
  sqlite3_close_v2(db);
  return result;
}

Night::Night() : db_(std::make_unique<pvt::TempSchema>()) {}
Night::~Night() = default;

int Night::Setup(const pvt::Backend& b, const std::string& rows, std::string& why) {
  int rc = db_->Create(b, why);
  if (rc != 0) return rc;
  if (!rows.empty() && (rc = db_->Exec(e2e::Tok(rows))) != 0) {
    why = db_->last_error();
    return rc;
  }
  db_->CloseSide();
  WriteFile(settings_path(), GoodSettings());
  return 0;
}

std::string Night::GoodSettings() const {
  return JobSettings(db_->login(), db_->pass(), db_->net(), db_->schema());
}

std::string Night::file() const { return db_->dir() + "/" + db_->schema() + ".db"; }

Result Night::RunJob(const std::string& program,
                     const std::map<std::string, std::string>& env) const {
  return Run(program, work_.path(), {"settings.ini", "XXX", "D"}, env);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

int CountLines(const std::string& text, const std::string& part) {
  int n = 0;
  for (const auto& l : Lines(text))
    if (l.find(part) != std::string::npos) ++n;
  return n;
}

}  // namespace hard
