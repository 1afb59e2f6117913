// PostgreSQL backend: the session's statements on its main connection, its transactions under
// the one policy (client/core/txn.h), and the logon. Cursors are in cursor.cpp, the pipelined
// paths (a durable write, reads run ahead) in pipeline.cpp, the tools' calls in tools.cpp.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/postgres/backend.h"
#include "client/postgres/session.h"

namespace pvc {
namespace pg {

int ToParams(Op op, const std::vector<Bind>& in, Params& out, ErrorDetail& err) {
  std::vector<Value> values;
  const int rc = BindValues(op, in, values, err);
  if (rc != kOk) return rc;
  for (Value& v : values) out.Add(v.is_int ? std::to_string(v.num) : std::move(v.text), v.null);
  for (Value& v : Pg_DerivedValues(op, in)) out.Add(std::move(v.text), v.null);
  return kOk;
}

namespace {

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

}  // namespace

void ReadRow(const PGresult* res, int r, Row& row, int cols) {
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
  if (write) DropAhead();
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

// The inputs as the job gives them: the cursor that left an answer checked that they convert.
PgShared::Answer* FindAnswer(PgShared& shared, Op op, const std::vector<Bind>& in) {
  const auto same = [](const Bind& a, const Bind& b) {
    return a.kind == b.kind && a.num == b.num && a.text == b.text;
  };
  for (PgShared::Answer& a : shared.answers)
    if (!a.used && a.read.op == op &&
        std::equal(a.read.in.begin(), a.read.in.end(), in.begin(), in.end(), same))
      return &a;
  return nullptr;
}

bool PgSession::TakeAnswer(Op op, const std::vector<Bind>& in, Row& out) {
  PgShared::Answer* a = FindAnswer(*shared_, op, in);
  if (a == nullptr) return false;
  a->used = true;
  Cell c;
  c.null = false;
  c.is_int = true;
  c.num = a->count;
  c.text = std::to_string(c.num);
  out.assign(1, std::move(c));
  CountAhead(true);
  return true;
}

int PgSession::SelectOne(Op op, const std::vector<Bind>& in, Row& out) {
  if (Op_Info(op).kind != OpKind::Select) return Fail(kInternal, "not a select");
  if (!shared_->answers.empty() && !InTransaction() && TakeAnswer(op, in, out)) return kOk;
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
  return OpenCursor(shared_, std::move(link), op, std::move(params), !InTransaction(), out);
}

int PgSession::Savepoint(const std::string& name) {
  DropAhead();
  if (Lost()) return kLostConnection;
  return txn_.Savepoint(name);
}

int PgSession::RollbackTo(const std::string& name) {
  DropAhead();
  if (Lost()) return kLostConnection;
  return txn_.RollbackTo(name);
}

int PgSession::Commit() {
  DropAhead();
  if (Lost()) return kLostConnection;
  return txn_.Commit();
}

int PgSession::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  DropAhead();
  if (Lost()) return kLostConnection;
  return txn_.WriteDurably(*this, op, in, savepoint);
}

int PgSession::ExecDynamic(const std::string& text) {
  DropAhead();
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

}  // namespace pg

int PgLogon(const std::string& user, const std::string& password, const std::string& net,
            std::unique_ptr<Session>& out) {
  auto shared = std::make_shared<pg::PgShared>();
  std::string why;
  int rc = shared->target.Set(user, password, net, why);
  if (rc != kOk) return rc;
  PgConnPtr main;
  rc = shared->target.Connect(main, shared->last);
  if (rc != kOk) return rc;
  out = std::make_unique<pg::PgSession>(std::move(shared), std::move(main));
  return kOk;
}

}  // namespace pvc
