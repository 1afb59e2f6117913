// Crash and rerun: the real program on a night of a few thousand accounting days, killed with
// SIGKILL at random points. After each kill the SQLite file must pass its integrity check, keep
// every key unique, hold every change the run log reports as done (an entry is written only
// after its commit returned), and a rerun must complete. Each write commits on its own, so a
// kill can leave one accounting day half-done: its booking committed, its day update not.
//
// Bounded by PARVEK_CRASH_TRIALS (default 40), PARVEK_CRASH_SECONDS (default 120) and
// PARVEK_CRASH_PERSONS (default 2000). The schema lives on /dev/shm where there is one: a
// killed process loses nothing that the kernel already holds, so the disk's speed adds
// nothing to what is tested here (power loss is not simulated).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

std::set<std::string> PersonsLogged(const std::string& log, const std::string& prefix) {
  std::set<std::string> out;
  for (const auto& line : hard::Lines(log)) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::size_t p = line.find("Pnr:");
    if (p == std::string::npos) continue;
    out.insert(line.substr(p + 4, line.find(' ', p) - p - 4));
  }
  return out;
}

std::set<std::string> Column(pvt::TempSchema& db, const std::string& select) {
  const auto lines = db.Lines(select);
  return {lines.begin(), lines.end()};
}

TEST(Crash, KilledAtRandomPointsLosesNoCommittedChange) {
  const int trials = EnvInt("PARVEK_CRASH_TRIALS", 40);
  const int budget_s = EnvInt("PARVEK_CRASH_SECONDS", 120);
  const int persons = EnvInt("PARVEK_CRASH_PERSONS", 2000);
  if (fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0)
    ::setenv("TMPDIR", "/dev/shm", 1);

  std::string rows = hard::IllTypes();
  for (int i = 0; i < persons; ++i) rows += hard::IllPerson("K" + std::to_string(100000 + i));
  hard::Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), rows, why), 0) << why;
  const std::string tmpl = night.work() / "template.db";
  fs::copy_file(night.file(), tmpl);

  const std::string day = pvt::Ts(pvt::LocalDay(-1));
  const std::string booked_sql =
      "select BchPnr from Krv321Bch where BchVon = " + day + " and BchFkt = 1 and BchFcd = 'KRF'";
  const std::string updated_sql =
      "select TagPnr from Krv327Tag where TagTag = " + day + " and TagTgb = 'KRF'";

  auto restore = [&] {
    night.db().CloseSide();
    fs::remove(night.file() + "-wal");
    fs::remove(night.file() + "-shm");
    fs::copy_file(tmpl, night.file(), fs::copy_options::overwrite_existing);
    fs::remove(night.work() / "parvek.log");
  };

  // Two whole nights, to know how long one takes once the files are warm.
  long long full_ms = 0;
  hard::Result r;
  for (int warm = 0; warm < 2; ++warm) {
    restore();
    const auto t0 = Clock::now();
    r = night.RunJob(PARVEK_BIN);
    full_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    ASSERT_EQ(r.code, 0);
    ASSERT_EQ(Column(night.db(), booked_sql).size(), static_cast<std::size_t>(persons));
  }

  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  std::mt19937 gen(seed);
  std::uniform_int_distribution<long> when(0, static_cast<long>(full_ms * 9 / 10));
  const auto deadline = Clock::now() + std::chrono::seconds(budget_s);
  int done_trials = 0, killed_mid_run = 0;
  std::size_t half_done_max = 0, half_done_total = 0, lost = 0;
  for (int t = 0; t < trials && Clock::now() < deadline; ++t) {
    SCOPED_TRACE("trial " + std::to_string(t) + " seed " + std::to_string(seed));
    restore();
    const long at = when(gen);
    const pid_t pid = hard::Start(PARVEK_BIN, night.work().path(), {"settings.ini", "XXX", "D"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(at));
    ::kill(pid, SIGKILL);
    r = hard::Wait(pid, night.work().path());
    ++done_trials;
    if (r.signal == SIGKILL) ++killed_mid_run;

    EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");
    EXPECT_EQ(night.db().Value(
                  "select count(*) from (select 1 from Krv321Bch group by BchPnr, BchVon, BchUhr, "
                  "BchFkt having count(*) > 1)"),
              "0");
    const auto booked = Column(night.db(), booked_sql);
    const auto updated = Column(night.db(), updated_sql);
    const std::string log = night.Log();
    for (const auto& p : PersonsLogged(log, "Info: Buchung eingepflegt! RC:0")) {
      if (booked.count(p) == 0) ++lost;
      EXPECT_EQ(booked.count(p), 1u) << "booking of " << p << " logged as done but lost";
    }
    for (const auto& p : PersonsLogged(log, "Info: TagesSatz aktualisiert! RC:0")) {
      if (updated.count(p) == 0) ++lost;
      EXPECT_EQ(updated.count(p), 1u) << "day update of " << p << " logged as done but lost";
    }
    std::size_t half = 0;
    for (const auto& p : booked) half += updated.count(p) == 0 ? 1 : 0;
    for (const auto& p : updated)
      EXPECT_EQ(booked.count(p), 1u) << p << ": day update without its booking";
    half_done_max = std::max(half_done_max, half);
    half_done_total += half;
    EXPECT_LE(half, 1u) << "more than one accounting day half-done";

    // The rerun completes: every accounting day has its booking afterwards. A half-done day
    // keeps its missing update: its own booking, of equal priority, blocks the follow-up.
    night.db().CloseSide();
    fs::remove(night.work() / "parvek.log");
    r = night.RunJob(PARVEK_BIN);
    EXPECT_EQ(r.exited, 1);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(hard::CountLines(night.Log(), "Fehler"), 0) << night.Log().substr(0, 2000);
    EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");
    EXPECT_EQ(Column(night.db(), booked_sql).size(), static_cast<std::size_t>(persons));
    EXPECT_EQ(Column(night.db(), updated_sql).size() + half, static_cast<std::size_t>(persons));
  }
  EXPECT_GT(killed_mid_run, 0);
  EXPECT_EQ(lost, 0u);
  std::printf(
      "[ figures ] crash: %d accounting days, night %lld ms, %d trials (%d killed mid-run, seed "
      "%u), "
      "lost committed changes %zu, half-done days at most %zu per crash (%zu in all)\n",
      persons, static_cast<long long>(full_ms), done_trials, killed_mid_run, seed, lost,
      half_done_max, half_done_total);
}

}  // namespace
