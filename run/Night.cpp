#include "run/Night.h"

#include <fcntl.h>
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
  TagYday_Scan(n.settings.SchemaName().c_str(), n.catch_up, param_file.c_str());
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

int Night_Run(const NightContext& n) {
  // A reader that closes standard output early (parvek ... | head) must not end the night: its
  // writes then fail, and the night's work goes on.
  std::signal(SIGPIPE, SIG_IGN);
  // One night at a time in a working directory: a second run would mix its run log and
  // parameter file into the first's, and a preview's open transaction would block the night's
  // writes. A refused run writes nothing there: every file in it belongs to the running night.
  const int lock = Night_Lock(n.lock_dir, n.mode == NightMode::kPreview ? 0 : n.lock_wait_s);
  if (lock == -1) {
    const int e = errno;
    std::fprintf(stderr, "parvek: Fehler(Sperre): Verzeichnis %s nicht frei! %s\n",
                 Run_OneLine(n.lock_dir.empty() ? "." : n.lock_dir).c_str(),
                 e == EWOULDBLOCK ? "Ein anderer Lauf arbeitet darin." : std::strerror(e));
    return kNightBusy;
  }
  RunFlags_Init(n.variant.c_str(), n.log_switch.c_str());
  const Start st = ConnectAndResolve(n);
  if (n.admit && st.day && !n.admit(*st.day)) {
    if (lock >= 0) ::close(lock);
    return kNightRefused;
  }

  Log_Open(InDir(n.dir, kRunLogName).c_str());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string stamp = Run_TimeStamp(local);
  Log_Line(stamp.c_str());
  WriteEndRecord(n.end_record, stamp, "running");

  const int rc = Scan(n, st);
  Log_Close();
  WriteEndRecord(n.end_record, stamp, "finished");
  if (lock >= 0) ::close(lock);
  return rc;
}
