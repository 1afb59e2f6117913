// The counters of the calls made through the current session (client/core/counters.h).
#include "client/core/counters.h"

namespace pvc {
namespace {

Counters g_counters;
uint64_t g_open_connections = 0;  // connections open now (CountLogon, CountLogoff)

}  // namespace

const Counters& GetCounters() { return g_counters; }

Counters& CountersToUpdate() { return g_counters; }

void ResetCounters() {
  g_counters = Counters{};
  g_open_connections = 0;
}

void CountTrip() { ++g_counters.trips; }

void CountAhead(bool used) { ++(used ? g_counters.ahead_used : g_counters.ahead); }

void CountLogon() {
  ++g_counters.logons;
  if (++g_open_connections > g_counters.sessions) g_counters.sessions = g_open_connections;
}

void CountLogoff() {
  if (g_open_connections > 0) --g_open_connections;
}

}  // namespace pvc
