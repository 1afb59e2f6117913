// The SQLite backend's cursors: on the main connection, or on a reader connection of their own.
#include <algorithm>
#include <utility>
#include <vector>

#include "client/sqlite/session.h"

namespace pvc::sqlite {

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
        const int code =
            rc == SQLITE_DONE ? kNoData : Translate(rc, sqlite3_db_handle(st_), sh_->last);
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
  bool on_row_;                       // the statement stands on a row not yet delivered
  std::unique_ptr<RowsCursor> rest_;  // the rows read at the detach
};

namespace {

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

}  // namespace

void DetachMainCursors(Shared& sh) {
  EndLinger(sh);
  while (!sh.on_main.empty()) sh.on_main.back()->Detach();
}

std::unique_ptr<Cursor> NewMainCursor(std::shared_ptr<Shared> sh, sqlite3_stmt* st,
                                      const char* outputs, bool on_row) {
  return std::make_unique<MainCursor>(std::move(sh), st, outputs, on_row);
}

std::unique_ptr<Cursor> NewReaderCursor(std::shared_ptr<Shared> sh, std::unique_ptr<Conn> conn,
                                        sqlite3_stmt* st, const char* outputs, bool on_row) {
  return std::make_unique<SqliteCursor>(std::move(sh), std::move(conn), st, outputs, on_row);
}

}  // namespace pvc::sqlite
