// Benchmark of whole nights (not a test): builds synthetic schemas with "parvekctl gen", runs
// the real job on each, and prints one table row per size.
//
//   bench_night [--full] [--dir DIR] [--bin DIR] [--seed S] [--out FILE.tsv] [--keep]
//               [--only LABEL,...]   (run only the sizes named, e.g. N1k-D365,deep-K1000)
//
// Sizes: N = 1,000 and 10,000 persons with D = 365 days of history; D = 30 and 3,650 with
// N = 1,000; a deep search where every reference day lies 1,000 days back, beside the same
// population with the reference day one day back. --full adds N = 100,000 (about 15 GB of
// database under DIR, filled in several minutes).
//
// Per size: the job's wall time, time per accounting day, statements and commits per
// accounting day (from the client's counters file, PARVEK_STATS_FILE), the job's peak resident
// memory (wait4), and the commit floor: the run's durable commits times the cost of one durable
// commit (SQLite WAL, synchronous=FULL) measured in the same directory right after the run.
// Also the cost of one primary-key lookup of a day record, measured on the schema just run.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include <vector>

#include "tools/civil_date.h"
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
  double gen_s = 0;
  double wall_s = 0;
  double cpu_s = 0;  // the job's user + system time: its own work, whatever the disk's syncs cost
  long rss_kb = 0;
  std::map<std::string, double> stats;  // the counters file
  double commit_s = 0;                  // one durable commit: mean of before and after the run
  double commit_before_s = 0, commit_after_s = 0;
  double lookup_s = 0;       // one primary-key lookup of a day record, warm
  double lookup_cold_s = 0;  // the same over the whole history
  long followups = 0;        // lines of the parameter file
  long stdout_bytes = 0;
  double db_mb = 0;
  double Acc() const { return Stat("fetched.TagYday"); }
  double Stat(const char* k) const {
    auto it = stats.find(k);
    return it == stats.end() ? 0 : it->second;
  }
  double PerDay() const { return Acc() > 0 ? wall_s / Acc() : 0; }
  double Floor() const { return Stat("durable_commits") * commit_s; }
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_night: %s\n", what.c_str());
  std::exit(1);
}

// Runs `argv` in `cwd` with `env` added; its standard output goes to `out_path`.
// Returns the exit status; `wall`, `rss_kb` and `cpu` (user + system seconds) describe the
// child alone.
int RunChild(const std::vector<std::string>& argv, const std::string& cwd,
             const std::vector<std::string>& env, const std::string& out_path, double& wall,
             long& rss_kb, double* cpu = nullptr) {
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) Die("fork failed");
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, 1) < 0) _exit(126);
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
double DurableCommitCost(const std::string& dir) {
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
  constexpr int kWarm = 20, kTimed = 300;
  Clock::time_point t0;
  for (int i = 0; i < kWarm + kTimed; ++i) {
    if (i == kWarm) t0 = Clock::now();
    Check(sqlite3_step(st), db, "probe insert");
    sqlite3_reset(st);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count() / kTimed;
  sqlite3_finalize(st);
  sqlite3_close(db);
  fs::remove(path);
  fs::remove(path + "-wal");
  fs::remove(path + "-shm");
  return s;
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

Result RunSize(const Size& z, const std::string& base, const std::string& bin, uint64_t seed,
               bool keep) {
  Result r;
  r.size = z;
  const std::string dir = base + "/" + z.label;
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string net = "sqlite:" + dir;
  std::fprintf(
      stderr, "[%s] generating %d persons x %d days%s\n", z.label.c_str(), z.persons, z.days,
      z.deep_days ? (", reference day " + std::to_string(z.deep_days) + " days back").c_str() : "");
  std::vector<std::string> gen = {bin + "/parvekctl",
                                  "gen",
                                  net,
                                  "BENCH",
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
  long gen_rss = 0;
  if (RunChild(gen, dir, {}, dir + "/gen.out", r.gen_s, gen_rss) != 0)
    Die("parvekctl gen failed for " + z.label);
  r.db_mb = static_cast<double>(fs::file_size(dir + "/BENCH.db")) / 1e6;
  // The generated gigabytes are written back before the night starts, so that the disk's
  // write-back of the load does not slow the night's commits.
  ::sync();
  ::sleep(2);

  {
    std::ofstream ini(dir + "/parvek.ini");
    ini << JobSettings("bench", "bench", net, "BENCH");
  }
  const std::string yday = CivilText(LocalToday() - 1);
  std::fprintf(stderr, "[%s] running the job (accounting day %s)\n", z.label.c_str(), yday.c_str());
  // The cost of a durable commit is taken before and after the run, on the same disk; the
  // mean of both is the floor's unit.
  const double commit_before = DurableCommitCost(dir);
  const std::string stats_env = "PARVEK_STATS_FILE=" + dir + "/stats.txt";
  if (RunChild({bin + "/parvek", "parvek.ini", "KRVNT", "D"}, dir, {stats_env}, dir + "/stdout.txt",
               r.wall_s, r.rss_kb, &r.cpu_s) != 0)
    Die("parvek ended with a non-zero exit code for " + z.label);
  r.stats = ReadStats(dir + "/stats.txt");
  r.followups = CountLines(dir + "/parvektgb");
  r.stdout_bytes = static_cast<long>(fs::file_size(dir + "/stdout.txt"));
  if (r.Acc() != z.persons)
    Die(z.label + ": " + std::to_string(static_cast<long>(r.Acc())) +
        " accounting days processed, expected one per person (did the date change?)");
  r.commit_before_s = commit_before;
  r.commit_after_s = DurableCommitCost(dir);
  r.commit_s = (r.commit_before_s + r.commit_after_s) / 2;
  r.lookup_s = PkLookupCost(dir + "/BENCH.db", z.persons, z.days, yday, 1000);
  r.lookup_cold_s = PkLookupCost(dir + "/BENCH.db", z.persons, z.days, yday, 0);
  if (!keep) fs::remove_all(dir);
  return r;
}

void PrintTable(const std::vector<Result>& rs) {
  std::printf(
      "| size | persons | days | acc. days | follow-ups | DB MB | gen s | run s | ms/acc. day |"
      " CPU ms/acc. day |"
      " stmts/acc. day | commits/acc. day | days walked/acc. day | peak RSS MB |"
      " commit ms (before/after) | floor s | run/floor | PK lookup us (warm/whole) |\n");
  std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  for (const Result& r : rs) {
    const double acc = r.Acc();
    std::printf(
        "| %s | %d | %d | %.0f | %ld | %.0f | %.1f | %.2f | %.3f | %.3f | %.1f | %.2f | %.1f |"
        " %.1f |"
        " %.2f (%.2f/%.2f) | %.2f | %.2f | %.1f / %.1f |\n",
        r.size.label.c_str(), r.size.persons, r.size.days, acc, r.followups, r.db_mb, r.gen_s,
        r.wall_s, r.PerDay() * 1e3, r.cpu_s / acc * 1e3, r.Stat("statements") / acc,
        r.Stat("durable_commits") / acc, r.Stat("fetched.TagPrev") / acc,
        static_cast<double>(r.rss_kb) / 1024.0, r.commit_s * 1e3, r.commit_before_s * 1e3,
        r.commit_after_s * 1e3, r.Floor(), r.wall_s / r.Floor(), r.lookup_s * 1e6,
        r.lookup_cold_s * 1e6);
  }
}

const Result* Find(const std::vector<Result>& rs, const std::string& label) {
  for (const Result& r : rs)
    if (r.size.label == label) return &r;
  return nullptr;
}

void Target(const char* name, double value, double limit) {
  std::printf("- %s: %.2f (target <= %.2f): %s\n", name, value, limit,
              value <= limit ? "met" : "MISSED");
}

void PrintTargets(const std::vector<Result>& rs) {
  std::printf("\nTargets:\n");
  const Result* n1 = Find(rs, "N1k-D365");
  const Result* n10 = Find(rs, "N10k-D365");
  const Result* n100 = Find(rs, "N100k-D365");
  const Result* d30 = Find(rs, "N1k-D30");
  const Result* d3650 = Find(rs, "N1k-D3650");
  const Result* k1 = Find(rs, "deep-K1");
  const Result* k1000 = Find(rs, "deep-K1000");
  if (n1 && n10) Target("time/acc. day N=10,000 vs N=1,000", n10->PerDay() / n1->PerDay(), 1.3);
  if (n1 && n100) Target("time/acc. day N=100,000 vs N=1,000", n100->PerDay() / n1->PerDay(), 1.3);
  if (d30 && d3650) Target("time/acc. day D=3,650 vs D=30", d3650->PerDay() / d30->PerDay(), 1.3);
  // The same comparisons on the job's CPU time, which the disk's sync latency does not move.
  if (n1 && n10) Target("CPU/acc. day N=10,000 vs N=1,000", n10->cpu_s / n1->cpu_s / 10, 1.3);
  if (n1 && n100) Target("CPU/acc. day N=100,000 vs N=1,000", n100->cpu_s / n1->cpu_s / 100, 1.3);
  if (d30 && d3650) Target("CPU/acc. day D=3,650 vs D=30", d3650->cpu_s / d30->cpu_s, 1.3);
  if (k1 && k1000) {
    const double walked = k1000->Stat("fetched.TagPrev") - k1->Stat("fetched.TagPrev");
    const double per_day = (k1000->wall_s - k1->wall_s) / walked;
    std::printf(
        "- deep search: %.0f more days walked cost %.2f s more: %.2f us per day walked;"
        " one PK lookup %.2f us warm, %.2f us over the whole history\n",
        walked, k1000->wall_s - k1->wall_s, per_day * 1e6, k1000->lookup_s * 1e6,
        k1000->lookup_cold_s * 1e6);
    Target("cost of one day walked / one warm PK lookup", per_day / k1000->lookup_s, 5.0);
  }
  for (const Result& r : rs) {
    const std::string name = "run / commit floor, " + r.size.label;
    Target(name.c_str(), r.wall_s / r.Floor(), 1.5);
  }
  if (n1 && n100)
    Target("peak RSS N=100,000 vs N=1,000",
           static_cast<double>(n100->rss_kb) / static_cast<double>(n1->rss_kb), 1.5);
  if (n1 && n10)
    Target("peak RSS N=10,000 vs N=1,000",
           static_cast<double>(n10->rss_kb) / static_cast<double>(n1->rss_kb), 1.5);
  for (const Result& r : rs)
    if (r.stdout_bytes != 0)
      std::printf("- WARNING: the job wrote %ld bytes to standard output for %s\n", r.stdout_bytes,
                  r.size.label.c_str());
}

void WriteTsv(const std::vector<Result>& rs, const std::string& path) {
  std::ofstream out(path);
  out << "label\tpersons\tdays\tdeep\tacc\tms_per_acc\trun_s\tfloor_s\trss_mb\tcpu_ms_per_acc\n";
  for (const Result& r : rs)
    out << r.size.label << '\t' << r.size.persons << '\t' << r.size.days << '\t' << r.size.deep_days
        << '\t' << r.Acc() << '\t' << r.PerDay() * 1e3 << '\t' << r.wall_s << '\t' << r.Floor()
        << '\t' << static_cast<double>(r.rss_kb) / 1024.0 << '\t' << r.cpu_s / r.Acc() * 1e3
        << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  bool full = false, keep = false;
  std::string dir, bin, out, only;
  uint64_t seed = 20261208;
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
    else
      Die("unknown option " + a +
          " (bench_night [--full] [--dir DIR] [--bin DIR] [--seed S] [--out F] [--keep] [--only "
          "L1,L2])");
  }
  if (bin.empty()) bin = fs::canonical("/proc/self/exe").parent_path().parent_path().string();
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
    results.push_back(RunSize(z, dir, bin, seed, keep));
    const Result& r = results.back();
    std::fprintf(stderr, "[%s] %.0f accounting days in %.2f s, %.3f ms each\n", z.label.c_str(),
                 r.Acc(), r.wall_s, r.PerDay() * 1e3);
  }
  PrintTable(results);
  PrintTargets(results);
  if (!out.empty()) WriteTsv(results, out);
  if (!keep) fs::remove_all(dir);
  return 0;
}
