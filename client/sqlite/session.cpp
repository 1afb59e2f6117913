// SQLite backend: the session and its cursors.
//
// One main connection per schema runs writes, single-row selects, savepoints and commits.
// Every open cursor reads through a connection of its own inside its own read transaction,
// so in WAL mode it keeps the snapshot of its open across the session's commits; those
// reader connections are pooled with their prepared statements. The booking cursors (a handful
// of rows each) and, for a preview (CursorsSeeOwnWrites), every cursor read their rows whole at
// the open on the main connection. The earlier-days cursor steps on the main connection too,
// row by row, when no transaction is open there: the walk runs no write, and the reads between
// its rows share its read transaction, so the main connection's page cache stays warm and no
// lock is taken or dropped per read. Its close leaves that read transaction standing for the
// reads that follow it, up to the next write or the next walk, which begin on the newest data.
// Should a write come while such a cursor is open, the cursor first reads the rest of its rows,
// from the snapshot of its open, so that the write changes none of them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include "client/sqlite/backend.h"
#include "client/core/codes.h"
#include "client/core/counters.h"
#include "client/core/txn.h"
#include "client/sqlite/internal.h"

namespace pvc {
namespace {

using namespace sqlite;

int g_busy_ms = 30000;
constexpr size_t kIdleReaders = 4;

constexpr int kWalCheckpointPages = 1000;  // the engine's own threshold

struct Conn {
  ~Conn() {
    if (db) CountLogoff();
  }
  DbHandle db;
  std::array<StmtHandle, static_cast<size_t>(Op::kCount)> stmts;
  StmtHandle begin;
  StmtHandle end;
  int wal_next = kWalCheckpointPages;  // log size at which the writer next tries a checkpoint
};

// Replaces the engine's automatic checkpoint on the writing connection. The engine tries one
// after every commit once the log holds 1,000 pages, and each try first sorts every frame of
// the log. While a reader keeps an older snapshot (the yesterday cursor stays open for the
// whole night) no try can finish, the log keeps growing, and a night would cost the square of
// its writes. Here a try that leaves frames behind doubles the size for the next try; once the
// log has been emptied and restarted, tries begin again at 1,000 pages.
int WalCommitHook(void* arg, sqlite3* db, const char* name, int frames) {
  int& next = *static_cast<int*>(arg);
  if (frames < kWalCheckpointPages) {
    next = kWalCheckpointPages;
    return SQLITE_OK;
  }
  if (frames < next) return SQLITE_OK;
  int log = 0, done = 0;
  const int rc = sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, &log, &done);
  next = rc == SQLITE_OK && done >= log ? kWalCheckpointPages : 2 * frames;
  return SQLITE_OK;
}

class MainCursor;

// What a session shares with the cursors it opened (they may outlive a schema switch).
struct Shared {
  std::string path;
  bool immutable = false;  // nobody can write here: read the file as it stands
  int busy_ms = 0;
  ErrorDetail last;
  std::vector<std::unique_ptr<Conn>> idle;
  std::vector<MainCursor*> on_main;  // open cursors stepping a statement of the main connection
  sqlite3_stmt* linger = nullptr;  // a closed cursor's statement, kept to hold its read transaction
};

// Ends the read transaction a closed cursor left standing on the main connection.
void EndLinger(Shared& sh) {
  if (sh.linger == nullptr) return;
  sqlite3_reset(sh.linger);
  sqlite3_clear_bindings(sh.linger);
  sh.linger = nullptr;
}

int Exec(sqlite3* db, const char* sql, ErrorDetail& d) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? kOk : Translate(rc, db, d);
}

int OpenConn(const Shared& sh, bool reader, std::unique_ptr<Conn>& out, ErrorDetail& d) {
  sqlite3* raw = nullptr;
  int rc;
  if (sh.immutable) {
    rc = sqlite3_open_v2(ImmutableUri(sh.path).c_str(), &raw,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI, nullptr);
  } else {
    const int flags = (reader ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    rc = sqlite3_open_v2(sh.path.c_str(), &raw, flags, nullptr);
  }
  auto conn = std::make_unique<Conn>();
  conn->db.reset(raw);
  if (raw != nullptr) CountLogon();
  if (rc != SQLITE_OK) return Translate(rc, raw, d);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, sh.busy_ms);
  if (!reader && !sh.immutable) {
    // Durable commits. Both settings fail harmlessly on a file the job may only read.
    sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(raw, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_wal_hook(raw, WalCommitHook, &conn->wal_next);
  }
  out = std::move(conn);
  return kOk;
}

int PrepareText(sqlite3* db, const char* sql, StmtHandle& slot, ErrorDetail& d) {
  if (slot) return kOk;
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(raw);
    return Translate(rc, db, d);
  }
  slot.reset(raw);
  return kOk;
}

// The connection's statement for `op`, prepared on its first use.
int Prepared(Conn& c, Op op, sqlite3_stmt*& st, ErrorDetail& d) {
  auto& slot = c.stmts[static_cast<size_t>(op)];
  const int rc = PrepareText(c.db.get(), Statement(op), slot, d);
  if (rc != kOk) return rc;
  st = slot.get();
  return kOk;
}

int StepOnce(sqlite3_stmt* st, ErrorDetail& d) {
  const int rc = sqlite3_step(st);
  sqlite3_reset(st);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? kOk : Translate(rc, sqlite3_db_handle(st), d);
}

// Reads the rows `st` has left, from the row it stands on when `on_row`, into `rows`; a failure
// ends them at its place. Returns the failure's code for the caller's open, kOk without one.
int ReadRest(sqlite3_stmt* st, const char* outputs, bool on_row,
             std::vector<RowsCursor::Entry>& rows) {
  int step = on_row ? SQLITE_ROW : sqlite3_step(st);
  for (; step == SQLITE_ROW; step = sqlite3_step(st)) {
    RowsCursor::Entry e;
    e.rc = ReadRow(st, outputs, e.row, e.err);
    rows.push_back(std::move(e));
  }
  int rc = kOk;
  if (step != SQLITE_DONE) {
    RowsCursor::Entry e;
    rc = e.rc = Translate(step, sqlite3_db_handle(st), e.err);
    rows.push_back(std::move(e));
  }
  sqlite3_reset(st);
  return rc;
}

// A cursor stepping its statement on the main connection; its read transaction (the snapshot
// of its open) lasts until its last row or its close.
class MainCursor final : public Cursor {
 public:
  MainCursor(std::shared_ptr<Shared> sh, sqlite3_stmt* st, const char* outputs, bool on_row)
      : sh_(std::move(sh)), st_(st), outputs_(outputs), on_row_(on_row) {
    sh_->on_main.push_back(this);
    if (!on_row_) End();
  }
  // The statement stays on its row: the main connection's read transaction outlasts the close.
  ~MainCursor() override {
    if (st_ == nullptr) return;
    EndLinger(*sh_);
    sh_->linger = st_;
    Forget();
  }

  int Fetch(Row& row) override {
    if (rest_) return rest_->Fetch(row);
    if (st_ == nullptr) return kNoData;
    if (!on_row_) {
      const int rc = sqlite3_step(st_);
      if (rc != SQLITE_ROW) {
        const int code = rc == SQLITE_DONE ? kNoData : Translate(rc, sqlite3_db_handle(st_), sh_->last);
        End();
        return code;
      }
    }
    on_row_ = false;
    return ReadRow(st_, outputs_, row, sh_->last);
  }

  // Reads the rows not yet delivered now, and gives the statement back to the main connection.
  void Detach() {
    if (st_ == nullptr) return;
    std::vector<RowsCursor::Entry> rows;
    ReadRest(st_, outputs_, on_row_, rows);
    End();
    rest_ = std::make_unique<RowsCursor>(std::move(rows),
                                         [sh = sh_](const ErrorDetail& err) { sh->last = err; });
  }

 private:
  void End() {
    if (st_ == nullptr) return;
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    Forget();
  }
  void Forget() {
    st_ = nullptr;
    auto& open = sh_->on_main;
    open.erase(std::find(open.begin(), open.end(), this));
  }

  std::shared_ptr<Shared> sh_;
  sqlite3_stmt* st_;  // the main connection's; nullptr once ended or detached
  const char* outputs_;
  bool on_row_;  // the statement stands on a row not yet delivered
  std::unique_ptr<RowsCursor> rest_;  // the rows read at the detach
};

// Frees the main connection of `sh` from every cursor's read transaction: before a write there,
// and before the connection goes.
void DetachMainCursors(Shared& sh) {
  EndLinger(sh);
  while (!sh.on_main.empty()) sh.on_main.back()->Detach();
}

class SqliteCursor final : public Cursor {
 public:
  SqliteCursor(std::shared_ptr<Shared> sh, std::unique_ptr<Conn> conn, sqlite3_stmt* st,
               const char* outputs, bool on_row)
      : sh_(std::move(sh)),
        conn_(std::move(conn)),
        st_(st),
        outputs_(outputs),
        on_row_(on_row),
        done_(!on_row) {}

  ~SqliteCursor() override {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    ErrorDetail ignored;
    if (StepOnce(conn_->end.get(), ignored) != kOk) {
      sh_->idle.clear();  // a reader that cannot end its transaction is not reused
      return;
    }
    if (sh_->idle.size() < kIdleReaders) sh_->idle.push_back(std::move(conn_));
  }

  int Fetch(Row& row) override {
    if (done_) return kNoData;
    if (!on_row_) {
      const int rc = sqlite3_step(st_);
      if (rc == SQLITE_DONE) {
        done_ = true;
        return kNoData;
      }
      if (rc != SQLITE_ROW) {
        done_ = true;
        return Translate(rc, conn_->db.get(), sh_->last);
      }
    }
    on_row_ = false;
    return ReadRow(st_, outputs_, row, sh_->last);
  }

 private:
  std::shared_ptr<Shared> sh_;
  std::unique_ptr<Conn> conn_;
  sqlite3_stmt* st_;
  const char* outputs_;
  bool on_row_;  // the statement stands on a row not yet delivered
  bool done_;
};

class SqliteSession final : public Session, public SessionTools {
 public:
  SqliteSession(std::string dir, int busy_ms) : dir_(std::move(dir)), busy_ms_(busy_ms) {}

  ~SqliteSession() override {
    if (shared_) DetachMainCursors(*shared_);
    if (main_ && !sqlite3_get_autocommit(main_->db.get()))
      sqlite3_exec(main_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }

  int ExecDynamic(const std::string& text) override {
    std::string schema;
    const int parsed = ParseSchemaStatement(text, schema, Err());
    if (parsed != kOk) return parsed;
    const std::string path = SchemaPath(dir_, schema);
    struct stat sb {};
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
      return SetError(Err(), kNoSchema, "schema file " + path + " does not exist");
    if (::access(path.c_str(), R_OK) != 0)
      return SetError(Err(), kNoPrivilege, "schema file " + path + " may not be read");
    auto sh = std::make_shared<Shared>();
    sh->path = path;
    sh->immutable = NobodyWrites(path);
    sh->busy_ms = busy_ms_;
    std::unique_ptr<Conn> main;
    const int rc = OpenConn(*sh, false, main, Err());
    if (rc != kOk) return rc;
    if (shared_) DetachMainCursors(*shared_);
    if (main_ && !sqlite3_get_autocommit(main_->db.get()))
      sqlite3_exec(main_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    main_ = std::move(main);
    shared_ = std::move(sh);
    pending_ = false;
    savepoints_.clear();
    return kOk;
  }

  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override {
    out.reset();
    if (!Ready()) return Err().code;
    if (Op_Info(op).kind != OpKind::Cursor) return SetError(Err(), kInternal, "not a cursor");
    // A handful of rows are read whole on the main connection, whose page cache stays warm
    // across its own commits: no read transaction of their own to begin and end.
    if (own_cursors_ || Op_FewRows(op)) return OpenOnMain(op, in, out);
    // The earlier-days walk selects days before the accounting day, which the night never
    // writes; outside a transaction it steps on the main connection (unless its statement is
    // in use by another open cursor of the same kind).
    if (op == Op::TagPrev && sqlite3_get_autocommit(main_->db.get())) {
      sqlite3_stmt* st = nullptr;
      int rc = Prepared(*main_, op, st, Err());
      if (rc != kOk) return rc;
      EndLinger(*shared_);
      if (!sqlite3_stmt_busy(st)) {
        if ((rc = BindAll(st, op, in, Err())) != kOk) return rc;
        const int step = sqlite3_step(st);
        if (step != SQLITE_ROW && step != SQLITE_DONE) {
          rc = Translate(step, main_->db.get(), Err());
          sqlite3_reset(st);
          return rc;
        }
        out = std::make_unique<MainCursor>(shared_, st, Op_Info(op).out, step == SQLITE_ROW);
        return kOk;
      }
    }
    std::unique_ptr<Conn> conn;
    if (!shared_->idle.empty()) {
      conn = std::move(shared_->idle.back());
      shared_->idle.pop_back();
    } else {
      const int rc = OpenConn(*shared_, true, conn, Err());
      if (rc != kOk) return rc;
    }
    sqlite3_stmt* st = nullptr;
    int rc = Prepared(*conn, op, st, Err());
    if (rc == kOk) rc = PrepareText(conn->db.get(), "BEGIN", conn->begin, Err());
    if (rc == kOk) rc = PrepareText(conn->db.get(), "COMMIT", conn->end, Err());
    if (rc == kOk) rc = BindAll(st, op, in, Err());
    if (rc != kOk) {
      Park(std::move(conn));
      return rc;
    }
    rc = StepOnce(conn->begin.get(), Err());
    if (rc != kOk) {
      Park(std::move(conn));
      return rc;
    }
    // The first step takes the read transaction's snapshot: the cursor's rows are fixed now.
    const int step = sqlite3_step(st);
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
      rc = Translate(step, conn->db.get(), Err());
      sqlite3_reset(st);
      ErrorDetail ignored;
      StepOnce(conn->end.get(), ignored);
      Park(std::move(conn));
      return rc;
    }
    out = std::make_unique<SqliteCursor>(shared_, std::move(conn), st, Op_Info(op).out,
                                         step == SQLITE_ROW);
    return kOk;
  }

  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override {
    if (!Ready()) return Err().code;
    if (Op_Info(op).kind != OpKind::Select) return SetError(Err(), kInternal, "not a select");
    sqlite3_stmt* st = nullptr;
    int rc = Prepared(*main_, op, st, Err());
    if (rc == kOk) rc = BindAll(st, op, in, Err());
    if (rc != kOk) return rc;
    int step = sqlite3_step(st);
    Row row;
    if (step == SQLITE_ROW) {
      rc = ReadRow(st, Op_Info(op).out, row, Err());
      if (rc == kOk) {
        step = sqlite3_step(st);
        if (step == SQLITE_ROW)
          rc = SetError(Err(), kTooManyRows, "single-row select found more than one row");
        else if (step != SQLITE_DONE)
          rc = Translate(step, main_->db.get(), Err());
      }
    } else if (step == SQLITE_DONE) {
      rc = kNoData;
    } else {
      rc = Translate(step, main_->db.get(), Err());
    }
    sqlite3_reset(st);
    if (rc == kOk) out = std::move(row);
    return rc;
  }

  int Write(Op op, const std::vector<Bind>& in) override {
    if (!Ready()) return Err().code;
    if (!Op_IsWrite(op)) return SetError(Err(), kInternal, "not a write");
    DetachMainCursors(*shared_);
    sqlite3* db = main_->db.get();
    sqlite3_stmt* st = nullptr;
    int rc = Prepared(*main_, op, st, Err());
    if (rc == kOk) rc = BindAll(st, op, in, Err());
    if (rc != kOk) return rc;
    // A write never commits by itself: outside a transaction it opens one.
    const bool began = sqlite3_get_autocommit(db) != 0;
    if (began && (rc = Exec(db, "BEGIN", Err())) != kOk) return rc;
    const int step = sqlite3_step(st);
    sqlite3_reset(st);
    if (step != SQLITE_DONE) {
      rc = Translate(step, db, Err());
    } else if (Op_Info(op).kind == OpKind::UpdateOrDelete && sqlite3_changes(db) == 0) {
      rc = kNoData;
    } else {
      pending_ = true;
      return kOk;
    }
    // The failed statement has undone itself; a transaction that holds nothing else is ended
    // so that no lock of the job outlives the failed write.
    if (began) EndEmptyTransaction();
    return rc;
  }

  int Savepoint(const std::string& name) override {
    if (!Ready()) return Err().code;
    if (!IsIdentifier(name)) return SetError(Err(), kInvalidSql, "bad savepoint name " + name);
    DetachMainCursors(*shared_);
    sqlite3* db = main_->db.get();
    int rc = kOk;
    if (sqlite3_get_autocommit(db) && (rc = Exec(db, "BEGIN", Err())) != kOk) return rc;
    rc = Exec(db, ("SAVEPOINT " + name).c_str(), Err());
    if (rc == kOk) savepoints_.push_back({name, pending_});
    return rc;
  }

  int RollbackTo(const std::string& name) override {
    size_t i = 0;
    const int rc = ToSavepoint(name, "ROLLBACK TO ", i);
    if (rc != kOk) return rc;
    pending_ = savepoints_[i].pending_before;
    savepoints_.resize(i + 1);
    // Nothing written before the savepoint is left: end the transaction, which changes no
    // data, so that the write locks taken since are released at once (as a server releases
    // its row locks on a rollback to a savepoint).
    if (!pending_) EndEmptyTransaction();
    return kOk;
  }

  int ReleaseSavepoint(const std::string& name) override {
    size_t i = 0;
    const int rc = ToSavepoint(name, "RELEASE ", i);
    if (rc == kOk) savepoints_.resize(i);
    return rc;
  }

  int Commit() override {
    if (!main_) return kOk;  // nothing can be pending without a schema
    sqlite3* db = main_->db.get();
    if (sqlite3_get_autocommit(db)) return kOk;
    const int rc = Exec(db, "COMMIT", Err());
    if (rc != kOk) return rc;
    pending_ = false;
    savepoints_.clear();
    return kOk;
  }

  ErrorDetail LastError() const override { return shared_ ? shared_->last : last_; }
  SessionTools* Tools() override { return this; }

  int CursorsSeeOwnWrites(bool on) override {
    own_cursors_ = on;
    return kOk;
  }

  int RollbackAll() override {
    if (!main_) return kOk;
    sqlite3* db = main_->db.get();
    const int rc = sqlite3_get_autocommit(db) ? kOk : Exec(db, "ROLLBACK", Err());
    pending_ = false;
    savepoints_.clear();
    return rc;
  }

  int ExecScript(const std::string& sql) override {
    if (!Ready()) return Err().code;
    DetachMainCursors(*shared_);
    sqlite3* db = main_->db.get();
    const bool began = sqlite3_get_autocommit(db) != 0;
    int rc = kOk;
    if (began && (rc = Exec(db, "BEGIN IMMEDIATE", Err())) != kOk) return rc;
    rc = Exec(db, sql.c_str(), Err());
    if (rc != kOk) {
      if (began) EndEmptyTransaction();
      return rc;
    }
    return Commit();
  }

  // The fast load path for tools: one prepared insert in one transaction, with the durable
  // sync switched off while it runs (a crash during the load loses only the load), a larger
  // page cache, and the date-form CHECKs not evaluated (they cost half the load's time); all
  // three are restored before returning.
  int BulkInsert(const std::string& table, const std::vector<std::string>& columns,
                 const std::vector<Row>& rows) override {
    if (!Ready()) return Err().code;
    if (!IsIdentifier(table) || columns.empty())
      return SetError(Err(), kInvalidSql, "bad table name " + table);
    std::string sql = "INSERT INTO " + table + " (";
    std::string values;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (!IsIdentifier(columns[i]))
        return SetError(Err(), kInvalidSql, "bad column name " + columns[i]);
      sql += (i ? "," : "") + columns[i];
      values += (i ? ",?" : "?") + std::to_string(i + 1);
    }
    sql += ") VALUES (" + values + ")";
    DetachMainCursors(*shared_);
    sqlite3* db = main_->db.get();
    if (!sqlite3_get_autocommit(db)) return SetError(Err(), kInternal, "a transaction is open");
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      return Translate(sqlite3_errcode(db), db, Err());
    }
    StmtHandle st(raw);
    sqlite3_exec(db,
                 "PRAGMA synchronous=OFF; PRAGMA cache_size=-262144;"
                 " PRAGMA ignore_check_constraints=ON",
                 nullptr, nullptr, nullptr);
    int rc = Exec(db, "BEGIN IMMEDIATE", Err());
    for (size_t r = 0; rc == kOk && r < rows.size(); ++r) {
      const Row& row = rows[r];
      if (row.size() != columns.size()) {
        rc = SetError(Err(), kInternal, "row of " + std::to_string(row.size()) + " cells");
        break;
      }
      for (size_t i = 0; i < row.size(); ++i) {
        const Cell& c = row[i];
        const int pos = static_cast<int>(i) + 1;
        if (c.null)
          sqlite3_bind_null(st.get(), pos);
        else if (c.is_int)
          sqlite3_bind_int64(st.get(), pos, c.num);
        else
          sqlite3_bind_text(st.get(), pos, c.text.data(), static_cast<int>(c.text.size()),
                            SQLITE_STATIC);
      }
      const int step = sqlite3_step(st.get());
      sqlite3_reset(st.get());
      if (step != SQLITE_DONE) rc = Translate(step, db, Err());
    }
    st.reset();
    if (rc == kOk) rc = Exec(db, "COMMIT", Err());
    if (rc != kOk && !sqlite3_get_autocommit(db))
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "PRAGMA synchronous=FULL; PRAGMA cache_size=-2000;"
                 " PRAGMA ignore_check_constraints=OFF",
                 nullptr, nullptr, nullptr);
    return rc;
  }

  int Describe(Op op, int& inputs, int& columns) override {
    if (!Ready()) return Err().code;
    sqlite3_stmt* st = nullptr;
    const int rc = Prepared(*main_, op, st, Err());
    if (rc != kOk) return rc;
    inputs = sqlite3_bind_parameter_count(st);
    columns = sqlite3_column_count(st);
    return kOk;
  }

  int Query(const std::string& sql, std::vector<Row>& rows) override {
    if (!Ready()) return Err().code;
    sqlite3* db = main_->db.get();
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    StmtHandle st(raw);
    if (rc != SQLITE_OK) return Translate(rc, db, Err());
    std::vector<Row> result;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
      Row row(static_cast<size_t>(sqlite3_column_count(st.get())));
      for (int i = 0; i < static_cast<int>(row.size()); ++i) {
        Cell& c = row[static_cast<size_t>(i)];
        const int type = sqlite3_column_type(st.get(), i);
        if (type == SQLITE_NULL) continue;
        c.null = false;
        c.is_int = type == SQLITE_INTEGER;
        if (c.is_int) c.num = sqlite3_column_int64(st.get(), i);
        const unsigned char* t = sqlite3_column_text(st.get(), i);
        c.text.assign(reinterpret_cast<const char*>(t),
                      static_cast<size_t>(sqlite3_column_bytes(st.get(), i)));
      }
      result.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return Translate(rc, db, Err());
    rows = std::move(result);
    return kOk;
  }

 private:
  // Runs `verb` (ROLLBACK TO, RELEASE) on the latest savepoint named `name`, whose place in
  // savepoints_ is `i`. -1086 when none of that name is set in the open transaction.
  int ToSavepoint(const std::string& name, const char* verb, size_t& i) {
    if (!Ready()) return Err().code;
    if (!IsIdentifier(name)) return SetError(Err(), kInvalidSql, "bad savepoint name " + name);
    sqlite3* db = main_->db.get();
    i = savepoints_.size();
    while (i > 0 && sqlite3_stricmp(savepoints_[i - 1].name.c_str(), name.c_str()) != 0) --i;
    if (sqlite3_get_autocommit(db) || i == 0)
      return SetError(Err(), kNoSavepoint, "savepoint " + name + " is not set");
    --i;
    return Exec(db, (verb + name).c_str(), Err());
  }

  struct SavepointMark {
    std::string name;
    bool pending_before;  // whether uncommitted changes existed when it was set
  };

  // Failures are recorded where the session's cursors record theirs.
  ErrorDetail& Err() { return shared_ ? shared_->last : last_; }

  bool Ready() {
    if (main_) return true;
    SetError(Err(), kNoTable, "no schema is current (ALTER SESSION SET CURRENT_SCHEMA first)");
    return false;
  }

  void EndEmptyTransaction() {
    sqlite3* db = main_->db.get();
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    pending_ = false;
    savepoints_.clear();
  }

  // Reads the cursor's rows whole through the main connection, inside its transaction.
  int OpenOnMain(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) {
    sqlite3_stmt* st = nullptr;
    int rc = Prepared(*main_, op, st, Err());
    if (rc == kOk) rc = BindAll(st, op, in, Err());
    if (rc != kOk) return rc;
    std::vector<RowsCursor::Entry> rows;
    // A failure on the first step fails the open; a later one ends the rows, at its place.
    if (ReadRest(st, Op_Info(op).out, false, rows) != kOk && rows.size() == 1) {
      Err() = rows.front().err;
      return rows.front().rc;
    }
    out = std::make_unique<RowsCursor>(std::move(rows),
                                       [sh = shared_](const ErrorDetail& err) { sh->last = err; });
    return kOk;
  }

  void Park(std::unique_ptr<Conn> conn) {
    if (shared_->idle.size() < kIdleReaders) shared_->idle.push_back(std::move(conn));
  }

  std::string dir_;
  int busy_ms_;
  std::unique_ptr<Conn> main_;
  std::shared_ptr<Shared> shared_;
  ErrorDetail last_;
  bool pending_ = false;
  std::vector<SavepointMark> savepoints_;
  bool own_cursors_ = false;  // cursors read on the main connection (CursorsSeeOwnWrites)
};

}  // namespace

void SqliteSetBusyWaitMs(int ms) { g_busy_ms = ms; }
int SqliteBusyWaitMs() { return g_busy_ms; }

int SqliteLogon(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out) {
  (void)user;  // SQLite has no accounts; the file system's permissions govern access
  (void)password;
  const std::string dir = DirOf(net);
  if (dir.empty()) return kBadNetName;
  out = std::make_unique<SqliteSession>(dir, g_busy_ms);
  return kOk;
}

}  // namespace pvc
