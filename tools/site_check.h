// doctor's site check: what a site's first night depends on and no settings file shows, asked of
// the database the night works on. Each check is one row of a table (the servers and routes it
// means something on, the statement or question, the answer expected, what to do when it
// differs), so that a new engine or a new check is a row. Every check answers ok, WARN, FAIL or
// "info: cannot tell" with its reason; a missing privilege is a reason, not a failure of doctor.
// Nothing is left changed: the probes that write do so inside a transaction that is rolled back.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pvc {
class Session;
}

enum class SiteVerdict { kOk, kInfo, kWarn, kFail, kCannotTell };
// "ok", "info", "WARN", "FAIL", "info" (a reason that it cannot tell follows in the text).
const char* SiteVerdictWord(SiteVerdict v);
// For --json: "ok", "info", "warn", "fail", "cannot tell".
const char* SiteVerdictKey(SiteVerdict v);

struct SiteResult {
  std::string id;  // stable, for scripts ("clock", "lock-wait", ...)
  SiteVerdict verdict = SiteVerdict::kOk;
  std::string text;    // what was found, and why it is a problem where it is one
  std::string advice;  // what to do, where the verdict is WARN or FAIL
};

// What the site check needs beside the session.
struct SiteContext {
  // The length of the last night the database records, in seconds, when known.
  std::optional<double> last_night_s;
  // Opens another session on the same schema (the lock probe's two sessions), with the lock wait
  // in force when it is called. Without it the lock probe cannot tell.
  std::function<int(std::unique_ptr<pvc::Session>&)> open_other;
  // The lock wait the probe's sessions are opened with, and how long the probe waits for its
  // write to come back before it calls the wait unbounded.
  int lock_wait_ms = 1000;
  int lock_bound_ms = 4000;
};

// The length of the latest night the database records as ended (its record of nights), when known.
std::optional<double> Site_LastNightSeconds(pvc::Session& s);

// Runs every row that means something on the server behind `s` and its route, in table order.
std::vector<SiteResult> Site_Check(pvc::Session& s, const SiteContext& c);

// One value judged as a row judges it: exposed for the judgement's tests. `row_id` names a row of
// the table; `value` is what its statement gave. A row without a statement: nullopt.
std::optional<SiteResult> Site_Judge(const std::string& row_id, const std::string& server,
                                     const std::string& value, const SiteContext& c);
