// The demo that the guides describe: parvekctl demo-create, then one night of the program on
// it, gives the outcome the demo table of doc/operating.md promises for each person.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

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

}  // namespace
