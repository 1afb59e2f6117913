// The job's database client: one small interface, one backend per engine.
//
// The statement module names each statement of its fixed catalogue by `Op`; every backend
// runs its own equivalent text for it, with placeholders in the same order as the job's
// statement texts of record. No engine type and no SQL text appear in this header.
//
// Contracts common to every call:
//  - Result: a SQL code from client/codes.h (0, 1403, -1, other negative codes).
//  - Inputs: texts are taken as they stand; an empty text is NULL. Date inputs are checked
//    like TO_DATE with format 'yyyymmdd' (Date) or 'yyyymmddHH24MISS' (DateTime) and fail
//    with -1861, -1843 or -1847 when malformed.
//  - Outputs: a Row holds the select list in order; a NULL column has `null` set. Dates come
//    as 'yyyymmdd' texts, times of day as 'HHMMSS', integers as numbers.
//  - Cursors deliver the rows that matched at their open, stay open and positioned across
//    commits of the session, and never show what the session wrote after the open. Up to
//    three may be open at a time; a later open sees everything committed before it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pvc {

// The job's statements, with their inputs in binding order and their select lists.
// D = Bind::Kind::Date ('yyyymmdd'), DT = DateTime ('yyyymmddHHMMSS'), T = Text, I = Int.
// Tag columns (13): TagPnr, TagTag, TagVon, TagUhr, TagBis, TagEnd, TgbSol, TagTgb, TagTgs,
//   TagHtv, TagHvs, TagHtn, TagHns (dates 'yyyymmdd', times 'HHMMSS').
// Bch columns (18): BchPnr, BchVon, BchUhr, BchFkt, BchBis, BchVws (a time 'HHMMSS'), BchFcd,
//   BchZwt, BchAbt, BchKst, BchKtr, BchKrt, BchAzt, BchVra, BchTxt, BchSta, BchErf, BchTrm.
enum class Op : int {
  TagYday,         // cursor; in: none; out: Tag columns. Placeholder days of yesterday.
  TagPrev,         // cursor; in: T pnr, D day; out: Tag columns, TagTag descending.
  BchTagMld,       // cursor; in: T pnr, D day; out: Bch columns. BchVortag and BchAbrTag.
  BchStdMld,       // cursor; in: T pnr, D day; out: Bch columns, newest first.
  FcdReadFlg,      // select; in: T fcdnum; out: FcdFlg.
  FcdRead,         // select; in: T fcdnum; out: FcdNum, FcdTyp, FcdZwt, FcdStd, FcdSol,
                   //   FcdPri (NULL->0), FcdGpu (NULL->0), FcdFcd (NULL->-9), FcdFlg.
  AzvRead,         // select; in: T pnr, D day; out: AzvNum, ZtgVon, AzvSol, AzvSo2, AzvVhs,
                   //   AzvHso, AzvHs2, AzvHtv.
  BchCountTagMld,  // select; in: T pnr, D day; out: count.
  BchCountStdMld,  // select; in: T pnr, T from (14 digits), T to (14 digits); out: count.
  TagUpdate,       // write; in: T TagTgb, I TagTgs, T TagHtv, I TagHvs, T TagHtn, I TagHns,
                   //   T pnr, D day.
  BchUpdFkt,       // write; in: I new fkt, T pnr, D BchVon, T BchUhr ('HHMMSS'), I old fkt.
                   //   Also sets BchDat to now and BchErf to 'Korvant'.
  BchDelFkt,       // write; in: T pnr, D BchVon, T BchUhr ('HHMMSS'), I fkt.
  BchInsert,       // write; in: T pnr, D BchVon, DT BchUhr, I BchFkt, T BchFcd.
  kCount
};

struct Bind {
  enum class Kind { Text, Int, Date, DateTime };
  Kind kind = Kind::Text;
  std::string text;  // Text, Date ('yyyymmdd'), DateTime ('yyyymmddHHMMSS')
  int64_t num = 0;   // Int

  static Bind Txt(std::string v) { return {Kind::Text, std::move(v), 0}; }
  static Bind Int(int64_t v) { return {Kind::Int, {}, v}; }
  static Bind Dat(std::string v) { return {Kind::Date, std::move(v), 0}; }
  static Bind DatTime(std::string v) { return {Kind::DateTime, std::move(v), 0}; }
};

struct Cell {
  bool null = true;
  bool is_int = false;
  int64_t num = 0;
  std::string text;
};
using Row = std::vector<Cell>;

// The engine's own detail of the last failure, kept beside the code for diagnosis.
struct ErrorDetail {
  int code = 0;
  int native = 0;         // engine's native code (SQLite extended code)
  std::string sqlstate;   // engine's SQLSTATE where it has one
  std::string message;    // engine's message
};

class Cursor {
 public:
  virtual ~Cursor() = default;
  // 0 with the next row in `row`; 1403 after the last row (and on every later call);
  // a negative code on failure. `row` is changed only on 0.
  virtual int Fetch(Row& row) = 0;
};

class Session {
 public:
  virtual ~Session() = default;
  // Runs a statement known only at run time (the schema statement
  // "ALTER SESSION SET CURRENT_SCHEMA=NAME"). -1435 when the schema does not exist.
  virtual int ExecDynamic(const std::string& text) = 0;
  // Opens a cursor over `op`'s query. On 0 `out` holds the open cursor; otherwise `out` is empty.
  virtual int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) = 0;
  // Single-row select: 0 with the row, 1403 when none, -1422 when more than one qualifies.
  virtual int SelectOne(Op op, const std::vector<Bind>& in, Row& out) = 0;
  // Insert, update or delete: 0 when at least one row changed, 1403 when an update or
  // delete matched none, -1 on a broken unique key. Never commits by itself.
  virtual int Write(Op op, const std::vector<Bind>& in) = 0;
  virtual int Savepoint(const std::string& name) = 0;
  virtual int RollbackTo(const std::string& name) = 0;
  // Makes everything written so far durable (the commit has returned once it is on disk).
  virtual int Commit() = 0;
  virtual ErrorDetail LastError() const = 0;

  // For tools and tests only, never used by the job: runs one or more plain SQL statements
  // written in the subset both engines accept (INSERT/UPDATE/DELETE with column lists, dates as
  // 'YYYY-MM-DD HH:MM:SS' literals) against the current schema, and commits them.
  virtual int ExecScript(const std::string& sql) = 0;
  // For tools and tests only: runs one plain SELECT of that subset and delivers every row
  // (dates as their stored text 'YYYY-MM-DD HH:MM:SS'). `rows` is replaced on 0 only.
  // Backends that do not offer it return kInternal.
  virtual int Query(const std::string& sql, std::vector<Row>& rows) {
    (void)sql;
    (void)rows;
    return -600;
  }
  // For tools only, never used by the job: loads `rows` into `table` of the current schema and
  // commits them. Each row holds one cell per name in `columns`; a null cell is NULL, an integer
  // cell a number, a text cell is taken as it stands (dates as 'YYYY-MM-DD HH:MM:SS'). Table and
  // column names must be identifiers. 0 when every row was loaded; otherwise the first failure's
  // code, and none of the rows of this call is kept. Keys and NOT NULL are enforced; a backend
  // may skip the table's CHECK constraints (SQLite does), so the caller vouches for the form of
  // its values. This default runs one plain INSERT through ExecScript; backends override it with
  // their engine's fast load path.
  virtual int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                         const std::vector<Row>& rows);
};

// A backend serves the NET8 values that begin with one of its prefixes.
using LogonFn = std::function<int(const std::string& user, const std::string& password,
                                  const std::string& net, std::unique_ptr<Session>& out)>;
using CreateSchemaFn = std::function<int(const std::string& user, const std::string& password,
                                         const std::string& net, const std::string& schema,
                                         std::string& why)>;
// Adds a backend (tests register fakes this way). Built-in backends are registered on first use.
void RegisterBackend(const std::string& prefix, LogonFn logon, CreateSchemaFn create = nullptr);

// Logs on through the backend that serves `net` and makes that session the process's
// current session. -12154 when no backend of this build serves `net`. After a failed logon
// there is no current session. Resets the counters; the logon counts as one call.
int Logon(const std::string& user, const std::string& password, const std::string& net);
// For tools and tests: logs on like Logon, but hands the session to the caller instead of
// making it current (a second program beside the job). `out` is set on 0 only.
int OpenSession(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out);
// For tools and tests: creates schema `schema` with the job's six tables, their keys and
// indexes on the server that `net` names. Refuses (negative code, reason in `why`) when the
// schema exists already.
int CreateSchema(const std::string& user, const std::string& password, const std::string& net,
                 const std::string& schema, std::string& why);

// The current session, or nullptr before a successful Logon.
Session* Current();

// Counters of calls made through the current session (for benchmarks and diagnosis).
struct Counters {
  uint64_t statements = 0;  // opens, selects, writes, savepoints, rollbacks, commits, dynamic
  uint64_t commits = 0;
  uint64_t durable_commits = 0;  // commits with at least one successful write pending
  uint64_t fetches = 0;          // rows delivered by cursors (fetches that returned 0)
  uint64_t calls[static_cast<size_t>(Op::kCount)] = {};    // opens, selects, writes per Op
  uint64_t fetched[static_cast<size_t>(Op::kCount)] = {};  // rows delivered per cursor Op
};
const Counters& GetCounters();
// Diagnostic for benchmarks: when the environment variable PARVEK_STATS_FILE names a file at
// Logon, the counters are written there as "name value" lines when the process exits. The job's
// own output (standard output, run log, parameter file) is not touched.
int WriteCountersFile(const std::string& path);

// Converts a date input like TO_DATE: `with_time` false takes 'yyyymmdd', true takes
// 'yyyymmddHHMMSS'. On 0 `out` holds 'YYYY-MM-DD HH:MM:SS'. -1861 for a text that does not
// fit the format, -1843 for a bad month, -1847 for a bad day of month.
int ToDbDate(const std::string& in, bool with_time, std::string& out);

}  // namespace pvc
