// Which database and schema a night works on, as a key that every way of reaching the same
// one agrees on: another working directory, another settings file, a relative or linked path,
// native or through ODBC, another host. A lock, a journal and an undo compare it.
#pragma once

#include <string>

struct DatabaseIdentity {
  // Compared as a whole; empty when the database could not tell.
  std::string key;
  // The same in words, for messages ("SQLite file /srv/db/PERSONAL.db", ...).
  std::string shown;
  // An SQLite database's file as the database named it: the lock of its nights lies beside it.
  std::string file;

  bool Known() const { return !key.empty(); }
  bool operator==(const DatabaseIdentity& other) const {
    return Known() && other.Known() && key == other.key;
  }
};

// The identity from the database's own answer to the identity statement and the schema the
// session works on. The answer names its engine:
//   "file:PATH"              an SQLite database file: its device and inode, so that every path
//                            and link to the same file gives one key (the schema is the file)
//   "postgresql:ID:DATABASE" a PostgreSQL server's system identifier and the database
//   "oracle:NAME"            an Oracle database's unique name
// Unknown when the answer is empty, names no engine, or the file cannot be looked at.
DatabaseIdentity DatabaseIdentity_From(const std::string& answer, const std::string& schema);
