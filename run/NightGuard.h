// The guard of a database's nights: one lock per database and schema, whichever directory,
// settings file or host a night, preview, undo or explanation comes from, and the record of
// the nights done, kept in the database beside the job's tables.
//
// The guard talks to the database on a session of its own, beside the night's: the night's
// statements stay exactly the job's, and the lock lives as long as the guard (or its process).
//   SQLite        an flock on the lock file beside the database file (FILE + "-parvek.lock"),
//                 which records its holder (what, process, host, since) for the others
//   PostgreSQL    a session advisory lock of the guard's session, keyed on the schema; its
//                 holder is named in the session's application_name
//   elsewhere     (Oracle through ODBC, a database that cannot name itself) an flock on a lock
//                 file of this host, keyed on the database's identity (or NET8 and schema): it
//                 keeps one night at a time on this host only
// A night that finds a preview or an explanation holding the lock ends it (its process on this host,
// its sessions where the engine lets the same role end them), then takes the lock.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "run/ground/AccountingDay.h"
#include "run/ground/DatabaseIdentity.h"
#include "run/ground/Settings.h"

enum class GuardKind { kNight, kPreview, kUndo, kExplain };

// What the guard holds and what it learnt, for the one who opened it. Closing it (or the end of
// its process) gives the lock back.
struct NightGuard {
  std::unique_ptr<pvc::Session> session;  // the guard's own session; none when the logon failed
  DatabaseIdentity identity;
  // The name the guard's session carries (PostgreSQL's application_name): a preview gives its
  // night's session the same name, so that a night can end both where it cannot reach the
  // preview's process.
  std::string name;
  std::string how;         // how the lock is held, in words: "lock file /srv/x.db-parvek.lock"
  int lock_fd = -1;        // the lock file's descriptor (SQLite, this host)
  bool held = false;       // the lock is held
  bool waited = false;     // another run held it when it was asked for
  std::string holder;      // the other run last seen holding it, in words
  bool ended_preview = false;  // a preview held it and was ended

  NightGuard() = default;
  NightGuard(const NightGuard&) = delete;
  NightGuard& operator=(const NightGuard&) = delete;
  ~NightGuard();
};

// The results of NightGuard_Take besides 0 (held).
inline constexpr int kGuardBusy = 1;      // another run holds it past the wait (or, for a
                                          // preview, at all)
inline constexpr int kGuardNoSession = 2;  // the guard could not log on; nothing is held

// Logs on to the settings' database for the guard, learns the database's identity and takes its
// lock for a run of `kind`: waits up to `wait_s` seconds for another holder, polled, so that the
// bound holds whatever signals arrive. A preview or an explanation never waits, and never ends
// anything. A night or an undo that finds one holding the lock ends it first. 0 when held.
int NightGuard_Take(NightGuard& g, const Settings& settings, GuardKind kind, int wait_s);
// The same for a database named by its logon values (a command given NET8 and SCHEMA).
int NightGuard_Take(NightGuard& g, const std::string& login, const std::string& pass,
                    const std::string& net8, const std::string& schema, GuardKind kind,
                    int wait_s);

// Gives the lock back and ends the guard's session.
void NightGuard_Release(NightGuard& g);


// ---- the record of nights done -----------------------------------------------------------

struct NightRecord {
  std::string started;     // 'YYYY-MM-DD HH:MM:SS', this host's clock
  std::string started_by;  // what started it, which user on which host, its process
  std::string ended;       // empty while running, or when it was killed
  std::string outcome;     // "running", "finished", "failed"
};

// The nights of `day` recorded in the database, the latest first. 0; a negative code when the
// record cannot be read (no session, or a schema made before the record existed: -942).
int NightGuard_Nights(NightGuard& g, const AccountingDay& day, std::vector<NightRecord>& out);
// The latest night of `day` that finished (a killed one did not: running it again is its
// repair); none when there is none, or the record cannot be read.
std::optional<NightRecord> NightGuard_DoneNight(NightGuard& g, const AccountingDay& day);
// Records that a night of `day` begins, started by `what`; `begun` receives the record. 0 or
// the write's code (committed on the guard's session at once).
int NightGuard_Begin(NightGuard& g, const AccountingDay& day, const std::string& what,
                     NightRecord& begun);
// Records the end of `begun` with `outcome`.
int NightGuard_End(NightGuard& g, const AccountingDay& day, const NightRecord& begun,
                   const std::string& outcome);
