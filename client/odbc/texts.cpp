// The statement texts of the ODBC backend, derived mechanically from the texts it builds on: the
// texts of record of the statement table for Oracle (and any other server), the native backends'
// texts for PostgreSQL and SQLite. Nothing here is written by hand per statement.
#include <array>
#include <cctype>
#include <mutex>

#include "client/core/engine_texts.h"
#include "client/core/sqlite_shared.h"
#include "client/odbc/internal.h"

namespace pvc::odbc {
namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool WordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Length of the placeholder ":bN" at `at` (0 when there is none).
size_t PlaceholderAt(const std::string& s, size_t at) {
  if (at + 2 >= s.size() || s[at] != ':' || s[at + 1] != 'b' || !Digit(s[at + 2])) return 0;
  size_t end = at + 2;
  while (end < s.size() && Digit(s[end])) ++end;
  return end - at;
}

// Length of a placeholder with its optional indicator (":bN" or ":bN:bM") at `at`.
size_t GroupAt(const std::string& s, size_t at) {
  const size_t first = PlaceholderAt(s, at);
  if (first == 0) return 0;
  return first + PlaceholderAt(s, at + first);
}

// True when `s` holds the keyword `word` (any case) at `at`, as a whole word.
bool KeywordAt(const std::string& s, size_t at, const char* word) {
  size_t n = 0;
  for (; word[n] != '\0'; ++n)
    if (at + n >= s.size() || std::tolower(static_cast<unsigned char>(s[at + n])) != word[n])
      return false;
  return (at == 0 || !WordChar(s[at - 1])) && (at + n == s.size() || !WordChar(s[at + n]));
}

}  // namespace

Engine EngineOf(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("oracle", 0) == 0) return Engine::Oracle;
  if (lower.rfind("postgresql", 0) == 0) return Engine::Postgres;
  if (lower.rfind("sqlite", 0) == 0) return Engine::Sqlite;
  return Engine::Other;
}

Text FromRecord(const std::string& record) {
  Text out;
  int next = 0;
  for (size_t i = 0; i < record.size();) {
    if (record[i] == '\'') {  // a literal is copied as it stands
      const size_t end = record.find('\'', i + 1);
      const size_t stop = end == std::string::npos ? record.size() : end + 1;
      out.sql.append(record, i, stop - i);
      i = stop;
      continue;
    }
    if (KeywordAt(record, i, "into")) {
      // An INTO list names the outputs: "into :b0:b1,:b2:b3" up to the next keyword. An "into"
      // followed by anything else (insert into TABLE) stays.
      size_t j = i + 4;
      while (j < record.size() && record[j] == ' ') ++j;
      if (GroupAt(record, j) != 0) {
        while (size_t n = GroupAt(record, j)) {
          j += n;
          if (j < record.size() && record[j] == ',') ++j;
        }
        i = j;
        continue;
      }
    }
    if (const size_t n = GroupAt(record, i)) {
      out.sql += '?';
      out.binds.push_back(next++);
      i += n;
      continue;
    }
    out.sql += record[i++];
  }
  return out;
}

Text FromNumbered(const std::string& text, char sigil) {
  Text out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\'') {
      const size_t end = text.find('\'', i + 1);
      const size_t stop = end == std::string::npos ? text.size() : end + 1;
      out.sql.append(text, i, stop - i);
      i = stop;
      continue;
    }
    if (text[i] == sigil && i + 1 < text.size() && Digit(text[i + 1])) {
      size_t j = i + 1;
      int n = 0;
      while (j < text.size() && Digit(text[j])) n = n * 10 + (text[j++] - '0');
      out.sql += '?';
      out.binds.push_back(n - 1);
      i = j;
      continue;
    }
    out.sql += text[i++];
  }
  return out;
}

std::string ForOracleCompat(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (KeywordAt(text, i, "sysdate")) {
      out += text.substr(i, 7);
      i += 7;
      if (i >= text.size() || text[i] != '(') out += "()";
      continue;
    }
    static const std::string kDateOfColumn = "TO_Date(BchVon)";
    if (text.compare(i, kDateOfColumn.size(), kDateOfColumn) == 0) {
      out += "trunc(BchVon)";
      i += kDateOfColumn.size();
      continue;
    }
    out += text[i++];
  }
  return out;
}

const Text& Statement(Texts texts, Op op, bool oracle_compat) {
  constexpr size_t kOps = static_cast<size_t>(Op::kCount);
  using Table = std::array<Text, kOps>;
  static std::once_flag once;
  static std::array<Table, 4> tables;  // Record, Postgres, Sqlite, Record on the compat server
  std::call_once(once, [] {
    for (size_t i = 0; i < kOps; ++i) {
      const Op o = static_cast<Op>(i);
      tables[0][i] = FromRecord(Op_Info(o).text);
      tables[1][i] = FromNumbered(Pg_Statement(o).text, '$');
      tables[2][i] = FromNumbered(sqlite::Statement(o), '?');
      tables[3][i] = tables[0][i];
      tables[3][i].sql = ForOracleCompat(tables[0][i].sql);
    }
  });
  const size_t t = texts == Texts::Record     ? (oracle_compat ? 3 : 0)
                   : texts == Texts::Postgres ? 1
                                              : 2;
  return tables[t][static_cast<size_t>(op)];
}

}  // namespace pvc::odbc
