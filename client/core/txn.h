// The transaction policy of the server backends, written once: how a statement's failure is
// undone (the statement guard), the job's savepoints, the commit, and the end of a transaction
// that holds nothing. Each backend gives it a few primitives of its connection (run a plain
// statement, open and end a transaction) and a few traits of its engine; the policy decides
// when to call them. Included by backends only.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

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
};

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
