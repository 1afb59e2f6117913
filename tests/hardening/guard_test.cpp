// One night per database: the lock and the record of nights hold whichever directory or
// settings file a run comes from, on every backend.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <csignal>
#include <string>
#include <thread>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::string ManyIll(int n) {
  std::string rows = hard::IllTypes();
  for (int i = 0; i < n; ++i) rows += hard::IllPerson("Q" + std::to_string(1000 + i));
  return rows;
}

std::string Booked(hard::Night& night) {
  return night.db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF' and BchFkt = 1");
}

// The holder of the database's lock as the others read it: the lock file beside an SQLite file,
// the advisory lock's session on PostgreSQL. Empty when none.
std::string Holder(hard::Night& night, const std::string& backend) {
  if (backend.find("sqlite") != std::string::npos)
    return hard::ReadFile(night.file() + "-parvek.lock");
  return night.db().Value(
      "select coalesce(max(a.application_name), '') from pg_locks l join pg_stat_activity a on "
      "a.pid = l.pid where l.locktype = 'advisory' and l.granted");
}

// The sessions that carry a preview's name.
std::string PreviewSessions(hard::Night& night) {
  return night.db().Value(
      "select count(*) from pg_stat_activity where application_name like 'parvek % preview %'");
}

// A preview of `night` started in its working directory and stopped (SIGSTOP) once it holds the
// database's lock. Its process id; -1 when it never held the lock.
pid_t StartStoppedPreview(hard::Night& night, const std::string& backend, const hard::TempDir& io) {
  const pid_t preview =
      hard::Start(PARVEKCTL_BIN, night.work().path(),
                  {"night", "settings.ini", "XXX", "D", "--preview"}, {}, io.path());
  bool holding = false;
  for (int i = 0; i < 2000 && !holding && preview > 0; ++i) {
    holding = Holder(night, backend).find("preview") != std::string::npos;
    if (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // On PostgreSQL it is stopped once its night's own session is there too (or after 10 s).
  for (int i = 0; i < 1000 && holding && backend.find("postgres") != std::string::npos &&
                  PreviewSessions(night) != "2";
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (preview > 0) ::kill(preview, SIGSTOP);
  return holding ? preview : -1;
}

// parvekctl with `args` in `dir`.
hard::Result Ctl(const std::string& dir, const std::vector<std::string>& args) {
  return hard::Run(PARVEKCTL_BIN, dir, args);
}

class DatabaseLock : public ::testing::TestWithParam<std::string> {};

// A preview started from one directory and stopped there (SIGSTOP) holds the database: a night
// of the same database started from another directory with another settings file ends it
// and runs (its wait, 30 s, is shorter than the preview's own time: a night that waited for the
// stopped preview would refuse); the preview says why it ended (exit 3) and keeps nothing;
// log-check beside the night warns of the ended preview.
TEST_P(DatabaseLock, NightFromAnotherDirectoryEndsAStoppedPreview) {
  const pvt::Backend backend = pvt::BackendNamed(GetParam());
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(backend, ManyIll(1500), why), 0) << why;
  hard::TempDir other, io;
  hard::WriteFile(other / "settings.ini", night.GoodSettings());
  const pid_t preview = StartStoppedPreview(night, backend.name, io);
  ASSERT_GT(preview, 0) << "the preview never held the database's lock";

  if (backend.name.find("postgres") != std::string::npos) {
    // Its guard's session and the night's own carry its name, by which a night on another host
    // ends them.
    EXPECT_EQ(PreviewSessions(night), "2");
  }
  const auto start = Clock::now();
  const hard::Result r =
      Ctl(other.path(), {"night", "settings.ini", "XXX", "D", "--wait", "30"});
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  const hard::Result p = hard::Wait(preview, io.path(), 30);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Booked(night), "1500");
  EXPECT_EQ(p.code, 3) << p.out << p.err;
  EXPECT_NE(p.err.find("nothing of the preview is kept"), std::string::npos) << p.err;
  const hard::Result check = Ctl(other.path(), {"log-check"});
  EXPECT_EQ(check.code, 1) << check.out;
  EXPECT_NE(check.out.find("the night ended a preview"), std::string::npos) << check.out;
  std::printf("[ figures ] %s: the night ended a stopped preview and booked 1500 in %.1f s\n",
              backend.name.c_str(), took);
}

// The job itself, started by cron in the preview's own working directory, ends the stopped
// preview too: it neither waits for the preview's time nor refuses.
TEST(DatabaseLock, JobInThePreviewsDirectoryEndsIt) {
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), ManyIll(1500), why), 0) << why;
  hard::TempDir io;
  const pid_t preview = StartStoppedPreview(night, "sqlite", io);
  ASSERT_GT(preview, 0) << "the preview never held the database's lock";
  const hard::Result r = night.RunJob(PARVEK_BIN);
  const hard::Result p = hard::Wait(preview, io.path(), 30);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Booked(night), "1500");
  EXPECT_EQ(p.code, 3) << p.err;
}

// Another night holds the database (here: its lock, from a process that is not in this
// directory): a night or an undo started elsewhere waits its bound and refuses, naming the
// holder; a preview and an explanation refuse at once; nothing is written, and log-check reads CRITICAL at once.
TEST(DatabaseLock, NightElsewhereRefusesAndLogCheckSaysSo) {
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), ManyIll(1), why), 0) << why;
  hard::TempDir other;
  hard::WriteFile(other / "settings.ini", night.GoodSettings());
  const auto ctl = [&](const std::vector<std::string>& args) { return Ctl(other.path(), args); };
  ASSERT_EQ(ctl({"night", "settings.ini", "XXX", "D", "--journal", "j"}).code, 0);
  std::string journal;
  for (const auto& e : std::filesystem::directory_iterator(other / "j")) journal = e.path();
  const std::string lock = night.file() + "-parvek.lock";
  hard::WriteFile(lock, "night 1 otherhost since 2026-12-10 02:00:00\n");
  const pid_t holder = hard::Start("/usr/bin/flock", night.work().path(), {"-x", lock, "sleep", "30"});
  ASSERT_GT(holder, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"night", "settings.ini", "XXX", "D", "--preview"},
        std::vector<std::string>{"night", "settings.ini", "XXX", "D", "--force", "--wait", "1"},
        std::vector<std::string>{"undo", journal, "--wait", "1"},
        std::vector<std::string>{"explain", "settings.ini", "Q1000"}}) {
    const hard::Result r = ctl(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("a night (process 1 on otherhost"), std::string::npos) << r.err;
  }
  ::kill(holder, SIGKILL);
  hard::Wait(holder, night.work().path());
  EXPECT_EQ(Booked(night), "1");
  const hard::Result check = ctl({"log-check"});
  EXPECT_EQ(check.code, 2) << check.out;
  EXPECT_NE(check.out.find("PARVEK CRITICAL - a night was refused at "), std::string::npos)
      << check.out;
}

// A schema made before the record of nights: doctor says so, schema-upgrade adds the record once
// (a second time there is nothing to do), and from then on a night is recorded and doctor names
// it.
TEST_P(DatabaseLock, SchemaUpgradeAddsTheRecordOfNights) {
  const pvt::Backend backend = pvt::BackendNamed(GetParam());
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(backend, ManyIll(1), why), 0) << why;
  ASSERT_EQ(night.db().Exec("drop table ParvekNights"), 0);
  const auto ctl = [&](const std::vector<std::string>& args) {
    return Ctl(night.work().path(), args);
  };
  EXPECT_NE(ctl({"doctor", "settings.ini"}).out.find("WARN  the schema has no record of nights"),
            std::string::npos);
  hard::Result r = ctl({"schema-upgrade", "--settings", "settings.ini"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("(table ParvekNights) added"), std::string::npos) << r.out;
  r = ctl({"schema-upgrade", "--settings", "settings.ini"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("nothing to do"), std::string::npos) << r.out;
  night.RunJob(PARVEK_BIN);
  EXPECT_EQ(night.db().Value("select Outcome from ParvekNights"), "finished");
  EXPECT_NE(ctl({"doctor", "settings.ini"}).out.find("WARN  the database records a finished night"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseLock, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

}  // namespace
