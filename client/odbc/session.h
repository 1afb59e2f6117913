// Inside the ODBC backend's session: what a session shares with its cursors (its connection and
// transaction), the cursor, and the session class (client/odbc/shared.cpp, cursor.cpp,
// session.cpp, tools.cpp, logon.cpp, schema.cpp). Included only by client/odbc/*.cpp.
//
// The ODBC session: one logon, one database session, as the job has always run, wherever the
// driver allows it.
//
// At the logon the backend asks the driver how its cursors fare when the session commits
// (SQL_CURSOR_COMMIT_BEHAVIOR) and which server it serves. Where cursors are preserved and read
// as of their open (Oracle's read consistency; PostgreSQL's and SQLite's drivers read a result
// whole at its execute with the options the dialect sets), every cursor runs on the one
// connection, inside the session's transaction: it sees what the session wrote before its open,
// and nothing after. The earlier-days cursor, whose result grows with a person's history, is
// paged by its key on the native texts, so a search costs what it reads. Only where the driver
// cannot keep its cursors, the backend falls back to three cursor connections opened at the
// logon, one per open cursor, and says so (SessionTools::Notice). The password is used for the
// logons and not kept.
//
// Transactions follow the one policy of every backend (client/core/txn.h): the connection runs
// with the driver's autocommit on while nothing is pending, so that a read holds nothing after it
// ran; the first savepoint or write switches autocommit off, and the end of the transaction
// switches it on again. PostgreSQL's driver is told to do nothing itself on a failed statement
// (Protocol=7.4-0); the policy guards a statement that follows other work.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

#include "client/core/bind.h"
#include "client/core/codes.h"
#include "client/core/txn.h"
#include "client/core/wal_sync.h"
#include "client/odbc/dialect.h"
#include "client/odbc/driver.h"

namespace pvc::odbc {

inline constexpr size_t kMaxCursors = 3;  // the most cursors the job keeps open at a time
inline constexpr int64_t kFirstPage = 4;  // rows of a paged cursor's first page, doubling up to
inline constexpr int64_t kMaxPage = 256;  // this many

// The lock wait of the connections opened from now on (the job: 30 s).
int LockWaitMs();

// An integer as SQLite writes one: an optional '-', then digits without a leading zero.
bool CanonicalInteger(const std::string& s);

// State shared by a session and the cursors it opened (which may outlive it): the connection,
// its transaction, and in the fallback the cursor connections.
struct Shared final : TxnPrimitives {
  std::shared_ptr<odbc::EnvHandle> env;
  Dialect dialect;
  std::unique_ptr<Conn> main;
  bool one_session = false;
  bool rollback_keeps_cursors = false;  // SQL_CURSOR_ROLLBACK_BEHAVIOR is SQL_CB_PRESERVE
  std::string cursor_commit, cursor_rollback;  // the two behaviours' names, for doctor
  std::string fallback;                 // why cursors run on connections of their own
  std::vector<std::unique_ptr<Conn>> pool;
  size_t open_cursors = 0;  // cursors open on `main`
  // A paged cursor's pages read in one read-only transaction, opened for them while nothing
  // else was: its owner, until the cursor ends or the session's next write, savepoint or
  // transaction end (after which later pages read what is committed when they run).
  const void* snapshot = nullptr;
  ErrorDetail last;
  bool lost = false;  // the connection failed as gone: every later call fails so
  TxnPolicy txn{*this, TxnTraits{}};
  // SQLite in WAL mode: the commits' syncs, left to a thread while the night reads on (as
  // natively, client/core/wal_sync.h); none where a commit syncs by itself.
  std::unique_ptr<WalSyncer> syncer;
  bool in_durable_write = false;  // its commit returns before the sync; any other after it

  // Waits until at most `pending` commits so far are not yet on disk: 0, or -3114 (the session
  // is lost) when a sync failed.
  int Durable(int pending = 0) {
    const int rc = syncer ? syncer->WaitDurable(pending, last) : kOk;
    if (rc != kOk) lost = true;
    return rc;
  }

  TxnTraits Traits() const { return dialect.traits.txn; }

  int Fail(int code, const std::string& message) { return SetError(last, code, message); }
  int Fail(const Failure& f) {
    const int code = dialect.Translate(f);
    if (code == kLostConnection) lost = true;
    return SetError(last, code, f.message, f.native, f.sqlstate);
  }
  int FailOn(SQLSMALLINT type, SQLHANDLE h) { return Fail(odbc::Diag(type, h)); }
  int Lost() { return Fail(kLostConnection, "the connection to the server was lost"); }

  int Run(Conn& c, const std::string& sql) {
    Failure f;
    return odbc::ExecDirect(c, sql, f) ? kOk : Fail(f);
  }
  int EndTran(Conn& c, SQLSMALLINT how) {
    Failure f;
    return odbc::EndTran(c, how, f) ? kOk : Fail(f);
  }

  // ---- TxnPrimitives on the main connection
  int Exec(const std::string& sql) override {
    Failure f;
    return odbc::ExecPrepared(*main, sql, f) ? kOk : Fail(f);
  }
  int Begin() override {
    if (lost) return Lost();
    EndSnapshot(nullptr);
    return main->SetAutocommit(false) ? kOk : FailOn(SQL_HANDLE_DBC, main->h);
  }
  int Finish(End how) override;
  ErrorDetail& Detail() override { return last; }
  bool WriteAlone(Op op, const std::vector<Bind>& in, const std::string& savepoint,
                  int& rc) override;
  bool InTransaction() override { return !main->autocommit; }

  // Ends a statement under the policy (client/core/txn.h). A read that failed inside a paged
  // cursor's snapshot on a server that aborts the transaction ends the snapshot, so that the
  // cursor's later pages and the next statements do not fail with it.
  int Done(TxnPolicy::Undo undo, int rc, bool write = false);

  // Opens the read-only transaction for `owner`'s pages when no transaction is open.
  int BeginSnapshot(const void* owner);
  // Ends the read-only transaction of `owner` (of whichever cursor holds one, for nullptr).
  void EndSnapshot(const void* owner);

  // A statement handle for `op` on `c` (its paged text with `paged`), prepared on its first use
  // (so that a missing table fails only the statements that need it) and kept for reuse.
  int Statement(Conn& c, Op op, bool paged, odbc::Prepared*& out);

  // The inputs as the session's texts take them (checked and converted by the shared core):
  // dates go to the texts of record as they stand ('yyyymmdd', read by their TO_Date) and to the
  // native texts as 'YYYY-MM-DD HH:MM:SS'; an empty text is NULL.
  int Values(Op op, const std::vector<Bind>& in, std::vector<Value>& out);
  // The values in the order of the text's placeholders.
  int ToParams(const odbc::Text& text, const std::vector<Value>& values, Params& out);

  // Binds and executes `st`. 0 (`no_data` set for SQL_NO_DATA) or the failure's code.
  int Execute(SQLHSTMT st, Params& p, bool& no_data);

  // Runs a statement on the main connection under the transaction policy, on `slot` when given,
  // else on a free handle of the statement. On 0 the statement stands on its result and the
  // caller ends it with Done(undo, ...).
  int RunMain(Op op, const std::vector<Value>& values, bool write, bool paged,
              odbc::Prepared*& slot, TxnPolicy::Undo& undo, bool& no_data);

  // RunMain for the inputs `in` of `op`, with its text as it stands (not paged).
  int RunInputs(Op op, const std::vector<Bind>& in, bool write, odbc::Prepared*& slot,
                TxnPolicy::Undo& undo, bool& no_data);

  // The current row of `p` as the job's `outputs` (a paged text's key column is read apart).
  int ReadRow(const odbc::Prepared& p, const char* outputs, Row& row);
};

// A cursor on the session's one connection, or in the fallback on a cursor connection. A paged
// cursor executes its next page when it has delivered the rows of the last one.
class OdbcCursor final : public Cursor {
 public:
  OdbcCursor(std::shared_ptr<Shared> sh, Conn* conn, Op op)
      : sh_(std::move(sh)), conn_(conn), op_(op) {}
  // Delivers the rows of the statement executed on `slot`.
  void Take(odbc::Prepared* slot) {
    slot_ = slot;
    slot_->busy = true;
    if (conn_ == sh_->main.get()) ++sh_->open_cursors;
  }
  // Pages from `values` (the open's values and the first page's limit) onward.
  void Page(std::vector<Value> values) {
    values_ = std::move(values);
    page_ = kFirstPage;
  }
  ~OdbcCursor() override { Release(); }

  int Fetch(Row& row) override;

 private:
  bool paged() const { return !values_.empty(); }

  // Executes the next page: the open's values, the last key as the bound, a doubled limit.
  int NextPage();

  // After its last row (or a failure) a cursor delivers nothing more: its statement (and in the
  // fallback its connection) serves the next cursor at once.
  void Release();

  static constexpr size_t kKeyValue = 1;  // the paged texts' key bound: the open's day

  std::shared_ptr<Shared> sh_;
  Conn* conn_;                      // sh_->main or one of sh_->pool
  odbc::Prepared* slot_ = nullptr;  // nullptr before Take and once released
  Op op_;
  std::vector<Value> values_;  // a paged cursor's values; empty otherwise
  std::string key_;            // the key of the last row delivered
  int64_t page_ = 0;
  int64_t in_page_ = 0;  // rows delivered of the current page
};

class OdbcSession final : public Session, public SessionTools {
 public:
  OdbcSession(std::shared_ptr<Shared> sh, std::string file)
      : sh_(std::move(sh)), file_(std::move(file)) {}

  int ExecDynamic(const std::string& text) override;
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override;
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override;
  int Write(Op op, const std::vector<Bind>& in) override;
  int Savepoint(const std::string& name) override {
    if (sh_->lost) return sh_->Lost();
    return sh_->txn.Savepoint(name);
  }
  int RollbackTo(const std::string& name) override {
    if (sh_->lost) return sh_->Lost();
    return sh_->txn.RollbackTo(name);
  }
  int ReleaseSavepoint(const std::string& name) override {
    if (sh_->lost) return sh_->Lost();
    return sh_->txn.Release(name);
  }
  int Commit() override { return sh_->txn.Commit(); }
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override;
  ErrorDetail LastError() const override { return sh_->last; }
  SessionTools* Tools() override { return this; }
  int ExecScript(const std::string& sql) override;
  int Query(const std::string& sql, std::vector<Row>& rows) override;
  // One prepared insert, executed per row, in one transaction of its own.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override;
  int Describe(Op op, int& inputs, int& columns) override;
  // On the one session every cursor reads inside the session's transaction already.
  int CursorsSeeOwnWrites(bool on) override {
    (void)on;
    return sh_->one_session ? kOk : sh_->Fail(kInternal, sh_->fallback);
  }
  int RollbackAll() override { return sh_->txn.RollbackAll(); }
  std::string Notice() override { return sh_->fallback; }
  SessionRoute Route() override;

 private:
  int OpenOnConnection(Op op, const std::vector<Value>& values, std::unique_ptr<Cursor>& out);
  int SwitchPostgres(const std::string& name);

  std::shared_ptr<Shared> sh_;
  std::string file_;  // SQLite: the database file of the data source
};

// Runs the dialect's settings on a fresh connection (a cursor connection of the fallback with
// `cursor`).
int Setup(Shared& sh, Conn& c, bool cursor);
// The database file of a SQLite data source ("" in memory).
std::string SqliteFile(Conn& c);
// The server's name as the driver reports it (SQL_DBMS_NAME).
std::string DbmsName(Conn& c);
// Logs on once with the options of the engine that the driver's name tells, and finds the
// server. Only a driver whose name does not tell a server that needs options of its own is
// logged on to a second time, with them. With `cursors` the fallback's cursor connections are
// opened too, where the driver does not keep cursors across commits.
int OpenAll(const std::string& user, const std::string& password, const std::string& net,
            bool cursors, std::shared_ptr<Shared>& out, Failure& f);

}  // namespace pvc::odbc
