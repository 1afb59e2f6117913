// The demo that the guides describe: parvekctl demo-create, then one night of the program on
// it, gives the outcome the demo table of doc/operating.md promises for each person; parvekctl
// explain tells that outcome and its reasons before the night and from its journal after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"

#ifndef PARVEK_BIN
#error "PARVEK_BIN must name the program under test"
#endif
#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name the companion program"
#endif

namespace {

namespace fs = std::filesystem;

TEST(Demo, OneNightGivesTheDocumentedOutcome) {
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "demo";
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  // The settings file holds the password: its owner's alone.
  EXPECT_EQ(fs::status(dir / "parvek.ini").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A second demo in the same place is refused rather than overwriting the first.
  ASSERT_NE(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);

  r = pvt::Run(PARVEK_BIN, dir, {"parvek.ini", "XXX", "D"}, {{}, "", tmp.path()});
  ASSERT_EQ(r.code, 0) << r.err;

  const std::string y = pvt::LocalDay(-1);
  const std::string date = y.substr(6, 2) + "." + y.substr(4, 2) + "." + y.substr(0, 4);
  EXPECT_EQ(ReadFile(dir / "parvektgb"),
            "1001    ," + date + "\n1003    ," + date + "\n1004    ," + date + "\n");
  const std::string log = ReadFile(dir / "parvek.log");
  for (const std::string& line :
       {"Info: Buchung eingepflegt! RC:0 Pnr:1001 Tag:" + y + " Fkt:1 Fcd:KRF\n",
        "Info: Buchung eingepflegt! RC:0 Pnr:1003 Tag:" + y + " Fkt:1 Fcd:KRF\n",
        "Info: Buchung eingepflegt! RC:0 Pnr:1004 Tag:" + y + " Fkt:1 Fcd:KRF\n",
        "Info: (Fcd) in BchSatz hat höhere Priorität Pnr:1005 Tag:" + y + " Fcd:SUR\n",
        "Info: Folgemeldungsart mit Sollzeitprüfung! Pnr:1006 Tag:" + y + " ParVek:KUF\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
  }
  EXPECT_EQ(log.find("Pnr:1002"), std::string::npos) << log;

  // The cancelled training shows in the companion's table, reached through the job's settings.
  r = pvt::Run(PARVEKCTL_BIN, tmp.path(),
               {"show", "--settings", (dir / "parvek.ini").string(), "--days", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("45 cancelled       SCH   Korvant"), std::string::npos) << r.out;
}

// Two demos whose settings both say "sqlite:." are two databases: a journal of one is not
// undone on the other, whatever directory the undo starts from; the same database reached by
// another NET8 text is the journal's.
TEST(Demo, UndoTakesBackOnlyOnTheJournalsOwnDatabase) {
  const pvt::TempDir tmp;
  const fs::path x = fs::path(tmp.path()) / "x", y = fs::path(tmp.path()) / "y";
  for (const fs::path& d : {x, y}) {
    ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", d.string()}).code, 0);
    fs::copy_file(d / "parvek.ini", d / "absolute.ini");
    ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, d, {"settings-set", "parvek.ini", "NET8", "sqlite:."}).code,
              0);
  }
  pvt::Result r =
      pvt::Run(PARVEKCTL_BIN, x, {"night", "parvek.ini", "XXX", "D", "--journal", "journal"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string journal =
      (x / "journal" / fs::directory_iterator(x / "journal")->path().filename()).string();
  const auto table = [&](const fs::path& d) {
    return pvt::Run(PARVEKCTL_BIN, d, {"show", "--settings", "parvek.ini", "--days", "2"}).out;
  };
  const std::string y_before = table(y);
  r = pvt::Run(PARVEKCTL_BIN, y, {"undo", journal, "--settings", "parvek.ini"});
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("names another database"), std::string::npos) << r.err;
  EXPECT_EQ(table(y), y_before);
  EXPECT_FALSE(fs::exists(y / "parvektgb.undo"));
  r = pvt::Run(PARVEKCTL_BIN, y,
               {"undo", journal, "--preview", "--settings", (x / "absolute.ini").string()});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("would revert"), std::string::npos) << r.out;
}

// A journal written before journals recorded the database's identity is matched by its NET8
// text, as the parvekctl of its time masked it: a NET8 whose secret that one left readable (a
// directory named like a password parameter) still names the journal's database, and the
// journal's NET8 is printed masked.
TEST(Demo, UndoMatchesAJournalWithoutIdentityByItsNet8MaskedAsToday) {
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "d;PWD = geheim";
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);
  ASSERT_EQ(
      pvt::Run(PARVEKCTL_BIN, dir, {"night", "parvek.ini", "XXX", "D", "--journal", "j"}).code, 0);
  const fs::path journal = fs::directory_iterator(dir / "j")->path();
  std::string text = ReadFile(journal);
  const std::string header = text.substr(0, text.find('\n'));
  std::string old = std::regex_replace(header, std::regex("\"identity\":\"[^\"]*\","), "");
  old = std::regex_replace(old, std::regex("\"net8\":\"[^\"]*\""),
                           "\"net8\":\"sqlite:" + dir.string() + "\"");
  ASSERT_NE(old, header);
  std::ofstream(journal, std::ios::binary) << old << text.substr(header.size());
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir, {"undo", journal.string(), "--preview"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("would revert"), std::string::npos) << r.out;
  // Another schema is refused, the journal's NET8 shown masked.
  r = pvt::Run(PARVEKCTL_BIN, dir, {"settings-set", "parvek.ini", "SCHEMA", "OTHER#"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = pvt::Run(PARVEKCTL_BIN, dir, {"undo", journal.string(), "--preview"});
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("names another database"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("than the journal's (NET8 sqlite:" + tmp.path() +
                       "/d;PWD = ********, schema PERSONAL)"),
            std::string::npos)
      << r.err;
}

// A second night of the same day (--force) with its journal: the run log shows no error, and
// neither does the journal's closing line. The cancellation that meets the first night's
// cancelled training is refused once by design and counted as unchanged, not as failed.
TEST(Demo, RerunsJournalCountsNoFailureTheRunLogDoesNotShow) {
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "demo";
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);
  const std::vector<std::string> night = {"night", "parvek.ini", "XXX", "D", "--journal", "j"};
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, dir, night, {{}, "", tmp.path()}).code, 0);
  std::vector<std::string> force = night;
  force.push_back("--force");
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, dir, force, {{}, "", tmp.path()}).code, 0);
  EXPECT_EQ(ReadFile(dir / "parvek.log").find("Fehler"), std::string::npos);
  std::vector<std::string> ends;
  for (const auto& e : fs::directory_iterator(dir / "j")) {
    const std::string text = ReadFile(e.path());
    ends.push_back(text.substr(text.rfind("{\"days\"")));
  }
  ASSERT_EQ(ends.size(), 2u);
  int unchanged = 0;
  for (const std::string& end : ends) {
    EXPECT_NE(end.find("\"failed\":0,"), std::string::npos) << end;
    unchanged += end.find("\"unchanged\":1}") != std::string::npos;
  }
  EXPECT_EQ(unchanged, 1) << ends[0] << ends[1];
}

// ---- explain on the demo ----------------------------------------------------------------

using nlohmann::json;

// What an explanation's outcome says, in one line: "booked KRF; cancelled SCH; refused KRF why;
// listed".
std::string Said(const json& o) {
  std::string s;
  for (const json& b : o["booked"]) s += "booked " + b["BchFcd"].get<std::string>() + "; ";
  for (const json& c : o["cancelled"]) s += "cancelled " + c["BchFcd"].get<std::string>() + "; ";
  for (const json& r : o["refused"])
    s += "refused " + r["FcdNum"].get<std::string>() + " " + r["why"].get<std::string>() + "; ";
  return s + (o["parameter_line"].is_null() ? "not listed" : "listed");
}

// The step, kind and outcome of each decision, in order.
std::vector<std::string> Decisions(const json& j) {
  std::vector<std::string> out;
  for (const json& s : j["steps"])
    out.push_back(s["step"].get<std::string>() + "/" + s["kind"].get<std::string>() + "/" +
                  s["outcome"].get<std::string>());
  return out;
}

// Every file of `dir` with a hash of its bytes, but the database's lock file (it stays beside the
// database file once anyone took the lock).
std::map<std::string, size_t> Files(const fs::path& dir) {
  std::map<std::string, size_t> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.find("-parvek.lock") == std::string::npos)
      out[fs::relative(e.path(), dir).string()] = std::hash<std::string>{}(ReadFile(e.path()));
  }
  return out;
}

struct DemoPerson {
  std::string pnr, said;
  std::vector<std::string> lines;  // sentences of the text; {D}, {D1}: the day and the one before
};

// Before the night explain names each person's outcome and its reasons, and keeps nothing; after
// it the journal tells the same, and the parameter file holds the lines explain announced.
TEST(Demo, ExplainTellsTheSameBeforeAndAfterTheNight) {
  const std::vector<DemoPerson> persons = {
      {"1001",
       "booked KRF; listed",
       {"its day code KRA is continued as KRF: this is the reference day, found through its day "
        "messages."}},
      {"1002",
       "not listed",
       {"its day code URL has no follow-up: the search stops here; older days are not looked at",
        "Outcome: nothing booked; no parameter line."}},
      {"1003",
       "booked KRF; listed",
       {"2 hour bookings within 07:00–16:00: this is the reference day, found through its hour "
        "messages.",
        "KRH (function 24) at 13:30 on {D1}: continued as KRF (kind 1"}},
      {"1004",
       "booked KRF; cancelled SCH; listed",
       {"SCH (function 1) at 00:00 on {D} (priority 30) ranks below KRF (priority 20): the "
        "booking is cancelled (function 45).",
        "Outcome: booked KRF; cancelled SCH at 00:00; listed in the parameter file."}},
      {"1005",
       "refused KRF ranks-higher-blocks; not listed",
       {"SUR (function 1) at 00:00 on {D} (priority 5) ranks above KRF (priority 20): KRF is not "
        "booked."}},
      {"1006",
       "refused KUF no-target-time; not listed",
       {"KUF is only booked on days with a target time; {D} has target time 0: nothing is "
        "booked."}}};
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "demo";
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);
  const auto dashed = [](const std::string& d) {
    return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  };
  const std::map<std::string, std::string> days = {{"{D}", dashed(pvt::LocalDay(-1))},
                                                   {"{D1}", dashed(pvt::LocalDay(-2))}};
  const std::vector<std::string> show = {"show", "--settings", "parvek.ini", "--days", "3"};
  const pvt::RunOptions aside = {{}, "", tmp.path()};  // the runs' output files not in `dir`
  const std::string rows = pvt::Run(PARVEKCTL_BIN, dir, show, aside).out;
  const auto files = Files(dir);

  const auto explain = [&](std::vector<std::string> args, bool as_json) {
    args.insert(args.begin(), "explain");
    if (as_json) args.push_back("--json");
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir, args, aside);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  };
  std::map<std::string, json> before;
  std::map<std::string, std::string> before_text;
  for (const DemoPerson& p : persons) {
    before[p.pnr] = json::parse(explain({"parvek.ini", p.pnr}, true));
    before_text[p.pnr] = explain({"parvek.ini", p.pnr}, false);
  }
  EXPECT_EQ(pvt::Run(PARVEKCTL_BIN, dir, show, aside).out, rows);
  EXPECT_EQ(Files(dir), files) << "explain changed a file of the demo's directory";
  EXPECT_FALSE(fs::exists(dir / "parvek.log"));
  EXPECT_FALSE(fs::exists(dir / "parvektgb"));

  const pvt::Result night = pvt::Run(
      PARVEKCTL_BIN, dir, {"night", "parvek.ini", "XXX", "D", "--journal", "journal"}, aside);
  ASSERT_EQ(night.code, 0) << night.err;
  const std::string journal = fs::directory_iterator(dir / "journal")->path().string();
  const auto last_line = [](const std::string& t) {
    return t.substr(t.rfind('\n', t.size() - 2) + 1);
  };
  std::string listed;
  for (const DemoPerson& p : persons) {
    SCOPED_TRACE(p.pnr);
    const json& b = before[p.pnr];
    const json a = json::parse(explain({"--journal", journal, p.pnr}, true));
    EXPECT_EQ(b["source"].get<std::string>().rfind("before the night", 0), 0u) << b["source"];
    EXPECT_EQ(a["source"].get<std::string>().rfind("after the night", 0), 0u) << a["source"];
    EXPECT_EQ(Said(b["outcome"]), p.said);
    EXPECT_EQ(a["outcome"], b["outcome"]);
    EXPECT_EQ(Decisions(a), Decisions(b));
    if (!b["outcome"]["parameter_line"].is_null())
      listed += b["outcome"]["parameter_line"].get<std::string>() + "\n";

    const std::string after_text = explain({"parvek.ini", "--journal", journal, p.pnr}, false);
    const std::string& text = before_text[p.pnr];
    EXPECT_EQ(last_line(after_text), last_line(text));  // "  Outcome: ..."
    for (std::string line : p.lines) {
      for (const auto& [token, day] : days)
        if (const size_t at = line.find(token); at != std::string::npos)
          line.replace(at, token.size(), day);
      EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
      EXPECT_NE(after_text.find(line), std::string::npos) << line << "\nin:\n" << after_text;
    }
  }
  EXPECT_EQ(ReadFile(dir / "parvektgb"), listed);
}

// Wrong input and a person the night does not work on: one line on standard error, nothing on
// standard output.
TEST(Demo, ExplainRefusesBadInputInOneLine) {
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "demo";
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"parvek.ini", "9999"}, 1, "no such person number"},
      {{"parvek.ini", "1001", "--day", "2026-13-01"}, 2, "--day 2026-13-01 is no date"},
      {{"parvek.ini", "10,01"}, 2, "'10,01' is no person number"},
      {{"--journal", "parvek.ini", "1001"}, 2, "parvek.ini is no journal"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"explain"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("--json");
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir, args, {{}, "", tmp.path()});
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

// A code stored in another encoding than UTF-8 (here Latin-1 "XÄ" in place of the training
// SCH): the night with its journal, and explain before and after it, run to their end; the JSON
// stays parseable, the byte shown as U+FFFD.
TEST(Demo, ExplainAndTheJournalTakeACodeThatIsNoUtf8) {
  const pvt::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "demo";
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, tmp.path(), {"demo-create", dir.string()}).code, 0);
  const pvt::Result sql = pvt::Run(
      "/usr/bin/sqlite3", dir,
      {"PERSONAL.db",
       "insert into Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, "
       "FcdFlg, FcdSta) values (CAST(X'58C4' AS TEXT), 1, 1, 0, 0, 30, 0, NULL, NULL, 0); "
       "update Krv321Bch set BchFcd = CAST(X'58C4' AS TEXT) where BchFcd = 'SCH'"});
  if (sql.code != 0) GTEST_SKIP() << "the sqlite3 shell is missing: " << sql.err;
  const auto outcome = [&](const std::vector<std::string>& args) {
    const pvt::Result r = pvt::Run(PARVEKCTL_BIN, dir, args, {{}, "", tmp.path()});
    EXPECT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out, nullptr, false);
    return j.is_discarded() ? std::string("no JSON: ") + r.out : j["outcome"].dump();
  };
  const std::string before = outcome({"explain", "parvek.ini", "1004", "--json"});
  EXPECT_NE(before.find("\"X\xEF\xBF\xBD\""), std::string::npos) << before;
  const pvt::Result night =
      pvt::Run(PARVEKCTL_BIN, dir, {"night", "parvek.ini", "XXX", "D", "--journal", "j"},
               {{}, "", tmp.path()});
  ASSERT_EQ(night.code, 0) << night.err;
  std::string journal;
  for (const auto& e : fs::directory_iterator(dir / "j")) journal = e.path().string();
  EXPECT_EQ(outcome({"explain", "--journal", journal, "1004", "--json"}), before);
}

}  // namespace
