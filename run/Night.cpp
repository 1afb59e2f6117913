#include "run/Night.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "db/SQLHlp.h"
#include "db/parveksql.h"
#include "run/NightGuard.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/RunControl.h"
#include "run/ground/RunLog.h"
#include "scan/TagYday_Scan.h"
#include "scan/Tgb_Param.h"

namespace {

// Shown in place of the password wherever connection settings are written.
constexpr const char* kPasswordMask = "********";

std::string InDir(const std::string& dir, const char* name) {
  return dir.empty() ? std::string(name) : dir + "/" + name;
}

// How the night stands once it has tried to connect and to learn its day.
struct Start {
  int connect_rc = 0;                // Db_Connect's code
  int today_rc = 0;                  // Db_Today's code (when connected)
  std::string today;                 // the database's date, yyyymmdd ("" when unread)
  std::optional<AccountingDay> day;  // the accounting day, when known
};

Start ConnectAndResolve(const NightContext& n) {
  Start st;
  std::vector<pvc::SessionDecorator> decorators;
  // A preview holds the whole night in one transaction: the job's commits do nothing.
  if (n.mode == NightMode::kPreview) decorators.push_back(pvc::WithoutCommits);
  decorators.insert(decorators.end(), n.decorators.begin(), n.decorators.end());
  st.connect_rc = Db_Connect(n.settings.login.c_str(), n.settings.pass.c_str(),
                             n.settings.net8.c_str(), n.settings.SchemaName().c_str(), decorators);
  if (st.connect_rc != 0) return st;
  // The job's plain night asks the database for nothing more: its yesterday cursor works on the
  // database's yesterday by itself. The day is read when something must know it beforehand.
  if (!n.catch_up && !n.admit) return st;
  char today[9] = {};
  st.today_rc = Db_Today(today);
  st.today = today;
  const std::optional<AccountingDay> db_today =
      st.today_rc == 0 ? AccountingDay::FromCompact(st.today) : std::nullopt;
  // A catch-up works on a day that has ended by the database's clock; a normal night on the
  // database's yesterday.
  if (n.catch_up)
    st.day = db_today && *n.catch_up < *db_today ? n.catch_up : std::nullopt;
  else if (db_today)
    st.day = *db_today - 1;
  return st;
}

int LogConnectFailure(const NightContext& n, int rc) {
  char message[64];
  std::snprintf(message, sizeof message, "Fehler(DB-Connect)! RC:%d ", rc);
  // NET8 is shown with any secret it carries masked.
  const std::string shown_net = n.address.Printable();
  Log_Entry(message, "Name:%s Pwd:%s Net:%s\n", n.settings.login.c_str(), kPasswordMask,
            shown_net.c_str());
  // The exit code of the job is 0 on every path; this line keeps a failed connect from being
  // silent.
  std::fprintf(stderr, "parvek: Fehler(DB-Connect)! RC:%d Net:%s\n", rc,
               Run_OneLine(shown_net).c_str());
  return rc;
}

int Scan(const NightContext& n, const Start& st) {
  if (st.connect_rc != 0) return LogConnectFailure(n, st.connect_rc);
  if (n.catch_up && !st.day) {
    Log_Entry("Fehler(Nachholung): Abrechnungstag nicht vor dem Datum der Datenbank! ",
              "RC:%d Tag:%s Heute:%s\n", st.today_rc, n.catch_up->Compact().c_str(),
              st.today.c_str());
    return kNightDayNotPast;
  }
  // A preview whose cursors missed the night's own earlier writes would show another night.
  if (n.mode == NightMode::kPreview && Db_CursorsSeeOwnWrites() != 0) return kNightNoPreview;

  const std::string param_file = InDir(n.dir, kParamFileName);
  TagYday_Scan(n.settings.SchemaName().c_str(), n.catch_up, param_file.c_str(),
               n.only_pnr.empty() ? nullptr : n.only_pnr.c_str());
  if (n.mode == NightMode::kPreview && Db_RollbackAll() != 0) return kNightNotUndone;
  return 0;
}

// The record of the run's state beside the run log: its time stamp and one word.
void WriteEndRecord(const std::string& path, const std::string& stamp, const char* state) {
  if (path.empty()) return;
  std::FILE* f = Run_OpenJobFile(path.c_str(), false);
  if (f == nullptr) return;
  std::fprintf(f, "%s%s\n", stamp.c_str(), state);
  std::fclose(f);
}

// One line of the events file beside the run log, for log-check: a night that was refused, or
// that ended a preview. The file is started afresh past 64 KiB.
void WriteEvent(const NightContext& n, const char* kind, const std::string& why) {
  const std::string path = InDir(n.lock_dir, kNightEventsName);
  struct stat st {};
  const bool fresh = ::stat(path.c_str(), &st) == 0 && st.st_size > 64 * 1024;
  std::FILE* f = Run_OpenJobFile(path.c_str(), !fresh);
  if (f == nullptr) return;
  std::fprintf(f, "%lld\t%s\t%s\n", static_cast<long long>(std::time(nullptr)), kind,
               Run_OneLine(why).c_str());
  std::fclose(f);
}

// The accounting day for the record of nights: a catch-up's once checked, or the database's
// yesterday read on the guard's own session (the night's statements stay the job's).
std::optional<AccountingDay> RecordDay(const NightContext& n, NightGuard& g, const Start& st) {
  if (n.catch_up) return st.day;
  if (st.day) return st.day;
  pvc::Row row;
  if (!g.session || g.session->SelectOne(pvc::Op::Today, {}, row) != pvc::kOk || row.empty() ||
      row[0].null)
    return std::nullopt;
  g.session->Commit();
  const std::optional<AccountingDay> today = AccountingDay::FromCompact(row[0].text);
  return today ? std::optional<AccountingDay>(*today - 1) : std::nullopt;
}

}  // namespace

NightContext Night_Context(const std::string& settings_path, const std::string& variant,
                           const std::string& log_switch) {
  NightContext n;
  n.settings = Settings_Read(settings_path);
  n.address = DatabaseAddress_Parse(n.settings.net8);
  n.variant = variant;
  n.log_switch = log_switch;
  return n;
}

int Night_Lock(const std::string& dir, int wait_s) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return kNightNoLock;
  // Polled, not blocked in flock: the wait keeps its bound whatever signals arrive.
  for (int waited_ms = 0;; waited_ms += 200) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK || waited_ms >= wait_s * 1000) break;
    ::usleep(200 * 1000);
  }
  const int e = errno;
  ::close(fd);
  errno = e;
  return -1;
}

int Night_TakeSlot(const std::string& dir, int count, int wait_s) {
  for (int waited_ms = 0;; waited_ms += 200) {
    int opened = 0, error = 0;
    for (int i = 1; i <= count; ++i) {
      const std::string path = dir + "/parvek-night-" + std::to_string(i) + ".lock";
      int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) (void)::fchmod(fd, 0666);  // whatever the umask: every user's nights
      }
      if (fd < 0) {
        error = errno;
        continue;
      }
      ++opened;
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
      ::close(fd);
    }
    if (opened == 0 && error != EEXIST) {
      errno = error;
      return -1;
    }
    if (waited_ms >= wait_s * 1000) {
      errno = EWOULDBLOCK;
      return -1;
    }
    ::usleep(200 * 1000);
  }
}

int Night_Run(const NightContext& n, std::string* why) {
  // A reader that closes standard output early (parvek ... | head) must not end the night: its
  // writes then fail, and the night's work goes on.
  std::signal(SIGPIPE, SIG_IGN);
  const bool preview = n.mode == NightMode::kPreview;
  const auto refuse = [&](int rc, const std::string& text) {
    std::fprintf(stderr, "parvek: %s\n", text.c_str());
    if (why != nullptr) *why = text;
    if ((rc == kNightBusy || rc == kNightNoSlot) && !preview) WriteEvent(n, "refused", text);
    return rc;
  };
  // One night at a time in a working directory: a second run would mix its run log and
  // parameter file into the first's. A refused run writes nothing there but its event: every
  // file in it belongs to the running night. A preview writes into a private directory and
  // takes none: the database's lock keeps it from a night, and a night in its directory ends
  // it there as anywhere.
  int lock = preview ? kNightNoLock : Night_Lock(n.lock_dir, 0);
  const bool waited_dir = lock == -1 && errno == EWOULDBLOCK;
  if (waited_dir) lock = Night_Lock(n.lock_dir, n.lock_wait_s);
  if (lock == -1) {
    const int e = errno;
    return refuse(kNightBusy, "Fehler(Sperre): Verzeichnis " +
                                  Run_OneLine(n.lock_dir.empty() ? "." : n.lock_dir) +
                                  " nicht frei! " +
                                  (e == EWOULDBLOCK ? "Ein anderer Lauf arbeitet darin."
                                                    : std::strerror(e)));
  }
  struct CloseLock {
    int fd;
    ~CloseLock() {
      if (fd >= 0) ::close(fd);
    }
  } close_lock{lock};
  // At most so many nights on this host: a night waits for a slot once its directory is its own.
  CloseLock slot{-1};
  if (n.host_slots.count > 0 && !preview) {
    slot.fd = Night_TakeSlot(n.host_slots.dir, n.host_slots.count, n.host_slots.wait_s);
    if (slot.fd < 0) {
      const int e = errno;
      return refuse(kNightNoSlot,
                    "Fehler(Sperre): Kein Platz frei! " + std::to_string(n.host_slots.count) +
                        " Nächte laufen auf diesem Rechner (" + Run_OneLine(n.host_slots.dir) +
                        (e == EWOULDBLOCK ? ")." : "): " + std::string(std::strerror(e))));
    }
  }
  RunFlags_Init(n.variant.c_str(), n.log_switch.c_str());
  // One night at a time on a database, from wherever it starts; a preview's open transaction
  // would block the night's writes, so a night ends a preview it finds.
  NightGuard guard;
  const GuardKind kind = !preview             ? GuardKind::kNight
                         : n.only_pnr.empty() ? GuardKind::kPreview
                                              : GuardKind::kExplain;
  const int taken = NightGuard_Take(guard, n.settings, kind, preview ? 0 : n.lock_wait_s);
  if (taken == kGuardBusy)
    return refuse(kNightBusy, "Fehler(Sperre): Datenbank " + Run_OneLine(guard.identity.shown) +
                                  " nicht frei! " + Run_OneLine(guard.holder) + " hält " +
                                  Run_OneLine(guard.how) + ".");

  const Start st = ConnectAndResolve(n);
  const std::optional<AccountingDay> day =
      st.connect_rc == 0 && !preview ? RecordDay(n, guard, st) : std::nullopt;
  if (day && (n.done_day == DoneDay::kRefuse ||
              (n.done_day == DoneDay::kSkipAfterWait && (guard.waited || waited_dir)))) {
    if (const std::optional<NightRecord> done = NightGuard_DoneNight(guard, *day)) {
      const std::string text = "the database records a finished night of " + day->Dashed() +
                               " (started " + done->started + " by " + done->started_by +
                               ", ended " + done->ended + ")";
      if (n.done_day == DoneDay::kSkipAfterWait) {
        // The job waited for that very night: it logs why it does not run it again.
        Log_Open(InDir(n.dir, kRunLogName).c_str());
        Log_EntryAlways("Hinweis(Sperre): Nacht bereits gelaufen! ", "Tag:%s Start:%s Von:%s\n",
                        day->Compact().c_str(), done->started.c_str(),
                        done->started_by.c_str());
        Log_Close();
        WriteEvent(n, "skipped", text);
      }
      if (why != nullptr) *why = text;
      return kNightDone;
    }
  }
  if (n.admit && st.day && !n.admit(*st.day)) return kNightRefused;

  Log_Open(InDir(n.dir, kRunLogName).c_str());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string stamp = Run_TimeStamp(local);
  Log_Line(stamp.c_str());
  WriteEndRecord(n.end_record, stamp, "running");
  if (guard.ended_preview)
    WriteEvent(n, "preview-ended", "the night ended " + guard.holder + " to run");
  NightRecord begun;
  const bool recorded =
      day && NightGuard_Begin(guard, *day, n.started_by, begun) == 0;

  const int rc = Scan(n, st);
  Log_Close();
  WriteEndRecord(n.end_record, stamp, "finished");
  if (recorded) NightGuard_End(guard, *day, begun, rc == 0 ? "finished" : "failed");
  return rc;
}
