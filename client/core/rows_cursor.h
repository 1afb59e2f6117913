// A cursor over rows read whole at its open, for every backend that reads a cursor that way.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "client/core/session.h"

namespace pvc {

// Cursor over rows read whole at its open. A row that could not be read is delivered as its
// failure, at its place, as a cursor stepping through the rows would.
class RowsCursor final : public Cursor {
 public:
  struct Entry {
    int rc = 0;
    Row row;
    ErrorDetail err;  // the detail of a failed row
  };
  // `record` keeps a failed row's detail where the session's LastError() reads it.
  RowsCursor(std::vector<Entry> rows, std::function<void(const ErrorDetail&)> record)
      : rows_(std::move(rows)), record_(std::move(record)) {}
  int Fetch(Row& row) override;

 private:
  std::vector<Entry> rows_;
  std::function<void(const ErrorDetail&)> record_;
  size_t pos_ = 0;
};

}  // namespace pvc
