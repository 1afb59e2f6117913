#include "tools/site_check.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "client/client.h"
#include "client/codes.h"
#include "client/plans.h"
#include "client/tool_queries.h"
#include "run/ground/RunControl.h"

namespace {

using pvc::ToolOp;

// The servers a row means something on (SessionRoute::server), and the routes.
enum Server : unsigned { kSqlite = 1, kPostgres = 2, kOracle = 4, kOther = 8, kAnyServer = 15 };
enum Via : unsigned { kNative = 1, kOdbc = 2, kAnyRoute = 3 };

// What a row asks: a statement of the tool table whose first value is judged, or a question
// that takes more than one statement.
enum class Probe {
  kStatement,
  kRoute,         // the server, texts and codes the session uses; through ODBC the driver's names
  kCursors,       // whether cursors stay open across commits (ODBC)
  kUniqueKey,     // the job's insert of a booking that exists gives -1
  kMissingTable,  // a statement on a table that does not exist gives -942
  kJobDate,       // the job's own date statement gives a day without time
  kLockWait,      // a write that meets another session's lock fails within the wait
  kPlans,         // every statement finds its rows through an index
  kPrivileges,    // the job's user may read and write where the night does
};

// How a row judges the one value its statement gives.
enum class Judge {
  kReport,           // shown as found (info)
  kEquals,           // `expected`, case aside: ok; anything else: `miss`
  kClock,            // a date and time 'YYYY-MM-DD HH:MM:SS' against this machine's clock
  kLongerThanNight,  // a time limit (PostgreSQL's units, seconds when bare; 0 or less: none)
  kNoTimeOfDay,      // a date format without hours, minutes or seconds
  kAtLeastOne,       // a count: 0 is `miss`
  kMoreThanNeeded,   // empty: ok; anything else is more than the night needs (info)
};

struct Row {
  const char* id;
  unsigned servers;
  unsigned via;
  Probe probe;
  ToolOp op;        // kStatement
  const char* arg;  // the statement's ?1, a text; nullptr: none
  Judge judge;
  const char* expected;  // kEquals
  SiteVerdict miss;      // the verdict when the answer is not the one expected
  const char* what;      // what the value is, in words
  const char* advice;    // what to do when it is not as expected
};

// A night whose cursor runs longer than a limit of the server is cut off: the limits must leave
// room for a night twice as long as the last.
constexpr double kNightMargin = 2.0;

constexpr Row kRows[] = {
    // What the session talks to, and in which texts and codes.
    {"route", kAnyServer, kAnyRoute, Probe::kRoute, ToolOp::kCount, nullptr, Judge::kReport,
     nullptr, SiteVerdict::kWarn, "the night's database",
     "the driver's DBMS name tells no server this build knows: the texts of record and their "
     "codes are sent as to Oracle; run doctor's other checks and a preview before the first night"},
    {"sqlite-version", kSqlite, kAnyRoute, Probe::kStatement, ToolOp::SiteSqliteVersion, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kInfo, "SQLite version", ""},
    {"sqlite-journal-mode", kSqlite, kAnyRoute, Probe::kStatement, ToolOp::SiteSqliteJournal,
     nullptr, Judge::kEquals, "wal", SiteVerdict::kWarn, "journal mode",
     "write-ahead logging lets the clerks read while the night writes: parvekctl schema-create "
     "sets it; on an older file: sqlite3 FILE 'PRAGMA journal_mode=WAL'"},
    {"pg-version", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgVersion, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kInfo, "PostgreSQL server version", ""},
    {"oracle-version", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleVersion, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kInfo, "Oracle version", ""},
    // The codes the night's decisions depend on.
    {"unique-key-code", kAnyServer, kAnyRoute, Probe::kUniqueKey, ToolOp::kCount, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kFail, "a booking inserted twice",
     "the night books a follow-up only where its insert does not give -1; with another code a "
     "booking that exists ends the person's night: the driver's codes are not mapped as this "
     "build expects (see the SQL codes in doc/databases.md)"},
    {"missing-table-code", kAnyServer, kAnyRoute, Probe::kMissingTable, ToolOp::SiteNoSuchTable,
     nullptr, Judge::kReport, nullptr, SiteVerdict::kFail, "a table that does not exist",
     "the job and parvekctl tell a schema without a table by -942: the driver's codes are not "
     "mapped as this build expects"},
    // Cursors across commits.
    {"cursors", kAnyServer, kOdbc, Probe::kCursors, ToolOp::kCount, nullptr, Judge::kReport,
     nullptr, SiteVerdict::kWarn, "cursors across commits",
     "the night runs, with one logon more per open cursor; a driver setting that keeps cursors "
     "open across commits (or a driver that does) lets it run as one session"},
    // Dates.
    {"oracle-date-format", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleDateFormat,
     nullptr, Judge::kNoTimeOfDay, nullptr, SiteVerdict::kFail, "the session's NLS_DATE_FORMAT",
     "the day-message cursors convert through it: a format with a time of day (HH, MI, SS) "
     "misses every booking; set NLS_DATE_FORMAT without one (the default DD-MON-RR has none)"},
    {"day-conversion", kAnyServer, kAnyRoute, Probe::kJobDate, ToolOp::kCount, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kFail, "the job's date statement",
     "the night reads its accounting day through this conversion: it must give a day without "
     "a time of day (the session's date settings)"},
    // Clocks.
    {"clock", kSqlite, kAnyRoute, Probe::kStatement, ToolOp::SiteSqliteNow, nullptr, Judge::kClock,
     nullptr, SiteVerdict::kFail, "the local date and time the night's statements read",
     "SQLite reads this machine's clock: set its time zone (TZ) as the site's"},
    {"clock", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgNow, nullptr, Judge::kClock,
     nullptr, SiteVerdict::kFail, "the server's date and time in the session's time zone",
     "the night's yesterday is the session's: set the job's role's time zone as the site's "
     "(ALTER ROLE ... SET timezone = '...') and this machine's clock and zone alike"},
    {"clock", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleNow, nullptr, Judge::kClock,
     nullptr, SiteVerdict::kFail, "sysdate",
     "the night's yesterday is the server's: set the server's time zone as the site's and this "
     "machine's clock and zone alike"},
    // Long cursors.
    {"pg-statement-timeout", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgSetting,
     "statement_timeout", Judge::kLongerThanNight, nullptr, SiteVerdict::kWarn,
     "statement_timeout",
     "ALTER ROLE ... SET statement_timeout = 0 (or longer than twice the night)"},
    {"pg-idle-in-transaction", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgSetting,
     "idle_in_transaction_session_timeout", Judge::kLongerThanNight, nullptr, SiteVerdict::kWarn,
     "idle_in_transaction_session_timeout",
     "a night's reading transaction waits between persons: ALTER ROLE ... SET "
     "idle_in_transaction_session_timeout = 0 (or longer than twice the night)"},
    {"pg-old-snapshot", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgSetting,
     "old_snapshot_threshold", Judge::kLongerThanNight, nullptr, SiteVerdict::kWarn,
     "old_snapshot_threshold",
     "the night's cursor reads one snapshot: set old_snapshot_threshold = -1 (or longer than "
     "twice the night) in the server's configuration"},
    {"oracle-undo-retention", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleUndo,
     nullptr, Judge::kLongerThanNight, nullptr, SiteVerdict::kWarn, "undo_retention (seconds)",
     "the night's cursor needs undo for as long as the night (ORA-01555 otherwise): raise "
     "undo_retention above twice the night's length"},
    // Lock waits.
    {"lock-wait", kAnyServer, kAnyRoute, Probe::kLockWait, ToolOp::kCount, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kFail, "a write that meets another session's lock",
     "the night's writes must give up after the job's lock wait (-54), or a clerk's open "
     "transaction holds the night as long as it stays open: check the driver's query time-out "
     "and the server's lock settings"},
    // Indexes.
    {"plans", kSqlite | kPostgres, kAnyRoute, Probe::kPlans, ToolOp::kCount, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kWarn, "the statements' plans", ""},
    {"oracle-index-bookings", kOracle, kAnyRoute, Probe::kStatement,
     ToolOp::SiteOracleIndexLeads, "KRV321BCH.BCHPNR", Judge::kAtLeastOne, nullptr,
     SiteVerdict::kWarn, "indexes of Krv321Bch that begin with BchPnr",
     "every person's bookings are read whole otherwise: CREATE INDEX ... ON Krv321Bch (BchPnr, "
     "BchVon)"},
    {"oracle-index-days", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleIndexLeads,
     "KRV327TAG.TAGTAG", Judge::kAtLeastOne, nullptr, SiteVerdict::kWarn,
     "indexes of Krv327Tag that begin with TagTag",
     "the yesterday cursor reads every day record otherwise: CREATE INDEX ... ON Krv327Tag "
     "(TagTag)"},
    // Privileges.
    {"privileges", kAnyServer, kAnyRoute, Probe::kPrivileges, ToolOp::kCount, nullptr,
     Judge::kReport, nullptr, SiteVerdict::kFail, "the job's rights",
     "grant the job's user what it lacks (GRANT ... ON table TO user), nothing more"},
    {"pg-role", kPostgres, kAnyRoute, Probe::kStatement, ToolOp::SitePgRole, nullptr,
     Judge::kMoreThanNeeded, nullptr, SiteVerdict::kInfo, "the job's role",
     "the night needs no more than the rights above: a role of its own limits what a fault or a "
     "stolen settings file can do"},
    {"oracle-role", kOracle, kAnyRoute, Probe::kStatement, ToolOp::SiteOracleRole, nullptr,
     Judge::kMoreThanNeeded, nullptr, SiteVerdict::kInfo, "the job's user's roles",
     "the night needs no more than the rights above: a user of its own limits what a fault or a "
     "stolen settings file can do"},
};

unsigned ServerBit(const std::string& server) {
  if (server == "sqlite") return kSqlite;
  if (server == "postgres") return kPostgres;
  if (server == "oracle") return kOracle;
  return kOther;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Code(int rc) { return "RC:" + std::to_string(rc); }

// A time setting in seconds ("0", "30s", "5min", "2h", "1d", "1500ms", "-1", a bare number of
// seconds); -1 for none (0 and less mean no limit); nullopt when it is no time.
std::optional<double> Seconds(const std::string& v) {
  char* end = nullptr;
  const double n = std::strtod(v.c_str(), &end);
  if (end == v.c_str()) return std::nullopt;
  if (n <= 0) return -1.0;
  const std::string unit = end;
  if (unit.empty() || unit == "s") return n;
  if (unit == "ms") return n / 1000;
  if (unit == "min") return n * 60;
  if (unit == "h") return n * 3600;
  if (unit == "d") return n * 86400;
  return std::nullopt;
}

SiteResult Found(const Row& r, const std::string& text) {
  return {r.id, SiteVerdict::kOk, std::string(r.what) + ": " + text, ""};
}
SiteResult Missed(const Row& r, const std::string& text) {
  return {r.id, r.miss, std::string(r.what) + ": " + text, r.advice};
}
SiteResult CannotTell(const Row& r, const std::string& why) {
  return {r.id, SiteVerdict::kCannotTell, std::string(r.what) + ": cannot tell (" + why + ")", ""};
}
SiteResult Failed(const Row& r, pvc::Session& s, int rc) {
  return CannotTell(r, Code(rc) + " " + Run_OneLine(s.LastError().message));
}

SiteResult JudgeValue(const Row& r, const std::string& v, const SiteContext& c) {
  SiteResult out = Found(r, v);
  const auto miss = [&](const std::string& why) { return Missed(r, v + " (" + why + ")"); };
  switch (r.judge) {
    case Judge::kReport: out.verdict = SiteVerdict::kInfo; return out;
    case Judge::kEquals:
      return Lower(v) == r.expected ? out : miss(std::string("expected ") + r.expected);
    case Judge::kAtLeastOne: return std::atol(v.c_str()) > 0 ? out : miss("none");
    case Judge::kMoreThanNeeded:
      if (v.empty()) return Found(r, "no more than the night needs");
      out.verdict = r.miss;
      out.text = std::string(r.what) + ": " + v + ", more than the night needs";
      out.advice = r.advice;
      return out;
    case Judge::kNoTimeOfDay: {
      const std::string f = Lower(v);
      for (const char* t : {"hh", "mi", "ss"})
        if (f.find(t) != std::string::npos) return miss("it carries a time of day");
      return out;
    }
    case Judge::kClock: {
      std::tm db{};
      const char* rest = strptime(v.c_str(), "%Y-%m-%d %H:%M:%S", &db);
      if (rest == nullptr || *rest != '\0') return CannotTell(r, "no date and time: " + v);
      const std::time_t now = std::time(nullptr);
      const std::string here = Run_LocalTime(now, "%Y-%m-%d %H:%M:%S");
      std::tm mine{};
      localtime_r(&now, &mine);
      // Both read as local times, so that the difference is that of the clocks and zones.
      db.tm_isdst = mine.tm_isdst = -1;
      const double apart = std::difftime(std::mktime(&db), std::mktime(&mine));
      out.text += ", this machine " + here;
      if (v.substr(0, 10) != here.substr(0, 10))
        return Missed(r, v + ", this machine " + here +
                             " (another date: the night's yesterday is not this machine's)");
      if (apart > 120 || apart < -120) {
        out.verdict = SiteVerdict::kWarn;
        out.text += " (" + std::to_string(static_cast<long long>(apart)) +
                    " s apart: near midnight the two yesterdays differ)";
        out.advice = r.advice;
      }
      return out;
    }
    case Judge::kLongerThanNight: {
      if (v.empty()) return Found(r, "not a setting of this server");
      const std::optional<double> limit = Seconds(v);
      if (!limit) return CannotTell(r, "no time: " + v);
      if (*limit < 0) return Found(r, v + " (no limit)");
      if (!c.last_night_s) return CannotTell(r, v + ", and the database records no night to "
                                                    "compare it with");
      if (*limit < *c.last_night_s * kNightMargin) {
        char why[96];
        std::snprintf(why, sizeof why, "shorter than twice the last night's %.0f s",
                      *c.last_night_s);
        return miss(why);
      }
      return out;
    }
  }
  return out;
}

// The probe row: a booking of doctor's own (nobody's number, a day long past), written only
// inside a transaction that is rolled back.
const std::vector<pvc::Bind>& ProbeBooking() {
  static const std::vector<pvc::Bind> in = {pvc::Bind::Txt("~doctor"), pvc::Bind::Dat("19000101"),
                                            pvc::Bind::DatTime("19000101000000"),
                                            pvc::Bind::Int(0), pvc::Bind::Txt("~")};
  return in;
}
constexpr const char* kSavepoint = "pvk_doctor";

SiteResult RouteOf(const Row& r, const pvc::SessionRoute& route) {
  std::string text = "server " + route.server;
  if (route.odbc) text += " through ODBC (DBMS " + route.dbms + ", driver " + route.driver + ")";
  text += "; statement texts " + route.texts + ", codes mapped from " +
          (route.server == "other" ? std::string("oracle") : route.server);
  SiteResult out = Found(r, text);
  out.verdict = SiteVerdict::kInfo;
  if (route.server == "other") {
    out.verdict = r.miss;
    out.advice = r.advice;
  }
  return out;
}

SiteResult Cursors(const Row& r, const pvc::SessionRoute& route) {
  const std::string text = "SQL_CURSOR_COMMIT_BEHAVIOR " + route.cursor_commit +
                           ", SQL_CURSOR_ROLLBACK_BEHAVIOR " + route.cursor_rollback;
  if (route.one_session) return Found(r, text + ": the night runs as one session");
  return Missed(r, text + ": " + route.fallback);
}

SiteResult UniqueKey(const Row& r, pvc::Session& s) {
  int rc = s.Savepoint(kSavepoint);
  if (rc == pvc::kOk) rc = s.Write(pvc::Op::BchInsert, ProbeBooking());
  const int again = rc == pvc::kOk ? s.Write(pvc::Op::BchInsert, ProbeBooking()) : rc;
  const pvc::ErrorDetail detail = s.LastError();
  pvc::ToolsOf(s).RollbackAll();
  if (again == pvc::kUniqueViolated)
    return Found(r, "the second insert gives -1" +
                        (rc == pvc::kUniqueViolated ? std::string(" (so did the first)") : ""));
  if (rc != pvc::kOk && rc != pvc::kUniqueViolated)
    return CannotTell(r, "the probe's insert: " + Code(rc) + " " + Run_OneLine(detail.message));
  return Missed(r, "the second insert gives " + std::to_string(again) + " (native " +
                       std::to_string(detail.native) + " " + detail.sqlstate + ": " +
                       Run_OneLine(detail.message) + "), not -1");
}

SiteResult MissingTable(const Row& r, pvc::Session& s) {
  std::vector<pvc::Row> rows;
  const int rc = pvc::ToolsOf(s).Query(pvc::Tool_Sql(r.op), rows);
  const pvc::ErrorDetail detail = s.LastError();
  pvc::ToolsOf(s).RollbackAll();
  if (rc == pvc::kNoTable) return Found(r, "gives -942");
  return Missed(r, "gives " + std::to_string(rc) + " (native " + std::to_string(detail.native) +
                       " " + detail.sqlstate + "), not -942");
}

SiteResult JobDate(const Row& r, pvc::Session& s) {
  pvc::Row row;
  const int rc = s.SelectOne(pvc::Op::Today, {}, row);
  pvc::ToolsOf(s).RollbackAll();
  if (rc != pvc::kOk) return Failed(r, s, rc);
  const std::string v = row.empty() || row[0].null ? "" : row[0].text;
  std::tm day{};
  const char* rest = v.size() == 8 ? strptime(v.c_str(), "%Y%m%d", &day) : nullptr;
  if (rest == nullptr || *rest != '\0')
    return Missed(r, "today reads \"" + v + "\", not a day YYYYMMDD");
  return Found(r, "today reads " + v + ", a day without time");
}

// A second session holds the probe row's lock; the first writes the same row and must fail with
// the lock code within the wait. Should the write not come back within the bound, the holder
// gives its lock up (the write then goes through, inside a transaction rolled back too).
SiteResult LockWait(const Row& r, const SiteContext& c) {
  if (!c.open_other) return CannotTell(r, "no second session");
  std::unique_ptr<pvc::Session> holder, writer;
  int rc = c.open_other(holder);
  if (rc == pvc::kOk) rc = c.open_other(writer);
  if (rc != pvc::kOk) return CannotTell(r, "a second session: " + Code(rc));
  rc = holder->Savepoint(kSavepoint);
  if (rc == pvc::kOk) rc = holder->Write(pvc::Op::BchInsert, ProbeBooking());
  if (rc != pvc::kOk) {
    const std::string why = Code(rc) + " " + Run_OneLine(holder->LastError().message);
    pvc::ToolsOf(*holder).RollbackAll();
    return CannotTell(r, "the holder's insert: " + why);
  }
  // The write runs on a thread of its own that owns its session, so that a write that never
  // comes back holds up neither doctor nor its end.
  struct Write {
    std::unique_ptr<pvc::Session> session;
    std::promise<int> done;
  };
  auto w = std::make_shared<Write>();
  w->session = std::move(writer);
  std::future<int> write = w->done.get_future();
  const auto start = std::chrono::steady_clock::now();
  std::thread([w] {
    int code = w->session->Savepoint(kSavepoint);
    if (code == pvc::kOk) code = w->session->Write(pvc::Op::BchInsert, ProbeBooking());
    pvc::ToolsOf(*w->session).RollbackAll();
    w->done.set_value(code);
  }).detach();
  const auto bound = std::chrono::milliseconds(c.lock_bound_ms);
  const bool came_back = write.wait_for(bound) == std::future_status::ready;
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  pvc::ToolsOf(*holder).RollbackAll();
  const bool ended = came_back || write.wait_for(bound) == std::future_status::ready;
  const int code = ended ? write.get() : 0;
  char took[64];
  std::snprintf(took, sizeof took, "%.1f s", waited);
  if (!came_back)
    return Missed(r, std::string("still waiting after ") + took + " (the wait is " +
                         std::to_string(c.lock_wait_ms) + " ms): the wait is not bounded" +
                         (ended ? "" : ", and it went on after the lock was given up"));
  if (code == pvc::kLocked || code == pvc::kCancelled)
    return Found(r, "fails with " + std::to_string(code) + " after " + took + " (the wait is " +
                        std::to_string(c.lock_wait_ms) + " ms)");
  return Missed(r, "gives " + std::to_string(code) + " after " + took + ", not -54");
}

// Where the night reads and writes, and what it does there.
struct Right {
  const char* table;
  const char* verbs;  // S select, I insert, U update (of `column`), D delete
  const char* column;
};
constexpr Right kRights[] = {
    {"Krv327Tag", "SU", "TagTgb"}, {"Krv320Tgb", "S", nullptr},  {"Krv321Bch", "SIUD", "BchFkt"},
    {"Krv131Fcd", "S", nullptr},   {"Krv329Ztg", "S", nullptr},  {"Krv140Azv", "S", nullptr},
    {"ParvekNights", "SIU", "Outcome"},
};

// Each right asked by a statement that touches no row: the database checks the right before it
// looks for rows.
SiteResult Privileges(const Row& r, pvc::Session& s) {
  std::string lacks, unknown;
  pvc::SessionTools& tools = pvc::ToolsOf(s);
  for (const Right& right : kRights) {
    for (const char* v = right.verbs; *v != '\0'; ++v) {
      const ToolOp op = *v == 'S'   ? ToolOp::SiteMaySelect
                        : *v == 'I' ? ToolOp::SiteMayInsert
                        : *v == 'U' ? ToolOp::SiteMayUpdate
                                    : ToolOp::SiteMayDelete;
      const std::string sql = pvc::Tool_Sql(op, {right.table, right.column ? right.column : ""});
      std::vector<pvc::Row> rows;
      const int rc = *v == 'S' ? tools.Query(sql, rows) : tools.ExecScript(sql);
      tools.RollbackAll();
      const std::string what = std::string(*v == 'S'   ? "SELECT"
                                           : *v == 'I' ? "INSERT"
                                           : *v == 'U' ? "UPDATE"
                                                       : "DELETE") +
                               " on " + right.table;
      if (rc == pvc::kOk || rc == pvc::kNoData) continue;
      if (rc == pvc::kNoTable && std::string(right.table) == "ParvekNights") continue;
      if (rc == pvc::kNoPrivilege || rc == pvc::kReadOnly)
        lacks += (lacks.empty() ? "" : ", ") + what;
      else
        unknown += (unknown.empty() ? "" : ", ") + what + " " + Code(rc);
    }
  }
  if (!lacks.empty()) return Missed(r, "lacks " + lacks);
  if (!unknown.empty()) return CannotTell(r, unknown);
  return Found(r, "may read and write where the night does");
}

void Plans(const Row& r, pvc::Session& s, std::vector<SiteResult>& out) {
  std::vector<pvc::PlanProblem> found;
  std::string failed;
  const int rc = pvc::Plan_Problems(s, found, failed);
  pvc::ToolsOf(s).RollbackAll();
  if (rc != pvc::kOk) {
    out.push_back(CannotTell(r, failed.empty() ? "the session sends the texts of record, whose "
                                                 "plans are not asked here"
                                               : "the plan of " + failed + ": " + Code(rc) + " " +
                                                     Run_OneLine(s.LastError().message)));
    return;
  }
  if (found.empty()) {
    out.push_back(Found(r, "every statement finds its rows through an index"));
    return;
  }
  // The indexes a schema made by parvekctl schema-create has.
  struct Index {
    const char* table;
    const char* columns;
  };
  static constexpr Index kIndexes[] = {
      {"krv321bch", "BchPnr, BchVon, BchUhr, BchFkt"}, {"krv327tag", "TagPnr, TagTag"},
      {"krv320tgb", "TgbPnr, TgbDtm, TgbZtr"},         {"krv131fcd", "FcdNum"},
      {"krv329ztg", "ZtgPnr, ZtgVon"},                 {"krv140azv", "AzvNum, AzvGvo"},
  };
  for (const pvc::PlanProblem& p : found) {
    std::string advice = "compare the schema's indexes with parvekctl schema-create's";
    for (const Index& i : kIndexes)
      if (Lower(p.table) == i.table)
        advice = std::string("CREATE INDEX ") + p.table + "_night ON " + p.table + " (" +
                 i.columns + ")";
    out.push_back({r.id, r.miss,
                   std::string(pvc::Op_Info(p.op).name) +
                       (p.table.empty() ? " sorts all its rows before the first"
                                        : " reads " + p.table + " whole") +
                       ", once per person",
                   advice});
  }
}

}  // namespace

std::optional<double> Site_LastNightSeconds(pvc::Session& s) {
  std::vector<pvc::Row> rows;
  const int rc = pvc::ToolsOf(s).Query(pvc::Tool_Sql(ToolOp::NightsEnded), rows);
  pvc::ToolsOf(s).RollbackAll();
  if (rc != pvc::kOk || rows.empty() || rows[0].size() < 2 || rows[0][0].null || rows[0][1].null)
    return std::nullopt;
  std::tm a{}, b{};
  if (strptime(rows[0][0].text.c_str(), "%Y-%m-%d %H:%M:%S", &a) == nullptr ||
      strptime(rows[0][1].text.c_str(), "%Y-%m-%d %H:%M:%S", &b) == nullptr)
    return std::nullopt;
  a.tm_isdst = b.tm_isdst = -1;
  const double d = std::difftime(std::mktime(&b), std::mktime(&a));
  return d >= 0 ? std::optional<double>(d) : std::nullopt;
}

const char* SiteVerdictWord(SiteVerdict v) {
  switch (v) {
    case SiteVerdict::kOk: return "ok";
    case SiteVerdict::kWarn: return "WARN";
    case SiteVerdict::kFail: return "FAIL";
    default: return "info";
  }
}

const char* SiteVerdictKey(SiteVerdict v) {
  switch (v) {
    case SiteVerdict::kOk: return "ok";
    case SiteVerdict::kWarn: return "warn";
    case SiteVerdict::kFail: return "fail";
    case SiteVerdict::kCannotTell: return "cannot tell";
    default: return "info";
  }
}

std::optional<SiteResult> Site_Judge(const std::string& row_id, const std::string& server,
                                     const std::string& value, const SiteContext& c) {
  for (const Row& r : kRows)
    if (row_id == r.id && (r.servers & ServerBit(server)) != 0 && r.probe == Probe::kStatement)
      return JudgeValue(r, value, c);
  return std::nullopt;
}

std::vector<SiteResult> Site_Check(pvc::Session& s, const SiteContext& c) {
  std::vector<SiteResult> out;
  const pvc::SessionRoute route = pvc::ToolsOf(s).Route();
  const unsigned server = ServerBit(route.server);
  const unsigned via = route.odbc ? kOdbc : kNative;
  for (const Row& r : kRows) {
    if ((r.servers & server) == 0 || (r.via & via) == 0) continue;
    switch (r.probe) {
      case Probe::kRoute: out.push_back(RouteOf(r, route)); continue;
      case Probe::kCursors: out.push_back(Cursors(r, route)); continue;
      case Probe::kUniqueKey: out.push_back(UniqueKey(r, s)); continue;
      case Probe::kMissingTable: out.push_back(MissingTable(r, s)); continue;
      case Probe::kJobDate: out.push_back(JobDate(r, s)); continue;
      case Probe::kLockWait: out.push_back(LockWait(r, c)); continue;
      case Probe::kPlans: Plans(r, s, out); continue;
      case Probe::kPrivileges: out.push_back(Privileges(r, s)); continue;
      case Probe::kStatement: break;
    }
    std::vector<pvc::Row> rows;
    const std::string sql = r.arg != nullptr ? pvc::Tool_Sql(r.op, {pvc::Tool_Quoted(r.arg)})
                                             : pvc::Tool_Sql(r.op);
    const int rc = pvc::ToolsOf(s).Query(sql, rows);
    pvc::ToolsOf(s).RollbackAll();  // a read: nothing to keep, no transaction left open
    if (rc != pvc::kOk) {
      // A missing privilege, or a server without the setting: the reason, not a failure.
      out.push_back(Failed(r, s, rc));
      continue;
    }
    if (rows.empty() || rows[0].empty()) {
      out.push_back(CannotTell(r, "no row"));
      continue;
    }
    const pvc::Cell& cell = rows[0][0];
    const std::string v = cell.null ? "" : cell.is_int ? std::to_string(cell.num) : cell.text;
    out.push_back(JudgeValue(r, v, c));
  }
  return out;
}
