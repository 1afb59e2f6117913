// The dialects of the servers behind ODBC drivers (client/odbc/dialect.h), and the translation
// of their failures into the job's codes.
#include "client/odbc/dialect.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include "client/core/bind.h"
#include "client/core/codes.h"
#include "client/core/engine_texts.h"
#include "client/core/pg_errors.h"
#include "client/core/sqlite_shared.h"

namespace pvc::odbc {
namespace {

bool ClassIs(const std::string& state, const char* cls) {
  return state.size() == 5 && state[0] == cls[0] && state[1] == cls[1];
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

std::string LowerText(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

// What the standard SQLSTATEs say, for a server whose native numbers are not known here.
int TranslateStandard(const Failure& f) {
  struct Exact {
    const char* state;
    int code;
  };
  static constexpr Exact kExact[] = {
      {"23505", kUniqueViolated}, {"23502", kNotNull},       {"42S02", kNoTable},
      {"42S22", kNoColumn},       {"22007", kBadDateFormat}, {"22008", kBadDateFormat},
      {"22018", kInvalidNumber},  {"HYT00", kLocked},        {"HYT01", kLocked},
      {"28000", kBadLogin},       {"42000", kInvalidSql},
  };
  for (const auto& e : kExact)
    if (f.sqlstate == e.state) return e.code;
  if (ClassIs(f.sqlstate, "08")) return kLostConnection;
  return kInternal;
}

// SQLite's result code, as its driver reports it in the native error, read as the embedded
// backend reads it.
int TranslateSqlite(const Failure& f) {
  const int code = f.native > 0 ? sqlite::CodeOf(f.native, f.message) : kInternal;
  if (code == kInternal && f.sqlstate == "22018") return kInvalidNumber;  // a text read as number
  return code;
}

}  // namespace

int Translate(Engine engine, const Failure& f) {
  if (ClassIs(f.sqlstate, "08")) return kLostConnection;  // the connection is gone
  switch (engine) {
    case Engine::Oracle:
      // A write that waited past its time limit for another program's lock.
      if (f.sqlstate == "HYT00" || f.sqlstate == "HYT01") return kLocked;
      // Oracle's error numbers are the job's codes, negated (ORA-00001 gives -1).
      if (f.native > 0) return -f.native;
      return TranslateStandard(f);
    case Engine::Postgres: {
      // The driver reports a connection the server ended without a connection SQLSTATE.
      for (const char* gone :
           {"terminating connection", "server closed the connection", "no connection to the server",
            "could not send", "connection lost", "Could not send", "communication error"})
        if (Contains(f.message, gone)) return kLostConnection;
      return Pg_TranslateState(f.sqlstate, true);
    }
    case Engine::Sqlite: return TranslateSqlite(f);
    case Engine::Other: break;
  }
  return TranslateStandard(f);
}

namespace {

// A failed statement undoes itself; setting a savepoint of a name again moves it; a rollback to a
// savepoint with nothing written before it ends the transaction, so that the locks taken since
// are released at once.
constexpr TxnTraits kStatementUndoesItself{false, false, true, false};
// PostgreSQL's own traits (client/core/txn.h) through its driver: names as they stand, and the
// transaction ended as above.
constexpr TxnTraits kPostgresThroughDriver{kPostgresTxnTraits.guard_statements,
                                           kPostgresTxnTraits.release_renamed, true, false};

// One row per engine, in Engine order.
constexpr DialectTraits kDialects[] = {
    {Engine::Oracle, Texts::Record, true, true, kStatementUndoesItself, SchemaSwitch::Statement,
     SchemaCreation::ByAdministrators, false, true, false},
    {Engine::Postgres, Texts::Postgres, true, false, kPostgresThroughDriver,
     SchemaSwitch::SearchPath, SchemaCreation::Schema, false, true, true},
    {Engine::Sqlite, Texts::Sqlite, true, false, kSqliteTxnTraits, SchemaSwitch::DatabaseFile,
     SchemaCreation::DatabaseFile, true, false, false},
    {Engine::Other, Texts::Record, false, true, kStatementUndoesItself, SchemaSwitch::Statement,
     SchemaCreation::ByAdministrators, false, true, false},
};

constexpr bool RowsInEngineOrder() {
  for (size_t i = 0; i < std::size(kDialects); ++i)
    if (static_cast<size_t>(kDialects[i].engine) != i) return false;
  return std::size(kDialects) == static_cast<size_t>(Engine::Other) + 1;
}
static_assert(RowsInEngineOrder(), "one dialect per engine, in Engine order");

}  // namespace

Dialect Dialect::Of(Engine e) {
  Dialect d;
  d.traits = kDialects[static_cast<size_t>(e)];
  d.engine = e;
  d.texts = d.traits.texts;
  return d;
}

const Text* Dialect::Paged(Op op) const {
  static std::once_flag once;
  static Text pg[kOpCount], lite[kOpCount];
  static bool has[2][kOpCount] = {};
  std::call_once(once, [] {
    for (size_t i = 0; i < kOpCount; ++i) {
      const Op o = static_cast<Op>(i);
      if (const char* t = Pg_PagedStatement(o)) pg[i] = FromNumbered(t, '$'), has[0][i] = true;
      if (const char* t = sqlite::PagedStatement(o))
        lite[i] = FromNumbered(t, '?'), has[1][i] = true;
    }
  });
  const size_t i = static_cast<size_t>(op);
  if (texts == Texts::Postgres) return has[0][i] ? &pg[i] : nullptr;
  if (texts == Texts::Sqlite) return has[1][i] ? &lite[i] : nullptr;
  return nullptr;  // the texts of record stay as they are: the server streams them
}

std::string Dialect::Options(bool cursor, int lock_wait_ms) const {
  // PostgreSQL's driver, with tracing switched on in a data source, writes the connection
  // string, password included, into world-readable files: the job's connections never trace.
  static constexpr const char* kNoTrace = ";Debug=0;CommLog=0";
  switch (engine) {
    // The driver does nothing itself on a failed statement. The session's connection reads a
    // result whole at its execute (a snapshot as of the open, kept across commits); a cursor
    // connection of the fallback streams through a server-side cursor.
    case Engine::Postgres:
      return std::string(cursor ? ";Protocol=7.4-0;UseDeclareFetch=1;Fetch=256"
                                : ";Protocol=7.4-0;UseDeclareFetch=0") +
             kNoTrace;
    // The session's connection reads a result whole at its execute; a cursor connection of the
    // fallback steps through it (in autocommit mode only). A missing database file is never
    // made; the lock wait is the job's.
    case Engine::Sqlite:
      return std::string(cursor ? ";StepAPI=1" : ";StepAPI=0") +
             ";NoCreat=1;Timeout=" + std::to_string(lock_wait_ms);
    // A driver whose name does not tell its engine may still be one of the two above under
    // another name: it is asked neither to trace nor to make a missing database file. Drivers
    // that do not know these keywords pass over them.
    case Engine::Other: return std::string(kNoTrace) + ";NoCreat=1";
    default: return {};
  }
}

std::vector<std::string> Dialect::Setup(bool cursor, bool one_session, int lock_wait_ms) const {
  switch (engine) {
    case Engine::Postgres: {
      std::vector<std::string> setup = {"SET synchronous_commit TO on",
                                        "SET lock_timeout = " + std::to_string(lock_wait_ms)};
      // The session's name from the environment, as libpq takes it natively (the driver does
      // not): the night's guard names the sessions of its process so.
      if (const char* name = std::getenv("PGAPPNAME"); name != nullptr && name[0] != '\0') {
        std::string quoted;
        for (const char* c = name; *c != '\0'; ++c) quoted += *c == '\'' ? "''" : std::string(1, *c);
        setup.push_back("SET application_name = '" + quoted + "'");
      }
      return setup;
    }
    case Engine::Sqlite:
      if (cursor) return {};
      // Readers on connections of their own beside the writer need the write-ahead log. The
      // one session needs none: a database in rollback-journal mode stays as its owner made it.
      if (one_session) return {"PRAGMA synchronous=FULL"};
      return {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"};
    default: return {};
  }
}

int Dialect::Decode(char kind, std::string text, Cell& cell, ErrorDetail& err) const {
  cell.null = false;
  switch (kind) {
    case 'I':
      cell.is_int = true;
      if (!ParseNumber(text, cell.num))
        return SetError(err, kInvalidNumber, "stored value '" + text + "' is not a number");
      return kOk;
    case 'D':
    case 'H':
      // Only SQLite's texts select stored dates; the others deliver them formatted.
      if (texts != Texts::Sqlite) break;
      if (!sqlite::DecodeStoredDate(text.data(), text.size(), kind, cell.text))
        return SetError(err, kBadDateFormat,
                        "stored date '" + text + "' is not in the form YYYY-MM-DD HH:MM:SS");
      return kOk;
    default: break;
  }
  cell.text = std::move(text);
  return kOk;
}

Engine EngineOfDriver(const std::string& driver) {
  const std::string d = LowerText(driver);
  if (Contains(d, "sqlite")) return Engine::Sqlite;
  if (Contains(d, "psql") || Contains(d, "postgres")) return Engine::Postgres;
  if (Contains(d, "oracle") || Contains(d, "sqora")) return Engine::Oracle;
  return Engine::Other;
}

PgSwitch PostgresSwitch(const std::string& name, bool compat) {
  PgSwitch s;
  s.folded = LowerText(name);
  // The Oracle-compatibility functions come before the built-in ones of the same name.
  s.rest = compat ? ", oracle, pg_catalog" : "";
  s.sql =
      "select set_config('search_path', quote_ident(?) || ?, false)"
      " where exists (select 1 from pg_namespace where nspname = ?)";
  return s;
}

int SqliteSwitch(const std::string& file, const std::string& name, ErrorDetail& err) {
  if (LowerText(Stem(file)) == LowerText(name)) return kOk;
  return SetError(err, kNoSchema,
                  "schema " + name + " is not the data source's database " +
                      (file.empty() ? "(in memory)" : file));
}

std::string Stem(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

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

}  // namespace pvc::odbc
