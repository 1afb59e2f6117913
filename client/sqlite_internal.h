// Inside the SQLite backend: handle holders, the statement catalogue and the one function
// that translates the engine's result codes. Included only by client/sqlite_*.cpp.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "client/client.h"
#include "client/core.h"

namespace pvc::sqlite {

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

// This backend's text for `op`: placeholders ?1..?n in the order of the statement's inputs,
// columns in the order of its outputs (client/statements.h).
const char* Statement(Op op);

// The key-paged form of a cursor's text, or nullptr for a cursor that is not paged: its select
// list is the cursor's with the key added last, ?2 the key's bound (the open's value for the first
// page, the previous page's last key after it) and ?3 the page's row limit.
const char* PagedStatement(Op op);

// The job's code for an engine result code `rc` (primary or extended) with the engine's message:
// the one mapping of SQLite's failures, for the embedded engine and its ODBC driver alike.
int CodeOf(int rc, const std::string& message);
// A stored date 'YYYY-MM-DD' with an optional ' HH:MM:SS' as output `kind` ('D' 'yyyymmdd', 'H'
// 'HHMMSS'; a date without a time is midnight). False when `s` is not in that form.
bool DecodeStoredDate(const char* s, size_t n, char kind, std::string& out);

// Translates an engine result code into the job's SQL code and records the engine's own
// detail (extended code and message, taken from `db` when given) in `detail`. The one place
// where engine errors become SQL codes.
int Translate(int rc, sqlite3* db, ErrorDetail& detail);
// Converts the current row of `st` into `row` following `outputs`; 0 or a negative code.
int ReadRow(sqlite3_stmt* st, const char* outputs, Row& row, ErrorDetail& detail);
// Binds `in`, the inputs of `op`, to `st` as ?1..?n (converted by BindValues).
int BindAll(sqlite3_stmt* st, Op op, const std::vector<Bind>& in, ErrorDetail& detail);

// The schema file of NET8 "sqlite:DIR" and schema `schema`.
// DIR of "sqlite:DIR" made absolute; empty when `net` names no existing directory.
std::string DirOf(const std::string& net);
std::string SchemaPath(const std::string& dir, const std::string& schema);

// True where nobody can be writing the database file `path` in write-ahead-log mode: WAL reading
// needs the -shm file beside it, the job may not create it there (the directory is not writable
// for it), and no other program has made it (no -shm, no -wal). Such a file is read as it stands
// (ImmutableUri), and every write fails with the read-only code.
bool NobodyWrites(const std::string& path);
// The URI that opens `path` as it stands ("file:...?immutable=1"), characters that a URI reads
// specially escaped.
std::string ImmutableUri(const std::string& path);

// Statements of the schema: the six tables, their keys, checks and indexes.
extern const char* const kSchemaDdl;

}  // namespace pvc::sqlite
