// PostgreSQL backend: what only tools and tests call (SessionTools).
#include <libpq-fe.h>

#include <string>
#include <vector>

#include "client/postgres/session.h"

namespace pvc::pg {

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
  DropAhead();
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
  DropAhead();
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
  DropAhead();
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

}  // namespace pvc::pg
