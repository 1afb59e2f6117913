#include "client/recording.h"

#include <utility>

#include "client/codes.h"

namespace pvc {
namespace {

class RecordingCursor final : public CursorWrapper {
 public:
  RecordingCursor(std::unique_ptr<Cursor> inner, Op op, std::vector<Bind> in, Recorder& to)
      : CursorWrapper(std::move(inner)), op_(op), in_(std::move(in)), to_(to) {}
  int Fetch(Row& row) override {
    const int rc = target().Fetch(row);
    to_.Saw({op_, in_, rc == kOk ? &row : nullptr, rc});
    return rc;
  }

 private:
  Op op_;
  std::vector<Bind> in_;
  Recorder& to_;
};

class RecordingSession final : public SessionWrapper {
 public:
  RecordingSession(std::unique_ptr<Session> inner, Recorder& to)
      : SessionWrapper(std::move(inner)), to_(to) {}
  int Open(Op op, const std::vector<Bind>& in, std::unique_ptr<Cursor>& out) override {
    const int rc = target().Open(op, in, out);
    to_.Saw({op, in, nullptr, rc});
    if (out) out = std::make_unique<RecordingCursor>(std::move(out), op, in, to_);
    return rc;
  }
  int SelectOne(Op op, const std::vector<Bind>& in, Row& out) override {
    const int rc = target().SelectOne(op, in, out);
    to_.Saw({op, in, rc == kOk ? &out : nullptr, rc});
    return rc;
  }
  int Write(Op op, const std::vector<Bind>& in) override {
    const int refused = to_.BeforeWrite(target(), op, in);
    const int rc = refused != kOk ? refused : target().Write(op, in);
    to_.Saw({op, in, nullptr, rc});
    return rc;
  }
  // Passed on whole, so that a backend keeps running it its own way; recorded as one write.
  int WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) override {
    const int refused = to_.BeforeWrite(target(), op, in);
    const int rc = refused != kOk ? refused : target().WriteDurably(op, in, savepoint);
    to_.Saw({op, in, nullptr, rc});
    return rc;
  }

 private:
  Recorder& to_;
};

}  // namespace

std::unique_ptr<Session> Recording(std::unique_ptr<Session> s, Recorder& to) {
  return std::make_unique<RecordingSession>(std::move(s), to);
}

const Bind* InNamed(Op op, const std::vector<Bind>& in, std::string_view name) {
  const int i = Op_InIndex(op, name);
  return i >= 0 && static_cast<size_t>(i) < in.size() ? &in[static_cast<size_t>(i)] : nullptr;
}

const Cell* OutNamed(Op op, const Row& row, std::string_view name) {
  const int i = Op_OutIndex(op, name);
  return i >= 0 && static_cast<size_t>(i) < row.size() ? &row[static_cast<size_t>(i)] : nullptr;
}

}  // namespace pvc
