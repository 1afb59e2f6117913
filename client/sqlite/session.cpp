// SQLite backend: the session. Its reads, and its writes, savepoints and commits under the one
// transaction policy (client/core/txn.h); the connections and cursors are in conn.cpp and
// cursors.cpp, the tools' calls in tools.cpp.
//
// One main connection per schema runs writes, single-row selects, savepoints and commits.
// Every open cursor reads through a connection of its own inside its own read transaction,
// so in WAL mode it keeps the snapshot of its open across the session's commits; those
// reader connections are pooled with their prepared statements. The booking cursors (a handful
// of rows each) and, for a preview (CursorsSeeOwnWrites), every cursor read their rows whole at
// the open on the main connection. The earlier-days cursor steps on the main connection too,
// row by row, when no transaction is open there: the walk runs no write, and the reads between
// its rows share its read transaction, so the main connection's page cache stays warm and no
// lock is taken or dropped per read. Its close leaves that read transaction standing for the
// reads that follow it, up to the next write or the next walk, which begin on the newest data.
// Should a write come while such a cursor is open, the cursor first reads the rest of its rows,
// from the snapshot of its open, so that the write changes none of them.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>

#include "client/sqlite/backend.h"
#include "client/sqlite/session.h"

namespace pvc {
namespace sqlite {
namespace {

int g_busy_ms = 30000;

}  // namespace

SqliteSession::~SqliteSession() {
  if (shared_) DetachMainCursors(*shared_);
  if (main_ && !sqlite3_get_autocommit(main_->db.get()))
    sqlite3_exec(main_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

int SqliteSession::ExecDynamic(const std::string& text) {
  std::string schema;
  const int parsed = ParseSchemaStatement(text, schema, Err());
  if (parsed != kOk) return parsed;
  const std::string path = SchemaPath(dir_, schema);
  struct stat sb {};
  if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
    return SetError(Err(), kNoSchema, "schema file " + path + " does not exist");
  if (::access(path.c_str(), R_OK) != 0)
    return SetError(Err(), kNoPrivilege, "schema file " + path + " may not be read");
  auto sh = std::make_shared<Shared>();
  sh->path = path;
  sh->immutable = NobodyWrites(path);
  sh->busy_ms = busy_ms_;
  std::unique_ptr<Conn> main;
  const int rc = OpenConn(*sh, false, main, Err());
  if (rc != kOk) return rc;
  if (shared_) DetachMainCursors(*shared_);
  if (main_ && !sqlite3_get_autocommit(main_->db.get()))
    sqlite3_exec(main_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  main_ = std::move(main);
  shared_ = std::move(sh);
  txn_.Reset();
  return kOk;
}

int SqliteSession::Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
  out.reset();
  if (!Ready()) return Err().code;
  if (Op_Info(op).kind != OpKind::Cursor) return SetError(Err(), kInternal, "not a cursor");
  // A handful of rows are read whole on the main connection, whose page cache stays warm
  // across its own commits: no read transaction of their own to begin and end.
  if (own_cursors_ || Op_FewRows(op)) return OpenOnMain(op, in, out);
  // The earlier-days walk selects days before the accounting day, which the night never
  // writes; outside a transaction it steps on the main connection (unless its statement is
  // in use by another open cursor of the same kind).
  if (op == Op::TagPrev && sqlite3_get_autocommit(main_->db.get())) {
    sqlite3_stmt* st = nullptr;
    int rc = Prepared(*main_, op, st, Err());
    if (rc != kOk) return rc;
    EndLinger(*shared_);
    if (!sqlite3_stmt_busy(st)) {
      if ((rc = BindAll(st, op, in, Err())) != kOk) return rc;
      const int step = sqlite3_step(st);
      if (step != SQLITE_ROW && step != SQLITE_DONE) {
        rc = Translate(step, main_->db.get(), Err());
        sqlite3_reset(st);
        return rc;
      }
      out = NewMainCursor(shared_, st, Op_Info(op).out, step == SQLITE_ROW);
      return kOk;
    }
  }
  std::unique_ptr<Conn> conn;
  if (!shared_->idle.empty()) {
    conn = std::move(shared_->idle.back());
    shared_->idle.pop_back();
  } else {
    const int rc = OpenConn(*shared_, true, conn, Err());
    if (rc != kOk) return rc;
  }
  sqlite3_stmt* st = nullptr;
  int rc = Prepared(*conn, op, st, Err());
  if (rc == kOk) rc = PrepareText(conn->db.get(), "BEGIN", conn->begin, Err());
  if (rc == kOk) rc = PrepareText(conn->db.get(), "COMMIT", conn->end, Err());
  if (rc == kOk) rc = BindAll(st, op, in, Err());
  if (rc != kOk) {
    Park(std::move(conn));
    return rc;
  }
  rc = StepOnce(conn->begin.get(), Err());
  if (rc != kOk) {
    Park(std::move(conn));
    return rc;
  }
  // The first step takes the read transaction's snapshot: the cursor's rows are fixed now.
  const int step = sqlite3_step(st);
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    rc = Translate(step, conn->db.get(), Err());
    sqlite3_reset(st);
    ErrorDetail ignored;
    StepOnce(conn->end.get(), ignored);
    Park(std::move(conn));
    return rc;
  }
  out = NewReaderCursor(shared_, std::move(conn), st, Op_Info(op).out, step == SQLITE_ROW);
  return kOk;
}

// Reads the cursor's rows whole through the main connection, inside its transaction.
int SqliteSession::OpenOnMain(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
  sqlite3_stmt* st = nullptr;
  int rc = Prepared(*main_, op, st, Err());
  if (rc == kOk) rc = BindAll(st, op, in, Err());
  if (rc != kOk) return rc;
  std::vector<RowsCursor::Entry> rows;
  // A failure on the first step fails the open; a later one ends the rows, at its place.
  if (ReadRest(st, Op_Info(op).out, false, rows) != kOk && rows.size() == 1) {
    Err() = rows.front().err;
    return rows.front().rc;
  }
  out = std::make_unique<RowsCursor>(std::move(rows),
                                     [sh = shared_](const ErrorDetail& err) { sh->last = err; });
  return kOk;
}

int SqliteSession::SelectOne(Op op, const std::vector<Bind>& in, Row& out) {
  if (!Ready()) return Err().code;
  if (Op_Info(op).kind != OpKind::Select) return SetError(Err(), kInternal, "not a select");
  sqlite3_stmt* st = nullptr;
  int rc = Prepared(*main_, op, st, Err());
  if (rc == kOk) rc = BindAll(st, op, in, Err());
  if (rc != kOk) return rc;
  int step = sqlite3_step(st);
  Row row;
  if (step == SQLITE_ROW) {
    rc = ReadRow(st, Op_Info(op).out, row, Err());
    if (rc == kOk) {
      step = sqlite3_step(st);
      if (step == SQLITE_ROW)
        rc = SetError(Err(), kTooManyRows, "single-row select found more than one row");
      else if (step != SQLITE_DONE)
        rc = Translate(step, main_->db.get(), Err());
    }
  } else if (step == SQLITE_DONE) {
    rc = kNoData;
  } else {
    rc = Translate(step, main_->db.get(), Err());
  }
  sqlite3_reset(st);
  if (rc == kOk) out = std::move(row);
  return rc;
}

int SqliteSession::Write(Op op, const std::vector<Bind>& in) {
  if (!Ready()) return Err().code;
  if (!Op_IsWrite(op)) return SetError(Err(), kInternal, "not a write");
  DetachMainCursors(*shared_);
  // At most the last commit is not yet on disk when this write begins.
  if (const int durable = Durable(1); durable != kOk) return durable;
  sqlite3_stmt* st = nullptr;
  int rc = Prepared(*main_, op, st, Err());
  if (rc == kOk) rc = BindAll(st, op, in, Err());
  if (rc != kOk) return rc;
  // A write never commits by itself: outside a transaction the policy opens one.
  Sync();
  Undo undo;
  if ((rc = txn_.Prepare(true, undo)) != kOk) return rc;
  const int step = sqlite3_step(st);
  sqlite3_reset(st);
  if (step != SQLITE_DONE)
    rc = Translate(step, Db(), Err());
  else if (Op_Info(op).kind == OpKind::UpdateOrDelete && sqlite3_changes(Db()) == 0)
    rc = kNoData;
  // The failed statement has undone itself; a transaction that holds nothing else is ended so
  // that no lock of the job outlives the failed write.
  return txn_.Finish(undo, rc, true);
}

int SqliteSession::Savepoint(const std::string& name) {
  if (!Ready()) return Err().code;
  Sync();
  return txn_.Savepoint(name);
}

int SqliteSession::RollbackTo(const std::string& name) {
  const int rc = SavepointName(name);
  return rc != kOk ? rc : txn_.RollbackTo(name);
}

int SqliteSession::ReleaseSavepoint(const std::string& name) {
  const int rc = SavepointName(name);
  return rc != kOk ? rc : txn_.Release(name);
}

int SqliteSession::Commit() { return txn_.Commit(); }

int SqliteSession::RollbackAll() { return txn_.RollbackAll(); }

int SqliteSession::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  in_durable_write_ = true;
  const int rc = txn_.WriteDurably(*this, op, in, savepoint);
  in_durable_write_ = false;
  return rc;
}

int SqliteSession::Durable(int pending) {
  return main_ && main_->syncer ? main_->syncer->WaitDurable(pending, Err()) : kOk;
}

int SqliteSession::Begin() {
  DetachMainCursors(*shared_);
  return sqlite3_get_autocommit(Db()) ? sqlite::Exec(Db(), "BEGIN", Err()) : kOk;
}

int SqliteSession::Finish(End how) {
  if (!InTransaction()) return kOk;
  if (how == End::Commit) {
    const int rc = sqlite::Exec(Db(), "COMMIT", Err());
    return rc != kOk || in_durable_write_ ? rc : Durable();
  }
  if (how == End::Rollback) return sqlite::Exec(Db(), "ROLLBACK", Err());
  // Nothing pending is to be kept, and nothing to report.
  sqlite3_exec(Db(), "ROLLBACK", nullptr, nullptr, nullptr);
  return kOk;
}

}  // namespace sqlite

void SqliteSetBusyWaitMs(int ms) { sqlite::g_busy_ms = ms; }
int SqliteBusyWaitMs() { return sqlite::g_busy_ms; }

int SqliteLogon(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out) {
  (void)user;  // SQLite has no accounts; the file system's permissions govern access
  (void)password;
  const std::string dir = sqlite::DirOf(net);
  if (dir.empty()) return kBadNetName;
  out = std::make_unique<sqlite::SqliteSession>(dir, sqlite::g_busy_ms);
  return kOk;
}

}  // namespace pvc
