// The companion tool's statements, beside the job's statement table (client/core/statements.h):
// what parvekctl runs that the job never does. SQL text lives here and in the statement table
// only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pvc {

// ---- the companion tool's statements, by name

enum class ToolOp : int {
  ShowDays,           // parvekctl show: day records of ?1 (inclusive) to ?2 (exclusive)
  ShowBookings,       // parvekctl show: bookings of ?1 (inclusive) to ?2 (exclusive)
  PgCreateSchema,     // schema-create, PostgreSQL: schema ?1 (quoted)
  PgSchemaFirst,      // schema-create, PostgreSQL: schema ?1 first on the path for the tables
  SqliteWal,          // schema-create, SQLite: the write-ahead log, so readers beside the job
  SqliteCountTables,  // schema-create, SQLite through ODBC: the tables a file holds already
  DemoFcd,            // demo-create: the message types
  DemoAzv,            // demo-create: the working-time plan
  DemoTag,            // demo-create: a day record (?1..?8)
  DemoTgb,            // demo-create: its day-evaluation row (?1..?3)
  DemoZtg,            // demo-create: a working-time plan assigned to a person on a day (?1, ?2)
  DemoBch,            // demo-create: a booking (?1..?6)
  // The record of nights done (ParvekNights), kept by the night's guard (run/NightGuard.h)
  NightsCreate,       // schema-upgrade: the table, for a schema made before it existed
  NightsOfDay,        // the nights of accounting day ?1 ('yyyymmdd'), the latest start first
  NightBegins,        // a night of day ?1 begins at ?2 ('YYYY-MM-DD HH:MM:SS'), started by ?3
  NightEnds,          // the night of day ?1 begun at ?2 by ?3 ends at ?4 with outcome ?5
  // The lock of a PostgreSQL database's nights: a session's advisory lock, named ?1 ?2
  PgLockTry,          // takes it, without waiting: one row, true or false
  PgLockName,         // names the session ?1 (application_name), where others can read it
  PgLockHolder,       // the session holding it: its name and its server process
  PgEndSessions,      // ends the sessions of this role named ?1, but not this one
  PgLeftovers,        // the sessions of this database named like ?1, but not this one
  // parvekctl explain: what the night's statements decide by their filters, asked for one
  // person (?1) so that the explanation can say why a row is not there
  ExplainDays,        // the person's day records of ?2 (inclusive) to ?3 (exclusive), as ShowDays
  ExplainPerson,      // how many day records the person has at all
  ExplainType,        // message type ?1 whatever its status: FcdSta, FcdFlg
  // doctor's site check (tools/site_check.h): one value each
  SiteSqliteVersion,  // SQLite's version
  SiteSqliteJournal,  // the database file's journal mode
  SiteSqliteNow,      // the local date and time as the job's statements read it
  SitePgVersion,      // the server's version
  SitePgSetting,      // the setting ?1 ('' where the server has none of that name)
  SitePgNow,          // the session's date and time
  SiteOracleNow,      // sysdate
  SiteOracleDateFormat,  // the session's NLS_DATE_FORMAT
  SiteOracleUndo,     // the undo retention in seconds (needs the right to read v$parameter)
  SiteOracleVersion,  // the server's banner
  SiteOracleIndexLeads,  // indexes of the current schema whose first column is ?1 ('TABLE.COLUMN')
  SiteOracleRole,     // the user's roles beyond what the night needs ('' when none)
  SitePgRole,         // superuser, owner of the schema: what the role is beyond the night's needs
  SiteNoSuchTable,    // a table that does not exist: the code for it
  SiteMaySelect,      // each right on table ?1 asked without touching a row (?2: a column)
  SiteMayInsert,
  SiteMayUpdate,
  SiteMayDelete,
  NightsEnded,        // the nights that ended, the latest start first: Started, Ended
  kCount
};

struct ToolStatement {
  ToolOp op;
  const char* name;
  const char* text;  // placeholders ?1..?n take SQL literals (Tool_Sql)
};

// The text of `op` as it stands.
const char* Tool_Text(ToolOp op);
// The text of `op` with each placeholder ?N replaced by `literals[N-1]`, SQL literals as they
// stand (a quoted text, a number, NULL); the caller vouches for them. A placeholder without a
// literal, and anything inside a quoted literal of the text, stays as it is.
std::string Tool_Sql(ToolOp op, const std::vector<std::string>& literals = {});
// `text` with each numbered placeholder `sigil`N outside quotes (N from 1) replaced by
// `literals`[N-1]; a placeholder without a literal stays.
std::string Sql_WithLiterals(const std::string& text, char sigil,
                             const std::vector<std::string>& literals);
// `text` as a quoted SQL literal, its quotes doubled.
std::string Tool_Quoted(const std::string& text);

// ---- the schema's tables: the six tables, their keys, checks and indexes, per engine

namespace sqlite {
// Statements separated by ';', for a fresh SQLite file.
extern const char* const kSchemaDdl;
}  // namespace sqlite

// The six tables of a schema, their keys and indexes: statements separated by ';', names
// unquoted, to run with the schema first on the search path.
extern const char* const kPgSchemaDdl;

}  // namespace pvc
