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
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "tools/ctl.h"
#include "tools/ctl_files.h"
#include "tools/ctl_runlog.h"
#include "tools/night_check.h"

namespace {

struct LogCheckOptions {
  std::string log = "parvek.log";
  int max_age = 26;
  std::string metrics;
};

// The figures in the text format that node exporters collect from a directory, written whole
// beside FILE and renamed over it (tools/ctl_files.h), so that a collector never reads half a
// file and no other file is ever written through a link.
bool WriteMetrics(const std::string& path, CheckStatus status, const CtlRun* run) {
  std::string text;
  const auto gauge = [&text](const char* name, const char* help, long long value) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
            " " + std::to_string(value) + "\n";
  };
  gauge("parvek_log_check_status",
        "Result of the last log check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.",
        static_cast<int>(status));
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

int LogCheck(const LogCheckOptions& o) {
  CheckFacts facts;
  std::string why;
  std::vector<CtlRun> runs;
  std::FILE* in = Ctl_OpenRunLog(o.log, why);
  if (in == nullptr) {
    facts.no_run = "cannot read " + o.log + ": " + why;
  } else {
    // Only the last run is kept.
    Ctl_EachRun(in, [&runs](const CtlRun& r) {
      runs.clear();
      runs.push_back(r);
    });
    std::fclose(in);
    if (runs.empty())
      facts.no_run = o.log + " holds no run (is the job run with switch X? monitoring needs switch D)";
  }
  facts.run = runs.empty() ? nullptr : &runs.back();
  if (facts.run != nullptr) facts.recorded_state = Ctl_RecordedState(o.log, facts.run->stamp);
  facts.event = Check_LastEvent(o.log);
  facts.running_now = Check_NightRunning(Ctl_RunLogDirs(o.log));
  facts.max_age_hours = o.max_age;
  facts.now = std::time(nullptr);
  const CheckVerdict v = Check_Judge(facts);
  std::printf("%s\n", v.Line().c_str());
  // A metrics file that cannot be written is said on standard error; the exit code stays the
  // check's own, so that a CRITICAL night never reads as merely UNKNOWN.
  if (!o.metrics.empty() && !WriteMetrics(o.metrics, v.status, facts.run))
    std::fprintf(stderr, "parvekctl: log-check: cannot write %s: %s\n", o.metrics.c_str(),
                 std::strerror(errno));
  return static_cast<int>(v.status);
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
