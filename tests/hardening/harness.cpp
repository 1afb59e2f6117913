#include "tests/hardening/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sqlite3.h>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/testdb.h"

extern char** environ;

namespace hard {

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/parvek-hard-XXXXXX";
  if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // A test may have left a directory without write permission behind.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

namespace {

[[noreturn]] void Exec(const std::string& program, const std::string& cwd,
                       const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, int out_fd, int err_fd) {
  if (::chdir(cwd.c_str()) != 0) ::_exit(126);
  ::unsetenv("PARVEK_DBG");
  ::signal(SIGPIPE, SIG_DFL);  // as a shell starts a program
  for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execve(program.c_str(), argv.data(), environ);
  ::_exit(127);
}

}  // namespace

pid_t Start(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env, const std::string& io_dir) {
  const std::string io = io_dir.empty() ? cwd : io_dir;
  const std::string out = io + "/stdout.txt", err = io + "/stderr.txt";
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out_fd < 0 || err_fd < 0) {
    if (out_fd >= 0) ::close(out_fd);
    if (err_fd >= 0) ::close(err_fd);
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) Exec(program, cwd, args, env, out_fd, err_fd);
  ::close(out_fd);
  ::close(err_fd);
  return pid;
}

Result Wait(pid_t pid, const std::string& io_dir, int timeout_s) {
  Result r;
  int status = 0;
  bool reaped = false;
  for (int waited_ms = 0; pid > 0 && timeout_s > 0 && !reaped; waited_ms += 50) {
    reaped = ::waitpid(pid, &status, WNOHANG) == pid;
    if (reaped) break;
    if (waited_ms >= timeout_s * 1000) {
      ::kill(pid, SIGKILL);
      break;
    }
    ::usleep(50 * 1000);
  }
  if (pid > 0 && !reaped) reaped = ::waitpid(pid, &status, 0) == pid;
  if (reaped) {
    r.exited = WIFEXITED(status) ? 1 : 0;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  r.out = ReadFile(io_dir + "/stdout.txt");
  r.err = ReadFile(io_dir + "/stderr.txt");
  return r;
}

Result Run(const std::string& program, const std::string& cwd, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env, const std::string& io_dir) {
  return Wait(Start(program, cwd, args, env, io_dir), io_dir.empty() ? cwd : io_dir);
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
    rc = sqlite3_exec(db, ("PRAGMA ignore_check_constraints=ON;" + sql).c_str(), nullptr, nullptr, nullptr);
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

Result Night::RunJob(const std::string& program, const std::map<std::string, std::string>& env) const {
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
