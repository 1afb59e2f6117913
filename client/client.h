// The job's database client: one small interface (client/core/session.h), one backend per
// engine (client/sqlite, client/postgres, client/odbc), chosen by the NET8 value here.
//
// The job, its tools and tests include this header: the interface, the statement table, the
// counters, and the registry that logs on through the backend that serves a NET8 value.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/core/counters.h"
#include "client/core/session.h"
#include "client/core/statements.h"

namespace pvc {

// A backend serves the NET8 values that begin with one of its prefixes.
using LogonFn = std::function<int(const std::string& user, const std::string& password,
                                  const std::string& net, std::unique_ptr<Session>& out)>;
using CreateSchemaFn =
    std::function<int(const std::string& user, const std::string& password, const std::string& net,
                      const std::string& schema, std::string& why)>;
// Adds a backend (tests register fakes this way). Built-in backends are registered on first use.
void RegisterBackend(const std::string& prefix, LogonFn logon, CreateSchemaFn create = nullptr);

// What a night puts around its session at the logon: takes the session and returns the one the
// job then talks to, which passes calls on to it (a SessionWrapper).
using SessionDecorator = std::function<std::unique_ptr<Session>(std::unique_ptr<Session>)>;

// Logs on through the backend that serves `net` and makes that session, with `decorators` put
// around it (the first innermost), the process's current session. -12154 when no backend of
// this build serves `net`. After a failed logon there is no current session. Resets the
// counters, which count the calls the job makes; the logon counts as one call.
int Logon(const std::string& user, const std::string& password, const std::string& net,
          const std::vector<SessionDecorator>& decorators = {});

// A decorator for a preview, which keeps a whole night in one transaction and undoes it at the
// end (SessionTools::RollbackAll): Commit does nothing and returns 0, so that every write, and
// every durable write, stays pending. A durable write's savepoint is released where the night
// would commit the write or end its transaction, so that savepoints do not pile up.
std::unique_ptr<Session> WithoutCommits(std::unique_ptr<Session> s);
// For tools and tests: logs on like Logon, but hands the session to the caller instead of
// making it current (a second program beside the job). `out` is set on 0 only.
int OpenSession(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out);
// For tools: how long sessions opened from now on wait for a lock another program holds before
// a write fails with -54 (every backend; the job keeps its 30,000 ms).
void SetLockWaitMs(int ms);
// For tools and tests: creates schema `schema` with the job's six tables, their keys and
// indexes on the server that `net` names. Refuses (negative code, reason in `why`) when the
// schema exists already.
int CreateSchema(const std::string& user, const std::string& password, const std::string& net,
                 const std::string& schema, std::string& why);

// The current session, or nullptr before a successful Logon.
Session* Current();

// Diagnostic for benchmarks: when the environment variable PARVEK_STATS_FILE names a file at
// Logon, the counters (GetCounters) are written there as "name value" lines when the process
// exits. The job's own output (standard output, run log, parameter file) is not touched.
int WriteCountersFile(const std::string& path);

}  // namespace pvc
