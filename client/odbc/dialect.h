// One small dialect per server behind an ODBC driver: which texts it takes, the options and
// settings of its connections, how its failures and stored dates read, its transaction traits,
// its schema switch and schema creation. The differences between engines are one row each of a
// table of traits (client/odbc/dialect.cpp), so that the session asks a trait, never the engine.
// Where the native backend of the same engine does the same, both take it from client/core
// (SQLite's error mapping and stored-date decoding, PostgreSQL's texts and SQLSTATE table, the
// engines' transaction traits). Free of ODBC headers. Included only by client/odbc/*.cpp and the
// backend's tests.
#pragma once

#include <string>
#include <vector>

#include "client/core/txn.h"
#include "client/odbc/internal.h"

namespace pvc::odbc {

// How the schema statement (ALTER SESSION SET CURRENT_SCHEMA=NAME) is served.
enum class SchemaSwitch {
  Statement,     // the text as it stands, on every connection (Oracle)
  SearchPath,    // the search path, when the schema exists (PostgreSQL)
  DatabaseFile,  // the data source's database file is the schema (SQLite)
};
// How parvekctl schema-create makes a schema.
enum class SchemaCreation {
  ByAdministrators,  // not at all: the server's administrators make schemas
  Schema,            // CREATE SCHEMA and the tables in it (PostgreSQL)
  DatabaseFile,      // the tables in the data source's database file, made when missing (SQLite)
};

// What sets one engine behind a driver apart: one row of the table in dialect.cpp.
struct DialectTraits {
  Engine engine = Engine::Other;
  Texts texts = Texts::Record;  // the texts it takes
  // The rows of a cursor executed on the session's one connection are those that matched at its
  // execute, whatever the session commits later: the server's read consistency (Oracle), or a
  // driver that reads the result whole at its execute (with the options the dialect sets).
  bool reads_as_of_open = false;
  // A write waits for another program's lock only as long as its statement's time limit.
  bool lock_wait_is_query_timeout = true;
  // The transaction policy's traits (client/core/txn.h) on this engine through its driver.
  TxnTraits txn;
  SchemaSwitch schema_switch = SchemaSwitch::Statement;
  SchemaCreation schema_creation = SchemaCreation::ByAdministrators;
  // The driver reports expressions (count(*), PRAGMA values) as texts: a canonical integer text
  // is read as a number.
  bool integers_as_text = false;
  // A cursor connection of the fallback reads inside a transaction (server-side cursors); without
  // it, in autocommit mode (a driver that steps only there).
  bool cursor_links_in_transaction = true;
  // A data source may ask for the texts of record on this server (ParvekTexts=record, tests
  // only: PostgreSQL with the Oracle-compatibility extension).
  bool offers_record_texts = false;
};

struct Dialect {
  Engine engine = Engine::Other;
  Texts texts = Texts::Record;
  bool compat = false;  // texts of record on PostgreSQL with the Oracle-compatibility extension
  DialectTraits traits;

  static Dialect Of(Engine e);

  // The text this session sends for `op`.
  const Text& Statement(Op op) const { return odbc::Statement(texts, op, compat); }
  // The key-paged form of cursor `op` (its select list with the key last, then the key's bound
  // and the page's limit as its last two values), or nullptr when this dialect does not page it.
  const Text* Paged(Op op) const;
  bool ReadsAsOfOpen() const { return traits.reads_as_of_open; }
  // Whether a failed statement aborts the whole transaction, so that every statement of a
  // transaction that holds work must run under a guard savepoint of its own.
  bool FailureAbortsTransaction() const { return traits.txn.guard_statements; }
  bool LockWaitIsQueryTimeout() const { return traits.lock_wait_is_query_timeout; }

  // Driver options of a connection: the session's one connection, or with `cursor` a cursor
  // connection of the fallback.
  std::string Options(bool cursor, int lock_wait_ms) const;
  // Settings the job relies on, run once on a fresh connection in autocommit mode.
  std::vector<std::string> Setup(bool cursor, bool one_session, int lock_wait_ms) const;

  // The job's code for a failed statement.
  int Translate(const Failure& f) const { return odbc::Translate(engine, f); }
  // Output `kind` of client/core/statements.h from the text the driver delivered. 0, or -1722 /
  // -1861 with `err` set.
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
