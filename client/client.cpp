// Backend registry, the process's current session with its call counters, and the one
// conversion of date inputs that every backend shares.
#include "client/client.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "client/backends.h"
#include "client/codes.h"

namespace pvc {
namespace {

struct Backend {
  std::string prefix;
  LogonFn logon;
  CreateSchemaFn create;
};

std::vector<Backend>& RegistryRaw() {
  static std::vector<Backend> backends;
  return backends;
}

// The registry, with the built-in backends added on its first use.
std::vector<Backend>& Registry() {
  static const bool built_ins = [] {
    auto& r = RegistryRaw();
    r.push_back({"sqlite:", SqliteLogon, SqliteCreateSchema});
#ifdef PARVEK_WITH_POSTGRES
    r.push_back({"postgresql://", PgLogon, PgCreateSchema});
    r.push_back({"postgres://", PgLogon, PgCreateSchema});
#endif
#ifdef PARVEK_WITH_ODBC
    r.push_back({"odbc:", OdbcLogon, OdbcCreateSchema});
#endif
    return true;
  }();
  (void)built_ins;
  return RegistryRaw();
}

// The backend whose prefix is the longest one `net` begins with. A name that no prefix serves
// is an Oracle net service name: served through ODBC when a data source of that name exists.
// nullptr when none serves it.
const Backend* Find(const std::string& net) {
  const Backend* best = nullptr;
  for (const auto& b : Registry()) {
    if (net.compare(0, b.prefix.size(), b.prefix) == 0 &&
        (best == nullptr || b.prefix.size() > best->prefix.size()))
      best = &b;
  }
#ifdef PARVEK_WITH_ODBC
  if (best == nullptr && OdbcHasDataSource(net)) {
    for (const auto& b : Registry())
      if (b.prefix == "odbc:") best = &b;
  }
#endif
  return best;
}

Counters g_counters;
bool g_write_pending = false;  // a successful write since the last commit

constexpr size_t Index(Op op) { return static_cast<size_t>(op); }

// Counts the rows a cursor delivers and passes every call on unchanged.
class CountingCursor final : public Cursor {
 public:
  CountingCursor(std::unique_ptr<Cursor> inner, Op op) : inner_(std::move(inner)), op_(op) {}
  int Fetch(Row& row) override {
    const int rc = inner_->Fetch(row);
    if (rc == kOk) {
      ++g_counters.fetches;
      ++g_counters.fetched[Index(op_)];
    }
    return rc;
  }

 private:
  std::unique_ptr<Cursor> inner_;
  Op op_;
};

// Counts every call in one place and passes it on unchanged.
class CountingSession final : public Session {
 public:
  explicit CountingSession(std::unique_ptr<Session> inner) : inner_(std::move(inner)) {}
  int ExecDynamic(const std::string& text) override {
    ++g_counters.statements;
    return inner_->ExecDynamic(text);
  }
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    const int rc = inner_->Open(op, in, out);
    if (out) out = std::make_unique<CountingCursor>(std::move(out), op);
    return rc;
  }
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    return inner_->SelectOne(op, in, out);
  }
  int Write(Op op, const std::vector<Bind>& in) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    const int rc = inner_->Write(op, in);
    if (rc == kOk) g_write_pending = true;
    return rc;
  }
  int Savepoint(const std::string& name) override {
    ++g_counters.statements;
    return inner_->Savepoint(name);
  }
  int RollbackTo(const std::string& name) override {
    ++g_counters.statements;
    return inner_->RollbackTo(name);
  }
  int Commit() override {
    ++g_counters.statements;
    ++g_counters.commits;
    const int rc = inner_->Commit();
    if (rc == kOk && g_write_pending) ++g_counters.durable_commits;
    if (rc == kOk) g_write_pending = false;
    return rc;
  }
  ErrorDetail LastError() const override { return inner_->LastError(); }
  int ExecScript(const std::string& sql) override { return inner_->ExecScript(sql); }
  int Query(const std::string& sql, std::vector<Row>& rows) override {
    return inner_->Query(sql, rows);
  }
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override {
    return inner_->BulkInsert(table, columns, rows);
  }

 private:
  std::unique_ptr<Session> inner_;
};

std::unique_ptr<Session> g_current;

bool Digits(const std::string& s, size_t from, size_t n) {
  for (size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int Num(const std::string& s, size_t from, size_t n) {
  int v = 0;
  for (size_t i = from; i < from + n; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

}  // namespace

void RegisterBackend(const std::string& prefix, LogonFn logon, CreateSchemaFn create) {
  auto& r = Registry();
  for (auto& b : r) {
    if (b.prefix == prefix) {
      b.logon = std::move(logon);
      b.create = std::move(create);
      return;
    }
  }
  r.push_back({prefix, std::move(logon), std::move(create)});
}

int OpenSession(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out) {
  const Backend* b = Find(net);
  if (b == nullptr || !b->logon) return kBadNetName;
  std::unique_ptr<Session> s;
  const int rc = b->logon(user, password, net, s);
  if (rc != kOk) return rc;
  if (!s) return kInternal;
  out = std::move(s);
  return kOk;
}

namespace {

constexpr const char* kOpNames[Index(Op::kCount)] = {
    "TagYday",   "TagPrev",   "BchTagMld", "BchStdMld",      "FcdReadFlg",
    "FcdRead",   "AzvRead",   "BchCountTagMld", "BchCountStdMld", "TagUpdate",
    "BchUpdFkt", "BchDelFkt", "BchInsert"};

std::string g_stats_path;

void WriteCountersAtExit() { WriteCountersFile(g_stats_path); }

// Arms the diagnostic counters file once per process when PARVEK_STATS_FILE names one.
void ArmCountersFile() {
  static bool armed = false;
  if (armed) return;
  const char* path = std::getenv("PARVEK_STATS_FILE");
  if (path == nullptr || *path == '\0') return;
  armed = true;
  g_stats_path = path;
  std::atexit(WriteCountersAtExit);
}

// One literal of the plain SQL subset for a cell of BulkInsert's default path.
void AppendLiteral(const Cell& c, std::string& sql) {
  if (c.null) {
    sql += "NULL";
  } else if (c.is_int) {
    sql += std::to_string(c.num);
  } else {
    sql += '\'';
    for (char ch : c.text) {
      if (ch == '\'') sql += '\'';
      sql += ch;
    }
    sql += '\'';
  }
}

bool PlainName(const std::string& s) {
  if (s.empty() || s.size() > 128) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char ch = s[i];
    const bool letter = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
    if (!letter && (i == 0 || !((ch >= '0' && ch <= '9') || ch == '_'))) return false;
  }
  return true;
}

}  // namespace

int Session::BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                        const std::vector<Row>& rows) {
  if (!PlainName(table) || columns.empty()) return kInvalidSql;
  for (const auto& c : columns)
    if (!PlainName(c)) return kInvalidSql;
  if (rows.empty()) return kOk;
  std::string sql = "INSERT INTO " + table + " (";
  for (size_t i = 0; i < columns.size(); ++i) sql += (i ? "," : "") + columns[i];
  sql += ") VALUES ";
  for (size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != columns.size()) return kInternal;
    sql += r ? ",(" : "(";
    for (size_t i = 0; i < rows[r].size(); ++i) {
      if (i) sql += ',';
      AppendLiteral(rows[r][i], sql);
    }
    sql += ')';
  }
  return ExecScript(sql);  // one statement: every row or none
}

int WriteCountersFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return -1;
  const Counters& c = g_counters;
  std::fprintf(f, "statements %llu\ncommits %llu\ndurable_commits %llu\nfetches %llu\n",
               static_cast<unsigned long long>(c.statements),
               static_cast<unsigned long long>(c.commits),
               static_cast<unsigned long long>(c.durable_commits),
               static_cast<unsigned long long>(c.fetches));
  for (size_t i = 0; i < Index(Op::kCount); ++i)
    std::fprintf(f, "calls.%s %llu\nfetched.%s %llu\n", kOpNames[i],
                 static_cast<unsigned long long>(c.calls[i]), kOpNames[i],
                 static_cast<unsigned long long>(c.fetched[i]));
  return std::fclose(f) == 0 ? 0 : -1;
}

int Logon(const std::string& user, const std::string& password, const std::string& net) {
  ArmCountersFile();
  g_counters = Counters{};
  g_write_pending = false;
  ++g_counters.statements;
  g_current.reset();  // a failed logon leaves no session behind, not an earlier one
  std::unique_ptr<Session> s;
  const int rc = OpenSession(user, password, net, s);
  if (rc != kOk) return rc;
  g_current = std::make_unique<CountingSession>(std::move(s));
  return kOk;
}

int CreateSchema(const std::string& user, const std::string& password, const std::string& net,
                 const std::string& schema, std::string& why) {
  const Backend* b = Find(net);
  if (b == nullptr || !b->create) {
    why = "no backend of this build serves '" + net + "'";
    return kBadNetName;
  }
  return b->create(user, password, net, schema, why);
}

Session* Current() { return g_current.get(); }

const Counters& GetCounters() { return g_counters; }

int ToDbDate(const std::string& in, bool with_time, std::string& out) {
  const size_t want = with_time ? 14 : 8;
  if (in.size() != want || !Digits(in, 0, want)) return kBadDateFormat;
  const int year = Num(in, 0, 4);
  const int month = Num(in, 4, 2);
  const int day = Num(in, 6, 2);
  if (year == 0) return kBadDateFormat;  // there is no year 0
  if (month < 1 || month > 12) return kBadMonth;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > last) return kBadDay;
  int hh = 0, mi = 0, ss = 0;
  if (with_time) {
    hh = Num(in, 8, 2);
    mi = Num(in, 10, 2);
    ss = Num(in, 12, 2);
    if (hh > 23 || mi > 59 || ss > 59) return kBadDateFormat;
  }
  char buf[20];
  const char* d = in.c_str();
  buf[0] = d[0], buf[1] = d[1], buf[2] = d[2], buf[3] = d[3], buf[4] = '-';
  buf[5] = d[4], buf[6] = d[5], buf[7] = '-', buf[8] = d[6], buf[9] = d[7], buf[10] = ' ';
  buf[11] = static_cast<char>('0' + hh / 10), buf[12] = static_cast<char>('0' + hh % 10);
  buf[13] = ':';
  buf[14] = static_cast<char>('0' + mi / 10), buf[15] = static_cast<char>('0' + mi % 10);
  buf[16] = ':';
  buf[17] = static_cast<char>('0' + ss / 10), buf[18] = static_cast<char>('0' + ss % 10);
  out.assign(buf, 19);
  return kOk;
}

}  // namespace pvc
