// The server backends' one transaction policy against a recording connection: which statements
// undo a failure, when a transaction opens and ends, and that a failure's detail survives its undo.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client/codes.h"
#include "client/core/bind.h"
#include "client/core/txn.h"

namespace {

using pvc::TxnPolicy;
using pvc::TxnPrimitives;

// Records every primitive call; Exec fails for the text in `fail`.
class Recorder final : public TxnPrimitives {
 public:
  int Exec(const std::string& sql) override {
    calls.push_back(sql);
    if (sql != fail) return 0;
    return pvc::SetError(last, -600, "failed: " + sql);
  }
  int Begin() override {
    if (!open) calls.push_back("BEGIN");
    open = true;
    return 0;
  }
  int Finish(End how) override {
    if (!open) return 0;
    calls.push_back(how == End::Commit ? "COMMIT" : how == End::Rollback ? "ROLLBACK" : "END");
    if (how == End::Commit && commit_fails) return pvc::SetError(last, -600, "commit failed");
    open = false;
    return 0;
  }
  bool InTransaction() override { return open; }
  pvc::ErrorDetail& Detail() override { return last; }

  std::vector<std::string> Take() { return std::exchange(calls, {}); }

  std::vector<std::string> calls;
  std::string fail;
  bool open = false;
  bool commit_fails = false;
  pvc::ErrorDetail last;
};

using Calls = std::vector<std::string>;

// One statement under the policy that ends with `rc`.
int Statement(TxnPolicy& p, Recorder& r, bool write, int rc) {
  TxnPolicy::Undo undo;
  const int prepared = p.Prepare(write, undo);
  if (prepared != 0) return prepared;
  if (rc < 0) pvc::SetError(r.last, rc, "the statement's own failure");
  return p.Finish(undo, rc, write);
}

TEST(TxnPolicy, GuardedEngineUndoesEachFailureOnlyAsFarAsNeeded) {
  Recorder r;
  pvc::TxnTraits t;
  t.guard_statements = t.release_renamed = t.quote_names = true;
  TxnPolicy p(r, t);
  // Outside a transaction a read holds nothing; a write opens one, and its failure (or a 1403)
  // ends it again.
  EXPECT_EQ(Statement(p, r, false, -942), -942);
  EXPECT_EQ(r.Take(), Calls{});
  EXPECT_EQ(Statement(p, r, true, -1), -1);
  EXPECT_EQ(r.Take(), (Calls{"BEGIN", "END"}));
  EXPECT_EQ(Statement(p, r, true, pvc::kNoData), pvc::kNoData);
  EXPECT_EQ(r.Take(), (Calls{"BEGIN", "END"}));
  // After a successful write every statement runs under the guard; a failed undo keeps the
  // statement's own detail.
  EXPECT_EQ(Statement(p, r, true, 0), 0);
  EXPECT_TRUE(p.Open());
  r.Take();
  r.fail = "ROLLBACK TO SAVEPOINT pvk_statement";
  EXPECT_EQ(Statement(p, r, false, -1722), -1722);
  EXPECT_EQ(r.Take(), (Calls{"SAVEPOINT pvk_statement", "ROLLBACK TO SAVEPOINT pvk_statement",
                             "RELEASE SAVEPOINT pvk_statement"}));
  EXPECT_EQ(r.last.code, -1722);
  r.fail.clear();
  // Right after the job's savepoint a failure rolls back to it, without a guard of its own.
  ASSERT_EQ(p.Savepoint("Bch_Sp"), 0);
  ASSERT_EQ(p.Savepoint("Bch_Sp"), 0);  // set again: the earlier one is released first
  EXPECT_EQ(r.Take(), (Calls{"SAVEPOINT \"Bch_Sp\"", "RELEASE SAVEPOINT \"Bch_Sp\"",
                             "SAVEPOINT \"Bch_Sp\""}));
  EXPECT_EQ(Statement(p, r, true, -1), -1);
  EXPECT_EQ(r.Take(), Calls{"ROLLBACK TO SAVEPOINT \"Bch_Sp\""});
  EXPECT_EQ(p.RollbackTo("Elsewhere_Sp"), pvc::kNoSavepoint);
  EXPECT_EQ(p.RollbackTo("Bch_Sp"), 0);
  EXPECT_EQ(r.Take(), Calls{"ROLLBACK TO SAVEPOINT \"Bch_Sp\""});  // the earlier write stays
  // A commit that fails inside a still open transaction keeps the savepoints for the undo.
  r.commit_fails = true;
  EXPECT_EQ(p.Commit(), -600);
  EXPECT_EQ(p.RollbackTo("Bch_Sp"), 0);
  r.commit_fails = false;
  EXPECT_EQ(p.Commit(), 0);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.RollbackTo("Bch_Sp"), pvc::kNoSavepoint);
}

TEST(TxnPolicy, SelfUndoingEngineEndsATransactionThatKeepsNothing) {
  Recorder r;
  pvc::TxnTraits t;
  t.end_when_nothing_kept = true;
  TxnPolicy p(r, t);
  ASSERT_EQ(p.Savepoint("A_Sp"), 0);
  EXPECT_EQ(Statement(p, r, true, 0), 0);
  EXPECT_EQ(Statement(p, r, false, -1), -1);  // no guard: the statement undoes itself
  EXPECT_EQ(p.RollbackTo("a_sp"), 0);         // names without regard to case
  // Nothing written before the savepoint: the transaction ends, so its locks go at once.
  EXPECT_EQ(r.Take(), (Calls{"BEGIN", "SAVEPOINT A_Sp", "ROLLBACK TO SAVEPOINT a_sp", "END"}));
  EXPECT_FALSE(p.Open());
  // With a write kept before the savepoint the transaction stays open.
  EXPECT_EQ(Statement(p, r, true, 0), 0);
  ASSERT_EQ(p.Savepoint("A_Sp"), 0);
  EXPECT_EQ(p.RollbackTo("A_Sp"), 0);
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.RollbackAll(), 0);
  EXPECT_EQ(r.Take(), (Calls{"BEGIN", "SAVEPOINT A_Sp", "ROLLBACK TO SAVEPOINT A_Sp", "ROLLBACK"}));
  EXPECT_EQ(p.Savepoint("not a name"), pvc::kInvalidSql);
}

}  // namespace
