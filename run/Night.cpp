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
#include "run/IniFile.h"
#include "run/RunControl.h"
#include "run/RunLog.h"
#include "scan/TagYday_Scan.h"
#include "scan/Tgb_Param.h"

namespace {

// Shown in place of the password wherever connection settings are written.
constexpr const char* kPasswordMask = "********";

std::string ReadSetting(const char* key, const std::string& path) {
  Ini_ReadEntry("", key, 0, path.c_str());
  return IniEntry.value;
}

std::string InDir(const std::string& dir, const char* name) {
  return dir.empty() ? std::string(name) : dir + "/" + name;
}

bool EightDigits(const std::string& day) {
  if (day.size() != 8) return false;
  for (char c : day)
    if (c < '0' || c > '9') return false;
  return true;
}

// A catch-up works on a day that has ended by the database's clock, whose yesterday a normal
// night works on. Dates as yyyymmdd compare as texts.
int CheckDayIsPast(const std::string& day) {
  char today[9] = {};
  const int rc = Db_Today(today);
  if (rc == 0 && EightDigits(day) && day < today) return 0;
  Log_Entry("Fehler(Nachholung): Abrechnungstag nicht vor dem Datum der Datenbank! ",
            "RC:%d Tag:%s Heute:%s\n", rc, day.c_str(), today);
  return kNightDayNotPast;
}

int ConnectAndScan(const NightRequest& r) {
  const std::string user = ReadSetting("LOGIN", r.settings);
  std::string password = ReadSetting("PASS", r.settings);
  const std::string net = ReadSetting("NET8", r.settings);
  const std::string schema_name = Run_SchemaName(ReadSetting("SCHEMA", r.settings));

  std::vector<pvc::SessionDecorator> decorators;
  // A preview holds the whole night in one transaction: the job's commits do nothing.
  if (r.mode == NightMode::kPreview) decorators.push_back(pvc::WithoutCommits);
  decorators.insert(decorators.end(), r.decorators.begin(), r.decorators.end());
  const int rc =
      Db_Connect(user.c_str(), password.c_str(), net.c_str(), schema_name.c_str(), decorators);
  password.assign(password.size(), '\0');
  if (rc != 0) {
    char message[64];
    std::snprintf(message, sizeof message, "Fehler(DB-Connect)! RC:%d ", rc);
    // NET8 is shown with any secret it carries masked.
    const std::string shown_net = Run_MaskNet(net);
    Log_Entry(message, "Name:%s Pwd:%s Net:%s\n", user.c_str(), kPasswordMask, shown_net.c_str());
    // The exit code of the job is 0 on every path; this line keeps a failed connect from being
    // silent.
    std::fprintf(stderr, "parvek: Fehler(DB-Connect)! RC:%d Net:%s\n", rc,
                 Run_OneLine(shown_net).c_str());
    return rc;
  }
  if (!r.day.empty()) {
    if (const int refused = CheckDayIsPast(r.day)) return refused;
  }
  // A preview whose cursors missed the night's own earlier writes would show another night.
  if (r.mode == NightMode::kPreview && Db_CursorsSeeOwnWrites() != 0) return kNightNoPreview;

  const std::string param_file = InDir(r.dir, kParamFileName);
  TagYday_Scan(schema_name.c_str(), r.day.c_str(), param_file.c_str());
  if (r.mode == NightMode::kPreview && Db_RollbackAll() != 0) return kNightNotUndone;
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

int Night_Run(const NightRequest& r) {
  // A reader that closes standard output early (parvek ... | head) must not end the night: its
  // writes then fail, and the night's work goes on.
  std::signal(SIGPIPE, SIG_IGN);
  // One night at a time in a working directory: a second run would mix its run log and
  // parameter file into the first's, and a preview's open transaction would block the night's
  // writes. A refused run writes nothing there: every file in it belongs to the running night.
  const int lock = Night_Lock(r.lock_dir, r.mode == NightMode::kPreview ? 0 : r.lock_wait_s);
  if (lock == -1) {
    const int e = errno;
    std::fprintf(stderr, "parvek: Fehler(Sperre): Verzeichnis %s nicht frei! %s\n",
                 Run_OneLine(r.lock_dir.empty() ? "." : r.lock_dir).c_str(),
                 e == EWOULDBLOCK ? "Ein anderer Lauf arbeitet darin." : std::strerror(e));
    return kNightBusy;
  }
  if (r.admit && !r.admit()) {
    if (lock >= 0) ::close(lock);
    return kNightRefused;
  }
  RunFlags_Init(r.variant.c_str(), r.log_switch.c_str());

  Log_Open(InDir(r.dir, kRunLogName).c_str());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string stamp = Run_TimeStamp(local);
  Log_Line(stamp.c_str());
  WriteEndRecord(r.end_record, stamp, "running");

  const int rc = ConnectAndScan(r);
  Log_Close();
  WriteEndRecord(r.end_record, stamp, "finished");
  if (lock >= 0) ::close(lock);
  return rc;
}
