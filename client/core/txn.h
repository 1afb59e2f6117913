// The transaction policy of every backend, written once: how a statement's failure is undone (the
// statement guard), the job's savepoints, the commit, the end of a transaction that holds
// nothing, and the one durable write. Each backend gives it a few primitives of its connection
// (run a plain statement, open and end a transaction, optionally a durable write in one exchange)
// and a few traits of its engine; the policy decides when to call them. Included by backends
// only.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client/core/rows_cursor.h"
#include "client/core/session.h"

namespace pvc {

// What a server backend's connection offers the policy.
class TxnPrimitives {
 public:
  enum class End { Commit, Rollback, Discard };  // Discard: nothing pending is to be kept
  virtual ~TxnPrimitives() = default;
  // Runs one plain statement (SAVEPOINT, RELEASE, ROLLBACK TO). 0, or its code with the detail
  // recorded where LastError() reads it.
  virtual int Exec(const std::string& sql) = 0;
  // Opens a transaction for work that must wait for a commit; 0 when one is open already.
  virtual int Begin() = 0;
  // Ends the open transaction (0 when none is open).
  virtual int Finish(End how) = 0;
  // Whether a transaction is open on the connection.
  virtual bool InTransaction() = 0;
  // The session's record of the last failure.
  virtual ErrorDetail& Detail() = 0;
  // A durable write (Session::WriteDurably) of write `op` in one exchange with the server, where
  // the connection can: nothing pending, the savepoint would hold nothing before it. True with
  // the outcome in `rc` (as WriteDurably returns it) when it ran so; false when the policy is to
  // run the steps one by one (the default).
  virtual bool WriteAlone(Op op, const std::vector<Bind>& in, const std::string& savepoint,
                          int& rc) {
    (void)op;
    (void)in;
    (void)savepoint;
    (void)rc;
    return false;
  }
};

// The one form of a durable write, step by step over the calls of `s` (Session::WriteDurably's
// contract): sets savepoint `savepoint`, runs the write and commits it on 0; when the write does
// not return 0, or its commit fails, everything since the savepoint is undone. With
// `release_after` the savepoint is then released (a session whose commits keep everything
// pending, so that savepoints do not pile up). Returns the write's code, or the failed commit's
// (-600 for a commit that was not negative); -3114 whenever the connection was lost on the way.
int WriteDurablySteps(Session& s, Op op, const std::vector<Bind>& in, const std::string& savepoint,
                      bool release_after = false);

struct TxnTraits {
  // A failed statement aborts the whole transaction: a statement that follows other work of
  // the transaction runs between a guard savepoint and its release.
  bool guard_statements = false;
  // Setting a savepoint of a name again keeps the earlier one: release it first.
  bool release_renamed = false;
  // A rollback to a savepoint with nothing written before it ends the transaction, so that the
  // locks taken since are released at once.
  bool end_when_nothing_kept = false;
  // Savepoint names as the engine's text takes them (quoted or as they stand).
  bool quote_names = false;
};

// The native backends' traits. PostgreSQL: a failed statement aborts the transaction, the server
// keeps every savepoint of a name, names are quoted. SQLite: a failed statement undoes itself, the
// engine keeps every savepoint of a name, and a rollback to a savepoint with nothing written before
// it ends the transaction, which releases the write lock (and a read snapshot that would keep a
// later write from it) at once.
inline constexpr TxnTraits kPostgresTxnTraits{true, true, false, true};
inline constexpr TxnTraits kSqliteTxnTraits{false, false, true, false};

class TxnPolicy {
 public:
  enum class Undo { Nothing, Rollback, ToSavepoint, Guard };

  TxnPolicy(TxnPrimitives& prim, TxnTraits traits) : prim_(prim), traits_(traits) {}
  // The traits of the engine, once it is known (before any statement runs).
  void Configure(TxnTraits traits) { traits_ = traits; }

  // Brings the transaction into the state for the next statement (a write opens one) and says
  // how its failure is undone.
  int Prepare(bool write, Undo& undo);
  // Ends a statement: keeps it on 0 (or 1403), undoes it otherwise; a write `wrote` on 0.
  // A write that changed nothing in a transaction it opened itself ends that transaction.
  // Returns `rc`, with the statement's detail kept.
  int Finish(Undo undo, int rc, bool write = false);
  int Savepoint(const std::string& name);
  // -1086 when no savepoint of that name is set in the open transaction.
  int RollbackTo(const std::string& name);
  // -1086 when no savepoint of that name is set in the open transaction.
  int Release(const std::string& name);
  int Commit();
  int RollbackAll();
  // The durable write of session `s` (whose calls run under this policy): in one exchange where
  // the primitives can (TxnPrimitives::WriteAlone), otherwise step by step (WriteDurablySteps).
  int WriteDurably(Session& s, Op op, const std::vector<Bind>& in, const std::string& savepoint);
  // Forgets the transaction's state (after the connection ended it by itself).
  void Reset();
  // A write, a savepoint or a statement of the job's is pending.
  bool Open() const { return open_; }

 private:
  std::string Name(const std::string& name) const {
    return traits_.quote_names ? "\"" + name + "\"" : name;
  }
  int EndWith(TxnPrimitives::End how);
  // The position after the newest savepoint of that name, 0 when none is set (the -1086
  // detail then recorded).
  size_t Find(const std::string& name);

  TxnPrimitives& prim_;
  TxnTraits traits_;
  struct Mark {
    std::string name;
    bool wrote_before;  // a successful write was pending when it was set
  };
  std::vector<Mark> savepoints_;  // the job's savepoints in the open transaction
  bool open_ = false;             // a write or a savepoint is pending
  bool wrote_ = false;            // a successful write is pending
  bool fresh_ = false;  // nothing has run since the last savepoint was set or rolled back to
};

}  // namespace pvc
