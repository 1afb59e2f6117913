// Writes the journal of a night (parvekctl night --journal) and of an undo (parvekctl undo); its
// format, and its reader, are in tools/journal_format.h.
//
// A change line reaches the file (one write, with whatever was held before it) before its write
// is sent to the database. A night's "ok" line, once its write has committed, and the night's
// decisions are held in memory and go out with the next change line (or at a sync, or the end),
// so that a night makes one write per change; an undo writes its persons' "ok" lines at once. The
// file is synced at the end and at most every few seconds between. A killed night thus leaves
// every committed write journalled, and at most its last write without an "ok" line (and its
// last decisions out); a killed undo, which commits a person's writes together, at most the
// writes of one person.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/recording.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/Decision.h"
#include "tools/journal_format.h"

// Writes a journal while a session runs: put around the session as a recording.
class JournalWriter final : public pvc::Recorder {
 public:
  JournalWriter() = default;
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;
  ~JournalWriter() override;

  // Creates the journal in `dir` (made when missing, mode 0700), named
  // "parvek-DAY-START.journal" ("...-undo.journal" for an undo); DAY is `day` (yyyymmdd), or
  // "pending" until DayKnown tells it. The header's day, start, started and version are the
  // writer's; its folder is `dir` unless the header names one (an undo's names its night's).
  // Run as root where another user owns the directory the journal directory lies in (the job's
  // working directory), the directory made and the file are that user's and group's; root's
  // own journal directory there, or one reached through a symbolic link, is refused.
  // False with the reason in `why` when it cannot be created.
  bool Create(const std::string& dir, const std::string& day, const JournalHeader& header,
              std::string& why);
  // At the logon: the session the recording is put around (read for before-images), before
  // its schema is set.
  void Attach(pvc::Session& s) { session_ = &s; }
  // The night's accounting day, once the night has read it from the database's clock, for a
  // journal created without one: the file is renamed to carry it.
  void DayKnown(const AccountingDay& day);
  // Once the schema is set (the scan's first statement, or at once for an undo): writes the
  // header line.
  void Start(pvc::Session& s);
  // Writes the closing line and syncs the file. `normal`: the run ended as it should.
  void Finish(bool normal, int rc);

  // An undo commits the writes of one person together. From BeginTransaction on, the "ok" line
  // of a write that succeeded waits for EndTransaction, which writes it once the transaction
  // committed (kCommitted), writes {"failed":N,"rc":journal::kRolledBack} in its place once the
  // transaction was rolled back (kRolledBack), and writes nothing when the commit's outcome is
  // not known (kUnknown: the connection was lost on it), so that the reader looks at the row.
  // A write that failed has its "failed" line at once: it undid itself.
  enum class TxnEnd { kCommitted, kRolledBack, kUnknown };
  void BeginTransaction();
  void EndTransaction(TxnEnd end);

  // A change line for every write before it is sent; a write whose line cannot be written is
  // not sent (kInternal in its place).
  int BeforeWrite(pvc::Session& s, pvc::Op op, const std::vector<pvc::Bind>& in) override;
  void Saw(const pvc::Seen& seen) override;

  // A decision of the night about `pnr`, one line (tools/explain.h): held in memory and
  // written with the next change line or at the end, so that the reasons cost no write of their
  // own.
  void Reason(const char* pnr, const Decision& d);

  const std::string& path() const { return path_; }
  bool failed() const { return failed_; }
  int changes() const { return inserted_ + functions_ + deleted_ + days_; }

 private:
  bool Line(const nlohmann::json& j);
  void Hold(const nlohmann::json& j);    // the line goes out with the next Write
  bool Write(const std::string& text);  // one write of what is held, then `text`
  std::string held_text_;               // lines not yet written, in their order
  bool IsDayRow(const nlohmann::json& key) const;  // `key` names the current record
  nlohmann::json DayRowPairs() const;              // its six fields as they now stand
  void Header();
  void Count(journal::Change change);  // one more write of `change` committed

  int fd_ = -1, dir_fd_ = -1;
  std::string dir_, name_, path_;
  JournalHeader header_;  // its day empty until known
  bool header_written_ = false, failed_ = false;
  long n_ = 0;
  long pending_ = 0;  // the write whose line went out last, not yet settled
  journal::Change pending_change_ = journal::Change::kInsert;  // its kind
  nlohmann::json pending_key_, pending_after_;                 // its key and after-image
  pvc::Session* session_ = nullptr;
  // The scan's current accounting-day record, and its six fields once the night changed them.
  pvc::Row day_row_;
  nlohmann::json day_pairs_;
  int inserted_ = 0, functions_ = 0, deleted_ = 0, days_ = 0, failed_writes_ = 0;
  int unchanged_ = 0;          // writes refused without failing the run (see Saw)
  bool cancel_retry_ = false;  // the last cancellation met an older one: the next is its retry
  // Between BeginTransaction and EndTransaction: the writes that succeeded, awaiting the end.
  struct Held {
    long n;
    journal::Change change;
    std::optional<nlohmann::json> bch_dat;
  };
  bool holding_ = false;
  std::vector<Held> held_;
  std::time_t last_sync_ = 0;
};

// Journals of `dir` last changed more than `days` days ago are removed: only files named
// "parvek-*.journal" that this program wrote (a regular file, never a symbolic link, whose first
// line is a journal's header). A directory that its group or others may write, or a symbolic
// link, is left as it is, with the reason on standard error. Returns how many were removed.
int Journal_RemoveOld(const std::string& dir, int days);
