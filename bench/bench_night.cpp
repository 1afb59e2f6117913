// Benchmark of whole nights (not a test): builds synthetic schemas with "parvekctl gen", runs
// the real job on each engine with the same data, and prints one table row per size and engine.
//
//   bench_night [--full] [--dir DIR] [--bin DIR] [--seed S] [--out FILE.tsv] [--keep]
//               [--only LABEL,...]   (run only the sizes named, e.g. N1k-D365,deep-K1000)
//               [--engines sqlite,postgres,odbc-sqlite,odbc-postgres]
//               [--compare-build DIR [--compare-rounds R]]
//
// postgres and odbc-postgres need the server in PARVEK_TEST_PG (with PARVEK_TEST_PG_LOGIN and
// PARVEK_TEST_PG_PASS); odbc-postgres reaches it through the DSN PARVEK_BENCH_ODBC_PG and
// odbc-sqlite needs the driver named by PARVEK_BENCH_ODBC_SQLITE (bench/run.sh sets all of
// them up). The ODBC routes run the sizes of N = 1,000 only (D = 30, 365 and 3,650).
//
// Sizes: N = 1,000 and 10,000 persons with D = 365 days of history; D = 30 and 3,650 with
// N = 1,000; a deep search where every reference day lies 1,000 days back, beside the same
// population with the reference day one day back. --full adds N = 100,000 (about 15 GB of
// database under DIR, filled in several minutes).
//
// Per size and engine: the job's wall time, time per accounting day, statements, server round
// trips and commits per accounting day (from the client's counters file, PARVEK_STATS_FILE),
// the job's peak resident memory (wait4), the machine's load, and the engine's floor, measured
// in blocks right before and after the run (the median of the blocks counts, their spread is
// printed): on SQLite the run's durable commits times one durable commit (WAL,
// synchronous=FULL) in the same directory; on PostgreSQL one round trip per statement plus one
// flush per durable commit, both measured through libpq on the same server. Also, on
// SQLite, the cost of one primary-key lookup of a day record on the schema just run.
//
// --compare-build DIR names a second build's programs (DIR/parvek, DIR/parvekctl), built
// without the rules' reports of their decisions (-DPARVEK_DECISIONS=OFF). On the sizes of
// N = 1,000, on sqlite and postgres, each round then runs five nights on fresh data, in turn
// (each round starts one later): the job of both builds, and parvekctl's night without a
// journal, with it (its reasons in it) and with the second build's parvekctl (no reasons). It
// prints the medians of R rounds (default 15) and the ratios within each round.
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "run/ground/CivilDate.h"
#include "run/ground/DatabaseAddress.h"
#include "tools/settings_record.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Size {
  std::string label;
  int persons;
  int days;
  int deep_days;      // > 0: every reference day lies this many days back
  double deep_share;  // share of persons whose search walks 200-800 days (--deep-share)
};

struct Result {
  Size size;
  std::string engine;
  double gen_s = 0;
  double wall_s = 0;
  double cpu_s = 0;  // the job's user + system time: its own work, whatever the disk's syncs cost
  long rss_kb = 0;
  std::map<std::string, double> stats;  // the counters file
  // The floor's units, each measured in blocks right before and right after the run: one
  // durable commit (PostgreSQL: its flush) and one round trip (PostgreSQL, select 1). Each unit
  // is the median of all its blocks' means; the blocks' lowest and highest mean show its spread.
  std::vector<double> commit_blocks, trip_blocks;
  double commit_s = 0;
  double trip_s = 0;
  double load = 0;           // the machine's one-minute load average at the end of the run
  double lookup_s = 0;       // one primary-key lookup of a day record, warm
  double lookup_cold_s = 0;  // the same over the whole history
  // SQLite, N = 1,000: parvekctl's night on the same data without and with its journal (each
  // the fastest of five runs on a fresh copy; wall and CPU time), for what the journal costs.
  double plain_s = 0, journal_s = 0, plain_cpu_s = 0, journal_cpu_s = 0;
  // --compare-build: the nights of each variant (kVariants), one per round.
  struct Runs {
    std::vector<double> wall, cpu;
    long journal_bytes = 0, reason_lines = 0, change_lines = 0;
  };
  std::vector<Runs> variants;
  long followups = 0;        // lines of the parameter file
  long stdout_bytes = 0;
  double db_mb = 0;
  double Acc() const { return Stat("fetched.TagYday"); }
  double Stat(const char* k) const {
    auto it = stats.find(k);
    return it == stats.end() ? 0 : it->second;
  }
  double PerDay() const { return Acc() > 0 ? wall_s / Acc() : 0; }
  bool OnServer() const { return engine.find("postgres") != std::string::npos; }
  double Floor() const {
    return Stat("durable_commits") * commit_s + (OnServer() ? Stat("statements") * trip_s : 0);
  }
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_night: %s\n", what.c_str());
  std::exit(1);
}

// Runs `argv` in `cwd` with `env` added; its standard output goes to `out_path`, its standard
// input comes from `in_path` (when not empty).
// Returns the exit status; `wall`, `rss_kb` and `cpu` (user + system seconds) describe the
// child alone.
int RunChild(const std::vector<std::string>& argv, const std::string& cwd,
             const std::vector<std::string>& env, const std::string& out_path, double& wall,
             long& rss_kb, double* cpu = nullptr, const std::string& in_path = "") {
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) Die("fork failed");
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, 1) < 0) _exit(126);
    if (!in_path.empty()) {
      const int in = ::open(in_path.c_str(), O_RDONLY);
      if (in < 0 || ::dup2(in, 0) < 0) _exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (::wait4(pid, &status, 0, &ru) != pid) Die("wait4 failed");
  wall = std::chrono::duration<double>(Clock::now() - t0).count();
  rss_kb = ru.ru_maxrss;
  if (cpu != nullptr)
    *cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::map<std::string, double> ReadStats(const std::string& path) {
  std::map<std::string, double> m;
  std::ifstream in(path);
  std::string key;
  double v;
  while (in >> key >> v) m[key] = v;
  return m;
}

long CountLines(const std::string& path) {
  std::ifstream in(path);
  long n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    Die(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

// Mean cost of one durable commit of a one-row insert (WAL, synchronous=FULL) in `dir`.
// Blocks per floor measurement, and what each block times.
constexpr int kBlocks = 5, kWarmUp = 20, kCommitsPerBlock = 60, kTripsPerBlock = 400;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Appends to `blocks` the mean cost of one durable commit (WAL, synchronous=FULL) of a scratch
// file in `dir`, one value per block of commits.
void DurableCommitCost(const std::string& dir, std::vector<double>& blocks) {
  const std::string path = dir + "/commit-probe.db";
  fs::remove(path);
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "probe open");
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     " CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT)",
                     nullptr, nullptr, nullptr),
        db, "probe setup");
  sqlite3_stmt* st = nullptr;
  Check(
      sqlite3_prepare_v2(db, "INSERT INTO t (v) VALUES ('2026-01-01 00:00:00')", -1, &st, nullptr),
      db, "probe prepare");
  for (int i = 0; i < kWarmUp; ++i) {
    Check(sqlite3_step(st), db, "probe insert");
    sqlite3_reset(st);
  }
  for (int b = 0; b < kBlocks; ++b) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kCommitsPerBlock; ++i) {
      Check(sqlite3_step(st), db, "probe insert");
      sqlite3_reset(st);
    }
    blocks.push_back(std::chrono::duration<double>(Clock::now() - t0).count() / kCommitsPerBlock);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  fs::remove(path);
  fs::remove(path + "-wal");
  fs::remove(path + "-shm");
}

// Mean cost of one primary-key lookup of a day record (all its columns), on a connection of its
// own: over random persons and days of the whole history, each lookup a statement on its own
// (`pool` 0: the pages come from the operating system's cache, or the disk), or over a fixed
// set of `pool` random keys looked up again and again inside one read transaction (their pages
// stay in the connection's cache: the engine's cost of a lookup alone).
double PkLookupCost(const std::string& path, int persons, int days, const std::string& yday,
                    int pool) {
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "lookup open");
  // A page cache that holds every page the fixed keys need.
  Check(sqlite3_exec(db, "PRAGMA cache_size=-65536", nullptr, nullptr, nullptr), db, "cache");
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "select TagPnr,TagTag,TagVon,TagUhr,TagBis,TagEnd,TagTgb,TagTgs,"
                           "TagHtv,TagHvs,TagHtn,TagHns from Krv327Tag"
                           " where TagPnr = ?1 and TagTag = ?2",
                           -1, &st, nullptr),
        db, "lookup prepare");
  // The stored keys of the history days, computed once so that only the lookup is timed.
  std::vector<std::string> day_keys;
  sqlite3_stmt* dk = nullptr;
  Check(sqlite3_prepare_v2(db, "select date(?1, '-' || ?2 || ' days') || ' 00:00:00'", -1, &dk,
                           nullptr),
        db, "day keys");
  for (int d = 1; d <= days; ++d) {
    sqlite3_bind_text(dk, 1, yday.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(dk, 2, d);
    Check(sqlite3_step(dk), db, "day key");
    day_keys.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(dk, 0)));
    sqlite3_reset(dk);
  }
  sqlite3_finalize(dk);
  uint64_t s = 88172645463325252ULL;
  auto next = [&] {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return s;
  };
  constexpr int kWarm = 2000, kTimed = 100000;
  std::vector<std::pair<int, size_t>> keys;  // person, day index
  for (int i = 0; i < (pool > 0 ? pool : kWarm + kTimed); ++i)
    keys.emplace_back(static_cast<int>(next() % persons) + 1, next() % day_keys.size());
  int found = 0;
  Clock::time_point t0;
  char pnr[24];
  // Warm lookups run inside one read transaction: the engine's lookup alone, without the
  // locking of a transaction per statement.
  if (pool > 0) Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (int i = 0; i < kWarm + kTimed; ++i) {
    if (i == kWarm) t0 = Clock::now();
    const auto& key = keys[static_cast<size_t>(i) % keys.size()];
    std::snprintf(pnr, sizeof pnr, "%08d", key.first);
    const std::string& day = day_keys[key.second];
    sqlite3_bind_text(st, 1, pnr, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 2, day.c_str(), static_cast<int>(day.size()), SQLITE_STATIC);
    if (sqlite3_step(st) == SQLITE_ROW) ++found;
    sqlite3_reset(st);
  }
  const double cost = std::chrono::duration<double>(Clock::now() - t0).count() / kTimed;
  if (pool > 0) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(st);
  sqlite3_close(db);
  if (found < kWarm + kTimed) Die("lookup: a generated day record is missing");
  return cost;
}

// ---- PostgreSQL: the server of PARVEK_TEST_PG ------------------------------------------------

struct PgServer {
  std::string uri, login, pass;
  bool Present() const { return !uri.empty(); }
};

PgServer PgFromEnv() {
  PgServer pg;
  auto env = [](const char* k) {
    const char* v = std::getenv(k);
    return std::string(v != nullptr ? v : "");
  };
  pg.uri = env("PARVEK_TEST_PG");
  pg.login = env("PARVEK_TEST_PG_LOGIN");
  pg.pass = env("PARVEK_TEST_PG_PASS");
  return pg;
}

PGconn* PgConnect(const PgServer& pg) {
  const char* keys[] = {"dbname", "user", "password", nullptr};
  const char* vals[] = {pg.uri.c_str(), pg.login.c_str(), pg.pass.c_str(), nullptr};
  PGconn* c = PQconnectdbParams(keys, vals, 1);
  if (PQstatus(c) != CONNECTION_OK) Die(std::string("PostgreSQL: ") + PQerrorMessage(c));
  return c;
}

void PgRun(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  const ExecStatusType st = PQresultStatus(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
    Die("PostgreSQL: " + sql + ": " + PQresultErrorMessage(r));
  PQclear(r);
}

// One round trip (`select 1`) and one durable commit's flush (a committed one-row insert, less
// one round trip), each the mean of many, on a connection of their own.
// Appends the floor's units on the server, one value per block: a round trip (select 1), and a
// durable commit's flush (a commit of one inserted row, less the block's round trip). The
// blocks alternate, so that both see the same moments of the server.
void PgFloorUnits(const PgServer& pg, std::vector<double>& trips, std::vector<double>& flushes) {
  PGconn* c = PgConnect(pg);
  PgRun(c,
        "SET synchronous_commit = on; SET client_min_messages = warning;"
        " CREATE SCHEMA IF NOT EXISTS bench_probe;"
        " CREATE TABLE IF NOT EXISTS bench_probe.t (k serial PRIMARY KEY, v text)");
  for (int i = 0; i < kWarmUp; ++i) PgRun(c, "select 1");
  for (int b = 0; b < kBlocks; ++b) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kTripsPerBlock; ++i) PgRun(c, "select 1");
    const double trip = std::chrono::duration<double>(Clock::now() - t0).count() / kTripsPerBlock;
    trips.push_back(trip);
    double commits = 0;
    for (int i = 0; i < kCommitsPerBlock; ++i) {
      PgRun(c, "BEGIN; INSERT INTO bench_probe.t (v) VALUES ('2026-01-01 00:00:00')");
      const auto c0 = Clock::now();
      PgRun(c, "COMMIT");
      commits += std::chrono::duration<double>(Clock::now() - c0).count();
    }
    flushes.push_back(std::max(0.0, commits / kCommitsPerBlock - trip));
  }
  PgRun(c, "DROP SCHEMA bench_probe CASCADE");
  PQfinish(c);
}

const char* const kTables[] = {"Krv327Tag", "Krv320Tgb", "Krv321Bch",
                               "Krv329Ztg", "Krv131Fcd", "Krv140Azv"};

// ---- one size on one engine ------------------------------------------------------------------

double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double l = 0;
  in >> l;
  return l;
}

std::vector<std::string> GenArgs(const Size& z, const std::string& bin, const std::string& net,
                                 const std::string& schema, uint64_t seed) {
  std::vector<std::string> gen = {bin + "/parvekctl",
                                  "gen",
                                  net,
                                  schema,
                                  "--persons",
                                  std::to_string(z.persons),
                                  "--days",
                                  std::to_string(z.days),
                                  "--seed",
                                  std::to_string(seed)};
  if (z.deep_days > 0) {
    gen.push_back("--deep-days");
    gen.push_back(std::to_string(z.deep_days));
  } else {
    char share[32];
    std::snprintf(share, sizeof share, "%g", z.deep_share);
    gen.push_back("--deep-share");
    gen.push_back(share);
  }
  return gen;
}

// Fills the data of size `z` for `engine` under `dir` (SQLite) or on the server, analysed after
// loading as a database in use is. Returns the NET8 value and the schema to run on.
void MakeData(const Size& z, const std::string& engine, const std::string& dir,
              const std::string& bin, uint64_t seed, const PgServer& pg, bool last_sqlite_user,
              Result& r, std::string& net, std::string& schema) {
  long rss = 0;
  if (engine == "sqlite" || engine == "odbc-sqlite") {
    // Generated once per size; every engine runs on a copy of its own (the last one takes the
    // file itself), since a night changes the data.
    schema = "BENCH";
    const std::string gen_dir = dir + "/gen", db = gen_dir + "/BENCH.db";
    if (!fs::exists(db)) {
      fs::create_directories(gen_dir);
      if (RunChild(GenArgs(z, bin, DatabaseAddress_Sqlite(gen_dir), schema, seed), gen_dir, {},
                   gen_dir + "/gen.out", r.gen_s, rss) != 0)
        Die("parvekctl gen failed for " + z.label);
      sqlite3* h = nullptr;
      Check(sqlite3_open(db.c_str(), &h), h, "analyze open");
      Check(sqlite3_exec(h, "ANALYZE; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
            h, "analyze");
      sqlite3_close(h);
    }
    r.db_mb = static_cast<double>(fs::file_size(db)) / 1e6;
    const std::string data = dir + "/data-" + engine;
    fs::remove_all(data);
    fs::create_directories(data);
    if (last_sqlite_user)
      fs::rename(db, data + "/BENCH.db");
    else
      fs::copy_file(db, data + "/BENCH.db");
    net = DatabaseAddress_Sqlite(data);
    if (engine == "odbc-sqlite") {
      const char* driver = std::getenv("PARVEK_BENCH_ODBC_SQLITE");
      net = std::string(kNet8Odbc) + "Driver={" + (driver ? driver : "SQLite3") + "};Database=" + data +
            "/BENCH.db";
    }
    return;
  }
  // PostgreSQL, natively or through ODBC: a schema of its own on the server, made afresh.
  schema = engine == "postgres" ? "BENCH" : "BENCH2";
  PGconn* c = PgConnect(pg);
  PgRun(c, "SET client_min_messages = warning; DROP SCHEMA IF EXISTS " + schema + " CASCADE");
  std::vector<std::string> gen = GenArgs(z, bin, pg.uri, schema, seed);
  gen.insert(gen.end(), {"--login", pg.login, "--pass-stdin"});
  const std::string pass_file = dir + "/pass." + schema;
  { std::ofstream(pass_file) << pg.pass; }
  if (RunChild(gen, dir, {}, dir + "/gen-" + schema + ".out", r.gen_s, rss, nullptr, pass_file) !=
      0)
    Die("parvekctl gen failed for " + z.label + " on " + engine);
  fs::remove(pass_file);
  std::string analyze = "ANALYZE ";
  for (const char* t : kTables) analyze += (analyze.size() > 8 ? ", " : "") + schema + "." + t;
  PgRun(c, analyze);
  PGresult* size =
      PQexec(c, ("select sum(pg_total_relation_size(c.oid)) from pg_class c join pg_namespace n on"
                 " n.oid = c.relnamespace where n.nspname = lower('" +
                 schema + "') and c.relkind = 'r'")
                    .c_str());
  if (PQresultStatus(size) == PGRES_TUPLES_OK && !PQgetisnull(size, 0, 0))
    r.db_mb = std::atof(PQgetvalue(size, 0, 0)) / 1e6;
  PQclear(size);
  PQfinish(c);
  net = engine == "postgres" ? pg.uri : std::string(kNet8Odbc) + std::getenv("PARVEK_BENCH_ODBC_PG");
}

// parvekctl's night on fresh copies of the data, alternately without and with --journal.
void JournalCost(const std::string& run_dir, const std::string& db_file, const std::string& bin,
                 Result& r) {
  for (int round = 0; round < 10; ++round) {
    const bool journal = round % 2 == 1;
    for (const char* extra : {"-wal", "-shm", "-journal"}) fs::remove(db_file + extra);
    fs::copy_file(db_file + ".orig", db_file, fs::copy_options::overwrite_existing);
    fs::remove_all(run_dir + "/journal");
    ::sync();
    std::vector<std::string> args = {bin + "/parvekctl", "night", "parvek.ini", "KRVNT", "D",
                                     "--force"};
    if (journal) args.insert(args.end(), {"--journal", "journal"});
    double wall = 0, cpu = 0;
    long rss = 0;
    if (RunChild(args, run_dir, {}, run_dir + "/ctl.txt", wall, rss, &cpu) != 0)
      Die("parvekctl night failed in " + run_dir);
    double& best = journal ? r.journal_s : r.plain_s;
    double& best_cpu = journal ? r.journal_cpu_s : r.plain_cpu_s;
    best = round < 2 ? wall : std::min(best, wall);
    best_cpu = round < 2 ? cpu : std::min(best_cpu, cpu);
  }
  fs::remove(db_file + ".orig");
}

// ---- what the rules' reports of their decisions cost (--compare-build) -------------------------

struct Compare {
  std::string bin;  // the programs built without the reports; empty: no comparison
  int rounds = 15;
};

// The nights compared: the job and parvekctl's night, of this build ("in": the reports compiled
// in) and of the one built without them ("out").
struct Variant {
  const char* name;
  bool out;      // the second build's program
  bool ctl;      // parvekctl night --force, else the job
  bool journal;  // with --journal
};
constexpr Variant kVariants[] = {
    {"job, reports compiled in", false, false, false},
    {"job, reports compiled out", true, false, false},
    {"parvekctl night, no journal", false, true, false},
    {"parvekctl night --journal, reasons in it", false, true, true},
    {"parvekctl night --journal, built without reasons", true, true, true},
};
constexpr size_t kJobIn = 0, kJobOut = 1, kCtlPlain = 2, kCtlReasons = 3, kCtlNoReasons = 4;
constexpr size_t kVariantCount = std::size(kVariants);

std::string SortedLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + '\n';
  return all;
}

// The rows a night writes (bookings and day records of the accounting day and later), kept on
// the server before the first night and put back before each of the comparison's: every night starts from the same
// data. The SQLite file is copied instead.
void PgKeep(const PgServer& pg, const std::string& schema, const std::string& yday) {
  PGconn* c = PgConnect(pg);
  PgRun(c, "SET client_min_messages = warning; DROP SCHEMA IF EXISTS bench_keep CASCADE;"
           " CREATE SCHEMA bench_keep;"
           " CREATE TABLE bench_keep.bch AS SELECT * FROM " + schema +
               ".Krv321Bch WHERE BchVon >= '" + yday + "'::timestamp;"
           " CREATE TABLE bench_keep.tag AS SELECT * FROM " + schema +
               ".Krv327Tag WHERE TagTag >= '" + yday + "'::timestamp");
  PQfinish(c);
}

void PgRestore(const PgServer& pg, const std::string& schema, const std::string& yday) {
  PGconn* c = PgConnect(pg);
  PgRun(c, "BEGIN; DELETE FROM " + schema + ".Krv321Bch WHERE BchVon >= '" + yday +
               "'::timestamp; INSERT INTO " + schema + ".Krv321Bch SELECT * FROM bench_keep.bch;"
           " DELETE FROM " + schema + ".Krv327Tag WHERE TagTag >= '" + yday +
               "'::timestamp; INSERT INTO " + schema + ".Krv327Tag SELECT * FROM bench_keep.tag;"
           " COMMIT");
  // The dead rows of the night before go, so that no night finds more of them than another.
  PgRun(c, "VACUUM " + schema + ".Krv321Bch, " + schema + ".Krv327Tag");
  PQfinish(c);
}

// Each round runs every variant once on fresh data, in turn, each round starting one variant
// later. Every night must write the same parameter file as the first (the same lines: on the
// server the order of the persons follows where the rows put back lie).
void DecisionsCost(const std::string& run_dir, const std::string& engine,
                   const std::string& db_file, const std::string& schema, const std::string& yday,
                   const std::string& bin, const Compare& cmp, const PgServer& pg, Result& r) {
  const bool server = engine == "postgres";
  r.variants.assign(kVariantCount, {});
  std::string params;
  for (int round = 0; round < cmp.rounds; ++round) {
    for (size_t i = 0; i < kVariantCount; ++i) {
      const size_t v = (i + static_cast<size_t>(round)) % kVariantCount;
      const Variant& var = kVariants[v];
      if (server) {
        PgRestore(pg, schema, yday);
      } else {
        for (const char* extra : {"-wal", "-shm", "-journal"}) fs::remove(db_file + extra);
        fs::copy_file(db_file + ".orig", db_file, fs::copy_options::overwrite_existing);
      }
      fs::remove_all(run_dir + "/journal");
      fs::remove(run_dir + "/parvektgb");
      ::sync();
      const std::string& b = var.out ? cmp.bin : bin;
      std::vector<std::string> args =
          var.ctl ? std::vector<std::string>{b + "/parvekctl", "night", "parvek.ini", "KRVNT", "D",
                                             "--force"}
                  : std::vector<std::string>{b + "/parvek", "parvek.ini", "KRVNT", "D"};
      if (var.journal) args.insert(args.end(), {"--journal", "journal"});
      double wall = 0, cpu = 0;
      long rss = 0;
      if (RunChild(args, run_dir, {}, run_dir + "/cmp.txt", wall, rss, &cpu) != 0)
        Die(std::string(var.name) + " failed in " + run_dir);
      Result::Runs& runs = r.variants[v];
      runs.wall.push_back(wall);
      runs.cpu.push_back(cpu);
      const std::string p = SortedLines(run_dir + "/parvektgb");
      if (round == 0 && i == 0) params = p;
      if (p != params) {
        std::ofstream(run_dir + "/parvektgb.first") << params;
        Die(std::string(var.name) + ": its parameter file differs from the first night's"
            " (parvektgb.first) in " + run_dir);
      }
      if (var.journal) {
        runs.journal_bytes = runs.reason_lines = runs.change_lines = 0;
        for (const auto& e : fs::directory_iterator(run_dir + "/journal")) {
          if (e.path().extension() != ".journal") continue;
          runs.journal_bytes += static_cast<long>(e.file_size());
          std::ifstream in(e.path());
          for (std::string line; std::getline(in, line);)
            ++(line.rfind("{\"p\":", 0) == 0 ? runs.reason_lines : runs.change_lines);
        }
      }
      std::fprintf(stderr, "  round %d: %s: %.3f s, CPU %.3f s\n", round + 1, var.name, wall, cpu);
    }
  }
  if (server) {
    PgRestore(pg, schema, yday);
    PGconn* c = PgConnect(pg);
    PgRun(c, "SET client_min_messages = warning; DROP SCHEMA bench_keep CASCADE");
    PQfinish(c);
  }
}

Result RunOne(const Size& z, const std::string& engine, const std::string& dir,
              const std::string& bin, uint64_t seed, const PgServer& pg, bool last_sqlite_user,
              const Compare& cmp) {
  Result r;
  r.size = z;
  r.engine = engine;
  std::fprintf(
      stderr, "[%s %s] generating %d persons x %d days%s\n", z.label.c_str(), engine.c_str(),
      z.persons, z.days,
      z.deep_days ? (", reference day " + std::to_string(z.deep_days) + " days back").c_str() : "");
  std::string net, schema;
  MakeData(z, engine, dir, bin, seed, pg, last_sqlite_user, r, net, schema);
  // The generated gigabytes are written back before the night starts, so that the disk's
  // write-back of the load does not slow the night's commits.
  ::sync();
  ::sleep(2);
  const std::string run_dir = dir + "/run-" + engine;
  fs::remove_all(run_dir);
  fs::create_directories(run_dir);
  {
    std::ofstream ini(run_dir + "/parvek.ini");
    if (r.OnServer())
      ini << JobSettings(pg.login, pg.pass, net, schema);
    else
      ini << JobSettings("bench", "bench", net, schema);
  }
  const std::string yday = CivilText(LocalToday() - 1);
  std::fprintf(stderr, "[%s %s] running the job (accounting day %s)\n", z.label.c_str(),
               engine.c_str(), yday.c_str());
  // The floor's units are taken right before and right after the run.
  const auto floor_units = [&] {
    if (r.OnServer())
      PgFloorUnits(pg, r.trip_blocks, r.commit_blocks);
    else
      DurableCommitCost(dir, r.commit_blocks);
  };
  floor_units();
  const std::string db_file = dir + "/data-" + engine + "/BENCH.db";
  // The comparison of the builds measures the journal's cost too.
  const bool compare =
      !cmp.bin.empty() && z.persons <= 1000 && (engine == "sqlite" || engine == "postgres");
  const bool journal_cost = engine == "sqlite" && z.persons <= 1000 && !compare;
  if (engine == "sqlite" && (journal_cost || compare))
    fs::copy_file(db_file, db_file + ".orig", fs::copy_options::overwrite_existing);
  if (engine == "postgres" && compare) PgKeep(pg, schema, yday);
  const std::string stats_env = "PARVEK_STATS_FILE=" + run_dir + "/stats.txt";
  if (RunChild({bin + "/parvek", "parvek.ini", "KRVNT", "D"}, run_dir, {stats_env},
               run_dir + "/stdout.txt", r.wall_s, r.rss_kb, &r.cpu_s) != 0)
    Die("parvek ended with a non-zero exit code for " + z.label + " on " + engine);
  r.load = LoadAverage();
  r.stats = ReadStats(run_dir + "/stats.txt");
  r.followups = CountLines(run_dir + "/parvektgb");
  r.stdout_bytes = static_cast<long>(fs::file_size(run_dir + "/stdout.txt"));
  if (r.Acc() != z.persons)
    Die(z.label + " on " + engine + ": " + std::to_string(static_cast<long>(r.Acc())) +
        " accounting days processed, expected one per person (did the date change?)");
  floor_units();
  r.commit_s = Median(r.commit_blocks);
  r.trip_s = Median(r.trip_blocks);
  if (journal_cost) JournalCost(run_dir, db_file, bin, r);
  if (compare) {
    std::fprintf(stderr, "[%s %s] the reports compiled in and out, %d rounds\n", z.label.c_str(),
                 engine.c_str(), cmp.rounds);
    DecisionsCost(run_dir, engine, db_file, schema, yday, bin, cmp, pg, r);
    if (engine == "sqlite") fs::remove(db_file + ".orig");
  }
  if (engine == "sqlite") {
    r.lookup_s = PkLookupCost(dir + "/data-sqlite/BENCH.db", z.persons, z.days, yday, 1000);
    r.lookup_cold_s = PkLookupCost(dir + "/data-sqlite/BENCH.db", z.persons, z.days, yday, 0);
  }
  return r;
}

// ---- report --------------------------------------------------------------------------------

double Lowest(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double Highest(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

void PrintTable(const std::vector<Result>& rs) {
  std::printf(
      "| size | engine | acc. days | follow-ups | DB MB | gen s | run s | ms/acc. day |"
      " CPU ms/acc. day | stmts/acc. day | trips/acc. day | commits/acc. day |"
      " days walked/acc. day | logons | sessions | peak RSS MB | floor unit | floor ms/acc. day |"
      " run/floor | load |\n");
  std::printf(
      "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|--:|--:|--:|\n");
  for (const Result& r : rs) {
    const double acc = r.Acc();
    char unit[96];
    if (r.OnServer())
      std::snprintf(unit, sizeof unit, "trip %.0f us (%.0f-%.0f), flush %.0f us (%.0f-%.0f)",
                    r.trip_s * 1e6, Lowest(r.trip_blocks) * 1e6, Highest(r.trip_blocks) * 1e6,
                    r.commit_s * 1e6, Lowest(r.commit_blocks) * 1e6,
                    Highest(r.commit_blocks) * 1e6);
    else
      std::snprintf(unit, sizeof unit, "commit %.2f ms (%.2f-%.2f)", r.commit_s * 1e3,
                    Lowest(r.commit_blocks) * 1e3, Highest(r.commit_blocks) * 1e3);
    char trips[32] = "-";
    if (r.OnServer() && r.engine == "postgres")
      std::snprintf(trips, sizeof trips, "%.2f", r.Stat("trips") / acc);
    std::printf(
        "| %s | %s | %.0f | %ld | %.0f | %.1f | %.2f | %.3f | %.3f | %.2f | %s | %.3f | %.1f |"
        " %.0f | %.0f | %.1f | %s | %.3f | %.2f | %.2f |\n",
        r.size.label.c_str(), r.engine.c_str(), acc, r.followups, r.db_mb, r.gen_s, r.wall_s,
        r.PerDay() * 1e3, r.cpu_s / acc * 1e3, r.Stat("statements") / acc, trips,
        r.Stat("durable_commits") / acc, r.Stat("fetched.TagPrev") / acc, r.Stat("logons"),
        r.Stat("sessions"), static_cast<double>(r.rss_kb) / 1024.0, unit, r.Floor() / acc * 1e3,
        r.wall_s / r.Floor(), r.load);
  }
}

const Result* Find(const std::vector<Result>& rs, const std::string& label,
                   const std::string& engine) {
  for (const Result& r : rs)
    if (r.size.label == label && r.engine == engine) return &r;
  return nullptr;
}

void Target(const std::string& name, double value, double limit) {
  std::printf("- %s: %.2f (target <= %.2f): %s\n", name.c_str(), value, limit,
              value <= limit ? "met" : "MISSED");
}

void PrintTargets(const std::vector<Result>& rs, const std::vector<std::string>& engines) {
  std::printf("\nTargets:\n");
  for (const std::string& e : engines) {
    const Result* n1 = Find(rs, "N1k-D365", e);
    const Result* n10 = Find(rs, "N10k-D365", e);
    const Result* n100 = Find(rs, "N100k-D365", e);
    const Result* d30 = Find(rs, "N1k-D30", e);
    const Result* d3650 = Find(rs, "N1k-D3650", e);
    const std::string on = ", " + e;
    if (n1 && n10)
      Target("time/acc. day N=10,000 vs N=1,000" + on, n10->PerDay() / n1->PerDay(), 1.3);
    if (n1 && n100)
      Target("time/acc. day N=100,000 vs N=1,000" + on, n100->PerDay() / n1->PerDay(), 1.3);
    if (d30 && d3650)
      Target("time/acc. day D=3,650 vs D=30" + on, d3650->PerDay() / d30->PerDay(), 1.3);
    // The same comparisons on the job's CPU time, which the disk's sync latency does not move.
    if (n1 && n10)
      Target("CPU/acc. day N=10,000 vs N=1,000" + on, n10->cpu_s / n1->cpu_s / 10, 1.3);
    if (n1 && n100)
      Target("CPU/acc. day N=100,000 vs N=1,000" + on, n100->cpu_s / n1->cpu_s / 100, 1.3);
    if (d30 && d3650) Target("CPU/acc. day D=3,650 vs D=30" + on, d3650->cpu_s / d30->cpu_s, 1.3);
    if (n1 && n100)
      Target("peak RSS N=100,000 vs N=1,000" + on,
             static_cast<double>(n100->rss_kb) / static_cast<double>(n1->rss_kb), 1.5);
    if (n1 && n10)
      Target("peak RSS N=10,000 vs N=1,000" + on,
             static_cast<double>(n10->rss_kb) / static_cast<double>(n1->rss_kb), 1.5);
  }
  // The routes through ODBC beside the native route on the same data, in the same run.
  for (const auto& [odbc, native, limit] :
       {std::tuple<const char*, const char*, double>{"odbc-sqlite", "sqlite", 1.3},
        {"odbc-postgres", "postgres", 1.5}}) {
    for (const char* label : {"N1k-D30", "N1k-D365", "N1k-D3650"}) {
      const Result* o = Find(rs, label, odbc);
      const Result* n = Find(rs, label, native);
      if (o && n)
        Target(std::string("time/acc. day ") + odbc + " vs " + native + ", " + label,
               o->PerDay() / n->PerDay(), limit);
    }
  }
  for (const Result& r : rs)
    if (r.plain_s > 0 && r.Acc() > 0)
      std::printf("- the journal's cost, sqlite, %s: %.3f ms per acc. day, %.2f %% of the night "
                  "(target <= 5 %%): %s; CPU %.3f ms per acc. day, %.2f %%\n",
                  r.size.label.c_str(), (r.journal_s - r.plain_s) / r.Acc() * 1e3,
                  (r.journal_s - r.plain_s) / r.plain_s * 100,
                  r.journal_s - r.plain_s <= 0.05 * r.plain_s ? "met" : "MISSED",
                  (r.journal_cpu_s - r.plain_cpu_s) / r.Acc() * 1e3,
                  (r.journal_cpu_s - r.plain_cpu_s) / r.plain_cpu_s * 100);
  const Result* k1 = Find(rs, "deep-K1", "sqlite");
  const Result* k1000 = Find(rs, "deep-K1000", "sqlite");
  if (k1 && k1000) {
    const double walked = k1000->Stat("fetched.TagPrev") - k1->Stat("fetched.TagPrev");
    const double per_day = (k1000->wall_s - k1->wall_s) / walked;
    std::printf(
        "- deep search (sqlite): %.0f more days walked cost %.2f s more: %.2f us per day walked;"
        " one PK lookup %.2f us warm, %.2f us over the whole history\n",
        walked, k1000->wall_s - k1->wall_s, per_day * 1e6, k1000->lookup_s * 1e6,
        k1000->lookup_cold_s * 1e6);
    Target("cost of one day walked / one warm PK lookup, sqlite", per_day / k1000->lookup_s, 5.0);
  }
  for (const Result& r : rs) {
    if (r.engine == "sqlite" && r.commit_s >= 0.25e-3)
      Target("run / commit floor, " + r.size.label + ", sqlite", r.wall_s / r.Floor(), 1.5);
    else if (r.engine == "sqlite")
      std::printf(
          "- run / commit floor, %s, sqlite: %.2f (commit %.2f ms: below 0.25 ms, no target)\n",
          r.size.label.c_str(), r.wall_s / r.Floor(), r.commit_s * 1e3);
    if (r.engine == "postgres")
      Target("run / floor, " + r.size.label + ", postgres", r.wall_s / r.Floor(), 2.0);
    // The job's own work per accounting day on the N series.
    if ((r.engine == "sqlite" || r.engine == "postgres") && r.size.label.rfind("N", 0) == 0 &&
        r.size.label.find("deep") == std::string::npos)
    {
      Target("CPU ms/acc. day, " + r.size.label + ", " + r.engine, r.cpu_s / r.Acc() * 1e3, 0.10);
      // SQLite's log syncs run on a thread of their own: the kernel's work for the disk, which
      // the commit floor pays for, apart from the job's.
      if (r.Stat("syncs") > 0)
        std::printf("  of it the log's %.0f syncs on their own thread: %.3f ms/acc. day; the rest: "
                    "%.3f\n",
                    r.Stat("syncs"), r.Stat("sync_cpu_us") / r.Acc() * 1e-3,
                    r.cpu_s / r.Acc() * 1e3 - r.Stat("sync_cpu_us") / r.Acc() * 1e-3);
    }
    if (r.stdout_bytes != 0)
      std::printf("- WARNING: the job wrote %ld bytes to standard output for %s on %s\n",
                  r.stdout_bytes, r.size.label.c_str(), r.engine.c_str());
  }
}

// The nights of --compare-build: per variant the medians of its rounds (lowest-highest), and
// the ratios of two variants, each the median of the rounds' own ratios (the two nights of a
// round ran seconds apart) with their lowest and highest beside it.
void PrintDecisionsCost(const std::vector<Result>& rs) {
  for (const Result& r : rs) {
    if (r.variants.size() != kVariantCount || r.Acc() <= 0) continue;
    const double acc = r.Acc();
    const size_t rounds = r.variants[0].wall.size();
    std::printf("\nWhat the reasons cost, %s, %s: %zu rounds of the %zu nights in turn, each on "
                "fresh data; medians (lowest-highest)\n\n",
                r.engine.c_str(), r.size.label.c_str(), rounds, kVariantCount);
    std::printf("| night | ms/acc. day | CPU ms/acc. day | journal bytes | reason lines |"
                " other lines |\n|---|--:|--:|--:|--:|--:|\n");
    for (size_t v = 0; v < kVariantCount; ++v) {
      const Result::Runs& n = r.variants[v];
      char journal[96] = "- | - | -";
      if (kVariants[v].journal)
        std::snprintf(journal, sizeof journal, "%ld | %ld | %ld", n.journal_bytes,
                      n.reason_lines, n.change_lines);
      std::printf("| %s | %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) | %s |\n", kVariants[v].name,
                  Median(n.wall) / acc * 1e3, Lowest(n.wall) / acc * 1e3,
                  Highest(n.wall) / acc * 1e3, Median(n.cpu) / acc * 1e3,
                  Lowest(n.cpu) / acc * 1e3, Highest(n.cpu) / acc * 1e3, journal);
    }
    // The ratio a/b of each round.
    const auto ratio = [&](size_t a, size_t b, bool cpu, double& lo, double& hi) {
      const auto& x = cpu ? r.variants[a].cpu : r.variants[a].wall;
      const auto& y = cpu ? r.variants[b].cpu : r.variants[b].wall;
      std::vector<double> q;
      for (size_t i = 0; i < x.size() && i < y.size(); ++i) q.push_back(x[i] / y[i]);
      lo = Lowest(q), hi = Highest(q);
      return Median(q);
    };
    const auto line = [&](const char* what, size_t a, size_t b, const char* target) {
      double wl, wh, cl, ch;
      const double w = ratio(a, b, false, wl, wh), c = ratio(a, b, true, cl, ch);
      std::printf("- %s: wall %.3f (%.3f-%.3f), CPU %.3f (%.3f-%.3f)%s\n", what, w, wl, wh, c, cl,
                  ch, target);
    };
    std::printf("\nRatios, the median of the rounds' own (lowest-highest):\n");
    line("the job, reports compiled in / out", kJobIn, kJobOut, " (target: within the noise)");
    line("parvekctl night --journal, reasons in it / built without them", kCtlReasons,
         kCtlNoReasons, "");
    const Result::Runs& with = r.variants[kCtlReasons];
    const Result::Runs& without = r.variants[kCtlNoReasons];
    if (without.journal_bytes > 0)
      std::printf("- the journal's bytes, reasons in it / without them: %.2f (%ld / %ld)\n",
                  static_cast<double>(with.journal_bytes) /
                      static_cast<double>(without.journal_bytes),
                  with.journal_bytes, without.journal_bytes);
    double wl, wh, cl, ch;
    const double w = ratio(kCtlReasons, kCtlPlain, false, wl, wh);
    const double c = ratio(kCtlReasons, kCtlPlain, true, cl, ch);
    std::printf("- the journal's whole cost, reasons in it, over parvekctl's night without a "
                "journal: wall %+.1f %% (%+.1f to %+.1f), target < 5 %%: %s; CPU %+.1f %% (%+.1f "
                "to %+.1f)\n",
                (w - 1) * 100, (wl - 1) * 100, (wh - 1) * 100, w < 1.05 ? "met" : "MISSED",
                (c - 1) * 100, (cl - 1) * 100, (ch - 1) * 100);
    line("parvekctl night --journal without reasons / parvekctl night without a journal",
         kCtlNoReasons, kCtlPlain, "");
  }
}

void WriteTsv(const std::vector<Result>& rs, const std::string& path) {
  std::ofstream out(path);
  out << "label\tpersons\tdays\tdeep\tacc\tms_per_acc\trun_s\tfloor_s\trss_mb\tcpu_ms_per_acc"
         "\tengine\n";
  for (const Result& r : rs)
    out << r.size.label << '\t' << r.size.persons << '\t' << r.size.days << '\t' << r.size.deep_days
        << '\t' << r.Acc() << '\t' << r.PerDay() * 1e3 << '\t' << r.wall_s << '\t' << r.Floor()
        << '\t' << static_cast<double>(r.rss_kb) / 1024.0 << '\t' << r.cpu_s / r.Acc() * 1e3 << '\t'
        << r.engine << '\n';
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) out.push_back(item);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool full = false, keep = false;
  std::string dir, bin, out, only, engine_list = "sqlite";
  uint64_t seed = 20261208;
  Compare cmp;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--full")
      full = true;
    else if (a == "--keep")
      keep = true;
    else if (a == "--dir")
      dir = value();
    else if (a == "--bin")
      bin = value();
    else if (a == "--out")
      out = value();
    else if (a == "--only")
      only = "," + value() + ",";
    else if (a == "--seed")
      seed = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--engines")
      engine_list = value();
    else if (a == "--compare-build")
      cmp.bin = fs::absolute(value()).string();
    else if (a == "--compare-rounds")
      cmp.rounds = std::max(1, std::atoi(value().c_str()));
    else
      Die("unknown option " + a +
          " (bench_night [--full] [--dir DIR] [--bin DIR] [--seed S] [--out F] [--keep] [--only "
          "L1,L2] [--engines E1,E2] [--compare-build DIR [--compare-rounds R]])");
  }
  const std::vector<std::string> engines = Split(engine_list);
  const PgServer pg = PgFromEnv();
  for (const std::string& e : engines) {
    if (e != "sqlite" && e != "postgres" && e != "odbc-sqlite" && e != "odbc-postgres")
      Die("unknown engine " + e);
    if (e.find("postgres") != std::string::npos && !pg.Present())
      Die(e + " needs a server in PARVEK_TEST_PG");
    if (e == "odbc-postgres" && std::getenv("PARVEK_BENCH_ODBC_PG") == nullptr)
      Die("odbc-postgres needs the DSN in PARVEK_BENCH_ODBC_PG");
  }
  if (bin.empty()) bin = fs::canonical("/proc/self/exe").parent_path().parent_path().string();
  if (!cmp.bin.empty() && !(fs::exists(cmp.bin + "/parvek") && fs::exists(cmp.bin + "/parvekctl")))
    Die("--compare-build " + cmp.bin + " holds no parvek and parvekctl");
  if (dir.empty()) {
    char templ[] = "/tmp/parvek-night-XXXXXX";
    if (::mkdtemp(templ) == nullptr) Die("mkdtemp failed");
    dir = templ;
  }
  fs::create_directories(dir);
  dir = fs::canonical(dir).string();

  // The N and D series leave the deep share out, so that every size walks the same few days
  // per accounting day; the walk itself is measured by the two deep cases, which differ only
  // in how far back the reference day lies.
  std::vector<Size> sizes = {
      {"N1k-D30", 1000, 30, 0, 0},
      {"N1k-D365", 1000, 365, 0, 0},
      {"N1k-D3650", 1000, 3650, 0, 0},
      {"N10k-D365", 10000, 365, 0, 0},
      {"N1k-D365-deep2%", 1000, 365, 0, 0.02},
      {"deep-K1", 1000, 1095, 1, 0},
      {"deep-K1000", 1000, 1095, 1000, 0},
  };
  if (full) sizes.push_back({"N100k-D365", 100000, 365, 0, 0});

  std::vector<Result> results;
  for (const Size& z : sizes) {
    if (!only.empty() && only.find("," + z.label + ",") == std::string::npos) continue;
    const std::string size_dir = dir + "/" + z.label;
    fs::remove_all(size_dir);
    fs::create_directories(size_dir);
    // The routes through ODBC add the driver's cost to the engine's: the small sizes show it.
    std::vector<std::string> here;
    for (const std::string& e : engines)
      if (e.rfind("odbc-", 0) != 0 || (z.persons <= 1000 && z.deep_days == 0 && z.deep_share == 0))
        here.push_back(e);
    size_t sqlite_users = 0;
    for (const std::string& e : here) sqlite_users += e.find("sqlite") != std::string::npos;
    for (const std::string& e : here) {
      const bool on_sqlite = e.find("sqlite") != std::string::npos;
      results.push_back(RunOne(z, e, size_dir, bin, seed, pg, on_sqlite && --sqlite_users == 0,
                               cmp));
      const Result& r = results.back();
      std::fprintf(stderr, "[%s %s] %.0f accounting days in %.2f s, %.3f ms each, %.2f x floor\n",
                   z.label.c_str(), e.c_str(), r.Acc(), r.wall_s, r.PerDay() * 1e3,
                   r.wall_s / r.Floor());
    }
    if (!keep) fs::remove_all(size_dir);
  }
  PrintTable(results);
  PrintTargets(results, engines);
  PrintDecisionsCost(results);
  if (!out.empty()) WriteTsv(results, out);
  if (!keep) fs::remove_all(dir);
  return 0;
}
