// parvekctl report on real nights of the demo: the page holds the night's figures, its persons
// with explain's own explanations and nothing from outside; a night killed or refused says so
// at the top; a folder gives the nights over time; wrong use is refused. (The page in a browser:
// report_browser_test.cpp.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/tools/report_support.h"

namespace {

namespace fs = std::filesystem;
using rpt::Ctl;

std::string Page(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"report"};
  all.insert(all.end(), args.begin(), args.end());
  all.insert(all.end(), {"-o", "page.html"});
  const pvt::Result r = Ctl(dir, all);
  EXPECT_EQ(r.code, 0) << r.err;
  return ReadFile(dir / "page.html");
}

// The journal `from` without its lines from the first that holds `cut` on, as a killed night
// leaves it, or with `tail` in their place.
fs::path Cut(const fs::path& from, const fs::path& to, const std::string& cut,
             const std::string& tail = "") {
  const std::string text = ReadFile(from);
  std::ofstream(to, std::ios::binary) << text.substr(0, text.rfind('\n', text.find(cut)) + 1)
                                      << tail;
  return to;
}

TEST(Report, DemoNightAtAGlanceWithExplainsOwnExplanations) {
  rpt::DemoNight demo;
  const std::string page = Page(demo.dir, {"journal", "--log", "parvek.log"});
  struct stat st {};
  ASSERT_EQ(::stat((demo.dir / "page.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // As log-check says it: the refusal under the target-time check is a warning.
  EXPECT_EQ(rpt::Status(page), "WARNING");
  EXPECT_NE(page.find("PARVEK WARNING - 3 follow-ups, 1 refused, 0 errors"), std::string::npos);
  const std::map<std::string, long long> figures = {
      {"g-persons", 6},       {"g-touched", 5}, {"g-followups", 3},
      {"g-cancellations", 1}, {"g-refusals", 2}, {"g-errors", 0}};
  for (const auto& [id, n] : figures) EXPECT_EQ(rpt::Figure(page, id), n) << id;
  EXPECT_NE(page.find("<th scope=\"row\">SCH</th><td class=\"n\" data-n=\"1\">"), std::string::npos);
  EXPECT_NE(page.find("<th scope=\"row\">no target time on the day</th>"), std::string::npos);
  // 1002's leave has no follow-up: nothing touched it.
  EXPECT_EQ(rpt::Rows(page), (std::vector<std::string>{"1001", "1003", "1004", "1005", "1006"}));
  const auto explanations = rpt::Explanations(page);
  ASSERT_EQ(explanations.size(), 5u);
  for (const auto& [pnr, text] : explanations) EXPECT_EQ(text, rpt::Explained(demo.journal, pnr));
  // Self-contained: nothing is fetched, and the page says where it came from.
  for (const char* outside : {"http:", "https:", " src=", "<link", "@import", "url("})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  EXPECT_NE(page.find("parvekctl " PARVEK_VERSION), std::string::npos);
  EXPECT_NE(page.find(demo.journal.filename().string() + " (the night above)"), std::string::npos);
}

// A code is shown as the database holds it, never read as markup.
TEST(Report, CodesAreTextNotMarkup) {
  rpt::DemoNight demo;
  std::string text = ReadFile(demo.journal);
  for (size_t at; (at = text.find("\"SCH\"")) != std::string::npos;)
    text.replace(at, 5, "\"S<i>&\\\"\"");
  std::ofstream(demo.dir / "odd.journal", std::ios::binary) << text;
  const std::string page = Page(demo.dir, {"odd.journal"});
  EXPECT_EQ(page.find("S<i>"), std::string::npos);
  EXPECT_NE(page.find("<td>S&lt;i&gt;&amp;&quot; at 00:00</td>"), std::string::npos);
  EXPECT_NE(page.find("\\u003ci>"), std::string::npos);  // in the explanations' JSON
}

TEST(Report, NightThatDidNotFinishSaysSoAtTheTop) {
  rpt::DemoNight demo;
  // Killed after its second follow-up: no closing line, the last decision cut short.
  Cut(demo.journal, demo.dir / "killed.journal", "\"p\":\"1004\"", "{\"p\":\"1004\",\"s\":\"da");
  const std::string page = Page(demo.dir, {"killed.journal"});
  EXPECT_EQ(rpt::Status(page), "CRITICAL");
  EXPECT_NE(page.find("the last run did not finish (killed?): 2 follow-ups"), std::string::npos);
  EXPECT_NE(page.find("did not finish (no closing line in the journal)"), std::string::npos);
  EXPECT_EQ(page.find("PARVEK OK"), std::string::npos);
  EXPECT_EQ(rpt::Rows(page), (std::vector<std::string>{"1001", "1003"}));
  EXPECT_NE(page.find("1 decision lines of the journal could not be read"), std::string::npos);
}

TEST(Report, RefusedNightSaysSoAtTheTop) {
  rpt::DemoNight demo;
  // The next night finds another run holding the working directory and is refused: it leaves
  // no journal, and the events beside the run log say so.
  const int lock = ::open(demo.dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  EXPECT_EQ(Ctl(demo.dir, {"night", "parvek.ini", "XXX", "D", "--journal", "journal", "--force",
                           "--wait", "0"}).code, 2);
  ::close(lock);
  std::string page = Page(demo.dir, {"journal", "--log", "parvek.log"});
  EXPECT_EQ(rpt::Status(page), "CRITICAL");
  EXPECT_NE(page.find("a night was refused at "), std::string::npos);
  // A journal whose night ended refused (the database records its day as done).
  Cut(demo.journal, demo.dir / "refused.journal", "\"p\":",
      "{\"days\":0,\"deleted\":0,\"end\":\"error\",\"failed\":0,\"functions\":0,\"inserted\":0,"
      "\"rc\":6,\"unchanged\":0}\n");
  page = Page(demo.dir, {"refused.journal"});
  EXPECT_EQ(rpt::Status(page), "CRITICAL");
  EXPECT_NE(page.find("refused at "), std::string::npos);
  EXPECT_NE(page.find("the database records a finished night of its day"), std::string::npos);
  EXPECT_EQ(page.find("PARVEK OK"), std::string::npos);
}

TEST(Report, FolderDrawsTheNightsOverTimeAndLeavesOutOthers) {
  // An older night of another database, named beside the folder.
  rpt::DemoNight other;
  rpt::DemoNight demo;
  ASSERT_EQ(Ctl(demo.dir, {"night", "parvek.ini", "XXX", "D", "--journal", "journal", "--force"}).code, 0);
  fs::path rerun;
  for (const auto& e : fs::directory_iterator(demo.dir / "journal"))
    if (e.path() != demo.journal) rerun = e.path();
  ASSERT_FALSE(rerun.empty());
  // The rerun taken back leaves an undo's journal beside them.
  ASSERT_EQ(Ctl(demo.dir, {"undo", rerun.string()}).code, 0);
  const std::string page = Page(demo.dir, {"journal", other.journal.string()});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page, m, std::regex("id=\"chart-followups\" data-nights=\"(\\d+)\"")));
  EXPECT_EQ(m[1], "2");
  EXPECT_EQ(page.find("id=\"nights-one\""), std::string::npos);
  EXPECT_NE(page.find(rerun.filename().string() + " (the night above)"), std::string::npos);
  EXPECT_NE(page.find("-undo.journal: an undo&#39;s journal"), std::string::npos);
  EXPECT_NE(page.find(other.journal.string() + ": another database"), std::string::npos);
  // The rerun cancelled and booked its three follow-ups again.
  EXPECT_EQ(rpt::Figure(page, "g-followups"), 3);
  EXPECT_TRUE(std::regex_search(page, std::regex("class=\"night\" data-day=\"\\d{8}\" data-total=\"3\"")));
}

TEST(Report, WrongUseIsRefusedAndWritesNothing) {
  rpt::DemoNight demo;
  std::ofstream(demo.dir / "not.journal") << "hello\n";
  const std::vector<std::vector<std::string>> wrong = {
      {"report", "journal"},                                          // no page named
      {"report", "not.journal", "-o", "page.html"},                   // no journal
      {"report", "journal", "--log", "missing.log", "-o", "page.html"},  // no run log
      {"report", "journal", "-o", "no/such/dir/page.html"}};          // cannot be written
  for (const auto& args : wrong) {
    const pvt::Result r = Ctl(demo.dir, args);
    EXPECT_EQ(r.code, 2) << args[1] << r.out << r.err;
    EXPECT_FALSE(fs::exists(demo.dir / "page.html"));
  }
}

}  // namespace
