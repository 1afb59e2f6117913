// The job's run log as the operator tools read it: one part per run, each beginning with the
// run's start time stamp ("Datum: 09.12.2026  Uhrzeit: 02:15:00").
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct CtlRun {
  std::string stamp;                 // "2026-12-09 02:15:00"
  std::time_t started = 0;           // the stamp read as local time
  std::string catch_up_day;          // yyyymmdd when the run caught up a missed day; else empty
  std::vector<std::string> entries;  // the run's entry lines, without their line feeds
  int followups = 0, refused = 0, errors = 0;
  int connect_rc = 0;        // the code of a failed connect; 0 when the run connected
  bool day_refused = false;  // a catch-up refused its day (not before the database's date)
  std::string first_error;

  // The accounting day as a day number: the catch-up's day, else the day before the stamp's.
  int64_t AccountingDay() const;
};

// The runs of a run log's text, oldest first. Lines before the first time stamp (written by runs
// with logging switched off) belong to no run.
std::vector<CtlRun> Ctl_ReadRuns(const std::string& text);

// Every entry line of a run log's text, in order, whatever run it belongs to: not the time
// stamps, not the empty lines before them.
std::vector<std::string> Ctl_RunLogEntries(const std::string& text);
