// The ODBC backend: the session's statements, cursors and schema switch.
#include <string>
#include <vector>

#include "client/odbc/session.h"

namespace pvc::odbc {

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
  // At most the last commit is not yet on disk when this write begins.
  if (const int durable = sh_->Durable(1); durable != kOk) return durable;
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

int OdbcSession::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  if (sh_->lost) return sh_->Lost();
  sh_->in_durable_write = true;
  const int rc = sh_->txn.WriteDurably(*this, op, in, savepoint);
  sh_->in_durable_write = false;
  return rc;
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
  switch (sh_->dialect.traits.schema_switch) {
    case SchemaSwitch::SearchPath: return SwitchPostgres(name);
    case SchemaSwitch::DatabaseFile: return odbc::SqliteSwitch(file_, name, sh_->last);
    case SchemaSwitch::Statement: break;
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

}  // namespace pvc::odbc
