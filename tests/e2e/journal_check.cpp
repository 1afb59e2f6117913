// A night with its journal, taken back by parvekctl undo, and the undo taken back in turn.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/e2e_runner.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "tools/settings_record.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace e2e {

namespace fs = std::filesystem;

// The one journal file in `dir` of a night (`undo` false) or of an undo.
std::string OneJournal(const fs::path& dir, bool undo) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() == ".journal" && (name.find("-undo") != std::string::npos) == undo)
      found.push_back(e.path().string());
  }
  EXPECT_EQ(found.size(), 1u) << dir;
  return found.empty() ? "" : found.front();
}

int ExpectUndoRestores(pvt::TempSchema& db, const std::string& param2, const std::string& param3) {
  pvt::TempDir dir;
  const fs::path work = dir.path();
  std::ofstream(work / "settings.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  const std::string day = AccountingDay(db);
  const auto before = DumpAll(db);
  db.CloseSide();
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, work,
                           {"night", "settings.ini", param2, param3, "--day", day, "--journal",
                            "journal"});
  EXPECT_EQ(r.code, 0) << r.err;
  const auto night = DumpAll(db);
  db.CloseSide();

  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", OneJournal(work / "journal", false)});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(DumpDiff(DumpAll(db), before), "")
      << "the undo left the tables other than before the night\n" << r.out;
  db.CloseSide();
  int reverted = 0;
  for (size_t at = r.out.find("\nreverted"); at != std::string::npos;
       at = r.out.find("\nreverted", at + 1))
    ++reverted;
  if (r.out.rfind("reverted", 0) == 0) ++reverted;

  r = pvt::Run(PARVEKCTL_BIN, work, {"undo", OneJournal(work / "journal", true)});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(DumpDiff(DumpAll(db), night), "")
      << "the undo of the undo did not give the night's tables again\n" << r.out;
  db.CloseSide();
  if (::testing::Test::HasFailure()) dir.Keep();
  return reverted;
}

}  // namespace e2e
