// The ODBC backend: the logon (one session, and in the fallback the cursors' connections) and
// the data sources it serves.
#include <string>

#include "client/core/sqlite_shared.h"
#include "client/odbc/backend.h"
#include "client/odbc/session.h"

namespace pvc {
namespace odbc {
namespace {

int g_lock_wait_ms = 30000;

}  // namespace

int LockWaitMs() { return g_lock_wait_ms; }

// Runs the dialect's settings on a fresh connection.
int Setup(Shared& sh, Conn& c, bool cursor) {
  for (const std::string& sql : sh.dialect.Setup(cursor, sh.one_session, g_lock_wait_ms)) {
    const int rc = sh.Run(c, sql);
    if (rc != kOk) return rc;
  }
  // The cursors' connections of the fallback: PostgreSQL's server-side cursors need a
  // transaction, SQLite's driver streams only in autocommit mode.
  if (cursor && sh.dialect.traits.cursor_links_in_transaction && !c.SetAutocommit(false))
    return sh.FailOn(SQL_HANDLE_DBC, c.h);
  return kOk;
}

// The first column of the first row of `sql` on `c` ("" when there is none).
std::string FirstText(Conn& c, const char* sql) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  std::string text;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return text;
  std::string copy = sql;
  Failure f;
  bool null = false;
  if (Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS)) &&
      Ok(SQLFetch(st)))
    odbc::GetText(st, 1, text, null, f);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return text;
}

// A SQLite database file in WAL mode: its commits leave their sync to the session's syncer while
// the night reads on, as natively (client/core/wal_sync.h). In another journal mode, or in
// memory, every commit syncs by itself.
int SqliteSyncer(Shared& sh, const std::string& file) {
  if (file.empty() || odbc::Lower(FirstText(*sh.main, "PRAGMA journal_mode")) != "wal")
    return kOk;
  const int rc = sh.Run(*sh.main, "PRAGMA synchronous=NORMAL");
  if (rc == kOk) sh.syncer = std::make_unique<WalSyncer>(file + "-wal");
  return rc;
}

// The database file of a SQLite data source ("" in memory). Its pragma, not a select of it:
// the select reads the file, which a read-only directory's WAL file may refuse.
std::string SqliteFile(Conn& c) {
  SQLHSTMT st = SQL_NULL_HSTMT;
  std::string file;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return file;
  char sql[] = "PRAGMA database_list";
  Failure f;
  if (Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(sql), SQL_NTS))) {
    while (Ok(SQLFetch(st))) {
      std::string name;
      bool null = false;
      odbc::GetText(st, 2, name, null, f);
      if (name != "main") continue;
      odbc::GetText(st, 3, file, null, f);
      break;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return file;
}

namespace {
// A text the driver reports of itself or its server.
std::string InfoText(Conn& c, SQLUSMALLINT what) {
  char text[256] = {0};
  SQLSMALLINT len = 0;
  SQLGetInfo(c.h, what, text, sizeof text, &len);
  return text;
}
}  // namespace

std::string DbmsName(Conn& c) { return InfoText(c, SQL_DBMS_NAME); }

// How the driver's cursors fare at the end of a transaction: SQL_CB_DELETE, _CLOSE or _PRESERVE.
SQLUSMALLINT CursorBehaviour(Conn& c, SQLUSMALLINT what) {
  SQLUSMALLINT v = SQL_CB_DELETE;
  if (!Ok(SQLGetInfo(c.h, what, &v, sizeof v, nullptr))) v = SQL_CB_DELETE;
  return v;
}

const char* BehaviourName(SQLUSMALLINT v) {
  return v == SQL_CB_PRESERVE ? "SQL_CB_PRESERVE"
         : v == SQL_CB_CLOSE  ? "SQL_CB_CLOSE"
                              : "SQL_CB_DELETE";
}

// Logs on once with the options of the engine that the driver's name tells, and finds the
// server. Only a driver whose name does not tell a server that needs options of its own is
// logged on to a second time, with them. With `cursors` the fallback's cursor connections are
// opened too, where the driver does not keep cursors across commits.
int OpenAll(const std::string& user, const std::string& password, const std::string& net,
            bool cursors, std::shared_ptr<Shared>& out, Failure& f) {
  odbc::Target t;
  int rc = odbc::ParseNet(net, t);
  if (rc != kOk) {
    f = Failure{"", 0, "NET8 names no data source, or holds credentials of its own"};
    return rc;
  }
  auto sh = std::make_shared<Shared>();
  sh->env = std::make_shared<odbc::EnvHandle>();
  const Engine named = odbc::EngineOfDriver(odbc::DriverOf(t));
  std::string options = Dialect::Of(named).Options(false, g_lock_wait_ms);
  rc = odbc::Connect(sh->env, t, user, password, options, named, sh->main, f);
  if (rc != kOk) return rc;
  const std::string dbms = DbmsName(*sh->main);
  sh->dialect = Dialect::Of(odbc::EngineOf(dbms));
  if (sh->dialect.Options(false, g_lock_wait_ms) != options) {
    options = sh->dialect.Options(false, g_lock_wait_ms);
    sh->main.reset();
    rc = odbc::Connect(sh->env, t, user, password, options, sh->dialect.engine, sh->main, f);
    if (rc != kOk) return rc;
  }
  // A SQLite database that nobody can be writing (its directory is read-only to the job) is read
  // as it stands, as the embedded backend reads it: without, its write-ahead log cannot be read.
  std::string as_it_stands;
  if (sh->dialect.traits.schema_switch == SchemaSwitch::DatabaseFile) {
    const std::string file = SqliteFile(*sh->main);
    if (!file.empty() && file.find(';') == std::string::npos && sqlite::NobodyWrites(file)) {
      // Given both first and last: drivers differ in which of two values of a key they take.
      as_it_stands = ";Database=" + sqlite::ImmutableUri(file);
      if (!t.connect.empty()) t.connect = as_it_stands.substr(1) + ";" + t.connect;
      options += as_it_stands;
      sh->main.reset();
      rc = odbc::Connect(sh->env, t, user, password, options, sh->dialect.engine, sh->main, f);
      if (rc != kOk) return rc;
    }
  }
  // Test-only: a data source may ask for the texts of record on a PostgreSQL server with the
  // Oracle-compatibility extension, or for the fallback's cursor connections.
  if (sh->dialect.traits.offers_record_texts &&
      odbc::Lower(odbc::TargetAttribute(t, "ParvekTexts")) == "record") {
    sh->dialect.texts = odbc::Texts::Record;
    sh->dialect.compat = true;
  }
  const bool forced = odbc::Lower(odbc::TargetAttribute(t, "ParvekCursors")) == "connections";
  const SQLUSMALLINT commit = CursorBehaviour(*sh->main, SQL_CURSOR_COMMIT_BEHAVIOR);
  const SQLUSMALLINT rollback = CursorBehaviour(*sh->main, SQL_CURSOR_ROLLBACK_BEHAVIOR);
  sh->rollback_keeps_cursors = rollback == SQL_CB_PRESERVE;
  sh->cursor_commit = BehaviourName(commit);
  sh->cursor_rollback = BehaviourName(rollback);
  sh->one_session = commit == SQL_CB_PRESERVE && sh->dialect.ReadsAsOfOpen() && !forced;
  if (!sh->one_session)
    sh->fallback =
        "cursors run on " + std::to_string(kMaxCursors) +
        " connections of their own beside the session (one logon each): " +
        (forced ? std::string("the data source asks for it (ParvekCursors=connections)")
         : commit != SQL_CB_PRESERVE
             ? "the driver does not keep cursors across commits (SQL_CURSOR_COMMIT_BEHAVIOR " +
                   std::string(BehaviourName(commit)) + ")"
             : "the server " + dbms + " is not known to read a cursor as of its open");
  sh->txn.Configure(sh->Traits());
  rc = Setup(*sh, *sh->main, false);
  if (rc == kOk && sh->dialect.engine == Engine::Sqlite) rc = SqliteSyncer(*sh, SqliteFile(*sh->main));
  for (size_t i = 0; rc == kOk && cursors && !sh->one_session && i < kMaxCursors; ++i) {
    std::unique_ptr<Conn> c;
    rc = odbc::Connect(sh->env, t, user, password,
                       sh->dialect.Options(true, g_lock_wait_ms) + as_it_stands, sh->dialect.engine,
                       c, f);
    if (rc == kOk) rc = Setup(*sh, *c, true);
    if (rc == kOk) sh->pool.push_back(std::move(c));
  }
  if (rc != kOk) {
    if (f.message.empty()) f = Failure{sh->last.sqlstate, sh->last.native, sh->last.message};
    return rc;
  }
  out = std::move(sh);
  return kOk;
}

}  // namespace odbc

void OdbcSetLockWaitMs(int ms) { odbc::g_lock_wait_ms = ms; }

bool OdbcHasDataSource(const std::string& name) {
  using odbc::Ok;
  if (name.empty()) return false;
  odbc::EnvHandle env;
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

SessionRoute odbc::OdbcSession::Route() {
  using namespace odbc;
  SessionRoute r;
  const Engine e = sh_->dialect.engine;
  r.server = e == Engine::Sqlite     ? "sqlite"
             : e == Engine::Postgres ? "postgres"
             : e == Engine::Oracle   ? "oracle"
                                     : "other";
  const Texts t = sh_->dialect.texts;
  r.texts = t == Texts::Sqlite ? "sqlite" : t == Texts::Postgres ? "postgres" : "record";
  r.odbc = true;
  r.dbms = InfoText(*sh_->main, SQL_DBMS_NAME) + " " + InfoText(*sh_->main, SQL_DBMS_VER);
  r.driver = InfoText(*sh_->main, SQL_DRIVER_NAME) + " " + InfoText(*sh_->main, SQL_DRIVER_VER);
  r.cursor_commit = sh_->cursor_commit;
  r.cursor_rollback = sh_->cursor_rollback;
  r.one_session = sh_->one_session;
  r.fallback = sh_->fallback;
  return r;
}

int OdbcLogon(const std::string& user, const std::string& password, const std::string& net,
              std::unique_ptr<Session>& out) {
  using namespace odbc;
  std::shared_ptr<Shared> sh;
  Failure f;
  const int rc = OpenAll(user, password, net, true, sh, f);
  if (rc != kOk) return rc;
  std::string file =
      sh->dialect.traits.schema_switch == SchemaSwitch::DatabaseFile ? SqliteFile(*sh->main) : "";
  out = std::make_unique<OdbcSession>(std::move(sh), std::move(file));
  return kOk;
}

}  // namespace pvc
