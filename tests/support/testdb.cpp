#include "tests/support/testdb.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "client/codes.h"

namespace pvt {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

Backend Sqlite() { return {"sqlite", "sqlite:", "", "", ""}; }

Backend Postgres() {
  Backend b{"postgres", Env("PARVEK_TEST_PG"), Env("PARVEK_TEST_PG_LOGIN"),
            Env("PARVEK_TEST_PG_PASS"), ""};
  if (b.net.empty())
    b.skip_reason = "PostgreSQL not tested: PARVEK_TEST_PG holds no connection URI";
  return b;
}

bool Exists(const char* path) {
  return path != nullptr && *path != '\0' && ::access(path, R_OK) == 0;
}

// The PostgreSQL test server's host, port and database, from PARVEK_TEST_PG
// ("postgresql://HOST:PORT/DB").
bool PgParts(std::string& host, std::string& port, std::string& db) {
  std::string uri = Env("PARVEK_TEST_PG");
  const size_t scheme = uri.find("://");
  if (scheme == std::string::npos) return false;
  uri = uri.substr(scheme + 3);
  const size_t slash = uri.find('/');
  const std::string authority = uri.substr(0, slash);
  db = slash == std::string::npos ? "postgres" : uri.substr(slash + 1, uri.find('?') - slash - 1);
  const size_t colon = authority.rfind(':');
  host = authority.substr(0, colon);
  port = colon == std::string::npos ? "5432" : authority.substr(colon + 1);
  return !host.empty();
}

// Points unixODBC at the build folder's private configuration (never at /etc) and writes the
// data sources the tests use: PVT_PG, PVT_PG_RECORD and PVT_PG_TRACE (the driver's tracing
// switched on) on the throwaway server, PROD on a SQLite file. Written once per process,
// through a rename, so that parallel tests see whole files.
}  // namespace

void PrepareOdbc() {
#ifdef PARVEK_TEST_ODBC_DIR
  static const bool done = [] {
    const std::string dir = PARVEK_TEST_ODBC_DIR;
    if (Env("ODBCSYSINI").empty()) ::setenv("ODBCSYSINI", (dir + "/sys").c_str(), 1);
    if (Env("ODBCINI").empty()) ::setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    std::string ini = "[PROD]\nDriver=PVT SQLite3\nDatabase=" + dir + "/PROD.db\n";
    std::string host, port, db;
    if (PgParts(host, port, db)) {
      const std::string server = "Driver=PVT PostgreSQL\nServername=" + host + "\nPort=" + port +
                                 "\nDatabase=" + db + "\n";
      ini += "[PVT_PG]\n" + server + "[PVT_PG_RECORD]\n" + server + "ParvekTexts=record\n" +
             "[PVT_PG_TRACE]\n" + server + "Debug=1\nCommLog=1\n";
    }
    const std::string path = Env("ODBCINI");
    const std::string tmp = path + "." + std::to_string(::getpid());
    std::ofstream(tmp) << ini;
    std::rename(tmp.c_str(), path.c_str());
    return true;
  }();
  (void)done;
#endif
}

namespace {

Backend OdbcSqlite() {
  Backend b{"odbc_sqlite", "", "", "", ""};
#ifdef PARVEK_WITH_ODBC
  if (!Exists(PARVEK_TEST_ODBC_SQLITE_DRIVER))
    b.skip_reason =
        "SQLite through ODBC not tested: the driver (Debian's libsqliteodbc) is missing";
#else
  b.skip_reason = "SQLite through ODBC not tested: this build has no ODBC backend";
#endif
  return b;
}

// PostgreSQL through ODBC; `record` sends the texts of record (on the Oracle-compatibility
// extension).
Backend OdbcPostgres(bool record) {
  Backend b{record ? "odbc_pg_record" : "odbc_postgres",
            record ? "odbc:PVT_PG_RECORD" : "odbc:PVT_PG", Env("PARVEK_TEST_PG_LOGIN"),
            Env("PARVEK_TEST_PG_PASS"), ""};
#ifdef PARVEK_WITH_ODBC
  if (!Exists(PARVEK_TEST_ODBC_PG_DRIVER))
    b.skip_reason =
        "PostgreSQL through ODBC not tested: the driver (Debian's odbc-postgresql) is missing";
  else if (Env("PARVEK_TEST_PG").empty())
    b.skip_reason = "PostgreSQL through ODBC not tested: PARVEK_TEST_PG holds no connection URI";
  else if (!Env("PARVEK_TEST_NO_ODBC_PG").empty())
    b.skip_reason =
        "PostgreSQL through ODBC not run here: its driver is not built with the sanitizers, and "
        "its own allocations read as leaks";
  else if (record && Env("PARVEK_TEST_PG_ORAFCE").empty())
    b.skip_reason =
        "texts of record not tested: the test server has no orafce (postgresql-15-orafce)";
#else
  b.skip_reason = "PostgreSQL through ODBC not tested: this build has no ODBC backend";
#endif
  return b;
}

std::string Unique() {
  static std::atomic<int> counter{0};
  return std::to_string(::getpid()) + "_" + std::to_string(++counter) + "_" +
         std::to_string(std::time(nullptr) % 100000);
}

}  // namespace

std::vector<Backend> Backends() {
  PrepareOdbc();
  return {Sqlite(), Postgres(), OdbcSqlite(), OdbcPostgres(false)};
}

std::vector<std::string> BackendNames() {
  std::vector<std::string> names;
  for (const auto& b : Backends()) names.push_back(b.name);
  return names;
}

Backend BackendNamed(const std::string& name) {
  PrepareOdbc();
  if (name == "odbc_pg_record") return OdbcPostgres(true);
  for (const auto& b : Backends())
    if (b.name == name) return b;
  Backend none;
  none.name = name;
  none.skip_reason = "no backend named " + name;
  return none;
}

TempSchema::~TempSchema() {
  if (!created_) return;
  side_.reset();
  if (!dir_.empty()) {
    std::error_code ec;
    // A test may have left the directory without write permission.
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
    return;
  }
  std::unique_ptr<pvc::Session> s;
  if (pvc::OpenSession(login_, pass_, net_, s) != pvc::kOk) return;
  pvc::SessionTools& tools = pvc::ToolsOf(*s);
  for (const auto& name : others_) tools.ExecScript("DROP SCHEMA " + name + " CASCADE");
  tools.ExecScript("DROP SCHEMA " + schema_ + " CASCADE");
  if (!cleanup_.empty()) tools.ExecScript(cleanup_);
}

void TempSchema::ConnectAs(const std::string& login, const std::string& pass,
                           const std::string& cleanup) {
  connect_login_ = login;
  connect_pass_ = pass;
  cleanup_ = cleanup;
}

int TempSchema::CreateAnother(std::string& name, std::string& why) {
  if (!created_) {
    why = "no schema created yet";
    return pvc::kInternal;
  }
  if (backend_.name == "odbc_sqlite") {
    why = "SQLite through ODBC: the data source holds one schema, its database file";
    return pvc::kNoSchema;
  }
  name = backend_.name == "sqlite" ? schema_ + "_" + std::to_string(others_.size() + 2)
                                   : "PVT_" + Unique();
  const int rc = pvc::CreateSchema(login_, pass_, net_, name, why);
  if (rc == pvc::kOk) others_.push_back(name);
  return rc;
}

int TempSchema::Create(const Backend& b, std::string& why) {
  if (!b.skip_reason.empty()) {
    why = b.skip_reason;
    return pvc::kBadNetName;
  }
  backend_ = b;
  login_ = b.login;
  pass_ = b.pass;
  if (b.name == "sqlite" || b.name == "odbc_sqlite") {
    const std::string tmp = Env("TMPDIR").empty() ? "/tmp" : Env("TMPDIR");
    std::string templ = tmp + "/parvek-test-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      why = "cannot make a directory under " + tmp;
      return pvc::kInternal;
    }
    dir_ = templ;
    net_ = b.name == "sqlite" ? "sqlite:" + dir_
                              : "odbc:Driver={PVT SQLite3};Database=" + dir_ + "/TESTS.db";
    schema_ = "TESTS";
  } else {
    net_ = b.net;
    schema_ = "PVT_" + Unique();
  }
  const int rc = pvc::CreateSchema(login_, pass_, net_, schema_, why);
  if (rc != pvc::kOk) {
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
    return rc;
  }
  created_ = true;
  return pvc::kOk;
}

int TempSchema::Connect(const std::vector<pvc::SessionDecorator>& decorators) {
  const bool as_other = !connect_login_.empty();
  const int rc = pvc::Logon(as_other ? connect_login_ : login_, as_other ? connect_pass_ : pass_,
                            net_, decorators);
  if (rc != pvc::kOk) return rc;
  return pvc::Current()->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema_);
}

int TempSchema::OpenOther(std::unique_ptr<pvc::Session>& out) {
  std::unique_ptr<pvc::Session> s;
  int rc = pvc::OpenSession(login_, pass_, net_, s);
  if (rc != pvc::kOk) return rc;
  rc = s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema_);
  if (rc != pvc::kOk) return rc;
  out = std::move(s);
  return pvc::kOk;
}

int TempSchema::Side(pvc::Session*& out) {
  if (!side_) {
    const int rc = OpenOther(side_);
    if (rc != pvc::kOk) {
      last_error_ = "cannot open the side session: RC:" + std::to_string(rc);
      return rc;
    }
  }
  out = side_.get();
  return pvc::kOk;
}

int TempSchema::Exec(const std::string& sql) {
  pvc::Session* s = nullptr;
  int rc = Side(s);
  if (rc != pvc::kOk) return rc;
  rc = pvc::ToolsOf(*s).ExecScript(sql);
  last_error_ = rc == pvc::kOk ? "" : s->LastError().message;
  return rc;
}

std::vector<std::string> TempSchema::Lines(const std::string& select) {
  pvc::Session* s = nullptr;
  int rc = Side(s);
  std::vector<pvc::Row> rows;
  if (rc == pvc::kOk) rc = pvc::ToolsOf(*s).Query(select, rows);
  if (rc != pvc::kOk) {
    last_error_ = s != nullptr ? s->LastError().message : last_error_;
    return {"RC:" + std::to_string(rc)};
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line += '|';
      line += row[i].null ? "<null>" : row[i].is_int ? std::to_string(row[i].num) : row[i].text;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string TempSchema::Value(const std::string& select) {
  const auto lines = Lines(select);
  if (lines.empty()) return "<none>";
  return lines[0].substr(0, lines[0].find('|'));
}

std::string Ts(const std::string& d, const std::string& t) {
  if (d.size() != 8 || t.size() != 6) return "'" + d + t + "'";  // deliberately malformed
  return "'" + d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) + " " + t.substr(0, 2) +
         ":" + t.substr(2, 2) + ":" + t.substr(4, 2) + "'";
}

std::string Q(const std::string& text) {
  if (text.empty()) return "NULL";
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string LocalDay(int offset_days) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  tm.tm_mday += offset_days;
  tm.tm_hour = 12;  // away from daylight-saving jumps
  tm.tm_isdst = -1;
  std::mktime(&tm);
  char buf[9];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

}  // namespace pvt
