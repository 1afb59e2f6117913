// Inside the ODBC backend: the statement texts per dialect, the NET8 forms it serves and the
// translation of driver failures into the job's SQL codes. Free of ODBC headers, so that the
// engine-independent parts can be tested without a driver. Included only by client/odbc/*.cpp
// and the backend's tests.
#pragma once

#include <string>
#include <vector>

#include "client/core/session.h"
#include "run/ground/DatabaseAddress.h"

namespace pvc::odbc {

// The server behind the driver, by its SQL_DBMS_NAME.
enum class Engine { Oracle, Postgres, Sqlite, Other };
Engine EngineOf(const std::string& dbms_name);

// Which statement texts a session sends: the texts of record, or the native backends' texts of
// that engine (PostgreSQL, SQLite).
enum class Texts { Record, Postgres, Sqlite };

// One statement as sent through ODBC: its text with `?` placeholders, and for each `?` in
// order the index of the value it takes: an input of the Op (client/core/statements.h, in binding
// order), or after them a value the PostgreSQL text derives (Pg_DerivedValues).
struct Text {
  std::string sql;
  std::vector<int> binds;
};

// The text of record made sendable: the INTO list removed, and every placeholder (`:bN`, or
// `:bN:bM` with its indicator) replaced by `?`, which takes the next input in binding order.
Text FromRecord(const std::string& record);
// A native text with numbered placeholders (`?N` or `$N`) as `?` placeholders in order.
Text FromNumbered(const std::string& text, char sigil);
// A text of record as PostgreSQL with the Oracle-compatibility extension takes it: `sysdate`
// called as `sysdate()`, and the one-argument `TO_Date(BchVon)` (a date through the session's
// date format, which that extension does not take) as `trunc(BchVon)`.
std::string ForOracleCompat(const std::string& text);

// The statement `op` in `texts`, or in the texts of record with the two substitutions above when
// `oracle_compat`.
const Text& Statement(Texts texts, Op op, bool oracle_compat = false);

// ---- NET8 ------------------------------------------------------------------------------------

inline constexpr std::string_view kPrefix = kNet8Odbc;

struct Target {
  std::string dsn;      // odbc:DSN, or a bare data source name
  std::string connect;  // odbc: followed by a connection string (it holds '=')
};
// Splits a NET8 value of the odbc: forms, or takes a bare name as a data source name.
// -12154 when it names nothing (an empty name) or its connection string holds credentials of
// its own (UID, PWD and their spelled-out variants), which belong in LOGIN and PASS only.
int ParseNet(const std::string& net, Target& out);
// The value of `key` (any case) in a connection string, without its braces; "" when absent.
std::string Attribute(const std::string& connect, const std::string& key);
// `value` as a connection-string value: in braces, with every '}' doubled.
std::string Braced(const std::string& value);
// The connection string for `t` with the credentials and the driver options `extra` (";k=v..."
// or empty) added. For a data source this is "DSN=name" followed by them. `engine` is the one
// the driver is known to serve: PostgreSQL's driver takes a user name that needs quoting only
// through the client library's options.
std::string ConnectString(const Target& t, const std::string& user, const std::string& password,
                          const std::string& extra, Engine engine = Engine::Other);

// ---- codes -----------------------------------------------------------------------------------

struct Failure {
  std::string sqlstate;  // five characters
  int native = 0;
  std::string message;
};
// The job's code for a failed statement on `engine`.
int Translate(Engine engine, const Failure& f);
// The job's code for a failed logon (the engine is not known yet).
int TranslateLogon(const Failure& f);

// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret);

}  // namespace pvc::odbc
