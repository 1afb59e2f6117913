// The transaction policy of every backend (client/core/txn.h).
#include "client/core/txn.h"

#include "client/core/bind.h"
#include "client/core/codes.h"

namespace pvc {
namespace {

constexpr const char* kGuard = "pvk_statement";

bool SameName(const std::string& a, const std::string& b, bool exact) {
  if (exact) return a == b;
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int TxnPolicy::Prepare(bool write, Undo& undo) {
  undo = Undo::Nothing;
  if (write || open_) {
    const int rc = prim_.Begin();
    if (rc != kOk) return rc;
  }
  if (!open_) {
    // Nothing to keep: a failure is undone by ending the transaction, if one is open.
    undo = write ? Undo::Rollback : Undo::Nothing;
    return kOk;
  }
  if (!traits_.guard_statements) return kOk;  // the statement undoes itself
  if (fresh_ && !savepoints_.empty()) {
    undo = Undo::ToSavepoint;
    return kOk;
  }
  const int rc = prim_.Exec(std::string("SAVEPOINT ") + kGuard);
  if (rc != kOk) return rc;
  undo = Undo::Guard;
  return kOk;
}

int TxnPolicy::Finish(Undo undo, int rc, bool write) {
  const ErrorDetail keep = prim_.Detail();  // the statement's failure, not the undo's
  if (rc == kOk || rc == kNoData) {
    if (undo == Undo::Guard) prim_.Exec(std::string("RELEASE SAVEPOINT ") + kGuard);
    fresh_ = false;
    if (undo == Undo::Rollback && rc == kNoData) {
      // A write outside any savepoint that changed nothing: nothing is pending.
      EndWith(TxnPrimitives::End::Discard);
    } else if (rc == kOk && write) {
      open_ = wrote_ = true;
    }
    prim_.Detail() = keep;
    return rc;
  }
  switch (undo) {
    case Undo::Nothing: break;
    case Undo::Rollback: EndWith(TxnPrimitives::End::Discard); break;
    case Undo::ToSavepoint:
      prim_.Exec("ROLLBACK TO SAVEPOINT " + Name(savepoints_.back().name));
      break;
    case Undo::Guard:
      prim_.Exec(std::string("ROLLBACK TO SAVEPOINT ") + kGuard);
      prim_.Exec(std::string("RELEASE SAVEPOINT ") + kGuard);
      break;
  }
  prim_.Detail() = keep;
  return rc;
}

int TxnPolicy::Savepoint(const std::string& name) {
  if (!IsIdentifier(name))
    return SetError(prim_.Detail(), kInvalidSql, "bad savepoint name " + name);
  int rc = prim_.Begin();
  if (rc != kOk) return rc;
  if (traits_.release_renamed) {
    // The earlier savepoint of the name (and those set after it) goes, so that a long run of
    // failed writes does not pile them up.
    for (size_t i = 0; i < savepoints_.size(); ++i) {
      if (!SameName(savepoints_[i].name, name, traits_.quote_names)) continue;
      rc = prim_.Exec("RELEASE SAVEPOINT " + Name(savepoints_[i].name));
      if (rc != kOk) return rc;
      savepoints_.resize(i);
      break;
    }
  }
  rc = prim_.Exec("SAVEPOINT " + Name(name));
  if (rc != kOk) return rc;
  savepoints_.push_back({name, wrote_});
  open_ = fresh_ = true;
  return kOk;
}

size_t TxnPolicy::Find(const std::string& name) {
  size_t i = savepoints_.size();
  while (i > 0 && !SameName(savepoints_[i - 1].name, name, traits_.quote_names)) --i;
  if (i == 0 || !IsIdentifier(name)) {
    SetError(prim_.Detail(), kNoSavepoint, "savepoint '" + name + "' is not set");
    return 0;
  }
  return i;
}

int TxnPolicy::RollbackTo(const std::string& name) {
  size_t i = Find(name);
  if (i == 0) return kNoSavepoint;
  --i;
  const int rc = prim_.Exec("ROLLBACK TO SAVEPOINT " + Name(name));
  if (rc != kOk) return rc;
  savepoints_.resize(i + 1);
  fresh_ = true;
  wrote_ = savepoints_.back().wrote_before;
  // Nothing written before the savepoint is left: the transaction ends, which changes no data,
  // so that the locks taken since are released at once (SQLite holds its write lock, and a read
  // snapshot that would keep a later write from its lock, until the transaction ends).
  if (traits_.end_when_nothing_kept && !wrote_) EndWith(TxnPrimitives::End::Discard);
  return kOk;
}

int TxnPolicy::Release(const std::string& name) {
  const size_t i = Find(name);
  if (i == 0) return kNoSavepoint;
  const int rc = prim_.Exec("RELEASE SAVEPOINT " + Name(name));
  if (rc != kOk) return rc;
  savepoints_.resize(i - 1);
  return kOk;
}

int TxnPolicy::Commit() {
  const int rc = prim_.Finish(TxnPrimitives::End::Commit);
  // A commit that failed may have ended the transaction (a server rolls back what it cannot
  // commit); otherwise the savepoints stay set for the undo.
  if (rc == kOk || !prim_.InTransaction()) Reset();
  return rc;
}

int TxnPolicy::RollbackAll() {
  const int rc = prim_.Finish(TxnPrimitives::End::Rollback);
  Reset();
  return rc;
}

void TxnPolicy::Reset() {
  savepoints_.clear();
  open_ = wrote_ = fresh_ = false;
}

int TxnPolicy::EndWith(TxnPrimitives::End how) {
  const int rc = prim_.Finish(how);
  Reset();
  return rc;
}

int TxnPolicy::WriteDurably(Session& s, Op op, const std::vector<Bind>& in,
                            const std::string& savepoint) {
  if (Op_IsWrite(op) && IsIdentifier(savepoint)) {
    int rc = kOk;
    if (prim_.WriteAlone(op, in, savepoint, rc)) return rc;
  }
  return WriteDurablySteps(s, op, in, savepoint);
}

int WriteDurablySteps(Session& s, Op op, const std::vector<Bind>& in, const std::string& savepoint,
                      bool release_after) {
  // The savepoint's code is not looked at (the write runs regardless), unless it says that the
  // connection is gone.
  if (s.Savepoint(savepoint) == kLostConnection) return kLostConnection;
  int rc = s.Write(op, in);
  if (rc == kOk) {
    const int commit = s.Commit();
    if (commit != kOk) {
      if (s.RollbackTo(savepoint) == kLostConnection) return kLostConnection;
      rc = commit < 0 ? commit : kInternal;
    }
  } else if (s.RollbackTo(savepoint) == kLostConnection) {
    // A connection lost on the undo outweighs the write's own code: nothing may follow.
    return kLostConnection;
  }
  if (!release_after) return rc;
  const int released = s.ReleaseSavepoint(savepoint);
  return released == kLostConnection ? released : rc;
}

}  // namespace pvc
