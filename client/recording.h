// A recording of a session: every statement the job runs through it, with its inputs and what it
// gave, handed to a Recorder. Values are named by the statement table (kOpNames), so a recorder
// never counts positions itself. The preview of a night shows its tables from a recording.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "client/client.h"

namespace pvc {

// One statement as a recording sees it.
struct Seen {
  Op op;
  const std::vector<Bind>& in;  // the statement's inputs (a cursor's: those of its open)
  const Row* row;               // a row a cursor delivered, or the row of a single-row select;
                                // nullptr for an open, a write, and a call that gave no row
  int rc;                       // the call's code (a fetch's, for a delivered row 0)
};

class Recorder {
 public:
  virtual ~Recorder() = default;
  // Before a write (Write or WriteDurably) runs. `s` is the session it will run on, for reading
  // what the write is about to change; what the recorder runs there is not recorded.
  // 0 lets the write run; any other code is returned in its place, and the write is not sent
  // (a journal that could not note it, for example).
  virtual int BeforeWrite(Session& s, Op op, const std::vector<Bind>& in) {
    (void)s;
    (void)op;
    (void)in;
    return 0;
  }
  // After every open, delivered row, single-row select and write, in the order they ran.
  virtual void Saw(const Seen& seen) = 0;
};

// Wraps `s` so that `to` sees its statements. `to` must outlive the returned session and every
// cursor opened through it. Savepoints, commits and the schema statement pass unrecorded.
std::unique_ptr<Session> Recording(std::unique_ptr<Session> s, Recorder& to);

// The input of `op` named `name` in `in`; nullptr when `op` has no input of that name or `in`
// holds too few values.
const Bind* InNamed(Op op, const std::vector<Bind>& in, std::string_view name);
// The output of `op` named `name` in `row`; nullptr likewise.
const Cell* OutNamed(Op op, const Row& row, std::string_view name);

}  // namespace pvc
