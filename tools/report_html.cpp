// The night's report as one self-contained HTML page (tools/report.h): the night at a glance,
// the persons touched with their explanations, the nights over time and where it came from.
// Styles and script are the page's own (tools/report_page.css, tools/report_page.js, built in).
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "run/ground/CivilDate.h"
#include "run/ground/RunControl.h"
#include "tools/report.h"

extern const char* const kReportCss;
extern const char* const kReportJs;

namespace {

std::string Num(long long n) { return std::to_string(n); }

std::string Seconds(double s) {
  char buf[64];
  if (s < 0) return "not recorded";
  if (s < 10) {
    std::snprintf(buf, sizeof buf, "%.2f s", s);
  } else if (s < 60) {
    std::snprintf(buf, sizeof buf, "%.1f s", s);
  } else {
    const long long whole = std::llround(s);
    std::snprintf(buf, sizeof buf, "%lld min %02lld s", whole / 60, whole % 60);
  }
  return buf;
}

std::string StartText(const JournalHeader& h) {
  const std::string& s = h.start;
  if (s.size() != 15) return s;
  return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + " " + s.substr(9, 2) +
         ":" + s.substr(11, 2) + ":" + s.substr(13, 2);
}

// A term and its value in the glance; `id` names it for scripts and tests, `n` its number.
void Fact(std::string& out, const char* id, const char* term, const std::string& value,
          long long n = -1) {
  out += "<div><dt>" + std::string(term) + "</dt><dd id=\"" + id + "\"";
  if (n >= 0) out += " data-n=\"" + Num(n) + "\"";
  out += ">" + Report_Escape(value) + "</dd></div>\n";
}

// A small table of counts: one row per name.
void Counts(std::string& out, const char* id, const char* caption, const char* what,
            const std::map<std::string, int>& counts, const char* none) {
  out += "<table class=\"counts\" id=\"" + std::string(id) + "\"><caption>" + caption +
         "</caption>\n<thead><tr><th scope=\"col\">" + what +
         "</th><th scope=\"col\" class=\"n\">Count</th></tr></thead>\n<tbody>";
  for (const auto& [name, n] : counts)
    out += "<tr><th scope=\"row\">" + Report_Escape(name.empty() ? "(no code)" : name) +
           "</th><td class=\"n\" data-n=\"" + Num(n) + "\">" + Num(n) + "</td></tr>";
  if (counts.empty()) out += "<tr><td colspan=\"2\">" + std::string(none) + "</td></tr>";
  out += "</tbody></table>\n";
}

const char* Headline(CheckStatus s) {
  switch (s) {
    case CheckStatus::kOk: return "The night ran to its end without errors.";
    case CheckStatus::kWarning: return "The night needs a look.";
    case CheckStatus::kCritical: return "The night did not run as it should.";
    default: return "How the night went cannot be told.";
  }
}

void Glance(std::string& out, const ReportNight& n) {
  const JournalHeader& h = n.point.header;
  out += "<section aria-labelledby=\"glance-h\">\n<h2 id=\"glance-h\">The night at a glance</h2>\n"
         "<dl class=\"glance\">\n";
  Fact(out, "g-day", "Accounting day", Dashed(h.day));
  Fact(out, "g-database", "Database", h.net8 + ", schema " + h.schema);
  Fact(out, "g-start", "Start", StartText(h));
  std::string end = "did not finish (no closing line in the journal)";
  if (n.end && n.end->ended_us != 0)
    end = Run_LocalTime(static_cast<std::time_t>(n.end->ended_us / 1000000), "%Y-%m-%d %H:%M:%S");
  else if (n.end)
    end = n.point.seconds >= 0 ? "about " + Seconds(n.point.seconds) + " after the start (the journal's last change)"
                               : "not recorded";
  Fact(out, "g-end", "End", end);
  Fact(out, "g-duration", "Duration", (n.point.end_from_file ? "about " : "") + Seconds(n.point.seconds));
  Fact(out, "g-outcome", "Outcome", Check_StatusName(n.verdict.status));
  Fact(out, "g-persons", "Persons on the day",
       n.persons_on_day >= 0 ? Num(n.persons_on_day) : "not recorded (a journal of an earlier version)",
       n.persons_on_day);
  Fact(out, "g-touched", "Persons touched", Num(static_cast<long long>(n.touched.size())),
       static_cast<long long>(n.touched.size()));
  Fact(out, "g-followups", "Follow-ups booked", Num(n.followups), n.followups);
  Fact(out, "g-cancellations", "Cancellations", Num(n.cancellations), n.cancellations);
  Fact(out, "g-refusals", "Refusals", Num(n.refusals), n.refusals);
  Fact(out, "g-errors", "Errors", Num(n.errors), n.errors);
  out += "</dl>\n<div class=\"breakdowns\">\n";
  Counts(out, "t-booked", "Follow-ups booked per type", "Type", n.point.booked, "None booked.");
  Counts(out, "t-cancelled", "Cancellations per cancelled type", "Cancelled type",
         n.cancelled_by_type, "None cancelled.");
  Counts(out, "t-refused", "Refusals per reason", "Reason", n.refused_by_reason, "None refused.");
  out += "</div>\n</section>\n";
}

// The words of a person's outcome and its tags for the filter.
std::string Outcome(const ReportPerson& p, std::string& tags) {
  std::string words;
  const auto add = [&](bool on, const char* tag, const char* word) {
    if (!on) return;
    tags += std::string(tag) + " ";
    words += (words.empty() ? "" : ", ") + std::string(word);
  };
  add(!p.booked.empty(), "booked", "booked");
  add(!p.cancelled.empty(), "cancelled", "cancelled a booking");
  add(!p.refused.empty(), "refused", "refused");
  add(p.errors > 0, "error", "error");
  if (words.empty()) words = "day record written";
  return words;
}

// The rows shown at first: a longer list shows its first rows and a button for the rest, since a
// browser takes seconds to lay out tens of thousands of table rows.
constexpr size_t kShownRows = 2000;

std::string Shown(size_t rows) {
  return rows > kShownRows ? "Showing the first " + Num(kShownRows) + " of " +
                                 Num(static_cast<long long>(rows)) + " persons."
                           : Num(static_cast<long long>(rows)) + " persons.";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : "; ") + i;
  return out;
}

void Persons(std::string& out, const ReportNight& n) {
  std::set<std::string> types;
  for (const ReportPerson& p : n.touched) {
    types.insert(p.booked.begin(), p.booked.end());
    types.insert(p.cancelled_codes.begin(), p.cancelled_codes.end());
    types.insert(p.refused_codes.begin(), p.refused_codes.end());
  }
  types.erase("");
  out += "<section aria-labelledby=\"persons-h\">\n<h2 id=\"persons-h\">Persons touched</h2>\n"
         "<p>One row per person and accounting day that the night booked, cancelled, refused or "
         "wrote something for. Choose a person number to read why the night did what it did, "
         "from the decisions its journal recorded.</p>\n"
         "<form class=\"controls\" role=\"search\" aria-label=\"Filter the persons\">\n"
         "<span class=\"ctl\"><label for=\"f-type\">Type</label> <select id=\"f-type\"><option value=\"\">all types</option>";
  for (const std::string& t : types) out += "<option>" + Report_Escape(t) + "</option>";
  out += "</select></span>\n<span class=\"ctl\"><label for=\"f-outcome\">Outcome</label> <select id=\"f-outcome\">"
         "<option value=\"\">all outcomes</option><option value=\"booked\">booked</option>"
         "<option value=\"cancelled\">cancelled a booking</option>"
         "<option value=\"refused\">refused</option><option value=\"error\">error</option></select></span>\n"
         "<span class=\"ctl\"><label for=\"f-pnr\">Person number</label> <input id=\"f-pnr\" type=\"search\" "
         "autocomplete=\"off\" spellcheck=\"false\" size=\"10\"></span>\n</form>\n"
         "<p id=\"shown\" aria-live=\"polite\">" + Shown(n.touched.size()) +
         "</p>\n<button type=\"button\" id=\"show-all\"" +
         (n.touched.size() > kShownRows ? "" : " hidden") + ">Show all " +
         Num(static_cast<long long>(n.touched.size())) +
         "</button>\n<div class=\"scroll\" role=\"region\" tabindex=\"0\" aria-labelledby=\"persons-h\">\n"
         "<table id=\"persons\" data-limit=\"" + Num(kShownRows) + "\"><caption class=\"sr\">Persons touched by the night of " +
         Report_Day(n.point.header.day) + ", one row per person-day; the person number opens the "
         "explanation</caption>\n<thead><tr>";
  const char* const cols[] = {"Person", "Outcome", "Booked", "Cancelled", "Refused",
                              "Day record after the night (TagTgb/TagTgs, TagHtv/TagHvs, TagHtn/TagHns)",
                              "Parameter file"};
  for (int c = 0; c < 7; ++c)
    out += "<th scope=\"col\" aria-sort=\"none\"><button type=\"button\" data-col=\"" + Num(c) +
           "\">" + cols[c] + "</button></th>";
  out += "</tr></thead>\n";
  size_t row = 0;
  for (const ReportPerson& p : n.touched) {
    std::string tags = " ", types_of = " ";
    const std::string outcome = Outcome(p, tags);
    for (const auto* list : {&p.booked, &p.cancelled_codes, &p.refused_codes})
      for (const std::string& t : *list)
        if (!t.empty()) types_of += Report_Escape(t) + " ";
    out += std::string(++row > kShownRows ? "<tbody hidden" : "<tbody") + " data-t=\"" +
           types_of + "\" data-o=\"" + tags + "\" data-x=\"";
    for (size_t i = 0; i < p.explanation.size(); ++i)
      out += (i ? " " : "") + std::to_string(p.explanation[i]);
    out += "\"><tr><th scope=\"row\"><button type=\"button\" class=\"x\" aria-expanded=\"false\">" +
           Report_Escape(p.pnr) + "</button></th><td>" + outcome + "</td><td>" +
           Report_Escape(Joined(p.booked)) + "</td><td>" + Report_Escape(Joined(p.cancelled)) +
           "</td><td>" + Report_Escape(Joined(p.refused)) + "</td><td>" +
           Report_Escape(p.day_record) + "</td><td>" + (p.listed ? "listed" : "") +
           "</td></tr></tbody>\n";
  }
  out += "</table>\n</div>\n<noscript><p>Sorting, filtering and the explanations need the page's "
         "own script, which this viewer does not run.</p></noscript>\n</section>\n";
}

void Foot(std::string& out, const ReportNight& n, const ReportSources& s) {
  out += "<footer>\n<h2>Where this page came from</h2>\n<p>Written by parvekctl " PARVEK_VERSION
         " on " + Report_Escape(s.generated) + " from the journal" +
         (s.journals.size() == 1 ? "" : "s") + " below" +
         (s.log.empty() ? "" : " and the run log " + Report_Escape(s.log)) +
         ". It holds only what they hold; the explanations are those of <code>parvekctl explain "
         "--journal</code>.</p>\n<ul id=\"sources\">";
  for (const std::string& j : s.journals)
    out += "<li>" + Report_Escape(j) + (j == n.point.file ? " (the night above)" : "") + "</li>";
  out += "</ul>\n";
  if (!s.left_out.empty()) {
    out += "<p>Left out:</p>\n<ul id=\"left-out\">";
    for (const std::string& l : s.left_out) out += "<li>" + Report_Escape(l) + "</li>";
    out += "</ul>\n";
  }
  out += "</footer>\n";
}

// The explanations' lines as a JSON array, safe inside a script element.
void Lines(std::string& out, const std::vector<std::string>& lines) {
  std::string json = nlohmann::json(lines).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  out.reserve(out.size() + json.size() + 200);
  out += "<script type=\"application/json\" id=\"explanations\">";
  for (char c : json) {
    if (c == '<') out += "\\u003c";
    else out += c;
  }
  out += "</script>\n";
}

}  // namespace

std::string Report_Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Report_Day(const std::string& day) { return Report_Escape(Dashed(day)); }

std::string Report_Html(const ReportNight& n, const std::vector<ReportPoint>& series,
                        const ReportSources& s) {
  std::string out;
  out.reserve(4096 + n.touched.size() * 400);
  const std::string status = Check_StatusName(n.verdict.status);
  std::string lower = status;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<meta name=\"generator\" content=\"parvekctl " PARVEK_VERSION "\">\n<title>" +
         status + ": the night of " + Report_Day(n.point.header.day) + " (parvek)</title>\n"
         // Errors and console errors are kept for the page's self-test (tools/report_page.js).
         "<script>window.reportErrors=[];addEventListener('error',function(e){"
         "reportErrors.push(String(e.message||e));});(function(c){console.error=function(){"
         "reportErrors.push([].join.call(arguments,' '));c.apply(console,arguments);};})"
         "(console.error);</script>\n<style>\n" +
         kReportCss + "</style>\n</head>\n<body>\n<header>\n<h1>The night of " +
         Report_Day(n.point.header.day) + "</h1>\n<p class=\"sub\">Schema " +
         Report_Escape(n.point.header.schema) + " on " + Report_Escape(n.point.header.net8) +
         "</p>\n<div id=\"outcome\" class=\"status " + lower + "\" role=\"status\" data-status=\"" +
         status + "\">\n<p><strong>" + status + ":</strong> " + Headline(n.verdict.status) +
         "</p>\n<p><code id=\"check-line\">" + Report_Escape(n.verdict.Line()) + "</code></p>\n";
  for (const std::string& note : n.notes) out += "<p>" + Report_Escape(note) + "</p>\n";
  out += "</div>\n</header>\n<main>\n";
  Glance(out, n);
  Persons(out, n);
  out += "<section aria-labelledby=\"nights-h\">\n<h2 id=\"nights-h\">Nights over time</h2>\n" +
         Report_Chart(series, n.point.file) + "</section>\n</main>\n";
  Foot(out, n, s);
  Lines(out, n.lines);
  out += "<script>\n";
  out += kReportJs;
  out += "</script>\n</body>\n</html>\n";
  return out;
}
