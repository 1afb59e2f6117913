// The ODBC backend: what a session shares with its cursors, its statements on the one
// connection, and the primitives of the transaction policy (client/core/txn.h).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/core/engine_texts.h"
#include "client/odbc/session.h"

namespace pvc::odbc {

// An integer as SQLite writes one: an optional '-', then digits without a leading zero.
bool CanonicalInteger(const std::string& s) {
  const size_t d = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() <= d || s.size() - d > 18 || (s[d] == '0' && s.size() > d + 1)) return false;
  for (size_t i = d; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int Shared::Finish(End how) {
  if (lost) return Lost();
  snapshot = nullptr;
  if (main->autocommit) return kOk;  // nothing pending
  SQLSMALLINT tran = how == End::Commit ? SQL_COMMIT : SQL_ROLLBACK;
  // Nothing to keep, but a rollback would close the open cursors: a commit of nothing ends it.
  if (how == End::Discard && open_cursors > 0 && !rollback_keeps_cursors) tran = SQL_COMMIT;
  const int rc = EndTran(*main, tran);
  if (rc != kOk) return rc;
  main->SetAutocommit(true);
  if (how != End::Commit || !syncer) return kOk;
  syncer->Committed();
  return in_durable_write ? kOk : Durable();
}

int Shared::Done(TxnPolicy::Undo undo, int rc, bool write) {
  rc = txn.Finish(undo, rc, write);
  if (rc != kOk && rc != kNoData && snapshot != nullptr && dialect.FailureAbortsTransaction())
    EndSnapshot(nullptr);
  return rc;
}

int Shared::BeginSnapshot(const void* owner) {
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

void Shared::EndSnapshot(const void* owner) {
  if (snapshot == nullptr || (owner != nullptr && owner != snapshot)) return;
  snapshot = nullptr;
  const ErrorDetail keep = last;
  Finish(End::Discard);
  last = keep;
}

int Shared::Statement(Conn& c, Op op, bool paged, odbc::Prepared*& out) {
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
    const SQLULEN seconds = static_cast<SQLULEN>(std::max(1, (LockWaitMs() + 999) / 1000));
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

int Shared::Values(Op op, const std::vector<Bind>& in, std::vector<Value>& out) {
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

int Shared::ToParams(const odbc::Text& text, const std::vector<Value>& values, Params& out) {
  out.values.clear();
  for (int index : text.binds) {
    if (index < 0 || static_cast<size_t>(index) >= values.size())
      return Fail(kInternal, "the statement's text takes more values than it is given");
    out.AddCell(values[static_cast<size_t>(index)]);
  }
  return kOk;
}

int Shared::Execute(SQLHSTMT st, Params& p, bool& no_data) {
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

int Shared::RunMain(Op op, const std::vector<Value>& values, bool write, bool paged,
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

int Shared::RunInputs(Op op, const std::vector<Bind>& in, bool write, odbc::Prepared*& slot,
                      TxnPolicy::Undo& undo, bool& no_data) {
  std::vector<Value> values;
  const int rc = Values(op, in, values);
  if (rc != kOk) return rc;
  return RunMain(op, values, write, false, slot, undo, no_data);
}

int Shared::ReadRow(const odbc::Prepared& p, const char* outputs, Row& row) {
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

// The durable write's primitive (client/core/txn.h): outside a transaction the savepoint would
// hold nothing before it, so the write runs on its own in the driver's autocommit mode, which
// commits it when it succeeds and undoes it when it fails, in one exchange with the server.
// Inside an open transaction the policy runs the steps one by one.
bool Shared::WriteAlone(Op op, const std::vector<Bind>& in, const std::string& savepoint,
                        int& out) {
  (void)savepoint;
  if (txn.Open()) return false;
  EndSnapshot(nullptr);
  if (!main->autocommit) return false;
  // At most the last commit is not yet on disk when this write begins.
  if ((out = Durable(1)) != kOk) return true;
  std::vector<Value> values;
  Params params;
  Prepared* slot = nullptr;
  int rc = Values(op, in, values);
  if (rc == kOk) rc = ToParams(dialect.Statement(op), values, params);
  if (rc == kOk) rc = Statement(*main, op, false, slot);
  bool no_data = false;
  if (rc == kOk) rc = Execute(slot->h, params, no_data);
  if (rc != kOk) {
    out = lost ? kLostConnection : rc;
    return true;
  }
  SQLLEN n = -1;
  if (!no_data) SQLRowCount(slot->h, &n);
  SQLFreeStmt(slot->h, SQL_CLOSE);
  out = (no_data || n == 0) && Op_Info(op).kind == OpKind::UpdateOrDelete ? kNoData : kOk;
  // The write committed by itself: its sync is left to the syncer while the night reads on.
  if (out == kOk && syncer) syncer->Committed();
  return true;
}

}  // namespace pvc::odbc
