// The ODBC backend's cursor: on the session's one connection (paged by its key where the
// dialect pages it), or in the fallback on a cursor connection of its own.
#include <algorithm>

#include "client/odbc/session.h"

namespace pvc::odbc {

int OdbcCursor::Fetch(Row& row) {
  if (slot_ == nullptr) return kNoData;
  SQLRETURN rc = SQLFetch(slot_->h);
  if (rc == SQL_NO_DATA && paged() && in_page_ == page_) {
    const int next = NextPage();
    if (next != kOk) {
      Release();
      return next;
    }
    rc = SQLFetch(slot_->h);
  }
  if (rc == SQL_NO_DATA) {
    Release();
    return kNoData;
  }
  if (!Ok(rc)) {
    const int code = sh_->FailOn(SQL_HANDLE_STMT, slot_->h);
    Release();
    return code;
  }
  const int read = sh_->ReadRow(*slot_, Op_Info(op_).out, row);
  if (read == kOk && paged()) {
    ++in_page_;
    // The page's last column is its key, which bounds the next page.
    bool null = false;
    odbc::BoundText(*slot_, Op_Width(Op_Info(op_).out), key_, null);
  }
  return read;
}

int OdbcCursor::NextPage() {
  SQLFreeStmt(slot_->h, SQL_CLOSE);
  values_[kKeyValue].text = key_;
  values_[kKeyValue].null = false;
  page_ = std::min(page_ * 2, kMaxPage);
  values_.back().num = page_;
  in_page_ = 0;
  odbc::Prepared* slot = slot_;
  TxnPolicy::Undo undo;
  bool no_data = false;
  const int rc = sh_->RunMain(op_, values_, false, true, slot, undo, no_data);
  if (rc != kOk) return rc;
  return sh_->Done(undo, kOk);
}

void OdbcCursor::Release() {
  if (slot_ == nullptr) return;
  SQLFreeStmt(slot_->h, SQL_CLOSE);
  slot_->busy = false;
  slot_ = nullptr;
  if (conn_ == sh_->main.get()) {
    --sh_->open_cursors;
    sh_->EndSnapshot(this);
  } else {
    if (!conn_->autocommit) SQLEndTran(SQL_HANDLE_DBC, conn_->h, SQL_ROLLBACK);
    conn_->in_use = false;
  }
}

}  // namespace pvc::odbc
