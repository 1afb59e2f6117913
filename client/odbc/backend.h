// The ODBC backend as the registry (client/client.cpp) names it: NET8 odbc:DSN, odbc:
// followed by a connection string, or a bare name for which a data source of that name exists.
#pragma once

#include <memory>
#include <string>

#include "client/core/session.h"

namespace pvc {

// Any server with an ODBC driver, through unixODBC. Same contracts as LogonFn and
// CreateSchemaFn (client/client.h).
int OdbcLogon(const std::string& user, const std::string& password, const std::string& net,
              std::unique_ptr<Session>& out);
int OdbcCreateSchema(const std::string& user, const std::string& password, const std::string& net,
                     const std::string& schema, std::string& why);
// True when an ODBC data source named exactly `name` is defined.
bool OdbcHasDataSource(const std::string& name);
// How long connections opened afterwards wait for another program's lock (the job: 30,000 ms).
void OdbcSetLockWaitMs(int ms);

}  // namespace pvc
