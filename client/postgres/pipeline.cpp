// PostgreSQL backend: what runs as one pipeline, one exchange with the server for several
// statements: a durable write outside a transaction, and reads run ahead.
#include <libpq-fe.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/postgres/session.h"

namespace pvc::pg {

// The durable write's primitive (client/core/txn.h): outside a transaction the savepoint, the
// write and the commit go as one pipeline: one exchange when the write succeeds. A write that
// fails aborts the rest of the pipeline, and the transaction, which held nothing but this write,
// is rolled back whole: a second exchange. An update or delete that matched nothing commits an
// empty transaction. Inside an open transaction the policy runs the steps one by one.
bool PgSession::WriteAlone(Op op, const std::vector<Bind>& in, const std::string& savepoint,
                           int& out) {
  if (InTransaction()) return false;
  auto done = [&out](int code) {
    out = code;
    return true;
  };
  Params params;
  int rc = ToParams(op, in, params, shared_->last);
  if (rc != kOk) return done(rc);
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
    return done(rc == kOk ? kLostConnection : rc);
  }
  // The commit's wait is bounded; the answers to the steps before it come with its own.
  if (Pg_AwaitBounded(c, "COMMIT", shared_->last) != kOk) {
    main_.reset();
    return done(kLostConnection);
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
    return done(rc == kOk ? kLostConnection : rc);
  }
  // A failed step left the transaction aborted: undone whole, once.
  if (InTransaction()) {
    ErrorDetail ignored;
    Pg_Exec(c, "ROLLBACK", ignored);
  }
  return done(rc);
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
    // Answered already by a cursor's row (a count of the day it delivered).
    if (!on_main || (!shared_->answers.empty() && FindAnswer(*shared_, r.op, r.in) != nullptr))
      continue;
    if (ToParams(r.op, r.in, params, ignored) == kOk)
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

}  // namespace pvc::pg
