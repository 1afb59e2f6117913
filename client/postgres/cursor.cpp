// The PostgreSQL backend's cursors: one pooled connection each, in a REPEATABLE READ read-only
// transaction, fetched in batches that double up to kMaxBatch (or paged by their key; a counted
// page also brings answers for the session, PgShared::answers).
#include <algorithm>
#include <cstdlib>
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
  PgCursor(std::shared_ptr<PgShared> shared, PgShared::Idle link, bool answers)
      : shared_(std::move(shared)),
        link_(std::move(link)),
        answers_(answers),
        epoch_(shared_->epoch) {}

  ~PgCursor() override {
    // Answers past the walk's end are not asked for: a later call runs its statement.
    if (shared_->answers_from == this) {
      shared_->answers.clear();
      shared_->answers_from = nullptr;
    }
    if (!link_.conn || PQstatus(link_.conn.get()) != CONNECTION_OK) return;
    if (shared_->idle.size() >= kIdleCursorConns) return;  // closing the connection ends all
    // A page asked for ahead is read first: the connection takes one query at a time.
    if (asked_)
      while (PGresult* rest = PQgetResult(link_.conn.get())) PQclear(rest);
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
    const PgCounted* counted = Pg_Counted(op);
    if (counted == nullptr) return Begin(op, std::move(params), Pg_PagedStatement(op));
    // The counts also read the bookings. Where that fails and the cursor's own rows would not
    // (another program holds the bookings locked, a table or a right is missing), the plain
    // form runs, unprepared, and the job's count calls meet the failure themselves, as without
    // the counts. Its lock wait is short, so that a held lock is waited for once, by the count.
    counts_ = counted->counts;
    inputs_ = counted->inputs;
    const ErrorDetail kept = err;
    const int rc = Begin(op, params, counted->text);
    if (rc == kOk || !link_.conn) return rc;
    err = kept;
    counts_ = inputs_ = 0;
    done_ = false;
    batch_size_ = kFirstBatch;
    unprepared_ = Pg_PagedStatement(op);
    return Begin(op, std::move(params), unprepared_);
  }

  int Fetch(Row& row) override {
    if (failed_ != kOk) return failed_;
    if (batch_ && pos_ < PQntuples(batch_.get())) {
      Deliver(row);
      return kOk;
    }
    if (done_) return kNoData;
    PGconn* c = link_.conn.get();
    PgResultPtr res;
    if (paged()) {
      if (!asked_) AskPage();
      if (asked_) res.reset(PQgetResult(c));
      // Read on to the end of the page's results, so the connection is free again.
      while (PGresult* rest = PQgetResult(c)) PQclear(rest);
      asked_ = false;
    } else {
      CountTrip();
      res.reset(PQexec(c, FetchSql().c_str()));
    }
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      failed_ = Pg_ResultCode(c, res.get(), shared_->last);
      batch_.reset();
      return failed_;
    }
    TakeBatch(std::move(res));
    if (!batch_) return kNoData;
    // A walk past its first page goes on: the next page is asked for now, and the server
    // selects it while the job works through this one.
    if (paged() && !done_) AskPage();
    Deliver(row);
    return kOk;
  }

 private:
  bool paged() const { return !params_.text.empty(); }

  // The open's one exchange with `paged` (nullptr for a server-side cursor).
  int Begin(Op op, Params params, const char* paged) {
    PGconn* c = link_.conn.get();
    ErrorDetail& err = shared_->last;
    const size_t i = static_cast<size_t>(op);
    const bool counted = counts_ > 0;
    const bool prepare = paged != nullptr && unprepared_ == nullptr && !link_.prepared[i];
    // The transaction begins first: a prepare before it would open one of its own.
    if (PQenterPipelineMode(c) != 1 ||
        PQsendQueryParams(c, "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY", 0, nullptr,
                          nullptr, nullptr, nullptr, 0) != 1 ||
        (counted && PQsendQueryParams(c, "SET LOCAL lock_timeout = '20ms'", 0, nullptr, nullptr,
                                      nullptr, nullptr, 0) != 1) ||
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
    const int prepared_at = counted ? 2 : 1;  // the prepare's answer, after BEGIN (and SET)
    const int queries = (prepare ? 1 : 0) + (counted ? 1 : 0) + (paged != nullptr ? 2 : 3);
    int rc = kOk;
    const bool whole = Pg_ReadPipeline(c, queries, [&](int q, PgResultPtr& r) {
      const ExecStatusType st = PQresultStatus(r.get());
      if (q == queries - 1 && st == PGRES_TUPLES_OK) {
        TakeBatch(std::move(r));
      } else if (st == PGRES_COMMAND_OK && prepare && q == prepared_at) {
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

  std::string FetchSql() const {
    return "FETCH FORWARD " + std::to_string(batch_size_) + " FROM pvk_cursor";
  }

  // Sends the query of the page after the current batch; its answer is read by the Fetch that
  // needs it. A send that fails is tried again (and reported) there.
  void AskPage() {
    CountTrip();
    params_.text.back() = std::to_string(batch_size_);
    asked_ = SendPage();
  }

  // Sends the next page's query: the open's values, the key bound, the limit.
  bool SendPage() {
    const auto values = params_.Pointers();
    const int n = static_cast<int>(values.size());
    if (unprepared_ != nullptr)
      return PQsendQueryParams(link_.conn.get(), unprepared_, n, nullptr, values.data(), nullptr,
                               nullptr, 0) == 1;
    return PQsendQueryPrepared(link_.conn.get(), Pg_StatementName(op_), n, values.data(), nullptr,
                               nullptr, 0) == 1;
  }

  // Makes `res` (a batch or page of rows) the current batch; no batch when it holds no row.
  // A page's last column is its key, which bounds the next page and is not delivered.
  void TakeBatch(PgResultPtr res) {
    const int n = PQntuples(res.get());
    if (n < batch_size_) done_ = true;
    if (batch_size_ < kMaxBatch) batch_size_ *= 2;
    columns_ = PQnfields(res.get());
    if (paged() && columns_ > static_cast<int>(counts_)) {
      columns_ -= 1 + static_cast<int>(counts_);
      if (n > 0) {
        params_.text[kKeyParam] =
            PQgetvalue(res.get(), n - 1, columns_ + static_cast<int>(counts_));
        params_.null[kKeyParam] = false;
      }
    }
    pos_ = 0;
    batch_ = n > 0 ? std::move(res) : nullptr;
  }

  // Delivers row `pos_` of the batch into `row`; the counts that came with it replace those of
  // the row before for the session's calls (the job asks of a day before it fetches the next).
  // Only while the session has dropped nothing since the open: the page's snapshot would not
  // show the session's later writes.
  void Deliver(Row& row) {
    const int r = pos_++;
    ReadRow(batch_.get(), r, row, columns_);
    if (counts_ == 0 || !answers_ || shared_->epoch != epoch_) return;
    shared_->answers.clear();
    shared_->answers_from = this;
    const Row inputs(row.begin(), row.begin() + std::min(row.size(), inputs_));
    std::vector<Read> reads = Pg_CountedReads(op_, inputs);
    for (size_t k = 0; k < reads.size() && k < counts_; ++k) {
      const int col = columns_ + static_cast<int>(k);
      Params params;
      ErrorDetail ignored;  // a call whose inputs do not convert fails on its own
      if (PQgetisnull(batch_.get(), r, col) ||
          ToParams(reads[k].op, reads[k].in, params, ignored) != kOk)
        continue;
      const int64_t n = std::strtoll(PQgetvalue(batch_.get(), r, col), nullptr, 10);
      shared_->answers.push_back({std::move(reads[k]), n});
      CountAhead(false);
    }
  }

  // The connection is in an unknown state: it is not used again.
  int Broken(int rc) {
    link_.conn.reset();
    return rc;
  }

  static constexpr size_t kKeyParam = 1;  // $2 of a paged statement

  std::shared_ptr<PgShared> shared_;
  PgShared::Idle link_;
  bool answers_;                      // the counts of its rows may answer the session's calls
  uint64_t epoch_;                    // the session's epoch at the open
  size_t counts_ = 0;                 // count columns between the delivered ones and the key
  size_t inputs_ = 0;                 // leading columns the counts' reads take their inputs from
  const char* unprepared_ = nullptr;  // the page text sent as it is (the counted form failed)
  Op op_ = Op::kCount;
  Params params_;  // a paged cursor's page values; empty for a server-side cursor
  PgResultPtr batch_;
  int columns_ = 0;  // columns delivered per row
  int pos_ = 0;
  int batch_size_ = kFirstBatch;
  bool done_ = false;
  bool asked_ = false;  // the next page's query is sent, its answer not read
  int failed_ = kOk;
};

}  // namespace

int OpenCursor(std::shared_ptr<PgShared> shared, PgShared::Idle link, Op op, Params params,
               bool answers, std::unique_ptr<Cursor>& out) {
  auto cursor = std::make_unique<PgCursor>(std::move(shared), std::move(link), answers);
  const int rc = cursor->Open(op, std::move(params));
  if (rc != kOk) return rc;
  out = std::move(cursor);
  return kOk;
}

}  // namespace pvc::pg
