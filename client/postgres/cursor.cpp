// The PostgreSQL backend's cursors: one pooled connection each, in a REPEATABLE READ read-only
// transaction, fetched in batches that double up to kMaxBatch (or paged by their key).
#include <string>
#include <utility>

#include "client/postgres/session.h"

namespace pvc::pg {

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

namespace {

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

}  // namespace

int OpenCursor(std::shared_ptr<PgShared> shared, PgShared::Idle link, Op op, Params params,
               std::unique_ptr<Cursor>& out) {
  auto cursor = std::make_unique<PgCursor>(std::move(shared), std::move(link));
  const int rc = cursor->Open(op, std::move(params));
  if (rc != kOk) return rc;
  out = std::move(cursor);
  return kOk;
}

}  // namespace pvc::pg
