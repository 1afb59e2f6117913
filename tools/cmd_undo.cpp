// parvekctl undo JOURNAL [--settings FILE] [--preview] [--params FILE] [--wait SECONDS]: takes
// back the changes a journal (parvekctl night --journal) records, newest first, each only where
// its row is still exactly as the run left it; everything else is listed as skipped.
//
// A journal holds one accounting day; the changes of one person there are taken back in one
// transaction, all committed together or none, so that a kill, a failed write or a failed commit
// never leaves a person's day half put back. The undo writes its own journal beside JOURNAL, so
// that an undo can be undone, and appends each person's accounting day to a parameter file in the
// night's layout as soon as its transaction committed (before its journal confirms the person),
// for the downstream evaluation. Journals of one database and day are taken back newest first
// (tools/journal_order.h). --preview runs the same reverts in one transaction that is rolled
// back, and keeps nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/recording.h"
#include "db/records.h"
#include "run/Night.h"
#include "run/NightGuard.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/RunLog.h"
#include "scan/Tgb_Param.h"
#include "tools/ctl.h"
#include "tools/journal.h"
#include "tools/journal_format.h"
#include "tools/journal_order.h"
#include "tools/journal_values.h"

namespace {

namespace fs = std::filesystem;
using journal::Change;
using journal::Entry;
using nlohmann::json;
using pvc::Op;
namespace keys = journal::key;

// Its "ok" line is there: the write committed.
bool Confirmed(const Entry& e) { return e.state == Entry::State::kConfirmed; }

// ---- taking one change back --------------------------------------------------------------

enum class Outcome { kReverted, kAlready, kSkipped, kNotCommitted, kError };

struct Result {
  Outcome outcome;
  std::string why;  // skipped: changed since, gone, key taken; error: the code
  // Skipped, and the person's other changes must not be taken back without it (see Skip).
  bool holds_back = false;
};

// A change that is not taken back. Most skips hold back nothing: a row that is gone or whose key
// another booking took is as if that had happened before the run, and the rest of the person's
// day is put back around it. A day record, or a booking the run inserted (the follow-up booking
// the day record was evaluated with), that someone changed since holds back the whole person:
// whoever changed it worked on from the run's evaluation, and putting the rest back alone would
// leave a follow-up booking on a day record put back to its placeholder, or a day record that
// names a follow-up booking that is gone.
Result Skip(const std::string& why, bool holds_back = false) {
  return {Outcome::kSkipped, why, holds_back};
}
Result Error(pvc::Session& s, int rc) {
  return {Outcome::kError, "RC:" + std::to_string(rc) + " " + s.LastError().message};
}
// The row is as the journal's before-image has it: committed, the change was taken back already
// (by an earlier undo that was ended before it could say so); sent only, it never committed.
Result AsBefore(const Entry& e) {
  return Confirmed(e) ? Result{Outcome::kAlready, ""} : Result{Outcome::kNotCommitted, ""};
}

// Runs one revert inside the person's transaction.
Result Write(pvc::Session& s, Op op, const json& values, const char* taken_why) {
  std::vector<pvc::Bind> in;
  std::string why;
  if (!journal::BindsOf(op, values, in, why)) return {Outcome::kError, "journal value: " + why};
  const int rc = s.Write(op, in);
  if (rc == pvc::kOk) return {Outcome::kReverted, ""};
  if (rc == pvc::kUniqueViolated) return Skip(taken_why);
  if (rc == pvc::kNoData) return Skip("gone");
  return Error(s, rc);
}

// The booking at `key` with function `fkt`: kOk with `row`, kNoData, or a failure's code.
int ReadBooking(pvc::Session& s, const json& key, const json& fkt, json& row) {
  pvc::Row r;
  const int rc = s.SelectOne(Op::BchReadRow, journal::KeyBinds(key, fkt), r);
  if (rc == pvc::kOk) row = journal::RowOf(r);
  return rc;
}

Result RevertInsert(pvc::Session& s, const Entry& e) {
  // The columns an insert left out are NULL.
  json row = journal::EmptyRow();
  row.update(e.line.at(keys::kRow));
  json now;
  const int rc = ReadBooking(s, row, row.at("BchFkt"), now);
  if (rc == pvc::kNoData) return AsBefore(e);
  if (rc != pvc::kOk) return Error(s, rc);
  if (now != row) return Skip("changed since", true);
  json key = row;
  key["BchVon"] = journal::TextOf(row["BchVon"]).substr(0, 8);
  key["BchUhr"] = journal::TextOf(row["BchUhr"]).substr(8);
  return Write(s, Op::BchDelFkt, key, "key taken");
}

Result RevertFunction(pvc::Session& s, const Entry& e) {
  const json &key = e.line.at(keys::kKey), &before = e.line.at(keys::kBefore),
             &after = e.line.at(keys::kAfter);
  if (!before.is_object()) return Skip("no before-image in the journal");
  json now;
  int rc = ReadBooking(s, key, after.at("BchFkt"), now);
  if (rc == pvc::kNoData) {
    if (!Confirmed(e)) return {Outcome::kNotCommitted, ""};
    // Gone with its new function: back at its old one, as before the run, it was taken back.
    rc = ReadBooking(s, key, before.at("BchFkt"), now);
    if (rc == pvc::kOk && now["BchErf"] == before.at("BchErf") &&
        journal::TextOf(now["BchDat"]) == journal::TextOf(before.at("BchDat")))
      return {Outcome::kAlready, ""};
    return rc == pvc::kOk || rc == pvc::kNoData ? Skip("gone") : Error(s, rc);
  }
  if (rc != pvc::kOk) return Error(s, rc);
  // The stamp of a change that was sent but not confirmed is not known: its row is told by
  // its function and BchErf.
  const std::string dat = !e.bch_dat.empty() ? e.bch_dat : journal::TextOf(after.at("BchDat"));
  if (now["BchErf"] != after.at("BchErf") ||
      ((Confirmed(e) || !dat.empty()) && journal::TextOf(now["BchDat"]) != dat))
    return Skip("changed since");
  json values = key;
  values["BchFktNeu"] = before.at("BchFkt");
  values["BchDat"] = before.at("BchDat");
  values["BchErf"] = before.at("BchErf");
  values["BchFkt"] = after.at("BchFkt");
  return Write(s, Op::BchSetFkt, values, "key taken");
}

Result RevertDelete(pvc::Session& s, const Entry& e) {
  const json& row = e.line.at(keys::kRow);
  if (!row.is_object()) return Skip("no before-image in the journal");
  json now;
  const int rc = ReadBooking(s, row, row.at("BchFkt"), now);
  if (rc == pvc::kOk) return now == row ? AsBefore(e) : Skip("key taken");
  if (rc != pvc::kNoData) return Error(s, rc);
  return Write(s, Op::BchInsertRow, row, "key taken");
}

Result RevertDay(pvc::Session& s, const Entry& e) {
  const json &key = e.line.at(keys::kKey), &before = e.line.at(keys::kBefore),
             &after = e.line.at(keys::kAfter);
  if (!before.is_object()) return Skip("no before-image in the journal");
  pvc::Row r;
  const int rc = s.SelectOne(Op::TagReadPairs, journal::Binds(Op::TagReadPairs, key), r);
  if (rc == pvc::kNoData) return Skip("gone");
  if (rc != pvc::kOk) return Error(s, rc);
  const json now = journal::PairsOf(r);
  if (now != after) return now == before ? AsBefore(e) : Skip("changed since", true);
  json values = before;
  values["TagPnr"] = key.at("TagPnr");
  values["TagTag"] = key.at("TagTag");
  return Write(s, Op::TagRestore, values, "key taken");
}

Result Revert(pvc::Session& s, const Entry& e) {
  if (!e.change)
    return {Outcome::kError, "unknown change '" + journal::TextOf(e.line.at(keys::kChange)) + "'"};
  switch (*e.change) {
    case Change::kInsert: return RevertInsert(s, e);
    case Change::kFunction: return RevertFunction(s, e);
    case Change::kDelete: return RevertDelete(s, e);
    case Change::kDay: return RevertDay(s, e);
  }
  return {Outcome::kError, "unknown change"};
}

// ---- describing a change -----------------------------------------------------------------

std::string Dashed8(const std::string& d) {
  return d.size() >= 8 ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : d;
}
std::string Colons6(const std::string& t) {
  return t.size() >= 6 ? t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) : t;
}

// The person and the accounting day a change belongs to, as yyyymmdd.
// The row of an insert or delete, else the key of the change line `c`.
const json& RowOrKey(const json& c) {
  return c.contains(keys::kRow) && c[keys::kRow].is_object() ? c[keys::kRow] : c.at(keys::kKey);
}

std::pair<std::string, std::string> PersonAndDay(const json& c) {
  const json& k = RowOrKey(c);
  if (k.contains("TagPnr")) return {journal::TextOf(k["TagPnr"]), journal::TextOf(k["TagTag"])};
  return {journal::TextOf(k.at("BchPnr")), journal::TextOf(k.at("BchVon")).substr(0, 8)};
}

std::string Describe(const Entry& e) {
  const json& c = e.line;
  const auto [pnr, day] = PersonAndDay(c);
  std::string what = "#" + std::to_string(e.n) + " ";
  if (e.change == Change::kDay) return what + "day record " + pnr + " " + Dashed8(day);
  const json& k = RowOrKey(c);
  const std::string uhr = journal::TextOf(k.at("BchUhr"));
  std::string fkt = e.change == Change::kFunction ? journal::TextOf(c.at(keys::kAfter).at("BchFkt"))
                                                  : journal::TextOf(k.at("BchFkt"));
  what += "booking " + pnr + " " + Dashed8(day) + " " +
          Colons6(uhr.size() >= 14 ? uhr.substr(8) : uhr) + " function " + fkt;
  if (e.change == Change::kInsert) return what + " inserted";
  if (e.change == Change::kDelete) return what + " deleted";
  return what + " changed from function " +
         journal::TextOf(c.at(keys::kBefore).value("BchFkt", json()));
}

std::string DescribeSafely(const Entry& e) {
  try {
    return Describe(e);
  } catch (const json::exception&) {
    return "#" + std::to_string(e.n);
  }
}

// ---- one person's changes, in one transaction ----------------------------------------------

// The changes of one person in the journal, newest first.
struct Person {
  std::string pnr;
  std::vector<const Entry*> entries;
};

// The persons of `entries`, the one with the newest change first. A change line whose person
// cannot be read is a person of its own (its revert reports the line as unreadable).
std::vector<Person> ByPerson(const std::vector<Entry>& entries) {
  std::vector<Person> persons;
  std::map<std::string, size_t> at;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    std::string pnr;
    try {
      pnr = PersonAndDay(it->line).first;
    } catch (const json::exception&) {
      pnr = std::string(1, '\0') + std::to_string(it->n);
    }
    const auto [pos, fresh] = at.emplace(pnr, persons.size());
    if (fresh) persons.push_back({pnr, {}});
    persons[pos->second].entries.push_back(&*it);
  }
  return persons;
}

constexpr const char* kPersonSavepoint = "undo_person";

enum class Settled {
  kCommitted,  // the person's reverts were committed (or there were none to make)
  kKept,       // a skip held the person back: rolled back, as it stood
  kFailed,     // a revert or the commit failed: rolled back, as it stood
  kLost,       // the connection was lost: whether anything committed is not known
};

struct PersonRun {
  std::vector<std::pair<const Entry*, Result>> results;  // in the order tried
  Settled settled = Settled::kCommitted;
  std::string failure;  // the savepoint's, commit's or rollback's failure
};

// Takes back the changes of `p` in one transaction: a savepoint before its first revert, its
// reverts, then the commit; a revert that fails, or a skip that holds the person back, rolls
// back to the savepoint and ends the transaction with nothing in it. `journal` (none in a
// preview) gets the outcome of the transaction for its "ok" lines. Once the commit succeeded,
// `committed` lists the person's days in the parameter file, and only then does the journal
// confirm the writes: a rerun takes a person whose writes are confirmed as listed already, while
// one whose writes a kill left unconfirmed is looked at on the rows, and listed if committed.
PersonRun TakeBack(pvc::Session& s, const Person& p, JournalWriter* journal, bool preview,
                   const std::function<void(const PersonRun&)>& committed) {
  PersonRun run;
  const int sp = s.Savepoint(kPersonSavepoint);
  if (sp != pvc::kOk) {
    run.settled = sp == pvc::kLostConnection ? Settled::kLost : Settled::kFailed;
    run.failure = "its transaction could not begin: " + Error(s, sp).why;
    return run;
  }
  if (journal != nullptr) journal->BeginTransaction();
  bool keep = false;
  for (const Entry* e : p.entries) {
    Result r;
    try {
      r = Revert(s, *e);
    } catch (const json::exception& x) {
      r = {Outcome::kError, std::string("journal line unreadable: ") + x.what()};
    }
    run.results.push_back({e, r});
    if (r.outcome == Outcome::kError) {
      run.settled = Settled::kFailed;
      break;
    }
    if (r.outcome == Outcome::kSkipped && r.holds_back) {
      keep = true;
      run.settled = Settled::kKept;
      break;
    }
  }
  const auto end = [&](JournalWriter::TxnEnd how) {
    if (journal != nullptr) journal->EndTransaction(how);
    if (preview) s.ReleaseSavepoint(kPersonSavepoint);
  };
  if (!keep && run.settled == Settled::kCommitted) {
    const int rc = s.Commit();
    if (rc == pvc::kOk) {
      committed(run);
      end(JournalWriter::TxnEnd::kCommitted);
      return run;
    }
    run.failure = "the commit failed: " + Error(s, rc).why;
    if (rc == pvc::kLostConnection) {
      run.settled = Settled::kLost;
      end(JournalWriter::TxnEnd::kUnknown);
      return run;
    }
    run.settled = Settled::kFailed;
  }
  // A commit that failed may have ended the transaction already (no savepoint left to roll back
  // to): nothing of it is pending then.
  const int rb = s.RollbackTo(kPersonSavepoint);
  if (rb != pvc::kOk && rb != pvc::kNoSavepoint) {
    run.settled = Settled::kLost;
    run.failure +=
        std::string(run.failure.empty() ? "" : "; ") + "the rollback failed: " + Error(s, rb).why;
    end(JournalWriter::TxnEnd::kUnknown);
    return run;
  }
  end(JournalWriter::TxnEnd::kRolledBack);
  // Ends the transaction, which holds nothing now, so that no lock is kept between persons.
  s.Commit();
  return run;
}

// What an undo did, counted by kind.
struct Counts {
  int reverted = 0, already = 0, skipped = 0, kept = 0, not_committed = 0, errors = 0;
};

// Lists what became of each change of `p` once its transaction ended, and counts it.
void Report(const Person& p, const PersonRun& run, const char* verb, Counts& n) {
  const Entry* culprit = nullptr;  // the failure or the skip that held the person back
  for (const auto& [e, r] : run.results)
    if (r.outcome == Outcome::kError || (r.outcome == Outcome::kSkipped && r.holds_back))
      culprit = e;
  const std::string with =
      culprit != nullptr ? "#" + std::to_string(culprit->n) : std::string("its person");
  for (const Entry* e : p.entries) {
    const std::string what = DescribeSafely(*e);
    const auto it = std::find_if(run.results.begin(), run.results.end(),
                                 [e](const auto& r) { return r.first == e; });
    const bool tried = it != run.results.end();
    const Outcome outcome = tried ? it->second.outcome : Outcome::kNotCommitted;
    if (tried && outcome == Outcome::kError) {
      ++n.errors;
      std::printf("%-13s %s: %s%s\n", "failed", what.c_str(), it->second.why.c_str(),
                  p.entries.size() > 1 ? "; the person's other changes are kept with it" : "");
    } else if (tried && outcome == Outcome::kSkipped) {
      ++n.skipped;
      std::printf("%-13s %s: %s%s\n", "skipped", what.c_str(), it->second.why.c_str(),
                  e == culprit && p.entries.size() > 1
                      ? "; the person's other changes are kept with it"
                      : "");
    } else if (run.settled == Settled::kLost) {
      std::printf("%-13s %s: whether it was taken back is not known\n", "unknown", what.c_str());
    } else if (run.settled != Settled::kCommitted) {
      ++n.kept;
      std::printf("%-13s %s: kept as it stands with %s\n", "kept", what.c_str(), with.c_str());
    } else if (outcome == Outcome::kReverted) {
      ++n.reverted;
      std::printf("%-13s %s\n", verb, what.c_str());
    } else if (outcome == Outcome::kAlready) {
      ++n.already;
      std::printf("%-13s %s: as before the run\n", "already", what.c_str());
    } else {
      ++n.not_committed;
      std::printf("%-13s %s: sent but never committed, nothing to take back\n", "settled",
                  what.c_str());
    }
  }
  if (!run.failure.empty()) {
    ++n.errors;
    std::printf("%-13s person %s: %s\n", "failed", p.pnr.c_str(), run.failure.c_str());
  }
}

// The parameter lines of the accounting days of `entries` (each once), in the night's layout.
std::vector<std::string> ParamLines(const std::vector<const Entry*>& entries, int consolidation,
                                    const std::string& schema) {
  std::vector<std::pair<std::string, std::string>> days;
  for (const Entry* e : entries) {
    const auto pd = PersonAndDay(e->line);
    if (std::find(days.begin(), days.end(), pd) == days.end()) days.push_back(pd);
  }
  std::vector<std::string> lines;
  for (const auto& [pnr, day] : days) {
    TagSatz tag{};
    std::snprintf(tag.TagPnr, sizeof tag.TagPnr, "%s", pnr.c_str());
    std::snprintf(tag.TagTag, sizeof tag.TagTag, "%s", day.c_str());
    lines.push_back(Tgb_ParamLine(consolidation, schema.c_str(), tag));
  }
  return lines;
}

// ---- what earlier undos of the journal did -----------------------------------------------

// An undo that was killed or failed is run again on the same journal. The persons it committed
// are taken back already and listed in its parameter file: their "ok" lines say so, written once
// the person's line was. A person whose writes it had sent when it was killed may have committed
// too (a kill during the commit, or before the person was listed and confirmed): whether they did
// is told by trying to take those writes back, in a transaction that is rolled back at once. Undos
// that were undone in turn count for nothing: what they took back is there again.
struct EarlierUndos {
  std::map<std::string, std::string> done;  // person: the undo's journal that committed it
  // person: the undo's journal and the writes it had sent, newest first
  std::map<std::string, std::pair<std::string, std::vector<const Entry*>>> sent;
};

EarlierUndos EarlierUndosOf(const std::vector<journal::Found>& day, const std::string& path) {
  EarlierUndos earlier;
  for (const journal::Found& u : day) {
    if (!journal::Undoes(u, path) ||
        std::any_of(day.begin(), day.end(),
                    [&](const journal::Found& f) { return journal::Undoes(f, u.path); }))
      continue;
    for (auto e = u.journal.entries.rbegin(); e != u.journal.entries.rend(); ++e) {
      std::string pnr;
      try {
        pnr = PersonAndDay(e->line).first;
      } catch (const json::exception&) {
        continue;  // a line without its person: its revert reports it
      }
      if (e->state == Entry::State::kConfirmed) earlier.done[pnr] = u.path;
      if (e->state != Entry::State::kSent) continue;
      auto& [journal, entries] = earlier.sent[pnr];
      journal = u.path;
      entries.push_back(&*e);
    }
  }
  return earlier;
}

// Whether the writes an earlier undo had sent (`sent`, newest first) committed: taken back in a
// transaction rolled back at once, on the session below the undo's journal (`s`).
bool SentWritesCommitted(pvc::Session& s, const std::vector<const Entry*>& sent, bool preview) {
  if (s.Savepoint(kPersonSavepoint) != pvc::kOk) return false;
  bool committed = false;
  for (const Entry* e : sent) {
    try {
      if (Revert(s, *e).outcome == Outcome::kReverted) committed = true;
    } catch (const json::exception&) {
      // an unreadable line tells nothing
    }
  }
  s.RollbackTo(kPersonSavepoint);
  // The preview's one transaction stays open; an undo's ends here, with nothing in it.
  if (preview)
    s.ReleaseSavepoint(kPersonSavepoint);
  else
    s.Commit();
  return committed;
}

// Lists the changes of `p` as taken back by the earlier undo whose journal is `by`.
void ReportDone(const Person& p, const std::string& by, Counts& n) {
  for (const Entry* e : p.entries) {
    ++n.already;
    std::printf("%-13s %s: taken back by %s\n", "already", DescribeSafely(*e).c_str(), by.c_str());
  }
}

// ---- the parameter file ------------------------------------------------------------------

// The undo's parameter file, opened once for appending: every person's accounting days go in as
// soon as the person's transaction committed, so that a killed undo and every later undo keep
// the lines of the days already changed back. Never truncated.
struct ParamsFile {
  std::FILE* file = nullptr;
  bool needs_newline = false;  // its last line has no line end (edited by hand, say)
};

bool OpenParams(const std::string& path, ParamsFile& p) {
  p.file = Run_OpenJobFile(path.c_str(), true);
  if (p.file == nullptr) return false;
  struct stat st {};
  char last = '\n';
  if (::fstat(::fileno(p.file), &st) == 0 && st.st_size > 0 &&
      ::pread(::fileno(p.file), &last, 1, st.st_size - 1) == 1)
    p.needs_newline = last != '\n';
  return true;
}

// Appends `text` and syncs it to disk.
bool AppendParams(ParamsFile& p, const std::string& text) {
  const std::string whole = (p.needs_newline ? "\n" : "") + text;
  if (std::fwrite(whole.data(), 1, whole.size(), p.file) != whole.size() ||
      std::fflush(p.file) != 0 || ::fdatasync(::fileno(p.file)) != 0)
    return false;
  p.needs_newline = false;
  return true;
}

// ---- the command -------------------------------------------------------------------------

struct UndoOptions {
  std::string journal, settings, params;
  bool preview = false;
  int wait_s = kNightLockWaitSeconds;
};

// Refuses to take back a journal while a later journal of its database and day stands.
int RefuseOutOfOrder(const std::string& path, const std::vector<const journal::Found*>& later) {
  std::string list;
  for (const journal::Found* f : later) {
    const JournalHeader& h = *f->journal.header;
    list += "\n  " + f->path + " (" + (h.kind == journal::kUndo ? "an undo" : "a night") +
            " started " + h.start + ")";
    if (!f->unreadable.empty()) list += ": it cannot be read whole (" + f->unreadable + ")";
  }
  return Ctl_Fail("undo: " + path +
                  " is older than journals of the same database and accounting day that still "
                  "stand; take them back first, newest first:" +
                  list + "\nnothing was done");
}

int Undo(const UndoOptions& o) {
  journal::Journal j;
  std::string why;
  if (!journal::Read(o.journal, j, why)) return Ctl_Fail("undo: " + why);
  // A run killed before its first change left no more than an empty journal, or a cut header.
  if (!j.header) {
    std::printf(
        "%s holds no change: its run was ended before it changed anything; nothing to "
        "take back\n",
        o.journal.c_str());
    return 0;
  }
  // A write that failed changed nothing.
  std::erase_if(j.entries, [](const Entry& e) { return e.state == Entry::State::kFailed; });
  const JournalHeader& h = *j.header;
  const std::string &workdir = h.workdir, &schema = h.schema;
  CtlTarget t;
  t.settings = !o.settings.empty() ? o.settings : h.settings;
  if (t.settings.empty()) return Ctl_Fail("undo: the journal names no settings file: --settings");
  if (const int rc = Ctl_ResolveTarget("undo", t, CtlOperands::kNetAndSchema)) return rc;
  // The journal's changes are taken back only on the database they were made on: the one of
  // its identity, asked of the database once connected; a journal written before identities
  // were recorded is matched by its NET8 text and schema. That text was masked by the rules of
  // the parvekctl that wrote it: both sides are compared masked by today's, which mask at
  // least as much, so a NET8 whose secrets are masked more thoroughly now still matches.
  const std::string journal_net = Net8_Mask(h.net8);
  if (t.schema != schema || (h.identity.empty() && Net8_Mask(t.net) != journal_net))
    return Ctl_Fail("undo: " + t.settings + " names another database (NET8 " + Net8_Mask(t.net) +
                    ", schema " + t.schema + ") than the journal's (NET8 " + journal_net +
                    ", schema " + schema + "); nothing was done");

  // One run at a time in the night's working directory: the undo is one of them. The journals
  // of the day are looked at below, while this is held.
  const int lock = Night_Lock(workdir, o.preview ? 0 : o.wait_s);
  if (lock == -1)
    return Ctl_Fail("undo: a night, preview or undo is running in " + workdir +
                    "; nothing was done");
  // And one at a time on the database, from wherever a night, preview or undo starts: a night
  // still running (or killed just now, its last write still on the server) is waited for, a
  // preview is ended. --preview waits for nothing.
  NightGuard guard;
  if (NightGuard_Take(guard, t.login, t.pass, t.net, t.schema, GuardKind::kUndo,
                      o.preview ? 0 : o.wait_s) == kGuardBusy)
    return Ctl_Fail("undo: " + guard.holder + " holds " + guard.how + "; nothing was done");
  std::unique_ptr<pvc::Session> inner;
  if (const int rc = Ctl_OpenSchema(t, inner, why))
    return Ctl_Fail("undo: RC:" + std::to_string(rc) + " " + why);
  if (!h.identity.empty()) {
    const DatabaseIdentity here = Ctl_DatabaseIdentity(*inner, t.schema);
    if (here.key != h.identity)
      return Ctl_Fail("undo: " + t.settings + " names another database (" +
                      (here.Known() ? here.shown : "one that cannot tell which it is") +
                      ") than the journal's: its changes are taken back only where they were "
                      "made; nothing was done");
  }

  // Newest first across the journals of the day, too.
  const std::vector<journal::Found> day = journal::JournalsOfTheDay(o.journal, h);
  const std::vector<const journal::Found*> later = journal::StandingAfter(o.journal, h, day);
  if (!later.empty()) return RefuseOutOfOrder(o.journal, later);
  const EarlierUndos earlier = EarlierUndosOf(day, o.journal);

  // Beside the night's parameter file; in the current directory when that one is gone.
  std::error_code ec;
  const bool workdir_there = !workdir.empty() && fs::is_directory(workdir, ec);
  const std::string params =
      !o.params.empty() ? o.params
                        : (fs::path(workdir_there ? workdir : ".") / "parvektgb.undo").string();
  ParamsFile params_file;
  if (!o.preview && !OpenParams(params, params_file))
    return Ctl_Fail("undo: the parameter file " + params + " cannot be written; nothing was done");
  struct CloseParams {
    ParamsFile& p;
    ~CloseParams() {
      if (p.file != nullptr) std::fclose(p.file);
    }
  } close_params{params_file};

  JournalWriter undo_journal;
  std::unique_ptr<pvc::Session> s;
  pvc::Session* below = inner.get();
  if (o.preview) {
    s = pvc::WithoutCommits(std::move(inner));
  } else {
    // The night's database, variant, settings, working directory and journal folder, and the
    // journal undone.
    JournalHeader header = h;
    header.kind = journal::kUndo;
    header.undoes = fs::absolute(o.journal).string();
    const std::string dir = fs::absolute(o.journal).parent_path().string();
    if (!undo_journal.Create(dir, h.day, header, why))
      return Ctl_Fail("undo: " + why + "; nothing was done");
    undo_journal.Start(*below);
    s = pvc::Recording(std::move(inner), undo_journal);
  }

  // A write sent just before its run was killed may still have been on its way to its commit on
  // a database server: the guard, once it held the database's lock, waited for the killed run's
  // sessions to end, so its row now says whether it committed.

  Counts n;
  size_t listed = 0;
  std::vector<std::string> lines;  // the preview's parameter lines
  const int consolidation = h.variant == "KRVNT" ? 1 : 0;
  for (const Person& p : ByPerson(j.entries)) {
    // The days changed back go to the downstream as soon as they are committed.
    std::string text;  // the person's parameter lines
    bool params_failed = false;
    const auto list = [&](const std::vector<const Entry*>& changed_back) {
      const std::vector<std::string> mine = ParamLines(changed_back, consolidation, t.schema);
      for (const std::string& l : mine) text += l;
      if (o.preview) {
        lines.insert(lines.end(), mine.begin(), mine.end());
      } else if (!text.empty()) {
        params_failed = !AppendParams(params_file, text);
        if (!params_failed) listed += mine.size();
      }
    };
    PersonRun run;
    const auto done = earlier.done.find(p.pnr);
    const auto sent = earlier.sent.find(p.pnr);
    if (done != earlier.done.end()) {
      // Listed already: that undo confirmed the person in its journal only once it listed it.
      ReportDone(p, done->second, n);
    } else if (sent != earlier.sent.end() &&
               SentWritesCommitted(*below, sent->second.second, o.preview)) {
      // Committed, and perhaps not listed yet: that undo was killed before it could say.
      ReportDone(p, sent->second.first, n);
      list(p.entries);
    } else {
      run =
          TakeBack(*s, p, o.preview ? nullptr : &undo_journal, o.preview, [&](const PersonRun& r) {
            std::vector<const Entry*> changed_back;
            for (const auto& [e, result] : r.results)
              if (result.outcome == Outcome::kReverted) changed_back.push_back(e);
            list(changed_back);
          });
      Report(p, run, o.preview ? "would revert" : "reverted", n);
    }
    if (run.settled == Settled::kLost) {
      std::printf(
          "the connection to the database was lost: whether the changes of person %s were "
          "committed is not known (a rerun of the undo finds out); the undo stops here\n",
          p.pnr.c_str());
      break;
    }
    if (params_failed) {
      ++n.errors;
      std::printf(
          "the parameter file %s could not be written: the accounting days just changed back "
          "are not listed there; add them by hand:\n%sthe undo stops here\n",
          params.c_str(), text.c_str());
      break;
    }
    if (!o.preview && undo_journal.failed()) {
      ++n.errors;
      std::printf("the undo's journal %s could not be written; the undo stops here\n",
                  undo_journal.path().c_str());
      break;
    }
  }

  if (o.preview) {
    if (pvc::ToolsOf(*s).RollbackAll() != pvc::kOk) ++n.errors;
    std::printf("\nPreview: nothing of it was kept. Parameter lines it would write to %s: %zu\n",
                params.c_str(), lines.size());
    for (const auto& l : lines) std::fputs(l.c_str(), stdout);
  } else {
    undo_journal.Finish(n.errors == 0, n.errors == 0 ? 0 : 2);
  }
  std::printf(
      "\n%d %s, %d taken back already, %d skipped, %d kept with their person, %d settled "
      "as never committed, %d failed",
      n.reverted, o.preview ? "to revert" : "reverted", n.already, n.skipped, n.kept,
      n.not_committed, n.errors);
  if (!o.preview) std::printf("; parameter file %s (%zu lines added)", params.c_str(), listed);
  std::printf("\n");
  if (!o.preview) std::printf("journal of this undo: %s\n", undo_journal.path().c_str());
  if (!j.end)
    std::printf(
        "The journal's run ended midway (it has no closing line): its changes were taken "
        "back as far as the journal goes.\n");
  if (lock >= 0) ::close(lock);
  if (n.errors > 0) return 2;
  return n.skipped + n.kept > 0 ? 1 : 0;
}

const CtlCommand kUndo(
    "undo", "Take back the changes a night's journal records (parvekctl night --journal)",
    [](CtlArgs& args) {
      auto o = std::make_shared<UndoOptions>();
      args.Text("JOURNAL", o->journal, "The journal file of the night (or of an undo)", true)
          .Text("--settings", o->settings,
                "The job's settings file (default: the one the journal names); it must name the "
                "journal's database")
          .Flag("--preview", o->preview, "Show what the undo would do and keep nothing")
          .Text("--params", o->params,
                "Parameter file the accounting days changed back are appended to (default: "
                "parvektgb.undo in the night's working directory)")
          .Number("--wait", o->wait_s, 0, 24 * 3600,
                  "Seconds to wait for a night or preview running in the night's working "
                  "directory before refusing")
          .Footer(
              "Changes are taken back newest first, each only where its row is still as the run "
              "left it; a person's changes are committed together, or none of them. The rest is "
              "listed as skipped or kept. Journals of one database and accounting day are taken "
              "back newest first: an older one is refused while a later one stands. The undo "
              "writes its own journal beside JOURNAL, so an undo can be undone. Exit code: 0 "
              "everything reverted, 1 something skipped or kept, 2 an error. See the guide "
              "operating.md.");
      return [o] { return Undo(*o); };
    });

}  // namespace
