// The backends built into this program. Only client.cpp's registry names them; everything
// else reaches a backend through the NET8 value (client/client.h).
#pragma once

#include <memory>
#include <string>

#include "client/client.h"

namespace pvc {

// Embedded SQLite, NET8 "sqlite:DIR". Same contracts as LogonFn and CreateSchemaFn.
int SqliteLogon(const std::string& user, const std::string& password, const std::string& net,
                std::unique_ptr<Session>& out);
int SqliteCreateSchema(const std::string& user, const std::string& password,
                       const std::string& net, const std::string& schema, std::string& why);
// How long a statement waits for a lock held by another program before it fails with -54.
// Sessions opened afterwards use the new value. The job keeps the default of 30,000 ms; tests
// shorten it.
void SqliteSetBusyWaitMs(int ms);
int SqliteBusyWaitMs();

#ifdef PARVEK_WITH_POSTGRES
// PostgreSQL through libpq, NET8 "postgresql://..." or "postgres://...".
int PgLogon(const std::string& user, const std::string& password, const std::string& net,
            std::unique_ptr<Session>& out);
int PgCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                   const std::string& schema, std::string& why);
#endif

#ifdef PARVEK_WITH_ODBC
// Any server with an ODBC driver, through unixODBC: NET8 "odbc:DSN", "odbc:" followed by a
// connection string, or a bare name for which a data source of exactly that name exists.
int OdbcLogon(const std::string& user, const std::string& password, const std::string& net,
              std::unique_ptr<Session>& out);
int OdbcCreateSchema(const std::string& user, const std::string& password,
                     const std::string& net, const std::string& schema, std::string& why);
// True when an ODBC data source named exactly `name` is defined.
bool OdbcHasDataSource(const std::string& name);
// How long a statement waits for a lock before it fails (PostgreSQL and SQLite servers);
// sessions opened afterwards use the new value. The job keeps 30,000 ms; tests shorten it.
void OdbcSetLockWaitMs(int ms);
#endif

}  // namespace pvc
