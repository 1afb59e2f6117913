// parvekctl undo JOURNAL [--settings FILE] [--preview] [--params FILE] [--wait SECONDS]: takes
// back the changes a journal (parvekctl night --journal) records, newest first, each only where
// its row is still exactly as the run left it; everything else is listed as skipped.
//
// Each revert commits on its own and goes into a journal of the undo (beside JOURNAL), so that an
// undo can be undone. The accounting days it changed go into a parameter file in the night's
// layout, for the downstream evaluation. --preview runs the same reverts in one transaction that
// is rolled back, and keeps nothing.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/recording.h"
#include "db/records.h"
#include "run/Night.h"
#include "scan/Tgb_Param.h"
#include "tools/ctl.h"
#include "tools/journal.h"
#include "tools/journal_format.h"
#include "tools/journal_values.h"
#include "run/ground/DatabaseAddress.h"

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

enum class Outcome { kReverted, kSkipped, kNotCommitted, kError };

struct Result {
  Outcome outcome;
  std::string why;  // skipped: changed since, gone, key taken; error: the code
};

Result Skip(const std::string& why) { return {Outcome::kSkipped, why}; }
Result Error(pvc::Session& s, int rc) {
  return {Outcome::kError, "RC:" + std::to_string(rc) + " " + s.LastError().message};
}

// Runs one revert as its own durable write.
Result Write(pvc::Session& s, Op op, const json& values, const char* taken_why) {
  std::vector<pvc::Bind> in;
  std::string why;
  if (!journal::BindsOf(op, values, in, why)) return {Outcome::kError, "journal value: " + why};
  const int rc = s.WriteDurably(op, in, pvc::Op_Info(op).savepoint);
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
  if (rc == pvc::kNoData) return Confirmed(e) ? Skip("gone") : Result{Outcome::kNotCommitted, ""};
  if (rc != pvc::kOk) return Error(s, rc);
  if (now != row) return Skip("changed since");
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
  const int rc = ReadBooking(s, key, after.at("BchFkt"), now);
  if (rc == pvc::kNoData) return Confirmed(e) ? Skip("gone") : Result{Outcome::kNotCommitted, ""};
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
  if (rc == pvc::kOk)
    return !Confirmed(e) && now == row ? Result{Outcome::kNotCommitted, ""} : Skip("key taken");
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
  if (now != after)
    return !Confirmed(e) && now == before ? Result{Outcome::kNotCommitted, ""}
                                          : Skip("changed since");
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

// ---- the command -------------------------------------------------------------------------

// How long the last write of a killed run is given to reach its commit before it is settled.
constexpr unsigned kSettleSeconds = 2;

struct UndoOptions {
  std::string journal, settings, params;
  bool preview = false;
  int wait_s = kNightLockWaitSeconds;
};

int WriteParams(const std::string& path, const std::vector<std::string>& lines) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    for (const auto& l : lines) out << l;
    out.flush();
    if (!out) return 1;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0 ? 0 : 1;
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

  // One run at a time in the night's working directory: the undo is one of them.
  const int lock = Night_Lock(workdir, o.preview ? 0 : o.wait_s);
  if (lock == -1)
    return Ctl_Fail("undo: a night, preview or undo is running in " + workdir +
                    "; nothing was done");
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

  JournalWriter undo_journal;
  std::unique_ptr<pvc::Session> s;
  pvc::Session* below = inner.get();
  if (o.preview) {
    s = pvc::WithoutCommits(std::move(inner));
  } else {
    // The night's database, variant, settings and working directory, and the journal undone.
    JournalHeader header = h;
    header.kind = journal::kUndo;
    header.undoes = fs::absolute(o.journal).string();
    const std::string dir = fs::absolute(o.journal).parent_path().string();
    if (!undo_journal.Create(dir, h.day, header, why))
      return Ctl_Fail("undo: " + why + "; nothing was done");
    undo_journal.Start(*below);
    s = pvc::Recording(std::move(inner), undo_journal);
  }

  // A write sent just before its run was killed may still be on its way to its commit on a
  // database server, which finishes what the connection had sent: it is given a moment to settle
  // before its row is looked at.
  if (!j.end && !j.entries.empty() && !Confirmed(j.entries.back())) ::sleep(kSettleSeconds);

  int reverted = 0, skipped = 0, not_committed = 0, errors = 0;
  std::vector<std::pair<std::string, std::string>> days;  // person and day, in first-change order
  const char* verb = o.preview ? "would revert" : "reverted";
  for (auto it = j.entries.rbegin(); it != j.entries.rend(); ++it) {
    Result r;
    try {
      r = Revert(*s, *it);
    } catch (const json::exception& e) {
      r = {Outcome::kError, std::string("journal line unreadable: ") + e.what()};
    }
    std::string what;
    try {
      what = Describe(*it);
    } catch (const json::exception&) {
      what = "#?";
    }
    switch (r.outcome) {
      case Outcome::kReverted: {
        ++reverted;
        std::printf("%-13s %s\n", verb, what.c_str());
        const auto pd = PersonAndDay(it->line);
        if (std::find(days.begin(), days.end(), pd) == days.end()) days.push_back(pd);
        break;
      }
      case Outcome::kSkipped:
        ++skipped;
        std::printf("%-13s %s: %s\n", "skipped", what.c_str(), r.why.c_str());
        break;
      case Outcome::kNotCommitted:
        ++not_committed;
        std::printf("%-13s %s: sent but never committed, nothing to take back\n", "settled",
                    what.c_str());
        break;
      case Outcome::kError:
        ++errors;
        std::printf("%-13s %s: %s\n", "failed", what.c_str(), r.why.c_str());
        break;
    }
    if (!o.preview && undo_journal.failed()) {
      ++errors;
      std::printf("the undo's journal %s could not be written; the undo stops here\n",
                  undo_journal.path().c_str());
      break;
    }
  }

  // The accounting days changed, in the parameter file's layout, for the downstream.
  std::vector<std::string> lines;
  const int consolidation = h.variant == "KRVNT" ? 1 : 0;
  for (const auto& [pnr, day] : days) {
    TagSatz tag{};
    std::snprintf(tag.TagPnr, sizeof tag.TagPnr, "%s", pnr.c_str());
    std::snprintf(tag.TagTag, sizeof tag.TagTag, "%s", day.c_str());
    lines.push_back(Tgb_ParamLine(consolidation, t.schema.c_str(), tag));
  }
  // Beside the night's parameter file; in the current directory when that one is gone.
  std::error_code ec;
  const bool workdir_there = !workdir.empty() && fs::is_directory(workdir, ec);
  const std::string params =
      !o.params.empty() ? o.params
                        : (fs::path(workdir_there ? workdir : ".") / "parvektgb.undo").string();
  if (o.preview) {
    if (pvc::ToolsOf(*s).RollbackAll() != pvc::kOk) ++errors;
    std::printf("\nPreview: nothing of it was kept. Parameter lines it would write to %s: %zu\n",
                params.c_str(), lines.size());
    for (const auto& l : lines) std::fputs(l.c_str(), stdout);
  } else {
    undo_journal.Finish(errors == 0, errors == 0 ? 0 : 2);
    if (WriteParams(params, lines) != 0) {
      ++errors;
      std::printf("the parameter file %s could not be written\n", params.c_str());
    }
  }
  std::printf("\n%d %s, %d skipped, %d settled as never committed, %d failed", reverted,
              o.preview ? "to revert" : "reverted", skipped, not_committed, errors);
  if (!o.preview) std::printf("; parameter file %s (%zu lines)", params.c_str(), lines.size());
  std::printf("\n");
  if (!o.preview) std::printf("journal of this undo: %s\n", undo_journal.path().c_str());
  if (!j.end)
    std::printf(
        "The journal's run ended midway (it has no closing line): its changes were taken "
        "back as far as the journal goes.\n");
  if (lock >= 0) ::close(lock);
  if (errors > 0) return 2;
  return skipped > 0 ? 1 : 0;
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
                "Parameter file of the accounting days changed back (default: parvektgb.undo in "
                "the night's working directory)")
          .Number("--wait", o->wait_s, 0, 24 * 3600,
                  "Seconds to wait for a night or preview running in the night's working "
                  "directory before refusing")
          .Footer(
              "Changes are taken back newest first, each only where its row is still as the run "
              "left it, each committed on its own; the rest is listed as skipped. The undo "
              "writes its own journal beside JOURNAL, so an undo can be undone. Exit code: 0 "
              "everything reverted, 1 something skipped, 2 an error. See the guide "
              "operating.md.");
      return [o] { return Undo(*o); };
    });

}  // namespace
