// Inside the SQLite backend's session: its connections, what the session shares with its cursors,
// and the session class (client/sqlite/session.cpp, cursors.cpp, conn.cpp, tools.cpp). Included
// only by client/sqlite/*.cpp.
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
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "client/core/bind.h"
#include "client/core/codes.h"
#include "client/core/counters.h"
#include "client/core/rows_cursor.h"
#include "client/core/txn.h"
#include "client/core/wal_sync.h"
#include "client/sqlite/internal.h"

namespace pvc::sqlite {

inline constexpr size_t kIdleReaders = 4;  // reader connections kept for reuse by later cursors
inline constexpr int kWalCheckpointPages = 1000;  // the engine's own threshold

struct Conn {
  ~Conn() {
    if (db) CountLogoff();
  }
  DbHandle db;
  std::array<StmtHandle, static_cast<size_t>(Op::kCount)> stmts;
  StmtHandle begin;
  StmtHandle end;
  int wal_next = kWalCheckpointPages;  // log size at which the writer next tries a checkpoint
  std::unique_ptr<WalSyncer> syncer;   // the writer's: syncs its log after each commit
};

class MainCursor;

// What a session shares with the cursors it opened (they may outlive a schema switch).
struct Shared {
  std::string path;
  bool immutable = false;  // nobody can write here: read the file as it stands
  int busy_ms = 0;
  ErrorDetail last;
  std::vector<std::unique_ptr<Conn>> idle;
  std::vector<MainCursor*> on_main;  // open cursors stepping a statement of the main connection
  sqlite3_stmt* linger = nullptr;  // a closed cursor's statement, kept to hold its read transaction
};

// Ends the read transaction a closed cursor left standing on the main connection.
void EndLinger(Shared& sh);
// Runs `sql` on `db`; 0 or its code, the detail in `d`.
int Exec(sqlite3* db, const char* sql, ErrorDetail& d);
// Opens the schema file of `sh` for the main connection, or with `reader` for a cursor's.
int OpenConn(const Shared& sh, bool reader, std::unique_ptr<Conn>& out, ErrorDetail& d);
// Prepares `sql` on `db` into `slot`, unless it holds a statement already.
int PrepareText(sqlite3* db, const char* sql, StmtHandle& slot, ErrorDetail& d);
// The connection's statement for `op`, prepared on its first use.
int Prepared(Conn& c, Op op, sqlite3_stmt*& st, ErrorDetail& d);
// Steps `st` once and resets it; 0 or the step's code.
int StepOnce(sqlite3_stmt* st, ErrorDetail& d);
// Reads the rows `st` has left, from the row it stands on when `on_row`, into `rows`; a failure
// ends them at its place. Returns the failure's code for the caller's open, kOk without one.
int ReadRest(sqlite3_stmt* st, const char* outputs, bool on_row,
             std::vector<RowsCursor::Entry>& rows);

// A cursor stepping its statement on the main connection, whose read transaction (the snapshot
// of its open) lasts until its last row or its close; `on_row` when the statement stands on its
// first row already.
std::unique_ptr<Cursor> NewMainCursor(std::shared_ptr<Shared> sh, sqlite3_stmt* st,
                                      const char* outputs, bool on_row);
// A cursor reading on a reader connection of its own, inside its read transaction; the
// connection goes back to the pool at its close.
std::unique_ptr<Cursor> NewReaderCursor(std::shared_ptr<Shared> sh, std::unique_ptr<Conn> conn,
                                        sqlite3_stmt* st, const char* outputs, bool on_row);
// Frees the main connection of `sh` from every cursor's read transaction: before a write there,
// and before the connection goes.
void DetachMainCursors(Shared& sh);

// The session: one main connection per schema; its transactions, savepoints and durable writes
// follow the one policy (client/core/txn.h) over the primitives of the main connection.
class SqliteSession final : public Session, public SessionTools, TxnPrimitives {
 public:
  SqliteSession(std::string dir, int busy_ms) : dir_(std::move(dir)), busy_ms_(busy_ms) {}
  ~SqliteSession() override;

  int ExecDynamic(const std::string& text) override;
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override;
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override;
  int Write(Op op, const std::vector<Bind>& in) override;
  int Savepoint(const std::string& name) override;
  int RollbackTo(const std::string& name) override;
  int ReleaseSavepoint(const std::string& name) override;
  int Commit() override;
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override;
  ErrorDetail LastError() const override { return shared_ ? shared_->last : last_; }
  SessionTools* Tools() override { return this; }
  SessionRoute Route() override { return SessionRoute::Native("sqlite"); }

  int CursorsSeeOwnWrites(bool on) override {
    own_cursors_ = on;
    return kOk;
  }
  int RollbackAll() override;
  int ExecScript(const std::string& sql) override;
  // The fast load path for tools: one prepared insert in one transaction, with the durable
  // sync switched off while it runs (a crash during the load loses only the load), a larger
  // page cache, and the date-form CHECKs not evaluated (they cost half the load's time); all
  // three are restored before returning.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override;
  int Describe(Op op, int& inputs, int& columns) override;
  int Query(const std::string& sql, std::vector<Row>& rows) override;

 private:
  using Undo = TxnPolicy::Undo;

  // ---- the primitives of the transaction policy, on the main connection
  int Exec(const std::string& sql) override { return sqlite::Exec(Db(), sql.c_str(), Err()); }
  // Frees the main connection from the cursors stepping on it, then opens a transaction.
  int Begin() override;
  int Finish(End how) override;
  bool InTransaction() override { return main_ && !sqlite3_get_autocommit(Db()); }
  ErrorDetail& Detail() override { return Err(); }

  sqlite3* Db() { return main_->db.get(); }
  // Failures are recorded where the session's cursors record theirs.
  ErrorDetail& Err() { return shared_ ? shared_->last : last_; }
  bool Ready() {
    if (main_) return true;
    SetError(Err(), kNoTable, "no schema is current (ALTER SESSION SET CURRENT_SCHEMA first)");
    return false;
  }
  // The engine ends a transaction by itself on some failures (a full disk, an I/O error): the
  // policy then forgets it too.
  void Sync() {
    if (txn_.Open() && !InTransaction()) txn_.Reset();
  }
  // Ends a transaction that holds nothing, so that no lock of the job outlives it.
  void EndEmptyTransaction() {
    Finish(End::Discard);
    txn_.Reset();
  }
  // Checks a savepoint name as this backend always has: -900 for one that is no identifier.
  int SavepointName(const std::string& name) {
    if (!Ready()) return Err().code;
    if (!IsIdentifier(name)) return SetError(Err(), kInvalidSql, "bad savepoint name " + name);
    Sync();
    return kOk;
  }
  int OpenOnMain(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out);
  // Waits until at most `pending` commits so far are not yet on disk (client/core/wal_sync.h):
  // 0, or -3114 (the session is lost) when a sync failed.
  int Durable(int pending = 0);
  void Park(std::unique_ptr<Conn> conn) {
    if (shared_->idle.size() < kIdleReaders) shared_->idle.push_back(std::move(conn));
  }

  std::string dir_;
  int busy_ms_;
  std::unique_ptr<Conn> main_;
  std::shared_ptr<Shared> shared_;
  ErrorDetail last_;
  TxnPolicy txn_{*this, kSqliteTxnTraits};
  bool own_cursors_ = false;  // cursors read on the main connection (CursorsSeeOwnWrites)
  // Within a durable write: its commit's sync is left to the syncer while the night reads on
  // (the next write waits for it); any other commit returns once it is on disk.
  bool in_durable_write_ = false;
};

}  // namespace pvc::sqlite
