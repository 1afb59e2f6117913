// The night's report in a real browser, headless Chromium (Debian's chromium; skipped, with the
// reason, where it is not installed): the pages of the demo night and of a generated night of
// 5,000 persons hold the expected counts and rows, filtering by a type leaves only its rows,
// opening a person shows explain's explanation, the console shows no error, and a screenshot of
// each goes to the build folder (report/). The page runs its own steps when opened with
// "#selftest=..." and writes what it then shows into the DOM (tools/report_page.js).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "tests/tools/report_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using rpt::Ctl;

// The browser: PARVEK_CHROMIUM (set empty: none, and the tests skip), else Debian's chromium in
// /usr/bin (or /usr/local/bin, /bin); empty when there is none.
std::string Chromium() {
  if (const char* named = std::getenv("PARVEK_CHROMIUM")) return named;
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
    if (::access((std::string(dir) + "/chromium").c_str(), X_OK) == 0) return std::string(dir) + "/chromium";
  return "";
}

// Ends every process whose command line names `home` (the browser's helpers that leave its
// process group, such as its crash handler).
void EndProcessesOf(const std::string& home) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* e = ::readdir(proc)) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    const std::string cmd = ReadFile(std::string("/proc/") + e->d_name + "/cmdline");
    if (cmd.find(home) != std::string::npos) ::kill(pid, SIGKILL);
  }
  ::closedir(proc);
}

struct Browsed {
  bool ended = false;  // the browser ended by itself within its time
  std::string out, err;
};

// Opens `url` in headless Chromium with `options`, in a session of its own whose processes are
// all ended and reaped before this returns; at most `seconds`.
Browsed Browse(const std::string& url, const std::vector<std::string>& options, int seconds = 120) {
  // The browser's processes that outlive it are handed to this process, which reaps them.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const pvt::TempDir home;
  std::vector<std::string> args = {Chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                                   "--disable-dev-shm-usage", "--no-first-run",
                                   "--user-data-dir=" + home / "profile", "--enable-logging=stderr",
                                   "--v=0", "--virtual-time-budget=15000"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(url);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    const int out = ::open((home / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((home / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Browsed b;
  int status = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!(b.ended = ::waitpid(pid, &status, WNOHANG) == pid) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(-pid, SIGKILL);
  if (!b.ended) ::waitpid(pid, &status, 0);
  // Every helper ended and reaped (its crash handler leaves the process group), within bounds.
  const auto reap_until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    EndProcessesOf(home.path());
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (::waitpid(-1, nullptr, WNOHANG) != -1 && std::chrono::steady_clock::now() < reap_until);
  b.out = ReadFile(home / "out");
  b.err = ReadFile(home / "err");
  return b;
}

// The page at `file`, opened with the steps `steps`: what it wrote of itself.
json SelfTest(const fs::path& file, const std::string& steps) {
  const Browsed b = Browse("file://" + file.string() + "#selftest=" + steps, {"--dump-dom"});
  EXPECT_TRUE(b.ended) << "the browser did not end within its time";
  const std::optional<std::string> written = rpt::Between(b.out, "<pre id=\"selftest-result\">", "</pre>");
  if (!written) {
    ADD_FAILURE() << "the page wrote no result: " << b.err.substr(0, 2000);
    return json::object();
  }
  std::string text = *written;
  for (const auto& [from, to] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, std::strlen(from), to);
  // Nothing on the console: the page writes none, so any line is an error.
  std::istringstream err(b.err);
  for (std::string line; std::getline(err, line);)
    EXPECT_EQ(line.find(":CONSOLE"), std::string::npos) << line;
  json result = json::parse(text);
  EXPECT_EQ(result["errors"], json::array()) << steps;
  return result;
}

void Screenshot(const fs::path& page, const std::string& name, const std::string& steps) {
  const fs::path shot = fs::path(PARVEK_BUILD_DIR) / "report" / name;
  fs::create_directories(shot.parent_path());
  fs::remove(shot);
  const Browsed b = Browse("file://" + page.string() + "#selftest=" + steps,
                           {"--screenshot=" + shot.string(), "--window-size=1280,2000",
                            "--hide-scrollbars"});
  EXPECT_TRUE(b.ended);
  ASSERT_TRUE(fs::exists(shot)) << b.err.substr(0, 2000);
  EXPECT_GT(fs::file_size(shot), 10000u);
}

std::set<std::string> Set(const json& j) { return std::set<std::string>(j.begin(), j.end()); }

class ReportInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Chromium().empty())
      GTEST_SKIP() << "headless Chromium is not installed (Debian's chromium: "
                      "scripts/packages.sh install test installs it)";
  }
};

TEST_F(ReportInBrowser, DemoNight) {
  rpt::DemoNight demo;
  ASSERT_EQ(Ctl(demo.dir, {"report", "journal", "--log", "parvek.log", "-o", "page.html"}).code, 0);
  const fs::path page = demo.dir / "page.html";
  json r = SelfTest(page, "");
  EXPECT_EQ(r["status"], "WARNING");
  EXPECT_EQ(r["total"], 5);
  EXPECT_EQ(r["visible"], 5);
  r = SelfTest(page, "filter:KRF");
  EXPECT_EQ(Set(r["pnrs"]), (std::set<std::string>{"1001", "1003", "1004", "1005"}));
  for (const auto& types : r["types"]) EXPECT_NE(types.get<std::string>().find("KRF"), std::string::npos);
  r = SelfTest(page, "filter:SCH");
  EXPECT_EQ(r["pnrs"], json::array({"1004"}));
  r = SelfTest(page, "outcome:refused;sort:0;sort:0");
  EXPECT_EQ(r["pnrs"], json::array({"1006", "1005"}));
  r = SelfTest(page, "open:1004");
  ASSERT_TRUE(r["opened"].is_object());
  EXPECT_EQ(r["opened"]["text"], rpt::Explained(demo.journal, "1004"));
  Screenshot(page, "demo.png", "open:1004");
}

TEST_F(ReportInBrowser, GeneratedNightOf5000Persons) {
  const pvt::TempDir tmp;
  const fs::path dir = tmp.path();
  ASSERT_EQ(Ctl(dir, pvt::Words("gen sqlite:" + tmp.path() + " P --persons 5000 --days 30 --seed 11")).code, 0);
  const std::string net8 = "sqlite:" + tmp.path();
  for (const auto& [key, value] : {std::pair{"LOGIN", "x"}, {"PASS", "x"}, {"NET8", net8.c_str()},
                                   {"SCHEMA", "P#"}})
    ASSERT_EQ(Ctl(dir, {"settings-set", "s.ini", key, value}).code, 0);
  ASSERT_EQ(Ctl(dir, {"night", "s.ini", "XXX", "D", "--journal", "j"}).code, 0);
  ASSERT_EQ(Ctl(dir, {"report", "j", "--log", "parvek.log", "-o", "page.html"}).code, 0);
  const std::string html = ReadFile(dir / "page.html");
  // Every person with a follow-up is listed in the parameter file, and is a row.
  std::vector<std::string> listed;
  std::istringstream params(ReadFile(dir / "parvektgb"));
  for (std::string line; std::getline(params, line);)
    listed.push_back(line.substr(0, std::min(line.find(' '), line.find(','))));
  ASSERT_GT(listed.size(), 500u);
  EXPECT_EQ(rpt::Figure(html, "g-followups"), static_cast<long long>(listed.size()));
  EXPECT_EQ(rpt::Figure(html, "g-persons"), 5000);
  const std::vector<std::string> rows = rpt::Rows(html);
  const std::set<std::string> row_set(rows.begin(), rows.end());
  for (const std::string& pnr : listed) EXPECT_TRUE(row_set.count(pnr)) << pnr;

  const fs::path page = dir / "page.html";
  json r = SelfTest(page, "filter:KRF;sort:0");
  EXPECT_EQ(r["total"], rows.size());
  EXPECT_EQ(r["status"], "OK");
  const std::regex krf("data-t=\"[^\"]* KRF [^\"]*\"");
  EXPECT_EQ(r["visible"], std::distance(std::sregex_iterator(html.begin(), html.end(), krf),
                                        std::sregex_iterator()));
  for (const auto& types : r["types"]) EXPECT_NE(types.get<std::string>().find("KRF"), std::string::npos);
  std::vector<std::string> shown = r["pnrs"];
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  r = SelfTest(page, "open:" + listed.front());
  EXPECT_EQ(r["opened"]["text"], rpt::Explained(rpt::OnlyFile(dir / "j"), listed.front()));
  Screenshot(page, "generated-5000.png", "filter:KRF;open:" + listed.front());
}

}  // namespace
