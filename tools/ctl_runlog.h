// The job's run log as the operator tools read it: one part per run, each beginning with the
// run's start time stamp ("Datum: 09.12.2026  Uhrzeit: 02:15:00").
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// The record of a parvekctl night's state beside the run log: the run's time stamp, then
// "running" from its start and "finished" at its end.
inline constexpr const char* kEndRecordName = "parvek.log.end";

struct CtlRun {
  std::string stamp;                 // "2026-12-09 02:15:00"
  std::time_t started = 0;           // the stamp read as local time
  std::string catch_up_day;          // yyyymmdd when the run caught up a missed day; else empty
  std::string last_entry;            // the run's last entry line
  int followups = 0, refused = 0, errors = 0;
  int connect_rc = 0;        // the code of a failed connect; 0 when the run connected
  bool day_refused = false;  // a catch-up refused its day (not before the database's date)
  std::string first_error;

  // The accounting day as a day number: the catch-up's day, else the day before the stamp's.
  int64_t AccountingDay() const;
};

// Each run of a run log, oldest first, handed to `done` when its last line has been read; lines
// before the first time stamp (written by runs with logging switched off) belong to no run.
// Only the run being read is kept, and of a line only its first 4096 bytes: a run log of any
// size is read in little memory.
void Ctl_EachRun(std::FILE* in, const std::function<void(const CtlRun&)>& done);
// The same over a text.
std::vector<CtlRun> Ctl_ReadRuns(const std::string& text);

// Opens a run log for reading: a regular file only (never waits on a FIFO or reads a device
// without end). nullptr with `why` set otherwise.
std::FILE* Ctl_OpenRunLog(const std::string& path, std::string& why);

// Every entry line of a run log's text, in order, whatever run it belongs to: not the time
// stamps, not the empty lines before them.
std::vector<std::string> Ctl_RunLogEntries(const std::string& text);

// Where the night that writes the run log at `log` keeps its end record and its lock: the
// directory of the file the path names once its symbolic links are resolved (a link to the run
// log, a relative link among them), then the directory of the path as given, when that is
// another (a run log that is itself a link out of the working directory).
std::vector<std::string> Ctl_RunLogDirs(const std::string& log);

// The state that parvekctl night recorded beside the run log at `log` (see Ctl_RunLogDirs) for
// the run stamped `stamp`: "running", "finished", or empty when the record names another run
// (the job run by itself writes none) or there is none.
std::string Ctl_RecordedState(const std::string& log, const std::string& stamp);

// The start stamp of a run in the run log at `path` that worked on `day` (a day number):
// connected, not refused its day, and not recorded as still running (killed, when no night
// holds the lock). Empty when there is none (or no readable run log). A second run of that day
// is no no-op.
std::string Ctl_RunLogRunForDay(const std::string& path, int64_t day);
