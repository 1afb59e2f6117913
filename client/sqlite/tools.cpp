// SQLite backend: what only tools and tests call (SessionTools).
#include <string>
#include <vector>

#include "client/sqlite/session.h"

namespace pvc::sqlite {

int SqliteSession::ExecScript(const std::string& sql) {
  if (!Ready()) return Err().code;
  DetachMainCursors(*shared_);
  sqlite3* db = main_->db.get();
  const bool began = sqlite3_get_autocommit(db) != 0;
  int rc = kOk;
  if (began && (rc = sqlite::Exec(db, "BEGIN IMMEDIATE", Err())) != kOk) return rc;
  rc = sqlite::Exec(db, sql.c_str(), Err());
  if (rc != kOk) {
    if (began) EndEmptyTransaction();
    return rc;
  }
  return Commit();
}

int SqliteSession::BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                              const std::vector<Row>& rows) {
  if (!Ready()) return Err().code;
  if (!IsIdentifier(table) || columns.empty())
    return SetError(Err(), kInvalidSql, "bad table name " + table);
  std::string sql = "INSERT INTO " + table + " (";
  std::string values;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!IsIdentifier(columns[i]))
      return SetError(Err(), kInvalidSql, "bad column name " + columns[i]);
    sql += (i ? "," : "") + columns[i];
    values += (i ? ",?" : "?") + std::to_string(i + 1);
  }
  sql += ") VALUES (" + values + ")";
  DetachMainCursors(*shared_);
  sqlite3* db = main_->db.get();
  if (!sqlite3_get_autocommit(db)) return SetError(Err(), kInternal, "a transaction is open");
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return Translate(sqlite3_errcode(db), db, Err());
  }
  StmtHandle st(raw);
  sqlite3_exec(db,
               "PRAGMA synchronous=OFF; PRAGMA cache_size=-262144;"
               " PRAGMA ignore_check_constraints=ON",
               nullptr, nullptr, nullptr);
  int rc = sqlite::Exec(db, "BEGIN IMMEDIATE", Err());
  for (size_t r = 0; rc == kOk && r < rows.size(); ++r) {
    const Row& row = rows[r];
    if (row.size() != columns.size()) {
      rc = SetError(Err(), kInternal, "row of " + std::to_string(row.size()) + " cells");
      break;
    }
    for (size_t i = 0; i < row.size(); ++i) {
      const Cell& c = row[i];
      const int pos = static_cast<int>(i) + 1;
      if (c.null)
        sqlite3_bind_null(st.get(), pos);
      else if (c.is_int)
        sqlite3_bind_int64(st.get(), pos, c.num);
      else
        sqlite3_bind_text(st.get(), pos, c.text.data(), static_cast<int>(c.text.size()),
                          SQLITE_STATIC);
    }
    const int step = sqlite3_step(st.get());
    sqlite3_reset(st.get());
    if (step != SQLITE_DONE) rc = Translate(step, db, Err());
  }
  st.reset();
  if (rc == kOk) rc = sqlite::Exec(db, "COMMIT", Err());
  if (rc != kOk && !sqlite3_get_autocommit(db))
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  // Back to the connection's own durability: the syncer's, or a commit that syncs itself.
  sqlite3_exec(db, main_->syncer ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA cache_size=-2000; PRAGMA ignore_check_constraints=OFF", nullptr,
               nullptr, nullptr);
  return rc;
}

int SqliteSession::Describe(Op op, int& inputs, int& columns) {
  if (!Ready()) return Err().code;
  sqlite3_stmt* st = nullptr;
  const int rc = Prepared(*main_, op, st, Err());
  if (rc != kOk) return rc;
  inputs = sqlite3_bind_parameter_count(st);
  columns = sqlite3_column_count(st);
  return kOk;
}

int SqliteSession::Query(const std::string& sql, std::vector<Row>& rows) {
  if (!Ready()) return Err().code;
  sqlite3* db = main_->db.get();
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
  StmtHandle st(raw);
  if (rc != SQLITE_OK) return Translate(rc, db, Err());
  std::vector<Row> result;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    Row row(static_cast<size_t>(sqlite3_column_count(st.get())));
    for (int i = 0; i < static_cast<int>(row.size()); ++i) {
      Cell& c = row[static_cast<size_t>(i)];
      const int type = sqlite3_column_type(st.get(), i);
      if (type == SQLITE_NULL) continue;
      c.null = false;
      c.is_int = type == SQLITE_INTEGER;
      if (c.is_int) c.num = sqlite3_column_int64(st.get(), i);
      const unsigned char* t = sqlite3_column_text(st.get(), i);
      c.text.assign(reinterpret_cast<const char*>(t),
                    static_cast<size_t>(sqlite3_column_bytes(st.get(), i)));
    }
    result.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) return Translate(rc, db, Err());
  rows = std::move(result);
  return kOk;
}

}  // namespace pvc::sqlite
