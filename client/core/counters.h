// Counters of the calls made through the current session, for benchmarks and diagnosis: the
// backends count their exchanges and connections here; the registry (client/client.h) counts
// the job's calls, resets them at the logon and writes them out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/core/statements.h"

namespace pvc {

// Counters of calls made through the current session (for benchmarks and diagnosis).
struct Counters {
  uint64_t statements = 0;  // opens, selects, writes, savepoints, rollbacks, commits, dynamic
  uint64_t commits = 0;
  uint64_t durable_commits = 0;  // commits with at least one successful write pending
  uint64_t fetches = 0;          // rows delivered by cursors (fetches that returned 0)
  uint64_t trips = 0;            // exchanges with a database server waited for (CountTrip)
  uint64_t logons = 0;           // connections opened (each a logon and a database session)
  uint64_t sessions = 0;         // the most connections open at one time
  uint64_t ahead = 0;            // reads a backend ran ahead (Session::ReadAhead)
  uint64_t ahead_used = 0;       // of those, the ones that answered a call
  uint64_t calls[static_cast<size_t>(Op::kCount)] = {};    // opens, selects, writes per Op
  uint64_t fetched[static_cast<size_t>(Op::kCount)] = {};  // rows delivered per cursor Op
};
const Counters& GetCounters();
// Backends that talk to a server call this for every exchange whose answer they wait for.
void CountTrip();
// Backends that run reads ahead call this for every read they ran ahead, `used` for every
// one that answered a call.
void CountAhead(bool used);
// Backends call these for every connection they open and close.
void CountLogon();
void CountLogoff();

// For the registry's counting decorator only: the counters to add to, and their reset at a
// logon (the connections open now included).
Counters& CountersToUpdate();
void ResetCounters();

}  // namespace pvc
