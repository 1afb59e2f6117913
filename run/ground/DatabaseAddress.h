// Where the database is: the NET8 setting parsed once into the engine and its place. Every
// NET8 form is told apart here and nowhere else:
//
//   sqlite:DIR                 embedded SQLite; DIR (made absolute against the working
//                              directory) plays the server, schema S is the file DIR/S.db
//   postgresql://... or        a PostgreSQL server, a libpq connection URI
//   postgres://...
//   odbc:DSN, odbc:CONNECT     a data source, or a driver connection string (it holds '=')
//   any other name             a net service name: served through ODBC when a data source of
//                              exactly that name exists
#pragma once

#include <string>
#include <string_view>

// The NET8 prefixes, spelled here once: the backend registry serves them, the writers of
// settings and examples use them.
inline constexpr std::string_view kNet8Sqlite = "sqlite:";
inline constexpr std::string_view kNet8Postgres = "postgresql://";
inline constexpr std::string_view kNet8PostgresShort = "postgres://";
inline constexpr std::string_view kNet8Odbc = "odbc:";

enum class DbEngine {
  kSqlite,
  kPostgres,
  kOdbc,         // odbc: and what follows it
  kServiceName,  // a bare name
};

struct DatabaseAddress {
  DbEngine engine = DbEngine::kServiceName;
  // NET8 as given, for the logon only: it may carry secrets (see Printable).
  std::string net8;
  // What follows the engine's prefix: SQLite's DIR as given, the PostgreSQL URI whole, ODBC's
  // data source or connection string, a bare service name.
  std::string place;
  // SQLite: DIR made absolute and lexically normal (not resolved through links); empty for the
  // other engines and for an empty DIR.
  std::string sqlite_dir;

  // NET8 as it may be printed: in the run log, on standard error, in a journal or a message.
  std::string Printable() const;
};

// Parses `net8`. `work_dir` is the directory a relative SQLite DIR is taken against (the
// working directory when empty). Any text is an address of some engine; whether it names a
// database the logon decides.
DatabaseAddress DatabaseAddress_Parse(const std::string& net8, const std::string& work_dir = "");

// NET8 with its secrets masked, as it may be shown (the run log, standard error, a journal, a
// tool's message): wherever a connection library would read a password from it, that value
// becomes "********", quoting and all; everything else stays in place. A parameter is secret
// when its name, without blanks around it, with %XX escapes decoded and in any case, contains
// "password" or "passwd" or is "pwd". Read by form:
//   postgresql://, postgres://  the user information ("user:password@") and the secret
//                               parameters of the query, each value running to the next '&'
//   odbc:                       KEY=VALUE pairs separated by ';', blanks around '=' allowed, a
//                               value running to the next ';' or, in braces, to its closing
//                               brace; the secrets inside a pqopt (or D5) value, which
//                               PostgreSQL's driver hands to its client library, masked there
//   any other text              read as an ODBC connection string, as the client library's
//                               keyword/value string (password = 'a b') and, after a '?', as a
//                               URI's query: the prefix may have been forgotten
// Masking a masked NET8 again changes nothing.
std::string Net8_Mask(const std::string& net8);

// NET8 of an SQLite directory.
std::string DatabaseAddress_Sqlite(const std::string& dir);
