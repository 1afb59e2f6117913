// One small dialect per server behind an ODBC driver: which texts it takes, the options and
// settings of its connections, how its failures and stored dates read, and its schema switch.
// Where the native backend of the same engine does the same, both share one piece of code
// (SQLite's error mapping and stored-date decoding, PostgreSQL's texts and SQLSTATE table).
// Free of ODBC headers. Included only by client/odbc_*.cpp and the backend's tests.
#pragma once

#include <string>
#include <vector>

#include "client/odbc/internal.h"

namespace pvc::odbc {

struct Dialect {
  Engine engine = Engine::Other;
  Texts texts = Texts::Record;
  bool compat = false;  // texts of record on PostgreSQL with the Oracle-compatibility extension

  static Dialect Of(Engine e);

  // The text this session sends for `op`.
  const Text& Statement(Op op) const { return odbc::Statement(texts, op, compat); }
  // The key-paged form of cursor `op` (its select list with the key last, then the key's bound
  // and the page's limit as its last two values), or nullptr when this dialect does not page it.
  const Text* Paged(Op op) const;
  // Whether the rows of a cursor executed on the session's one connection are those that matched
  // at its execute, whatever the session commits later: the server's read consistency (Oracle),
  // or a driver that reads the result whole at its execute (the options below).
  bool ReadsAsOfOpen() const { return engine != Engine::Other; }
  // Whether a failed statement aborts the whole transaction, so that every statement of a
  // transaction that holds work must run under a guard savepoint of its own.
  bool FailureAbortsTransaction() const { return engine == Engine::Postgres; }
  // Whether setting a savepoint of a name again leaves the earlier one set (it is then released
  // first, so that failed writes do not pile them up).
  bool KeepsEverySavepoint() const { return engine == Engine::Postgres; }
  // Whether a write waits for another program's lock only as long as its statement's time limit.
  bool LockWaitIsQueryTimeout() const {
    return engine == Engine::Oracle || engine == Engine::Other;
  }

  // Driver options of a connection: the session's one connection, or with `cursor` a cursor
  // connection of the fallback.
  std::string Options(bool cursor, int lock_wait_ms) const;
  // Settings the job relies on, run once on a fresh connection in autocommit mode.
  std::vector<std::string> Setup(bool cursor, bool one_session, int lock_wait_ms) const;

  // The job's code for a failed statement.
  int Translate(const Failure& f) const { return odbc::Translate(engine, f); }
  // Output `kind` of client/statements.h from the text the driver delivered. 0, or -1722 / -1861
  // with `err` set.
  int Decode(char kind, std::string text, Cell& cell, ErrorDetail& err) const;
};

// The engine a driver serves, from its name before the logon (Engine::Other when not known).
Engine EngineOfDriver(const std::string& driver);

// The schema switch on PostgreSQL: a statement taking the folded name, the path's rest and the
// folded name again, that returns one row when the schema exists and has been made current.
struct PgSwitch {
  std::string sql;
  std::string folded;
  std::string rest;
};
PgSwitch PostgresSwitch(const std::string& name, bool compat);
// The schema switch on SQLite: the data source's database file is the schema. 0, or -1435.
int SqliteSwitch(const std::string& file, const std::string& name, ErrorDetail& err);
// A number delivered as text: digits with an optional sign, or a decimal figure, whose whole
// part is taken. False for anything else.
bool ParseNumber(const std::string& text, int64_t& out);
// A file's name without its directory and its extension.
std::string Stem(const std::string& path);

}  // namespace pvc::odbc
