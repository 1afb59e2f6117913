// Locks and concurrent use of a SQLite schema: another program holding the write lock, readers
// in other processes during a run, and two runs of the job started at once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <thread>

#ifdef PARVEK_WITH_POSTGRES
#include <libpq-fe.h>
#endif

#include "client/client.h"
#include "tests/e2e/e2e_runner.h"
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
  return "select count(*) from Krv321Bch where BchVon = " + pvt::Ts(pvt::LocalDay(-1)) + " and " +
         where;
}

TEST(Locks, JobWaitsForAShortLockAndSucceeds) {
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"), hard::IllTypes() + hard::IllPerson("P1"), why),
            0)
      << why;
  LockHolder other(night.file(), 3000);
  ASSERT_TRUE(other.held());
  const auto start = Clock::now();
  const hard::Result r = night.RunJob(PARVEK_BIN);  // the release program: waits up to 30 s
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(r.code, 0);
  EXPECT_GE(waited, 2000) << "the job did not wait for the lock";
  EXPECT_EQ(hard::CountLines(night.Log(), "Fehler"), 0) << night.Log();
  EXPECT_EQ(night.db().Lines(hard::BookingsOf("P1")), std::vector<std::string>{"1|KRF"});
  std::printf("[ figures ] lock held 3 s: the job waited %lld ms and booked\n",
              static_cast<long long>(waited));
}

TEST(Locks, LockHeldPastTheWaitFailsWithMinus54AndTheJobGoesOn) {
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(pvt::BackendNamed("sqlite"),
                        hard::IllTypes() + hard::IllPerson("P1") + hard::IllPerson("P2"), why),
            0)
      << why;
  {
    LockHolder other(night.file(), 6000);
    ASSERT_TRUE(other.held());
    const hard::Result r = night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_BUSY_MS", "1000"}});
    EXPECT_EQ(r.code, 0);
    const std::string log = night.Log();
    for (const std::string p : {"P1", "P2"}) {
      EXPECT_EQ(hard::CountLines(log, "Fehler(Bch_Insert): Buchung einpflegen! RC:-54 Pnr:" + p), 1)
          << log;
      EXPECT_EQ(hard::CountLines(
                    log, "Fehler(Tag_Update): TagesSatz nicht aktualisiert! RC:-54 Pnr:" + p),
                1)
          << log;
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
  const std::string sql = "select (select count(*) from Krv321Bch where BchVon = " + day +
                          " and BchFcd = 'KRF'),"
                          " (select count(*) from Krv327Tag where TagTag = " +
                          day +
                          " and TagTgb = 'KRF'),"
                          " (select count(*) from Krv327Tag t where TagTag = " +
                          day +
                          " and TagTgb = 'KRF' and not exists"
                          "   (select 1 from Krv321Bch b where b.BchPnr = t.TagPnr and b.BchVon = "
                          "t.TagTag and b.BchFcd = 'KRF'))";
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
  std::printf("[ figures ] reader: %ld snapshots, %ld during the run, 0 inconsistent\n", snapshots,
              in_between);
}

// Two runs of the job started at the same time on the same schema from two directories (a timer
// that fired twice, a second settings file): the database's lock lets one run; the other waits
// for it, finds the day recorded as done, and only logs why. Every follow-up is booked once,
// and no person is met twice.
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

  EXPECT_EQ(night.db().Value(CountOnDay("BchFkt = 1 and BchFcd = 'KRF'")),
            std::to_string(kPersons));
  EXPECT_EQ(night.db().Value(CountOnDay("BchFkt <> 1")), "0");
  EXPECT_EQ(
      night.db().Value("select count(*) from (select BchPnr from Krv321Bch where BchVon = " +
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
  EXPECT_EQ(blocked + unique, 0) << "no person is met by the second run";
  EXPECT_EQ(hard::CountLines(logs, "Hinweis(Sperre): Nacht bereits gelaufen! Tag:"), 1) << logs;
  EXPECT_EQ(hard::CountLines(logs, "RC:-54"), 0);
  std::printf(
      "[ figures ] two runs at once on %s, %d persons: %d booked once, %d blocked by priority, %d "
      "by the unique key\n",
      backend.name.c_str(), kPersons, booked, blocked, unique);
}

INSTANTIATE_TEST_SUITE_P(Backends, TwoRuns, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

}  // namespace

// ---- the real PostgreSQL server ---------------------------------------------------------------

#ifdef PARVEK_WITH_POSTGRES
namespace {

// A connection of "another program" to the test server, with the test's credentials.
struct PgOther {
  explicit PgOther(const pvt::Backend& b) {
    const char* keys[] = {"dbname", "user", "password", nullptr};
    const char* vals[] = {b.net.c_str(), b.login.c_str(), b.pass.c_str(), nullptr};
    conn = PQconnectdbParams(keys, vals, 1);
  }
  ~PgOther() { PQfinish(conn); }
  // Runs `sql`; empty on success, otherwise the server's message.
  std::string Exec(const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType st = PQresultStatus(r);
    std::string why = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK ? "" : PQerrorMessage(conn);
    if (why.empty() && st == PGRES_TUPLES_OK && PQntuples(r) > 0) value = PQgetvalue(r, 0, 0);
    PQclear(r);
    return why;
  }
  PGconn* conn = nullptr;
  std::string value;  // first column of the first row of the last query
};

pvt::Backend Postgres() { return pvt::BackendNamed("postgres"); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// PD was on leave the day before (no follow-up: nothing to carry on) and ill before that. While
// another program holds the bookings table locked, the count of the leave day fails with -54:
// the search ends there, nothing is booked and the day record stays empty.
TEST(PgServer, LockHeldByAnotherSessionFailsTheCountAndNothingIsWritten) {
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  Night night;
  std::string why;
  const std::string rows = hard::IllTypes() + e2e::Fcd("URL", 1, 1, 0, 0, "10", "0", "0", "NULL") +
                           e2e::Day("PD", 2, "KRA") + e2e::Bch("PD", 2, "000000", 1, "KRA") +
                           e2e::Day("PD", 1, "URL") + e2e::Bch("PD", 1, "000000", 1, "URL") +
                           e2e::Placeholder("PD") + e2e::Ztg("PD", "VZ40");
  ASSERT_EQ(night.Setup(b, rows, why), 0) << why;
  {
    PgOther other(b);
    ASSERT_EQ(other.Exec("BEGIN; LOCK TABLE " + Lower(night.db().schema()) +
                         ".krv321bch IN ACCESS EXCLUSIVE MODE"),
              "");
    const hard::Result r = night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_BUSY_MS", "1000"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(
        hard::CountLines(
            night.Log(),
            e2e::Tok("Fehler(Count): Tagesmeldungen zum Vortag zählen RC:-54 Pnr:PD Tag:{Y1}")),
        1)
        << night.Log();
    EXPECT_EQ(other.Exec("ROLLBACK"), "");
  }
  EXPECT_EQ(night.db().Lines(hard::BookingsOf("PD")), std::vector<std::string>{});
  EXPECT_EQ(night.db().Lines(e2e::DayRecords(0)),
            std::vector<std::string>{"PD|<null>|<null>|<null>|<null>|<null>|<null>"});
  EXPECT_EQ(hard::ReadFile(night.work() / "parvektgb"), "");
}

// The job's main connection is ended by the server's administrator in the middle of a night:
// the night ends with one entry naming the code and the person; the days finished before keep
// their bookings and their parameter lines; no later person is looked at.
TEST(PgServer, TerminatedMainConnectionEndsTheNight) {
  constexpr int kPersons = 400;
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(b, ManyIll(kPersons), why), 0) << why;
  // A name of its own, so that no other program's connection is ended.
  const std::string app = "parvek_t" + std::to_string(::getpid());
  const std::string& net = night.db().net();
  hard::WriteFile(night.settings_path(),
                  JobSettings(night.db().login(), night.db().pass(),
                              net + (net.find('?') == std::string::npos ? "?" : "&") +
                                  "application_name=" + app,
                              night.db().schema()));
  const pid_t job = hard::Start(PARVEK_BIN, night.work().path(), {"settings.ini", "XXX", "D"});
  ASSERT_GT(job, 0);
  PgOther other(b);
  const std::string booked =
      "select count(*) from " + Lower(night.db().schema()) + ".krv321bch where bchfcd = 'KRF'";
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(other.Exec(booked), "");
    if (std::stoi(other.value) >= 20) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // The main connection is the job's first (its cursors get connections of their own later).
  ASSERT_EQ(
      other.Exec(
          "select pg_terminate_backend(pid) from pg_stat_activity where application_name = '" +
          app + "' order by backend_start limit 1"),
      "");
  const hard::Result r = hard::Wait(job, night.work().path(), 120);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.code, 0);
  const std::string log = night.Log();
  const std::vector<std::string> lines = hard::Lines(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(hard::CountLines(log, "Fehler(DB-Verbindung): Verbindung verloren"), 1)
      << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
  EXPECT_EQ(
      lines.back().rfind(
          "Fehler(DB-Verbindung): Verbindung verloren, Ausgang der letzten Änderung unbekannt, "
          "Lauf beendet! RC:-3114 Pnr:Q",
          0),
      0u)
      << lines.back();
  EXPECT_LE(hard::CountLines(log, "RC:-3114"), 3) << "the night went on against a dead connection";
  ASSERT_EQ(other.Exec(booked), "");
  const int bookings = std::stoi(other.value);
  EXPECT_LT(bookings, kPersons);
  const int param_lines =
      static_cast<int>(hard::Lines(hard::ReadFile(night.work() / "parvektgb")).size());
  EXPECT_GE(param_lines, bookings - 1) << "parameter lines of finished days lost";
  EXPECT_LE(param_lines, bookings);
  std::printf(
      "[ figures ] main connection ended after %d of %d follow-ups: %d parameter lines kept, night "
      "ended\n",
      bookings, kPersons, param_lines);
}

// The server's own limits stay in force: a statement_timeout the server (here: the URI's
// options) sets is not lifted by the job's connection.
TEST(PgServer, ServerStatementTimeoutIsNotOverridden) {
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  std::unique_ptr<pvc::Session> s;
  const std::string net = b.net + (b.net.find('?') == std::string::npos ? "?" : "&") +
                          "options=-c%20statement_timeout%3D4321";
  ASSERT_EQ(pvc::OpenSession(b.login, b.pass, net, s), 0);
  std::vector<pvc::Row> rows;
  ASSERT_EQ(pvc::ToolsOf(*s).Query("select current_setting('statement_timeout')", rows), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].text, "4321ms");
}

// A commit that does not end (here: a deferred trigger that sleeps 30 s at commit time) is
// cancelled after the commit wait and fails with the server's code; the day record is left
// alone, and the night does not wait 30 s per commit.
TEST(PgServer, CommitThatDoesNotEndIsBounded) {
  const pvt::Backend b = Postgres();
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  Night night;
  std::string why;
  ASSERT_EQ(night.Setup(b, hard::IllTypes() + hard::IllPerson("P1"), why), 0) << why;
  const std::string schema = Lower(night.db().schema());
  PgOther other(b);
  ASSERT_EQ(other.Exec("create function " + schema +
                       ".slow() returns trigger language plpgsql as "
                       "$$ begin perform pg_sleep(30); return null; end $$;"
                       "create constraint trigger slow after insert on " +
                       schema +
                       ".krv321bch "
                       "deferrable initially deferred for each row execute function " +
                       schema + ".slow()"),
            "");
  const auto start = Clock::now();
  const hard::Result r = night.RunJob(PARVEK_TESTJOB_BIN, {{"PARVEK_TEST_COMMIT_MS", "1000"}});
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
  EXPECT_EQ(r.code, 0);
  EXPECT_LT(took, 20) << "the commit was not bounded";
  const std::string log = night.Log();
  EXPECT_EQ(hard::CountLines(log, "Fehler(Bch_Insert): Buchung einpflegen! RC:-1013 Pnr:P1"), 1)
      << log;
  EXPECT_EQ(
      hard::CountLines(log, "Fehler(Tag_Update): TagesSatz nicht aktualisiert! RC:-1013 Pnr:P1"), 1)
      << log;
  EXPECT_EQ(night.db().Lines(hard::BookingsOf("P1")), std::vector<std::string>{});
  EXPECT_EQ(other.Exec("drop trigger slow on " + schema + ".krv321bch; drop function " + schema +
                       ".slow()"),
            "");
}

}  // namespace
#endif
