// What every session shares (client/core/session.h).
#include "client/core/session.h"

#include "client/core/codes.h"

namespace pvc {

int Session::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  // The savepoint's code is not looked at (the write runs regardless), unless it says that the
  // connection is gone.
  if (Savepoint(savepoint) == kLostConnection) return kLostConnection;
  const int rc = Write(op, in);
  if (rc == kOk) {
    const int commit = Commit();
    if (commit == kOk) return kOk;
    if (RollbackTo(savepoint) == kLostConnection) return kLostConnection;
    return commit < 0 ? commit : kInternal;
  }
  // A connection lost on the undo outweighs the write's own code: nothing may follow.
  if (RollbackTo(savepoint) == kLostConnection) return kLostConnection;
  return rc;
}

SessionTools& ToolsOf(Session& s) {
  class NoTools final : public SessionTools {
   public:
    int ExecScript(const std::string&) override { return kInternal; }
    int Query(const std::string&, std::vector<Row>&) override { return kInternal; }
    int BulkInsert(const std::string&, const std::vector<std::string>&,
                   const std::vector<Row>&) override {
      return kInternal;
    }
    int Describe(Op, int&, int&) override { return kInternal; }
  };
  static NoTools none;
  SessionTools* t = s.Tools();
  return t != nullptr ? *t : none;
}

}  // namespace pvc
