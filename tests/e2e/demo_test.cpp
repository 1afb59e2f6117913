// The demo that the README describes: parvekctl demo-create, then one night of the program on
// it, gives the outcome the README's table promises for each person.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/files.h"
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
  char tmpl[] = "/tmp/parvek-demo-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = fs::path(tmpl) / "demo";
  const std::string create = std::string(PARVEKCTL_BIN) + " demo-create " + dir.string() + " >/dev/null";
  ASSERT_EQ(std::system(create.c_str()), 0);
  // The settings file holds the password: its owner's alone.
  EXPECT_EQ(fs::status(dir / "parvek.ini").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A second demo in the same place is refused rather than overwriting the first.
  ASSERT_NE(std::system((create + " 2>/dev/null").c_str()), 0);

  const std::string run = "cd " + dir.string() + " && env -u PARVEK_DBG " + PARVEK_BIN + " parvek.ini XXX D";
  ASSERT_EQ(std::system(run.c_str()), 0);

  const std::string y = pvt::LocalDay(-1);
  const std::string date = y.substr(6, 2) + "." + y.substr(4, 2) + "." + y.substr(0, 4);
  EXPECT_EQ(ReadFile(dir / "parvektgb"), "1001    ," + date + "\n1003    ," + date + "\n1004    ," + date + "\n");
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
  const std::string show = std::string(PARVEKCTL_BIN) + " show --settings " + (dir / "parvek.ini").string() +
                           " --days 2 > " + (dir / "show.txt").string();
  ASSERT_EQ(std::system(show.c_str()), 0);
  EXPECT_NE(ReadFile(dir / "show.txt").find("45 cancelled       SCH   Korvant"), std::string::npos)
      << ReadFile(dir / "show.txt");
  fs::remove_all(tmpl);
}

}  // namespace
