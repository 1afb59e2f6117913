// The PostgreSQL session: one main connection for single-row selects, writes, savepoints and
// commits, and one pooled connection per open cursor.
//
// Statement failures: PostgreSQL aborts the whole transaction on any error, the job expects a
// failed statement to undo only itself. Every statement that runs inside a transaction is
// therefore guarded: when the last thing done was setting a savepoint (or nothing has run in the
// transaction yet), a failure rolls back to that point; otherwise the statement runs between an
// internal savepoint and its release. Outside a transaction a read runs on its own; a write
// opens a transaction first, since writes never commit by themselves.
//
// Cursors: the yesterday and earlier-days cursors, whose results grow with the data, run each on
// a connection of its own, in a REPEATABLE READ read-only transaction, as a server-side cursor
// fetched in small batches: their rows are those that matched at the open, whatever the main
// connection commits later, and their memory is one batch. The booking cursors deliver one
// person's bookings of one day; they are read whole at the open on the main connection. For a
// preview (CursorsSeeOwnWrites) every cursor is read that way, inside the open transaction.
//
// Reads run ahead (ReadAhead): outside a transaction the announced selects and booking cursors
// go to the server as one pipeline, one exchange for all; each result answers the first call of
// the same statement with the same parameters. Every call that writes or ends or sets anything
// drops the results not asked for, so a result never answers across the session's own write.
#include <libpq-fe.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/postgres/backend.h"
#include "client/core/codes.h"
#include "client/core/counters.h"
#include "client/core/bind.h"
#include "client/postgres/conn.h"
#include "client/core/pg_errors.h"
#include "client/core/engine_texts.h"
#include "client/core/txn.h"

namespace pvc {
namespace {

constexpr size_t kIdleCursorConns = 4;  // connections kept for reuse by later cursors
constexpr int kFirstBatch = 4;          // rows per FETCH, doubling up to kMaxBatch
constexpr int kMaxBatch = 256;

// State shared by a session and the cursors it opened (which may outlive it).
struct PgShared {
  PgTarget target;
  std::string search_path;  // quoted schema of the last successful switch; "" = server default
  struct Idle {
    PgConnPtr conn;
    std::string search_path;
    bool pending = false;                   // a rollback was sent whose answer has not been read
    std::array<bool, kOpCount> prepared{};  // paged statements prepared on this connection
  };
  std::vector<Idle> idle;
  ErrorDetail last;
};

// Parameter values of one statement: NULL for an empty text, dates as timestamps.
struct Params {
  std::vector<std::string> text;
  std::vector<bool> null;

  std::vector<const char*> Pointers() const {
    std::vector<const char*> p(text.size());
    for (size_t i = 0; i < text.size(); ++i) p[i] = null[i] ? nullptr : text[i].c_str();
    return p;
  }
  void Add(std::string v, bool is_null) {
    text.push_back(std::move(v));
    null.push_back(is_null);
  }
};

int ToParams(Op op, const std::vector<Bind>& in, Params& out, ErrorDetail& err) {
  std::vector<Value> values;
  const int rc = BindValues(op, in, values, err);
  if (rc != kOk) return rc;
  for (Value& v : values) out.Add(v.is_int ? std::to_string(v.num) : std::move(v.text), v.null);
  for (Value& v : Pg_DerivedValues(op, in)) out.Add(std::move(v.text), v.null);
  return kOk;
}

bool IsIntType(Oid t) { return t == 20 || t == 21 || t == 23; }  // int8, int2, int4

// A whole number in a numeric column (databases made by other programs often declare their
// integer columns that way): an optional minus sign and digits only.
bool IsWholeNumber(Oid t, const char* v) {
  if (t != 1700) return false;  // numeric
  if (*v == '-') ++v;
  if (*v == '\0') return false;
  for (; *v != '\0'; ++v)
    if (*v < '0' || *v > '9') return false;
  return true;
}

// Reads the first `cols` columns of row `r` (all when `cols` is negative).
void ReadRow(const PGresult* res, int r, Row& row, int cols = -1) {
  if (cols < 0) cols = PQnfields(res);
  row.assign(static_cast<size_t>(cols), Cell{});
  for (int c = 0; c < cols; ++c) {
    Cell& cell = row[static_cast<size_t>(c)];
    if (PQgetisnull(res, r, c)) continue;
    cell.null = false;
    cell.text = PQgetvalue(res, r, c);
    if (IsIntType(PQftype(res, c)) || IsWholeNumber(PQftype(res, c), cell.text.c_str())) {
      cell.is_int = true;
      cell.num = std::strtoll(cell.text.c_str(), nullptr, 10);
    }
  }
}

// Reads what is left of a pooled connection's last use (the rollback that ended its cursor).
// True when the connection is idle and fit for the next cursor.
bool Settle(PgShared::Idle& link) {
  if (link.pending) {
    bool ok = true;
    while (PGresult* r = PQgetResult(link.conn.get())) {
      ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
    }
    link.pending = false;
    if (!ok) return false;
  }
  return PQstatus(link.conn.get()) == CONNECTION_OK &&
         PQtransactionStatus(link.conn.get()) == PQTRANS_IDLE;
}

class PgCursor final : public Cursor {
 public:
  PgCursor(std::shared_ptr<PgShared> shared, PgShared::Idle link)
      : shared_(std::move(shared)), link_(std::move(link)) {}

  ~PgCursor() override {
    if (!link_.conn || PQstatus(link_.conn.get()) != CONNECTION_OK) return;
    if (shared_->idle.size() >= kIdleCursorConns) return;  // closing the connection ends all
    // The rollback ends the transaction and with it the server-side cursor. Its answer is read
    // when the connection is next taken, so the close costs no wait.
    if (PQsendQuery(link_.conn.get(), "ROLLBACK") != 1) return;
    link_.pending = true;
    shared_->idle.push_back(std::move(link_));
  }

  // Opens the cursor and fetches its first rows, in one exchange with the server. The
  // transaction's snapshot is taken by the first query. A paged cursor (Pg_PagedStatement)
  // runs its prepared page query inside that transaction, one page per exchange; any other
  // is a server-side cursor (DECLARE, then FETCH).
  int Open(Op op, Params params) {
    PGconn* c = link_.conn.get();
    ErrorDetail& err = shared_->last;
    if (link_.search_path != shared_->search_path) {
      // Outside the transaction, so that it outlasts the rollback that ends the cursor.
      const std::string path = shared_->search_path.empty() ? "DEFAULT" : shared_->search_path;
      const int rc = Pg_Exec(c, "SET search_path TO " + path, err);
      if (rc != kOk) return rc;
      link_.search_path = shared_->search_path;
    }
    const char* paged = Pg_PagedStatement(op);
    const size_t i = static_cast<size_t>(op);
    const bool prepare = paged != nullptr && !link_.prepared[i];
    // The transaction begins first: a prepare before it would open one of its own.
    if (PQenterPipelineMode(c) != 1 ||
        PQsendQueryParams(c, "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY", 0, nullptr,
                          nullptr, nullptr, nullptr, 0) != 1 ||
        (prepare && PQsendPrepare(c, Pg_StatementName(op), paged, 0, nullptr) != 1))
      return Broken(Pg_ResultCode(c, nullptr, err));
    bool sent;
    if (paged != nullptr) {
      op_ = op;
      params_ = std::move(params);
      params_.Add(std::to_string(batch_size_), false);
      sent = SendPage();
    } else {
      const std::string declare =
          std::string("DECLARE pvk_cursor NO SCROLL CURSOR FOR ") + Pg_Statement(op).text;
      const auto values = params.Pointers();
      sent =
          PQsendQueryParams(c, declare.c_str(), static_cast<int>(values.size()), nullptr,
                            values.data(), nullptr, nullptr, 0) == 1 &&
          PQsendQueryParams(c, FetchSql().c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
    }
    if (!sent || PQpipelineSync(c) != 1) return Broken(Pg_ResultCode(c, nullptr, err));
    CountTrip();
    const int queries = (prepare ? 1 : 0) + (paged != nullptr ? 2 : 3);
    int rc = kOk;
    const bool whole = Pg_ReadPipeline(c, queries, [&](int q, PgResultPtr& r) {
      const ExecStatusType st = PQresultStatus(r.get());
      if (q == queries - 1 && st == PGRES_TUPLES_OK) {
        TakeBatch(std::move(r));
      } else if (st == PGRES_COMMAND_OK && prepare && q == 1) {
        link_.prepared[i] = true;
      } else if (st != PGRES_COMMAND_OK && st != PGRES_PIPELINE_ABORTED && rc == kOk) {
        rc = Pg_ResultCode(c, r.get(), err);
      }
    });
    if (!whole) return Broken(rc != kOk ? rc : Pg_ResultCode(c, nullptr, err));
    if (rc != kOk) {
      ErrorDetail ignored;
      if (PQtransactionStatus(c) != PQTRANS_IDLE) Pg_Exec(c, "ROLLBACK", ignored);
      batch_.reset();
    }
    return rc;
  }

  int Fetch(Row& row) override {
    if (failed_ != kOk) return failed_;
    if (batch_ && pos_ < PQntuples(batch_.get())) {
      ReadRow(batch_.get(), pos_++, row, columns_);
      return kOk;
    }
    if (done_) return kNoData;
    PGconn* c = link_.conn.get();
    PgResultPtr res;
    CountTrip();
    if (paged()) {
      params_.text.back() = std::to_string(batch_size_);
      if (SendPage()) res.reset(PQgetResult(c));
      // Read on to the end of the page's results, so the connection is free again.
      while (PGresult* rest = PQgetResult(c)) PQclear(rest);
    } else {
      res.reset(PQexec(c, FetchSql().c_str()));
    }
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      failed_ = Pg_ResultCode(c, res.get(), shared_->last);
      batch_.reset();
      return failed_;
    }
    TakeBatch(std::move(res));
    if (!batch_) return kNoData;
    ReadRow(batch_.get(), pos_++, row, columns_);
    return kOk;
  }

 private:
  bool paged() const { return !params_.text.empty(); }

  std::string FetchSql() const {
    return "FETCH FORWARD " + std::to_string(batch_size_) + " FROM pvk_cursor";
  }

  // Sends the next page's query: the open's values, the key bound, the limit.
  bool SendPage() {
    const auto values = params_.Pointers();
    return PQsendQueryPrepared(link_.conn.get(), Pg_StatementName(op_),
                               static_cast<int>(values.size()), values.data(), nullptr, nullptr,
                               0) == 1;
  }

  // Makes `res` (a batch or page of rows) the current batch; no batch when it holds no row.
  // A page's last column is its key, which bounds the next page and is not delivered.
  void TakeBatch(PgResultPtr res) {
    const int n = PQntuples(res.get());
    if (n < batch_size_) done_ = true;
    if (batch_size_ < kMaxBatch) batch_size_ *= 2;
    columns_ = PQnfields(res.get());
    if (paged() && columns_ > 0) {
      --columns_;
      if (n > 0) {
        params_.text[kKeyParam] = PQgetvalue(res.get(), n - 1, columns_);
        params_.null[kKeyParam] = false;
      }
    }
    pos_ = 0;
    batch_ = n > 0 ? std::move(res) : nullptr;
  }

  // The connection is in an unknown state: it is not used again.
  int Broken(int rc) {
    link_.conn.reset();
    return rc;
  }

  static constexpr size_t kKeyParam = 1;  // $2 of a paged statement

  std::shared_ptr<PgShared> shared_;
  PgShared::Idle link_;
  Op op_ = Op::kCount;
  Params params_;  // a paged cursor's page values; empty for a server-side cursor
  PgResultPtr batch_;
  int columns_ = 0;  // columns delivered per row
  int pos_ = 0;
  int batch_size_ = kFirstBatch;
  bool done_ = false;
  int failed_ = kOk;
};

class PgSession final : public Session, public SessionTools, TxnPrimitives {
 public:
  PgSession(std::shared_ptr<PgShared> shared, PgConnPtr main)
      : shared_(std::move(shared)), main_(std::move(main)) {}

  int ExecDynamic(const std::string& text) override;
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override;
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override;
  int Write(Op op, const std::vector<Bind>& in) override;
  int Savepoint(const std::string& name) override;
  int RollbackTo(const std::string& name) override;
  int ReleaseSavepoint(const std::string& name) override {
    ahead_.clear();
    if (Lost()) return kLostConnection;
    return txn_.Release(name);
  }
  int Commit() override;
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override;
  void ReadAhead(const std::vector<Read>& reads) override;
  ErrorDetail LastError() const override { return shared_->last; }
  SessionTools* Tools() override { return this; }
  int ExecScript(const std::string& sql) override;
  int Query(const std::string& sql, std::vector<Row>& rows) override;
  // The fast load path for tools: COPY FROM STDIN, one transaction of its own.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override;
  int Describe(Op op, int& inputs, int& columns) override;
  int CursorsSeeOwnWrites(bool on) override {
    ahead_.clear();
    own_cursors_ = on;
    return kOk;
  }
  int RollbackAll() override {
    ahead_.clear();
    if (Lost()) return kLostConnection;
    return txn_.RollbackAll();
  }

 private:
  using Undo = TxnPolicy::Undo;

  // ---- the primitives of the transaction policy
  int Exec(const std::string& sql) override { return Pg_Exec(main_.get(), sql, shared_->last); }
  int Begin() override { return InTransaction() ? kOk : Exec("BEGIN"); }
  int Finish(End how) override;
  bool InTransaction() override { return PQtransactionStatus(main_.get()) != PQTRANS_IDLE; }
  ErrorDetail& Detail() override { return shared_->last; }

  bool Lost() {
    if (PQstatus(main_.get()) == CONNECTION_OK) return false;
    SetError(shared_->last, kLostConnection, "connection to the server lost");
    return true;
  }
  int Fail(int rc, std::string message) { return SetError(shared_->last, rc, std::move(message)); }

  // Prepares `op` on the main connection once.
  int PrepareOp(Op op, int params);
  // Runs `op` on the main connection; `res` holds its result on 0.
  int Run(Op op, const std::vector<Bind>& in, bool write, PgResultPtr& res);
  int Switch(const std::string& name);

  std::shared_ptr<PgShared> shared_;
  PgConnPtr main_;
  std::array<bool, static_cast<size_t>(Op::kCount)> prepared_{};
  TxnPolicy txn_{*this, [] {
                   TxnTraits t;
                   t.guard_statements = true;  // a failed statement aborts the transaction
                   t.release_renamed = true;   // the server keeps every savepoint of a name
                   t.quote_names = true;
                   return t;
                 }()};
  bool own_cursors_ = false;  // every cursor read whole on the main connection
  // A read run ahead whose call has not come yet: statement, parameters, result.
  struct Ahead {
    Op op;
    Params params;
    PgResultPtr res;
  };
  std::vector<Ahead> ahead_;
};

int PgSession::Finish(End how) {
  if (!InTransaction()) return kOk;
  if (how != End::Commit) return Exec("ROLLBACK");
  // Bounded: a commit that waits for a standby that is gone must not hold the night forever.
  PgResultPtr res;
  const int rc = Pg_ExecBounded(main_.get(), "COMMIT", res, shared_->last);
  if (rc == kLostConnection) main_.reset();  // the outcome is not known: no further statement
  if (rc != kOk) return rc;
  // A transaction that had failed ends with a rollback, which COMMIT reports this way.
  if (std::string(PQcmdStatus(res.get())) != "COMMIT")
    return Fail(kInternal, "the transaction was rolled back");
  return kOk;
}

int PgSession::Run(Op op, const std::vector<Bind>& in, bool write, PgResultPtr& res) {
  if (Lost()) return kLostConnection;
  Params params;
  int rc = ToParams(op, in, params, shared_->last);
  if (rc != kOk) return rc;
  if (write) ahead_.clear();
  for (auto it = ahead_.begin(); it != ahead_.end(); ++it) {
    if (it->op != op || it->params.text != params.text || it->params.null != params.null) continue;
    res = std::move(it->res);
    ahead_.erase(it);
    CountAhead(true);
    return kOk;
  }
  Undo undo;
  rc = txn_.Prepare(write, undo);
  if (rc != kOk) return rc;
  const char* name = Pg_StatementName(op);
  rc = PrepareOp(op, static_cast<int>(params.text.size()));
  if (rc != kOk) return txn_.Finish(undo, rc);
  const auto values = params.Pointers();
  CountTrip();
  res.reset(PQexecPrepared(main_.get(), name, static_cast<int>(values.size()), values.data(),
                           nullptr, nullptr, 0));
  const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    rc = Pg_ResultCode(main_.get(), res.get(), shared_->last);
    res.reset();
    return txn_.Finish(undo, rc);
  }
  if (write && Op_Info(op).kind == OpKind::UpdateOrDelete && std::atoi(PQcmdTuples(res.get())) == 0)
    rc = kNoData;
  return txn_.Finish(undo, rc, write);
}

int PgSession::PrepareOp(Op op, int params) {
  const size_t i = static_cast<size_t>(op);
  if (prepared_[i]) return kOk;
  // Prepared on first use: a missing table fails only the statements that need it.
  CountTrip();
  PgResultPtr p(
      PQprepare(main_.get(), Pg_StatementName(op), Pg_Statement(op).text, params, nullptr));
  if (!p || PQresultStatus(p.get()) != PGRES_COMMAND_OK)
    return Pg_ResultCode(main_.get(), p.get(), shared_->last);
  prepared_[i] = true;
  return kOk;
}

int PgSession::Describe(Op op, int& inputs, int& columns) {
  if (Lost()) return kLostConnection;
  Undo undo;
  int rc = txn_.Prepare(false, undo);
  if (rc != kOk) return rc;
  const int derived = Pg_Statement(op).derived;
  rc = PrepareOp(op, static_cast<int>(Op_Width(Op_Info(op).in)) + derived);
  if (rc != kOk) return txn_.Finish(undo, rc);
  CountTrip();
  PgResultPtr d(PQdescribePrepared(main_.get(), Pg_StatementName(op)));
  if (!d || PQresultStatus(d.get()) != PGRES_COMMAND_OK)
    return txn_.Finish(undo, Pg_ResultCode(main_.get(), d.get(), shared_->last));
  inputs = PQnparams(d.get()) - derived;
  columns = PQnfields(d.get());
  return txn_.Finish(undo, kOk);
}

int PgSession::SelectOne(Op op, const std::vector<Bind>& in, Row& out) {
  if (Op_Info(op).kind != OpKind::Select) return Fail(kInternal, "not a select");
  PgResultPtr res;
  const int rc = Run(op, in, false, res);
  if (rc != kOk) return rc;
  const int n = PQntuples(res.get());
  if (n == 0) return kNoData;
  if (n > 1) return Fail(kTooManyRows, "single-row select found more than one row");
  ReadRow(res.get(), 0, out);
  return kOk;
}

int PgSession::Write(Op op, const std::vector<Bind>& in) {
  if (!Op_IsWrite(op)) return Fail(kInternal, "not a write");
  PgResultPtr res;
  return Run(op, in, true, res);
}

int PgSession::Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
  if (Op_Info(op).kind != OpKind::Cursor) return Fail(kInternal, "not a cursor");
  if (Op_FewRows(op) || own_cursors_) {
    // The bookings of one person on one day or in one day's time frame: a handful of rows, read
    // whole at the open through the main connection's prepared statement.
    PgResultPtr res;
    const int rc = Run(op, in, false, res);
    if (rc != kOk) return rc;
    std::vector<RowsCursor::Entry> rows(static_cast<size_t>(PQntuples(res.get())));
    for (size_t r = 0; r < rows.size(); ++r) ReadRow(res.get(), static_cast<int>(r), rows[r].row);
    out = std::make_unique<RowsCursor>(std::move(rows), nullptr);
    return kOk;
  }
  Params params;
  int rc = ToParams(op, in, params, shared_->last);
  if (rc != kOk) return rc;
  PgShared::Idle link;
  while (!shared_->idle.empty() && !link.conn) {
    link = std::move(shared_->idle.back());
    shared_->idle.pop_back();
    if (!Settle(link)) link = PgShared::Idle{};
  }
  if (!link.conn) {
    rc = shared_->target.Connect(link.conn, shared_->last, true);
    if (rc != kOk) return rc;
  }
  auto cursor = std::make_unique<PgCursor>(shared_, std::move(link));
  rc = cursor->Open(op, std::move(params));
  if (rc != kOk) return rc;
  out = std::move(cursor);
  return kOk;
}

int PgSession::Savepoint(const std::string& name) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  return txn_.Savepoint(name);
}

int PgSession::RollbackTo(const std::string& name) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  return txn_.RollbackTo(name);
}

int PgSession::Commit() {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  return txn_.Commit();
}

// Outside a transaction the savepoint, the write and the commit go as one pipeline: one
// exchange when the write succeeds. A write that fails aborts the rest of the pipeline, and the
// transaction, which held nothing but this write, is rolled back whole: a second exchange. An
// update or delete that matched nothing commits an empty transaction. Inside an open
// transaction the steps run one by one.
int PgSession::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  if (InTransaction() || !Op_IsWrite(op) || !IsIdentifier(savepoint))
    return Session::WriteDurably(op, in, savepoint);
  Params params;
  int rc = ToParams(op, in, params, shared_->last);
  if (rc != kOk) return rc;
  PGconn* c = main_.get();
  const size_t i = static_cast<size_t>(op);
  const bool prepare = !prepared_[i];
  const std::string set = "SAVEPOINT \"" + savepoint + "\"";
  const auto values = params.Pointers();
  auto send = [c](const char* sql) {
    return PQsendQueryParams(c, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  };
  txn_.Reset();
  if (PQenterPipelineMode(c) != 1 || !send("BEGIN") || !send(set.c_str()) ||
      (prepare && PQsendPrepare(c, Pg_StatementName(op), Pg_Statement(op).text,
                                static_cast<int>(values.size()), nullptr) != 1) ||
      PQsendQueryPrepared(c, Pg_StatementName(op), static_cast<int>(values.size()), values.data(),
                          nullptr, nullptr, 0) != 1 ||
      !send("COMMIT") || PQpipelineSync(c) != 1) {
    rc = Pg_ResultCode(c, nullptr, shared_->last);
    main_.reset();  // what was sent is not known: no further statement
    return rc == kOk ? kLostConnection : rc;
  }
  // The commit's wait is bounded; the answers to the steps before it come with its own.
  if (Pg_AwaitBounded(c, "COMMIT", shared_->last) != kOk) {
    main_.reset();
    return kLostConnection;
  }
  const int write = prepare ? 3 : 2;  // position of the write's answer
  const int queries = write + 2;
  const bool whole = Pg_ReadPipeline(c, queries, [&](int q, PgResultPtr& r) {
    const ExecStatusType st = PQresultStatus(r.get());
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
      if (prepare && q == write - 1) prepared_[i] = true;
      if (q == write && Op_Info(op).kind == OpKind::UpdateOrDelete &&
          std::atoi(PQcmdTuples(r.get())) == 0)
        rc = kNoData;
      // A transaction that had failed ends with a rollback, which COMMIT reports this way.
      if (q == queries - 1 && rc == kOk && std::string(PQcmdStatus(r.get())) != "COMMIT")
        rc = Fail(kInternal, "the transaction was rolled back");
    } else if (st != PGRES_PIPELINE_ABORTED && (rc == kOk || rc == kNoData)) {
      rc = Pg_ResultCode(c, r.get(), shared_->last);
    }
  });
  if (!whole) {
    if (rc == kOk || rc == kNoData) rc = Pg_ResultCode(c, nullptr, shared_->last);
    main_.reset();
    return rc == kOk ? kLostConnection : rc;
  }
  // A failed step left the transaction aborted: undone whole, once.
  if (InTransaction()) {
    ErrorDetail ignored;
    Pg_Exec(c, "ROLLBACK", ignored);
  }
  return rc;
}

void PgSession::ReadAhead(const std::vector<Read>& reads) {
  ahead_.clear();
  PGconn* c = main_.get();
  if (PQstatus(c) != CONNECTION_OK || InTransaction()) return;
  std::vector<Ahead> sent;
  for (const Read& r : reads) {
    const OpKind kind = Op_Info(r.op).kind;
    const bool on_main = kind == OpKind::Select || (kind == OpKind::Cursor && Op_FewRows(r.op));
    Params params;
    ErrorDetail ignored;  // a read that cannot be sent fails when it is asked for
    if (on_main && ToParams(r.op, r.in, params, ignored) == kOk)
      sent.push_back({r.op, std::move(params), nullptr});
  }
  if (sent.empty() || PQenterPipelineMode(c) != 1) return;
  // What each answer of the pipeline belongs to: a read (its index) or a prepare (-1 - op).
  std::vector<long> answers;
  std::array<bool, kOpCount> preparing{};
  bool ok = true;
  for (size_t k = 0; k < sent.size() && ok; ++k) {
    const size_t i = static_cast<size_t>(sent[k].op);
    const char* name = Pg_StatementName(sent[k].op);
    const auto values = sent[k].params.Pointers();
    const int n = static_cast<int>(values.size());
    if (!prepared_[i] && !preparing[i]) {
      preparing[i] = true;
      ok = PQsendPrepare(c, name, Pg_Statement(sent[k].op).text, n, nullptr) == 1;
      answers.push_back(-1 - static_cast<long>(i));
    }
    ok = ok && PQsendQueryPrepared(c, name, n, values.data(), nullptr, nullptr, 0) == 1;
    answers.push_back(static_cast<long>(k));
  }
  // A pipeline that could not be sent or read whole leaves the connection in a state not
  // known: it is not used again, and the next call reports the lost connection.
  if (!ok || PQpipelineSync(c) != 1) {
    main_.reset();
    return;
  }
  CountTrip();
  const bool whole =
      Pg_ReadPipeline(c, static_cast<int>(answers.size()), [&](int q, PgResultPtr& r) {
        const long a = answers[static_cast<size_t>(q)];
        const ExecStatusType st = PQresultStatus(r.get());
        if (a < 0 && st == PGRES_COMMAND_OK) prepared_[static_cast<size_t>(-1 - a)] = true;
        if (a >= 0 && st == PGRES_TUPLES_OK) sent[static_cast<size_t>(a)].res = std::move(r);
      });
  if (!whole) {
    main_.reset();
    return;
  }
  for (Ahead& a : sent) {
    if (!a.res) continue;
    CountAhead(false);
    ahead_.push_back(std::move(a));
  }
}

int PgSession::ExecDynamic(const std::string& text) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  std::string schema;
  const int rc = ParseSchemaStatement(text, schema, shared_->last);
  if (rc != kOk) return rc;
  return Switch(schema);
}

int PgSession::Switch(const std::string& name) {
  const std::string folded = Pg_Fold(name);
  Undo undo;
  int rc = txn_.Prepare(false, undo);
  if (rc != kOk) return rc;
  // One round trip: switches only when the schema exists.
  const char* values[] = {folded.c_str()};
  CountTrip();
  PgResultPtr res(
      PQexecParams(main_.get(),
                   "select set_config('search_path', quote_ident($1::text), false)"
                   " where exists (select 1 from pg_namespace where nspname = $1::text)",
                   1, nullptr, values, nullptr, nullptr, 0));
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK)
    return txn_.Finish(undo, Pg_ResultCode(main_.get(), res.get(), shared_->last));
  if (PQntuples(res.get()) == 0) {
    return txn_.Finish(undo, Fail(kNoSchema, "schema \"" + folded + "\" does not exist"));
  }
  shared_->search_path = "\"" + folded + "\"";
  return txn_.Finish(undo, kOk);
}

namespace {

// One cell in COPY's text format: \N for NULL, special characters escaped.
void AppendCopyCell(const Cell& c, std::string& line) {
  if (c.null) {
    line += "\\N";
    return;
  }
  if (c.is_int) {
    line += std::to_string(c.num);
    return;
  }
  for (char ch : c.text) {
    switch (ch) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      default: line += ch;
    }
  }
}

}  // namespace

int PgSession::BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                          const std::vector<Row>& rows) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  if (InTransaction()) return Fail(kInternal, "a transaction is open");
  if (!IsIdentifier(table) || columns.empty()) return Fail(kInvalidSql, "bad table name " + table);
  std::string sql = "COPY " + Pg_QuoteFolded(table) + " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!IsIdentifier(columns[i])) return Fail(kInvalidSql, "bad column name " + columns[i]);
    sql += (i ? "," : "") + Pg_QuoteFolded(columns[i]);
  }
  sql += ") FROM STDIN";
  PgResultPtr res(PQexec(main_.get(), sql.c_str()));
  if (!res || PQresultStatus(res.get()) != PGRES_COPY_IN)
    return Pg_ResultCode(main_.get(), res.get(), shared_->last);
  std::string chunk;
  bool sent = true;
  for (size_t r = 0; r < rows.size() && sent; ++r) {
    if (rows[r].size() != columns.size()) {
      PQputCopyEnd(main_.get(), "row with the wrong number of cells");
      sent = false;
      break;
    }
    for (size_t i = 0; i < rows[r].size(); ++i) {
      if (i) chunk += '\t';
      AppendCopyCell(rows[r][i], chunk);
    }
    chunk += '\n';
    if (chunk.size() >= (1u << 16) || r + 1 == rows.size()) {
      sent = PQputCopyData(main_.get(), chunk.data(), static_cast<int>(chunk.size())) == 1;
      chunk.clear();
    }
  }
  if (sent) PQputCopyEnd(main_.get(), nullptr);
  int rc = kOk;
  while (PGresult* raw = PQgetResult(main_.get())) {
    PgResultPtr end(raw);
    if (rc == kOk && PQresultStatus(raw) != PGRES_COMMAND_OK)
      rc = Pg_ResultCode(main_.get(), raw, shared_->last);
  }
  if (rc == kOk && !sent) rc = Fail(kInternal, "a row with the wrong number of cells");
  return rc;
}

int PgSession::ExecScript(const std::string& sql) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  Undo undo;
  int rc = txn_.Prepare(false, undo);
  if (rc != kOk) return rc;
  // Outside a transaction the statements of one text run as one transaction of their own.
  rc = txn_.Finish(undo, Exec(sql));
  if (rc != kOk) return rc;
  return Commit();
}

int PgSession::Query(const std::string& sql, std::vector<Row>& rows) {
  ahead_.clear();
  if (Lost()) return kLostConnection;
  Undo undo;
  int rc = txn_.Prepare(false, undo);
  if (rc != kOk) return rc;
  PgResultPtr res(PQexecParams(main_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK)
    return txn_.Finish(undo, Pg_ResultCode(main_.get(), res.get(), shared_->last));
  rc = txn_.Finish(undo, kOk);
  std::vector<Row> all(static_cast<size_t>(PQntuples(res.get())));
  for (int r = 0; r < PQntuples(res.get()); ++r) ReadRow(res.get(), r, all[static_cast<size_t>(r)]);
  rows = std::move(all);
  return rc;
}

}  // namespace

int PgLogon(const std::string& user, const std::string& password, const std::string& net,
            std::unique_ptr<Session>& out) {
  auto shared = std::make_shared<PgShared>();
  std::string why;
  int rc = shared->target.Set(user, password, net, why);
  if (rc != kOk) return rc;
  PgConnPtr main;
  rc = shared->target.Connect(main, shared->last);
  if (rc != kOk) return rc;
  out = std::make_unique<PgSession>(std::move(shared), std::move(main));
  return kOk;
}

}  // namespace pvc
