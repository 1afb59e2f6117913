// Test-only settings of the backends' bounded waits. The job always waits 30,000 ms for a
// lock held by another program before a statement fails with -54; tests shorten the wait.
// Sessions (SQLite) or connections (PostgreSQL) opened afterwards use the new value.
#pragma once

namespace pvc {

void SqliteSetBusyWaitMs(int ms);
int SqliteBusyWaitMs();
#ifdef PARVEK_WITH_POSTGRES
void PgSetLockWaitMs(int ms);
// How long a commit may take before it is cancelled (the job keeps 60,000 ms).
void PgSetCommitWaitMs(int ms);
#endif
#ifdef PARVEK_WITH_ODBC
// Through ODBC: the lock wait on PostgreSQL and SQLite servers.
void OdbcSetLockWaitMs(int ms);
#endif

}  // namespace pvc
