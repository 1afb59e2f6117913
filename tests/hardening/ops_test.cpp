// parvekctl's operating commands on real nights of the job: log-check's states, doctor's
// findings, and the catch-up noted in the run log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "tests/e2e/e2e_runner.h"
#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"
#include "run/ground/CivilDate.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace {

using hard::Night;
using hard::Result;

// A night of one ill person (one follow-up), made ready on SQLite.
struct OpsNight : Night {
  explicit OpsNight(const std::string& rows = hard::IllTypes() + hard::IllPerson("4711")) {
    std::string why;
    ok = Setup(pvt::BackendNamed("sqlite"), rows, why) == 0;
    EXPECT_TRUE(ok) << why;
  }
  Result Ctl(const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}) const {
    return hard::Run(PARVEKCTL_BIN, work().path(), args, env);
  }
  bool ok = false;
};

// The run log with its last time stamp moved `hours` back.
std::string Aged(const std::string& log, int hours) {
  const std::regex stamp(
      "Datum: (\\d\\d)\\.(\\d\\d)\\.(\\d{4})  Uhrzeit: (\\d\\d):(\\d\\d):(\\d\\d)");
  std::smatch m;
  if (!std::regex_search(log, m, stamp)) return log;
  std::tm t{};
  t.tm_mday = std::stoi(m[1]);
  t.tm_mon = std::stoi(m[2]) - 1;
  t.tm_year = std::stoi(m[3]) - 1900;
  t.tm_hour = std::stoi(m[4]);
  t.tm_min = std::stoi(m[5]);
  t.tm_sec = std::stoi(m[6]);
  t.tm_isdst = -1;
  const std::time_t then = std::mktime(&t) - hours * 3600;
  std::tm back{};
  localtime_r(&then, &back);
  char text[64];
  std::strftime(text, sizeof text, "Datum: %d.%m.%Y  Uhrzeit: %H:%M:%S", &back);
  return m.prefix().str() + text + m.suffix().str();
}

struct LogCase {
  const char* name;
  const char* job;  // how the night ran: "night", "connect", "fault", "switchX", "stale",
                    // "future" (its stamp ahead of the clock), "none"
  int exit_code;    // monitoring-plugin convention
  const char* summary;  // regular expression for the one line on standard output
};

class LogCheck : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogCheck, StateOfTheLastRun) {
  const LogCase& c = GetParam();
  OpsNight night;
  ASSERT_TRUE(night.ok);
  const std::string job = c.job;
  if (job == "connect")
    hard::WriteFile(night.settings_path(), JobSettings("", "", "sqlite:/no/such/dir", "X"));
  if (job == "night" || job == "connect" || job == "stale" || job == "future")
    night.RunJob(PARVEK_BIN);
  // The second database call of the night is the yesterday cursor's open.
  if (job == "fault") night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_FAULTS", "2:-942"}});
  if (job == "switchX") hard::Run(PARVEK_BIN, night.work().path(), {"settings.ini", "XXX", "X"});
  if (job == "stale") hard::WriteFile(night.work() / "parvek.log", Aged(night.Log(), 30));
  if (job == "future") hard::WriteFile(night.work() / "parvek.log", Aged(night.Log(), -30));

  const Result r = night.Ctl({"log-check", "--metrics", "m.prom"});
  EXPECT_EQ(r.code, c.exit_code) << r.out << r.err;
  EXPECT_TRUE(std::regex_match(r.out, std::regex(c.summary))) << r.out;
  // The metrics file carries the same state.
  const std::string metrics = hard::ReadFile(night.work() / "m.prom");
  EXPECT_NE(metrics.find("\nparvek_log_check_status " + std::to_string(c.exit_code) + "\n"),
            std::string::npos)
      << metrics;
}

INSTANTIATE_TEST_SUITE_P(
    States, LogCheck,
    ::testing::Values(
        LogCase{"NormalNight", "night", 0,
                "PARVEK OK - 1 follow-ups, 0 refused, 0 errors, last run \\d{4}-\\d\\d-\\d\\d "
                "\\d\\d:\\d\\d\n"},
        LogCase{"FailedConnect", "connect", 2,
                "PARVEK CRITICAL - connect failed \\(RC:-12154\\), last run .*\n"},
        LogCase{"NightWithErrors", "fault", 2,
                "PARVEK CRITICAL - 0 follow-ups, 0 refused, [1-9]\\d* errors, last run .*; first: "
                "Fehler\\(Cur_open\\): "
                "Tagsatz\\(\\+TgbSol\\) lesen! RC:-942\n"},
        LogCase{"SwitchX", "switchX", 3,
                "PARVEK UNKNOWN - parvek.log holds no run .*monitoring needs switch D\\)\n"},
        LogCase{"StaleLog", "stale", 1,
                "PARVEK WARNING - 1 follow-ups, .*, 30 hours ago \\(more than 26\\)\n"},
        LogCase{"StampInTheFuture", "future", 1,
                "PARVEK WARNING - 1 follow-ups, .*, stamped 30 hours in the future \\(clock\\?\\)\n"},
        LogCase{"NoLog", "none", 3,
                "PARVEK UNKNOWN - cannot read parvek.log: No such file or directory\n"}),
    [](const ::testing::TestParamInfo<LogCase>& p) { return std::string(p.param.name); });

// The metrics file is written through a new file of its own: a link planted where a fixed
// temporary name would be is never followed, and a file that cannot be written leaves the
// check's own exit code.
TEST(LogCheckMetrics, NeverWritesThroughALinkAndKeepsTheCheckExitCode) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  night.RunJob(PARVEK_BIN);
  const auto victim = night.work() / "victim";
  hard::WriteFile(victim, "keep me\n");
  ASSERT_EQ(::symlink(victim.c_str(), (night.work() / "m.prom.tmp").c_str()), 0);
  Result r = night.Ctl({"log-check", "--metrics", "m.prom"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(hard::ReadFile(victim), "keep me\n");
  EXPECT_NE(hard::ReadFile(night.work() / "m.prom").find("\nparvek_log_check_status 0\n"),
            std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((night.work() / "m.prom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "the collector runs as a user of its own";

  // The failed connect stays CRITICAL when its metrics cannot be written.
  hard::WriteFile(night.settings_path(), JobSettings("", "", "sqlite:/no/such/dir", "X"));
  night.RunJob(PARVEK_BIN);
  r = night.Ctl({"log-check", "--metrics", "no/such/dir/m.prom"});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.err.find("cannot write no/such/dir/m.prom"), std::string::npos) << r.err;
  int left = 0;
  for (const auto& e : std::filesystem::directory_iterator(night.work().path()))
    left += e.path().filename().string().rfind(".parvek-new.", 0) == 0;
  EXPECT_EQ(left, 0) << "no temporary file is left behind";
}

// A catch-up works on its day, names it in the run log, and log-check and doctor tell it apart.
TEST(CatchUp, NotedInTheRunLogAndRecognised) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  const std::string day = CivilText(LocalToday() - 2);
  const std::string yyyymmdd = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
  Result r = night.Ctl({"night", "settings.ini", "XXX", "D", "--day", day});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(hard::CountLines(night.Log(), "Info: Nachholung für Abrechnungstag Tag:" + yyyymmdd), 1)
      << night.Log();
  // The person's placeholder is yesterday's: nothing to do on the day before.
  EXPECT_EQ(hard::CountLines(night.Log(), "Buchung eingepflegt"), 0);
  r = night.Ctl({"log-check"});
  EXPECT_NE(r.out.find("(catch-up for " + yyyymmdd + ")"), std::string::npos) << r.out;
  // The database's today or later is refused after the connect, with an error entry in the run
  // log, and the scan does not run; a text that is no date is refused before anything runs.
  hard::WriteFile(night.work() / "parvektgb", "kept\n");
  for (const std::string& bad :
       {CivilText(LocalToday()), CivilText(LocalToday() + 1), std::string("2026-02-30")}) {
    r = night.Ctl({"night", "settings.ini", "XXX", "D", "--day", bad});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }
  // The preview refuses the same day, and keeps its run log to itself.
  r = night.Ctl(
      {"night", "settings.ini", "XXX", "D", "--preview", "--day", CivilText(LocalToday())});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("not before the database's date"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(hard::CountLines(night.Log(), "Datum: "), 3);
  EXPECT_EQ(
      hard::CountLines(night.Log(),
                       "Fehler(Nachholung): Abrechnungstag nicht vor dem Datum der Datenbank!"),
      2)
      << night.Log();
  EXPECT_EQ(hard::CountLines(night.Log(), "Info: Nachholung"), 1);
  EXPECT_EQ(hard::ReadFile(night.work() / "parvektgb"), "kept\n");
  r = night.Ctl({"log-check"});
  EXPECT_NE(r.out.find("first: Fehler(Nachholung)"), std::string::npos) << r.out;
}

// ---- one night at a time ------------------------------------------------------------------------

// Holds the lock of one night at a time on `dir`, as a running night does.
struct DirLock {
  explicit DirLock(const std::string& dir)
      : fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  }
  ~DirLock() { Release(); }
  void Release() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fd;
  bool held = false;
};

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

struct BusyCase {
  const char* name;
  std::vector<std::string> args;  // after "parvekctl" (empty: the job itself)
  double release_after_s;         // the other run ends then (0: not during the test)
  int exit_code;
  double min_s, max_s;  // how long the run took
  bool ran;             // the night ran after its wait
};

void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.name; }

class Busy : public ::testing::TestWithParam<BusyCase> {};

// Beside a running night, a second run in the same working directory never touches its files:
// a night waits its bound (and runs when the other ends in time). (A preview meets a night by
// the database's lock: guard_test.cpp.)
TEST_P(Busy, SecondRunInTheWorkingDirectory) {
  const BusyCase& c = GetParam();
  OpsNight night;
  ASSERT_TRUE(night.ok);
  hard::WriteFile(night.work() / "parvek.log", "the running night's\n");
  hard::WriteFile(night.work() / "parvektgb", "the running night's\n");
  DirLock other(night.work().path());
  ASSERT_TRUE(other.held);
  std::thread release;
  if (c.release_after_s > 0)
    release = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::duration<double>(c.release_after_s));
      other.Release();
    });
  // While the other run holds the lock, log-check says so.
  Result check = night.Ctl({"log-check"});
  const auto start = std::chrono::steady_clock::now();
  const Result r = c.args.empty() ? night.RunJob(PARVEK_BIN) : night.Ctl(c.args);
  const double took = SecondsSince(start);
  if (release.joinable()) release.join();
  EXPECT_EQ(r.code, c.exit_code) << r.out << r.err;
  EXPECT_GE(took, c.min_s);
  EXPECT_LE(took, c.max_s);
  if (c.ran) {
    EXPECT_EQ(hard::CountLines(night.Log(), "Info: Buchung eingepflegt!"), 1) << night.Log();
    return;
  }
  EXPECT_EQ(hard::CountLines(r.err, "Fehler(Sperre): Verzeichnis"), 1) << r.err;
  EXPECT_EQ(night.Log(), "the running night's\n");
  EXPECT_EQ(hard::ReadFile(night.work() / "parvektgb"), "the running night's\n");
  EXPECT_EQ(night.db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF'"), "0");
  EXPECT_FALSE(std::filesystem::exists(night.work() / "parvek.log.end"));
  EXPECT_EQ(check.code, 1) << check.out;
  EXPECT_NE(check.out.find("running now"), std::string::npos) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Busy,
    ::testing::Values(
        BusyCase{"NightRefusesAfterItsWait", {"night", "settings.ini", "XXX", "D", "--wait", "1"},
                 0, 2, 0.9, 8, false},
        BusyCase{"CatchUpRefuses",
                 {"night", "settings.ini", "XXX", "D", "--wait", "0", "--day",
                  CivilText(LocalToday() - 2)},
                 0, 2, 0, 5, false},
        BusyCase{"JobWaitsForTheOtherToEnd", {}, 1.5, 0, 1.4, 30, true}),
    [](const ::testing::TestParamInfo<BusyCase>& p) { return std::string(p.param.name); });

// Another program holds the schema's write lock: the night (or preview) started by parvekctl
// waits inside its first write. Returns the handle that holds it; nullptr on failure.
sqlite3* HoldWriteLock(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  return db;
}

void ReleaseWriteLock(sqlite3* db) {
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db);
}

// Waits up to 20 s for `path` to hold `part`.
bool WaitFor(const std::string& path, const std::string& part) {
  for (int i = 0; i < 200; ++i) {
    if (hard::ReadFile(path).find(part) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Starts `parvekctl night` while `holder` holds the database's write lock, and waits until it
// runs (its end record says so): the night stays running until the lock is released. -1 on
// failure.
pid_t StartHeldNight(const OpsNight& night, sqlite3*& holder) {
  holder = HoldWriteLock(night.file());
  if (holder == nullptr) return -1;
  const pid_t pid = hard::Start(PARVEKCTL_BIN, night.work().path(),
                                {"night", "settings.ini", "XXX", "D"});
  if (pid > 0 && !WaitFor(night.work() / "parvek.log.end", "running")) return -1;
  return pid;
}

// log-check tells a night still running, and one killed midway, from a finished one.
TEST(LogCheckState, RunningThenKilledThenFinished) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  sqlite3* holder = nullptr;
  const pid_t pid = StartHeldNight(night, holder);
  ASSERT_GT(pid, 0);
  Result r = night.Ctl({"log-check"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("PARVEK WARNING - a night or preview is running now"), std::string::npos)
      << r.out;
  ::kill(pid, SIGKILL);
  hard::Wait(pid, night.work().path());
  ReleaseWriteLock(holder);
  r = night.Ctl({"log-check"});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("PARVEK CRITICAL - the last run did not finish (killed?)"),
            std::string::npos)
      << r.out;
  // The rerun finishes and reads as any night; so does the job run by itself afterwards.
  r = night.Ctl({"night", "settings.ini", "XXX", "D"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(hard::ReadFile(night.work() / "parvek.log.end").find("finished"), std::string::npos);
  EXPECT_EQ(night.Ctl({"log-check"}).code, 0);
}

// A second night that waited for the first one's lock asks about the day only once it holds
// the lock: by then the first has run the day, and the second refuses instead of running it again.
TEST(CatchUp, NightThatWaitedForTheLockFindsTheDayRun) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  sqlite3* holder = nullptr;
  const pid_t first = StartHeldNight(night, holder);
  ASSERT_GT(first, 0);
  hard::TempDir io;
  const pid_t second = hard::Start(PARVEKCTL_BIN, night.work().path(),
                                   {"night", "settings.ini", "XXX", "D", "--wait", "60"}, {},
                                   io.path());
  ASSERT_GT(second, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the second waits for the lock
  ReleaseWriteLock(holder);
  EXPECT_EQ(hard::Wait(first, night.work().path(), 60).code, 0);
  const Result r = hard::Wait(second, io.path(), 60);
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("the database records a finished night of"), std::string::npos) << r.err;
  EXPECT_EQ(hard::CountLines(night.Log(), "Datum: "), 1) << night.Log();
}

// The preview's private directory (personal data) goes whichever way the preview ends: out of
// its time (rolled back, exit 2) or ended by a signal.
TEST(PreviewEnds, OutOfTimeOrBySignalLeavesNoDirectory) {
  for (const int sig : {0, SIGTERM, SIGINT}) {
    OpsNight night;
    ASSERT_TRUE(night.ok);
    hard::TempDir tmp;
    sqlite3* holder = HoldWriteLock(night.file());
    ASSERT_NE(holder, nullptr);
    const pid_t pid = hard::Start(
        PARVEKCTL_BIN, night.work().path(),
        {"night", "settings.ini", "XXX", "D", "--preview", "--max-seconds", sig == 0 ? "2" : "60"},
        {{"TMPDIR", tmp.path()}});
    ASSERT_GT(pid, 0);
    bool made = false;
    for (int i = 0; i < 100 && !made; ++i) {
      made = !std::filesystem::is_empty(tmp.path());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(made) << "the preview makes its directory in TMPDIR";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (sig != 0) ::kill(pid, sig);
    const Result r = hard::Wait(pid, night.work().path(), 30);
    ReleaseWriteLock(holder);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "signal " << sig;
    if (sig == 0) {
      EXPECT_EQ(r.code, 2) << r.err;
      EXPECT_NE(r.err.find("the preview ran out of its time"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.signal, sig) << r.code << r.err;
    }
    EXPECT_EQ(night.db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF'"), "0");
  }
}

// A preview whose private files cannot be written whole (a full file system; here a limit on
// the size of files, its signal ignored so that the write fails as on a full disk) fails
// instead of showing cut lists, and leaves no directory behind.
TEST(PreviewEnds, FilesNotWrittenWholeFailThePreview) {
  std::string rows = hard::IllTypes();
  for (int i = 0; i < 600; ++i) rows += hard::IllPerson(std::to_string(10000 + i));
  OpsNight night(rows);
  ASSERT_TRUE(night.ok);
  hard::TempDir tmp;
  // Both previews work on the day of the data.
  const std::string day = e2e::AccountingDay(night.db());
  night.db().CloseSide();
  const std::string preview =
      std::string(PARVEKCTL_BIN) + " night settings.ini XXX D --preview --day " + day;
  const Result whole = hard::Run("/bin/sh", night.work().path(), {"-c", "exec " + preview},
                                 {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(whole.code, 0) << whole.err;
  EXPECT_NE(whole.out.find("Parameter lines (parvektgb): 600\n"), std::string::npos);
  // 40 KiB: room for the database's shared-memory file, not for the run log of 600 persons.
  const Result cut = hard::Run(
      "/bin/sh", night.work().path(),
      {"-c", "trap '' XFSZ; exec prlimit --fsize=40960 " + preview}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(cut.code, 2) << cut.out << cut.err;
  EXPECT_NE(cut.err.find("could not be written or read back whole"), std::string::npos) << cut.err;
  EXPECT_EQ(cut.out.find("Parameter lines"), std::string::npos) << cut.out;
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// A day run already is refused without --force, for a catch-up and for the plain night of a
// timer that fired twice: by the database's record of nights, which outlives the run log (moved
// away, or started afresh); a schema made before that record keeps the run log's guard. An
// empty --day is a wrong command line.
TEST(CatchUp, DayAlreadyRunNeedsForce) {
  const std::string yesterday = CivilText(LocalToday() - 1);
  struct Case {
    const char* name;
    bool day, drop_log, drop_record;
    std::string refusal;
  };
  for (const Case& c :
       {Case{"plain night", false, false, false, "the database records a finished night of " + yesterday},
        Case{"--day", true, false, false, "the database records a finished night of " + yesterday},
        Case{"run log moved away", false, true, false, "the database records a finished night"},
        Case{"schema without the record", true, false, true,
             "the run log already holds a run for " + yesterday}}) {
    SCOPED_TRACE(c.name);
    OpsNight night;
    ASSERT_TRUE(night.ok);
    night.RunJob(PARVEK_BIN);
    if (c.drop_log) std::filesystem::remove(night.work() / "parvek.log");
    if (c.drop_record) night.db().Exec("drop table ParvekNights");
    std::vector<std::string> args = {"night", "settings.ini", "XXX", "D"};
    if (c.day) args.insert(args.end(), {"--day", yesterday});
    Result r = night.Ctl(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
    r = night.Ctl({"night", "settings.ini", "XXX", "D", "--day", ""});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(night.db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF'"), "1")
        << "none ran";
    args.push_back("--force");
    r = night.Ctl(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(hard::CountLines(night.Log(), "Datum: "), c.drop_log ? 1 : 2);
  }
}

// log-check under a 96 MB address-space limit and a 20 s bound, as a careless check command
// line might meet a FIFO, a device or a huge log. Under AddressSanitizer the program reserves
// terabytes of address space for its shadow memory at start, so there only the time bound holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kAddressLimit = "";
#else
constexpr const char* kAddressLimit = "ulimit -v 98304; ";
#endif
Result BoundedLogCheck(const OpsNight& night, const std::string& path) {
  return hard::Run("/bin/sh", night.work().path(),
                   {"-c", std::string(kAddressLimit) + "exec timeout -s KILL 20 " + PARVEKCTL_BIN +
                              " log-check " + path});
}

// log-check reads only a regular file, and a large log in little memory.
TEST(LogCheckInput, NoFifoNoDeviceAndLittleMemory) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  ASSERT_EQ(::mkfifo((night.work() / "fifo").c_str(), 0600), 0);
  for (const std::string& path : {night.work() / "fifo", std::string("/dev/zero")}) {
    const Result r = BoundedLogCheck(night, path);
    EXPECT_EQ(r.code, 3) << path << r.out << r.err;
    EXPECT_NE(r.out.find("not a regular file"), std::string::npos) << r.out;
  }
  // 64 MB of runs, one line of 32 MB without end among them.
  {
    std::FILE* f = std::fopen((night.work() / "parvek.log").c_str(), "w");
    ASSERT_NE(f, nullptr);
    const std::time_t now = std::time(nullptr) - 3600;
    std::tm t{};
    localtime_r(&now, &t);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "\nDatum: %d.%m.%Y  Uhrzeit: %H:%M:%S\n", &t);
    const std::string run = stamp + std::string("Info: Buchung eingepflegt! RC:0 Pnr:1\n");
    for (int i = 0; i < 400000; ++i) std::fputs(run.c_str(), f);
    std::fputs(std::string(32 << 20, 'x').c_str(), f);
    std::fputs(run.c_str(), f);
    std::fclose(f);
  }
  const Result r = BoundedLogCheck(night, "parvek.log");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("PARVEK OK - 1 follow-ups"), std::string::npos) << r.out;
}

// ---- doctor ------------------------------------------------------------------------------------

// Runs doctor as user nobody (tests run as root, whom no file mode stops).
Result DoctorAsNobody(const OpsNight& night) {
  return hard::Run("/usr/bin/setpriv", night.work().path(),
                   {"--reuid=65534", "--regid=65534", "--clear-groups", PARVEKCTL_BIN, "doctor",
                    "settings.ini"});
}

TEST(Doctor, GoodSetUpAndTheRerunWarning) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  Result r = night.Ctl({"doctor", "settings.ini"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, "FAIL"), 0) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, "1 placeholder day record"), 1) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, "ok    every statement of the job runs"), 1) << r.out;
  EXPECT_EQ(r.out.find(night.db().pass().empty() ? "\x01" : night.db().pass()), std::string::npos);
  night.RunJob(PARVEK_BIN);
  r = night.Ctl({"doctor", "settings.ini"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, "WARN  the run log already holds a run for"), 1) << r.out;
}

TEST(Doctor, SchemaValueWithoutItsExtraCharacter) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  std::string lower = night.db().schema();
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  hard::WriteFile(night.settings_path(), SettingsRecord(1, "LOGIN", "u") +
                                             SettingsRecord(2, "PASS", "p") +
                                             SettingsRecord(3, "NET8", night.db().net()) +
                                             SettingsRecord(4, "SCHEMA", lower));
  const Result r = night.Ctl({"doctor", "settings.ini"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_EQ(
      hard::CountLines(r.out, "FAIL  schema " +
                                  night.db().schema().substr(0, night.db().schema().size() - 1) +
                                  " does not exist, but " + night.db().schema() + " does"),
      1)
      << r.out;
}

// The missing table doctor is meant to find, beside a run log: the rerun check still names the
// database's yesterday.
TEST(Doctor, YesterdayCursorFailsBesideARunLog) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  night.RunJob(PARVEK_BIN);
  std::string why;
  ASSERT_EQ(hard::RawSqlite(night.file(), "DROP TABLE Krv327Tag", why), 0) << why;
  const Result r = night.Ctl({"doctor", "settings.ini"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_EQ(hard::CountLines(r.out, "FAIL  the yesterday cursor fails: RC:-942"), 1) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, "WARN  the run log already holds a run for " +
                                        CivilText(LocalToday() - 1)),
            1)
      << r.out;
}

struct AccessCase {
  const char* name;
  mode_t settings_mode;
  const char* finding;  // the one FAIL line expected, by its beginning
  const char* absent;   // a finding that must not be made
};

class DoctorAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(DoctorAccess, AsAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run doctor as user nobody";
  const AccessCase& c = GetParam();
  OpsNight night;
  ASSERT_TRUE(night.ok);
  // nobody may enter the working directory (owned by root) but not write it.
  ASSERT_EQ(::chmod(night.work().path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(night.settings_path().c_str(), c.settings_mode), 0);
  const Result r = DoctorAsNobody(night);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_EQ(hard::CountLines(r.out, c.finding), 1) << r.out;
  EXPECT_EQ(hard::CountLines(r.out, c.absent), 0) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, DoctorAccess,
    ::testing::Values(AccessCase{"UnreadableSettings", 0600,
                                 "FAIL  settings file settings.ini cannot be read by this user",
                                 "ok    settings file"},
                      AccessCase{"UnwritableDirectory", 0644, "FAIL  working directory",
                                 "FAIL  settings file"}),
    [](const ::testing::TestParamInfo<AccessCase>& p) { return std::string(p.param.name); });

// ---- parvekctl's own files on hostile ground ---------------------------------------------

// The journal files of a directory, by name.
std::vector<std::string> Journals(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".journal") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Age(const std::filesystem::path& p, int days) {
  std::filesystem::last_write_time(
      p, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

// A catch-up run by root in the job's working directory leaves its journal directory and journal
// to the directory's owner, as the run log; root's own journal directory there is refused.
TEST(NightJournal, RootLeavesItsJournalToTheOwnerOfTheWorkingDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run in another user's directory";
  OpsNight night;
  ASSERT_TRUE(night.ok);
  const std::filesystem::path work = night.work().path();
  ASSERT_EQ(::chown(work.c_str(), 65534, 65534), 0);
  Result r = night.Ctl({"night", "settings.ini", "XXX", "D", "--journal", "journal"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> journals = Journals(work / "journal");
  ASSERT_EQ(journals.size(), 1u);
  for (const auto& p : {work / "journal", work / "journal" / journals[0]}) {
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_uid, 65534u) << p;
    EXPECT_EQ(st.st_gid, 65534u) << p;
  }
  std::filesystem::remove_all(work / "journal");
  std::filesystem::create_directory(work / "journal");  // root's own
  r = night.Ctl({"night", "settings.ini", "XXX", "D", "--force", "--journal", "journal"});
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("the journal directory journal belongs to root"), std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(work / "journal"));
}

// Old journals are removed only where the night ran, only files the night wrote (not a file of
// another kind by the same name, not a link), and not at all in a directory that others may
// write.
TEST(NightJournal, RetentionRemovesOnlyItsOwnJournals) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  const std::filesystem::path dir = night.work() / "journal";
  const std::vector<std::string> night_args = {"night", "settings.ini", "XXX", "D", "--journal",
                                               "journal"};
  ASSERT_EQ(night.Ctl(night_args).code, 0);
  const std::vector<std::string> first = Journals(dir);
  ASSERT_EQ(first.size(), 1u);
  Age(dir / first[0], 100);
  const auto victim = night.work() / "victim";
  hard::WriteFile(victim, "keep\n");
  Age(victim, 100);
  hard::WriteFile(dir / "parvek-notes.journal", "not a journal\n");
  Age(dir / "parvek-notes.journal", 100);
  std::filesystem::create_symlink(victim, dir / "parvek-link.journal");

  // Refused (the day ran already): nothing is removed.
  EXPECT_EQ(night.Ctl(night_args).code, 2);
  EXPECT_EQ(Journals(dir).size(), 3u);
  std::vector<std::string> force = night_args;
  force.push_back("--force");
  ASSERT_EQ(night.Ctl(force).code, 0);
  std::vector<std::string> left = Journals(dir);
  EXPECT_EQ(std::count(left.begin(), left.end(), first[0]), 0) << "the old journal goes";
  EXPECT_EQ(left.size(), 3u) << "the other file and the link stay, the new journal comes";
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "parvek-link.journal"));
  EXPECT_EQ(hard::ReadFile(victim), "keep\n");

  // Where others may write, nothing is removed and the reason is given.
  for (const std::string& name : left) Age(dir / name, 100);
  ASSERT_EQ(::chmod(dir.c_str(), 0770), 0);
  const Result r = night.Ctl(force);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("old journals are not removed from journal"), std::string::npos) << r.err;
  EXPECT_EQ(Journals(dir).size(), 4u);
}

// log-check through a link to the run log (absolute or relative, from another directory) sees a
// night running and a night killed as it does without the link.
TEST(LogCheckState, ThroughALinkToTheRunLog) {
  OpsNight night;
  ASSERT_TRUE(night.ok);
  hard::TempDir other;
  const std::filesystem::path log = night.work() / "parvek.log";
  sqlite3* holder = nullptr;
  const pid_t pid = StartHeldNight(night, holder);
  ASSERT_GT(pid, 0);
  std::filesystem::create_symlink(log, other / "abs.log");
  std::filesystem::create_symlink(std::filesystem::relative(log, other.path()),
                                  other / "rel.log");
  for (const char* link : {"abs.log", "rel.log"}) {
    const Result r = hard::Run(PARVEKCTL_BIN, other.path(), {"log-check", link});
    EXPECT_EQ(r.code, 1) << link << ": " << r.out;
    EXPECT_NE(r.out.find("a night or preview is running now"), std::string::npos) << r.out;
  }
  ::kill(pid, SIGKILL);
  hard::Wait(pid, night.work().path());
  ReleaseWriteLock(holder);
  for (const char* link : {"abs.log", "rel.log"}) {
    const Result r = hard::Run(PARVEKCTL_BIN, other.path(), {"log-check", link});
    EXPECT_EQ(r.code, 2) << link << ": " << r.out;
    EXPECT_NE(r.out.find("the last run did not finish (killed?)"), std::string::npos) << r.out;
  }
}

// The names in a directory.
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

// Starts a preview of `night` held by `holder` in TMPDIR `tmp` and waits until its directory is
// there. -1 on failure.
pid_t StartHeldPreview(const OpsNight& night, const std::string& tmp, sqlite3*& holder) {
  holder = HoldWriteLock(night.file());
  const std::set<std::string> before = Names(tmp);
  const pid_t pid =
      holder == nullptr ? -1
                        : hard::Start(PARVEKCTL_BIN, night.work().path(),
                                      {"night", "settings.ini", "XXX", "D", "--preview"},
                                      {{"TMPDIR", tmp}});
  for (int i = 0; pid > 0 && i < 100; ++i) {
    for (const std::string& name : Names(tmp)) {
      if (before.count(name) != 0) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its files come
      return pid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

// A preview killed by SIGKILL leaves its directory; the next preview removes it, and leaves the
// directory of a preview running now.
TEST(PreviewEnds, KilledPreviewsDirectoryGoesWithTheNextPreview) {
  OpsNight killed, running, next;
  ASSERT_TRUE(killed.ok && running.ok && next.ok);
  hard::TempDir tmp;
  sqlite3* killed_holder = nullptr;
  const pid_t k = StartHeldPreview(killed, tmp.path(), killed_holder);
  ASSERT_GT(k, 0);
  ::kill(k, SIGKILL);
  hard::Wait(k, killed.work().path());
  ReleaseWriteLock(killed_holder);
  ASSERT_FALSE(std::filesystem::is_empty(tmp.path())) << "SIGKILL leaves the directory";
  sqlite3* running_holder = nullptr;
  const pid_t live = StartHeldPreview(running, tmp.path(), running_holder);
  ASSERT_GT(live, 0);

  Result r = hard::Run(PARVEKCTL_BIN, next.work().path(),
                       {"night", "settings.ini", "XXX", "D", "--preview"}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.code, 0) << r.err;
  int dirs = 0;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
    ++dirs;
    EXPECT_TRUE(std::filesystem::exists(e.path() / "parvek.log")) << "the running preview's";
  }
  EXPECT_EQ(dirs, 1);
  ReleaseWriteLock(running_holder);
  r = hard::Wait(live, running.work().path(), 60);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

}  // namespace
