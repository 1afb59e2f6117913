// SQLite backend: error translation, binding, reading rows, names and paths.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "client/codes.h"
#include "client/core.h"
#include "client/sqlite_internal.h"

namespace pvc::sqlite {

int Translate(int rc, sqlite3* db, ErrorDetail& detail) {
  const int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  detail.native = (ext & 0xff) == (rc & 0xff) ? ext : rc;
  detail.sqlstate.clear();
  detail.message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  int code = kInternal;
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: code = kOk; break;
    case SQLITE_CONSTRAINT:
      switch (detail.native) {
        case SQLITE_CONSTRAINT_UNIQUE:
        case SQLITE_CONSTRAINT_PRIMARYKEY: code = kUniqueViolated; break;
        case SQLITE_CONSTRAINT_NOTNULL: code = kNotNull; break;
        case SQLITE_CONSTRAINT_CHECK: code = kCheckViolated; break;
        default: code = kInternal;
      }
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: code = kLocked; break;
    case SQLITE_READONLY: code = kReadOnly; break;
    case SQLITE_PERM:
    case SQLITE_AUTH: code = kNoPrivilege; break;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN: code = kLostConnection; break;
    case SQLITE_ERROR:
      if (detail.message.rfind("no such table", 0) == 0)
        code = kNoTable;
      else if (detail.message.rfind("no such column", 0) == 0)
        code = kNoColumn;
      else if (detail.message.find("syntax error") != std::string::npos)
        code = kInvalidSql;
      else
        code = kInternal;
      break;
    default: code = kInternal;
  }
  detail.code = code;
  return code;
}

namespace {

// A stored date: 'YYYY-MM-DD' with an optional ' HH:MM:SS' (digits in every digit place).
bool StoredDateForm(const unsigned char* s, int n) {
  static const char kForm[] = "0000-00-00 00:00:00";
  if (n != 10 && n != 19) return false;
  for (int i = 0; i < n; ++i) {
    if (kForm[i] == '0' ? (s[i] < '0' || s[i] > '9') : s[i] != kForm[i]) return false;
  }
  return true;
}

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
    if (!StoredDateForm(t, len))
      return SetError(detail, kBadDateFormat,
                      "stored date '" + std::string(reinterpret_cast<const char*>(t)) +
                          "' is not in the form YYYY-MM-DD HH:MM:SS");
    const char* c = reinterpret_cast<const char*>(t);
    if (kind == Out::Date) {
      cell.text = std::string(c, 4) + std::string(c + 5, 2) + std::string(c + 8, 2);
    } else if (len == 19) {
      cell.text = std::string(c + 11, 2) + std::string(c + 14, 2) + std::string(c + 17, 2);
    } else {
      cell.text = "000000";
    }
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
