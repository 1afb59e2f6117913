// The order in which undo takes back the journals of one database and accounting day: which later
// journals still stand, from the journals found beside the one to take back and in its night's
// folder, written here as nights and undos leave them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tools/journal_format.h"
#include "tools/journal_order.h"

namespace {

namespace fs = std::filesystem;

// A journal of the case: started `t` minutes after 04:00, a night's or (`undoes` another t) an
// undo's, that committed a write (`changed`) or whose every write failed.
struct J {
  int t;
  int undoes = 0;
  const char* end = "normal";  // "error", or "" for a run that was killed
  bool changed = true;
  // "db", "day": of another database or day; "old": of a version without identity, folder and
  // precise start; "broken": a line cut inside; "gone": not there (removed since).
  std::string quirk = "";
};

struct Case {
  const char* name;
  std::vector<J> journals;
  int undo;               // the t of the journal taken back
  std::vector<int> want;  // the later journals that still stand, newest first
  bool copy = false;      // the journal is taken back from a copy in another folder
};

std::string Two(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }
std::string Name(int t, bool undo) {
  return "parvek-20261209-20261210T04" + Two(t) + "00" + (undo ? "-undo" : "") + ".journal";
}

void Write(const fs::path& night, const J& j, const std::vector<J>& all) {
  JournalHeader h;
  h.kind = j.undoes != 0 ? journal::kUndo : journal::kNight;
  h.day = j.quirk == "day" ? "20261208" : "20261209";
  h.start = "20261210T04" + Two(j.t) + "00";
  h.schema = "S";
  h.net8 = "sqlite:.";
  if (j.quirk != "old") {
    h.identity = j.quirk == "db" ? "sqlite:2:2/S" : "sqlite:1:1/S";
    h.started_us = 1'800'000'000'000'000 + j.t * 60'000'000LL;
    h.folder = night.string();
  }
  for (const J& target : all)
    if (target.t == j.undoes) h.undoes = (night / Name(target.t, target.undoes != 0)).string();
  std::ofstream out(night / Name(j.t, j.undoes != 0));
  out << journal::HeaderLine(h).dump() << "\n"
      << journal::RowLine(1, journal::Change::kInsert, {{"BchPnr", "1"}}).dump() << "\n"
      << (j.changed ? journal::OkLine(1) : journal::FailedLine(1, -1)).dump() << "\n";
  if (j.quirk == "broken") out << "{\"n\":2,\"chan\n";
  if (*j.end != '\0') out << journal::EndLine({std::string(j.end) == "normal"}).dump() << "\n";
}

TEST(JournalOrder, LaterJournalsThatStillStand) {
  const std::vector<Case> cases = {
      {"a later night stands", {{1}, {2}}, 1, {2}},
      {"several, newest first", {{1}, {2}, {3}}, 1, {3, 2}},
      {"a later night changed nothing", {{1}, {2, 0, "normal", false}}, 1, {}},
      {"an earlier night is no matter", {{1}, {2}}, 2, {}},
      {"the later night was undone", {{1}, {2}, {3, 2}}, 1, {}},
      {"its undo was killed", {{1}, {2}, {3, 2, ""}}, 1, {2}},
      {"its undo failed", {{1}, {2}, {3, 2, "error"}}, 1, {2}},
      {"its undo was undone in turn", {{1}, {2}, {3, 2}, {4, 3}}, 1, {2}},
      {"a killed undo of the journal itself", {{1}, {2, 1, ""}}, 1, {}},
      {"an undo's undo waits for a later undo", {{1}, {2}, {3, 2}, {4, 1}}, 3, {4}},
      {"...that was undone in turn", {{1}, {2}, {3, 2}, {4, 1}, {5, 4}}, 3, {}},
      {"an undo of a journal since removed", {{1}, {2, 0, "normal", true, "gone"}, {3, 2}}, 1, {}},
      {"of another database or day",
       {{1}, {2, 0, "normal", true, "db"}, {3, 0, "", true, "day"}},
       1,
       {}},
      {"older journals, by NET8 text, schema and start",
       {{1, 0, "normal", true, "old"}, {2, 0, "normal", true, "old"}},
       1,
       {2}},
      {"a later journal that cannot be read", {{1}, {2, 0, "normal", true, "broken"}}, 1, {2}},
      {"taken back from a copy elsewhere", {{1}, {2}}, 1, {2}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const pvt::TempDir tmp;
    const fs::path night = fs::path(tmp.path()) / "journal";
    fs::create_directories(night);
    for (const J& j : c.journals)
      if (j.quirk != "gone") Write(night, j, c.journals);
    const J& x = *std::find_if(c.journals.begin(), c.journals.end(),
                               [&](const J& j) { return j.t == c.undo; });
    std::string path = (night / Name(x.t, x.undoes != 0)).string();
    if (c.copy) {
      fs::create_directories(fs::path(tmp.path()) / "elsewhere");
      const fs::path copy = fs::path(tmp.path()) / "elsewhere" / "night.journal";
      fs::copy_file(path, copy);
      path = copy.string();
    }
    journal::Journal read;
    std::string why;
    ASSERT_TRUE(journal::Read(path, read, why)) << why;
    const auto day = journal::JournalsOfTheDay(path, *read.header);
    std::vector<int> standing;
    for (const journal::Found* f : journal::StandingAfter(path, *read.header, day))
      standing.push_back(std::stoi(fs::path(f->path).filename().string().substr(27, 2)));
    EXPECT_EQ(standing, c.want);
  }
}

}  // namespace
