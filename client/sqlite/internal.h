// Inside the SQLite backend: handle holders and the one function that translates the engine's
// result codes (through the mapping it shares with the ODBC backend, client/core/sqlite_shared.h).
// The texts are the statement table's (client/core/statements.h). Included only by
// client/sqlite/*.cpp.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "client/core/bind.h"
#include "client/core/engine_texts.h"
#include "client/core/session.h"
#include "client/core/sqlite_shared.h"
#include "client/core/tool_statements.h"

namespace pvc::sqlite {

// SQLite counts its memory in statistics kept under a process-wide mutex, taken on every
// allocation; nothing here reads them, so they are off. Set once before the library starts:
// every open calls it first (once the library runs, the setting is refused and changes nothing).
void ConfigureLibrary();

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* st) const noexcept { sqlite3_finalize(st); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;  // move-only, closes the connection
using StmtHandle = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;  // move-only, finalizes

// How a selected column reaches a Row cell: the output kinds of the statement table.
enum class Out : char {
  Text = 'T',  // as stored
  Int = 'I',   // an integer; stored text that is no number fails with -1722
  Date = 'D',  // stored 'YYYY-MM-DD HH:MM:SS' -> 'yyyymmdd'
  Time = 'H',  // stored 'YYYY-MM-DD HH:MM:SS' -> 'HHMMSS'
};

// Translates an engine result code into the job's SQL code and records the engine's own
// detail (extended code and message, taken from `db` when given) in `detail`. The one place
// where engine errors become SQL codes.
int Translate(int rc, sqlite3* db, ErrorDetail& detail);
// Converts the current row of `st` into `row` following `outputs`; 0 or a negative code.
int ReadRow(sqlite3_stmt* st, const char* outputs, Row& row, ErrorDetail& detail);
// Binds `in`, the inputs of `op`, to `st` as ?1..?n (converted by BindValues).
int BindAll(sqlite3_stmt* st, Op op, const std::vector<Bind>& in, ErrorDetail& detail);

// The schema file of NET8 sqlite:DIR and schema `schema`.
// DIR of NET8 sqlite:DIR made absolute; empty when `net` names no existing directory.
std::string DirOf(const std::string& net);
std::string SchemaPath(const std::string& dir, const std::string& schema);

}  // namespace pvc::sqlite
