// One night of the job: the program entry (Run_Main) and parvekctl's night command both build
// a NightContext and hand it to Night_Run.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseAddress.h"
#include "run/ground/Settings.h"

// What a night does when the database's record shows a night of its accounting day finished.
enum class DoneDay {
  kRun,            // runs it again (asked for: --force)
  kSkipAfterWait,  // the job's: runs it, unless it waited for another run to end; then the
                   // other run was that night (a timer that fired twice), and it only logs why
  kRefuse,         // refuses, with the recorded night in the refusal
};

enum class NightMode {
  kCommit,   // the job's night: every change committed where it is made
  kPreview,  // the same night in one transaction that is rolled back at the end
};

// What one night is about, decided once where the night starts and handed down: the job's
// entry and parvekctl build it with Night_Context and add what their own night needs.
struct NightContext {
  Settings settings;        // the settings file, read once
  DatabaseAddress address;  // its NET8, parsed once
  std::string variant;      // Param2: "KRVNT" selects the consolidation variant
  std::string log_switch;   // Param3: a first character 'D' switches run-log entries on
  // The accounting day of a catch-up (a missed night). None: the database's yesterday, which
  // the night reads from the database's clock once it is connected.
  std::optional<AccountingDay> catch_up;
  NightMode mode = NightMode::kCommit;
  // The directory that takes the run log "parvek.log" and the parameter file "parvektgb".
  // Empty: the working directory.
  std::string dir;
  // The job's working directory, whose lock keeps one night at a time there, and which takes
  // the events file (a preview's `dir` is a private one; it takes no directory lock). Empty:
  // the working directory.
  std::string lock_dir;
  // How long the night waits for the locks held by another run (its working directory's, its
  // database's) before it refuses, in seconds. A preview never waits: it refuses at once while
  // anything else holds a lock. A night ends a preview that holds its database's lock.
  int lock_wait_s = 0;
  DoneDay done_day = DoneDay::kSkipAfterWait;
  // A preview of one person's day (parvekctl explain): every other person's day is passed over,
  // and the database's lock is held as an explanation's, which a night ends as a preview's.
  std::string only_pnr;
  // What started the night, for the database's record of nights ("parvek", "parvekctl night").
  std::string started_by = "parvek";
  // Where the record of the run's start and end goes ("running" or "finished" after the start
  // time stamp), for log-check to tell a killed run from a finished one. Empty: none (the job).
  std::string end_record;
  // Asked once the lock is held and the accounting day is known (connected, before anything is
  // written or the run log is opened), with that day: false keeps the night from running
  // (Night_Run returns kNightRefused). Empty: the night runs. Not asked when the logon failed
  // or the database's date could not be read: the night then goes on as the job does.
  std::function<bool(const AccountingDay& day)> admit;
  // At most `host_slots.count` nights at a time on this host: a night takes one of that many
  // slots in `host_slots.dir` (Night_TakeSlot) once it holds its working directory. 0: none
  // (the job's own night; parvekctl's with --at-once).
  struct {
    std::string dir;
    int count = 0;
    int wait_s = 0;
  } host_slots;
  // Put around the session at the logon, the first innermost (a recording, for example).
  std::vector<pvc::SessionDecorator> decorators;
};

// A night of the settings file at `settings_path`: the settings read once and NET8 parsed
// against the working directory, everything else as the job's plain night.
NightContext Night_Context(const std::string& settings_path, const std::string& variant,
                           const std::string& log_switch);

// What Night_Run returns besides 0 (the scan ran; for a preview, everything was undone) and the
// negative code of a failed connect (logged as the job logs it; the scan did not run).
inline constexpr int kNightNoPreview = 1;   // the backend's cursors cannot see the session's
                                            // own uncommitted writes; the scan did not run
inline constexpr int kNightDayNotPast = 2;  // the catch-up day is the database's today or
                                            // later (or its date could not be read); the
                                            // scan did not run
inline constexpr int kNightNotUndone = 3;   // a preview's changes could not be rolled back;
                                            // nothing was committed, they end with the session

inline constexpr int kNightBusy = 4;  // another night or preview holds the working directory's
                                      // lock; nothing was opened or written

inline constexpr int kNightRefused = 5;  // the context's admit said no; nothing was written
inline constexpr int kNightDone = 6;     // the database records a finished night of the day
                                         // (DoneDay); nothing was written
inline constexpr int kNightNoSlot = 7;   // every slot of this host stayed taken past the wait,
                                         // or none could be opened; nothing was written

// Beside the run log: one line per night that did not run as asked or that ended a preview
// ("EPOCH<TAB>refused|preview-ended|skipped<TAB>why"), for log-check.
inline constexpr const char* kNightEventsName = "parvek.log.events";
// The longest a preview runs before it ends, rolled back, and the job's wait for the lock: a
// night that finds a preview running outwaits it.
inline constexpr int kPreviewMaxSeconds = 600;
inline constexpr int kNightLockWaitSeconds = kPreviewMaxSeconds + 60;
// Where the nights of this host keep their slots (Night_TakeSlot), and how long a night waits for
// one: five hours, within the units' six (a night that got its slot late still has an hour).
inline constexpr const char* kNightSlotsDir = "/run/lock";
inline constexpr int kNightSlotWaitSeconds = 5 * 3600;

// Takes the lock of one night at a time on `dir` (empty: the working directory): an exclusive
// flock on the directory itself, which adds no file to it. Waits up to `wait_s` seconds for
// another holder. Returns the descriptor that holds the lock (held until it is closed, or the
// process ends), -1 when another run holds it (errno set), or kNightNoLock when the directory
// cannot be opened for reading: a night there runs as it always did, unlocked.
inline constexpr int kNightNoLock = -2;
int Night_Lock(const std::string& dir, int wait_s);

// Takes one of `count` slots of this host in `dir`: an flock on one of the files
// DIR/parvek-night-1.lock to DIR/parvek-night-COUNT.lock (made, mode 0666, when missing; opened
// for reading only, never through a link, so that the nights of every user of the host share
// them). Polls every 200 ms, up to `wait_s` seconds. Returns the descriptor that holds the slot
// (until it is closed, or the process ends), or -1 with errno set: EWOULDBLOCK when every slot
// stayed taken, another code when none of the files could be opened.
int Night_TakeSlot(const std::string& dir, int count, int wait_s);

// Runs one night: sets RunFlags from the variant and the switch, connects with the context's
// settings and decorators, resolves the accounting day (the catch-up's, checked to lie before
// the database's date, or the database's yesterday), asks `admit` with it, opens the run log
// (started afresh past its size limit) and writes the start time stamp, and, when connected,
// runs the day scan on that day. A failed connect is logged (password masked) and reported in
// one line on standard error. The run log is closed at the end.
// The refusals kNightNoPreview and kNightDayNotPast are logged as errors of the run.
// First of all it takes the working directory's lock (Night_Lock, the context's wait; a preview
// takes none), then the database's (run/NightGuard.h): when another run holds one, kNightBusy
// is returned after one line on standard error and a line in the events file, and nothing of
// the running night's files is touched. The database's record of nights gets the night's
// start and end (not for a preview); a night of a day it records as finished is handled as the
// context's DoneDay says. `why` (when given) receives a refusal in words.
int Night_Run(const NightContext& night, std::string* why = nullptr);

