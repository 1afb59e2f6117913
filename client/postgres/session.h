// Inside the PostgreSQL backend's session: what a session shares with its cursors, parameter
// values, and the session class (client/postgres/session.cpp, cursor.cpp, pipeline.cpp,
// tools.cpp). Included only by client/postgres/*.cpp.
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
//
// Answers that come with a cursor's rows (Pg_Counted): the earlier-days cursor opened outside a
// transaction also delivers, per day, the answers of the two counts the job asks of it, from
// the cursor's snapshot. They wait in PgShared::answers for the first call of that statement
// with exactly those inputs, and go where the results read ahead go: every call that writes,
// ends or sets anything drops them and bumps the epoch, and no row delivered after that (its
// snapshot is older than the write) answers anything. Each row's answers replace those of the
// row before (the job asks of a day before it fetches the next), the cursor's close drops its
// own. The night writes only on the accounting day, which the cursor never delivers.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "client/core/bind.h"
#include "client/core/codes.h"
#include "client/core/counters.h"
#include "client/core/engine_texts.h"
#include "client/core/rows_cursor.h"
#include "client/core/txn.h"
#include "client/postgres/conn.h"

namespace pvc::pg {

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
  // The counts that came with the row a cursor delivered last, each for one call; the cursor
  // that delivered them, and the number of times the session dropped what it read ahead.
  struct Answer {
    Read read;
    int64_t count;
    bool used = false;
  };
  std::vector<Answer> answers;
  const void* answers_from = nullptr;
  uint64_t epoch = 0;
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

// Checks and converts `op`'s inputs `in` into `out`, its derived parameters after them.
int ToParams(Op op, const std::vector<Bind>& in, Params& out, ErrorDetail& err);
// Reads the first `cols` columns of row `r` (all when `cols` is negative).
void ReadRow(const PGresult* res, int r, Row& row, int cols = -1);
// The answer among PgShared::answers for a call of `op` with inputs `in`, not used yet.
PgShared::Answer* FindAnswer(PgShared& shared, Op op, const std::vector<Bind>& in);

// Reads what is left of a pooled connection's last use (the rollback that ended its cursor).
// True when the connection is idle and fit for the next cursor.
bool Settle(PgShared::Idle& link);

// Opens a cursor over `op` with `params` on `link` (a pooled connection or a new one) and fetches
// its first rows; on 0 `out` holds it. With `answers` a counted cursor leaves the counts of its
// rows in PgShared::answers (only outside a transaction of the session: a cursor does not see
// what the session has not committed).
int OpenCursor(std::shared_ptr<PgShared> shared, PgShared::Idle link, Op op, Params params,
               bool answers, std::unique_ptr<Cursor>& out);

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
    DropAhead();
    if (Lost()) return kLostConnection;
    return txn_.Release(name);
  }
  int Commit() override;
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override;
  void ReadAhead(const std::vector<Read>& reads) override;
  ErrorDetail LastError() const override { return shared_->last; }
  SessionTools* Tools() override { return this; }
  SessionRoute Route() override { return SessionRoute::Native("postgres"); }
  int ExecScript(const std::string& sql) override;
  int Query(const std::string& sql, std::vector<Row>& rows) override;
  // The fast load path for tools: COPY FROM STDIN, one transaction of its own.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override;
  int Describe(Op op, int& inputs, int& columns) override;
  int CursorsSeeOwnWrites(bool on) override {
    DropAhead();
    own_cursors_ = on;
    return kOk;
  }
  int RollbackAll() override {
    DropAhead();
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
  // Outside a transaction the savepoint, the write and the commit as one pipeline.
  bool WriteAlone(Op op, const std::vector<Bind>& in, const std::string& savepoint,
                  int& rc) override;

  bool Lost() {
    if (PQstatus(main_.get()) == CONNECTION_OK) return false;
    SetError(shared_->last, kLostConnection, "connection to the server lost");
    return true;
  }
  int Fail(int rc, std::string message) { return SetError(shared_->last, rc, std::move(message)); }
  // Drops every result read ahead and every answer a cursor delivered.
  void DropAhead() {
    ahead_.clear();
    shared_->answers.clear();
    shared_->answers_from = nullptr;
    ++shared_->epoch;
  }
  // An answer a cursor delivered for `op` with inputs `in`, taken: true with the count in `out`.
  bool TakeAnswer(Op op, const std::vector<Bind>& in, Row& out);

  // Prepares `op` on the main connection once.
  int PrepareOp(Op op, int params);
  // Runs `op` on the main connection; `res` holds its result on 0.
  int Run(Op op, const std::vector<Bind>& in, bool write, PgResultPtr& res);
  int Switch(const std::string& name);

  std::shared_ptr<PgShared> shared_;
  PgConnPtr main_;
  std::array<bool, static_cast<size_t>(Op::kCount)> prepared_{};
  TxnPolicy txn_{*this, kPostgresTxnTraits};
  bool own_cursors_ = false;  // every cursor read whole on the main connection
  // A read run ahead whose call has not come yet: statement, parameters, result.
  struct Ahead {
    Op op;
    Params params;
    PgResultPtr res;
  };
  std::vector<Ahead> ahead_;
};

}  // namespace pvc::pg
