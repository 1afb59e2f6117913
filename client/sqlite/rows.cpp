// SQLite backend: error translation, binding, reading rows, names and paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "client/core/codes.h"
#include "client/core/bind.h"
#include "client/sqlite/internal.h"
#include "run/ground/DatabaseAddress.h"

namespace pvc::sqlite {

int Translate(int rc, sqlite3* db, ErrorDetail& detail) {
  const int ext = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  detail.native = (ext & 0xff) == (rc & 0xff) ? ext : rc;
  detail.sqlstate.clear();
  detail.message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  detail.code = CodeOf(detail.native, detail.message);
  return detail.code;
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

std::string DirOf(const std::string& net) {
  const DatabaseAddress address = DatabaseAddress_Parse(net);
  if (address.engine != DbEngine::kSqlite) return {};
  const std::string& dir = address.place;
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
