// doctor's site check on every backend: a sound schema passes every row and is left as it was;
// each row fails when its fault is made on purpose; the judgements of values a real Oracle gives.
#include "tools/site_check.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "tests/support/engines.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"

namespace {

constexpr int kJobLockWaitMs = 30000;

// Gives the codes of another mapping: a broken unique key, a missing table and the day of the
// date statement come back as a driver without this build's mapping would give them.
class OtherCodes final : public pvc::SessionWrapper, public pvc::SessionTools {
 public:
  explicit OtherCodes(std::unique_ptr<pvc::Session> s) : SessionWrapper(std::move(s)) {}
  int Write(pvc::Op op, const std::vector<pvc::Bind>& in) override {
    const int rc = SessionWrapper::Write(op, in);
    return rc == pvc::kUniqueViolated ? pvc::kInternal : rc;
  }
  int SelectOne(pvc::Op op, const std::vector<pvc::Bind>& in, pvc::Row& out) override {
    const int rc = SessionWrapper::SelectOne(op, in, out);
    if (rc == pvc::kOk && op == pvc::Op::Today) out[0].text += "000000";
    return rc;
  }
  pvc::SessionTools* Tools() override { return this; }
  int ExecScript(const std::string& sql) override { return inner().ExecScript(sql); }
  int Query(const std::string& sql, std::vector<pvc::Row>& rows) override {
    const int rc = inner().Query(sql, rows);
    return rc == pvc::kNoTable ? -904 : rc;
  }
  int BulkInsert(const std::string& t, const std::vector<std::string>& c,
                 const std::vector<pvc::Row>& r) override {
    return inner().BulkInsert(t, c, r);
  }
  int Describe(pvc::Op op, int& in, int& out) override { return inner().Describe(op, in, out); }
  int RollbackAll() override { return inner().RollbackAll(); }
  pvc::SessionRoute Route() override { return inner().Route(); }

 private:
  pvc::SessionTools& inner() { return *SessionWrapper::Tools(); }
};

enum class Fault { kNone, kIndex, kLockUnbounded, kCodes, kCursors, kClock, kTimeout, kRights };

struct Case {
  const char* name;
  Fault fault;
  const char* backends;  // the backends it means something on, by name prefix; "" every one
  const char* id;        // the row that must say so
  SiteVerdict verdict;
  const char* says;      // in its text
};

const Case kCases[] = {
    {"MissingIndex", Fault::kIndex, "", "plans", SiteVerdict::kWarn, "AzvRead reads"},
    {"UnboundedLockWait", Fault::kLockUnbounded, "", "lock-wait", SiteVerdict::kFail,
     "the wait is not bounded"},
    {"UniqueKeyCode", Fault::kCodes, "sqlite", "unique-key-code", SiteVerdict::kFail,
     "the second insert gives -600"},
    {"MissingTableCode", Fault::kCodes, "sqlite", "missing-table-code", SiteVerdict::kFail,
     "gives -904"},
    {"DayWithTime", Fault::kCodes, "sqlite", "day-conversion", SiteVerdict::kFail,
     "not a day YYYYMMDD"},
    {"CursorsClosedAtCommit", Fault::kCursors, "odbc", "cursors", SiteVerdict::kWarn,
     "connections of their own"},
    {"SessionZoneOnAnotherDate", Fault::kClock, "postgres odbc_postgres", "clock",
     SiteVerdict::kFail, "another date"},
    {"StatementTimeout", Fault::kTimeout, "postgres odbc_postgres", "pg-statement-timeout",
     SiteVerdict::kWarn, "shorter than twice the last night's 10 s"},
    {"MissingRight", Fault::kRights, "", "privileges", SiteVerdict::kFail,
     "INSERT on Krv321Bch"},
};

// Names a case in the test's listing.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// A fixed UTC offset (POSIX spelling: Etc/GMT-14 is 14 hours east) on another date than this
// machine's now.
std::string ZoneOnAnotherDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  for (const int east : {14, -12}) {
    const std::time_t there = now + east * 3600;
    std::tm t{};
    gmtime_r(&there, &t);
    if (t.tm_mday != local.tm_mday) return "Etc/GMT" + std::string(east > 0 ? "-" : "+") +
                                           std::to_string(east > 0 ? east : -east);
  }
  return "";
}

// A fresh schema of the backend named by the test's parameter, and the site check's context with
// the probe's short lock wait.
class SiteSchema {
 public:
  bool Open(const std::string& backend) {
    b_ = pvt::BackendNamed(backend);
    if (!b_.skip_reason.empty()) return false;
    std::string why;
    EXPECT_EQ(db_.Create(b_, why), 0) << why;
    pvc::SetLockWaitMs(1000);
    c_.open_other = [this](std::unique_ptr<pvc::Session>& out) { return db_.OpenOther(out); };
    return true;
  }
  ~SiteSchema() { pvc::SetLockWaitMs(kJobLockWaitMs); }

 protected:
  pvt::Backend b_;
  pvt::TempSchema db_;
  SiteContext c_;
};

class SiteCheck : public ::testing::TestWithParam<std::tuple<std::string, Case>>,
                  protected SiteSchema {
 protected:
  void SetUp() override {
    if (!Open(std::get<0>(GetParam()))) GTEST_SKIP() << b_.skip_reason;
  }
};

class SiteCheckSound : public ::testing::TestWithParam<std::string>, protected SiteSchema {
 protected:
  void SetUp() override {
    if (!Open(GetParam())) GTEST_SKIP() << b_.skip_reason;
  }
};

std::string Shown(const std::vector<SiteResult>& results) {
  std::string s;
  for (const SiteResult& r : results)
    s += std::string(SiteVerdictWord(r.verdict)) + " " + r.id + ": " + r.text + "\n";
  return s;
}

TEST_P(SiteCheck, FindsTheFaultMadeOnPurposeAndNothingOnASoundSchema) {
  const Case& k = std::get<1>(GetParam());
  const std::string name = b_.name;
  if (*k.backends != '\0' && (std::string(" ") + k.backends + " ").find(" " + name + " ") ==
                                 std::string::npos &&
      name.rfind(k.backends, 0) != 0)
    GTEST_SKIP() << k.name << " means nothing on " << name;
  ASSERT_EQ(db_.Exec("insert into Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd) values "
                     "('P1', '2024-03-01 00:00:00', '2024-03-01 08:00:00', 1, 'K')"),
            0);
  const std::vector<std::string> before = db_.Lines("select * from Krv321Bch");

  std::vector<pvc::SessionDecorator> decorators;
  std::string why;
  switch (k.fault) {
    case Fault::kIndex: ASSERT_EQ(db_.Exec("DROP INDEX Krv329Ztg_PnrDay"), 0) << db_.last_error(); break;
    case Fault::kLockUnbounded:
      pvc::SetLockWaitMs(kJobLockWaitMs);
      c_.lock_wait_ms = kJobLockWaitMs;
      c_.lock_bound_ms = 800;
      break;
    case Fault::kCodes:
      decorators.push_back([](std::unique_ptr<pvc::Session> s) -> std::unique_ptr<pvc::Session> {
        return std::make_unique<OtherCodes>(std::move(s));
      });
      break;
    case Fault::kRights: {
      const pvt::Engine& e = pvt::EngineOf(name);
      if (!e.make_read_only) GTEST_SKIP() << "no read-only logon on " << name;
      if (e.make_read_only(db_, false, why) != 0) GTEST_SKIP() << why;
      break;
    }
    default: break;
  }
  std::unique_ptr<pvc::Session> own;
  pvc::Session* s = nullptr;
  if (k.fault == Fault::kCursors) {
    const std::string net = db_.net().find('=') == std::string::npos
                                ? "odbc:DSN=" + db_.net().substr(5) + ";ParvekCursors=connections"
                                : db_.net() + ";ParvekCursors=connections";
    ASSERT_EQ(pvc::OpenSession(db_.login(), db_.pass(), net, own), 0);
    ASSERT_EQ(own->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + db_.schema()), 0);
    s = own.get();
  } else {
    ASSERT_EQ(db_.Connect(decorators), 0);
    s = pvc::Current();
  }
  if (k.fault == Fault::kClock) {
    ASSERT_EQ(pvc::ToolsOf(*s).ExecScript("SET timezone = '" + ZoneOnAnotherDate() + "'"), 0);
  }
  if (k.fault == Fault::kTimeout) {
    ASSERT_EQ(pvc::ToolsOf(*s).ExecScript("SET statement_timeout = '5s'"), 0);
    c_.last_night_s = 10;
  }

  const std::vector<SiteResult> found = Site_Check(*s, c_);
  bool met = false;
  for (const SiteResult& r : found) {
    if (r.id == k.id && r.verdict == k.verdict && r.text.find(k.says) != std::string::npos) {
      met = true;
    } else if (r.id != k.id && k.fault != Fault::kRights && k.fault != Fault::kCodes) {
      // Every other row finds nothing to warn of (the owner's role is info).
      EXPECT_TRUE(r.verdict == SiteVerdict::kOk || r.verdict == SiteVerdict::kInfo)
          << r.id << ": " << r.text;
    }
  }
  EXPECT_TRUE(met) << k.id << " should say " << k.says << " on " << name << ":\n" << Shown(found);
  // Nothing left changed, and no transaction left open.
  EXPECT_EQ(db_.Lines("select * from Krv321Bch"), before);
  EXPECT_EQ(db_.Exec("update Krv321Bch set BchFcd = 'L'"), 0) << db_.last_error();
}

// A sound schema: every row that means something here answers ok or info.
TEST_P(SiteCheckSound, EveryRowPasses) {
  ASSERT_EQ(db_.Connect(), 0);
  const std::vector<SiteResult> found = Site_Check(*pvc::Current(), c_);
  std::string ids;
  for (const SiteResult& r : found) {
    EXPECT_TRUE(r.verdict == SiteVerdict::kOk || r.verdict == SiteVerdict::kInfo)
        << r.id << ": " << r.text;
    if (ids.find(" " + r.id + " ") == std::string::npos) ids += " " + r.id + " ";
  }
  const bool odbc = b_.name.rfind("odbc", 0) == 0;
  for (const char* id : {"route", "unique-key-code", "missing-table-code", "day-conversion",
                         "clock", "lock-wait", "plans", "privileges"})
    EXPECT_NE(ids.find(std::string(" ") + id + " "), std::string::npos) << id << " in" << ids;
  EXPECT_EQ(ids.find(" cursors ") != std::string::npos, odbc) << ids;
}

std::vector<Case> Cases() { return {std::begin(kCases), std::end(kCases)}; }

INSTANTIATE_TEST_SUITE_P(Backends, SiteCheckSound, ::testing::ValuesIn(pvt::BackendNames()),
                         [](const auto& p) { return p.param; });

INSTANTIATE_TEST_SUITE_P(Backends, SiteCheck,
                         ::testing::Combine(::testing::ValuesIn(pvt::BackendNames()),
                                            ::testing::ValuesIn(Cases())),
                         [](const auto& p) {
                           return std::get<0>(p.param) + "_" + std::get<1>(p.param).name;
                         });

// The judgements, with the values the servers give (Oracle's among them, which no server here
// gives).
TEST(SiteJudge, ValuesAsTheServersGiveThem) {
  const std::time_t now = std::time(nullptr);
  const auto at = [&](std::time_t t) {
    char buf[32];
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buf);
  };
  SiteContext night;
  night.last_night_s = 100;
  const struct {
    const char* id;
    const char* server;
    std::string value;
    const SiteContext* c;
    SiteVerdict verdict;
  } cases[] = {
      {"clock", "oracle", at(now), &night, SiteVerdict::kOk},
      {"clock", "oracle", at(now + 2 * 86400), &night, SiteVerdict::kFail},
      {"clock", "postgres", at(now - 86400), &night, SiteVerdict::kFail},
      {"clock", "postgres", "10.12.2026", &night, SiteVerdict::kCannotTell},
      {"oracle-date-format", "oracle", "DD-MON-RR", &night, SiteVerdict::kOk},
      {"oracle-date-format", "oracle", "YYYY-MM-DD HH24:MI:SS", &night, SiteVerdict::kFail},
      {"oracle-date-format", "oracle", "dd.mm.yyyy hh:mi", &night, SiteVerdict::kFail},
      {"oracle-undo-retention", "oracle", "900", &night, SiteVerdict::kOk},
      {"oracle-undo-retention", "oracle", "150", &night, SiteVerdict::kWarn},
      {"oracle-undo-retention", "oracle", "150", nullptr, SiteVerdict::kCannotTell},
      {"pg-statement-timeout", "postgres", "0", nullptr, SiteVerdict::kOk},
      {"pg-statement-timeout", "postgres", "5min", &night, SiteVerdict::kOk},
      {"pg-statement-timeout", "postgres", "1500ms", &night, SiteVerdict::kWarn},
      {"pg-old-snapshot", "postgres", "-1", &night, SiteVerdict::kOk},
      {"pg-old-snapshot", "postgres", "", &night, SiteVerdict::kOk},  // gone from the server
      {"sqlite-journal-mode", "sqlite", "WAL", &night, SiteVerdict::kOk},
      {"sqlite-journal-mode", "sqlite", "delete", &night, SiteVerdict::kWarn},
      {"oracle-index-bookings", "oracle", "0", &night, SiteVerdict::kWarn},
      {"oracle-index-bookings", "oracle", "2", &night, SiteVerdict::kOk},
      {"oracle-role", "oracle", "", &night, SiteVerdict::kOk},
      {"oracle-role", "oracle", "DBA", &night, SiteVerdict::kInfo},
  };
  const SiteContext none;
  for (const auto& k : cases) {
    const std::optional<SiteResult> r = Site_Judge(k.id, k.server, k.value, k.c ? *k.c : none);
    ASSERT_TRUE(r.has_value()) << k.id;
    EXPECT_EQ(SiteVerdictKey(r->verdict), std::string(SiteVerdictKey(k.verdict)))
        << k.id << " " << k.value << ": " << r->text;
    if (r->verdict == SiteVerdict::kWarn || r->verdict == SiteVerdict::kFail) {
      EXPECT_FALSE(r->advice.empty()) << k.id;
    }
  }
  EXPECT_FALSE(Site_Judge("unique-key-code", "oracle", "1", night).has_value());
  // Ten minutes apart on the same date: the clocks differ, the yesterdays do not.
  if (at(now + 600).substr(0, 10) == at(now).substr(0, 10)) {
    EXPECT_EQ(Site_Judge("clock", "oracle", at(now + 600), night)->verdict, SiteVerdict::kWarn);
  }
}

// doctor on the demo database: the site check's rows in the text and in --json, exit 0; a set-up
// that fails says so in both.
TEST(DoctorSite, DemoPassesInTextAndJsonAndAFailureExitsOne) {
  char tmpl[] = "/tmp/parvek-site-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  ASSERT_EQ(pvt::Run(PARVEKCTL_BIN, dir, {"demo-create", "demo"}).code, 0);
  const std::filesystem::path demo = dir / "demo";
  pvt::Result r = pvt::Run(PARVEKCTL_BIN, demo, {"doctor", "parvek.ini"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\nok    site check lock-wait: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nok    site check plans: "), std::string::npos) << r.out;
  r = pvt::Run(PARVEKCTL_BIN, demo, {"doctor", "--json", "parvek.ini"});
  EXPECT_EQ(r.code, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["exit"], 0);
  std::string checks;
  for (const auto& f : j["findings"]) {
    EXPECT_NE(f["verdict"], "fail") << f.dump();
    if (f.contains("check")) checks += f["check"].get<std::string>() + " ";
  }
  EXPECT_NE(checks.find("unique-key-code missing-table-code "), std::string::npos) << checks;
  EXPECT_NE(checks.find("lock-wait plans privileges"), std::string::npos) << checks;
  // A settings file that names no database: FAIL, exit 1, in JSON too.
  std::filesystem::remove(demo / "parvek.ini");
  r = pvt::Run(PARVEKCTL_BIN, demo, {"doctor", "--json", "parvek.ini"});
  EXPECT_EQ(r.code, 1);
  j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["exit"], 1);
  EXPECT_NE(j.dump().find("\"verdict\":\"fail\""), std::string::npos) << j.dump();
  std::filesystem::remove_all(dir);
}

}  // namespace
