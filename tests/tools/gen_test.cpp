// parvekctl gen: same seed, same rows; the shape of the population; the deep-search options.
// The client's bulk load path on every backend, and the counters file the benchmark reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "tools/settings_record.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kToday = "2026-03-16";  // a Monday: the accounting day is 2026-03-15

// Runs parvekctl with `args` (split at blanks) in a directory of its own.
pvt::Result Ctl(const std::string& args) {
  const pvt::TempDir dir;
  return pvt::Run(PARVEKCTL_BIN, dir.path(), pvt::Words(args));
}

// Fills `db` with `opts` (after --today); returns the exit status of parvekctl gen.
int Gen(const pvt::TempSchema& db, const std::string& opts, const char* today = kToday) {
  std::string args = "gen " + db.net() + " " + db.schema() + " " + opts;
  if (today != nullptr) args += std::string(" --today ") + today;
  const pvt::Result r = Ctl(args);
  if (r.code != 0) std::fprintf(stderr, "%s", r.err.c_str());
  return r.code;
}

const std::map<std::string, std::string> kDumps = {
    {"Krv327Tag",
     "select TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs from Krv327Tag"
     " order by TagPnr, TagTag"},
    {"Krv320Tgb", "select TgbPnr, TgbDtm, TgbZtr, TgbSol from Krv320Tgb order by 1, 2, 3"},
    {"Krv321Bch",
     "select BchPnr, BchVon, BchUhr, BchFkt, BchFcd from Krv321Bch order by 1, 2, 3, 4"},
    {"Krv329Ztg", "select ZtgPnr, ZtgVon, ZtgAzt, ZtgSta from Krv329Ztg order by 1, 2"},
    {"Krv131Fcd",
     "select FcdNum, FcdTyp, FcdPri, FcdGpu, FcdFcd, FcdFlg from Krv131Fcd"
     " order by 1"},
    {"Krv140Azv", "select AzvNum, AzvSol, AzvGvo, AzvGbi from Krv140Azv order by 1"},
};

class GenSqlite : public ::testing::Test {
 protected:
  void Fresh(pvt::TempSchema& db) {
    std::string why;
    ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  }
  static int Count(pvt::TempSchema& db, const std::string& sql) {
    return std::atoi(db.Value(sql).c_str());
  }
};

TEST_F(GenSqlite, SameSeedGivesTheSameRowsAnotherSeedOthers) {
  pvt::TempSchema a, b, c;
  Fresh(a);
  Fresh(b);
  Fresh(c);
  ASSERT_EQ(Gen(a, "--persons 30 --days 90 --seed 7 --deep-share 0.2"), 0);
  ASSERT_EQ(Gen(b, "--persons 30 --days 90 --seed 7 --deep-share 0.2"), 0);
  ASSERT_EQ(Gen(c, "--persons 30 --days 90 --seed 8 --deep-share 0.2"), 0);
  for (const auto& [table, sql] : kDumps) {
    const auto rows = a.Lines(sql);
    ASSERT_GT(rows.size(), 1u) << table;
    EXPECT_EQ(rows, b.Lines(sql)) << table;
  }
  EXPECT_NE(a.Lines(kDumps.at("Krv321Bch")), c.Lines(kDumps.at("Krv321Bch")));
}

TEST_F(GenSqlite, EveryPersonHasItsHistoryAndOnePlaceholderOnTheAccountingDay) {
  pvt::TempSchema db;
  Fresh(db);
  constexpr int kPersons = 40, kDays = 120;
  ASSERT_EQ(Gen(db, "--persons 40 --days 120 --seed 3"), 0);
  // One day record, day-evaluation row and assignment per person and day, yesterday included.
  EXPECT_EQ(Count(db, "select count(*) from Krv327Tag"), kPersons * (kDays + 1));
  EXPECT_EQ(Count(db, "select count(*) from Krv320Tgb where TgbZtr = 1"), kPersons * (kDays + 1));
  EXPECT_EQ(Count(db, "select count(*) from Krv329Ztg where ZtgSta = 0"), kPersons * (kDays + 1));
  EXPECT_EQ(db.Lines("select min(TagTag), max(TagTag) from Krv327Tag"),
            (std::vector<std::string>{"2025-11-15 00:00:00|2026-03-15 00:00:00"}));
  // The placeholders: exactly the accounting day's records, frame 12:00:00 to 12:00:00.
  EXPECT_EQ(db.Lines("select count(*), min(TagTag), count(TagTgb) from Krv327Tag"
                     " where TagUhr = substr(TagTag, 1, 10) || ' 12:00:00'"
                     " and TagEnd = TagUhr and TagVon = TagTag and TagBis = TagTag"),
            (std::vector<std::string>{"40|2026-03-15 00:00:00|0"}));
  // Every booking lies on one of the person's days, inside its frame or at midnight.
  EXPECT_EQ(Count(db,
                  "select count(*) from Krv321Bch left join Krv327Tag"
                  " on TagPnr = BchPnr and TagTag = BchVon where TagPnr is null"
                  " or (BchUhr <> BchVon and (BchUhr < TagUhr or BchUhr > TagEnd))"),
            0);
  // A whole-day message is booked at midnight, and its code is the day record's day code.
  EXPECT_EQ(Count(db,
                  "select count(*) from Krv321Bch join Krv327Tag"
                  " on TagPnr = BchPnr and TagTag = BchVon where BchFkt = 1"
                  " and TagTag < '2026-03-15 00:00:00'"
                  " and (BchUhr <> BchVon or TagTgb is not BchFcd)"),
            0);
  // Messages of several types with follow-up codes, hour messages, come and go.
  EXPECT_GE(Count(db,
                  "select count(distinct BchFcd) from Krv321Bch join Krv131Fcd"
                  " on FcdNum = BchFcd where BchFkt = 1 and FcdFlg is not null"),
            2);
  EXPECT_GE(Count(db,
                  "select count(distinct BchFcd) from Krv321Bch join Krv131Fcd"
                  " on FcdNum = BchFcd where BchFkt = 1 and FcdFlg is null"),
            1);
  EXPECT_GT(Count(db, "select count(*) from Krv321Bch where BchFkt = 24 and BchFcd = 'KRH'"), 0);
  EXPECT_GT(Count(db, "select count(*) from Krv321Bch where BchFkt = 21"), kPersons * 40);
  EXPECT_GT(Count(db, "select count(*) from Krv321Bch where BchFkt = 22"), kPersons * 40);
  EXPECT_EQ(Count(db, "select count(*) from Krv321Bch where BchFkt not in (1, 21, 22, 23, 24)"), 0);
  // Every assignment names a working-time plan that is valid on its day.
  EXPECT_EQ(Count(db,
                  "select count(*) from Krv329Ztg left join Krv140Azv on AzvNum = ZtgAzt"
                  " and AzvGvo <= ZtgVon where AzvNum is null"),
            0);
  // The load skipped the date-form checks; the rows pass them all the same.
  EXPECT_EQ(db.Lines("pragma integrity_check"), (std::vector<std::string>{"ok"}));
}

// The day of the person's newest booking before the accounting day, as days back.
std::map<std::string, int> NewestBookingBack(pvt::TempSchema& db) {
  std::map<std::string, int> back;
  for (const std::string& line :
       db.Lines("select BchPnr || '|' || cast(julianday('2026-03-15') - julianday(max(BchVon))"
                " as integer) from Krv321Bch where BchVon < '2026-03-15' group by BchPnr")) {
    const auto bar = line.find('|');
    back[line.substr(0, bar)] = std::atoi(line.c_str() + bar + 1);
  }
  return back;
}

TEST_F(GenSqlite, DeepDaysPutsEveryReferenceDayExactlyThatFarBack) {
  for (int k : {1, 25, 60}) {
    pvt::TempSchema db;
    Fresh(db);
    ASSERT_EQ(Gen(db, "--persons 12 --days 60 --seed 5 --deep-days " + std::to_string(k)), 0);
    const auto back = NewestBookingBack(db);
    ASSERT_EQ(back.size(), 12u) << "K=" << k;
    for (const auto& [pnr, days] : back) EXPECT_EQ(days, k) << pnr << " K=" << k;
    // That day carries exactly one booking: the illness, a day message with a follow-up code.
    EXPECT_EQ(db.Lines("select distinct BchFkt, BchFcd, TagTgb from Krv321Bch join Krv327Tag"
                       " on TagPnr = BchPnr and TagTag = BchVon where BchVon = date('2026-03-15',"
                       " '-" +
                       std::to_string(k) + " days') || ' 00:00:00'"),
              (std::vector<std::string>{"1|KRA|KRA"}))
        << "K=" << k;
  }
}

TEST_F(GenSqlite, DeepShareMakesPersonsWhoseLastMessageLiesHundredsOfDaysBack) {
  pvt::TempSchema all, none;
  Fresh(all);
  Fresh(none);
  ASSERT_EQ(Gen(all, "--persons 10 --days 900 --seed 11 --deep-share 1"), 0);
  ASSERT_EQ(Gen(none, "--persons 10 --days 900 --seed 11 --deep-share 0"), 0);
  for (const auto& [pnr, days] : NewestBookingBack(all)) {
    EXPECT_GE(days, 200) << pnr;
    EXPECT_LE(days, 800) << pnr;
  }
  for (const auto& [pnr, days] : NewestBookingBack(none)) EXPECT_LE(days, 10) << pnr;
}

TEST_F(GenSqlite, CreatesTheSchemaWhenMissingAndRefusesBadArguments) {
  const fs::path dir = fs::temp_directory_path() / ("pvgen_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string base = "gen sqlite:" + dir.string() + " NEW ";
  const pvt::Result r = Ctl(base + "--persons 3 --days 5 --seed 1");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "NEW.db"));
  EXPECT_NE(r.out.find("Krv327Tag 18"), std::string::npos) << r.out;
  for (const char* bad : {"--persons 3 --days 5", "--persons 0 --days 5 --seed 1",
                          "--persons 3 --days 5 --seed 1 --deep-days 6",
                          "--persons 3 --days 5 --seed 1 --deep-share 1.5",
                          "--persons 3 --days 5 --seed 1 --color blue"}) {
    EXPECT_EQ(Ctl(base + bad).code, 2) << bad;
  }
  // The same rows a second time break the keys: the load fails and says so.
  EXPECT_EQ(Ctl(base + "--persons 3 --days 5 --seed 1").code, 2);
  fs::remove_all(dir);
}

// The bulk load path of each backend.
class BulkInsert : public ::testing::TestWithParam<std::string> {};

pvc::Row FcdRow(const char* num, int64_t pri, const char* flg) {
  pvc::Row r(3);
  r[0].null = false, r[0].text = num;
  r[1].null = false, r[1].is_int = true, r[1].num = pri;
  if (flg != nullptr) r[2].null = false, r[2].text = flg;
  return r;
}

TEST_P(BulkInsert, LoadsEveryRowOrNone) {
  const pvt::Backend b = pvt::BackendNamed(GetParam());
  if (!b.skip_reason.empty()) GTEST_SKIP() << b.skip_reason;
  const std::vector<std::string> cols = {"FcdNum", "FcdPri", "FcdFlg"};
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(b, why), 0) << why;
  std::unique_ptr<pvc::Session> s;
  ASSERT_EQ(db.OpenOther(s), 0);
  pvc::SessionTools& tools = pvc::ToolsOf(*s);
  auto load = [&](const std::vector<pvc::Row>& rows) {
    return tools.BulkInsert("Krv131Fcd", cols, rows);
  };
  ASSERT_EQ(load({FcdRow("A", 5, "X'Y"), FcdRow("B", -3, nullptr), FcdRow("C\\t", 0, "")}), 0);
  // An empty text is loaded as it stands (the job's NULL rule is for its binds only).
  const std::vector<std::string> want = {"A|5|X'Y", "B|-3|<null>", "C\\t|0|"};
  EXPECT_EQ(db.Lines("select FcdNum, FcdPri, FcdFlg from Krv131Fcd order by FcdNum"), want);
  // A broken key anywhere: -1, and none of the call's rows is kept.
  EXPECT_EQ(load({FcdRow("D", 1, nullptr), FcdRow("A", 1, nullptr)}), pvc::kUniqueViolated);
  EXPECT_EQ(db.Value("select count(*) from Krv131Fcd"), "3");
  // Names that are no identifiers never reach an SQL text; a short row is refused.
  EXPECT_LT(tools.BulkInsert("Krv131Fcd;drop", cols, {FcdRow("E", 1, nullptr)}), 0);
  pvc::Row short_row = FcdRow("F", 1, nullptr);
  short_row.pop_back();
  EXPECT_LT(load({FcdRow("G", 1, nullptr), short_row}), 0);
  EXPECT_EQ(db.Value("select count(*) from Krv131Fcd"), "3");
}

// The job with PARVEK_STATS_FILE: the client writes its counters there at exit, and nothing new
// appears on standard output. Every reference day lies 3 days back, so each person's search
// fetches exactly 3 earlier days.
TEST(CountersFile, TheJobWritesItsCountersWhereTheVariableSays) {
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pvt::BackendNamed("sqlite"), why), 0) << why;
  ASSERT_EQ(Gen(db, "--persons 6 --days 20 --seed 2 --deep-days 3", nullptr), 0);
  const fs::path run = fs::path(db.dir()) / "run";
  fs::create_directories(run);
  std::ofstream(run / "parvek.ini") << JobSettings("x", "y", db.net(), db.schema());
  const pvt::Result r = pvt::Run(PARVEK_BIN, run, {"parvek.ini", "KRVNT", "X"},
                                 {{{"PARVEK_STATS_FILE", "stats.txt"}}, "", db.dir()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  std::map<std::string, long> stats;
  std::ifstream in(run / "stats.txt");
  std::string key;
  long value;
  while (in >> key >> value) stats[key] = value;
  EXPECT_EQ(stats["fetched.TagYday"], 6);
  EXPECT_EQ(stats["calls.TagPrev"], 6);
  EXPECT_EQ(stats["fetched.TagPrev"], 18);
  auto count = [&](const std::string& where) {
    return std::atol(db.Value("select count(*) from " + where).c_str());
  };
  const std::string yday = "(select max(TagTag) from Krv327Tag)";
  const long inserted = count("Krv321Bch where BchFcd = 'KRF' and BchVon = " + yday);
  const long updated = count("Krv327Tag where TagTgb is not null and TagTag = " + yday);
  const long cancelled = count("Krv321Bch where BchFkt = 45");
  EXPECT_GT(inserted, 0);
  EXPECT_EQ(stats["calls.BchInsert"], inserted);
  // Every successful write is committed on its own; the day-message rule's own commit after
  // a follow-up finds nothing left to make durable and is not counted as durable.
  EXPECT_EQ(stats["durable_commits"], inserted + updated + cancelled);
  EXPECT_GE(stats["commits"], stats["durable_commits"]);
  EXPECT_GT(stats["statements"], stats["commits"]);
  // Without the variable no file is written.
  fs::remove(run / "stats.txt");
  ASSERT_EQ(pvt::Run(PARVEK_BIN, run, {"parvek.ini", "KRVNT", "X"}).code, 0);
  EXPECT_FALSE(fs::exists(run / "stats.txt"));
}

INSTANTIATE_TEST_SUITE_P(Backends, BulkInsert, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

}  // namespace
