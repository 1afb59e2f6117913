#include "run/NightGuard.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "client/codes.h"
#include "client/core/tool_statements.h"
#include "run/ground/RunControl.h"

namespace {

constexpr int kPollMs = 200;
// After a preview was ended, the lock is waited for at least this long, whatever the wait asked:
// the ended process and its sessions need a moment to go.
constexpr int kAfterPreviewSeconds = 15;
// The longest a new holder waits for what a killed one left working on the server.
constexpr int kSettleSeconds = 60;
// The job's own advisory-lock key on PostgreSQL ('PVK' and a version); the schema's beside it.
constexpr std::int64_t kPgJobKey = 0x50564B01;

const char* KindWord(GuardKind k) {
  switch (k) {
    case GuardKind::kNight: return "night";
    case GuardKind::kPreview: return "preview";
    case GuardKind::kUndo: return "undo";
    case GuardKind::kExplain: return "explain";
  }
  return "night";
}

// A preview and an explanation change nothing that stays: they never wait, and whatever changes
// things ends them.
bool Endable(const std::string& kind) { return kind == "preview" || kind == "explain"; }

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "?";
  return host;
}

std::uint32_t Fnv32(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

std::string Quoted(const std::string& text) { return pvc::Tool_Quoted(text); }

std::string Now() { return Run_LocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S"); }

std::string Cell(const pvc::Row& row, std::size_t i) {
  if (i >= row.size() || row[i].null) return "";
  return row[i].is_int ? std::to_string(row[i].num) : row[i].text;
}

// A SELECT on the guard's session, its transaction ended at once: the guard never sits in an
// open transaction beside the night.
int Query(NightGuard& g, const std::string& sql, std::vector<pvc::Row>& rows) {
  if (!g.session) return pvc::kLostConnection;
  const int rc = pvc::ToolsOf(*g.session).Query(sql, rows);
  g.session->Commit();
  return rc;
}

// ---- whom the lock names -----------------------------------------------------------------

// Who holds the lock, as its holder wrote it: "KIND PID HOST since STAMP".
struct Holder {
  std::string raw;  // as written
  std::string kind, host, since;
  long pid = 0;
  std::string Words() const {
    if (kind.empty()) return "another run";
    return "a " + kind + " (process " + std::to_string(pid) + " on " + host +
           (since.empty() ? "" : ", since " + since) + ")";
  }
};

std::string HolderLine(GuardKind kind) {
  return std::string(KindWord(kind)) + " " + std::to_string(::getpid()) + " " + HostName() +
         " since " + Now();
}

Holder ParseHolder(const std::string& line) {
  Holder h;
  h.raw = line;
  char kind[32] = {}, host[256] = {}, since[64] = {};
  long pid = 0;
  const int n = std::sscanf(line.c_str(), "%31s %ld %255s since %63[^\n]", kind, &pid, host, since);
  if (n < 3) return h;
  h.kind = kind;
  h.pid = pid;
  h.host = host;
  h.since = since;
  return h;
}

// PostgreSQL's application_name of a guard's session and of the sessions its process opens
// afterwards: "parvek TAG KIND PID HOST since STAMP", TAG the lock's key in hex, within the 63
// characters the server keeps.
std::string PgPrefix(const std::string& k2) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%08lx", std::strtoul(k2.c_str(), nullptr, 10));
  return std::string("parvek ") + tag + " ";
}

// ---- ending a preview --------------------------------------------------------------------

// The preview's process on this host, asked to end (SIGUSR1) and woken should it be stopped.
// Only a process of this program is signalled: a process number may have been given again.
bool SignalPreview(const Holder& h) {
  if (!Endable(h.kind) || h.pid <= 1 || h.host != HostName()) return false;
  std::ifstream comm("/proc/" + std::to_string(h.pid) + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name.rfind("parvekctl", 0) != 0) return false;
  if (::kill(static_cast<pid_t>(h.pid), SIGUSR1) != 0) return false;
  ::kill(static_cast<pid_t>(h.pid), SIGCONT);
  return true;
}

// ---- the lock, by engine -----------------------------------------------------------------

struct Lock {
  virtual ~Lock() = default;
  virtual bool Try() = 0;           // takes it without waiting
  virtual Holder Holding() = 0;     // who holds it now
  virtual bool EndPreview(const Holder& h) = 0;
  // Once held: true when nothing of an earlier holder is left working on the database.
  virtual bool Settled() { return true; }
};

// An flock on a lock file, whose content names its holder.
struct FileLock : Lock {
  NightGuard& g;
  GuardKind kind;
  explicit FileLock(NightGuard& guard, GuardKind k) : g(guard), kind(k) {}
  bool Try() override {
    if (::flock(g.lock_fd, LOCK_EX | LOCK_NB) != 0) return false;
    const std::string line = HolderLine(kind) + "\n";
    if (::ftruncate(g.lock_fd, 0) == 0)
      (void)!::pwrite(g.lock_fd, line.data(), line.size(), 0);
    return true;
  }
  Holder Holding() override {
    char buf[512] = {};
    const ssize_t n = ::pread(g.lock_fd, buf, sizeof buf - 1, 0);
    return n > 0 ? ParseHolder(buf) : Holder{};
  }
  bool EndPreview(const Holder& h) override { return SignalPreview(h); }
};

struct PgLock : Lock {
  NightGuard& g;
  std::string k1, k2;
  explicit PgLock(NightGuard& guard) : g(guard) {
    k1 = std::to_string(kPgJobKey);
    k2 = std::to_string(Fnv32(g.identity.key) & 0x7fffffffu);
  }
  std::string Prefix() const { return PgPrefix(k2); }
  bool Try() override {
    std::vector<pvc::Row> rows;
    if (Query(g, pvc::Tool_Sql(pvc::ToolOp::PgLockTry, {k1, k2}), rows) != pvc::kOk ||
        rows.size() != 1 || rows[0].empty() ||
        !(rows[0][0].text == "t" || rows[0][0].text == "1" || rows[0][0].num == 1))
      return false;
    // Named only once held: a guard still waiting must not count as a holder's session.
    Query(g, pvc::Tool_Sql(pvc::ToolOp::PgLockName, {Quoted(g.name)}), rows);
    // The sessions this process opens from now on (the night's own) carry the same name, so
    // that a night can end a preview's and an undo can wait for a killed night's.
    ::setenv("PGAPPNAME", g.name.c_str(), 1);
    return true;
  }
  Holder Holding() override {
    std::vector<pvc::Row> rows;
    if (Query(g, pvc::Tool_Sql(pvc::ToolOp::PgLockHolder, {k1, k2}), rows) != pvc::kOk ||
        rows.empty())
      return {};
    const std::string name = Cell(rows[0], 0);
    return name.rfind(Prefix(), 0) == 0 ? ParseHolder(name.substr(Prefix().size())) : Holder{};
  }
  bool EndPreview(const Holder& h) override {
    const bool signalled = SignalPreview(h);
    // Its sessions go too, also when its process is on another host: the same role may end
    // them. They carry the name its guard gave them.
    std::vector<pvc::Row> rows;
    Query(g, pvc::Tool_Sql(pvc::ToolOp::PgEndSessions, {Quoted(Prefix() + h.raw)}), rows);
    return signalled || (!rows.empty() && Cell(rows[0], 0) != "0");
  }
  // The lock's session ends with its process, but a killed night's own session may still be
  // finishing its last statement on the server: none of the database's runs of this schema may
  // be left but this one.
  bool Settled() override {
    std::vector<pvc::Row> rows;
    return Query(g, pvc::Tool_Sql(pvc::ToolOp::PgLeftovers, {Quoted(Prefix() + "%")}), rows) !=
               pvc::kOk ||
           rows.empty() || Cell(rows[0], 0) == "0";
  }
};

// The lock file beside an SQLite database, or this host's lock file for the identity.
std::string LockFilePath(const NightGuard& g, const std::string& net8, const std::string& schema,
                         bool beside) {
  if (beside && !g.identity.file.empty()) return g.identity.file + "-parvek.lock";
  const std::string key = g.identity.Known() ? g.identity.key : net8 + "/" + schema;
  struct stat st {};
  const std::string dir = ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/tmp";
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", Fnv32(key));
  return dir + "/parvek-" + hex + ".lock";
}

// Opens the lock file, never through a link. Made by root beside a database of another owner,
// it is handed to that owner, so that the job's user can take it afterwards.
int OpenLockFile(const std::string& path, const std::string& db_file) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat db {}, lk {};
  if (!db_file.empty() && ::geteuid() == 0 && ::stat(db_file.c_str(), &db) == 0 &&
      ::fstat(fd, &lk) == 0 && lk.st_uid != db.st_uid)
    (void)!::fchown(fd, db.st_uid, db.st_gid);
  return fd;
}

}  // namespace

NightGuard::~NightGuard() { NightGuard_Release(*this); }

int NightGuard_Take(NightGuard& g, const Settings& settings, GuardKind kind, int wait_s) {
  return NightGuard_Take(g, settings.login, settings.pass, settings.net8, settings.SchemaName(),
                         kind, wait_s);
}

int NightGuard_Take(NightGuard& g, const std::string& login, const std::string& pass,
                    const std::string& net8, const std::string& schema, GuardKind kind,
                    int wait_s) {
  NightGuard_Release(g);
  if (pvc::OpenSession(login, pass, net8, g.session) != pvc::kOk) {
    g.session.reset();
    return kGuardNoSession;
  }
  g.session->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + schema);
  pvc::Row row;
  if (g.session->SelectOne(pvc::Op::DbIdentity, {}, row) == pvc::kOk && !row.empty() &&
      !row[0].null)
    g.identity = DatabaseIdentity_From(row[0].text, schema);
  g.session->Commit();

  std::unique_ptr<Lock> lock;
  if (g.identity.key.rfind("postgresql:", 0) == 0) {
    auto pg = std::make_unique<PgLock>(g);
    g.name = (pg->Prefix() + HolderLine(kind)).substr(0, 63);
    lock = std::move(pg);
    g.how = "advisory lock of " + g.identity.shown;
  } else {
    // Beside the database file; where none can be made there (a folder the job may only read),
    // this host's lock file for the database.
    std::string path = LockFilePath(g, net8, schema, true);
    g.lock_fd = OpenLockFile(path, g.identity.file);
    if (g.lock_fd < 0) {
      path = LockFilePath(g, net8, schema, false);
      g.lock_fd = OpenLockFile(path, g.identity.file);
    }
    if (g.lock_fd < 0) {
      g.holder = "the lock file " + path + " cannot be opened";
      return kGuardBusy;
    }
    lock = std::make_unique<FileLock>(g, kind);
    g.how = "lock file " + path;
  }

  const int wait_ms = Endable(KindWord(kind)) ? 0 : wait_s * 1000;
  int until_ms = wait_ms;
  for (int waited_ms = 0;; waited_ms += kPollMs) {
    if (lock->Try()) {
      g.held = true;
      // What a killed holder left working gets a bounded time to end.
      for (int settle_ms = 0; !Endable(KindWord(kind)) && settle_ms < kSettleSeconds * 1000 &&
                              !lock->Settled();
           settle_ms += kPollMs)
        ::usleep(kPollMs * 1000);
      return 0;
    }
    g.waited = true;
    const Holder h = lock->Holding();
    g.holder = h.Words();
    if (!Endable(KindWord(kind)) && Endable(h.kind) && !g.ended_preview &&
        lock->EndPreview(h)) {
      g.ended_preview = true;
      until_ms = std::max(until_ms, waited_ms + kAfterPreviewSeconds * 1000);
    }
    if (waited_ms >= until_ms) return kGuardBusy;
    ::usleep(kPollMs * 1000);
  }
}

void NightGuard_Release(NightGuard& g) {
  if (g.lock_fd >= 0) {
    if (g.held) (void)!::ftruncate(g.lock_fd, 0);
    ::close(g.lock_fd);
  }
  g.lock_fd = -1;
  g.held = false;
  // The advisory lock ends with the session.
  g.session.reset();
}

int NightGuard_Nights(NightGuard& g, const AccountingDay& day, std::vector<NightRecord>& out) {
  std::vector<pvc::Row> rows;
  const int rc = Query(g, pvc::Tool_Sql(pvc::ToolOp::NightsOfDay, {Quoted(day.Compact())}), rows);
  if (rc != pvc::kOk) return rc;
  out.clear();
  for (const pvc::Row& r : rows) out.push_back({Cell(r, 0), Cell(r, 1), Cell(r, 2), Cell(r, 3)});
  return 0;
}

std::optional<NightRecord> NightGuard_DoneNight(NightGuard& g, const AccountingDay& day) {
  std::vector<NightRecord> nights;
  if (NightGuard_Nights(g, day, nights) != 0) return std::nullopt;
  for (const NightRecord& n : nights)
    if (n.outcome == "finished") return n;
  return std::nullopt;
}

int NightGuard_Begin(NightGuard& g, const AccountingDay& day, const std::string& what,
                     NightRecord& begun) {
  if (!g.session) return pvc::kLostConnection;
  const passwd* pw = ::getpwuid(::geteuid());
  begun = {Now(),
           what + " " + (pw != nullptr ? pw->pw_name : std::to_string(::geteuid())) + "@" + HostName() +
               " pid " + std::to_string(::getpid()),
           "", "running"};
  return pvc::ToolsOf(*g.session)
      .ExecScript(pvc::Tool_Sql(pvc::ToolOp::NightBegins, {Quoted(day.Compact()),
                                                           Quoted(begun.started),
                                                           Quoted(begun.started_by)}));
}

int NightGuard_End(NightGuard& g, const AccountingDay& day, const NightRecord& begun,
                   const std::string& outcome) {
  if (!g.session) return pvc::kLostConnection;
  return pvc::ToolsOf(*g.session)
      .ExecScript(pvc::Tool_Sql(pvc::ToolOp::NightEnds,
                                {Quoted(day.Compact()), Quoted(begun.started),
                                 Quoted(begun.started_by), Quoted(Now()), Quoted(outcome)}));
}
