// parvekctl's command line as an operator meets it: help and version, every wrong use refused
// with exit code 2 and nothing done, --opt=value, the target from a settings file and the
// password from each of its sources; settings-set through symbolic links, keeping owner and mode,
// and under concurrent edits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "run/ground/IniFile.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/testdb.h"
#include "run/ground/CivilDate.h"
#include "tools/settings_record.h"

namespace {

namespace fs = std::filesystem;

using pvt::Result;

// Runs parvekctl in `cwd` with `input` on standard input and `env` added to the environment;
// its output files go to the directory above `cwd`.
Result Ctl(const fs::path& cwd, const std::vector<std::string>& args, const std::string& input = "",
           const std::map<std::string, std::string>& env = {}) {
  return pvt::Run(PARVEKCTL_BIN, cwd, args, {env, input, cwd.parent_path()});
}

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parvek-ctl-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    dir_ = base_ / "cwd";
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(base_); }
  bool CwdEmpty() const { return fs::is_empty(dir_); }
  fs::path base_, dir_;
};

const char* const kCommands[] = {"demo-create",   "gen",          "schema-check",  "schema-create",
                                 "settings-list", "settings-set", "settings-show", "show"};

TEST_F(CtlTest, HelpAndVersionForTheProgramAndEveryCommandDoNothingElse) {
  Result r = Ctl(dir_, {"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "parvekctl " PARVEK_VERSION "\n");
  r = Ctl(dir_, {"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* c : kCommands)
    EXPECT_NE(r.out.find(std::string("  ") + c + " "), std::string::npos) << c;
  for (const char* c : kCommands) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{c, "--help"}, {"help", c}, {c, "d", "--help"}}) {
      r = Ctl(dir_, args);
      EXPECT_EQ(r.code, 0) << c;
      EXPECT_NE(r.out.find(std::string("Usage: parvekctl ") + c + " "), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "") << c;
    }
  }
  EXPECT_TRUE(CwdEmpty());  // demo-create --help once made a demo in a directory "--help"
}

TEST_F(CtlTest, EveryWrongUseGivesAMessageAndExitCodeTwoAndChangesNothing) {
  const std::string net = "sqlite:" + dir_.string();
  const std::vector<std::string> gen = {"gen", net, "G", "--persons=1", "--days=1", "--seed=1"};
  const auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "Usage: parvekctl"},
      {{"nope"}, "unknown command 'nope'"},
      {{"--colour"}, "--colour"},
      // A dangling option, in every command that connects.
      {{"show", net, "S", "--login"}, "show: --login"},
      {{"schema-create", net, "S", "--pass"}, "schema-create: --pass"},
      {{"schema-check", net, "S", "--settings"}, "schema-check: --settings"},
      {{"demo-create", "demo", "--login"}, "demo-create: --login"},
      {with(gen, {"--login"}), "gen: --login"},
      {{"show", net, "S", "--login", "--pass", "p"}, "--login"},
      // Operands and numbers.
      {{"show", net}, "expected NET8 SCHEMA or --settings FILE"},
      {{"show", net, "S", "abc"}, "DAYS"},
      {{"show", net, "S", "0"}, "DAYS"},
      {{"show", net, "S", "99999999999999999999"}, "DAYS"},
      {{"show", net, "S", "3", "extra"}, "extra"},
      {{"show", net, "S", "--days=3661"}, "--days"},
      {{"show", "--settings", "missing.ini"}, "missing.ini"},
      {{"show", net, "S", "--pass", "p", "--pass-stdin"}, "--pass"},
      {{"settings-set", "f.ini"}, "KEY"},
      {{"settings-show", "f.ini"}, "KEY"},
      {{"gen", net, "G", "--persons=1", "--days=1"}, "--seed"},
      {with(gen, {"--persons=abc"}), "--persons"},
      {with(gen, {"--deep-share=nan"}), "--deep-share"},
      {with(gen, {"--deep-days=2"}), "--deep-days"},
      // Dates that do not exist or are not written YYYY-MM-DD.
      {with(gen, {"--today=2026-02-30"}), "2026-02-30"},
      {with(gen, {"--today", "2025-02-29"}), "2025-02-29"},
      {with(gen, {"--today", "2026-13-01"}), "2026-13-01"},
      {with(gen, {"--today", "2026-1-01"}), "2026-1-01"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const Result r = Ctl(dir_, c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(CwdEmpty());
  }
}

// A file that is no settings file (/etc/passwd given by mistake), or a record whose value was
// never enciphered, is named as such by every command that reads settings: never a byte of
// what deciphering it would give.
TEST_F(CtlTest, WhatIsNoSettingsFileIsSaidSoWithoutItsDecipheredBytes) {
  const fs::path passwd = base_ / "passwd", bad_login = base_ / "bad.ini";
  std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/bash\n"
                           "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                           "bin:x:2:2:bin:/bin:/usr/sbin/nologin\n"
                           "sys:x:3:3:sys:/dev:/usr/sbin/nologin\n";
  std::ofstream(bad_login) << ";PARVEK;\n1;LOGIN;root:x:0:0:root:/root:/bin/bash\n"
                           << SettingsRecord(2, "NET8", "sqlite:" + dir_.string());
  const std::string no_record = "holds no settings record the job would read";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"settings-show", passwd, "LOGIN"}, 2, no_record},
      {{"settings-list", passwd}, 2, no_record},
      {{"doctor", passwd}, 1, no_record},
      {{"night", passwd, "XXX", "D", "--preview"}, 2, no_record},
      {{"settings-show", bad_login, "LOGIN"}, 2, "which the job reads for LOGIN, holds no"},
      {{"doctor", bad_login}, 1, "which the job reads for LOGIN, holds no"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const Result r = Ctl(dir_, c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    for (const char ch : r.out + r.err)
      ASSERT_TRUE(ch == '\n' || (ch >= ' ' && ch <= '~')) << "a byte " << int(ch) << " in:\n"
                                                           << r.out << r.err;
  }
}

// doctor finds the log switches of unixODBC and PostgreSQL's ODBC driver where unixODBC reads
// them ($ODBCSYSINI, $ODBCINSTINI, $ODBCINI), for the data source or driver NET8 reaches, and
// names file, section and setting. The connect after it fails (the drivers do not exist).
TEST_F(CtlTest, DoctorWarnsOfOdbcLogsThatAreSwitchedOn) {
  // Each drivers' file begins with PostgreSQL's driver registered as PG; `drivers` goes on in
  // its section. No driver exists, and the driver manager's trace, when on, goes to the test's
  // own directory ("@" in `drivers`).
  const std::string pg = "[PG]\nDriver = /nonexistent/psqlodbcw.so\n";
  const struct {
    const char* name;
    const char *drivers, *system, *user, *net;
    std::vector<std::string> warns;  // "FILE [SECTION]: SETTING", files as d/ s/ u/ (below)
    std::string drivers_name = "odbcinst.ini";
  } cases[] = {
      {"AllOff",
       "Debug=0\n[ODBC]\nTrace=No\nTraceFile=@\n",
       "[prod]\nDriver=PG\nCommLog=0\n",
       "",
       "odbc:prod",
       {}},
      {"DriverSection", "Debug = 1\n", "[prod]\nDriver=PG\n", "", "odbc:prod", {"d [PG]: Debug=1"}},
      {"DataSourceAnyCaseAndComments",
       "",
       "[Prod]\n#Debug=1\n;Debug=1\nDriver=PG\n  commlog = 2  \nDebug=yes\n",
       "",
       "odbc:PROD",
       {"s [Prod]: commlog=2"}},
      {"UserSourceHidesSystemSource",
       "",
       "[prod]\nDriver=PG\nDebug=1\n",
       "[prod]\nDriver=PG\nDebug=0\n",
       "odbc:prod",
       {}},
      {"UserSource",
       "",
       "[prod]\nDriver=PG\n",
       "[prod]\nDriver=PG\nCommLog=1\n",
       "odbc:prod",
       {"u [prod]: CommLog=1"}},
      {"ConnectionStringDriver",
       "CommLog=1\n",
       "",
       "",
       "odbc:DRIVER={PG};Server=h;Database=d",
       {"d [PG]: CommLog=1"}},
      // The driver-wide section PostgreSQL's Unicode driver reads, whatever registers it.
      {"DriverWideSection",
       "[PostgreSQL Unicode]\nDebug=1\n[PostgreSQL ANSI]\nDebug=1\n[Other]\nDebug=1\n",
       "[prod]\nDriver=PG\n",
       "",
       "odbc:prod",
       {"d [PostgreSQL Unicode]: Debug=1"}},
      // Registered as Debian registers it: the driver's section is the driver-wide one.
      {"DriverSectionIsTheDriverWideOne",
       "[PostgreSQL Unicode]\nDriver=/nonexistent/psqlodbcw.so\nCommLog=1\n",
       "[prod]\nDriver=PostgreSQL Unicode\n",
       "",
       "odbc:prod",
       {"d [PostgreSQL Unicode]: CommLog=1"}},
      // The connection string's own switches: the last of each counts, short names too.
      {"ConnectionStringSwitches",
       "",
       "[prod]\nDriver=PG\n",
       "",
       "odbc:DSN=prod;Debug=1;B3=1;CommLog=0",
       {"NET8: Debug=1"}},
      {"ConnectionStringShortName",
       "",
       "[prod]\nDriver=PG\n",
       "",
       "odbc:DSN=prod;Debug=1; B3 = 1 ;b2=0",
       {"NET8: B3=1"}},
      // unixODBC's trace, on by "Yes", "On" or "1" in any case.
      {"DriverManagerTrace",
       "[ODBC]\nTrace = Yes\nTraceFile = @\n",
       "[prod]\nDriver=PG\n",
       "",
       "odbc:prod",
       {"d [ODBC]: Trace=Yes"}},
      {"DriversFileNamedByTheEnvironment",
       "[odbc]\ntrace=on\ntracefile=@\n",
       "[prod]\nDriver=PG\n",
       "",
       "odbc:prod",
       {"d [odbc]: trace=on"},
       "drivers.ini"},
      // A bare name is served through ODBC when a data source of that name is defined.
      {"BareNameOfADataSource",
       "[ODBC]\nTrace=1\nTraceFile=@\n",
       "[PROD]\nDriver=PG\nDebug=1\n",
       "",
       "prod",
       {"s [PROD]: Debug=1", "d [ODBC]: Trace=1"}},
      {"BareNameOfNoDataSource",
       "[ODBC]\nTrace=Yes\nTraceFile=@\n",
       "[prod]\nDebug=1\n",
       "",
       "XE",
       {}},
      {"NoOdbc", "[ODBC]\nTrace=Yes\nTraceFile=@\n", "", "", "sqlite:/nonexistent", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path odbc = base_ / "odbc";
    fs::remove_all(odbc);
    fs::create_directories(odbc);
    const std::string trace = (odbc / "trace.log").string();
    std::string drivers = pg + c.drivers;
    if (const std::size_t at = drivers.find('@'); at != std::string::npos)
      drivers.replace(at, 1, trace);
    std::ofstream(odbc / c.drivers_name) << drivers;
    if (c.drivers_name != "odbcinst.ini") std::ofstream(odbc / "odbcinst.ini") << "";
    std::ofstream(odbc / "odbc.ini") << c.system;
    std::ofstream(odbc / "user.ini") << c.user;
    std::ofstream(base_ / "s.ini") << JobSettings("u", "p", c.net, "S");
    const Result r = Ctl(dir_, {"doctor", (base_ / "s.ini").string()}, "",
                         {{"ODBCSYSINI", odbc.string()},
                          {"ODBCINSTINI", c.drivers_name},
                          {"ODBCINI", (odbc / "user.ini").string()}});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    std::vector<std::string> warns;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.compare(0, 6, "WARN  ") == 0) warns.push_back(line);
    ASSERT_EQ(warns.size(), c.warns.size()) << r.out;
    for (std::size_t i = 0; i < warns.size(); ++i) {
      std::string want = c.warns[i];
      if (want[1] == ' ')
        want = (odbc / (want[0] == 'd'   ? c.drivers_name
                        : want[0] == 's' ? std::string("odbc.ini")
                                         : std::string("user.ini")))
                   .string() +
               want.substr(1);
      EXPECT_EQ(warns[i].compare(0, 6 + want.size() + 2, "WARN  " + want + ": "), 0)
          << warns[i] << "\nwanted: " << want;
      const bool trace_line = want.find("race=") != std::string::npos;
      EXPECT_NE(warns[i].find(trace_line ? "into " + trace + ": set it to No" : "set it to 0"),
                std::string::npos)
          << warns[i];
    }
    const bool odbc_net = std::string(c.name).compare(0, 6, "NoOdbc") != 0 &&
                          std::string(c.name) != "BareNameOfNoDataSource";
    EXPECT_EQ(r.out.find("ok    no ODBC log is switched on") != std::string::npos,
              odbc_net && c.warns.empty())
        << r.out;
    // PostgreSQL's driver-wide Debug logs the connection string, password included, as the
    // connection opens: doctor does not connect then.
    const bool password_logged = std::any_of(c.warns.begin(), c.warns.end(), [](const auto& w) {
      return w.compare(0, 14, "d [PostgreSQL ") == 0 && w.find(": Debug=") != std::string::npos;
    });
    EXPECT_EQ(r.out.find("FAIL  not connecting") != std::string::npos, password_logged) << r.out;
    EXPECT_EQ(r.out.find("FAIL  connect:") != std::string::npos, !password_logged) << r.out;
  }
}

// undo reads a journal's header first: a file that is no journal, or one of a kind or version
// this parvekctl does not know, is refused before the rest of the file or the settings are looked
// at. An empty file or a header cut short is a run killed before its first change.
TEST_F(CtlTest, UndoRefusesWhatIsNoJournalOfAKnownKindAndVersion) {
  const auto header = [](const std::string& kind, const std::string& version) {
    return R"({"day":"20261208","journal":")" + kind +
           R"(","schema":"S","settings":"missing.ini","version":")" + version + "\"}\n";
  };
  const struct {
    std::string text;
    int code;
    const char* says;  // on standard error for 2, on standard output for 0
  } cases[] = {
      {"LOGIN=scott\n", 2, "is no journal of parvekctl"},
      {"{\"n\":1,\"change\":\"insert\"}\n", 2, "is no journal of parvekctl"},
      {header("week", PARVEK_VERSION), 2, "kind 'week'"},
      {header("night", "99.0.0") + "not json\n{}\n", 2, "newer than this one"},
      {header("night", "0.10.0"), 2, "newer than this one"},
      {header("undo", "0.2.9"), 2, "which no parvekctl that writes journals has"},
      {header("night", "3.x"), 2, "which no parvekctl that writes journals has"},
      {std::string(R"({"journal":"night","schema":5,"version":"0.3.0"})") + "\n", 2, "is no text"},
      // Known: refused only later, for the settings file the header names.
      {header("night", PARVEK_VERSION), 2, "missing.ini"},
      {header("undo", "0.3.0") + "{\"n\":1,\"chan", 2, "missing.ini"},
      {"", 0, "holds no change"},
      {R"({"day":"2026)", 0, "holds no change"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const fs::path journal = base_ / "j.journal";
    std::ofstream(journal, std::ios::binary) << c.text;
    const Result r = Ctl(dir_, {"undo", journal.string()});
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_NE((c.code == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(CwdEmpty());
  }
}

// explain reads a night's journal: the decisions it recorded for the person, in order, under
// their parts of the night; a journal without decisions (written before they were recorded)
// by its writes alone, saying so; a person it holds nothing of is exit 1; an undo's journal 2.
TEST_F(CtlTest, ExplainReadsTheReasonsAJournalRecordedOrItsWritesAlone) {
  const std::string header = R"({"day":"20261208","journal":"night","schema":"S","start":"x","version":")" +
                             std::string(PARVEK_VERSION) + "\"}\n";
  const std::string write =
      R"({"n":1,"change":"insert","row":{"BchPnr":"1001","BchVon":"20261208","BchUhr":"000000","BchFkt":1,"BchFcd":"KRF"}})"
      "\n{\"ok\":1}\n";
  const std::string reasons =
      R"({"p":"1001","s":"search","k":"earlier-day","o":"stops-no-follow-up","i":{"TagTag":"20261207","day_messages":1,"TagTgb":"URL","type_found":1}})"
      "\n"
      R"({"p":"1002","s":"parameter","k":"line","o":"no-follow-up","i":{}})"
      "\n"
      R"({"p":"1001","s":"parameter","k":"line","o":"written","i":{"line":"1001    ,08.12.2026"}})"
      "\n";
  const struct {
    std::string text, pnr;
    int code;
    std::vector<std::string> says;  // in order, on standard output for 0, on standard error else
  } cases[] = {
      {header + reasons + write, "1001", 0,
       {"Reference-day search", "2026-12-07: 1 whole-day booking (function 1); its day code URL has no follow-up",
        "Parameter file", "'1001    ,08.12.2026'", "Outcome: nothing booked; listed"}},
      {header + reasons + write, "1002", 0, {"Not listed in the parameter file: no follow-up"}},
      {header + reasons + write, "1003", 1, {"did not work on 1003"}},
      {header + write, "1001", 0, {"before the night recorded its reasons", "Booked KRF (function 1)"}},
      {header + write, "1002", 1, {"records no write of 1002"}},
      {R"({"day":"20261208","journal":"undo","schema":"S","start":"x","version":")" +
           std::string(PARVEK_VERSION) + "\"}\n",
       "1001", 2, {"an undo's journal"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " " + c.pnr);
    const fs::path journal = base_ / "j.journal";
    std::ofstream(journal, std::ios::binary) << c.text;
    const Result r = Ctl(dir_, {"explain", "--journal", journal.string(), c.pnr});
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    const std::string& text = c.code == 0 ? r.out : r.err;
    size_t at = 0;
    for (const std::string& s : c.says) {
      at = text.find(s, at);
      ASSERT_NE(at, std::string::npos) << s << "\nin:\n" << text;
    }
    EXPECT_TRUE(CwdEmpty());
  }
}

// gen with --opt=value (on a leap day), then show through the job's own settings file: NET8 and
// the schema as the job derives it (last character dropped, upper case).
TEST_F(CtlTest, OptionsWithEqualsAndTheTargetFromASettingsFile) {
  const std::string net = "sqlite:" + dir_.string();
  Result r =
      Ctl(dir_, {"gen", net, "GEN", "--persons=2", "--days=3", "--seed=5", "--today=2024-02-29"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Ctl(dir_, {"gen", net, "NOW", "--persons=2", "--days=3", "--seed=5"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::ofstream(base_ / "s.ini") << JobSettings("x", "y", net, "now");
  r = Ctl(dir_, {"show", "--settings=" + (base_ / "s.ini").string(), "--days=1"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string yesterday = CivilText(LocalToday() - 1);
  EXPECT_NE(r.out.find("00000002  " + yesterday + "  12:00-12:00 placeholder"), std::string::npos)
      << r.out;
  r = Ctl(dir_, {"show", "--settings", (base_ / "s.ini").string(), "1"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--settings takes the place of NET8 and SCHEMA"), std::string::npos)
      << r.err;
}

// On a server the password matters: each source delivers it, and a wrong one fails the logon.
TEST_F(CtlTest, ThePasswordFromEachSourceReachesTheServer) {
  const pvt::Backend pg = pvt::BackendNamed("postgres");
  if (!pg.skip_reason.empty()) GTEST_SKIP() << pg.skip_reason;
  pvt::TempSchema db;
  std::string why;
  ASSERT_EQ(db.Create(pg, why), 0) << why;
  std::ofstream(base_ / "s.ini") << JobSettings(db.login(), db.pass(), db.net(), db.schema());
  const std::vector<std::string> check = {"schema-check", db.net(), db.schema(), "--login",
                                          db.login()};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = check;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    std::map<std::string, std::string> env;
  } good[] = {
      {"--pass", with({"--pass", db.pass()}), "", {}},
      {"--pass=", with({"--pass=" + db.pass()}), "", {}},
      {"--pass-stdin", with({"--pass-stdin"}), db.pass() + "\n", {}},
      {"PARVEK_PASS", check, "", {{"PARVEK_PASS", db.pass()}}},
      {"--settings", {"schema-check", "--settings", (base_ / "s.ini").string()}, "", {}},
  };
  for (const auto& c : good) {
    SCOPED_TRACE(c.what);
    const Result r = Ctl(dir_, c.args, c.input, c.env);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all statements run"), std::string::npos) << r.out;
  }
  const Result wrong = Ctl(dir_, with({"--pass-stdin"}), "wrong\n", {{"PARVEK_PASS", db.pass()}});
  EXPECT_EQ(wrong.code, 2);
  EXPECT_NE(wrong.err.find("logon failed"), std::string::npos) << wrong.err;
  EXPECT_EQ(Ctl(dir_, with({"--pass-stdin"})).code, 2);  // nothing on standard input
}

TEST_F(CtlTest, TwentyConcurrentEditsKeepEveryKey) {
  const fs::path file = base_ / "s.ini";
  std::vector<std::unique_ptr<pvt::TempDir>> io;
  std::vector<pid_t> children;
  for (int i = 0; i < 20; ++i) {
    io.push_back(std::make_unique<pvt::TempDir>());
    children.push_back(pvt::Start(PARVEKCTL_BIN, dir_,
                                  {"settings-set", file.string(), "KEY" + std::to_string(i), "v"},
                                  {{}, "", io.back()->path()}));
  }
  for (size_t i = 0; i < children.size(); ++i) {
    const Result r = pvt::Wait(children[i], io[i]->path());
    EXPECT_TRUE(r.exited == 1 && r.code == 0) << r.err;
  }
  const Result r = Ctl(dir_, {"settings-list", file.string()});
  std::vector<std::string> keys;
  for (std::size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
    keys.push_back(r.out.substr(at, nl - at));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys.size(), 20u) << r.out;
  EXPECT_EQ(std::unique(keys.begin(), keys.end()), keys.end()) << r.out;
  for (int i = 0; i < 20; ++i) {
    Ini_ReadEntry("", ("KEY" + std::to_string(i)).c_str(), 0, file.c_str());
    EXPECT_EQ(IniEntry.value, "v") << i;
  }
  // No temporary file left: only the working directory, the file and the runner's two files.
  EXPECT_EQ(std::distance(fs::directory_iterator(base_), fs::directory_iterator()), 4);
}

// Through a symbolic link the file it names is written only when every link of the chain has
// that file's owner; the file keeps its owner, group and mode either way.
TEST_F(CtlTest, SettingsSetThroughLinksOnlyOfTheFilesOwnerAndKeepsOwnerGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  constexpr uid_t kOther = 65534;  // nobody
  const fs::path file = base_ / "job.ini", link = base_ / "link.ini", hop = base_ / "hop.ini";
  std::ofstream(file) << SettingsRecord(1, "LOGIN", "scott");
  ASSERT_EQ(::chown(file.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  fs::create_symlink(file, link);  // root's link to nobody's file
  const std::string before = ReadFile(file);
  Result r = Ctl(dir_, {"settings-set", link.string(), "PASS", "x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("owned by another user"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(file), before);

  // A chain through a link of another owner is refused as well.
  ASSERT_EQ(::lchown(link.c_str(), kOther, kOther), 0);
  fs::create_symlink(link, hop);  // root -> nobody -> nobody's file
  EXPECT_EQ(Ctl(dir_, {"settings-set", hop.string(), "PASS", "x"}).code, 2);
  EXPECT_EQ(ReadFile(file), before);

  // nobody's link to nobody's file: written through; root's edit keeps nobody's file nobody's.
  for (const fs::path& via : {link, file}) {
    r = Ctl(dir_, {"settings-set", via.string(), "PASS", "tiger"});
    ASSERT_EQ(r.code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOther);
    EXPECT_EQ(st.st_gid, kOther);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(fs::is_symlink(link));
    Ini_ReadEntry("", "PASS", 0, file.c_str());
    EXPECT_EQ(IniEntry.value, "tiger");
  }
}

}  // namespace
