// The night's report: reading a night from its journal and judging it (tools/report.h).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <future>
#include <limits>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "run/Night.h"
#include "run/ground/CivilDate.h"
#include "run/ground/RunControl.h"
#include "tools/explain.h"
#include "tools/report.h"

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

std::string Text(const json& o, const char* k) {
  return o.is_object() && o.contains(k) && o[k].is_string() ? o[k].get<std::string>() : "";
}

// The decisions' outcomes that are errors of the night (the run log has a "Fehler" entry).
bool IsError(const std::string& o) {
  return o == "failed" || o == "read-failed" || o == "read-failed-blocks" ||
         o == "follow-up-read-failed" || o == "write-failed" || o == "connection-lost";
}

// Why a follow-up was refused (Explain_Outcome's "why"), in words.
std::string Why(const std::string& why) {
  if (why == "ranks-higher-blocks") return "a booking of higher priority";
  if (why == "tie-rule-blocks") return "a booking of equal priority (tie rule)";
  if (why == "read-failed-blocks") return "a booking whose type could not be read";
  if (why == "read-failed") return "the day's bookings could not be read";
  if (why == "no-target-time") return "no target time on the day";
  return why;
}

// "KRF/480, -, -": the six fields as the day record holds them.
std::string DayRecord(const json& r) {
  std::string out;
  for (const auto& [code, value] : {std::pair{"TagTgb", "TagTgs"}, {"TagHtv", "TagHvs"},
                                    {"TagHtn", "TagHns"}}) {
    const std::string c = Text(r, code);
    const json& v = r.contains(value) ? r[value] : json();
    out += (out.empty() ? "" : ", ") +
           (c.empty() ? std::string("-") : c + "/" + (v.is_null() ? "-" : v.dump()));
  }
  return out;
}

// "yyyymmddTHHMMSS" as local time; 0 when it is no such text.
std::time_t LocalTime(const std::string& start) {
  std::tm t{};
  if (start.size() != 15 ||
      std::sscanf(start.c_str(), "%4d%2d%2dT%2d%2d%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
    return 0;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

// The decision lines of persons, as read, and what they come to.
struct Batch {
  std::vector<std::pair<std::string, std::vector<std::string>>> persons;  // pnr, its lines
};
struct BatchResult {
  std::vector<ReportPerson> touched;
  std::vector<std::vector<std::string>> explanations;  // of each touched person
  int persons = 0, target_refusals = 0, errors = 0, broken = 0;
  std::string first_error;
  std::map<std::string, int> cancelled_by_type, refused_by_reason;
};

// One person's decisions in the night's terms; false when the night did not touch the person.
bool Person(const std::string& pnr, const std::vector<ExplainStep>& steps, BatchResult& r,
            ReportPerson& p) {
  p.pnr = pnr;
  const ordered_json out = Explain_Outcome(steps);
  for (const ExplainStep& s : steps) {
    const std::string& o = s["outcome"].get_ref<const std::string&>();
    if (s["step"] == "day") ++r.persons;
    if (s["kind"] == "target-check") ++r.target_refusals;
    if (!IsError(o)) continue;
    ++p.errors;
    if (r.first_error.empty())
      r.first_error = "person " + pnr + ": " + s["step"].get<std::string>() + " " +
                      s["kind"].get<std::string>() + " " + o + " (RC " +
                      s["inputs"].value("rc", json(0)).dump() + ")";
  }
  for (const auto& b : out["booked"]) p.booked.push_back(b["BchFcd"]);
  for (const auto& c : out["cancelled"]) {
    const std::string code = c["BchFcd"], at = c["BchUhr"];
    p.cancelled_codes.push_back(code);
    p.cancelled.push_back(code + " at " + (at.size() == 6 ? at.substr(0, 2) + ":" + at.substr(2, 2) : at));
    ++r.cancelled_by_type[code];
  }
  for (const auto& x : out["refused"]) {
    const std::string code = x["FcdNum"], why = Why(x["why"]);
    p.refused_codes.push_back(code);
    p.refused.push_back(code + ": " + why);
    ++r.refused_by_reason[why];
  }
  if (!out["day_record"].is_null()) p.day_record = DayRecord(out["day_record"]);
  p.listed = !out["parameter_line"].is_null();
  r.errors += p.errors;
  return !p.booked.empty() || !p.cancelled.empty() || !p.refused.empty() ||
         !p.day_record.empty() || p.listed || p.errors > 0;
}

// The text of field `key` ("s", "k", "o") in a decision line as Explain_JournalLine writes it,
// from `at` on; false where it holds an escape or is not where it is written.
bool Field(const std::string& l, size_t& at, const char* key, std::string_view& value) {
  const std::string open = std::string(",\"") + key + "\":\"";
  if (l.compare(at, open.size(), open) != 0) return false;
  const size_t from = at + open.size(), end = l.find('"', from);
  if (end == std::string::npos) return false;
  value = std::string_view(l).substr(from, end - from);
  if (value.find('\\') != std::string_view::npos) return false;
  at = end + 1;
  return true;
}

// Whether a person's decision lines leave the person untouched beyond doubt, read without
// parsing them (most persons of a night find nothing to carry on): no ranking, no booking, no
// parameter line or day record written, nothing failed (Explain_Outcome; IsError). A line not
// written as Explain_JournalLine writes it is parsed. `days` counts the day records' decisions.
bool Untouched(const std::vector<std::string>& lines, int& days) {
  int day = 0;
  for (const std::string& l : lines) {
    // A line cut short (a killed night's last) is parsed, to be counted as unreadable.
    if (l.size() < 2 || l.compare(l.size() - 2, 2, "}}") != 0) return false;
    size_t at = l.find('"', 6);  // the end of the person number: {"p":"PNR"
    std::string_view step, kind, outcome;
    if (at == std::string::npos || std::string_view(l).substr(6, at - 6).find('\\') != std::string_view::npos)
      return false;
    ++at;
    if (!Field(l, at, "s", step) || !Field(l, at, "k", kind) || !Field(l, at, "o", outcome))
      return false;
    if (step == "ranking" || step == "booking" || step == "night" || outcome == "written" ||
        outcome.find("failed") != std::string_view::npos || outcome == "connection-lost")
      return false;
    day += step == "day";
  }
  days += day;
  return true;
}

// Works a batch of persons: parses their decisions, sums them up and explains those touched.
BatchResult Work(const Batch& batch, const std::string& day, const std::string& source) {
  BatchResult r;
  std::vector<ExplainStep> steps;
  for (const auto& [pnr, lines] : batch.persons) {
    if (Untouched(lines, r.persons)) continue;
    steps.clear();
    for (const std::string& text : lines) {
      std::string who;
      ExplainStep step;
      if (Explain_FromJournal(text, who, step)) steps.push_back(std::move(step));
      else ++r.broken;
    }
    ReportPerson p;
    if (!Person(pnr, steps, r, p)) continue;
    r.explanations.push_back(Explain_Text({pnr, day, source, false}, steps));
    r.touched.push_back(std::move(p));
  }
  return r;
}

// The person a decision line is about, read without parsing the line where its number holds no
// escape (as numbers do); false for a text that is no decision line.
bool PnrOf(const std::string& text, std::string& pnr) {
  static const std::string kOpen = "{\"p\":\"";
  if (text.compare(0, kOpen.size(), kOpen) != 0) return false;
  const size_t end = text.find('"', kOpen.size());
  if (end == std::string::npos) return false;
  if (std::string_view(text).substr(kOpen.size(), end - kOpen.size()).find('\\') ==
      std::string_view::npos) {
    pnr.assign(text, kOpen.size(), end - kOpen.size());
    return true;
  }
  const json l = json::parse(text, nullptr, false);
  if (l.is_discarded() || !l.contains("p") || !l["p"].is_string()) return false;
  pnr = l["p"].get<std::string>();
  return true;
}

// Reads a night's decisions person by person, and works them in batches on every core while
// the journal is read on; the results are taken in the journal's order.
class NightReader {
 public:
  NightReader(ReportNight& n, const journal::Journal& j) : n_(n), j_(j) {}

  bool Hear(std::string& text) {
    std::string pnr;
    if (!PnrOf(text, pnr)) return false;
    if (batch_.persons.empty() || batch_.persons.back().first != pnr) {
      if (batch_.persons.size() >= kBatch) Launch();
      batch_.persons.push_back({pnr, {}});
    }
    batch_.persons.back().second.push_back(std::move(text));
    return true;
  }

  // Every person heard is worked and taken.
  void Finish() {
    Launch();
    while (!pending_.empty()) Take();
  }

  // A journal written before the reasons were recorded: the persons from its writes.
  void FromWrites() {
    std::unordered_map<std::string, size_t> at;
    for (const journal::Entry& e : j_.entries) {
      if (e.state == journal::Entry::State::kFailed) continue;
      const json& l = e.line;
      std::string pnr = Text(l.value("row", json()), "BchPnr");
      for (const char* k : {"BchPnr", "TagPnr"})
        if (pnr.empty()) pnr = Text(l.value("key", json()), k);
      if (pnr.empty()) continue;
      if (!at.count(pnr)) {
        at[pnr] = n_.touched.size();
        n_.touched.push_back({});
        n_.touched.back().pnr = pnr;
        n_.touched.back().explanation.push_back(Intern(
            pnr + " on " + j_.header->day + ": the journal was written before the night "
                                            "recorded its reasons; only the writes are shown."));
      }
      ReportPerson& p = n_.touched[at[pnr]];
      const ordered_json w = ordered_json::parse(l.dump());
      p.explanation.push_back(Intern("  " + Explain_WriteText(w)));
      if (e.change == journal::Change::kInsert) p.booked.push_back(Text(l["row"], "BchFcd"));
      if (e.change == journal::Change::kFunction && l["after"].value("BchFkt", json()) == 45) {
        p.cancelled.push_back("(code not recorded) at " + Text(l["key"], "BchUhr"));
        p.cancelled_codes.push_back("");
        ++n_.cancelled_by_type["(code not recorded)"];
      }
      if (e.change == journal::Change::kDay) p.day_record = DayRecord(l["after"]);
    }
  }

  int persons() const { return persons_; }
  int broken() const { return broken_; }

 private:
  static constexpr size_t kBatch = 1000;

  void Launch() {
    if (batch_.persons.empty()) return;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    while (pending_.size() >= cores) Take();
    const std::string source =
        "after the night, from its journal " + std::filesystem::path(n_.point.file).filename().string();
    pending_.push_back(std::async(std::launch::async, Work, std::move(batch_), j_.header->day, source));
    batch_ = Batch{};
  }

  void Take() {
    BatchResult r = pending_.front().get();
    pending_.pop_front();
    persons_ += r.persons;
    broken_ += r.broken;
    n_.target_refusals += r.target_refusals;
    n_.errors += r.errors;
    if (n_.first_error.empty()) n_.first_error = r.first_error;
    for (const auto& [k, v] : r.cancelled_by_type) n_.cancelled_by_type[k] += v;
    for (const auto& [k, v] : r.refused_by_reason) n_.refused_by_reason[k] += v;
    for (size_t i = 0; i < r.touched.size(); ++i) {
      for (const std::string& line : r.explanations[i])
        r.touched[i].explanation.push_back(Intern(line));
      n_.touched.push_back(std::move(r.touched[i]));
    }
  }

  uint32_t Intern(const std::string& line) {
    const auto [it, added] = index_.try_emplace(line, static_cast<uint32_t>(n_.lines.size()));
    if (added) n_.lines.push_back(line);
    return it->second;
  }

  ReportNight& n_;
  const journal::Journal& j_;
  Batch batch_;
  std::deque<std::future<BatchResult>> pending_;
  std::unordered_map<std::string, uint32_t> index_;
  int persons_ = 0, broken_ = 0;
};

// The chart's figures of a journal read.
void FillPoint(const std::string& path, const journal::Journal& j, ReportPoint& p) {
  p.file = path;
  p.header = *j.header;
  p.finished = j.end.has_value();
  for (const journal::Entry& e : j.entries)
    if (e.change == journal::Change::kInsert && e.state == journal::Entry::State::kConfirmed)
      ++p.booked[Text(e.line["row"], "BchFcd")];
  const double started = p.header.started_us != 0 ? static_cast<double>(p.header.started_us) / 1e6
                                                  : static_cast<double>(LocalTime(p.header.start));
  struct stat st {};
  if (j.end && j.end->ended_us != 0) {
    p.seconds = static_cast<double>(j.end->ended_us) / 1e6 - started;
  } else if (j.end && started > 0 && ::stat(path.c_str(), &st) == 0) {
    // Written before the end was recorded: the file was last changed (and synced) at the end.
    p.seconds = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9 - started;
    p.end_from_file = true;
  }
}

bool ReadNightHeader(const std::string& path, const journal::Journal& j, std::string& why) {
  if (!j.header) {
    why = path + " holds no header line";
    return false;
  }
  if (j.header->kind != journal::kNight) {
    why = path + " is an undo's journal; the report reads a night's";
    return false;
  }
  return true;
}

// A night that ended with a refusal (Night_Run's codes), in words.
std::string Refusal(int rc) {
  switch (rc) {
    case kNightNoPreview: return "the database backend cannot run it";
    case kNightDayNotPast: return "its day was not before the database's date";
    case kNightBusy: return "another night, preview or undo held the working directory or the database";
    case kNightRefused: return "the run log already held a run of its day";
    case kNightDone: return "the database records a finished night of its day";
    default: return "it ended with code " + std::to_string(rc);
  }
}

}  // namespace

bool Report_ReadNight(const std::string& path, ReportNight& n, std::string& why) {
  journal::Journal j;
  n.point.file = path;
  NightReader reader(n, j);
  if (!journal::Read(path, j, why, [&reader](std::string& t) { return reader.Hear(t); }))
    return false;
  if (!ReadNightHeader(path, j, why)) return false;
  reader.Finish();
  FillPoint(path, j, n.point);
  n.end = j.end;
  n.reasons_recorded = j.reason_lines > 0;
  if (reader.broken() > 0)
    n.notes.push_back(std::to_string(reader.broken()) +
                      " decision lines of the journal could not be read (a night killed while "
                      "writing one cuts its last line short).");
  if (n.reasons_recorded) {
    n.persons_on_day = reader.persons();
  } else {
    reader.FromWrites();
    if (j.end) n.errors = j.end->failed;
  }
  for (const auto& [code, count] : n.point.booked) n.followups += count;
  for (const auto& [code, count] : n.cancelled_by_type) n.cancellations += count;
  for (const auto& [reason, count] : n.refused_by_reason) n.refusals += count;
  return true;
}

bool Report_ReadPoint(const std::string& path, ReportPoint& p, std::string& why) {
  journal::Journal j;
  if (!journal::Read(path, j, why, [](std::string&) { return true; })) return false;
  if (!ReadNightHeader(path, j, why)) return false;
  FillPoint(path, j, p);
  return true;
}

void Report_Judge(ReportNight& n, const std::string& log) {
  const JournalHeader& h = n.point.header;
  CtlRun run;
  run.started = LocalTime(h.start);
  run.stamp = Run_LocalTime(run.started, "%Y-%m-%d %H:%M:%S");
  run.followups = n.followups;
  run.refused = n.target_refusals;
  run.errors = n.errors;
  run.first_error = n.first_error;
  // A night's day is the day before its start, by the database's clock; another is a catch-up.
  int64_t started_day = 0;
  if (ParseCivilDate(run.stamp.substr(0, 10), started_day) &&
      Dashed(h.day) != CivilText(started_day - 1))
    run.catch_up_day = h.day;
  CheckFacts facts;
  facts.run = &run;
  if (!n.end) {
    facts.running_now = Check_NightRunning({h.workdir});
    if (!facts.running_now) facts.recorded_state = "running";
  } else if (n.end->rc < 0) {
    run.connect_rc = n.end->rc;
  } else if (n.end->rc > 0) {
    facts.event = {run.started, "refused", Refusal(n.end->rc)};
  } else if (!n.end->normal) {
    ++run.errors;
    if (run.first_error.empty())
      run.first_error = "the journal could not be written whole; the writes after its last line "
                        "were not made";
  }
  std::vector<CtlRun> runs;
  if (!log.empty()) {
    std::string why;
    if (std::FILE* in = Ctl_OpenRunLog(log, why)) {
      Ctl_EachRun(in, [&runs](const CtlRun& r) { runs.push_back(r); });
      std::fclose(in);
    }
    // The night's run: stamped once it held its locks, after the journal was begun, and before
    // its end.
    const double ended = n.end && n.end->ended_us != 0 ? static_cast<double>(n.end->ended_us) / 1e6
                                                       : std::numeric_limits<double>::max();
    const CtlRun* found = nullptr;
    for (const CtlRun& r : runs)
      if (found == nullptr && r.started + 1 >= run.started && static_cast<double>(r.started) <= ended)
        found = &r;
    if (found != nullptr) {
      facts.run = found;
      if (facts.recorded_state.empty()) facts.recorded_state = Ctl_RecordedState(log, found->stamp);
      n.notes.push_back("Judged by its run in the run log " + log + " (started " + found->stamp + ").");
    } else {
      n.notes.push_back("The run log " + log + " holds no run of this night; judged by the journal.");
    }
    if (facts.event.kind.empty()) facts.event = Check_LastEvent(log);
  }
  n.verdict = Check_Judge(facts);
}
