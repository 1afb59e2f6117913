// The ODBC backend's driver plumbing (client/odbc/driver.h).
#include "client/odbc/driver.h"

#include <odbcinst.h>

#include "client/core/codes.h"
#include "client/core/counters.h"
#include "client/core/session.h"

namespace pvc::odbc {
namespace {

constexpr int kLoginTimeoutS = 15;

// The value of `key` in data source `dsn`'s definition; "" when it has none.
std::string DsnAttribute(const std::string& dsn, const char* key) {
  if (dsn.empty()) return {};
  char buf[256] = {0};
  SQLGetPrivateProfileString(dsn.c_str(), key, "", buf, sizeof buf, "odbc.ini");
  return buf;
}

}  // namespace

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

EnvHandle::EnvHandle() {
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
    h = SQL_NULL_HENV;
    return;
  }
  SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

EnvHandle::~EnvHandle() {
  if (h != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, h);
}

Conn::Conn(std::shared_ptr<EnvHandle> e) : env(std::move(e)) {}

Conn::~Conn() {
  for (auto& [text, st] : plain) SQLFreeHandle(SQL_HANDLE_STMT, st);
  for (auto& slots : stmts)
    for (Prepared& p : slots)
      if (p.h != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, p.h);
  if (h == SQL_NULL_HDBC) return;
  SQLEndTran(SQL_HANDLE_DBC, h, SQL_ROLLBACK);
  SQLDisconnect(h);
  SQLFreeHandle(SQL_HANDLE_DBC, h);
  CountLogoff();
}

bool Conn::SetAutocommit(bool on) {
  if (autocommit == on) return true;
  const SQLULEN v = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
  if (!Ok(SQLSetConnectAttr(h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(v), 0)))
    return false;
  autocommit = on;
  return true;
}

int Connect(const std::shared_ptr<EnvHandle>& env, const Target& t, const std::string& user,
            const std::string& password, const std::string& options, Engine engine,
            std::unique_ptr<Conn>& out, Failure& f) {
  auto c = std::make_unique<Conn>(env);
  if (env->h == SQL_NULL_HENV || !Ok(SQLAllocHandle(SQL_HANDLE_DBC, env->h, &c->h))) {
    c->h = SQL_NULL_HDBC;
    f = Failure{"HY001", 0, "cannot allocate an ODBC connection handle"};
    return kInternal;
  }
  SQLSetConnectAttr(c->h, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kLoginTimeoutS)), 0);
  SQLRETURN rc;
  if (!t.dsn.empty() && options.empty()) {
    rc = SQLConnect(c->h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(t.dsn.c_str())), SQL_NTS,
                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(user.c_str())), SQL_NTS,
                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(password.c_str())), SQL_NTS);
  } else {
    std::string s = ConnectString(t, user, password, options, engine);
    rc = SQLDriverConnect(c->h, nullptr, reinterpret_cast<SQLCHAR*>(s.data()), SQL_NTS, nullptr, 0,
                          nullptr, SQL_DRIVER_NOPROMPT);
    Wipe(s);
  }
  if (!Ok(rc)) {
    f = Diag(SQL_HANDLE_DBC, c->h);
    SQLFreeHandle(SQL_HANDLE_DBC, c->h);
    c->h = SQL_NULL_HDBC;
    return TranslateLogon(f);
  }
  CountLogon();
  out = std::move(c);
  return kOk;
}

std::string TargetAttribute(const Target& t, const char* key) {
  return t.connect.empty() ? DsnAttribute(t.dsn, key) : Attribute(t.connect, key);
}

std::string DriverOf(const Target& t) {
  std::string driver = TargetAttribute(t, "Driver");
  if (driver.empty() && !t.connect.empty())
    driver = DsnAttribute(Attribute(t.connect, "DSN"), "Driver");
  return Lower(driver);
}

bool ExecDirect(Conn& c, const std::string& sql, Failure& f) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) {
    f = Diag(SQL_HANDLE_DBC, c.h);
    return false;
  }
  std::string text = sql;
  const SQLRETURN rc = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  const bool ok = Ok(rc) || rc == SQL_NO_DATA;
  if (!ok) f = Diag(SQL_HANDLE_STMT, st);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return ok;
}

bool ExecPrepared(Conn& c, const std::string& sql, Failure& f) {
  constexpr size_t kKept = 16;
  SQLHSTMT st = SQL_NULL_HSTMT;
  for (const auto& [text, h] : c.plain)
    if (text == sql) st = h;
  if (st == SQL_NULL_HSTMT) {
    if (c.plain.size() >= kKept) return ExecDirect(c, sql, f);
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) {
      f = Diag(SQL_HANDLE_DBC, c.h);
      return false;
    }
    std::string text = sql;
    if (!Ok(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS))) {
      f = Diag(SQL_HANDLE_STMT, st);
      SQLFreeHandle(SQL_HANDLE_STMT, st);
      return false;
    }
    c.plain.emplace_back(sql, st);
  }
  const SQLRETURN rc = SQLExecute(st);
  const bool ok = Ok(rc) || rc == SQL_NO_DATA;
  if (!ok) f = Diag(SQL_HANDLE_STMT, st);
  SQLFreeStmt(st, SQL_CLOSE);
  return ok;
}

bool EndTran(Conn& c, SQLSMALLINT how, Failure& f) {
  if (Ok(SQLEndTran(SQL_HANDLE_DBC, c.h, how))) return true;
  f = Diag(SQL_HANDLE_DBC, c.h);
  return false;
}

void Params::Add(const Value& v) {
  values.push_back(v);
  Value& p = values.back();
  if (p.ind != SQL_NULL_DATA) p.ind = p.is_int ? 0 : static_cast<SQLLEN>(p.text.size());
}

void Params::AddCell(const Cell& c) {
  Value v;
  v.is_int = c.is_int && !c.null;
  v.num = c.num;
  v.text = c.text;
  v.ind = c.null ? SQL_NULL_DATA : 0;
  Add(v);
}

bool BindParams(SQLHSTMT st, Params& p, Failure& f) {
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
    if (!Ok(rc)) {
      f = Diag(SQL_HANDLE_STMT, st);
      return false;
    }
  }
  return true;
}

bool BindColumns(Prepared& p, size_t n, Failure& f) {
  p.cols.clear();
  for (size_t i = 0; i < n; ++i) {
    p.cols.push_back(std::make_unique<Bound>());
    Bound& b = *p.cols.back();
    if (!Ok(SQLBindCol(p.h, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, b.buf,
                       static_cast<SQLLEN>(Bound::kBytes), &b.ind))) {
      f = Diag(SQL_HANDLE_STMT, p.h);
      return false;
    }
  }
  return true;
}

void BoundText(const Prepared& p, size_t i, std::string& out, bool& null) {
  const Bound& b = *p.cols[i];
  null = b.ind == SQL_NULL_DATA;
  size_t n = 0;
  if (b.ind == SQL_NO_TOTAL || b.ind >= static_cast<SQLLEN>(Bound::kBytes))
    n = Bound::kBytes - 1;  // cut, as the buffer holds it
  else if (b.ind > 0)
    n = static_cast<size_t>(b.ind);
  out.assign(b.buf, null ? 0 : n);
}

bool GetText(SQLHSTMT st, SQLUSMALLINT col, std::string& out, bool& null, Failure& f) {
  out.clear();
  null = false;
  char buf[512];
  for (;;) {
    SQLLEN ind = 0;
    const SQLRETURN rc = SQLGetData(st, col, SQL_C_CHAR, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) return true;
    if (!Ok(rc)) {
      f = Diag(SQL_HANDLE_STMT, st);
      return false;
    }
    if (ind == SQL_NULL_DATA) {
      null = true;
      return true;
    }
    const bool more = ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf);
    out.append(buf, more ? sizeof buf - 1 : static_cast<size_t>(ind));
    if (!more) return true;
  }
}

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

std::string Lower(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

}  // namespace pvc::odbc
