#include "tools/night_check.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/Night.h"
#include "run/ground/RunControl.h"

namespace {

std::string Clock(std::time_t t) { return Run_LocalTime(t, "%Y-%m-%d %H:%M"); }

}  // namespace

const char* Check_StatusName(CheckStatus status) {
  static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return kNames[static_cast<int>(status)];
}

std::string CheckVerdict::Line() const {
  return std::string("PARVEK ") + Check_StatusName(status) + " - " + summary;
}

NightEvent Check_LastEvent(const std::string& log) {
  NightEvent last;
  for (const std::string& dir : Ctl_RunLogDirs(log)) {
    std::string ignored;
    std::FILE* in = Ctl_OpenRunLog(dir + "/" + kNightEventsName, ignored);
    if (in == nullptr) continue;
    char line[4096];
    while (std::fgets(line, sizeof line, in) != nullptr) {
      char* end = nullptr;
      const long long at = std::strtoll(line, &end, 10);
      char* tab = end != nullptr && *end == '\t' ? std::strchr(end + 1, '\t') : nullptr;
      if (tab == nullptr || at < last.at) continue;
      last.at = static_cast<std::time_t>(at);
      last.kind.assign(end + 1, tab);
      last.why = tab + 1;
      if (!last.why.empty() && last.why.back() == '\n') last.why.pop_back();
    }
    std::fclose(in);
    if (last.at != 0) break;
  }
  return last;
}

bool Check_NightRunning(const std::vector<std::string>& dirs) {
  for (const std::string& dir : dirs) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    // Shared and without waiting: held for no time, it never keeps a night from its lock.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    if (held) return true;
  }
  return false;
}

CheckVerdict Check_Judge(const CheckFacts& f) {
  CheckVerdict v;
  v.summary = f.no_run;
  if (const CtlRun* run = f.run) {
    const std::string when =
        "last run " + run->stamp.substr(0, 16) +
        (run->catch_up_day.empty() ? "" : " (catch-up for " + run->catch_up_day + ")");
    const double age_hours = std::difftime(f.now, run->started) / 3600.0;
    char age[96] = "";
    if (f.max_age_hours > 0 && age_hours > f.max_age_hours)
      std::snprintf(age, sizeof age, ", %.0f hours ago (more than %d)", age_hours, f.max_age_hours);
    // A stamp ahead of the clock says nothing about whether last night ran: the machine's or
    // the log's clock is wrong, and staleness cannot be judged. An hour covers a change of
    // summer time between the job's machine and this one.
    if (f.max_age_hours > 0 && age_hours < -1.0)
      std::snprintf(age, sizeof age, ", stamped %.0f hours in the future (clock?)", -age_hours);
    if (f.recorded_state == "running") {
      v.status = CheckStatus::kCritical;
      v.summary = "the last run did not finish (killed?): " + std::to_string(run->followups) +
                  " follow-ups, " + std::to_string(run->errors) + " errors, " + when + age;
    } else if (run->connect_rc != 0) {
      v.status = CheckStatus::kCritical;
      v.summary = "connect failed (RC:" + std::to_string(run->connect_rc) + "), " + when + age;
    } else {
      v.summary = std::to_string(run->followups) + " follow-ups, " +
                  std::to_string(run->refused) + " refused, " + std::to_string(run->errors) +
                  " errors, " + when + age;
      v.status = run->errors > 0                       ? CheckStatus::kCritical
                 : run->refused > 0 || age[0] != '\0' ? CheckStatus::kWarning
                                                      : CheckStatus::kOk;
      if (run->errors > 0) v.summary += "; first: " + run->first_error;
    }
  }
  // A night refused after the run began (no run log needed) did not run: nothing of its day
  // was booked. A preview that the night ended is worth a look, not an alarm.
  const NightEvent& event = f.event;
  if (event.kind == "refused" && (f.run == nullptr || event.at >= f.run->started)) {
    v.status = CheckStatus::kCritical;
    v.summary = "a night was refused at " + Clock(event.at) + ": " + event.why +
                (f.run != nullptr ? "; before it: " + v.summary : std::string());
  } else if (event.kind == "preview-ended" && f.run != nullptr && event.at >= f.run->started &&
             v.status == CheckStatus::kOk) {
    v.status = CheckStatus::kWarning;
    v.summary += "; " + event.why;
  }
  // The run log of a night still running says nothing yet of how it will end.
  if (f.running_now) {
    v.status = CheckStatus::kWarning;
    v.summary = "a night or preview is running now" +
                (f.run != nullptr ? "; the run log's last run: " + v.summary : std::string());
  }
  return v;
}
