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
int SqliteCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                       const std::string& schema, std::string& why);

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
int OdbcCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                     const std::string& schema, std::string& why);
// True when an ODBC data source named exactly `name` is defined.
bool OdbcHasDataSource(const std::string& name);
#endif

}  // namespace pvc
