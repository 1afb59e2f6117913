// A cursor over rows read whole at its open (client/core/rows_cursor.h).
#include "client/core/rows_cursor.h"

#include "client/core/codes.h"

namespace pvc {

int RowsCursor::Fetch(Row& row) {
  if (pos_ >= rows_.size()) return kNoData;
  Entry& e = rows_[pos_++];
  if (e.rc != kOk) {
    if (record_) record_(e.err);
    return e.rc;
  }
  row = std::move(e.row);
  return kOk;
}

}  // namespace pvc
