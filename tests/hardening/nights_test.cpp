// parvekctl nights: many companies' nights, at most K at a time, each in its own working
// directory under its database's lock, their parameter files joined in the settings files' order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/harness.h"
#include "tests/support/testdb.h"

#ifndef PARVEKCTL_BIN
#error "PARVEKCTL_BIN must name parvekctl"
#endif

namespace {

// A company: an SQLite schema whose persons, `prefix` and a number, are each ill the day before
// the accounting day, so that each gets a follow-up and a parameter line.
std::unique_ptr<hard::Night> Company(const std::string& prefix, int persons) {
  auto night = std::make_unique<hard::Night>();
  std::string rows = hard::IllTypes(), why;
  for (int i = 0; i < persons; ++i) rows += hard::IllPerson(prefix + std::to_string(1000 + i));
  EXPECT_EQ(night->Setup(pvt::BackendNamed("sqlite"), rows, why), 0) << why;
  return night;
}

using Companies = std::vector<std::unique_ptr<hard::Night>>;

// The host's night slots of these tests: a directory of their own, not the host's /run/lock.
const std::string& Slots() {
  static const hard::TempDir dir;
  return dir.path();
}

// `parvekctl nights` over the companies' settings files, in this order, in `dir`.
std::vector<std::string> NightsArgs(const Companies& cs, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"nights", "--slots", Slots()};
  for (const auto& c : cs) args.push_back(c->settings_path());
  args.insert(args.end(), options.begin(), options.end());
  return args;
}
hard::Result Nights(const Companies& cs, const std::string& dir,
                    const std::vector<std::string>& options) {
  return hard::Run(PARVEKCTL_BIN, dir, NightsArgs(cs, options));
}

// Holds slot `i` of the host's night slots, as a night started elsewhere does.
int HoldSlot(int i) {
  const int fd = ::open((Slots() + "/parvek-night-" + std::to_string(i) + ".lock").c_str(),
                        O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

std::string Params(const hard::Night& c) { return hard::ReadFile(c.work() / "parvektgb"); }

// The line of `name` in the runner's summary.
std::string LineOf(const std::string& out, const std::string& name) {
  for (const std::string& l : hard::Lines(out))
    if (l.rfind(name + " ", 0) == 0) return l;
  return "";
}

// The most nights that overlapped by more than 2 ms (the printed times are rounded to 1 ms),
// from each night's start and duration in the summary.
int MostAtOnce(const std::string& out) {
  static const std::regex kTimes(R"(start +([0-9.]+) s +took +([0-9.]+) s)");
  std::vector<std::pair<double, int>> edges;
  for (const std::string& l : hard::Lines(out)) {
    std::smatch m;
    if (!std::regex_search(l, m, kTimes)) continue;
    const double start = std::stod(m[1]), end = start + std::stod(m[2]);
    edges.emplace_back(start + 0.001, 1);
    edges.emplace_back(end - 0.001, -1);
  }
  std::sort(edges.begin(), edges.end());
  int now = 0, most = 0;
  for (const auto& e : edges) most = std::max(most, now += e.second);
  return most;
}

// The database's lock of an SQLite company, as another night on this host holds it.
int HoldLock(const hard::Night& c) {
  const int fd = ::open((c.file() + "-parvek.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Waits until a night holds the company's database lock (at most 30 s).
bool NightHolds(const hard::Night& c) {
  for (int i = 0; i < 30000; ++i) {
    const int fd = HoldLock(c);
    if (fd < 0 && std::filesystem::exists(c.file() + "-parvek.lock")) return true;
    if (fd >= 0) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Five companies at K = 1 and K = 3: never more than K nights at once, K of them while more wait;
// every night done, the joined file the parameter files in the order the settings files were
// given (not the order the nights ended), whole.
TEST(Nights, AtMostKAtOnceAndJoinedInSettingsOrder) {
  for (const int k : {1, 3}) {
    SCOPED_TRACE("K = " + std::to_string(k));
    Companies cs;
    for (const char* prefix : {"E", "A", "D", "B", "C"})
      cs.push_back(Company(prefix, 3 + static_cast<int>(cs.size())));
    hard::TempDir dir;
    const hard::Result r = Nights(
        cs, dir.path(), {"--at-once", std::to_string(k), "--variant", "KRVNT", "--join", "joined"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(MostAtOnce(r.out), k) << r.out;
    std::string expected;
    int persons = 0;
    for (const auto& c : cs) {
      EXPECT_NE(
          LineOf(r.out, c->work().path().substr(c->work().path().rfind('/') + 1)).find(" ok "),
          std::string::npos)
          << r.out;
      expected += Params(*c);
      persons += static_cast<int>(hard::Lines(Params(*c)).size());
    }
    EXPECT_EQ(persons, 3 + 4 + 5 + 6 + 7);
    EXPECT_EQ(hard::ReadFile(dir / "joined"), expected);
    EXPECT_NE(r.out.find("total: 5 nights, 5 ok, 0 failed; at most " + std::to_string(k)),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir / "joined.incomplete"));
  }
}

// A company whose night failed is named; the joined file is not written (an earlier one is
// removed: it must not pass for tonight's), the nights done are in FILE.incomplete, exit 1.
TEST(Nights, FailedCompanyNamedAndJoinedFileWithheld) {
  struct Case {
    const char* what;
    const char* why;  // in the failed company's line
  } const cases[] = {
      {"its database held by another night", "another night"},
      {"a settings file naming no database", "connect failed (RC:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Companies cs;
    for (const char* prefix : {"A", "B", "C"}) cs.push_back(Company(prefix, 2));
    int held = -1;
    if (std::string(c.what).find("held") != std::string::npos) {
      held = HoldLock(*cs[1]);
      ASSERT_GE(held, 0);
    } else {
      hard::WriteFile(cs[1]->settings_path(), JobSettings("", "", "sqlite:/no/such/dir", "X"));
    }
    hard::TempDir dir;
    hard::WriteFile(dir / "joined", "an earlier night's list\n");
    const hard::Result r =
        Nights(cs, dir.path(), {"--variant", "KRVNT", "--join", "joined", "--wait", "1"});
    if (held >= 0) ::close(held);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    const std::string failed = cs[1]->work().path().substr(cs[1]->work().path().rfind('/') + 1);
    const std::string line = LineOf(r.out, failed);
    EXPECT_NE(line.find("FAILED"), std::string::npos) << r.out;
    EXPECT_NE(line.find(c.why), std::string::npos) << line;
    EXPECT_NE(r.out.find("2 ok, 1 failed (" + failed + ")"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir / "joined"));
    EXPECT_EQ(hard::ReadFile(dir / "joined.incomplete"), Params(*cs[0]) + Params(*cs[2]));
  }
}

// A second runner over a database whose night the first is running is refused by the database's
// lock (--wait 0) and changes nothing: every person is booked once. A runner killed meanwhile
// ends its nights (they do not run on unwatched): the night's end record stays "running" and
// the lock comes free.
TEST(Nights, SecondRunnerRefusedAndKilledRunnerEndsItsNights) {
  Companies cs;
  cs.push_back(Company("A", 1500));
  hard::TempDir first_io, dir;
  const pid_t first =
      hard::Start(PARVEKCTL_BIN, dir.path(), NightsArgs(cs, {}), {}, first_io.path());
  ASSERT_TRUE(NightHolds(*cs[0]));
  const hard::Result second = Nights(cs, dir.path(), {"--wait", "0"});
  EXPECT_EQ(second.code, 1) << second.out << second.err;
  EXPECT_NE(second.out.find("another night"), std::string::npos) << second.out;
  const hard::Result r = hard::Wait(first, first_io.path(), 120);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(cs[0]->db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF' and BchFkt = 1"),
            "1500");
  EXPECT_EQ(cs[0]->db().Value("select count(*) from Krv321Bch where BchFkt = 45"), "0");

  Companies next;
  next.push_back(Company("B", 1500));
  const pid_t killed =
      hard::Start(PARVEKCTL_BIN, dir.path(), NightsArgs(next, {}), {}, first_io.path());
  // Killed once the night has begun its work (its end record says so).
  bool begun = false;
  for (int i = 0; i < 30000 && !begun; ++i) {
    begun = hard::ReadFile(next[0]->work() / "parvek.log.end").find("running") != std::string::npos;
    if (!begun) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(begun);
  ::kill(killed, SIGKILL);
  hard::Wait(killed, first_io.path(), 10);
  int fd = -1;
  for (int i = 0; i < 3000 && (fd = HoldLock(*next[0])) < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(fd, 0) << "the night still holds its database 30 s after its runner was killed";
  if (fd >= 0) ::close(fd);
  EXPECT_NE(hard::ReadFile(next[0]->work() / "parvek.log.end").find("running"), std::string::npos)
      << "the night ran to its end after its runner was killed";
}

// The host's slots, shared by the units' nights (night --at-once K) and the runner's: with every
// slot held elsewhere a night waits its bound and is refused, having done nothing; the runner
// names the company; with a slot free the night runs.
TEST(Nights, HostSlotsBoundTheNightsOfEveryStarter) {
  Companies cs;
  cs.push_back(Company("A", 2));
  const hard::Night& c = *cs[0];
  const int one = HoldSlot(1), two = HoldSlot(2);
  ASSERT_GE(one, 0);
  ASSERT_GE(two, 0);
  const std::vector<std::string> night = {
      "night", c.settings_path(), "XXX",   "D",           "--at-once",
      "2",     "--slots",         Slots(), "--slot-wait", "1"};
  hard::Result r = hard::Run(PARVEKCTL_BIN, c.work().path(), night);
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("all 2 night slots of this host"), std::string::npos) << r.err;
  EXPECT_NE(hard::ReadFile(c.work() / "parvek.log.events").find("refused"), std::string::npos);
  hard::TempDir dir;
  r = Nights(cs, dir.path(), {"--at-once", "2", "--wait", "1"});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("FAILED"), std::string::npos) << r.out;
  EXPECT_EQ(cs[0]->db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF'"), "0");
  ::close(two);
  r = hard::Run(PARVEKCTL_BIN, c.work().path(), night);
  ::close(one);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(cs[0]->db().Value("select count(*) from Krv321Bch where BchFcd = 'KRF'"), "2");
}

}  // namespace
