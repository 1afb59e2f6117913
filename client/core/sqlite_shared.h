// What the SQLite backend and the ODBC backend on a SQLite driver share: the one mapping of
// SQLite's result codes, the stored-date form, and how a file nobody can write is read. Free of
// sqlite3.h.
#pragma once

#include <cstddef>
#include <string>

namespace pvc::sqlite {

// The job's code for an engine result code `rc` (primary or extended) with the engine's message:
// the one mapping of SQLite's failures, for the embedded engine and its ODBC driver alike.
int CodeOf(int rc, const std::string& message);
// A stored date 'YYYY-MM-DD' with an optional ' HH:MM:SS' as output `kind` ('D' 'yyyymmdd', 'H'
// 'HHMMSS'; a date without a time is midnight). False when `s` is not in that form.
bool DecodeStoredDate(const char* s, size_t n, char kind, std::string& out);

// True where nobody can be writing the database file `path` in write-ahead-log mode: WAL reading
// needs the -shm file beside it, the job may not create it there (the directory is not writable
// for it), and no other program has made it (no -shm, no -wal). Such a file is read as it stands
// (ImmutableUri), and every write fails with the read-only code.
bool NobodyWrites(const std::string& path);
// The URI that opens `path` as it stands ("file:...?immutable=1"), characters that a URI reads
// specially escaped.
std::string ImmutableUri(const std::string& path);

}  // namespace pvc::sqlite
