// The ODBC session: one main connection for single-row selects, writes, savepoints and commits,
// and three connections opened at the logon for the cursors, one per open cursor. The password
// is used for those four logons and not kept.
//
// Transactions: the main connection commits only when asked. While nothing is pending it runs
// with the driver's autocommit on, so that a read holds nothing after it ran; the first
// savepoint or write switches autocommit off, and the commit switches it on again.
//
// A failed statement undoes only itself: Oracle and SQLite do so by themselves. PostgreSQL
// aborts the whole transaction, and its driver by default rolls the transaction back; the
// driver is told to do nothing (Protocol=7.4-0), and a statement that follows other work of the
// transaction runs between a savepoint of the backend's own and its release.
//
// Cursors: each runs on a connection of its own, so it delivers the rows that matched at its
// open and stays positioned whatever the main connection commits, without relying on a driver's
// behaviour across commits. Rows come from the server in batches (PostgreSQL: a server-side
// cursor fetched 256 rows at a time; SQLite: the engine's own stepping; Oracle: the driver's
// prefetch); a cursor's memory is one batch, whatever its result.
#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/backends.h"
#include "client/codes.h"
#include "client/core.h"
#include "client/odbc_internal.h"
#include "client/pg_errors.h"
#include "client/pg_statements.h"
#include "client/sqlite_internal.h"

namespace pvc {
namespace {

using odbc::Engine;
using odbc::Failure;
using odbc::Texts;

constexpr size_t kCursorConns = 3;  // the most cursors the job keeps open at a time
constexpr int kLoginTimeoutS = 15;
int g_lock_wait_ms = 30000;

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The first diagnostic record of a handle.
Failure Diag(SQLSMALLINT type, SQLHANDLE h) {
  Failure f;
  SQLCHAR state[6] = {0};
  SQLCHAR msg[1024] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  if (h != SQL_NULL_HANDLE &&
      Ok(SQLGetDiagRec(type, h, 1, state, &native, msg, sizeof msg, &len))) {
    f.sqlstate = reinterpret_cast<const char*>(state);
    f.native = static_cast<int>(native);
    f.message = reinterpret_cast<const char*>(msg);
    // One line: drivers put their own context on further lines.
    for (char& c : f.message)
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  } else {
    f.sqlstate = "HY000";
    f.message = "the driver gave no diagnostic";
  }
  return f;
}

struct EnvHandle {
  SQLHENV h = SQL_NULL_HENV;
  EnvHandle() {
    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
      h = SQL_NULL_HENV;
      return;
    }
    SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~EnvHandle() {
    if (h != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, h);
  }
  EnvHandle(const EnvHandle&) = delete;
  EnvHandle& operator=(const EnvHandle&) = delete;
};

// One connection with the statements prepared on it, by Op.
struct Conn {
  std::shared_ptr<EnvHandle> env;  // outlives the connection
  SQLHDBC h = SQL_NULL_HDBC;
  std::array<SQLHSTMT, static_cast<size_t>(Op::kCount)> stmts{};
  bool autocommit = true;
  bool in_use = false;  // a cursor runs on it

  explicit Conn(std::shared_ptr<EnvHandle> e) : env(std::move(e)) {}
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  ~Conn() {
    for (SQLHSTMT st : stmts)
      if (st != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (h == SQL_NULL_HDBC) return;
    SQLEndTran(SQL_HANDLE_DBC, h, SQL_ROLLBACK);
    SQLDisconnect(h);
    SQLFreeHandle(SQL_HANDLE_DBC, h);
  }
  bool SetAutocommit(bool on) {
    if (autocommit == on) return true;
    const SQLULEN v = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!Ok(SQLSetConnectAttr(h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(v), 0)))
      return false;
    autocommit = on;
    return true;
  }
};

// Logs on once. DSN form without extra options: SQLConnect; otherwise a connection string.
int Connect(const std::shared_ptr<EnvHandle>& env, const odbc::Target& t, const std::string& user,
            const std::string& password, const std::string& extra, std::unique_ptr<Conn>& out,
            Failure& f) {
  auto c = std::make_unique<Conn>(env);
  if (env->h == SQL_NULL_HENV || !Ok(SQLAllocHandle(SQL_HANDLE_DBC, env->h, &c->h))) {
    c->h = SQL_NULL_HDBC;
    f = Failure{"HY001", 0, "cannot allocate an ODBC connection handle"};
    return kInternal;
  }
  SQLSetConnectAttr(c->h, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kLoginTimeoutS)), 0);
  SQLRETURN rc;
  if (!t.dsn.empty() && extra.empty()) {
    rc = SQLConnect(c->h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(t.dsn.c_str())), SQL_NTS,
                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(user.c_str())), SQL_NTS,
                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(password.c_str())), SQL_NTS);
  } else {
    std::string s = odbc::ConnectString(t, user, password, extra);
    rc = SQLDriverConnect(c->h, nullptr, reinterpret_cast<SQLCHAR*>(s.data()), SQL_NTS, nullptr, 0,
                          nullptr, SQL_DRIVER_NOPROMPT);
    odbc::Wipe(s);
  }
  if (!Ok(rc)) {
    f = Diag(SQL_HANDLE_DBC, c->h);
    SQLFreeHandle(SQL_HANDLE_DBC, c->h);
    c->h = SQL_NULL_HDBC;
    return odbc::TranslateLogon(f);
  }
  out = std::move(c);
  return kOk;
}

// The value of `key` in data source `dsn`'s definition; "" when it has none.
std::string DsnAttribute(const std::string& dsn, const char* key) {
  if (dsn.empty()) return {};
  char buf[64] = {0};
  SQLGetPrivateProfileString(dsn.c_str(), key, "", buf, sizeof buf, "odbc.ini");
  return buf;
}

std::string Lower(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

// A file's name without its directory and its extension.
std::string Stem(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Whether the target's driver is SQLite's, by the connection string or the data source's
// definition (its driver must not create a missing database file, not even at the first logon).
// The value of a target's attribute, from its connection string or its data source.
std::string TargetAttribute(const odbc::Target& t, const char* key) {
  return t.connect.empty() ? DsnAttribute(t.dsn, key) : odbc::Attribute(t.connect, key);
}

bool LooksSqlite(const odbc::Target& t) {
  std::string driver = TargetAttribute(t, "Driver");
  if (driver.empty() && !t.connect.empty())
    driver = DsnAttribute(odbc::Attribute(t.connect, "DSN"), "Driver");
  return Lower(driver).find("sqlite") != std::string::npos;
}

// Splits a script at the semicolons outside literals; empty statements are dropped.
std::vector<std::string> SplitScript(const std::string& sql) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  for (char c : sql) {
    if (c == '\'') quoted = !quoted;
    if (c == ';' && !quoted) {
      if (cur.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (cur.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(cur);
  return out;
}

// A number delivered as text: digits with an optional sign, or a decimal figure, whose whole
// part is taken. False for anything else.
bool ParseNumber(const std::string& text, int64_t& out) {
  const size_t a = text.find_first_not_of(' ');
  if (a == std::string::npos) return false;
  const std::string s = text.substr(a, text.find_last_not_of(' ') - a + 1);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno == 0 && end != nullptr && *end == '\0') {
    out = v;
    return true;
  }
  const double d = std::strtod(s.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(d) || std::fabs(d) > 9.2e18) return false;
  out = static_cast<int64_t>(d);
  return true;
}

// State shared by a session and the cursors it opened (which may outlive it).
struct Shared {
  std::shared_ptr<EnvHandle> env;
  Engine engine = Engine::Other;
  Texts texts = Texts::Record;
  bool compat = false;  // texts of record on PostgreSQL with the Oracle-compatibility extension
  std::vector<std::unique_ptr<Conn>> pool;
  ErrorDetail last;
  bool lost = false;  // the main connection failed as gone: every later call fails so

  int Fail(int code, const std::string& message) { return SetError(last, code, message); }
  int Fail(SQLSMALLINT type, SQLHANDLE h) {
    const Failure f = Diag(type, h);
    const int code = odbc::Translate(engine, f);
    if (code == kLostConnection) lost = true;
    return SetError(last, code, f.message, f.native, f.sqlstate);
  }
  const odbc::Text& Text(Op op) const { return odbc::Statement(texts, op, compat); }
};

// Parameter values of one execution, kept until it has run.
struct Params {
  struct Value {
    std::string text;
    SQLBIGINT num = 0;
    SQLLEN ind = 0;
    bool is_int = false;
  };
  std::vector<Value> values;
};

// Converts the inputs as the session's texts take them (checked and converted by the shared
// core): dates go to the texts of record as they stand ('yyyymmdd', read by their TO_Date) and
// to the native texts as 'YYYY-MM-DD HH:MM:SS'; an empty text is NULL.
int ToParams(Shared& sh, Op op, const std::vector<Bind>& in, Params& out) {
  std::vector<Value> values;
  const int rc = BindValues(op, in, values, sh.last);
  if (rc != kOk) return rc;
  if (sh.texts == Texts::Record)
    for (size_t i = 0; i < in.size(); ++i)
      if (in[i].kind == Bind::Kind::Date || in[i].kind == Bind::Kind::DateTime)
        values[i].text = in[i].text;
  if (sh.texts == Texts::Postgres)
    for (Value& v : Pg_DerivedValues(op, in)) values.push_back(std::move(v));
  const odbc::Text& text = sh.Text(op);
  out.values.clear();
  out.values.reserve(text.binds.size());
  for (int index : text.binds) {
    if (index < 0 || static_cast<size_t>(index) >= values.size())
      return sh.Fail(kInternal, std::string(Op_Info(op).name) + ": the text takes more values");
    const Value& v = values[static_cast<size_t>(index)];
    Params::Value p;
    p.is_int = v.is_int;
    p.num = v.num;
    p.text = v.text;
    p.ind = v.null ? SQL_NULL_DATA : v.is_int ? 0 : static_cast<SQLLEN>(v.text.size());
    out.values.push_back(std::move(p));
  }
  return kOk;
}

int BindParams(Shared& sh, SQLHSTMT st, Params& p) {
  SQLFreeStmt(st, SQL_RESET_PARAMS);
  for (size_t i = 0; i < p.values.size(); ++i) {
    Params::Value& v = p.values[i];
    const auto pos = static_cast<SQLUSMALLINT>(i + 1);
    SQLRETURN rc;
    if (v.is_int) {
      rc = SQLBindParameter(st, pos, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v.num, 0,
                            &v.ind);
    } else {
      const SQLULEN size = v.text.empty() ? 1 : v.text.size();
      rc = SQLBindParameter(st, pos, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size, 0,
                            v.text.data(), static_cast<SQLLEN>(v.text.size()), &v.ind);
    }
    if (!Ok(rc)) return sh.Fail(SQL_HANDLE_STMT, st);
  }
  return kOk;
}

// The statement for `op` on `c`, prepared on its first use (so that a missing table fails only
// the statements that need it).
int Prepared(Shared& sh, Conn& c, Op op, SQLHSTMT& out) {
  SQLHSTMT& slot = c.stmts[static_cast<size_t>(op)];
  if (slot == SQL_NULL_HSTMT) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return sh.Fail(SQL_HANDLE_DBC, c.h);
    // Oracle has no lock wait of its own: a write's wait ends with the statement's time limit.
    if (Op_IsWrite(op) && (sh.engine == Engine::Oracle || sh.engine == Engine::Other)) {
      const SQLULEN seconds = static_cast<SQLULEN>(std::max(1, (g_lock_wait_ms + 999) / 1000));
      SQLSetStmtAttr(st, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
    }
    std::string sql = sh.Text(op).sql;
    if (!Ok(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS))) {
      const int rc = sh.Fail(SQL_HANDLE_STMT, st);
      SQLFreeHandle(SQL_HANDLE_STMT, st);
      return rc;
    }
    slot = st;
  }
  out = slot;
  return kOk;
}

// The text of column `col` (1-based) of the current row; `null` set for NULL.
int GetText(Shared& sh, SQLHSTMT st, SQLUSMALLINT col, std::string& out, bool& null) {
  out.clear();
  null = false;
  char buf[512];
  for (;;) {
    SQLLEN ind = 0;
    const SQLRETURN rc = SQLGetData(st, col, SQL_C_CHAR, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) return kOk;
    if (!Ok(rc)) return sh.Fail(SQL_HANDLE_STMT, st);
    if (ind == SQL_NULL_DATA) {
      null = true;
      return kOk;
    }
    const bool more = ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf);
    out.append(buf, more ? sizeof buf - 1 : static_cast<size_t>(ind));
    if (!more) return kOk;
  }
}

// An integer as SQLite writes one: an optional '-', then digits without a leading zero. SQLite's
// driver reports expressions (count(*), PRAGMA values) as texts.
bool CanonicalInteger(const std::string& s) {
  const size_t d = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() <= d || s.size() - d > 18 || (s[d] == '0' && s.size() > d + 1)) return false;
  for (size_t i = d; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// A stored SQLite date 'YYYY-MM-DD' with an optional ' HH:MM:SS'.
bool StoredDateForm(const std::string& s) {
  static const char kForm[] = "0000-00-00 00:00:00";
  if (s.size() != 10 && s.size() != 19) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (kForm[i] == '0' ? (s[i] < '0' || s[i] > '9') : s[i] != kForm[i]) return false;
  return true;
}

// The current row of `st` as the job's outputs (client/statements.h). Only SQLite's
// texts select stored dates; the others deliver them formatted by the statement.
int ReadRow(Shared& sh, SQLHSTMT st, const char* outputs, Row& row) {
  const bool stored_dates = sh.texts == Texts::Sqlite;
  const size_t n = std::strlen(outputs);
  Row out(n);
  for (size_t i = 0; i < n; ++i) {
    Cell& cell = out[i];
    std::string text;
    bool null = false;
    const int rc = GetText(sh, st, static_cast<SQLUSMALLINT>(i + 1), text, null);
    if (rc != kOk) return rc;
    if (null) continue;
    cell.null = false;
    switch (outputs[i]) {
      case 'I':
        cell.is_int = true;
        if (!ParseNumber(text, cell.num))
          return sh.Fail(kInvalidNumber, "stored value '" + text + "' is not a number");
        break;
      case 'D':
      case 'H':
        if (!stored_dates) {
          cell.text = std::move(text);
          break;
        }
        if (!StoredDateForm(text))
          return sh.Fail(kBadDateFormat,
                         "stored date '" + text + "' is not in the form YYYY-MM-DD HH:MM:SS");
        cell.text = outputs[i] == 'D' ? text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2)
                    : text.size() == 19
                        ? text.substr(11, 2) + text.substr(14, 2) + text.substr(17, 2)
                        : "000000";
        break;
      default: cell.text = std::move(text);
    }
  }
  row = std::move(out);
  return kOk;
}

int ExecDirect(Shared& sh, Conn& c, const std::string& sql) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return sh.Fail(SQL_HANDLE_DBC, c.h);
  std::string text = sql;
  const SQLRETURN rc = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  const int code = Ok(rc) || rc == SQL_NO_DATA ? kOk : sh.Fail(SQL_HANDLE_STMT, st);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return code;
}

int EndTran(Shared& sh, Conn& c, SQLSMALLINT how) {
  if (!Ok(SQLEndTran(SQL_HANDLE_DBC, c.h, how))) return sh.Fail(SQL_HANDLE_DBC, c.h);
  return kOk;
}

class OdbcCursor final : public Cursor {
 public:
  OdbcCursor(std::shared_ptr<Shared> sh, Conn* conn, SQLHSTMT st, const char* outputs)
      : sh_(std::move(sh)), conn_(conn), st_(st), outputs_(outputs) {}
  ~OdbcCursor() override { Release(); }
  int Fetch(Row& row) override {
    if (conn_ == nullptr) return kNoData;
    const SQLRETURN rc = SQLFetch(st_);
    if (rc == SQL_NO_DATA) {
      Release();
      return kNoData;
    }
    if (!Ok(rc)) {
      const int code = sh_->Fail(SQL_HANDLE_STMT, st_);
      Release();
      return code;
    }
    return ReadRow(*sh_, st_, outputs_, row);
  }

 private:
  // After its last row (or a failure) a cursor delivers nothing more: its connection serves the
  // next cursor at once.
  void Release() {
    if (conn_ == nullptr) return;
    SQLFreeStmt(st_, SQL_CLOSE);
    if (!conn_->autocommit) SQLEndTran(SQL_HANDLE_DBC, conn_->h, SQL_ROLLBACK);
    conn_->in_use = false;
    conn_ = nullptr;
  }

  std::shared_ptr<Shared> sh_;
  Conn* conn_;  // owned by sh_->pool; nullptr once released
  SQLHSTMT st_;
  const char* outputs_;
};

class OdbcSession final : public Session, public SessionTools {
 public:
  OdbcSession(std::shared_ptr<Shared> sh, std::unique_ptr<Conn> main, std::string file)
      : sh_(std::move(sh)), main_(std::move(main)), file_(std::move(file)) {}

  int ExecDynamic(const std::string& text) override;
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override;
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override;
  int Write(Op op, const std::vector<Bind>& in) override;
  int Savepoint(const std::string& name) override;
  int RollbackTo(const std::string& name) override;
  int Commit() override;
  ErrorDetail LastError() const override { return sh_->last; }
  SessionTools* Tools() override { return this; }
  int ExecScript(const std::string& sql) override;
  int Query(const std::string& sql, std::vector<Row>& rows) override;
  // One prepared insert, executed per row, in one transaction of its own.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override;
  int Describe(Op op, int& inputs, int& columns) override;

 private:
  // How a failure of the next statement is undone.
  enum class Undo { Nothing, Rollback, ToSavepoint, Guard };

  // Opens the transaction for work that must wait for a commit.
  int BeginWork() {
    if (!main_->SetAutocommit(false)) return sh_->Fail(SQL_HANDLE_DBC, main_->h);
    return kOk;
  }
  // Brings the main connection into the state for the next statement and says how to undo it.
  int Prepare(bool write, Undo& undo);
  // Ends a statement: keeps it on success (or 1403), undoes it on failure. Returns `rc`.
  int Finish(Undo undo, int rc);
  // Back to the state with nothing pending.
  void Reset() {
    savepoints_.clear();
    dirty_ = fresh_ = wrote_ = false;
    main_->SetAutocommit(true);
  }
  int RunMain(Op op, const std::vector<Bind>& in, bool write, SQLHSTMT& st, Undo& undo);
  int SwitchPostgres(const std::string& name);

  std::shared_ptr<Shared> sh_;
  std::unique_ptr<Conn> main_;
  std::string file_;  // SQLite: the database file of the data source
  struct Mark {
    std::string name;
    bool wrote_before;  // a successful write was pending when it was set
  };
  std::vector<Mark> savepoints_;  // the job's savepoints in the open transaction
  bool dirty_ = false;            // a write or a savepoint is pending
  bool wrote_ = false;            // a successful write is pending
  bool fresh_ = false;  // nothing has run since the last savepoint was set or rolled back to
};

int OdbcSession::Prepare(bool write, Undo& undo) {
  undo = Undo::Nothing;
  if (sh_->lost) return sh_->Fail(kLostConnection, "the connection to the server was lost");
  if (write || dirty_) {
    const int rc = BeginWork();
    if (rc != kOk) return rc;
  }
  if (!dirty_) {
    // Nothing to keep: a failure is undone by rolling the transaction back, if one is open.
    undo = write ? Undo::Rollback : Undo::Nothing;
    return kOk;
  }
  if (sh_->engine != Engine::Postgres) return kOk;  // the statement undoes itself
  if (fresh_ && !savepoints_.empty()) {
    undo = Undo::ToSavepoint;
    return kOk;
  }
  const int rc = ExecDirect(*sh_, *main_, "SAVEPOINT pvk_statement");
  if (rc != kOk) return rc;
  undo = Undo::Guard;
  return kOk;
}

int OdbcSession::Finish(Undo undo, int rc) {
  if (rc == kOk || rc == kNoData) {
    if (undo == Undo::Guard) ExecDirect(*sh_, *main_, "RELEASE SAVEPOINT pvk_statement");
    fresh_ = false;
    if (undo == Undo::Rollback && rc == kNoData) {
      // A write outside any savepoint that changed nothing: nothing is pending.
      const ErrorDetail keep = sh_->last;
      EndTran(*sh_, *main_, SQL_ROLLBACK);
      Reset();
      sh_->last = keep;
    }
    return rc;
  }
  const ErrorDetail keep = sh_->last;  // the statement's failure, not the undo's
  switch (undo) {
    case Undo::Nothing: break;
    case Undo::Rollback:
      EndTran(*sh_, *main_, SQL_ROLLBACK);
      Reset();
      break;
    case Undo::ToSavepoint:
      ExecDirect(*sh_, *main_, "ROLLBACK TO SAVEPOINT " + savepoints_.back().name);
      break;
    case Undo::Guard:
      ExecDirect(*sh_, *main_, "ROLLBACK TO SAVEPOINT pvk_statement");
      ExecDirect(*sh_, *main_, "RELEASE SAVEPOINT pvk_statement");
      break;
  }
  sh_->last = keep;
  return rc;
}

int OdbcSession::RunMain(Op op, const std::vector<Bind>& in, bool write, SQLHSTMT& st, Undo& undo) {
  Params params;
  int rc = ToParams(*sh_, op, in, params);
  if (rc != kOk) return rc;
  rc = Prepare(write, undo);
  if (rc != kOk) return rc;
  rc = Prepared(*sh_, *main_, op, st);
  if (rc == kOk) rc = BindParams(*sh_, st, params);
  if (rc != kOk) return Finish(undo, rc);
  const SQLRETURN x = SQLExecute(st);
  if (!Ok(x) && x != SQL_NO_DATA) {
    rc = sh_->Fail(SQL_HANDLE_STMT, st);  // before any other call clears the diagnostics
    SQLFreeStmt(st, SQL_CLOSE);
  }
  SQLFreeStmt(st, SQL_RESET_PARAMS);  // the values live in `params` only until here
  if (rc != kOk) return Finish(undo, rc);
  if (x == SQL_NO_DATA) return write && Op_Info(op).kind == OpKind::UpdateOrDelete ? kNoData : kOk;
  return kOk;
}

int OdbcSession::SelectOne(Op op, const std::vector<Bind>& in, Row& out) {
  if (Op_Info(op).kind != OpKind::Select)
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a single-row select");
  SQLHSTMT st = SQL_NULL_HSTMT;
  Undo undo;
  int rc = RunMain(op, in, false, st, undo);
  if (rc != kOk) return rc;
  Row row;
  SQLRETURN f = SQLFetch(st);
  if (f == SQL_NO_DATA) {
    rc = kNoData;  // no failure: the detail of the last one stays
  } else if (!Ok(f)) {
    rc = sh_->Fail(SQL_HANDLE_STMT, st);
  } else {
    rc = ReadRow(*sh_, st, Op_Info(op).out, row);
    if (rc == kOk) {
      f = SQLFetch(st);
      if (Ok(f))
        rc = sh_->Fail(kTooManyRows, "single-row select found more than one row");
      else if (f != SQL_NO_DATA)
        rc = sh_->Fail(SQL_HANDLE_STMT, st);
    }
  }
  SQLFreeStmt(st, SQL_CLOSE);
  rc = Finish(undo, rc);
  if (rc == kOk) out = std::move(row);
  return rc;
}

int OdbcSession::Write(Op op, const std::vector<Bind>& in) {
  if (!Op_IsWrite(op))
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a write");
  SQLHSTMT st = SQL_NULL_HSTMT;
  Undo undo;
  int rc = RunMain(op, in, true, st, undo);
  if (rc == kOk) {
    SQLLEN n = -1;
    SQLRowCount(st, &n);
    SQLFreeStmt(st, SQL_CLOSE);
    if (n == 0 && Op_Info(op).kind == OpKind::UpdateOrDelete) rc = kNoData;
  }
  if (rc == kOk || rc == kNoData) rc = Finish(undo, rc);
  if (rc == kOk) dirty_ = wrote_ = true;
  return rc;
}

int OdbcSession::Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
  out.reset();
  if (Op_Info(op).kind != OpKind::Cursor)
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a cursor");
  Conn* conn = nullptr;
  for (auto& c : sh_->pool)
    if (!c->in_use) conn = c.get();
  if (conn == nullptr)
    return sh_->Fail(kTooManyCursors,
                     "more than " + std::to_string(kCursorConns) + " cursors open at a time");
  Params params;
  int rc = ToParams(*sh_, op, in, params);
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (rc == kOk) rc = Prepared(*sh_, *conn, op, st);
  if (rc == kOk) rc = BindParams(*sh_, st, params);
  if (rc == kOk) {
    const SQLRETURN x = SQLExecute(st);
    if (!Ok(x) && x != SQL_NO_DATA) {
      rc = sh_->Fail(SQL_HANDLE_STMT, st);
      SQLFreeStmt(st, SQL_CLOSE);
    }
    SQLFreeStmt(st, SQL_RESET_PARAMS);
  }
  if (rc != kOk) {
    if (!conn->autocommit) {
      const ErrorDetail keep = sh_->last;
      EndTran(*sh_, *conn, SQL_ROLLBACK);
      sh_->last = keep;
    }
    return rc;
  }
  SQLSMALLINT cols = 0;
  SQLNumResultCols(st, &cols);
  if (static_cast<size_t>(cols) != Op_Width(Op_Info(op).out)) {
    SQLFreeStmt(st, SQL_CLOSE);
    return sh_->Fail(kInternal, "the query selects " + std::to_string(cols) + " columns");
  }
  conn->in_use = true;
  out = std::make_unique<OdbcCursor>(sh_, conn, st, Op_Info(op).out);
  return kOk;
}

int OdbcSession::Savepoint(const std::string& name) {
  if (!IsIdentifier(name)) return sh_->Fail(kInvalidSql, "bad savepoint name " + name);
  int rc = BeginWork();
  if (rc != kOk) return rc;
  // PostgreSQL keeps every savepoint of a name; setting one again releases the earlier one (and
  // those set after it), so that a long run of failed writes does not pile them up.
  for (size_t i = 0; i < savepoints_.size(); ++i) {
    if (Lower(savepoints_[i].name) != Lower(name)) continue;
    if (sh_->engine == Engine::Postgres) {
      rc = ExecDirect(*sh_, *main_, "RELEASE SAVEPOINT " + savepoints_[i].name);
      if (rc != kOk) return rc;
      savepoints_.resize(i);
    }
    break;
  }
  rc = ExecDirect(*sh_, *main_, "SAVEPOINT " + name);
  if (rc != kOk) return rc;
  savepoints_.push_back({name, wrote_});
  dirty_ = fresh_ = true;
  return kOk;
}

int OdbcSession::RollbackTo(const std::string& name) {
  size_t i = savepoints_.size();
  while (i > 0 && Lower(savepoints_[i - 1].name) != Lower(name)) --i;
  if (i == 0 || !IsIdentifier(name))
    return sh_->Fail(kNoSavepoint, "savepoint '" + name + "' is not set");
  --i;
  const int rc = ExecDirect(*sh_, *main_, "ROLLBACK TO SAVEPOINT " + name);
  if (rc != kOk) return rc;
  savepoints_.resize(i + 1);
  fresh_ = true;
  wrote_ = savepoints_.back().wrote_before;
  // Nothing written before the savepoint is left: the transaction ends, which changes no data,
  // so that the locks taken since are released at once (SQLite holds its write lock, and a read
  // snapshot that would keep a later write from its lock, until the transaction ends).
  if (!wrote_) {
    EndTran(*sh_, *main_, SQL_ROLLBACK);
    Reset();
  }
  return kOk;
}

int OdbcSession::Commit() {
  if (sh_->lost) return sh_->Fail(kLostConnection, "the connection to the server was lost");
  if (main_->autocommit) return kOk;  // nothing pending
  const int rc = EndTran(*sh_, *main_, SQL_COMMIT);
  if (rc != kOk) return rc;
  Reset();
  return kOk;
}

int OdbcSession::ExecDynamic(const std::string& text) {
  std::string name;
  const int parsed = ParseSchemaStatement(text, name, sh_->last);
  if (parsed != kOk) return parsed;
  switch (sh_->engine) {
    case Engine::Postgres: return SwitchPostgres(name);
    case Engine::Sqlite: {
      // The data source's database file is the schema.
      if (Lower(Stem(file_)) != Lower(name))
        return sh_->Fail(kNoSchema, "schema " + name + " is not the data source's database " +
                                        (file_.empty() ? "(in memory)" : file_));
      return kOk;
    }
    case Engine::Oracle:
    case Engine::Other: break;
  }
  int rc = ExecDirect(*sh_, *main_, text);  // the text as it stands, on every connection
  for (size_t i = 0; rc == kOk && i < sh_->pool.size(); ++i)
    rc = ExecDirect(*sh_, *sh_->pool[i], text);
  return rc;
}

int OdbcSession::SwitchPostgres(const std::string& name) {
  const std::string folded = Lower(name);
  // The Oracle-compatibility functions come before the built-in ones of the same name.
  const std::string rest = sh_->compat ? ", oracle, pg_catalog" : "";
  const std::string sql =
      "select set_config('search_path', quote_ident(?) || ?, false)"
      " where exists (select 1 from pg_namespace where nspname = ?)";
  for (size_t i = 0; i <= sh_->pool.size(); ++i) {
    Conn& c = i == 0 ? *main_ : *sh_->pool[i - 1];
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return sh_->Fail(SQL_HANDLE_DBC, c.h);
    Params p;
    for (const std::string* v : {&folded, &rest, &folded}) {
      Params::Value value;
      value.text = *v;
      value.ind = static_cast<SQLLEN>(v->size());
      p.values.push_back(value);
    }
    int rc = BindParams(*sh_, st, p);
    std::string text = sql;
    if (rc == kOk && !Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)))
      rc = sh_->Fail(SQL_HANDLE_STMT, st);
    if (rc == kOk) {
      const SQLRETURN f = SQLFetch(st);
      if (f == SQL_NO_DATA)
        rc = sh_->Fail(kNoSchema, "schema \"" + folded + "\" does not exist");
      else if (!Ok(f))
        rc = sh_->Fail(SQL_HANDLE_STMT, st);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    // The setting outlasts the transaction only once it is committed.
    if (!c.autocommit && (i > 0 || !dirty_))
      EndTran(*sh_, c, rc == kOk ? SQL_COMMIT : SQL_ROLLBACK);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int OdbcSession::ExecScript(const std::string& sql) {
  Undo undo;
  int rc = Prepare(true, undo);
  if (rc != kOk) return rc;
  for (const std::string& part : SplitScript(sql)) {
    rc = ExecDirect(*sh_, *main_, part);
    if (rc != kOk) return Finish(undo, rc);
  }
  rc = Finish(undo, kOk);
  return Commit();
}

int OdbcSession::Query(const std::string& sql, std::vector<Row>& rows) {
  Undo undo;
  int rc = Prepare(false, undo);
  if (rc != kOk) return rc;
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, main_->h, &st)))
    return sh_->Fail(SQL_HANDLE_DBC, main_->h);
  std::string text = sql;
  std::vector<Row> all;
  if (!Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS))) {
    rc = sh_->Fail(SQL_HANDLE_STMT, st);
  } else {
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st, &cols);
    std::vector<bool> is_int(static_cast<size_t>(cols));
    for (SQLSMALLINT c = 1; c <= cols; ++c) {
      SQLSMALLINT type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(st, static_cast<SQLUSMALLINT>(c), nullptr, 0, nullptr, &type, &size, &digits,
                     &nullable);
      is_int[static_cast<size_t>(c - 1)] =
          type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_BIGINT ||
          type == SQL_TINYINT || ((type == SQL_NUMERIC || type == SQL_DECIMAL) && digits == 0);
    }
    SQLRETURN f;
    while (rc == kOk && Ok(f = SQLFetch(st))) {
      Row row(static_cast<size_t>(cols));
      for (SQLSMALLINT c = 0; rc == kOk && c < cols; ++c) {
        Cell& cell = row[static_cast<size_t>(c)];
        bool null = false;
        rc = GetText(*sh_, st, static_cast<SQLUSMALLINT>(c + 1), cell.text, null);
        cell.null = null;
        if (!null && (is_int[static_cast<size_t>(c)] ||
                      (sh_->engine == Engine::Sqlite && CanonicalInteger(cell.text))))
          cell.is_int = ParseNumber(cell.text, cell.num);
      }
      all.push_back(std::move(row));
    }
    if (rc == kOk && f != SQL_NO_DATA) rc = sh_->Fail(SQL_HANDLE_STMT, st);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  rc = Finish(undo, rc);
  if (rc == kOk) rows = std::move(all);
  return rc;
}

int OdbcSession::BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                            const std::vector<Row>& rows) {
  if (!IsIdentifier(table) || columns.empty())
    return sh_->Fail(kInvalidSql, "bad table name " + table);
  std::string sql = "INSERT INTO " + table + " (", marks;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!IsIdentifier(columns[i])) return sh_->Fail(kInvalidSql, "bad column name " + columns[i]);
    sql += (i ? "," : "") + columns[i];
    marks += i ? ",?" : "?";
  }
  sql += ") VALUES (" + marks + ")";
  if (dirty_) return sh_->Fail(kInternal, "a transaction is open");
  int rc = BeginWork();
  if (rc != kOk) return rc;
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, main_->h, &st)))
    return sh_->Fail(SQL_HANDLE_DBC, main_->h);
  if (!Ok(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
    rc = sh_->Fail(SQL_HANDLE_STMT, st);
  for (size_t r = 0; rc == kOk && r < rows.size(); ++r) {
    if (rows[r].size() != columns.size()) {
      rc = sh_->Fail(kInternal, "row of " + std::to_string(rows[r].size()) + " cells");
      break;
    }
    Params p;
    for (const Cell& c : rows[r]) {
      Params::Value v;
      v.is_int = c.is_int && !c.null;
      v.num = c.num;
      v.text = c.text;
      v.ind = c.null ? SQL_NULL_DATA : v.is_int ? 0 : static_cast<SQLLEN>(c.text.size());
      p.values.push_back(std::move(v));
    }
    rc = BindParams(*sh_, st, p);
    if (rc == kOk && !Ok(SQLExecute(st))) rc = sh_->Fail(SQL_HANDLE_STMT, st);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  if (rc == kOk) return Commit();
  const ErrorDetail keep = sh_->last;
  EndTran(*sh_, *main_, SQL_ROLLBACK);
  Reset();
  sh_->last = keep;
  return rc;
}

int OdbcSession::Describe(Op op, int& inputs, int& columns) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  int rc = Prepared(*sh_, *main_, op, st);
  if (rc != kOk) return rc;
  SQLSMALLINT params = 0, cols = 0;
  if (!Ok(SQLNumParams(st, &params)) || !Ok(SQLNumResultCols(st, &cols)))
    rc = sh_->Fail(SQL_HANDLE_STMT, st);
  if (!main_->autocommit && !dirty_) EndTran(*sh_, *main_, SQL_ROLLBACK);
  if (rc != kOk) return rc;
  const odbc::Text& text = sh_->Text(op);
  if (static_cast<size_t>(params) != text.binds.size())
    return sh_->Fail(kInternal, "the driver counts " + std::to_string(params) + " placeholders");
  // The statement's own inputs among the values the text binds (derived ones not counted).
  std::vector<bool> used(Op_Width(Op_Info(op).in), false);
  for (int i : text.binds)
    if (static_cast<size_t>(i) < used.size()) used[static_cast<size_t>(i)] = true;
  inputs = 0;
  for (bool u : used) inputs += u ? 1 : 0;
  columns = cols;
  return kOk;
}

// Driver options of the connections per engine: PostgreSQL's driver does nothing itself on a
// failed statement, and streams cursors only through a server-side cursor; SQLite's driver
// streams only with its step interface and in autocommit mode, and must not create a missing
// database file.
std::string Extra(Engine e, bool cursor) {
  switch (e) {
    case Engine::Postgres:
      return cursor ? ";Protocol=7.4-0;UseDeclareFetch=1;Fetch=256"
                    : ";Protocol=7.4-0;UseDeclareFetch=0";
    case Engine::Sqlite: return ";StepAPI=1;NoCreat=1;Timeout=" + std::to_string(g_lock_wait_ms);
    default: return {};
  }
}

// Settings of a fresh connection that the job relies on, in autocommit mode so that they last.
int Setup(Shared& sh, Conn& c, bool cursor) {
  int rc = kOk;
  switch (sh.engine) {
    case Engine::Postgres:
      rc = ExecDirect(sh, c, "SET synchronous_commit TO on");
      if (rc == kOk) rc = ExecDirect(sh, c, "SET lock_timeout = " + std::to_string(g_lock_wait_ms));
      break;
    case Engine::Sqlite:
      if (!cursor) {
        // Readers beside the writer need the write-ahead log; commits are durable.
        rc = ExecDirect(sh, c, "PRAGMA journal_mode=WAL");
        if (rc == kOk) rc = ExecDirect(sh, c, "PRAGMA synchronous=FULL");
      }
      break;
    default: break;
  }
  if (rc != kOk) return rc;
  // The cursors' connections: PostgreSQL's server-side cursors need a transaction, SQLite's
  // driver streams only in autocommit mode.
  if (cursor && sh.engine != Engine::Sqlite && !c.SetAutocommit(false))
    return sh.Fail(SQL_HANDLE_DBC, c.h);
  return kOk;
}

// The database file of a SQLite data source ("" in memory).
std::string SqliteFile(Shared& sh, Conn& c) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  std::string file;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return file;
  char sql[] = "PRAGMA database_list";
  if (Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(sql), SQL_NTS))) {
    while (Ok(SQLFetch(st))) {
      std::string name;
      bool null = false;
      GetText(sh, st, 2, name, null);
      if (name != "main") continue;
      GetText(sh, st, 3, file, null);
      break;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return file;
}

struct Opened {
  std::shared_ptr<Shared> shared;
  std::unique_ptr<Conn> main;
};

// Logs on, finds the engine and, with `cursors`, opens the cursors' connections too.
int OpenAll(const std::string& user, const std::string& password, const std::string& net,
            bool cursors, Opened& out, Failure& f) {
  odbc::Target t;
  int rc = odbc::ParseNet(net, t);
  if (rc != kOk) {
    f = Failure{"", 0, "NET8 names no data source, or holds credentials of its own"};
    return rc;
  }
  auto sh = std::make_shared<Shared>();
  sh->env = std::make_shared<EnvHandle>();
  std::unique_ptr<Conn> main;
  rc = Connect(sh->env, t, user, password, LooksSqlite(t) ? ";NoCreat=1" : "", main, f);
  if (rc != kOk) return rc;
  char name[128] = {0};
  SQLSMALLINT len = 0;
  SQLGetInfo(main->h, SQL_DBMS_NAME, name, sizeof name, &len);
  sh->engine = odbc::EngineOf(name);
  sh->texts = sh->engine == Engine::Postgres ? Texts::Postgres
              : sh->engine == Engine::Sqlite ? Texts::Sqlite
                                             : Texts::Record;
  // Test-only: a data source may ask for the texts of record on a PostgreSQL server with the
  // Oracle-compatibility extension.
  if (sh->engine == Engine::Postgres && Lower(DsnAttribute(t.dsn, "ParvekTexts")) == "record") {
    sh->texts = Texts::Record;
    sh->compat = true;
  }
  const std::string extra = Extra(sh->engine, false);
  if (!extra.empty()) {
    main.reset();
    rc = Connect(sh->env, t, user, password, extra, main, f);
    if (rc != kOk) return rc;
  }
  rc = Setup(*sh, *main, false);
  for (size_t i = 0; rc == kOk && cursors && i < kCursorConns; ++i) {
    std::unique_ptr<Conn> c;
    rc = Connect(sh->env, t, user, password, Extra(sh->engine, true), c, f);
    if (rc == kOk) rc = Setup(*sh, *c, true);
    if (rc == kOk) sh->pool.push_back(std::move(c));
  }
  if (rc != kOk) {
    if (f.message.empty()) f = Failure{sh->last.sqlstate, sh->last.native, sh->last.message};
    return rc;
  }
  out.shared = std::move(sh);
  out.main = std::move(main);
  return kOk;
}

}  // namespace

void OdbcSetLockWaitMs(int ms) { g_lock_wait_ms = ms; }

bool OdbcHasDataSource(const std::string& name) {
  if (name.empty()) return false;
  EnvHandle env;
  if (env.h == SQL_NULL_HENV) return false;
  SQLCHAR dsn[SQL_MAX_DSN_LENGTH + 1];
  SQLCHAR desc[256];
  SQLSMALLINT dl = 0, de = 0;
  SQLUSMALLINT dir = SQL_FETCH_FIRST;
  while (Ok(SQLDataSources(env.h, dir, dsn, sizeof dsn, &dl, desc, sizeof desc, &de))) {
    if (name == reinterpret_cast<const char*>(dsn)) return true;
    dir = SQL_FETCH_NEXT;
  }
  return false;
}

int OdbcLogon(const std::string& user, const std::string& password, const std::string& net,
              std::unique_ptr<Session>& out) {
  Opened o;
  Failure f;
  const int rc = OpenAll(user, password, net, true, o, f);
  if (rc != kOk) return rc;
  std::string file = o.shared->engine == Engine::Sqlite ? SqliteFile(*o.shared, *o.main) : "";
  out = std::make_unique<OdbcSession>(std::move(o.shared), std::move(o.main), std::move(file));
  return kOk;
}

int OdbcCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                     const std::string& schema, std::string& why) {
  if (!IsIdentifier(schema)) {
    why = "schema name '" + schema + "' is not an identifier";
    return kBadSchemaName;
  }
  odbc::Target t;
  if (odbc::ParseNet(net, t) != kOk) {
    why = "NET8 names no data source, or holds credentials of its own";
    return kBadNetName;
  }
  // A SQLite data source may name a file that does not exist yet: it is made here.
  const bool may_create_file = LooksSqlite(t);
  // A SQLite file is named like its schema; nothing is made under another name.
  const std::string named = may_create_file ? TargetAttribute(t, "Database") : "";
  if (!named.empty() && Lower(Stem(named)) != Lower(schema)) {
    why = "the data source's database is " + named + ", not schema " + schema;
    return kNoSchema;
  }
  Opened o;
  Failure f;
  int rc = kOk;
  if (may_create_file) {
    auto sh = std::make_shared<Shared>();
    sh->env = std::make_shared<EnvHandle>();
    rc = Connect(sh->env, t, user, password, "", o.main, f);
    if (rc == kOk) {
      char name[128] = {0};
      SQLGetInfo(o.main->h, SQL_DBMS_NAME, name, sizeof name, nullptr);
      sh->engine = odbc::EngineOf(name);
      o.shared = sh;
    }
  } else {
    rc = OpenAll(user, password, net, false, o, f);
  }
  if (rc != kOk) {
    why = "logon failed: " + f.message;
    return rc;
  }
  Shared& sh = *o.shared;
  Conn& c = *o.main;
  std::vector<std::string> ddl;
  if (sh.engine == Engine::Postgres) {
    const std::string q = "\"" + Lower(schema) + "\"";
    ddl = {"CREATE SCHEMA " + q, "SET LOCAL search_path TO " + q};
    for (auto& s : SplitScript(kPgSchemaDdl)) ddl.push_back(s);
  } else if (sh.engine == Engine::Sqlite) {
    const std::string file = SqliteFile(sh, c);
    if (Lower(Stem(file)) != Lower(schema)) {
      why = "the data source's database is " + file + ", not schema " + schema;
      return kNoSchema;
    }
    rc = ExecDirect(sh, c, "PRAGMA journal_mode=WAL");
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st);
    char count[] = "select count(*) from sqlite_master where type = 'table'";
    std::string n;
    bool null = false;
    if (rc == kOk && Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(count), SQL_NTS)) &&
        Ok(SQLFetch(st)))
      GetText(sh, st, 1, n, null);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (rc == kOk && n != "0") {
      why = "schema " + schema + " exists already (" + file + " holds tables); it is not changed";
      return kSchemaExists;
    }
    for (auto& s : SplitScript(sqlite::kSchemaDdl)) ddl.push_back(s);
  } else {
    why = "schemas on this server are made by its administrators (see the README)";
    return kNoPrivilege;
  }
  if (!c.SetAutocommit(false)) return sh.Fail(SQL_HANDLE_DBC, c.h);
  for (const std::string& s : ddl) {
    rc = ExecDirect(sh, c, s);
    if (rc != kOk) break;
  }
  if (rc == kOk) rc = EndTran(sh, c, SQL_COMMIT);
  if (rc != kOk) {
    if (sh.last.sqlstate == "42P06") {
      why = "schema " + schema + " exists already; it is not changed";
      return kSchemaExists;
    }
    why = "cannot create the tables: " + sh.last.message;
    return rc;
  }
  return kOk;
}

}  // namespace pvc
