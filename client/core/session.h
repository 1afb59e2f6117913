// The job's database client: the one small interface every backend implements.
//
// The statement module names each statement by `Op` (client/core/statements.h, the one description
// of every statement); every backend runs its own equivalent text for it, with placeholders in
// the binding order given there. No engine type and no SQL text appear in this header.
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
#include <utility>
#include <vector>

#include "client/core/statements.h"

namespace pvc {

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
  int native = 0;        // engine's native code (SQLite extended code)
  std::string sqlstate;  // engine's SQLSTATE where it has one
  std::string message;   // engine's message
};

class Cursor {
 public:
  virtual ~Cursor() = default;
  // 0 with the next row in `row`; 1403 after the last row (and on every later call);
  // a negative code on failure. `row` is changed only on 0.
  virtual int Fetch(Row& row) = 0;
};

class SessionTools;

// One read announced to Session::ReadAhead: a single-row select or a cursor and its inputs.
struct Read {
  Op op;
  std::vector<Bind> in;
};

// What the job calls. Every call returns a code from client/codes.h; a call that returns a
// negative code leaves its detail in LastError(), which 0 and 1403 do not change.
class Session {
 public:
  virtual ~Session() = default;
  // Runs a statement known only at run time: the schema statement
  // "ALTER SESSION SET CURRENT_SCHEMA=NAME" (keywords in any case). -1435 when the schema does
  // not exist, -2421 when NAME is not an identifier, -900 for any other text.
  virtual int ExecDynamic(const std::string& text) = 0;
  // Opens a cursor over `op`'s query. On 0 `out` holds the open cursor; otherwise `out` is empty.
  // The cursor may outlive the session; it then still delivers its rows.
  virtual int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) = 0;
  // Single-row select: 0 with the row, 1403 when none, -1422 when more than one qualifies.
  virtual int SelectOne(Op op, const std::vector<Bind>& in, Row& out) = 0;
  // Insert, update or delete: 0 when at least one row changed, 1403 when an update or
  // delete matched none, -1 on a broken unique key. Never commits by itself; a failed write
  // undoes only itself.
  virtual int Write(Op op, const std::vector<Bind>& in) = 0;
  // Sets savepoint `name` (an identifier), opening a transaction when none is open; setting a
  // name again moves it.
  virtual int Savepoint(const std::string& name) = 0;
  // Undoes everything since savepoint `name`, which stays set. -1086 when no savepoint of that
  // name is set in the open transaction (or none is open); nothing is undone then.
  virtual int RollbackTo(const std::string& name) = 0;
  // Forgets savepoint `name` (the latest of that name) and those set after it; what was written
  // since stays pending. -1086 when no savepoint of that name is set in the open transaction.
  // A backend that keeps no savepoints of its own has nothing to forget: 0.
  virtual int ReleaseSavepoint(const std::string& name) {
    (void)name;
    return 0;
  }
  // Makes everything written so far durable (the commit has returned once it is on disk).
  // 0 also when nothing was pending.
  virtual int Commit() = 0;
  // One durable write: sets savepoint `savepoint`, runs the write and commits it on 0; when the
  // write does not return 0, or its commit fails, everything since the savepoint is undone.
  // Returns the write's code, or the failed commit's (-600 for a commit that was not negative);
  // -3114 whenever the connection was lost on the way.
  // A backend may run the steps in fewer exchanges with its server (client/core/txn.h:
  // TxnPolicy::WriteDurably); the default makes the calls above one by one (WriteDurablySteps,
  // the one form), so that a wrapper that changes one of them changes this too.
  virtual int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint);
  // Announces reads the caller is about to make, each with exactly these inputs, before it
  // writes anything. A backend that talks to a server may run them at once, in one exchange,
  // and answer the SelectOne or Open calls that follow with the same statement and inputs from
  // what it read then, each at most once; the answer is the one the read gave at this call.
  // Any other call that writes, ends or sets anything (a write, a savepoint, a rollback, a
  // commit, a schema switch), or the next ReadAhead, drops what was not asked for yet, so a
  // read never answers across a write of the session. A read that failed is not kept: its call
  // runs it again and reports its own failure. Reads in an open transaction are not run ahead.
  // Under the same rules a backend may answer a single-row select from what one of its cursors
  // read with its rows, as of that cursor's open (the PostgreSQL backend: the earlier-days
  // cursor's counts of each day it delivers).
  // The default does nothing.
  virtual void ReadAhead(const std::vector<Read>& reads) { (void)reads; }
  // The detail of the last call that returned a negative code.
  virtual ErrorDetail LastError() const = 0;
  // What only tools and tests use; nullptr when this backend offers none. Owned by the session.
  virtual SessionTools* Tools() { return nullptr; }
};

// How a session reaches its database, as doctor shows it: the server behind it, the texts and
// code mapping it uses, and through ODBC what the driver says of itself and of its cursors.
struct SessionRoute {
  std::string server;  // "sqlite", "postgres", "oracle" or "other" (a server this build does not
                       // know by name: the texts of record and their codes are used)
  std::string texts;   // the statement texts sent: "sqlite", "postgres" or "record"
  bool odbc = false;
  std::string dbms;    // ODBC: the server's name and version as the driver reports them
  std::string driver;  // ODBC: the driver's name and version
  std::string cursor_commit;    // ODBC: SQL_CURSOR_COMMIT_BEHAVIOR (SQL_CB_PRESERVE, ...)
  std::string cursor_rollback;  // ODBC: SQL_CURSOR_ROLLBACK_BEHAVIOR
  bool one_session = true;      // cursors run on the session's own connection
  std::string fallback;         // otherwise why they run on connections of their own

  // A native backend's route: its own engine's texts and codes, one session.
  static SessionRoute Native(const std::string& engine) {
    SessionRoute r;
    r.server = r.texts = engine;
    return r;
  }
};

// For tools and tests only, never used by the job. Plain SQL in the subset every engine takes
// (INSERT/UPDATE/DELETE/SELECT with column lists, dates as 'YYYY-MM-DD HH:MM:SS' literals),
// against the current schema.
class SessionTools {
 public:
  virtual ~SessionTools() = default;
  // Runs one or more statements and commits them. 0 or the first failure's code.
  virtual int ExecScript(const std::string& sql) = 0;
  // Runs one SELECT and delivers every row (dates as their stored text 'YYYY-MM-DD HH:MM:SS').
  // `rows` is replaced on 0 only.
  virtual int Query(const std::string& sql, std::vector<Row>& rows) = 0;
  // Loads `rows` into `table` and commits them: one cell per name in `columns`, a null cell is
  // NULL, an integer cell a number, a text cell taken as it stands (dates as
  // 'YYYY-MM-DD HH:MM:SS'). Table and column names must be identifiers. 0 when every row was
  // loaded; otherwise the first failure's code, and none of the rows is kept. Keys and NOT NULL
  // are enforced; a backend may skip CHECK constraints, so the caller vouches for its values.
  virtual int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                         const std::vector<Row>& rows) = 0;
  // Prepares this backend's text of `op` on the current schema and tells how many of the
  // statement's inputs it takes (values the backend derives itself not counted) and how many
  // columns it selects. 0, or the prepare's code (-942 for a missing table, ...).
  virtual int Describe(Op op, int& inputs, int& columns) = 0;

  // For a preview, which keeps a whole night in one transaction and rolls it back: with `on`,
  // every cursor opened afterwards reads its rows at its open through the session's own
  // connection, so that it sees what the session wrote and has not committed (as a cursor of a
  // real night sees those writes once they are committed). 0; -600 when this backend cannot.
  virtual int CursorsSeeOwnWrites(bool on) {
    (void)on;
    return -600;
  }
  // Undoes everything the session has not committed and ends its transaction. 0 also when
  // nothing was pending; -600 when this backend cannot.
  virtual int RollbackAll() { return -600; }
  // What an operator should know of how this session reaches its database, in one line (say,
  // that its cursors need connections of their own); "" when there is nothing to say.
  virtual std::string Notice() { return {}; }
  // How this session reaches its database; `server` empty when this backend does not say.
  virtual SessionRoute Route() { return {}; }
};

// The tools of `s`; when its backend offers none, a stand-in whose every call fails with -600.
SessionTools& ToolsOf(Session& s);

// Passes every call on to the cursor it wraps; a wrapper overrides only what it changes.
class CursorWrapper : public Cursor {
 public:
  explicit CursorWrapper(std::unique_ptr<Cursor> target) : target_(std::move(target)) {}
  int Fetch(Row& row) override { return target_->Fetch(row); }

 protected:
  Cursor& target() { return *target_; }

 private:
  std::unique_ptr<Cursor> target_;
};

// Passes every call on to the session it wraps (its tools included); a wrapper overrides only
// what it changes.
class SessionWrapper : public Session {
 public:
  explicit SessionWrapper(std::unique_ptr<Session> target) : target_(std::move(target)) {}
  int ExecDynamic(const std::string& text) override { return target_->ExecDynamic(text); }
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override {
    return target_->Open(op, in, out);
  }
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override {
    return target_->SelectOne(op, in, out);
  }
  int Write(Op op, const std::vector<Bind>& in) override { return target_->Write(op, in); }
  int Savepoint(const std::string& name) override { return target_->Savepoint(name); }
  int RollbackTo(const std::string& name) override { return target_->RollbackTo(name); }
  int ReleaseSavepoint(const std::string& name) override { return target_->ReleaseSavepoint(name); }
  int Commit() override { return target_->Commit(); }
  void ReadAhead(const std::vector<Read>& reads) override { target_->ReadAhead(reads); }
  ErrorDetail LastError() const override { return target_->LastError(); }
  SessionTools* Tools() override { return target_->Tools(); }

 protected:
  Session& target() { return *target_; }

 private:
  std::unique_ptr<Session> target_;
};

// Converts a date input like TO_DATE: `with_time` false takes 'yyyymmdd', true takes
// 'yyyymmddHHMMSS'. On 0 `out` holds 'YYYY-MM-DD HH:MM:SS'. -1861 for a text that does not
// fit the format, -1843 for a bad month, -1847 for a bad day of month.
int ToDbDate(const std::string& in, bool with_time, std::string& out);

}  // namespace pvc
