// SQLite backend: error translation, binding, reading rows, names and paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "client/codes.h"
#include "client/core.h"
#include "client/sqlite_internal.h"

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

int Translate(int rc, sqlite3* db, ErrorDetail& detail) {
  const int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  detail.native = (ext & 0xff) == (rc & 0xff) ? ext : rc;
  detail.sqlstate.clear();
  detail.message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  detail.code = CodeOf(detail.native, detail.message);
  return detail.code;
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

namespace {

int ReadInt(sqlite3_stmt* st, int col, Cell& cell, ErrorDetail& detail) {
  switch (sqlite3_column_type(st, col)) {
    case SQLITE_INTEGER: cell.num = sqlite3_column_int64(st, col); return kOk;
    case SQLITE_FLOAT: {
      const double d = sqlite3_column_double(st, col);
      if (!std::isfinite(d) || std::fabs(d) > 9.2e18)
        return SetError(detail, kInvalidNumber, "stored number out of range");
      cell.num = static_cast<int64_t>(d);
      return kOk;
    }
    default: {  // text or blob: only a number written as text is taken
      const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
      std::string s = t != nullptr ? t : "";
      const auto first = s.find_first_not_of(' ');
      const auto last = s.find_last_not_of(' ');
      s = first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
      if (s.empty()) return SetError(detail, kInvalidNumber, "stored value is not a number");
      errno = 0;
      char* end = nullptr;
      const long long v = std::strtoll(s.c_str(), &end, 10);
      if (errno != 0 || end == nullptr || *end != '\0')
        return SetError(detail, kInvalidNumber, "stored value '" + s + "' is not a number");
      cell.num = v;
      return kOk;
    }
  }
}

}  // namespace

int ReadRow(sqlite3_stmt* st, const char* outputs, Row& row, ErrorDetail& detail) {
  const int n = static_cast<int>(std::strlen(outputs));
  Row out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    Cell& cell = out[static_cast<size_t>(i)];
    if (sqlite3_column_type(st, i) == SQLITE_NULL) continue;  // cell stays null
    cell.null = false;
    const auto kind = static_cast<Out>(outputs[i]);
    if (kind == Out::Int) {
      cell.is_int = true;
      const int rc = ReadInt(st, i, cell, detail);
      if (rc != kOk) return rc;
      continue;
    }
    const unsigned char* t = sqlite3_column_text(st, i);
    const int len = sqlite3_column_bytes(st, i);
    if (kind == Out::Text) {
      cell.text.assign(reinterpret_cast<const char*>(t), static_cast<size_t>(len));
      continue;
    }
    if (!DecodeStoredDate(reinterpret_cast<const char*>(t), static_cast<size_t>(len), outputs[i],
                          cell.text))
      return SetError(detail, kBadDateFormat,
                      "stored date '" + std::string(reinterpret_cast<const char*>(t)) +
                          "' is not in the form YYYY-MM-DD HH:MM:SS");
  }
  row = std::move(out);
  return kOk;
}

int BindAll(sqlite3_stmt* st, Op op, const std::vector<Bind>& in, ErrorDetail& detail) {
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  std::vector<Value> values;
  const int code = BindValues(op, in, values, detail);
  if (code != kOk) return code;
  for (size_t i = 0; i < values.size(); ++i) {
    const int pos = static_cast<int>(i) + 1;
    const Value& v = values[i];
    int rc;
    if (v.null)
      rc = sqlite3_bind_null(st, pos);
    else if (v.is_int)
      rc = sqlite3_bind_int64(st, pos, v.num);
    else
      rc = sqlite3_bind_text(st, pos, v.text.data(), static_cast<int>(v.text.size()),
                             SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) return Translate(rc, sqlite3_db_handle(st), detail);
  }
  return kOk;
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

std::string DirOf(const std::string& net) {
  static const std::string kPrefix = "sqlite:";
  if (net.compare(0, kPrefix.size(), kPrefix) != 0) return {};
  const std::string dir = net.substr(kPrefix.size());
  if (dir.empty()) return {};
  struct stat sb {};
  if (::stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) return {};
  std::error_code ec;
  auto abs = std::filesystem::absolute(dir, ec);
  return ec ? dir : abs.lexically_normal().string();
}

std::string SchemaPath(const std::string& dir, const std::string& schema) {
  return (std::filesystem::path(dir) / (schema + ".db")).string();
}

}  // namespace pvc::sqlite
