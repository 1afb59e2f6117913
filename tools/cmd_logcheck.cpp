// parvekctl log-check [LOGFILE] [--max-age HOURS] [--metrics FILE]: the last run of the run log
// as a monitoring check. Exit codes of the monitoring-plugin convention: 0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN, with one summary line on standard output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run/Night.h"
#include "run/ground/RunControl.h"
#include "tools/ctl.h"
#include "tools/ctl_files.h"
#include "tools/ctl_runlog.h"

namespace {

enum Status { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* const kStatusName[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct LogCheckOptions {
  std::string log = "parvek.log";
  int max_age = 26;
  std::string metrics;
};

// The figures in the text format that node exporters collect from a directory, written whole
// beside FILE and renamed over it (tools/ctl_files.h), so that a collector never reads half a
// file and no other file is ever written through a link.
bool WriteMetrics(const std::string& path, Status status, const CtlRun* run) {
  std::string text;
  const auto gauge = [&text](const char* name, const char* help, long long value) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
            " " + std::to_string(value) + "\n";
  };
  gauge("parvek_log_check_status",
        "Result of the last log check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.", status);
  if (run != nullptr) {
    gauge("parvek_last_run_timestamp_seconds", "Start of the last run in the run log (Unix time).",
          static_cast<long long>(run->started));
    gauge("parvek_last_run_followups", "Follow-up bookings made by the last run.", run->followups);
    gauge("parvek_last_run_refused",
          "Follow-ups refused under the target-time check in the last run.", run->refused);
    gauge("parvek_last_run_errors", "Error entries of the last run.", run->errors);
    gauge("parvek_last_run_connect_failed", "1 when the last run could not connect.",
          run->connect_rc != 0);
  }
  return Ctl_ReplaceFile(path, text, 0644, false);
}

// Whether a night or preview holds the lock of the run log's directory now (that of the file
// a link names, too).
bool NightRunning(const std::string& log) {
  for (const std::string& dir : Ctl_RunLogDirs(log)) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    // Shared and without waiting: held for no time, it never keeps a night from its lock.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    if (held) return true;
  }
  return false;
}

// The latest line of the events file beside the run log (run/Night.h): a night refused, or one
// that ended a preview.
struct NightEvent {
  std::time_t at = 0;
  std::string kind, why;
};

NightEvent LastEvent(const std::string& log) {
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

std::string Clock(std::time_t t) { return Run_LocalTime(t, "%Y-%m-%d %H:%M"); }

int LogCheck(const LogCheckOptions& o) {
  Status status = kUnknown;
  std::string summary, why;
  std::vector<CtlRun> runs;
  std::FILE* in = Ctl_OpenRunLog(o.log, why);
  if (in == nullptr) {
    summary = "cannot read " + o.log + ": " + why;
  } else {
    // Only the last run is kept.
    Ctl_EachRun(in, [&runs](const CtlRun& r) {
      runs.clear();
      runs.push_back(r);
    });
    std::fclose(in);
    if (runs.empty())
      summary = o.log + " holds no run (is the job run with switch X? monitoring needs switch D)";
  }
  const CtlRun* run = runs.empty() ? nullptr : &runs.back();
  if (run != nullptr) {
    const std::string when =
        "last run " + run->stamp.substr(0, 16) +
        (run->catch_up_day.empty() ? "" : " (catch-up for " + run->catch_up_day + ")");
    const double age_hours = std::difftime(std::time(nullptr), run->started) / 3600.0;
    char age[96] = "";
    if (age_hours > o.max_age)
      std::snprintf(age, sizeof age, ", %.0f hours ago (more than %d)", age_hours, o.max_age);
    // A stamp ahead of the clock says nothing about whether last night ran: the machine's or
    // the log's clock is wrong, and staleness cannot be judged. An hour covers a change of
    // summer time between the job's machine and this one.
    if (age_hours < -1.0)
      std::snprintf(age, sizeof age, ", stamped %.0f hours in the future (clock?)", -age_hours);
    const std::string state = Ctl_RecordedState(o.log, run->stamp);
    if (state == "running") {
      status = kCritical;
      summary = "the last run did not finish (killed?): " + std::to_string(run->followups) +
                " follow-ups, " + std::to_string(run->errors) + " errors, " + when + age;
    } else if (run->connect_rc != 0) {
      status = kCritical;
      summary = "connect failed (RC:" + std::to_string(run->connect_rc) + "), " + when + age;
    } else {
      summary = std::to_string(run->followups) + " follow-ups, " + std::to_string(run->refused) +
                " refused, " + std::to_string(run->errors) + " errors, " + when + age;
      status = run->errors > 0 ? kCritical : run->refused > 0 || age[0] != '\0' ? kWarning : kOk;
      if (run->errors > 0) summary += "; first: " + run->first_error;
    }
  }
  // A night refused after the last run began (no run log needed) did not run: nothing of its
  // day was booked. A preview that the last night ended is worth a look, not an alarm.
  const NightEvent event = LastEvent(o.log);
  if (event.kind == "refused" && (run == nullptr || event.at >= run->started)) {
    status = kCritical;
    summary = "a night was refused at " + Clock(event.at) + ": " + event.why +
              (run != nullptr ? "; before it: " + summary : std::string());
  } else if (event.kind == "preview-ended" && run != nullptr && event.at >= run->started &&
             status == kOk) {
    status = kWarning;
    summary += "; " + event.why;
  }
  // The run log of a night still running says nothing yet of how it will end.
  if (NightRunning(o.log)) {
    status = kWarning;
    summary = "a night or preview is running now" +
              (run != nullptr ? "; the run log's last run: " + summary : std::string());
  }
  std::printf("PARVEK %s - %s\n", kStatusName[status], summary.c_str());
  // A metrics file that cannot be written is said on standard error; the exit code stays the
  // check's own, so that a CRITICAL night never reads as merely UNKNOWN.
  if (!o.metrics.empty() && !WriteMetrics(o.metrics, status, run))
    std::fprintf(stderr, "parvekctl: log-check: cannot write %s: %s\n", o.metrics.c_str(),
                 std::strerror(errno));
  return status;
}

const CtlCommand kLogCheck(
    "log-check", "Check the last run of the run log (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN)",
    [](CtlArgs& args) {
      auto o = std::make_shared<LogCheckOptions>();
      args.Text("LOGFILE", o->log, "The run log (default parvek.log)")
          .Number("--max-age", o->max_age, 1, 24 * 366,
                  "Hours after which the last run counts as stale (default 26)")
          .Text("--metrics", o->metrics,
                "Also write the figures to FILE for a node exporter's text-file collector")
          .Footer(
              "CRITICAL: a failed connect, an error entry (Fehler...), a run of parvekctl "
              "night that did not finish, or a night refused (another run held its directory "
              "or database) since the last run began. WARNING: a night or preview running "
              "now, a preview that the last night ended, refusals under the target-time check, "
              "or a last run older than --max-age. UNKNOWN: no readable run log, or one "
              "without runs "
              "(the job needs switch D for monitoring).");
      return [o] { return LogCheck(*o); };
    });

}  // namespace
