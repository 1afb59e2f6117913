// parvekctl doctor SETTINGS_FILE [--json]: run as the job's user in the job's working directory,
// shows what the job would use and finds the set-up faults that otherwise show only in the first
// night's run log; then checks the site (tools/site_check.h): what the night depends on in the
// database and its route to it. One line per finding, with what to do about it (or one JSON
// object); exit 0 when the job would run, 1 otherwise.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "client/codes.h"
#include "client/core/tool_statements.h"
#include "run/Night.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/IniFile.h"
#include "run/ground/RunControl.h"
#include "run/ground/RunLog.h"
#include "run/ground/Settings.h"
#include "tools/ctl.h"
#include "tools/ctl_runlog.h"
#include "tools/odbc_logs.h"
#include "tools/site_check.h"

namespace {

int g_failures = 0;
// With --json the findings are gathered here and printed as one object at the end.
nlohmann::ordered_json* g_json = nullptr;

void Say(const char* level, const std::string& text, const std::string& check = "",
         const std::string& advice = "") {
  if (std::strcmp(level, "FAIL") == 0) ++g_failures;
  if (g_json != nullptr) {
    nlohmann::ordered_json f;
    if (!check.empty()) f["check"] = check;
    std::string key = level;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    f["verdict"] = key;
    f["text"] = text;
    if (!advice.empty()) f["advice"] = advice;
    (*g_json)["findings"].push_back(std::move(f));
    return;
  }
  const std::string line = check.empty() ? text : "site check " + check + ": " + text;
  std::printf("%-4s  %s%s\n", level, line.c_str(), advice.empty() ? "" : (": " + advice).c_str());
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// What a failed connect usually means.
std::string ConnectHint(int rc) {
  switch (rc) {
    case pvc::kBadNetName:
      return "NET8 names no database this build serves, or its directory does not exist";
    case pvc::kBadLogin: return "the server refused LOGIN and PASS";
    case pvc::kNoListener: return "the server is not reachable (started? host and port of NET8?)";
    case pvc::kNoSchema: return "the schema does not exist (parvekctl schema-create)";
    case pvc::kBadSchemaName: return "SCHEMA gives no valid schema name";
    case pvc::kNoPrivilege: return "the job's user may not read the schema";
    default: return "see the SQL codes in the guide databases.md";
  }
}

bool SettingsReadable(const std::string& path) {
  struct stat sb {};
  if (::stat(path.c_str(), &sb) != 0) {
    Say("FAIL",
        "settings file " + path + ": " + std::strerror(errno) +
            "; the job would log \"Fehler(DB-Connect)! RC:-12154\" with empty Name and Net");
    return false;
  }
  std::FILE* f = S_ISREG(sb.st_mode) ? std::fopen(path.c_str(), "r") : nullptr;
  if (f == nullptr) {
    Say("FAIL",
        "settings file " + path + " cannot be read by this user (" +
            (S_ISREG(sb.st_mode) ? std::string(std::strerror(errno)) : "not a regular file") +
            "); the job would log \"RC:-12154\" with empty Name and Net, like a wrong NET8: "
            "let the job's user read it (owner or group, mode 0600/0640)");
    return false;
  }
  std::fclose(f);
  Say("ok", "settings file " + path + " is readable");
  return true;
}

// The working directory takes the run log and the parameter file.
void CheckWorkingDirectory() {
  char cwd[4096];
  const std::string here = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
  char probe[] = ".parvek-doctor-XXXXXX";
  const int fd = ::mkstemp(probe);
  if (fd < 0) {
    Say("FAIL", "working directory " + here + " cannot be written by this user (" +
                    std::strerror(errno) +
                    "): the job would keep no run log and no parameter file; run it in a directory "
                    "its user owns");
    return;
  }
  ::close(fd);
  ::unlink(probe);
  for (const char* name : {kRunLogName, "parvektgb"}) {
    if (::access(name, F_OK) == 0 && ::access(name, W_OK) != 0) {
      Say("FAIL", std::string(name) + " in " + here +
                      " exists and cannot be written by this user: give it to the "
                      "job's user or remove it");
      return;
    }
  }
  Say("ok",
      "working directory " + here + " is writable (run log parvek.log, parameter file parvektgb)");
}

// The accounting day (the database's yesterday) and its placeholders, read with the job's own
// yesterday cursor.
std::optional<AccountingDay> CheckAccountingDay(pvc::Session& s) {
  const std::optional<AccountingDay> day = Ctl_DatabaseYesterday(s);
  if (!day) {
    Say("FAIL", "the database's date cannot be read (" + s.LastError().message +
                    "): the night would not know its accounting day");
    return day;
  }
  std::unique_ptr<pvc::Cursor> cur;
  int rc = s.Open(pvc::Op::TagYday, {}, cur);
  long count = 0;
  pvc::Row row;
  while (rc == pvc::kOk && (rc = cur->Fetch(row)) == pvc::kOk) ++count;
  if (rc != pvc::kNoData) {
    Say("FAIL",
        "the yesterday cursor fails: RC:" + std::to_string(rc) + " " + s.LastError().message);
    return day;
  }
  if (count == 0) {
    Say("info", "accounting day " + day->Dashed() +
                    " (the database's yesterday): no placeholder day record, tonight's run would "
                    "have nothing to do");
    return day;
  }
  Say("info", "accounting day " + day->Dashed() + " (the database's yesterday): " +
                  std::to_string(count) + " placeholder day record" + (count == 1 ? "" : "s"));
  return day;
}

void CheckTimeZone() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char zone[64];
  std::strftime(zone, sizeof zone, "%Z (UTC%z)", &local);
  const char* tz = std::getenv("TZ");
  Say("info", std::string("local time zone ") + zone +
                  (tz != nullptr ? std::string(", TZ=") + tz : ", TZ not set") +
                  ": the run log's time stamp and SQLite's yesterday follow it");
}

// A run of the run log that worked on `day` already: a second one is no no-op.
void CheckRerun(const AccountingDay& day) {
  if (::access(kRunLogName, F_OK) != 0) {
    Say("info", "no run log parvek.log here yet");
    return;
  }
  const std::string stamp = Ctl_RunLogRunForDay(kRunLogName, day.Number());
  if (!stamp.empty()) {
    Say("WARN", "the run log already holds a run for " + day.Dashed() + " (started " + stamp +
                    "): a second run is no no-op (follow-ups with FcdGpu 1 are cancelled and "
                    "booked again); "
                    "see parvekctl night --preview");
    return;
  }
  Say("ok", "the run log holds no run for " + day.Dashed() + " yet");
}

// The database's record of nights done, which keeps a second night of a day from running by
// accident from any directory or host: there, and what it says of `day`.
void CheckNightsRecord(pvc::Session& s, const AccountingDay& day, const std::string& path) {
  std::vector<pvc::Row> rows;
  const int rc =
      pvc::ToolsOf(s).Query(pvc::Tool_Sql(pvc::ToolOp::NightsOfDay, {"'" + day.Compact() + "'"}), rows);
  pvc::ToolsOf(s).RollbackAll();
  if (rc != pvc::kOk) {
    Say("WARN", "the schema has no record of nights done (table ParvekNights; RC:" +
                    std::to_string(rc) + "): a second night of a day is then caught only by the "
                    "run log of its own directory; parvekctl schema-upgrade --settings " + path +
                    " adds it");
    return;
  }
  for (const pvc::Row& r : rows) {
    if (r.size() < 4 || r[3].text != "finished") continue;
    Say("WARN", "the database records a finished night of " + day.Dashed() + " (started " +
                    r[0].text + " by " + Run_OneLine(r[1].text) +
                    "): parvekctl night refuses that day without --force");
    return;
  }
  Say("ok", "the database records no finished night of " + day.Dashed() + " yet");
}

// Logs of unixODBC or of PostgreSQL's ODBC driver that write what connections send and receive
// where other users can read it. False when a log would take the password as doctor connects:
// then it does not connect.
bool CheckOdbcLogs(const std::string& net) {
  const OdbcIniFiles files = OdbcIni_Files();
  const OdbcLogReport report = OdbcLog_Check(net, files);
  if (!report.odbc) return true;
  bool connect = true;
  for (const OdbcLogSwitch& s : report.on) {
    Say("WARN", Run_OneLine(s.where) + ": " + Run_OneLine(s.setting) + ": " + s.advice);
    if (s.logs_password) connect = false;
  }
  if (report.on.empty())
    Say("ok", "no ODBC log is switched on for NET8 (read " + Run_OneLine(files.drivers) + ", " +
                  Run_OneLine(files.system_sources) + ", " + Run_OneLine(files.user_sources) + ")");
  if (!connect)
    Say("FAIL",
        "not connecting: the driver's log would take the password; switch it off and run "
        "doctor again (the job's night would write it there too)");
  return connect;
}

int Doctor(const std::string& path) {
  g_failures = 0;
  const passwd* pw = ::getpwuid(::geteuid());
  Say("info", std::string("running as user ") + (pw != nullptr ? pw->pw_name : "?") + " (uid " +
                  std::to_string(::geteuid()) +
                  "); run doctor as the job's user, in the job's working directory");
  const bool readable = SettingsReadable(path);
  CheckWorkingDirectory();
  CheckTimeZone();
  if (!readable) return 1;
  if (const std::string problem = Ctl_SettingsProblem(path, {"LOGIN", "PASS", "NET8", "SCHEMA"});
      !problem.empty()) {
    Say("FAIL", problem);
    return 1;
  }

  const Settings settings = Settings_Read(path);
  CtlTarget t;
  t.login = settings.login;
  t.pass = settings.pass;
  t.net = settings.net8;
  const std::string& schema_value = settings.schema;
  t.schema = settings.SchemaName();
  const bool sqlite = DatabaseAddress_Parse(t.net).engine == DbEngine::kSqlite;
  for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"LOGIN", &t.login},
                                   {"PASS", &t.pass},
                                   {"NET8", &t.net},
                                   {"SCHEMA", &schema_value}}) {
    if (!value->empty()) continue;
    const bool needed =
        !(sqlite && (std::strcmp(key, "LOGIN") == 0 || std::strcmp(key, "PASS") == 0));
    Say(needed ? "FAIL" : "info",
        std::string(key) + " is missing or empty in " + path +
            (needed ? ": parvekctl settings-set " + path + " " + key + " VALUE"
                    : " (SQLite does not check it)"));
  }
  Say("info", "LOGIN " + (t.login.empty() ? std::string("(empty)") : t.login) + ", PASS " +
                  (t.pass.empty() ? "(empty)" : "set") + ", NET8 " +
                  Run_OneLine(Net8_Mask(t.net)) + ", schema " +
                  (t.schema.empty() ? std::string("(empty)") : t.schema) +
                  " (the SCHEMA value without its last character, upper-cased)");
  const bool may_connect = CheckOdbcLogs(t.net);
  if (t.net.empty() || t.schema.empty() || !may_connect) return 1;

  std::unique_ptr<pvc::Session> s;
  std::string why;
  int rc = Ctl_OpenSchema(t, s, why);
  if (rc == pvc::kNoSchema && s) {
    // The commonest slip: a SCHEMA value written without the character the job drops.
    const std::string whole = Upper(schema_value);
    if (whole != t.schema &&
        s->ExecDynamic("ALTER SESSION SET CURRENT_SCHEMA=" + whole) == pvc::kOk) {
      Say("FAIL", "schema " + t.schema + " does not exist, but " + whole +
                      " does: the job drops the SCHEMA value's "
                      "last character, so write the value with one more character (parvekctl "
                      "settings-set " +
                      path + " SCHEMA '" + schema_value + "#')");
      return 1;
    }
  }
  if (rc != pvc::kOk) {
    Say("FAIL", "connect: RC:" + std::to_string(rc) + " " + why + ": " + ConnectHint(rc));
    return 1;
  }
  Say("ok", "connected to " + Run_OneLine(Net8_Mask(t.net)) + ", schema " + t.schema);

  std::string failed;
  const int bad = Ctl_ProbeStatements(
      *s, [&failed](const pvc::OpInfo& info, int code, const std::string& message) {
        if (code != pvc::kOk && code != pvc::kNoData)
          failed += std::string(failed.empty() ? "" : "; ") + info.name +
                    " RC:" + std::to_string(code) + " " + message;
      });
  if (bad == 0)
    Say("ok", "every statement of the job runs on schema " + t.schema);
  else
    Say("FAIL", "schema check: " + failed + " (parvekctl schema-check --settings " + path + ")");

  if (const std::optional<AccountingDay> day = CheckAccountingDay(*s)) {
    CheckNightsRecord(*s, *day, path);
    CheckRerun(*day);
  }
  SiteContext site;
  site.last_night_s = Site_LastNightSeconds(*s);
  // The lock probe's two sessions wait for a lock as briefly as the probe allows; doctor opens
  // no session after them.
  site.open_other = [&t, &site](std::unique_ptr<pvc::Session>& other) {
    pvc::SetLockWaitMs(site.lock_wait_ms);
    std::string ignored;
    return Ctl_OpenSchema(t, other, ignored);
  };
  for (const SiteResult& r : Site_Check(*s, site)) {
    const char* level = SiteVerdictWord(r.verdict);
    if (g_json != nullptr) level = SiteVerdictKey(r.verdict);
    Say(level, Run_OneLine(r.text), r.id, r.advice);
  }
  return g_failures == 0 ? 0 : 1;
}

int DoctorWithOutput(const std::string& path, bool json) {
  if (!json) return Doctor(path);
  nlohmann::ordered_json out;
  out["settings"] = path;
  out["findings"] = nlohmann::ordered_json::array();
  g_json = &out;
  const int code = Doctor(path);
  g_json = nullptr;
  out["exit"] = code;
  std::printf("%s\n", out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  return code;
}

const CtlCommand kDoctor(
    "doctor", "Check a set-up as the job's user: settings, database, working directory",
    [](CtlArgs& args) {
      auto path = std::make_shared<std::string>();
      auto json = std::make_shared<bool>(false);
      args.Text("SETTINGS_FILE", *path, "The job's settings file", true)
          .Flag("--json", *json, "One JSON object with every finding, for scripts")
          .Footer(
              "Run it as the job's user in the job's working directory. After the set-up it "
              "checks the site: the database's route, codes, dates, clock, time limits, lock "
              "waits, indexes and rights, leaving nothing changed. Exit 0 when the job would "
              "run, 1 otherwise. The password is never shown.");
      return [path, json] { return DoctorWithOutput(*path, *json); };
    });

}  // namespace
