// What the SQLite backend and the ODBC backend on a SQLite driver share
// (client/core/sqlite_shared.h).
#include "client/core/sqlite_shared.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>

#include "client/core/codes.h"

namespace pvc::sqlite {

int CodeOf(int rc, const std::string& message) {
  auto has = [&message](const char* part) { return message.find(part) != std::string::npos; };
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return kOk;
    case SQLITE_CONSTRAINT:
      switch (rc) {
        case SQLITE_CONSTRAINT_UNIQUE:
        case SQLITE_CONSTRAINT_PRIMARYKEY: return kUniqueViolated;
        case SQLITE_CONSTRAINT_NOTNULL: return kNotNull;
        case SQLITE_CONSTRAINT_CHECK: return kCheckViolated;
        case SQLITE_CONSTRAINT: break;  // the primary code only (a driver's): the message says
        default: return kInternal;
      }
      if (has("UNIQUE") || has("PRIMARY KEY") || has("not unique")) return kUniqueViolated;
      if (has("NOT NULL") || has("may not be NULL")) return kNotNull;
      if (has("CHECK")) return kCheckViolated;
      return kInternal;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return kLocked;
    case SQLITE_READONLY: return kReadOnly;
    case SQLITE_PERM:
    case SQLITE_AUTH: return kNoPrivilege;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN: return kLostConnection;
    case SQLITE_ERROR:
      if (has("no such table")) return kNoTable;
      if (has("no such column")) return kNoColumn;
      if (has("syntax error")) return kInvalidSql;
      return kInternal;
    default: return kInternal;
  }
}

bool DecodeStoredDate(const char* s, size_t n, char kind, std::string& out) {
  static const char kForm[] = "0000-00-00 00:00:00";
  if (n != 10 && n != 19) return false;
  for (size_t i = 0; i < n; ++i)
    if (kForm[i] == '0' ? (s[i] < '0' || s[i] > '9') : s[i] != kForm[i]) return false;
  if (kind == 'D')
    out = std::string(s, 4) + std::string(s + 5, 2) + std::string(s + 8, 2);
  else if (n == 19)
    out = std::string(s + 11, 2) + std::string(s + 14, 2) + std::string(s + 17, 2);
  else
    out = "000000";
  return true;
}

bool NobodyWrites(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return ::access(dir.c_str(), W_OK) != 0 && ::access((path + "-shm").c_str(), F_OK) != 0 &&
         ::access((path + "-wal").c_str(), F_OK) != 0;
}

std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      uri += hex;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace pvc::sqlite
