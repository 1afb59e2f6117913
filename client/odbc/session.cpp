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
// Transactions follow the server backends' one policy (client/server_txn.h): the connection
// runs with the driver's autocommit on while nothing is pending, so that a read holds nothing
// after it ran; the first savepoint or write switches autocommit off, and the end of the
// transaction switches it on again. PostgreSQL's driver is told to do nothing itself on a failed
// statement (Protocol=7.4-0); the policy guards a statement that follows other work.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/odbc/backend.h"
#include "client/core/codes.h"
#include "client/core/bind.h"
#include "client/odbc/dialect.h"
#include "client/odbc/driver.h"
#include "client/core/engine_texts.h"
#include "client/core/sqlite_shared.h"
#include "client/core/tool_statements.h"
#include "client/core/txn.h"

namespace pvc {
namespace {

using odbc::Conn;
using odbc::Dialect;
using odbc::Engine;
using odbc::Failure;
using odbc::Ok;
using odbc::Params;

constexpr size_t kMaxCursors = 3;  // the most cursors the job keeps open at a time
constexpr int64_t kFirstPage = 4;  // rows of a paged cursor's first page, doubling up to
constexpr int64_t kMaxPage = 256;  // this many
int g_lock_wait_ms = 30000;

// An integer as SQLite writes one: an optional '-', then digits without a leading zero.
bool CanonicalInteger(const std::string& s) {
  const size_t d = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() <= d || s.size() - d > 18 || (s[d] == '0' && s.size() > d + 1)) return false;
  for (size_t i = d; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// State shared by a session and the cursors it opened (which may outlive it): the connection,
// its transaction, and in the fallback the cursor connections.
struct Shared final : TxnPrimitives {
  std::shared_ptr<odbc::EnvHandle> env;
  Dialect dialect;
  std::unique_ptr<Conn> main;
  bool one_session = false;
  bool rollback_keeps_cursors = false;  // SQL_CURSOR_ROLLBACK_BEHAVIOR is SQL_CB_PRESERVE
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

  TxnTraits Traits() const {
    TxnTraits t;
    t.guard_statements = dialect.FailureAbortsTransaction();
    t.release_renamed = dialect.KeepsEverySavepoint();
    t.end_when_nothing_kept = true;
    return t;
  }

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
  int Finish(End how) override {
    if (lost) return Lost();
    snapshot = nullptr;
    if (main->autocommit) return kOk;  // nothing pending
    SQLSMALLINT tran = how == End::Commit ? SQL_COMMIT : SQL_ROLLBACK;
    // Nothing to keep, but a rollback would close the open cursors: a commit of nothing ends it.
    if (how == End::Discard && open_cursors > 0 && !rollback_keeps_cursors) tran = SQL_COMMIT;
    const int rc = EndTran(*main, tran);
    if (rc != kOk) return rc;
    main->SetAutocommit(true);
    return kOk;
  }
  ErrorDetail& Detail() override { return last; }
  bool InTransaction() override { return !main->autocommit; }

  // Ends a statement under the policy (client/server_txn.h). A read that failed inside a paged
  // cursor's snapshot on a server that aborts the transaction ends the snapshot, so that the
  // cursor's later pages and the next statements do not fail with it.
  int Done(TxnPolicy::Undo undo, int rc, bool write = false) {
    rc = txn.Finish(undo, rc, write);
    if (rc != kOk && rc != kNoData && snapshot != nullptr && dialect.FailureAbortsTransaction())
      EndSnapshot(nullptr);
    return rc;
  }

  // Opens the read-only transaction for `owner`'s pages when no transaction is open.
  int BeginSnapshot(const void* owner) {
    if (lost) return Lost();
    if (!main->autocommit) return kOk;  // the pages read inside the open transaction
    if (!main->SetAutocommit(false)) return FailOn(SQL_HANDLE_DBC, main->h);
    snapshot = owner;
    if (!dialect.FailureAbortsTransaction()) return kOk;  // SQLite: the first read takes it
    // PostgreSQL: one snapshot for the whole transaction, as of its first statement.
    const int rc = Run(*main, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    if (rc != kOk) EndSnapshot(owner);
    return rc;
  }
  // Ends the read-only transaction of `owner` (of whichever cursor holds one, for nullptr).
  void EndSnapshot(const void* owner) {
    if (snapshot == nullptr || (owner != nullptr && owner != snapshot)) return;
    snapshot = nullptr;
    const ErrorDetail keep = last;
    Finish(End::Discard);
    last = keep;
  }

  // A statement handle for `op` on `c` (its paged text with `paged`), prepared on its first use
  // (so that a missing table fails only the statements that need it) and kept for reuse.
  int Statement(Conn& c, Op op, bool paged, odbc::Prepared*& out) {
    auto& slots = c.stmts[static_cast<size_t>(op) + (paged ? kOpCount : 0)];
    for (odbc::Prepared& p : slots)
      if (!p.busy) {
        out = &p;
        return kOk;
      }
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return FailOn(SQL_HANDLE_DBC, c.h);
    // A server without a lock wait of its own: a write's wait ends with its time limit.
    if (Op_IsWrite(op) && dialect.LockWaitIsQueryTimeout()) {
      const SQLULEN seconds = static_cast<SQLULEN>(std::max(1, (g_lock_wait_ms + 999) / 1000));
      SQLSetStmtAttr(st, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
    }
    std::string sql = paged ? dialect.Paged(op)->sql : dialect.Statement(op).sql;
    if (!Ok(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS))) {
      const int rc = FailOn(SQL_HANDLE_STMT, st);
      SQLFreeHandle(SQL_HANDLE_STMT, st);
      return rc;
    }
    slots.emplace_back();
    slots.back().h = st;
    // A query's columns are bound once, its key column too when paged.
    Failure f;
    if (Op_IsQuery(op) &&
        !odbc::BindColumns(slots.back(), Op_Width(Op_Info(op).out) + (paged ? 1 : 0), f)) {
      slots.pop_back();
      SQLFreeHandle(SQL_HANDLE_STMT, st);
      return Fail(f);
    }
    out = &slots.back();
    return kOk;
  }

  // The inputs as the session's texts take them (checked and converted by the shared core):
  // dates go to the texts of record as they stand ('yyyymmdd', read by their TO_Date) and to the
  // native texts as 'YYYY-MM-DD HH:MM:SS'; an empty text is NULL.
  int Values(Op op, const std::vector<Bind>& in, std::vector<Value>& out) {
    const int rc = BindValues(op, in, out, last);
    if (rc != kOk) return rc;
    if (dialect.texts == odbc::Texts::Record)
      for (size_t i = 0; i < in.size(); ++i)
        if (in[i].kind == Bind::Kind::Date || in[i].kind == Bind::Kind::DateTime)
          out[i].text = in[i].text;
    if (dialect.texts == odbc::Texts::Postgres)
      for (Value& v : Pg_DerivedValues(op, in)) out.push_back(std::move(v));
    return kOk;
  }
  // The values in the order of the text's placeholders.
  int ToParams(const odbc::Text& text, const std::vector<Value>& values, Params& out) {
    out.values.clear();
    for (int index : text.binds) {
      if (index < 0 || static_cast<size_t>(index) >= values.size())
        return Fail(kInternal, "the statement's text takes more values than it is given");
      out.AddCell(values[static_cast<size_t>(index)]);
    }
    return kOk;
  }

  // Binds and executes `st`. 0 (`no_data` set for SQL_NO_DATA) or the failure's code.
  int Execute(SQLHSTMT st, Params& p, bool& no_data) {
    Failure f;
    if (!odbc::BindParams(st, p, f)) return Fail(f);
    const SQLRETURN x = SQLExecute(st);
    int rc = kOk;
    if (!Ok(x) && x != SQL_NO_DATA) {
      rc = FailOn(SQL_HANDLE_STMT, st);  // before any other call clears the diagnostics
      SQLFreeStmt(st, SQL_CLOSE);
    }
    SQLFreeStmt(st, SQL_RESET_PARAMS);  // the values live in `p` only until here
    no_data = x == SQL_NO_DATA;
    return rc;
  }

  // Runs a statement on the main connection under the transaction policy, on `slot` when given,
  // else on a free handle of the statement. On 0 the statement stands on its result and the
  // caller ends it with Done(undo, ...).
  int RunMain(Op op, const std::vector<Value>& values, bool write, bool paged,
              odbc::Prepared*& slot, TxnPolicy::Undo& undo, bool& no_data) {
    if (lost) return Lost();
    Params params;
    int rc = ToParams(paged ? *dialect.Paged(op) : dialect.Statement(op), values, params);
    if (rc != kOk) return rc;
    rc = txn.Prepare(write, undo);
    if (rc != kOk) return rc;
    if (slot == nullptr) rc = Statement(*main, op, paged, slot);
    if (rc == kOk) rc = Execute(slot->h, params, no_data);
    if (rc != kOk) return Done(undo, rc);
    return kOk;
  }

  // RunMain for the inputs `in` of `op`, with its text as it stands (not paged).
  int RunInputs(Op op, const std::vector<Bind>& in, bool write, odbc::Prepared*& slot,
                TxnPolicy::Undo& undo, bool& no_data) {
    std::vector<Value> values;
    const int rc = Values(op, in, values);
    if (rc != kOk) return rc;
    return RunMain(op, values, write, false, slot, undo, no_data);
  }

  // The current row of `p` as the job's `outputs` (a paged text's key column is read apart).
  int ReadRow(const odbc::Prepared& p, const char* outputs, Row& row) {
    const size_t n = std::strlen(outputs);
    Row out(n);
    for (size_t i = 0; i < n; ++i) {
      std::string text;
      bool null = false;
      odbc::BoundText(p, i, text, null);
      if (null) continue;
      const int rc = dialect.Decode(outputs[i], std::move(text), out[i], last);
      if (rc != kOk) return rc;
    }
    row = std::move(out);
    return kOk;
  }
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

  int Fetch(Row& row) override {
    if (slot_ == nullptr) return kNoData;
    SQLRETURN rc = SQLFetch(slot_->h);
    if (rc == SQL_NO_DATA && paged() && in_page_ == page_) {
      const int next = NextPage();
      if (next != kOk) {
        Release();
        return next;
      }
      rc = SQLFetch(slot_->h);
    }
    if (rc == SQL_NO_DATA) {
      Release();
      return kNoData;
    }
    if (!Ok(rc)) {
      const int code = sh_->FailOn(SQL_HANDLE_STMT, slot_->h);
      Release();
      return code;
    }
    const int read = sh_->ReadRow(*slot_, Op_Info(op_).out, row);
    if (read == kOk && paged()) {
      ++in_page_;
      // The page's last column is its key, which bounds the next page.
      bool null = false;
      odbc::BoundText(*slot_, Op_Width(Op_Info(op_).out), key_, null);
    }
    return read;
  }

 private:
  bool paged() const { return !values_.empty(); }

  // Executes the next page: the open's values, the last key as the bound, a doubled limit.
  int NextPage() {
    SQLFreeStmt(slot_->h, SQL_CLOSE);
    values_[kKeyValue].text = key_;
    values_[kKeyValue].null = false;
    page_ = std::min(page_ * 2, kMaxPage);
    values_.back().num = page_;
    in_page_ = 0;
    odbc::Prepared* slot = slot_;
    TxnPolicy::Undo undo;
    bool no_data = false;
    const int rc = sh_->RunMain(op_, values_, false, true, slot, undo, no_data);
    if (rc != kOk) return rc;
    return sh_->Done(undo, kOk);
  }

  // After its last row (or a failure) a cursor delivers nothing more: its statement (and in the
  // fallback its connection) serves the next cursor at once.
  void Release() {
    if (slot_ == nullptr) return;
    SQLFreeStmt(slot_->h, SQL_CLOSE);
    slot_->busy = false;
    slot_ = nullptr;
    if (conn_ == sh_->main.get()) {
      --sh_->open_cursors;
      sh_->EndSnapshot(this);
    } else {
      if (!conn_->autocommit) SQLEndTran(SQL_HANDLE_DBC, conn_->h, SQL_ROLLBACK);
      conn_->in_use = false;
    }
  }

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

 private:
  int OpenOnConnection(Op op, const std::vector<Value>& values, std::unique_ptr<Cursor>& out);
  int SwitchPostgres(const std::string& name);

  std::shared_ptr<Shared> sh_;
  std::string file_;  // SQLite: the database file of the data source
};

int OdbcSession::SelectOne(Op op, const std::vector<Bind>& in, Row& out) {
  if (Op_Info(op).kind != OpKind::Select)
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a single-row select");
  odbc::Prepared* slot = nullptr;
  TxnPolicy::Undo undo;
  bool no_data = false;
  int rc = sh_->RunInputs(op, in, false, slot, undo, no_data);
  if (rc != kOk) return rc;
  const SQLHSTMT st = slot->h;
  Row row;
  SQLRETURN f = SQLFetch(st);
  if (f == SQL_NO_DATA) {
    rc = kNoData;  // no failure: the detail of the last one stays
  } else if (!Ok(f)) {
    rc = sh_->FailOn(SQL_HANDLE_STMT, st);
  } else {
    rc = sh_->ReadRow(*slot, Op_Info(op).out, row);
    if (rc == kOk) {
      f = SQLFetch(st);
      if (Ok(f))
        rc = sh_->Fail(kTooManyRows, "single-row select found more than one row");
      else if (f != SQL_NO_DATA)
        rc = sh_->FailOn(SQL_HANDLE_STMT, st);
    }
  }
  SQLFreeStmt(st, SQL_CLOSE);
  rc = sh_->Done(undo, rc);
  if (rc == kOk) out = std::move(row);
  return rc;
}

int OdbcSession::Write(Op op, const std::vector<Bind>& in) {
  if (!Op_IsWrite(op))
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a write");
  odbc::Prepared* slot = nullptr;
  TxnPolicy::Undo undo;
  bool no_data = false;
  int rc = sh_->RunInputs(op, in, true, slot, undo, no_data);
  if (rc != kOk) return rc;
  SQLLEN n = -1;
  if (!no_data) SQLRowCount(slot->h, &n);
  SQLFreeStmt(slot->h, SQL_CLOSE);
  if ((no_data || n == 0) && Op_Info(op).kind == OpKind::UpdateOrDelete) rc = kNoData;
  return sh_->Done(undo, rc, true);
}

// Outside a transaction the savepoint would hold nothing before it: the write runs on its own in
// the driver's autocommit mode, which commits it when it succeeds and undoes it when it fails, in
// one exchange with the server. Inside an open transaction the steps run one by one.
int OdbcSession::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  if (sh_->lost) return sh_->Lost();
  if (sh_->txn.Open() || !Op_IsWrite(op) || !IsIdentifier(savepoint))
    return Session::WriteDurably(op, in, savepoint);
  sh_->EndSnapshot(nullptr);
  if (!sh_->main->autocommit) return Session::WriteDurably(op, in, savepoint);
  std::vector<Value> values;
  Params params;
  odbc::Prepared* slot = nullptr;
  int rc = sh_->Values(op, in, values);
  if (rc == kOk) rc = sh_->ToParams(sh_->dialect.Statement(op), values, params);
  if (rc == kOk) rc = sh_->Statement(*sh_->main, op, false, slot);
  bool no_data = false;
  if (rc == kOk) rc = sh_->Execute(slot->h, params, no_data);
  if (rc != kOk) return sh_->lost ? kLostConnection : rc;
  SQLLEN n = -1;
  if (!no_data) SQLRowCount(slot->h, &n);
  SQLFreeStmt(slot->h, SQL_CLOSE);
  return (no_data || n == 0) && Op_Info(op).kind == OpKind::UpdateOrDelete ? kNoData : kOk;
}

int OdbcSession::Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
  out.reset();
  if (Op_Info(op).kind != OpKind::Cursor)
    return sh_->Fail(kInternal, std::string(Op_Info(op).name) + " is not a cursor");
  std::vector<Value> values;
  int rc = sh_->Values(op, in, values);
  if (rc != kOk) return rc;
  if (!sh_->one_session) return OpenOnConnection(op, values, out);
  if (sh_->open_cursors >= kMaxCursors)
    return sh_->Fail(kTooManyCursors,
                     "more than " + std::to_string(kMaxCursors) + " cursors open at a time");
  const bool paged = sh_->dialect.Paged(op) != nullptr;
  if (paged) {
    Value limit;
    limit.null = false;
    limit.is_int = true;
    limit.num = kFirstPage;
    values.push_back(limit);
  }
  odbc::Prepared* slot = nullptr;
  TxnPolicy::Undo undo;
  bool no_data = false;
  auto cursor = std::make_unique<OdbcCursor>(sh_, sh_->main.get(), op);
  if (paged && (rc = sh_->BeginSnapshot(cursor.get())) != kOk) return rc;
  rc = sh_->RunMain(op, values, false, paged, slot, undo, no_data);
  if (rc != kOk) {
    sh_->EndSnapshot(cursor.get());
    return rc;
  }
  SQLSMALLINT cols = 0;
  SQLNumResultCols(slot->h, &cols);
  if (static_cast<size_t>(cols) != Op_Width(Op_Info(op).out) + (paged ? 1 : 0)) {
    SQLFreeStmt(slot->h, SQL_CLOSE);
    rc = sh_->Done(undo,
                   sh_->Fail(kInternal, "the query selects " + std::to_string(cols) + " columns"));
    sh_->EndSnapshot(cursor.get());
    return rc;
  }
  rc = sh_->Done(undo, kOk);
  cursor->Take(slot);
  if (paged) cursor->Page(std::move(values));
  out = std::move(cursor);
  return rc;
}

// The fallback: the cursor runs on a connection of its own, in a transaction of its own.
int OdbcSession::OpenOnConnection(Op op, const std::vector<Value>& values,
                                  std::unique_ptr<Cursor>& out) {
  Conn* conn = nullptr;
  for (auto& c : sh_->pool)
    if (!c->in_use) conn = c.get();
  if (conn == nullptr)
    return sh_->Fail(kTooManyCursors,
                     "more than " + std::to_string(kMaxCursors) + " cursors open at a time");
  Params params;
  int rc = sh_->ToParams(sh_->dialect.Statement(op), values, params);
  odbc::Prepared* slot = nullptr;
  if (rc == kOk) rc = sh_->Statement(*conn, op, false, slot);
  bool no_data = false;
  if (rc == kOk) rc = sh_->Execute(slot->h, params, no_data);
  if (rc != kOk) {
    if (!conn->autocommit) {
      const ErrorDetail keep = sh_->last;
      sh_->EndTran(*conn, SQL_ROLLBACK);
      sh_->last = keep;
    }
    return rc;
  }
  SQLSMALLINT cols = 0;
  SQLNumResultCols(slot->h, &cols);
  if (static_cast<size_t>(cols) != Op_Width(Op_Info(op).out)) {
    SQLFreeStmt(slot->h, SQL_CLOSE);
    return sh_->Fail(kInternal, "the query selects " + std::to_string(cols) + " columns");
  }
  conn->in_use = true;
  auto cursor = std::make_unique<OdbcCursor>(sh_, conn, op);
  cursor->Take(slot);
  out = std::move(cursor);
  return kOk;
}

int OdbcSession::ExecDynamic(const std::string& text) {
  if (sh_->lost) return sh_->Lost();
  std::string name;
  const int parsed = ParseSchemaStatement(text, name, sh_->last);
  if (parsed != kOk) return parsed;
  switch (sh_->dialect.engine) {
    case Engine::Postgres: return SwitchPostgres(name);
    case Engine::Sqlite: return odbc::SqliteSwitch(file_, name, sh_->last);
    case Engine::Oracle:
    case Engine::Other: break;
  }
  int rc = sh_->Run(*sh_->main, text);  // the text as it stands, on every connection
  for (size_t i = 0; rc == kOk && i < sh_->pool.size(); ++i) rc = sh_->Run(*sh_->pool[i], text);
  return rc;
}

int OdbcSession::SwitchPostgres(const std::string& name) {
  const odbc::PgSwitch sw = odbc::PostgresSwitch(name, sh_->dialect.compat);
  for (size_t i = 0; i <= sh_->pool.size(); ++i) {
    Conn& c = i == 0 ? *sh_->main : *sh_->pool[i - 1];
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st))) return sh_->FailOn(SQL_HANDLE_DBC, c.h);
    Params p;
    for (const std::string* v : {&sw.folded, &sw.rest, &sw.folded}) {
      Params::Value value;
      value.text = *v;
      p.Add(value);
    }
    Failure f;
    int rc = odbc::BindParams(st, p, f) ? kOk : sh_->Fail(f);
    std::string text = sw.sql;
    if (rc == kOk && !Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)))
      rc = sh_->FailOn(SQL_HANDLE_STMT, st);
    if (rc == kOk) {
      const SQLRETURN r = SQLFetch(st);
      if (r == SQL_NO_DATA)
        rc = sh_->Fail(kNoSchema, "schema \"" + sw.folded + "\" does not exist");
      else if (!Ok(r))
        rc = sh_->FailOn(SQL_HANDLE_STMT, st);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    // The setting outlasts the transaction only once it is committed.
    if (!c.autocommit && (i > 0 || !sh_->txn.Open()))
      sh_->EndTran(c, rc == kOk ? SQL_COMMIT : SQL_ROLLBACK);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int OdbcSession::ExecScript(const std::string& sql) {
  TxnPolicy::Undo undo;
  if (sh_->lost) return sh_->Lost();
  int rc = sh_->txn.Prepare(true, undo);
  if (rc != kOk) return rc;
  for (const std::string& part : odbc::SplitScript(sql)) {
    rc = sh_->Run(*sh_->main, part);
    if (rc != kOk) return sh_->Done(undo, rc);
  }
  sh_->Done(undo, kOk, true);
  return Commit();
}

int OdbcSession::Query(const std::string& sql, std::vector<Row>& rows) {
  TxnPolicy::Undo undo;
  if (sh_->lost) return sh_->Lost();
  int rc = sh_->txn.Prepare(false, undo);
  if (rc != kOk) return rc;
  Conn& main = *sh_->main;
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, main.h, &st)))
    return sh_->Done(undo, sh_->FailOn(SQL_HANDLE_DBC, main.h));
  std::string text = sql;
  std::vector<Row> all;
  if (!Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS))) {
    rc = sh_->FailOn(SQL_HANDLE_STMT, st);
  } else {
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st, &cols);
    std::vector<bool> is_int(static_cast<size_t>(cols));
    for (SQLSMALLINT c = 1; c <= cols; ++c) {
      SQLSMALLINT type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(st, static_cast<SQLUSMALLINT>(c), nullptr, 0, nullptr, &type, &size, &digits,
                     &nullable);
      is_int[static_cast<size_t>(c - 1)] =
          type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_BIGINT ||
          type == SQL_TINYINT || ((type == SQL_NUMERIC || type == SQL_DECIMAL) && digits == 0);
    }
    SQLRETURN f;
    while (rc == kOk && Ok(f = SQLFetch(st))) {
      Row row(static_cast<size_t>(cols));
      for (SQLSMALLINT c = 0; rc == kOk && c < cols; ++c) {
        Cell& cell = row[static_cast<size_t>(c)];
        bool null = false;
        Failure fail;
        if (!odbc::GetText(st, static_cast<SQLUSMALLINT>(c + 1), cell.text, null, fail))
          rc = sh_->Fail(fail);
        cell.null = null;
        // SQLite's driver reports expressions (count(*), PRAGMA values) as texts.
        if (!null && (is_int[static_cast<size_t>(c)] ||
                      (sh_->dialect.engine == Engine::Sqlite && CanonicalInteger(cell.text))))
          cell.is_int = odbc::ParseNumber(cell.text, cell.num);
      }
      all.push_back(std::move(row));
    }
    if (rc == kOk && f != SQL_NO_DATA) rc = sh_->FailOn(SQL_HANDLE_STMT, st);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  rc = sh_->Done(undo, rc);
  if (rc == kOk) rows = std::move(all);
  return rc;
}

int OdbcSession::BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                            const std::vector<Row>& rows) {
  if (!IsIdentifier(table) || columns.empty())
    return sh_->Fail(kInvalidSql, "bad table name " + table);
  std::string sql = "INSERT INTO " + table + " (", marks;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!IsIdentifier(columns[i])) return sh_->Fail(kInvalidSql, "bad column name " + columns[i]);
    sql += (i ? "," : "") + columns[i];
    marks += i ? ",?" : "?";
  }
  sql += ") VALUES (" + marks + ")";
  if (sh_->txn.Open()) return sh_->Fail(kInternal, "a transaction is open");
  int rc = sh_->Begin();
  if (rc != kOk) return rc;
  Conn& main = *sh_->main;
  SQLHSTMT st = SQL_NULL_HSTMT;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, main.h, &st))) return sh_->FailOn(SQL_HANDLE_DBC, main.h);
  if (!Ok(SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
    rc = sh_->FailOn(SQL_HANDLE_STMT, st);
  for (size_t r = 0; rc == kOk && r < rows.size(); ++r) {
    if (rows[r].size() != columns.size()) {
      rc = sh_->Fail(kInternal, "row of " + std::to_string(rows[r].size()) + " cells");
      break;
    }
    Params p;
    for (const Cell& c : rows[r]) p.AddCell(c);
    bool no_data = false;
    rc = sh_->Execute(st, p, no_data);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  if (rc == kOk) return sh_->Finish(TxnPrimitives::End::Commit);
  const ErrorDetail keep = sh_->last;
  sh_->Finish(TxnPrimitives::End::Rollback);
  sh_->last = keep;
  return rc;
}

int OdbcSession::Describe(Op op, int& inputs, int& columns) {
  odbc::Prepared* slot = nullptr;
  int rc = sh_->Statement(*sh_->main, op, false, slot);
  if (rc != kOk) return rc;
  SQLSMALLINT params = 0, cols = 0;
  if (!Ok(SQLNumParams(slot->h, &params)) || !Ok(SQLNumResultCols(slot->h, &cols)))
    rc = sh_->FailOn(SQL_HANDLE_STMT, slot->h);
  if (!sh_->txn.Open()) sh_->Finish(TxnPrimitives::End::Discard);
  if (rc != kOk) return rc;
  const odbc::Text& text = sh_->dialect.Statement(op);
  if (static_cast<size_t>(params) != text.binds.size())
    return sh_->Fail(kInternal, "the driver counts " + std::to_string(params) + " placeholders");
  // The statement's own inputs among the values the text binds (derived ones not counted).
  std::vector<bool> used(Op_Width(Op_Info(op).in), false);
  for (int i : text.binds)
    if (static_cast<size_t>(i) < used.size()) used[static_cast<size_t>(i)] = true;
  inputs = 0;
  for (bool u : used) inputs += u ? 1 : 0;
  columns = cols;
  return kOk;
}

// Runs the dialect's settings on a fresh connection.
int Setup(Shared& sh, Conn& c, bool cursor) {
  for (const std::string& sql : sh.dialect.Setup(cursor, sh.one_session, g_lock_wait_ms)) {
    const int rc = sh.Run(c, sql);
    if (rc != kOk) return rc;
  }
  // The cursors' connections of the fallback: PostgreSQL's server-side cursors need a
  // transaction, SQLite's driver streams only in autocommit mode.
  if (cursor && sh.dialect.engine != Engine::Sqlite && !c.SetAutocommit(false))
    return sh.FailOn(SQL_HANDLE_DBC, c.h);
  return kOk;
}

// The database file of a SQLite data source ("" in memory).
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

std::string DbmsName(Conn& c) {
  char name[128] = {0};
  SQLSMALLINT len = 0;
  SQLGetInfo(c.h, SQL_DBMS_NAME, name, sizeof name, &len);
  return name;
}

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
  if (sh->dialect.engine == Engine::Sqlite) {
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
  if (sh->dialect.engine == Engine::Postgres &&
      odbc::Lower(odbc::TargetAttribute(t, "ParvekTexts")) == "record") {
    sh->dialect.texts = odbc::Texts::Record;
    sh->dialect.compat = true;
  }
  const bool forced = odbc::Lower(odbc::TargetAttribute(t, "ParvekCursors")) == "connections";
  const SQLUSMALLINT commit = CursorBehaviour(*sh->main, SQL_CURSOR_COMMIT_BEHAVIOR);
  sh->rollback_keeps_cursors =
      CursorBehaviour(*sh->main, SQL_CURSOR_ROLLBACK_BEHAVIOR) == SQL_CB_PRESERVE;
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
  for (size_t i = 0; rc == kOk && cursors && !sh->one_session && i < kMaxCursors; ++i) {
    std::unique_ptr<Conn> c;
    rc = odbc::Connect(sh->env, t, user, password,
                       sh->dialect.Options(true, g_lock_wait_ms) + as_it_stands,
                       sh->dialect.engine, c, f);
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

}  // namespace

void OdbcSetLockWaitMs(int ms) { g_lock_wait_ms = ms; }

bool OdbcHasDataSource(const std::string& name) {
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

int OdbcLogon(const std::string& user, const std::string& password, const std::string& net,
              std::unique_ptr<Session>& out) {
  std::shared_ptr<Shared> sh;
  Failure f;
  const int rc = OpenAll(user, password, net, true, sh, f);
  if (rc != kOk) return rc;
  std::string file = sh->dialect.engine == Engine::Sqlite ? SqliteFile(*sh->main) : "";
  out = std::make_unique<OdbcSession>(std::move(sh), std::move(file));
  return kOk;
}

int OdbcCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                     const std::string& schema, std::string& why) {
  if (!IsIdentifier(schema)) {
    why = "schema name '" + schema + "' is not an identifier";
    return kBadSchemaName;
  }
  odbc::Target t;
  if (odbc::ParseNet(net, t) != kOk) {
    why = "NET8 names no data source, or holds credentials of its own";
    return kBadNetName;
  }
  // A SQLite data source may name a file that does not exist yet: it is made here.
  const bool may_create_file = odbc::EngineOfDriver(odbc::DriverOf(t)) == Engine::Sqlite;
  // A SQLite file is named like its schema; nothing is made under another name.
  const std::string named = may_create_file ? odbc::TargetAttribute(t, "Database") : "";
  if (!named.empty() && odbc::Lower(odbc::Stem(named)) != odbc::Lower(schema)) {
    why = "the data source's database is " + named + ", not schema " + schema;
    return kNoSchema;
  }
  std::shared_ptr<Shared> sh;
  Failure f;
  int rc = kOk;
  if (may_create_file) {
    sh = std::make_shared<Shared>();
    sh->env = std::make_shared<odbc::EnvHandle>();
    rc = odbc::Connect(sh->env, t, user, password, "", Engine::Sqlite, sh->main, f);
    if (rc == kOk) {
      sh->dialect = Dialect::Of(odbc::EngineOf(DbmsName(*sh->main)));
      sh->txn.Configure(sh->Traits());
    }
  } else {
    rc = OpenAll(user, password, net, false, sh, f);
  }
  if (rc != kOk) {
    why = "logon failed: " + f.message;
    return rc;
  }
  Conn& c = *sh->main;
  std::vector<std::string> ddl;
  if (sh->dialect.engine == Engine::Postgres) {
    const std::string q = "\"" + odbc::Lower(schema) + "\"";
    ddl = {"CREATE SCHEMA " + q, "SET LOCAL search_path TO " + q};
    for (auto& s : odbc::SplitScript(kPgSchemaDdl)) ddl.push_back(s);
  } else if (sh->dialect.engine == Engine::Sqlite) {
    const std::string file = SqliteFile(c);
    if (odbc::Lower(odbc::Stem(file)) != odbc::Lower(schema)) {
      why = "the data source's database is " + file + ", not schema " + schema;
      return kNoSchema;
    }
    rc = sh->Run(c, "PRAGMA journal_mode=WAL");
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, c.h, &st);
    char count[] = "select count(*) from sqlite_master where type = 'table'";
    std::string n;
    bool null = false;
    if (rc == kOk && Ok(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(count), SQL_NTS)) &&
        Ok(SQLFetch(st)))
      odbc::GetText(st, 1, n, null, f);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (rc == kOk && n != "0") {
      why = "schema " + schema + " exists already (" + file + " holds tables); it is not changed";
      return kSchemaExists;
    }
    for (auto& s : odbc::SplitScript(sqlite::kSchemaDdl)) ddl.push_back(s);
  } else {
    why = "schemas on this server are made by its administrators (see the guide databases.md)";
    return kNoPrivilege;
  }
  if (!c.SetAutocommit(false)) return sh->FailOn(SQL_HANDLE_DBC, c.h);
  for (const std::string& s : ddl) {
    rc = sh->Run(c, s);
    if (rc != kOk) break;
  }
  if (rc == kOk) rc = sh->EndTran(c, SQL_COMMIT);
  if (rc != kOk) {
    if (sh->last.sqlstate == "42P06") {
      why = "schema " + schema + " exists already; it is not changed";
      return kSchemaExists;
    }
    why = "cannot create the tables: " + sh->last.message;
    return rc;
  }
  return kOk;
}

}  // namespace pvc
