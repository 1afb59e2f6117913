// How a night went, as log-check says it: one judgement of a run's figures, its recorded end,
// the events beside its run log and the lock of its working directory, shared by log-check
// (which reads them from the run log) and the night's report (which reads them from the
// journal, and from the run log when it is given).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "tools/ctl_runlog.h"

// The states of the monitoring-plugin convention; each is also log-check's exit code.
enum class CheckStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* Check_StatusName(CheckStatus status);  // "OK", "WARNING", "CRITICAL", "UNKNOWN"

// The latest line of the events file beside a run log (run/Night.h): a night refused, one that
// ended a preview, one that did not run a day again.
struct NightEvent {
  std::time_t at = 0;  // 0: none
  std::string kind;    // "refused", "preview-ended", "skipped"
  std::string why;
};
NightEvent Check_LastEvent(const std::string& log);

// Whether a night or preview holds the lock of one of `dirs` now.
bool Check_NightRunning(const std::vector<std::string>& dirs);

// What is known of the run being judged.
struct CheckFacts {
  const CtlRun* run = nullptr;  // none: `no_run` says why
  std::string no_run;
  std::string recorded_state;  // "running" (its end was never recorded: killed), else anything
  NightEvent event;            // the last event beside the run log, if any
  bool running_now = false;    // a night or preview holds the working directory's lock
  // Staleness: a run older than `max_age_hours` at `now` is a WARNING; 0 judges none.
  int max_age_hours = 0;
  std::time_t now = 0;
};

struct CheckVerdict {
  CheckStatus status = CheckStatus::kUnknown;
  std::string summary;  // "43 follow-ups, 2 refused, 0 errors, last run 2026-12-09 04:15"
  // log-check's line: "PARVEK OK - " and the summary.
  std::string Line() const;
};

// CRITICAL: a run that did not finish, a failed connect, an error entry, or a night refused
// since the run began; WARNING: a night running now, a preview the run ended, refusals under the
// target-time check, a stale run; UNKNOWN: no run; else OK.
CheckVerdict Check_Judge(const CheckFacts& facts);
