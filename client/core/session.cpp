// What every session shares (client/core/session.h).
#include "client/core/session.h"

#include "client/core/codes.h"
#include "client/core/txn.h"

namespace pvc {

int Session::WriteDurably(Op op, const std::vector<Bind>& in, const std::string& savepoint) {
  return WriteDurablySteps(*this, op, in, savepoint);
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
