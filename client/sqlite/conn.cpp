// The SQLite backend's connections: opening one, its checkpoints, its prepared statements.
#include <string>
#include <utility>
#include <vector>

#include "client/sqlite/session.h"

namespace pvc::sqlite {
namespace {

// Replaces the engine's automatic checkpoint on the writing connection. The engine tries one
// after every commit once the log holds 1,000 pages, and each try first sorts every frame of
// the log. While a reader keeps an older snapshot (the yesterday cursor stays open for the
// whole night) no try can finish, the log keeps growing, and a night would cost the square of
// its writes. Here a try that leaves frames behind doubles the size for the next try; once the
// log has been emptied and restarted, tries begin again at 1,000 pages.
int WalCommitHook(void* arg, sqlite3* db, const char* name, int frames) {
  Conn& conn = *static_cast<Conn*>(arg);
  if (conn.syncer) conn.syncer->Committed();
  int& next = conn.wal_next;
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

// Sets the write-ahead log as the file's journal mode: whether the file is in it now.
bool JournalModeWal(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  bool wal = false;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char* mode = sqlite3_column_text(st, 0);
    wal = mode != nullptr && std::string(reinterpret_cast<const char*>(mode)) == "wal";
  }
  sqlite3_finalize(st);
  return wal;
}

}  // namespace

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

void ConfigureLibrary() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)configured;
}

int OpenConn(const Shared& sh, bool reader, std::unique_ptr<Conn>& out, ErrorDetail& d) {
  ConfigureLibrary();
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
    // Durable commits: in WAL mode the log is synced after each commit by the connection's
    // syncer (client/core/wal_sync.h); should the file stay in another journal mode, every
    // commit syncs by itself. The settings fail harmlessly on a file the job may only read.
    if (JournalModeWal(raw)) {
      sqlite3_exec(raw, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
      conn->syncer = std::make_unique<WalSyncer>(sh.path + "-wal");
    } else {
      sqlite3_exec(raw, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    }
    sqlite3_wal_hook(raw, WalCommitHook, conn.get());
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

}  // namespace pvc::sqlite
