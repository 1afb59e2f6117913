// parvekctl explain on generated nights: for every person of the accounting day, what explain
// announces before the night (its "outcome") is what the night then does, judged by what the
// night wrote, not by its decisions: the bookings its journal inserted for the person, the
// bookings it turned to function 45, its day record, and the person's line in the parameter file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "tools/settings_record.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// What was done for one person, as a sorted list of words each.
struct Done {
  std::vector<std::string> booked, cancelled;  // "KRF"; "20260301 000000"
  json day_record;                             // the day record's values after, or null
  std::string line;                            // the parameter line, "" for none

  bool operator==(const Done&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Done& d) {
  os << "booked";
  for (const std::string& b : d.booked) os << " " << b;
  os << "; cancelled";
  for (const std::string& c : d.cancelled) os << " " << c;
  return os << "; day record " << d.day_record.dump() << "; line '" << d.line << "'";
}

// The person's writes of the night that its journal confirms ({"ok": n}), by person.
std::map<std::string, Done> Written(const std::string& journal) {
  std::map<int64_t, json> sent;
  std::set<int64_t> ok;
  std::istringstream in(ReadFile(journal));
  for (std::string text; std::getline(in, text);) {
    const json l = json::parse(text);
    if (l.contains("change")) sent[l["n"].get<int64_t>()] = l;
    if (l.contains("ok")) ok.insert(l["ok"].get<int64_t>());
  }
  std::map<std::string, Done> out;
  for (const auto& [n, l] : sent) {
    if (!ok.count(n)) continue;
    const std::string change = l["change"];
    if (change == "insert") {
      out[l["row"]["BchPnr"].get<std::string>()].booked.push_back(l["row"]["BchFcd"]);
    } else if (change == "function" && l["after"]["BchFkt"] == 45) {
      out[l["key"]["BchPnr"].get<std::string>()].cancelled.push_back(
          l["key"]["BchVon"].get<std::string>() + " " + l["key"]["BchUhr"].get<std::string>());
    } else if (change == "day") {
      out[l["key"]["TagPnr"].get<std::string>()].day_record = {l["after"]["TagTgb"],
                                                               l["after"]["TagTgs"]};
    }
  }
  return out;
}

// What an explanation's outcome announces, in the same words.
Done Announced(const json& o) {
  Done d;
  for (const json& b : o["booked"]) d.booked.push_back(b["BchFcd"]);
  for (const json& c : o["cancelled"])
    d.cancelled.push_back(c["BchVon"].get<std::string>() + " " + c["BchUhr"].get<std::string>());
  if (!o["day_record"].is_null())
    d.day_record = {o["day_record"]["TagTgb"], o["day_record"]["TagTgs"]};
  if (!o["parameter_line"].is_null()) d.line = o["parameter_line"];
  return d;
}

void Sort(Done& d) {
  std::sort(d.booked.begin(), d.booked.end());
  std::sort(d.cancelled.begin(), d.cancelled.end());
}

// A generated population: its seed, and parvekctl gen's "today", the day after the accounting
// day: a Sunday (no target time) for 2026-03-02, a Wednesday for 2026-03-05.
struct Population {
  int seed;
  const char* today;
};
constexpr Population kPopulations[] = {{6, "2026-03-02"}, {7, "2026-03-05"}};

class ExplainProperty : public ::testing::TestWithParam<std::string> {};

TEST_P(ExplainProperty, AnnouncesWhatTheNightWrites) {
  const pvt::Backend backend = pvt::BackendNamed(GetParam());
  if (!backend.skip_reason.empty()) GTEST_SKIP() << backend.skip_reason;
  int booked = 0, cancelled = 0, refused = 0;
  for (const Population& pop : kPopulations) {
    SCOPED_TRACE("seed " + std::to_string(pop.seed));
    pvt::TempSchema db;
    std::string why;
    ASSERT_EQ(db.Create(backend, why), 0) << why;
    db.CloseSide();
    pvt::TempDir dir;
    const fs::path work = dir.path();
    std::vector<std::string> gen = {
        "gen", db.net(), db.schema(), "--seed", std::to_string(pop.seed), "--today", pop.today};
    gen.insert(gen.end(), {"--persons", "40", "--days", "15"});
    if (!db.login().empty()) gen.insert(gen.end(), {"--login", db.login()});
    pvt::RunOptions options;
    options.env["PARVEK_PASS"] = db.pass();
    pvt::Result r = pvt::Run(PARVEKCTL_BIN, work, gen, options);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string day = e2e::AccountingDay(db);
    std::string compact = day;
    compact.erase(std::remove(compact.begin(), compact.end(), '-'), compact.end());
    const std::vector<std::string> persons =
        db.Lines("select TagPnr from Krv327Tag where TagTag = " + pvt::Ts(compact));
    ASSERT_EQ(persons.size(), 40u);
    db.CloseSide();

    std::ofstream(work / "settings.ini")
        << JobSettings(db.login(), db.pass(), db.net(), db.schema());
    std::map<std::string, json> outcome;
    for (const std::string& pnr : persons) {
      r = pvt::Run(PARVEKCTL_BIN, work,
                   {"explain", "settings.ini", pnr, "--day", day, "--variant", "KRVNT", "--json"});
      ASSERT_EQ(r.code, 0) << pnr << ": " << r.err;
      outcome[pnr] = json::parse(r.out)["outcome"];
    }
    r = pvt::Run(PARVEKCTL_BIN, work,
                 {"night", "settings.ini", "KRVNT", "D", "--day", day, "--journal", "journal"});
    ASSERT_EQ(r.code, 0) << r.err;

    std::map<std::string, Done> done =
        Written(fs::directory_iterator(work / "journal")->path().string());
    std::istringstream tgb(ReadFile(work / "parvektgb"));
    std::multiset<std::string> lines;
    for (std::string line; std::getline(tgb, line);) lines.insert(line);
    int b = 0, c = 0, x = 0;
    for (const auto& [pnr, o] : outcome) {
      Done announced = Announced(o), did = done[pnr];
      if (!announced.line.empty() && lines.erase(announced.line) == 1) did.line = announced.line;
      Sort(announced);
      Sort(did);
      EXPECT_EQ(announced, did) << pnr << " (announced, then done)";
      b += static_cast<int>(o["booked"].size());
      c += static_cast<int>(o["cancelled"].size());
      x += static_cast<int>(o["refused"].size());
      done.erase(pnr);
    }
    EXPECT_TRUE(lines.empty()) << "parameter lines nobody announced: " << *lines.begin();
    EXPECT_TRUE(done.empty()) << "writes of a person not explained: " << done.begin()->first;
    std::printf("[ %s ] seed %d, day %s: %zu persons, %d booked, %d cancelled, %d refused\n",
                GetParam().c_str(), pop.seed, day.c_str(), persons.size(), b, c, x);
    booked += b, cancelled += c, refused += x;
    if (HasFailure()) dir.Keep();
  }
  // Each kind of outcome was met: the comparison above was not made on empty lists only.
  EXPECT_GT(booked, 0);
  EXPECT_GT(cancelled, 0);
  EXPECT_GT(refused, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, ExplainProperty, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
