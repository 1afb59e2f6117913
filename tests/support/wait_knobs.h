// Settings of the backends' bounded waits that tests change. The job always waits 30,000 ms for
// a lock held by another program before a statement fails with -54; tests shorten the wait.
// Sessions (SQLite) or connections (PostgreSQL) opened afterwards use the new value. The lock
// waits' setters are the backends' own (a tool's probe uses them too); the rest are test-only.
#pragma once

#include "client/sqlite/backend.h"
#ifdef PARVEK_WITH_POSTGRES
#include "client/postgres/backend.h"
#endif
#ifdef PARVEK_WITH_ODBC
#include "client/odbc/backend.h"
#endif

namespace pvc {

int SqliteBusyWaitMs();
#ifdef PARVEK_WITH_POSTGRES
// How long a commit may take before it is cancelled (the job keeps 60,000 ms).
void PgSetCommitWaitMs(int ms);
#endif

}  // namespace pvc
