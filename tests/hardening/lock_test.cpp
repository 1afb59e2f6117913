// Locks and concurrent use of a SQLite schema: another program holding the write lock, readers
// in other processes during a run, and two runs of the job started at once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

namespace {

using Clock = std::chrono::steady_clock;
using hard::Night;

// Another program: a child process that takes the write lock (BEGIN IMMEDIATE), reports that it
// holds it, keeps it `hold_ms` and ends its transaction without a change.
class LockHolder {
 public:
  LockHolder(const std::string& file, int hold_ms) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      sqlite3* db = nullptr;
      char ok = 'n';
      if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
          sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK)
        ok = 'y';
      if (::write(fds[1], &ok, 1) != 1) ::_exit(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(db);
      ::_exit(0);
    }
    ::close(fds[1]);
    char ok = 'n';
    held_ = ::read(fds[0], &ok, 1) == 1 && ok == 'y';
    ::close(fds[0]);
  }
  ~LockHolder() {
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

std::string ManyIll(int n) {
  std::string rows = hard::IllTypes();
  for (int i = 0; i < n; ++i) rows += hard::IllPerson("Q" + std::to_string(1000 + i));
  return rows;
}

std::string CountOnDay(const std::string& where) {
  return "select count(*) from Krv321Bch where BchVon = " + pvt::Ts(pvt::LocalDay(-1)) + " and " + where;
}

TEST(Locks, JobWaitsForAShortLockAndSucceeds) {
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), hard::IllTypes() + hard::IllPerson("P1"), why), 0) << why;
  LockHolder other(night.file(), 3000);
  ASSERT_TRUE(other.held());
  const auto start = Clock::now();
  const hard::Result r = night.RunJob(PARVEK_BIN);  // the release program: waits up to 30 s
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(r.code, 0);
  EXPECT_GE(waited, 2000) << "the job did not wait for the lock";
  EXPECT_EQ(hard::CountLines(night.Log(), "Fehler"), 0) << night.Log();
  EXPECT_EQ(night.db().Lines(hard::BookingsOf("P1")), std::vector<std::string>{"1|KRF"});
  std::printf("[ figures ] lock held 3 s: the job waited %lld ms and booked\n", static_cast<long long>(waited));
}

TEST(Locks, LockHeldPastTheWaitFailsWithMinus54AndTheJobGoesOn) {
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), hard::IllTypes() + hard::IllPerson("P1") + hard::IllPerson("P2"), why), 0) << why;
  {
    LockHolder other(night.file(), 6000);
    ASSERT_TRUE(other.held());
    const hard::Result r = night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_BUSY_MS", "1000"}});
    EXPECT_EQ(r.code, 0);
    const std::string log = night.Log();
    for (const std::string p : {"P1", "P2"}) {
      EXPECT_EQ(hard::CountLines(log, "Fehler(Bch_Insert): Buchung einpflegen! RC:-54 Pnr:" + p), 1) << log;
      EXPECT_EQ(hard::CountLines(log, "Fehler(Tag_Update): TagesSatz nicht aktualisiert! RC:-54 Pnr:" + p), 1) << log;
    }
  }
  EXPECT_EQ(night.db().Value(CountOnDay("1 = 1")), "0");
  EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");
  night.db().CloseSide();
  // Once the lock is gone, the next run does the work.
  const hard::Result again = night.RunJob(PARVEK_BIN);
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(night.db().Value(CountOnDay("BchFcd = 'KRF' and BchFkt = 1")), "2");
}

// A reader in another process, each time in one read transaction, during a run: it never
// waits, never fails, and never sees a day update without its booking (the booking commits
// first) or a count that goes back.
TEST(Locks, ReadersInAnotherProcessSeeConsistentData) {
  constexpr int kPersons = 300;
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), ManyIll(kPersons), why), 0) << why;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(night.file().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);  // a reader never waits in WAL mode; a failure here is real
  const std::string day = pvt::Ts(pvt::LocalDay(-1));
  const std::string sql =
      "select (select count(*) from Krv321Bch where BchVon = " + day + " and BchFcd = 'KRF'),"
      " (select count(*) from Krv327Tag where TagTag = " + day + " and TagTgb = 'KRF'),"
      " (select count(*) from Krv327Tag t where TagTag = " + day + " and TagTgb = 'KRF' and not exists"
      "   (select 1 from Krv321Bch b where b.BchPnr = t.TagPnr and b.BchVon = t.TagTag and b.BchFcd = 'KRF'))";
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK);

  const pid_t job = hard::Start(PARVEK_BIN, night.work().path(), {"settings.ini", "XXX", "D"});
  ASSERT_GT(job, 0);
  long snapshots = 0, in_between = 0, failures = 0;
  long last_bookings = 0, last_updates = 0;
  int status = 0;
  bool done = false;
  while (!done) {
    done = ::waitpid(job, &status, WNOHANG) == job;
    const int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
      ++failures;
      sqlite3_reset(st);
      continue;
    }
    const long bookings = sqlite3_column_int64(st, 0), updates = sqlite3_column_int64(st, 1),
               orphans = sqlite3_column_int64(st, 2);
    sqlite3_reset(st);
    ++snapshots;
    EXPECT_EQ(orphans, 0) << "a day update without its booking";
    EXPECT_LE(updates, bookings);
    EXPECT_GE(bookings, last_bookings);
    EXPECT_GE(updates, last_updates);
    if (bookings > 0 && bookings < kPersons) ++in_between;
    last_bookings = bookings;
    last_updates = updates;
  }
  sqlite3_finalize(st);
  sqlite3_close_v2(db);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(last_bookings, kPersons);
  EXPECT_EQ(last_updates, kPersons);
  EXPECT_GT(in_between, 0) << "no snapshot was taken while the run was under way";
  std::printf("[ figures ] reader: %ld snapshots, %ld during the run, 0 inconsistent\n", snapshots, in_between);
}

// Two runs of the job started at the same time on the same schema: every follow-up is booked
// once. Where both runs reach the same person, the later one is blocked by the priority check
// (the earlier booking has equal priority) or, when both passed the check before either
// booked, its insertion breaks the unique key (-1) and is logged.
class TwoRuns : public ::testing::TestWithParam<std::string> {};

TEST_P(TwoRuns, AtOnceBookEachFollowUpOnce) {
  constexpr int kPersons = 200;
  const pvt::Backend backend = pvt::BackendNamed(GetParam());
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(backend, ManyIll(kPersons), why), 0) << why;
  hard::TempDir second;
  hard::WriteFile(second / "settings.ini", night.GoodSettings());
  const pid_t a = hard::Start(PARVEK_BIN, night.work().path(), {"settings.ini", "XXX", "D"});
  const pid_t b = hard::Start(PARVEK_BIN, second.path(), {"settings.ini", "XXX", "D"});
  const hard::Result ra = hard::Wait(a, night.work().path());
  const hard::Result rb = hard::Wait(b, second.path());
  EXPECT_EQ(ra.code, 0);
  EXPECT_EQ(rb.code, 0);
  EXPECT_EQ(ra.err + rb.err, "");

  EXPECT_EQ(night.db().Value(CountOnDay("BchFkt = 1 and BchFcd = 'KRF'")), std::to_string(kPersons));
  EXPECT_EQ(night.db().Value(CountOnDay("BchFkt <> 1")), "0");
  EXPECT_EQ(night.db().Value("select count(*) from (select BchPnr from Krv321Bch where BchVon = " +
                             pvt::Ts(pvt::LocalDay(-1)) + " group by BchPnr having count(*) > 1) x"),
            "0");
  if (backend.name == "sqlite") {
    EXPECT_EQ(hard::IntegrityCheck(night.file()), "ok");
  }

  const std::string logs = night.Log() + hard::ReadFile(second / "parvek.log");
  const int booked = hard::CountLines(logs, "Info: Buchung eingepflegt! RC:0");
  const int blocked = hard::CountLines(logs, "höhere Priorität");
  const int unique = hard::CountLines(logs, "Fehler(Bch_Insert): Buchung einpflegen! RC:-1 ");
  EXPECT_EQ(booked, kPersons);
  EXPECT_EQ(blocked + unique, kPersons) << "every person is met by both runs";
  EXPECT_EQ(hard::CountLines(logs, "RC:-54"), 0);
  std::printf("[ figures ] two runs at once on %s, %d persons: %d booked once, %d blocked by priority, %d by the unique key\n",
              backend.name.c_str(), kPersons, booked, blocked, unique);
}

INSTANTIATE_TEST_SUITE_P(Backends, TwoRuns, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

}  // namespace
