// The night's report (parvekctl report): what one night did for the payroll office, read from
// its journal (tools/journal_format.h), with each touched person's explanation as explain gives
// it (tools/explain.h), the night's outcome as log-check says it (tools/night_check.h), and the
// nights before it; written as one self-contained HTML page (tools/report_html.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/journal_format.h"
#include "tools/night_check.h"

// One person-day that the night touched: something booked, cancelled or refused, a day record
// or parameter line written, or an error.
struct ReportPerson {
  std::string pnr;
  std::vector<std::string> booked;     // follow-up codes
  std::vector<std::string> cancelled;  // "SCH at 00:00"
  std::vector<std::string> cancelled_codes;
  std::vector<std::string> refused;    // "KUF: no target time on the day"
  std::vector<std::string> refused_codes;
  std::string day_record;  // the six fields written, "KRF/480, -, -"; empty: not written
  bool listed = false;     // in the parameter file
  int errors = 0;
  std::vector<uint32_t> explanation;  // indices into ReportNight::lines
};

// One night's figures for the chart of nights over time.
struct ReportPoint {
  std::string file;
  JournalHeader header;
  std::map<std::string, int> booked;  // follow-ups committed, by code
  double seconds = -1;                // the night's duration; below 0: not known
  bool end_from_file = false;         // the end is the journal's last change (older journals)
  bool finished = false;              // the journal has its closing line
};

struct ReportNight {
  ReportPoint point;  // the file, header, follow-ups per type and duration
  std::optional<journal::End> end;
  bool reasons_recorded = false;
  int persons_on_day = -1;  // placeholders the night worked on; -1: not recorded
  std::map<std::string, int> cancelled_by_type, refused_by_reason;
  int followups = 0, cancellations = 0, refusals = 0, target_refusals = 0, errors = 0;
  std::string first_error;
  std::vector<ReportPerson> touched;  // in the order the night worked on them
  std::vector<std::string> lines;     // the explanations' lines, each once
  CheckVerdict verdict;
  std::vector<std::string> notes;  // what the reader and the run log (--log) add, in words
};

// Reads the night of the journal at `path` whole. False with the reason in `why` for a file
// that is no journal of a night.
bool Report_ReadNight(const std::string& path, ReportNight& night, std::string& why);
// Reads what the chart needs of the journal at `path` (its header, follow-ups and duration),
// passing its decisions over. False with the reason in `why`.
bool Report_ReadPoint(const std::string& path, ReportPoint& point, std::string& why);

// Judges the night as log-check would: from its journal, or from its run in the run log `log`
// (empty: none) and the events beside it. Staleness is not judged: a report may be of any night.
void Report_Judge(ReportNight& night, const std::string& log);

// Where the page came from, for its foot.
struct ReportSources {
  std::vector<std::string> journals;  // the files of the nights drawn
  std::vector<std::string> left_out;  // "FILE: why"
  std::string log;                    // the run log, when given
  std::string generated;              // when the page was written, local time
};

// The page: the night at a glance, the persons touched with their explanations, the nights
// over time (`series`, oldest first, the night among them); styles and script inline.
std::string Report_Html(const ReportNight& night, const std::vector<ReportPoint>& series,
                        const ReportSources& sources);
// The chart of follow-ups per night by type and of the nights' durations, as inline SVG with
// the figures in a table beside it.
std::string Report_Chart(const std::vector<ReportPoint>& series, const std::string& current);

// Text as HTML text or attribute value.
std::string Report_Escape(const std::string& text);
// A journal's day 'yyyymmdd' as 'YYYY-MM-DD', escaped (a journal is read as it stands).
std::string Report_Day(const std::string& day);
