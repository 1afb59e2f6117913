// parvekctl night SETTINGS_FILE VARIANT SWITCH [--day YYYY-MM-DD [--force]] [--preview
// [--max-seconds N]] [--journal DIR [--journal-days N]] [--wait SECONDS]: the job's own night
// (Night_Run: its program entry, scan and rules) with its options, and the bounds of its lock.
//
// --day: a catch-up of a missed night; the scan works on that accounting day instead of the
// database's yesterday (everything else, the clock of the cancellations included, stays). The
// day must lie before the database's date.
//
// --preview: the night runs against the real database and nothing of it is kept. The whole
// night stays in one transaction (its commits do nothing) that is rolled back at the end; its
// cursors see the night's earlier writes as they would after a real commit, which the backend
// must offer. The run log and the parameter file are written into a private directory and
// printed instead of kept; the tables come from a recording of the night's statements.
//
// --journal: a journal of every change the night makes, for parvekctl undo (tools/journal.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/codes.h"
#include "client/recording.h"
#include "db/parveksql.h"
#include "run/Night.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/CivilDate.h"
#include "run/ground/RunControl.h"
#include "run/ground/RunLog.h"
#include "tools/ctl.h"
#include "tools/ctl_runlog.h"
#include "tools/explain.h"
#include "tools/journal.h"
#include "tools/preview_run.h"
#include "run/ground/DatabaseAddress.h"

namespace {

namespace fs = std::filesystem;
using pvc::Bind;
using pvc::Op;

// ---- what the preview records ------------------------------------------------------------

struct Booking {
  std::string pnr, day, time;  // day 'yyyymmdd', time 'HHMMSS'
  int64_t fkt = 0;
  std::string fcd;
  std::string change;  // for cancellations and deletions
};

struct DayChange {
  std::string pnr, day;
  std::string before, after;  // the three pairs, each "code/value" ('-' for NULL)
};

std::string Text(const Bind* b) { return b != nullptr ? b->text : std::string(); }
int64_t Num(const Bind* b) { return b != nullptr ? b->num : 0; }
std::string Text(const pvc::Cell* c) {
  if (c == nullptr || c->null) return "";
  return c->is_int ? std::to_string(c->num) : c->text;
}

// The three code/value pairs of a day record, each "code/value" ('-' for an empty code or NULL).
template <typename Value>
std::string Pairs(const Value& value) {
  std::string out;
  for (const char* pair : {"TagTgb TagTgs", "TagHtv TagHvs", "TagHtn TagHns"}) {
    const std::string names = pair;
    const std::string code = value(names.substr(0, 6)), num = value(names.substr(7));
    out +=
        (out.empty() ? "" : "  ") + (code.empty() ? "-" : code) + "/" + (num.empty() ? "-" : num);
  }
  return out;
}

// What the night does, from the statements it runs: the accounting-day records before any
// change, the bookings inserted, cancelled and deleted, the day records updated.
class PreviewRecorder final : public pvc::Recorder {
 public:
  std::vector<Booking> inserted, removed;
  std::vector<DayChange> days;  // in the order of their first update

  // The code of a booking about to be cancelled or deleted, read before the night changes it.
  int BeforeWrite(pvc::Session& s, Op op, const std::vector<Bind>& in) override {
    if (op != Op::BchUpdFkt && op != Op::BchDelFkt) return pvc::kOk;
    const std::vector<Bind> key = {Bind::Txt(Text(pvc::InNamed(op, in, "BchPnr"))),
                                   Bind::Dat(Text(pvc::InNamed(op, in, "BchVon"))),
                                   Bind::Txt(Text(pvc::InNamed(op, in, "BchUhr"))),
                                   Bind::Int(Num(pvc::InNamed(op, in, "BchFkt")))};
    pvc::Row row;
    next_code_ = s.SelectOne(Op::BchReadFcd, key, row) == pvc::kOk
                     ? Text(pvc::OutNamed(Op::BchReadFcd, row, "BchFcd"))
                     : "?";
    return pvc::kOk;
  }

  void Saw(const pvc::Seen& seen) override {
    const Op op = seen.op;
    const auto in = [&](const char* name) { return pvc::InNamed(op, seen.in, name); };
    if ((op == Op::TagYday || op == Op::TagYdayAt) && seen.row != nullptr) {
      const auto out = [&](const std::string& name) {
        return Text(pvc::OutNamed(op, *seen.row, name));
      };
      day_before_.emplace(out("TagPnr") + "|" + out("TagTag"), Pairs(out));
      return;
    }
    if (seen.rc != pvc::kOk) return;
    switch (op) {
      case Op::BchInsert: {
        const std::string point = Text(in("BchUhr"));
        inserted.push_back({Text(in("BchPnr")), Text(in("BchVon")),
                            point.size() >= 14 ? point.substr(8, 6) : point, Num(in("BchFkt")),
                            Text(in("BchFcd")), ""});
        break;
      }
      case Op::BchUpdFkt: {
        const int64_t to = Num(in("BchFktNeu"));
        removed.push_back({Text(in("BchPnr")), Text(in("BchVon")), Text(in("BchUhr")),
                           Num(in("BchFkt")), next_code_,
                           to == 45 ? "cancelled (45)" : "function " + std::to_string(to)});
        break;
      }
      case Op::BchDelFkt:
        removed.push_back({Text(in("BchPnr")), Text(in("BchVon")), Text(in("BchUhr")),
                           Num(in("BchFkt")), next_code_, "deleted"});
        break;
      case Op::TagUpdate: {
        const std::string pnr = Text(in("TagPnr")), day = Text(in("TagTag"));
        const std::string after = Pairs([&](const std::string& name) {
          const Bind* b = in(name.c_str());
          return b == nullptr                 ? std::string()
                 : b->kind == Bind::Kind::Int ? std::to_string(b->num)
                                              : b->text;
        });
        for (auto& d : days) {
          if (d.pnr == pnr && d.day == day) {
            d.after = after;
            return;
          }
        }
        const auto it = day_before_.find(pnr + "|" + day);
        days.push_back({pnr, day, it == day_before_.end() ? "?" : it->second, after});
        break;
      }
      default: break;
    }
  }

 private:
  std::map<std::string, std::string> day_before_;  // pnr|day -> pairs as the scan read them
  std::string next_code_;                          // of the booking the next write changes
};

// ---- printing ----------------------------------------------------------------------------

std::string Colons(const std::string& t) {
  return t.size() == 6 ? t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) : t;
}

void PrintPreview(const PreviewRecorder& rec, const std::optional<AccountingDay>& day,
                  const std::vector<std::string>& params, const std::vector<std::string>& log) {
  std::printf("Preview of the night for %s: nothing of it was kept.\n",
              day ? day->Dashed().c_str() : "the database's yesterday");
  std::printf("\nBookings that would be inserted: %zu\n", rec.inserted.size());
  std::printf("%-8s  %-10s  %-8s  %-8s  %s\n", "Person", "Day", "Time", "Function", "Code");
  for (const auto& b : rec.inserted)
    std::printf("%-8s  %-10s  %-8s  %-8lld  %s\n", b.pnr.c_str(), Dashed(b.day).c_str(),
                Colons(b.time).c_str(), static_cast<long long>(b.fkt), b.fcd.c_str());
  std::printf("\nBookings that would be cancelled (function 45) or deleted: %zu\n",
              rec.removed.size());
  std::printf("%-8s  %-10s  %-8s  %-8s  %-4s  %s\n", "Person", "Day", "Time", "Function", "Code",
              "Change");
  for (const auto& b : rec.removed)
    std::printf("%-8s  %-10s  %-8s  %-8lld  %-4s  %s\n", b.pnr.c_str(), Dashed(b.day).c_str(),
                Colons(b.time).c_str(), static_cast<long long>(b.fkt), b.fcd.c_str(),
                b.change.c_str());
  std::vector<const DayChange*> changed;
  for (const auto& d : rec.days)
    if (d.before != d.after) changed.push_back(&d);
  std::printf(
      "\nDay records that would change (TagTgb/TagTgs  TagHtv/TagHvs  TagHtn/TagHns): %zu\n",
      changed.size());
  std::printf("%-8s  %-10s  %-6s  %s\n", "Person", "Day", "", "Pairs");
  for (const DayChange* d : changed) {
    std::printf("%-8s  %-10s  %-6s  %s\n", d->pnr.c_str(), Dashed(d->day).c_str(), "before",
                d->before.c_str());
    std::printf("%-8s  %-10s  %-6s  %s\n", "", "", "after", d->after.c_str());
  }
  std::printf("\nParameter lines (parvektgb): %zu\n", params.size());
  for (const auto& l : params) std::printf("%s\n", l.c_str());
  std::printf("\nRun-log entries (parvek.log): %zu\n", log.size());
  for (const auto& l : log) std::printf("%s\n", l.c_str());
}

// ---- the command -------------------------------------------------------------------------

struct NightOptions {
  std::string settings, variant, log_switch, day;
  bool day_given = false;
  bool preview = false;
  bool force = false;
  int wait_s = kNightLockWaitSeconds;
  int max_seconds = kPreviewMaxSeconds;
  int at_once = 0;        // --at-once K: one of K slots of this host; 0: none
  std::string slots = kNightSlotsDir;
  int slot_wait_s = kNightSlotWaitSeconds;
  std::string journal;    // --journal DIR; empty: none
  int journal_days = 90;  // journals older than this are removed; 0 keeps them all
};

// Why a night did not run, as the operator reads it; empty for a night that ran.
std::string Refusal(int rc, const NightOptions& o) {
  switch (rc) {
    case kNightDayNotPast:
      return "--day " + o.day +
             " is not before the database's date (or the database's date could not be read); a "
             "night works on a day that has ended";
    case kNightNoPreview:
      return "this database backend cannot preview a night: its cursors cannot see the "
             "night's own uncommitted writes, so the preview would show another night than the "
             "real one (see the guide on previews for the backends that can)";
    case kNightBusy:
      return "another night, preview or undo is running in this working directory or on this "
             "database (or a lock cannot be taken); nothing was done";
    case kNightNoSlot:
      return "all " + std::to_string(o.at_once) + " night slots of this host (" + o.slots +
             ") stayed taken for " + std::to_string(o.slot_wait_s) +
             " seconds, or none could be taken; nothing was done";
    case kNightNotUndone:
      return "the preview's changes could not be rolled back; nothing was committed, they end "
             "with the connection";
    default: return "";
  }
}

// The night in a private directory, recorded; its run log and parameter file are read and
// removed (tools/preview_run.h).
int Preview(NightContext& night, const NightOptions& o) {
  // A file that is no settings file would show its deciphered garbage in the connect's error.
  if (const std::string problem =
          Ctl_SettingsProblem(o.settings, {"LOGIN", "PASS", "NET8", "SCHEMA"});
      !problem.empty())
    return Ctl_Fail("night: " + problem);
  PreviewRecorder rec;
  night.decorators.push_back(
      [&rec](std::unique_ptr<pvc::Session> s) { return pvc::Recording(std::move(s), rec); });
  PreviewResult r;
  if (const int exit = Preview_Run(night, "night", o.max_seconds, r); exit != 0) return exit;
  if (r.rc != 0) return Ctl_Fail("night: " + Refusal(r.rc, o));
  PrintPreview(rec, night.catch_up, r.params, r.log);
  return 0;
}

// The night's journal: a recording of its session writes every change into DIR before the
// change is sent. A journal that cannot be written stops the night's writes.
bool OpenJournal(NightContext& night, const NightOptions& o, JournalWriter& journal,
                 std::string& why) {
  std::error_code ec;
  JournalHeader header;
  header.kind = journal::kNight;
  // The schema the night works on, as the job derives it from the SCHEMA value.
  header.schema = night.settings.SchemaName();
  header.net8 = Net8_Mask(night.settings.net8);
  header.variant = o.variant;
  header.settings = fs::absolute(o.settings, ec).string();
  header.workdir = fs::current_path(ec).string();
  if (!journal.Create(o.journal, night.catch_up ? night.catch_up->Compact() : "", header, why))
    return false;
  night.decorators.push_back([&journal](std::unique_ptr<pvc::Session> s) {
    journal.Attach(*s);
    return pvc::Recording(std::move(s), journal);
  });
  return true;
}

// Closes the journal of a night that ended with `rc`; a night refused before it began leaves
// none behind. Journals past their days are removed after a night that was not refused.
void CloseJournal(JournalWriter& journal, const NightOptions& o, int rc) {
  journal.Finish(rc == 0, rc);
  std::error_code ec;
  if (rc > 0 && journal.changes() == 0) fs::remove(journal.path(), ec);
  if (o.journal_days > 0 && rc <= 0) Journal_RemoveOld(o.journal, o.journal_days);
}

int Night(const NightOptions& o) {
  NightContext night = Night_Context(o.settings, o.variant, o.log_switch);
  night.lock_wait_s = o.wait_s;
  night.host_slots.dir = o.slots;
  night.host_slots.count = o.at_once;
  night.host_slots.wait_s = o.slot_wait_s;
  // A day the database records as done is run again only when asked for.
  night.done_day = o.force ? DoneDay::kRun : DoneDay::kRefuse;
  night.started_by = o.day_given ? "parvekctl night --day" : "parvekctl night";
  if (o.day_given) {
    night.catch_up = AccountingDay::FromDashed(o.day);
    if (!night.catch_up) return Ctl_Fail("night: --day " + o.day + " is no date YYYY-MM-DD");
  }
  // A day the run log shows as run already would be run again: its follow-ups cancelled and
  // booked anew, older cancelled bookings deleted. That takes a word of the operator, whether
  // the day is a catch-up's or the ordinary night's yesterday (a timer that fired twice). Asked
  // under the lock, once the database has said which day the night works on, so that a night
  // running now counts as run, and one killed (its end record still says running) does not:
  // running it again is its repair.
  std::string refusal;
  JournalWriter journal;
  const bool journalled = !o.preview && !o.journal.empty();
  if (journalled || (!o.preview && !o.force))
    night.admit = [&](const AccountingDay& day) {
      if (journalled) journal.DayKnown(day);
      if (o.force) return true;
      const std::string stamp = Ctl_RunLogRunForDay(kRunLogName, day.Number());
      if (stamp.empty()) return true;
      refusal = "night: the run log already holds a run for " +
                (o.day_given ? day.Dashed() : std::string("yesterday")) + " (started " + stamp +
                "); a second run is no no-op (follow-ups are cancelled and booked again): "
                "--preview shows what it would do, --force runs it";
      return false;
    };
  if (o.preview) return Preview(night, o);
  // The record of the run's end beside the run log tells log-check a finished night from a
  // killed one.
  night.end_record = kEndRecordName;
  std::string why;
  if (!o.journal.empty() && !OpenJournal(night, o, journal, why)) return Ctl_Fail("night: " + why);
  // The journal records each person's decisions beside the writes they led to (explain reads
  // them back).
  if (!o.journal.empty())
    Decision_Listen(
        [](void* j, const char* pnr, const Decision& d) {
          static_cast<JournalWriter*>(j)->Reason(pnr, d);
        },
        &journal);
  // As the job: a failed connect shows in the run log and on standard error, exit code 0.
  std::string why_not;
  const int rc = Night_Run(night, &why_not);
  Decision_Listen(nullptr, nullptr);
  if (!o.journal.empty()) CloseJournal(journal, o, rc);
  if (rc == kNightRefused) return Ctl_Fail(refusal);
  if (rc == kNightDone)
    return Ctl_Fail("night: " + why_not +
                    "; a second run is no no-op (follow-ups are cancelled and booked again): "
                    "--preview shows what it would do, --force runs it");
  if (rc > 0) return Ctl_Fail("night: " + Refusal(rc, o));
  if (!o.journal.empty() && journal.failed())
    return Ctl_Fail("night: the journal " + journal.path() +
                    " could not be written whole; the writes after its last line were not made");
  return 0;
}

const CtlCommand kNight(
    "night", "Run the job's night, or preview it (--preview), or catch up a missed day (--day)",
    [](CtlArgs& args) {
      auto o = std::make_shared<NightOptions>();
      args.Text("SETTINGS_FILE", o->settings, "The job's settings file", true)
          .Text("VARIANT", o->variant, "Output variant, as for the job (KRVNT or XXX)", true)
          .Text("SWITCH", o->log_switch, "Logging switch, as for the job (D or X)", true)
          .Text("--day", o->day,
                "Accounting day YYYY-MM-DD instead of the database's yesterday (a missed night); "
                "it must lie before the database's date")
          .NotEmpty("--day", o->day_given)
          .Flag("--preview", o->preview,
                "Print what the night would do and keep nothing (no bookings, no run log, no "
                "parameter file)")
          .Flag("--force", o->force,
                "Run the night, or --day, for a day that the run log shows as run already (a "
                "second run is no no-op)")
          .Number("--max-seconds", o->max_seconds, 1, kPreviewMaxSeconds,
                  "--preview: seconds after which the preview ends, rolled back (default and "
                  "most: 600; a night waits that long for a preview)")
          .Text("--journal", o->journal,
                "Directory that receives a journal of every change the night makes (one file "
                "per run), for parvekctl undo")
          .Number("--journal-days", o->journal_days, 0, 36500,
                  "--journal: journals older than this many days are removed (default 90; 0 "
                  "keeps them all)")
          .Excludes("--journal", "--preview")
          .Number("--wait", o->wait_s, 0, 24 * 3600,
                  "Seconds to wait for a night or preview running in the working directory "
                  "before refusing (default: a preview's longest run and a minute)")
          .Number("--at-once", o->at_once, 0, 64,
                  "At most K nights at a time on this host: the night waits for one of K slots "
                  "shared by every night started with --at-once (default 0: takes none)")
          .Text("--slots", o->slots, "--at-once: the directory of the slots (default /run/lock)")
          .Number("--slot-wait", o->slot_wait_s, 0, 24 * 3600,
                  "--at-once: seconds to wait for a slot before refusing (default 18000)")
          .Footer(
              "Without --preview this is the job itself: it writes parvek.log and parvektgb in the "
              "working directory and commits its changes, and records its start and end in "
              "parvek.log.end for log-check. A second run for the same day is no no-op: a day the "
              "run log shows as run (yesterday, or --day) is refused unless --force is given. One "
              "night at a "
              "time per working directory (see the guide operating.md).");
      return [o] { return Night(*o); };
    });

}  // namespace
