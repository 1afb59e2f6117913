// parvekctl's operating commands on real nights of the job: log-check's states, doctor's
// findings, and the catch-up noted in the run log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"
#include "tools/civil_date.h"

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
    left += e.path().filename().string().rfind(".parvek-metrics.", 0) == 0;
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

}  // namespace
