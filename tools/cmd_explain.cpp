// parvekctl explain SETTINGS_FILE PNR [--day YYYY-MM-DD] [--variant V] [--json]
// parvekctl explain [SETTINGS_FILE] --journal FILE PNR [--json]
//
// One person's night, every decision in plain words (tools/explain.h).
//
// Before the night: the night's own code runs for that person's accounting day (the database's
// yesterday, or --day) as a preview (tools/preview_run.h): one transaction, rolled back, the run
// log and the parameter file in a private directory that is removed; the rules report each
// decision as they make it. What the night's statements decide by their filters (a day record
// that is no placeholder, one without its evaluation row, a person the database does not know,
// a retired message type) is asked with explain's own statements.
//
// After the night: the decisions the night recorded in its journal beside its writes; a journal
// of a version before them shows the person's writes and says that the reasons were not
// recorded. With SETTINGS_FILE the journal must be that database's.
//
// Exit codes: 0 explained; 1 the night does not work on that person's day (no such person, no
// day record, no placeholder), or the journal holds nothing of the person; 2 wrong input, a
// refusal (a night holds the database) or a failure; 3 a night of the database ended it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "client/codes.h"
#include "client/tool_queries.h"
#include "run/Night.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/Decision.h"
#include "tools/ctl.h"
#include "tools/explain.h"
#include "tools/journal_format.h"
#include "tools/preview_run.h"

namespace {

using nlohmann::ordered_json;

struct ExplainOptions {
  std::string settings, pnr, day, variant, journal;
  bool json = false;
};

// Exit code of an answer that the night does not work on the person's day.
constexpr int kNotWorkedOn = 1;

int NotWorkedOn(const std::string& text) {
  std::fprintf(stderr, "parvekctl: explain: %s\n", text.c_str());
  return kNotWorkedOn;
}

std::string Cell(const pvc::Row& r, std::size_t i) {
  if (i >= r.size() || r[i].null) return "";
  return r[i].is_int ? std::to_string(r[i].num) : r[i].text;
}
std::string DatePart(const std::string& v) { return v.substr(0, 10); }
std::string TimePart(const std::string& v) { return v.size() >= 19 ? v.substr(11, 8) : v; }

// A person number as the night's records hold it: 1 to 8 characters, none of them a control
// character or a comma (which no parameter line could carry).
bool PnrOk(const std::string& pnr) {
  if (pnr.empty() || pnr.size() > 8) return false;
  for (unsigned char c : pnr)
    if (c < 0x20 || c == 0x7F || c == ',') return false;
  return true;
}

// Why the night would not work on the person's day, asked with explain's own statements: empty
// when it does. `rc` receives a failed read's code.
std::string WhyNotWorkedOn(pvc::Session& s, const std::string& pnr, const AccountingDay& day,
                           int& rc) {
  const std::string q = pvc::Tool_Quoted(pnr);
  std::vector<pvc::Row> rows;
  rc = pvc::ToolsOf(s).Query(pvc::Tool_Sql(pvc::ToolOp::ExplainPerson, {q}), rows);
  if (rc != pvc::kOk) return "reading the person's day records failed: " + s.LastError().message;
  if (rows.empty() || Cell(rows[0], 0) == "0")
    return "the database holds no day record of a person " + pnr + " (no such person number)";
  rc = pvc::ToolsOf(s).Query(
      pvc::Tool_Sql(pvc::ToolOp::ExplainDays, {q, pvc::Tool_Quoted(day.Dashed() + " 00:00:00"),
                                               pvc::Tool_Quoted((day + 1).Dashed() + " 00:00:00")}),
      rows);
  if (rc != pvc::kOk) return "reading the person's day record failed: " + s.LastError().message;
  if (rows.empty())
    return pnr + " has no day record for " + day.Dashed() + ": the night has nothing to work on";
  const pvc::Row& r = rows[0];
  const std::string von = Cell(r, 2), uhr = Cell(r, 3), bis = Cell(r, 4), end = Cell(r, 5);
  if (DatePart(von) != DatePart(bis) || TimePart(uhr) != "12:00:00" || TimePart(end) != "12:00:00")
    return pnr + "'s day record for " + day.Dashed() + " runs from " + DatePart(von) + " " +
           TimePart(uhr) + " to " + DatePart(bis) + " " + TimePart(end) +
           ": it is no placeholder (12:00:00 to 12:00:00 on one date), so the night leaves it alone";
  if (r[6].null)
    return pnr + "'s day record for " + day.Dashed() +
           " is a placeholder without its day-evaluation row (TgbZtr 1): the night never sees it";
  return "";
}

// A retired type and an unknown one are one "no row" to the night's statement: explain asks.
void TellRetiredTypes(pvc::Session& s, std::vector<ExplainStep>& steps) {
  for (ExplainStep& st : steps) {
    if (st["outcome"] != "type-unknown-or-retired") continue;
    std::vector<pvc::Row> rows;
    const std::string code = st["inputs"].value("BchFcd", "");
    if (pvc::ToolsOf(s).Query(
            pvc::Tool_Sql(pvc::ToolOp::ExplainType, {pvc::Tool_Quoted(code)}), rows) == pvc::kOk &&
        !rows.empty() && !rows[0].empty() && !rows[0][0].null) {
      const pvc::Cell& sta = rows[0][0];
      char* end = nullptr;
      const long long n = sta.is_int ? sta.num : std::strtoll(sta.text.c_str(), &end, 10);
      if (sta.is_int || (end != nullptr && end != sta.text.c_str() && *end == '\0'))
        st["inputs"]["FcdSta"] = n;
    }
  }
}

void Hear(void* steps, const char* pnr, const Decision& d) {
  std::string who;
  ExplainStep step;
  if (Explain_FromJournal(Explain_JournalLine(pnr, d), who, step))
    static_cast<std::vector<ExplainStep>*>(steps)->push_back(std::move(step));
}

int Print(const ExplainOptions& o, const ExplainFrame& f, const std::vector<ExplainStep>& steps,
          ordered_json extra) {
  if (o.json) {
    ordered_json j = {{"person", f.pnr}, {"day", f.day}, {"source", f.source}};
    for (auto& [k, v] : extra.items()) j[k] = v;
    j["steps"] = steps;
    j["outcome"] = Explain_Outcome(steps);
    // A text that is no UTF-8 (a code stored in another encoding) is shown with U+FFFD.
    std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  for (const std::string& line : Explain_Text(f, steps)) std::printf("%s\n", line.c_str());
  return 0;
}

int BeforeNight(const ExplainOptions& o) {
  std::optional<AccountingDay> asked;
  if (!o.day.empty() && !(asked = AccountingDay::FromDashed(o.day)))
    return Ctl_Fail("explain: --day " + o.day + " is no date YYYY-MM-DD");
  if (const std::string problem =
          Ctl_SettingsProblem(o.settings, {"LOGIN", "PASS", "NET8", "SCHEMA"});
      !problem.empty())
    return Ctl_Fail("explain: " + problem);
  CtlTarget t;
  t.settings = o.settings;
  if (const int rc = Ctl_ResolveTarget("explain", t, CtlOperands::kNetAndSchema)) return rc;
  std::unique_ptr<pvc::Session> s;
  std::string why;
  if (const int rc = Ctl_OpenSchema(t, s, why))
    return Ctl_Fail("explain: RC:" + std::to_string(rc) + " " + why);
  const std::optional<AccountingDay> yesterday = Ctl_DatabaseYesterday(*s);
  if (!yesterday) return Ctl_Fail("explain: the database's date cannot be read");
  if (asked && *yesterday < *asked)
    return Ctl_Fail("explain: --day " + o.day + " is not before the database's date " +
                    (*yesterday + 1).Dashed() + "; a night works on a day that has ended");
  const AccountingDay day = asked ? *asked : *yesterday;
  int rc = 0;
  const std::string not_worked = WhyNotWorkedOn(*s, o.pnr, day, rc);
  if (rc != pvc::kOk) return Ctl_Fail("explain: RC:" + std::to_string(rc) + " " + not_worked);
  s->Commit();  // ends the read; nothing is held while the night runs
  if (!not_worked.empty()) return NotWorkedOn(not_worked);

  NightContext night = Night_Context(o.settings, o.variant, "");
  night.catch_up = day;
  night.only_pnr = o.pnr;
  // Debug output would go to standard output, among the explanation.
  ::unsetenv("PARVEK_DBG");
  std::vector<ExplainStep> steps;
  Decision_Listen(&Hear, &steps);
  PreviewResult r;
  const int exit = Preview_Run(night, "explain", kPreviewMaxSeconds, r);
  Decision_Listen(nullptr, nullptr);
  if (exit != 0) return exit;
  if (r.rc == kNightNoPreview)
    return Ctl_Fail(
        "explain: this route cannot run a night's preview (its cursors cannot see the night's "
        "own uncommitted writes); explain a night after it ran from its journal: --journal");
  if (r.rc == kNightBusy)
    return Ctl_Fail("explain: a night, preview or undo holds this database; nothing was done (" +
                    r.refusal + ")");
  if (r.rc != 0) return Ctl_Fail("explain: the preview did not run (code " + std::to_string(r.rc) + ")");
  if (steps.empty())
    return NotWorkedOn("the night's cursor did not deliver " + o.pnr + "'s day " + day.Dashed() +
                       " (it may have changed since it was looked at)");
  TellRetiredTypes(*s, steps);
  ExplainFrame f{o.pnr, day.Compact(), "before the night (its preview; nothing of it was kept)", true};
  return Print(o, f, steps,
               {{"database", night.address.Printable()}, {"schema", night.settings.SchemaName()}});
}

// The journal's writes of the person, as the journal holds them.
std::vector<ordered_json> WritesOf(const journal::Journal& j, const std::string& pnr) {
  std::vector<ordered_json> out;
  for (const journal::Entry& e : j.entries) {
    if (e.state == journal::Entry::State::kFailed) continue;
    const nlohmann::json& l = e.line;
    const nlohmann::json* who = nullptr;
    for (const char* part : {"row", "key"})
      if (l.contains(part) && l[part].is_object())
        for (const char* k : {"BchPnr", "TagPnr"})
          if (l[part].contains(k)) who = &l[part][k];
    if (who != nullptr && who->is_string() && who->get<std::string>() == pnr)
      out.push_back(ordered_json::parse(l.dump()));
  }
  return out;
}

int FromJournal(const ExplainOptions& o) {
  journal::Journal j;
  std::string why;
  if (!journal::Read(o.journal, j, why)) return Ctl_Fail("explain: " + why);
  if (!j.header) return Ctl_Fail("explain: " + o.journal + " holds no header line");
  const JournalHeader& h = *j.header;
  if (h.kind != journal::kNight)
    return Ctl_Fail("explain: " + o.journal + " is an undo's journal; explain reads a night's");
  if (!o.settings.empty()) {
    CtlTarget t;
    t.settings = o.settings;
    if (const int rc = Ctl_ResolveTarget("explain", t, CtlOperands::kNetAndSchema)) return rc;
    std::unique_ptr<pvc::Session> s;
    if (const int rc = Ctl_OpenSchema(t, s, why))
      return Ctl_Fail("explain: RC:" + std::to_string(rc) + " " + why);
    const DatabaseIdentity here = Ctl_DatabaseIdentity(*s, t.schema);
    if (h.identity.empty() ? t.schema != h.schema : here.key != h.identity)
      return Ctl_Fail("explain: " + o.journal + " is the journal of another database than " +
                      o.settings + "'s");
  }
  std::vector<ExplainStep> steps;
  for (const std::string& text : j.reasons) {
    std::string pnr;
    ExplainStep step;
    if (Explain_FromJournal(text, pnr, step) && pnr == o.pnr) steps.push_back(std::move(step));
  }
  const std::vector<ordered_json> writes = WritesOf(j, o.pnr);
  const bool recorded = !j.reasons.empty();
  if (steps.empty() && writes.empty())
    return NotWorkedOn(recorded ? "the night of " + o.journal + " did not work on " + o.pnr +
                                      " (no placeholder of its day, or the night ended before it)"
                                : o.journal + " records no write of " + o.pnr +
                                      ", and was written before journals recorded the reasons");
  ExplainFrame f{o.pnr, h.day, "after the night, from its journal " + o.journal, false};
  if (recorded && !steps.empty())
    return Print(o, f, steps, {{"database", h.net8}, {"schema", h.schema}, {"writes", writes}});
  if (o.json) {
    ordered_json out = {{"person", o.pnr}, {"day", h.day}, {"source", f.source},
                        {"database", h.net8}, {"schema", h.schema},
                        {"reasons_recorded", false}, {"writes", writes}};
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  std::printf("%s on %s, %s:\n", o.pnr.c_str(), h.day.c_str(), f.source.c_str());
  std::printf("  The journal was written before the night recorded its reasons: only the "
              "writes are shown.\n");
  for (const ordered_json& w : writes) std::printf("    %s\n", Explain_WriteText(w).c_str());
  return 0;
}

int Explain(ExplainOptions o) {
  // With --journal the settings file may be left out: the one operand is then the person.
  if (!o.journal.empty() && o.pnr.empty()) std::swap(o.settings, o.pnr);
  if (o.pnr.empty()) return Ctl_Fail("explain: PNR is required (the person number)");
  if (!PnrOk(o.pnr))
    return Ctl_Fail("explain: '" + o.pnr +
                    "' is no person number (1 to 8 characters, no comma or control character)");
  if (o.journal.empty()) {
    if (o.settings.empty()) return Ctl_Fail("explain: SETTINGS_FILE is required (or --journal)");
    return BeforeNight(o);
  }
  if (!o.day.empty()) return Ctl_Fail("explain: --day is the journal's own with --journal");
  return FromJournal(o);
}

const CtlCommand kExplain(
    "explain", "Explain one person's night, every decision in plain words", [](CtlArgs& args) {
      auto o = std::make_shared<ExplainOptions>();
      args.Text("SETTINGS_FILE", o->settings,
                "The job's settings file (may be left out with --journal)")
          .Text("PNR", o->pnr, "The person number")
          .Text("--day", o->day,
                "The accounting day YYYY-MM-DD (default: the database's yesterday, as the night)")
          .Text("--variant", o->variant,
                "The night's variant (KRVNT: parameter lines with the schema's name in front)")
          .Text("--journal", o->journal,
                "Explain a past night from its journal (parvekctl night --journal) instead")
          .Flag("--json", o->json, "One JSON object with the list of steps, for scripts");
      return [o] { return Explain(*o); };
    });

}  // namespace
