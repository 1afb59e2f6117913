// The ODBC backend's driver plumbing: handles, logon, diagnostics, parameters and columns. It
// knows nothing of engines or of the job's codes: a failed call leaves the driver's diagnostic in
// a Failure, which the dialect translates (client/odbc/dialect.h). Included only by
// client/odbc/*.cpp.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/odbc/internal.h"

namespace pvc::odbc {

inline bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The first diagnostic record of a handle, on one line.
Failure Diag(SQLSMALLINT type, SQLHANDLE h);

struct EnvHandle {
  SQLHENV h = SQL_NULL_HENV;
  EnvHandle();
  ~EnvHandle();
  EnvHandle(const EnvHandle&) = delete;
  EnvHandle& operator=(const EnvHandle&) = delete;
};

// A column bound to a buffer of its own: every fetch writes the row's value there as text.
struct Bound {
  // A longer value arrives cut to kBytes - 1: longer than any field of the job's records, so the
  // statement module finds it over-long all the same (a key fails its row, a text is cut).
  static constexpr size_t kBytes = 4096;
  char buf[kBytes];
  SQLLEN ind = 0;
};

// One statement handle prepared with one statement's text; `busy` while a cursor holds it. A
// query's columns are bound once, at its prepare.
struct Prepared {
  SQLHSTMT h = SQL_NULL_HSTMT;
  bool busy = false;
  std::vector<std::unique_ptr<Bound>> cols;
};
// Binds the first `n` columns of `p`'s statement to buffers of its own. True, or false with `f`.
bool BindColumns(Prepared& p, size_t n, Failure& f);
// The text of bound column `i` (from 0) of the current row; `null` set for NULL.
void BoundText(const Prepared& p, size_t i, std::string& out, bool& null);

// One connection (one logon, one database session) with the statements prepared on it, by
// Op and, for paged cursors, by Op again: a cursor keeps its statement handle while it is open,
// so that the job's two open booking cursors of the same Op each get one of their own.
struct Conn {
  std::shared_ptr<EnvHandle> env;  // outlives the connection
  SQLHDBC h = SQL_NULL_HDBC;
  std::array<std::deque<Prepared>, 2 * static_cast<size_t>(Op::kCount)> stmts;  // stable addresses
  // Plain statements without parameters (SAVEPOINT, RELEASE, ROLLBACK TO), prepared once.
  std::vector<std::pair<std::string, SQLHSTMT>> plain;
  bool autocommit = true;
  bool in_use = false;  // a cursor of the fallback runs on it

  explicit Conn(std::shared_ptr<EnvHandle> e);
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  ~Conn();  // rolls back what is pending, logs off (counted)
  bool SetAutocommit(bool on);
};

// Logs on once (counted as one logon and one session). DSN form without options: SQLConnect;
// otherwise a connection string with `options` (";k=v...") for a driver of `engine`. 0, or the
// logon's code with `f`.
int Connect(const std::shared_ptr<EnvHandle>& env, const Target& t, const std::string& user,
            const std::string& password, const std::string& options, Engine engine,
            std::unique_ptr<Conn>& out, Failure& f);

// The value of a target's attribute, from its connection string or its data source's definition.
std::string TargetAttribute(const Target& t, const char* key);
// The driver a target names, in lower case ("" when not known before the logon).
std::string DriverOf(const Target& t);

// Runs one text without parameters on a fresh statement handle. True on success (SQL_NO_DATA
// included); otherwise the diagnostic in `f`.
bool ExecDirect(Conn& c, const std::string& sql, Failure& f);
// Runs one text without parameters on a statement handle prepared for it once (at most a few
// such texts are kept per connection; the others run as ExecDirect does). True on success.
bool ExecPrepared(Conn& c, const std::string& sql, Failure& f);
// Commits or rolls back the connection's transaction. True on success, else `f`.
bool EndTran(Conn& c, SQLSMALLINT how, Failure& f);

// Parameter values of one execution, kept until it has run.
struct Params {
  struct Value {
    std::string text;
    SQLBIGINT num = 0;
    SQLLEN ind = 0;
    bool is_int = false;
  };
  std::vector<Value> values;
  void Add(const Value& v);  // takes `v` with its indicator set from its kind and nullness
  void AddCell(const Cell& c);
};
// Binds `p` to `st` as parameters 1..n. True on success, else `f`.
bool BindParams(SQLHSTMT st, Params& p, Failure& f);

// The text of column `col` (1-based) of the current row; `null` set for NULL. True on success.
bool GetText(SQLHSTMT st, SQLUSMALLINT col, std::string& out, bool& null, Failure& f);

// Splits a script at the semicolons outside literals; empty statements are dropped.
std::vector<std::string> SplitScript(const std::string& sql);
std::string Lower(const std::string& s);

}  // namespace pvc::odbc
