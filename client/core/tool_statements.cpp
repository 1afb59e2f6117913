// The companion tool's statements (client/core/tool_statements.h).
#include "client/core/tool_statements.h"

#include <iterator>

namespace pvc {
namespace {

// The record of nights done: one row per night begun, in the schema of the job's tables. Days
// and times as text, so that one text serves every engine.
#define PVK_NIGHTS_DDL                                                                   \
  "CREATE TABLE ParvekNights ("                                                          \
  " NightDay CHAR(8) NOT NULL, Started VARCHAR(19) NOT NULL, StartedBy VARCHAR(160) NOT NULL," \
  " Ended VARCHAR(19), Outcome VARCHAR(16) NOT NULL,"                                    \
  " PRIMARY KEY (NightDay, Started, StartedBy))"

// Day records with their day-evaluation target (TgbSol, NULL without a TgbZtr 1 row) and their
// three code/value pairs, for the viewer and for explain.
#define PVK_DAYS_WITH_TGB                                                                   \
  "SELECT t.TagPnr, t.TagTag, t.TagVon, t.TagUhr, t.TagBis, t.TagEnd, g.TgbSol, t.TagTgb,"  \
  " t.TagTgs, t.TagHtv, t.TagHvs, t.TagHtn, t.TagHns FROM Krv327Tag t LEFT JOIN Krv320Tgb g" \
  " ON g.TgbPnr = t.TagPnr AND g.TgbDtm = t.TagTag AND g.TgbZtr = 1"

constexpr ToolStatement kToolOps[] = {
    // The viewer's two tables (parvekctl show): plain SQL that every backend takes.
    {ToolOp::ShowDays, "ShowDays",
     PVK_DAYS_WITH_TGB " WHERE t.TagTag >= ?1 AND t.TagTag < ?2 ORDER BY t.TagPnr, t.TagTag"},
    {ToolOp::ShowBookings, "ShowBookings",
     "SELECT BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf, BchDat FROM Krv321Bch"
     " WHERE BchVon >= ?1 AND BchVon < ?2 ORDER BY BchPnr, BchVon, BchUhr, BchFkt"},
    // Creating a schema (the tables themselves: kPgSchemaDdl, sqlite::kSchemaDdl below).
    {ToolOp::PgCreateSchema, "PgCreateSchema", "CREATE SCHEMA ?1"},
    {ToolOp::PgSchemaFirst, "PgSchemaFirst", "SET LOCAL search_path TO ?1"},
    {ToolOp::SqliteWal, "SqliteWal", "PRAGMA journal_mode=WAL"},
    {ToolOp::SqliteCountTables, "SqliteCountTables",
     "select count(*) from sqlite_master where type = 'table'"},
    // The demo's rows (parvekctl demo-create). Message types: code, kind (1 day message), value
    // rule, fixed value, target-time check, priority (smaller ranks higher), tie rule, function
    // code, follow-up code, status.
    {ToolOp::DemoFcd, "DemoFcd",
     "INSERT INTO Krv131Fcd (FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol, FcdPri, FcdGpu, FcdFcd, "
     "FcdFlg, FcdSta) VALUES\n"
     " ('KRA', 1, 1, 0, 0, 20, 0, NULL, 'KRF', 0),\n"  // Krankheit
     " ('KRF', 1, 1, 0, 0, 20, 1, NULL, 'KRF', 0),\n"  // Krankheit Folge
     " ('URL', 1, 1, 0, 0, 10, 0, NULL, NULL, 0),\n"   // Urlaub, no follow-up
     " ('SCH', 1, 1, 0, 0, 30, 0, NULL, NULL, 0),\n"   // Schulung
     " ('SUR', 1, 1, 0, 0, 5, 0, NULL, NULL, 0),\n"    // Sonderurlaub
     " ('KUR', 1, 1, 0, 0, 15, 0, NULL, 'KUF', 0),\n"  // Kur
     " ('KUF', 1, 1, 0, 1, 15, 0, NULL, 'KUF', 0),\n"  // Kur Folge, only on days with target time
     " ('KRH', 2, 0, 0, 0, 50, 0, 24, 'KRF', 0)"},     // krank nach Hause (hour message)
    {ToolOp::DemoAzv, "DemoAzv",
     "INSERT INTO Krv140Azv (AzvNum, AzvSol, AzvSo2, AzvVhs, AzvHso, AzvHs2, AzvHtv, AzvGvo, "
     "AzvGbi, AzvSta)"
     " VALUES ('VZ40', 480, 240, 0, 240, 120, 0, '2000-01-01 00:00:00', NULL, 0)"},
    // A day record: person, day, TagVon, TagUhr, TagBis, TagEnd, day code, its value.
    {ToolOp::DemoTag, "DemoTag",
     "INSERT INTO Krv327Tag (TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TagTgb, TagTgs) "
     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"},
    // Its day-evaluation row: person, day, target time.
    {ToolOp::DemoTgb, "DemoTgb",
     "INSERT INTO Krv320Tgb (TgbPnr, TgbDtm, TgbZtr, TgbSol) VALUES (?1, ?2, 1, ?3)"},
    // The plan VZ40 for a person on a day.
    {ToolOp::DemoZtg, "DemoZtg",
     "INSERT INTO Krv329Ztg (ZtgPnr, ZtgVon, ZtgAzt, ZtgSta) VALUES (?1, ?2, 'VZ40', 0)"},
    // A booking: person, day, point in time, function, code, made at.
    {ToolOp::DemoBch, "DemoBch",
     "INSERT INTO Krv321Bch (BchPnr, BchVon, BchUhr, BchFkt, BchFcd, BchErf, BchDat) VALUES "
     "(?1, ?2, ?3, ?4, ?5, 'Personalbuero', ?6)"},
    {ToolOp::NightsCreate, "NightsCreate", PVK_NIGHTS_DDL},
    {ToolOp::NightsOfDay, "NightsOfDay",
     "SELECT Started, StartedBy, Ended, Outcome FROM ParvekNights WHERE NightDay = ?1"
     " ORDER BY Started DESC, StartedBy"},
    {ToolOp::NightBegins, "NightBegins",
     "INSERT INTO ParvekNights (NightDay, Started, StartedBy, Ended, Outcome)"
     " VALUES (?1, ?2, ?3, NULL, 'running')"},
    {ToolOp::NightEnds, "NightEnds",
     "UPDATE ParvekNights SET Ended = ?4, Outcome = ?5"
     " WHERE NightDay = ?1 AND Started = ?2 AND StartedBy = ?3"},
    // Two 32-bit keys: the job's own (?1) and the schema's (?2), within the current database.
    {ToolOp::PgLockTry, "PgLockTry", "SELECT pg_try_advisory_lock(?1, ?2)"},
    {ToolOp::PgLockName, "PgLockName", "SELECT set_config('application_name', ?1, false)"},
    {ToolOp::PgLockHolder, "PgLockHolder",
     "SELECT a.application_name, a.pid FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid"
     " WHERE l.locktype = 'advisory' AND l.granted AND l.classid = ?1"
     " AND l.objid = ?2 AND l.objsubid = 2"
     " AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())"},
    {ToolOp::PgEndSessions, "PgEndSessions",
     "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = ?1"
     " AND usename = current_user AND pid <> pg_backend_pid()"},
    {ToolOp::PgLeftovers, "PgLeftovers",
     "SELECT count(*) FROM pg_stat_activity WHERE application_name LIKE ?1"
     " AND datname = current_database() AND pid <> pg_backend_pid()"},
    {ToolOp::ExplainDays, "ExplainDays",
     PVK_DAYS_WITH_TGB " WHERE t.TagPnr = ?1 AND t.TagTag >= ?2 AND t.TagTag < ?3"},
    {ToolOp::ExplainPerson, "ExplainPerson", "SELECT count(*) FROM Krv327Tag WHERE TagPnr = ?1"},
    {ToolOp::ExplainType, "ExplainType", "SELECT FcdSta, FcdFlg FROM Krv131Fcd WHERE FcdNum = ?1"},
    {ToolOp::SiteSqliteVersion, "SiteSqliteVersion", "SELECT sqlite_version()"},
    {ToolOp::SiteSqliteJournal, "SiteSqliteJournal", "PRAGMA journal_mode"},
    {ToolOp::SiteSqliteNow, "SiteSqliteNow", "SELECT datetime('now', 'localtime')"},
    {ToolOp::SitePgVersion, "SitePgVersion", "SELECT current_setting('server_version')"},
    {ToolOp::SitePgSetting, "SitePgSetting", "SELECT coalesce(current_setting(?1, true), '')"},
    {ToolOp::SitePgNow, "SitePgNow", "SELECT to_char(localtimestamp, 'YYYY-MM-DD HH24:MI:SS')"},
    {ToolOp::SiteOracleNow, "SiteOracleNow",
     "SELECT TO_CHAR(sysdate, 'YYYY-MM-DD HH24:MI:SS') FROM dual"},
    {ToolOp::SiteOracleDateFormat, "SiteOracleDateFormat",
     "SELECT value FROM nls_session_parameters WHERE parameter = 'NLS_DATE_FORMAT'"},
    {ToolOp::SiteOracleUndo, "SiteOracleUndo",
     "SELECT value FROM v$parameter WHERE name = 'undo_retention'"},
    {ToolOp::SiteOracleVersion, "SiteOracleVersion",
     "SELECT banner FROM v$version WHERE banner LIKE 'Oracle%'"},
    {ToolOp::SiteOracleIndexLeads, "SiteOracleIndexLeads",
     "SELECT count(*) FROM all_ind_columns"
     " WHERE table_owner = SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')"
     " AND table_name || '.' || column_name = ?1 AND column_position = 1"},
    {ToolOp::SiteOracleRole, "SiteOracleRole",
     "SELECT LISTAGG(granted_role, ', ') WITHIN GROUP (ORDER BY granted_role)"
     " FROM user_role_privs"
     " WHERE granted_role IN ('DBA', 'IMP_FULL_DATABASE', 'EXP_FULL_DATABASE')"},
    {ToolOp::SitePgRole, "SitePgRole",
     "SELECT concat_ws(', ', CASE WHEN r.rolsuper THEN 'superuser' END,"
     " CASE WHEN n.nspowner = r.oid THEN 'owner of schema ' || n.nspname END)"
     " FROM pg_roles r LEFT JOIN pg_namespace n ON n.nspname = current_schema()"
     " WHERE r.rolname = current_user"},
    {ToolOp::SiteNoSuchTable, "SiteNoSuchTable", "SELECT count(*) FROM ParvekDoctorNoSuchTable"},
    {ToolOp::SiteMaySelect, "SiteMaySelect", "SELECT count(*) FROM ?1 WHERE 1 = 0"},
    {ToolOp::SiteMayInsert, "SiteMayInsert", "INSERT INTO ?1 SELECT * FROM ?1 WHERE 1 = 0"},
    {ToolOp::SiteMayUpdate, "SiteMayUpdate", "UPDATE ?1 SET ?2 = ?2 WHERE 1 = 0"},
    {ToolOp::SiteMayDelete, "SiteMayDelete", "DELETE FROM ?1 WHERE 1 = 0"},
    {ToolOp::NightsEnded, "NightsEnded",
     "SELECT Started, Ended FROM ParvekNights WHERE Ended IS NOT NULL ORDER BY Started DESC"},
};

constexpr bool ToolRowsInOrder() {
  for (std::size_t i = 0; i < std::size(kToolOps); ++i)
    if (static_cast<std::size_t>(kToolOps[i].op) != i) return false;
  return std::size(kToolOps) == static_cast<std::size_t>(ToolOp::kCount);
}
static_assert(ToolRowsInOrder(), "one row per tool statement, in ToolOp order");

}  // namespace

const char* Tool_Text(ToolOp op) { return kToolOps[static_cast<std::size_t>(op)].text; }

std::string Tool_Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string Sql_WithLiterals(const std::string& text, char sigil,
                             const std::vector<std::string>& literals) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\'') {  // a literal of the text is copied as it stands
      const std::size_t end = text.find('\'', i + 1);
      const std::size_t stop = end == std::string::npos ? text.size() : end + 1;
      out.append(text, i, stop - i);
      i = stop;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t n = 0;
    while (text[i] == sigil && j < text.size() && text[j] >= '0' && text[j] <= '9')
      n = n * 10 + static_cast<std::size_t>(text[j++] - '0');
    if (j > i + 1 && n >= 1 && n <= literals.size()) {
      out += literals[n - 1];
      i = j;
      continue;
    }
    out += text[i++];
  }
  return out;
}

std::string Tool_Sql(ToolOp op, const std::vector<std::string>& literals) {
  return Sql_WithLiterals(Tool_Text(op), '?', literals);
}

// ---- the schema's tables

namespace sqlite {

// A date column holds NULL or one text form, 'YYYY-MM-DD HH:MM:SS', of a real calendar date.
#define PVK_DATE_CHECK(c)                                                               \
  " CHECK (" c " IS NULL OR (typeof(" c ") = 'text' AND " c                             \
  " GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'" \
  " AND datetime(" c ", '+0 days') IS " c "))"

const char* const kSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr TEXT NOT NULL,"
    " TagTag TEXT NOT NULL" PVK_DATE_CHECK("TagTag") ","
    " TagVon TEXT" PVK_DATE_CHECK("TagVon") ","
    " TagUhr TEXT" PVK_DATE_CHECK("TagUhr") ","
    " TagBis TEXT" PVK_DATE_CHECK("TagBis") ","
    " TagEnd TEXT" PVK_DATE_CHECK("TagEnd") ","
    " TagTgb TEXT, TagTgs INTEGER, TagHtv TEXT, TagHvs INTEGER, TagHtn TEXT, TagHns INTEGER,"
    " PRIMARY KEY (TagPnr, TagTag)) WITHOUT ROWID;"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr TEXT NOT NULL,"
    " TgbDtm TEXT NOT NULL" PVK_DATE_CHECK("TgbDtm") ","
    " TgbZtr INTEGER NOT NULL,"
    " TgbSol INTEGER,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr)) WITHOUT ROWID;"
    "CREATE TABLE Krv321Bch ("
    " BchPnr TEXT NOT NULL,"
    " BchVon TEXT NOT NULL" PVK_DATE_CHECK("BchVon") ","
    " BchUhr TEXT NOT NULL" PVK_DATE_CHECK("BchUhr") ","
    " BchFkt INTEGER NOT NULL,"
    " BchBis TEXT" PVK_DATE_CHECK("BchBis") ","
    " BchVws TEXT" PVK_DATE_CHECK("BchVws") ","
    " BchFcd TEXT, BchZwt INTEGER, BchAbt TEXT, BchKst TEXT, BchKtr TEXT, BchKrt TEXT,"
    " BchAzt TEXT, BchVra TEXT, BchTxt INTEGER, BchSta INTEGER, BchErf TEXT, BchTrm TEXT,"
    " BchDat TEXT" PVK_DATE_CHECK("BchDat") ","
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt)) WITHOUT ROWID;"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum TEXT NOT NULL PRIMARY KEY,"
    " FcdTyp INTEGER, FcdZwt INTEGER, FcdStd INTEGER, FcdSol INTEGER, FcdPri INTEGER,"
    " FcdGpu INTEGER, FcdFcd INTEGER, FcdFlg TEXT, FcdSta INTEGER);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr TEXT,"
    " ZtgVon TEXT" PVK_DATE_CHECK("ZtgVon") ","
    " ZtgAzt TEXT, ZtgSta INTEGER);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum TEXT,"
    " AzvSol INTEGER, AzvSo2 INTEGER, AzvVhs INTEGER, AzvHso INTEGER, AzvHs2 INTEGER,"
    " AzvHtv INTEGER,"
    " AzvGvo TEXT" PVK_DATE_CHECK("AzvGvo") ","
    " AzvGbi TEXT" PVK_DATE_CHECK("AzvGbi") ","
    " AzvSta INTEGER);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);" PVK_NIGHTS_DDL ";";

#undef PVK_DATE_CHECK

}  // namespace sqlite

// Dates are timestamp(0) without time zone; names unquoted, so they fold to lower case as the
// job's statements do. Keys and indexes let every statement find a person's rows of one day
// without reading the person's history.
const char* const kPgSchemaDdl =
    "CREATE TABLE Krv327Tag ("
    " TagPnr text NOT NULL, TagTag timestamp(0) NOT NULL,"
    " TagVon timestamp(0), TagUhr timestamp(0), TagBis timestamp(0), TagEnd timestamp(0),"
    " TagTgb text, TagTgs integer, TagHtv text, TagHvs integer, TagHtn text, TagHns integer,"
    " PRIMARY KEY (TagPnr, TagTag));"
    // The yesterday cursor reads one day across all persons.
    "CREATE INDEX Krv327Tag_Day ON Krv327Tag (TagTag);"
    "CREATE TABLE Krv320Tgb ("
    " TgbPnr text NOT NULL, TgbDtm timestamp(0) NOT NULL, TgbZtr integer NOT NULL,"
    " TgbSol integer,"
    " PRIMARY KEY (TgbPnr, TgbDtm, TgbZtr));"
    "CREATE TABLE Krv321Bch ("
    " BchPnr text NOT NULL, BchVon timestamp(0) NOT NULL, BchUhr timestamp(0) NOT NULL,"
    " BchFkt integer NOT NULL, BchBis timestamp(0), BchVws timestamp(0), BchFcd text,"
    " BchZwt integer, BchAbt text, BchKst text, BchKtr text, BchKrt text, BchAzt text,"
    " BchVra text, BchTxt integer, BchSta integer, BchErf text, BchTrm text,"
    " BchDat timestamp(0),"
    " PRIMARY KEY (BchPnr, BchVon, BchUhr, BchFkt));"
    "CREATE TABLE Krv131Fcd ("
    " FcdNum text NOT NULL PRIMARY KEY,"
    " FcdTyp integer, FcdZwt integer, FcdStd integer, FcdSol integer, FcdPri integer,"
    " FcdGpu integer, FcdFcd integer, FcdFlg text, FcdSta integer);"
    "CREATE TABLE Krv329Ztg ("
    " ZtgPnr text, ZtgVon timestamp(0), ZtgAzt text, ZtgSta integer);"
    "CREATE INDEX Krv329Ztg_PnrDay ON Krv329Ztg (ZtgPnr, ZtgVon);"
    "CREATE TABLE Krv140Azv ("
    " AzvNum text, AzvSol integer, AzvSo2 integer, AzvVhs integer, AzvHso integer,"
    " AzvHs2 integer, AzvHtv integer, AzvGvo timestamp(0), AzvGbi timestamp(0),"
    " AzvSta integer);"
    "CREATE INDEX Krv140Azv_NumFrom ON Krv140Azv (AzvNum, AzvGvo);" PVK_NIGHTS_DDL ";";

}  // namespace pvc
