// Backend registry, and the process's current session with its call counters.
#include "client/client.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "client/backends.h"
#include "client/core/codes.h"
#include "client/core/txn.h"
#include "client/core/wal_sync.h"
#include "run/ground/DatabaseAddress.h"

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
    r.push_back({std::string(kNet8Sqlite), SqliteLogon, SqliteCreateSchema});
#ifdef PARVEK_WITH_POSTGRES
    r.push_back({std::string(kNet8Postgres), PgLogon, PgCreateSchema});
    r.push_back({std::string(kNet8PostgresShort), PgLogon, PgCreateSchema});
#endif
#ifdef PARVEK_WITH_ODBC
    r.push_back({std::string(kNet8Odbc), OdbcLogon, OdbcCreateSchema});
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
      if (b.prefix == kNet8Odbc) best = &b;
  }
#endif
  return best;
}

Counters& g_counters = CountersToUpdate();  // the counters of client/core/counters.h
bool g_write_pending = false;     // a successful write since the last commit

constexpr size_t Index(Op op) { return static_cast<size_t>(op); }

// Counts the rows a cursor delivers.
class CountingCursor final : public CursorWrapper {
 public:
  CountingCursor(std::unique_ptr<Cursor> inner, Op op) : CursorWrapper(std::move(inner)), op_(op) {}
  int Fetch(Row& row) override {
    const int rc = target().Fetch(row);
    if (rc == kOk) {
      ++g_counters.fetches;
      ++g_counters.fetched[Index(op_)];
    }
    return rc;
  }

 private:
  Op op_;
};

// Counts every call of the job in one place.
class CountingSession final : public SessionWrapper {
 public:
  using SessionWrapper::SessionWrapper;
  int ExecDynamic(const std::string& text) override {
    ++g_counters.statements;
    return target().ExecDynamic(text);
  }
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    const int rc = target().Open(op, in, out);
    if (out) out = std::make_unique<CountingCursor>(std::move(out), op);
    return rc;
  }
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    return target().SelectOne(op, in, out);
  }
  int Write(Op op, const std::vector<Bind>& in) override {
    ++g_counters.statements;
    ++g_counters.calls[Index(op)];
    const int rc = target().Write(op, in);
    if (rc == kOk) g_write_pending = true;
    return rc;
  }
  int Savepoint(const std::string& name) override {
    ++g_counters.statements;
    return target().Savepoint(name);
  }
  int RollbackTo(const std::string& name) override {
    ++g_counters.statements;
    return target().RollbackTo(name);
  }
  // The savepoint, the write and its commit or undo: three statements, as the job counts them.
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override {
    ++g_counters.calls[Index(op)];
    const int rc = target().WriteDurably(op, in, savepoint);
    g_counters.statements += 3;
    if (rc == kOk) {
      ++g_counters.commits;
      ++g_counters.durable_commits;
      g_write_pending = false;
    }
    return rc;
  }
  int Commit() override {
    ++g_counters.statements;
    ++g_counters.commits;
    const int rc = target().Commit();
    if (rc == kOk && g_write_pending) ++g_counters.durable_commits;
    if (rc == kOk) g_write_pending = false;
    return rc;
  }
};

std::unique_ptr<Session> g_current;

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

void SetLockWaitMs(int ms) {
  SqliteSetBusyWaitMs(ms);
#ifdef PARVEK_WITH_POSTGRES
  PgSetLockWaitMs(ms);
#endif
#ifdef PARVEK_WITH_ODBC
  OdbcSetLockWaitMs(ms);
#endif
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

}  // namespace

int WriteCountersFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return -1;
  const Counters& c = GetCounters();
  std::fprintf(
      f,
      "statements %llu\ncommits %llu\ndurable_commits %llu\nfetches %llu\ntrips %llu\n"
      "logons %llu\nsessions %llu\nahead %llu\nahead_used %llu\n",
      static_cast<unsigned long long>(c.statements), static_cast<unsigned long long>(c.commits),
      static_cast<unsigned long long>(c.durable_commits),
      static_cast<unsigned long long>(c.fetches), static_cast<unsigned long long>(c.trips),
      static_cast<unsigned long long>(c.logons), static_cast<unsigned long long>(c.sessions),
      static_cast<unsigned long long>(c.ahead), static_cast<unsigned long long>(c.ahead_used));
  // The SQLite log's syncs on their own thread (client/core/wal_sync.h): how many, and their CPU.
  std::fprintf(f, "syncs %ld\nsync_cpu_us %ld\n", WalSyncer::SyncsDone(),
               WalSyncer::SyncCpuMicros());
  for (size_t i = 0; i < Index(Op::kCount); ++i)
    std::fprintf(f, "calls.%s %llu\nfetched.%s %llu\n", Op_Info(static_cast<Op>(i)).name,
                 static_cast<unsigned long long>(c.calls[i]), Op_Info(static_cast<Op>(i)).name,
                 static_cast<unsigned long long>(c.fetched[i]));
  return std::fclose(f) == 0 ? 0 : -1;
}

int Logon(const std::string& user, const std::string& password, const std::string& net,
          const std::vector<SessionDecorator>& decorators) {
  ArmCountersFile();
  g_current.reset();  // a failed logon leaves no session behind, not an earlier one
  ResetCounters();
  g_write_pending = false;
  ++g_counters.statements;
  std::unique_ptr<Session> s;
  const int rc = OpenSession(user, password, net, s);
  if (rc != kOk) return rc;
  for (const SessionDecorator& decorate : decorators) {
    s = decorate(std::move(s));
    if (!s) return kInternal;
  }
  g_current = std::make_unique<CountingSession>(std::move(s));
  return kOk;
}

std::unique_ptr<Session> WithoutCommits(std::unique_ptr<Session> s) {
  class NoCommits final : public SessionWrapper {
   public:
    using SessionWrapper::SessionWrapper;
    int Commit() override { return kOk; }
    // The one durable write, its savepoint released after it.
    int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override {
      return WriteDurablySteps(*this, op, in, savepoint, /*release_after=*/true);
    }
  };
  return std::make_unique<NoCommits>(std::move(s));
}

int CreateSchema(const std::string& user, const std::string& password, const std::string& net,
                 const std::string& schema, std::string& why) {
  const Backend* b = Find(net);
  if (b == nullptr || !b->create) {
    why = "no backend of this build serves '" + Net8_Mask(net) + "'";
    return kBadNetName;
  }
  return b->create(user, password, net, schema, why);
}

Session* Current() { return g_current.get(); }

}  // namespace pvc
