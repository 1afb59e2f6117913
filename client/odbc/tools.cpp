// The ODBC backend: what only tools and tests call (SessionTools).
#include <string>
#include <vector>

#include "client/odbc/session.h"

namespace pvc::odbc {

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
        // A driver may report expressions (count(*), PRAGMA values) as texts.
        if (!null && (is_int[static_cast<size_t>(c)] ||
                      (sh_->dialect.traits.integers_as_text && CanonicalInteger(cell.text))))
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

}  // namespace pvc::odbc
